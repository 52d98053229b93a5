#include "zelnxbackend.h"

#include "helpers/pathtools.h"
#include "helpers/peercheck.h"
#include "helpers/portallocator.h"
#include "helpers/privatefiles.h"
#include "helpers/processreaper.h"
#include "helpers/socketkeepalive.h"
#include "socketforwarder.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMetaEnum>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

namespace {

// A target's ':'-separated part as a port or display number; 0 when it is none.
unsigned int targetNumber(const QString &part)
{
    bool ok = false;
    const unsigned short value = part.toUShort(&ok, 10);
    return ok ? value : 0;
}

void warnUnparsedTarget(const QString &type, const QString &line)
{
    qWarning().noquote().nospace() << "Failed to parse port type: '" << type << "'. Line was: " << line;
}

// nxproxy's words for a link that broke or went silent; after any of them the session cannot end
// in order any more.
const QRegularExpression &linkFailurePattern()
{
    static const QRegularExpression pattern(QStringLiteral(
        "No data received from remote proxy|Connection with remote peer broken|Failure reading from the peer proxy|"
        "No shutdown of proxy link performed by remote proxy"));
    return pattern;
}

// Time nxproxy gets to end once told to, before it is killed.
const int ProxyEndMs = 3000;

} // namespace

const char *const ZELNXBackend::ResumingVariable = "ZEL_NX_RESUMING";

ZELNXBackend::ZELNXBackend(QObject *parent)
    : ZELBackend(parent)
    , m_nxproxyPath(QStringLiteral("/usr/bin/nxproxy"))
{
    connect(&m_server, &QTcpServer::newConnection, this, &ZELNXBackend::connectionAccepted);
    connect(&m_launcher, &XServerLauncher::running, this, &ZELNXBackend::XServerReady);
    connect(&m_launcher, &XServerLauncher::failed, this, &ZELNXBackend::XServerFailed);
    m_establishTimer.setSingleShot(true);
    connect(&m_establishTimer, &QTimer::timeout, this, &ZELNXBackend::establishTimedOut);

    m_nxproxyPath = PathTools::findBin(QStringLiteral("nxproxy"), {});
    setSlavePort(PortAllocator::findAvailablePort());
}

ZELNXBackend::~ZELNXBackend()
{
    // Nothing is reported while the backend goes away; the proxy and the X server just end,
    // without the backend's owner waiting for them.
    disconnect(&m_launcher, nullptr, this, nullptr);
    ProcessReaper::end(m_process);
    m_process = nullptr;
    delete m_forwarder;
    m_forwarder = nullptr;
}

QProcess *ZELNXBackend::createProcess()
{
    auto *process = new QProcess(this);
    connect(process, &QProcess::started, this, &ZELNXBackend::processStarted);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ZELNXBackend::processFinished);
    connect(process, &QProcess::errorOccurred, this, &ZELNXBackend::processError);
    connect(process, &QProcess::readyReadStandardError, this, &ZELNXBackend::processStderrReady);
    connect(process, &QProcess::readyReadStandardOutput, this, &ZELNXBackend::processStdoutReady);
    return process;
}

QString ZELNXBackend::nxproxyBinary() const
{
    return m_nxproxyPath;
}

void ZELNXBackend::setNxproxyBinary(const QString &path)
{
    m_nxproxyPath = path;
}

ZELConnectionParameters ZELNXBackend::getParameters() const
{
    return m_parameters;
}

void ZELNXBackend::setDesktopTitle(const QString &title)
{
    m_launcher.setTitle(title);
}

void ZELNXBackend::setParameters(const ZELConnectionParameters &parameters)
{
    m_parameters = parameters;
}

int64_t ZELNXBackend::bytesRead()
{
    return m_forwarder ? m_forwarder->totalBytesAToB() : 0;
}

int64_t ZELNXBackend::bytesWritten()
{
    return m_forwarder ? m_forwarder->totalBytesBToA() : 0;
}

QStringList ZELNXBackend::proxyArguments(unsigned short slavePort, bool printing, unsigned short smbPort, bool audio,
                                         unsigned short audioPort, const QString &extraArgs, int display,
                                         int linkTimeoutSeconds)
{
    QStringList arguments{QStringLiteral("-S"), QStringLiteral("slave=%1").arg(slavePort)};
    if (printing)
        arguments << QStringLiteral("smb=%1").arg(smbPort);
    if (audio)
        arguments << QStringLiteral("media=%1").arg(audioPort);
    // Before the extra arguments, which may set another.
    if (linkTimeoutSeconds > 0)
        arguments << QStringLiteral("timeout=%1").arg(linkTimeoutSeconds);
    if (!extraArgs.isEmpty())
        arguments << extraArgs.split(QLatin1Char(','), Qt::KeepEmptyParts, Qt::CaseSensitive);
    arguments << QStringLiteral("localhost:%1").arg(display);
    return arguments;
}

bool ZELNXBackend::moveAboveOffset(QTcpServer &server, int offset)
{
    const int port = server.serverPort();
    if (port > offset && server.isListening())
        return true;

    qWarning().nospace() << "Tried listening on random port, got port " << port << ", below for nxproxy offset "
                         << offset << ", applying workaround";
    server.close();
    const int first = offset + 1;
    if (first > 65535)
        return false;
    PortAllocator::listenInRange(server, static_cast<unsigned short>(first), 65535);
    return server.isListening();
}

ZELBackend::NXChannel ZELNXBackend::channelFromName(const QString &name)
{
    static const QHash<QString, NXChannel> channels{
        {QStringLiteral("x11"), X11},   {QStringLiteral("auxiliary x11"), X11Aux}, {QStringLiteral("cups"), CUPS},
        {QStringLiteral("smb"), SMB},   {QStringLiteral("http"), HTTP},            {QStringLiteral("font"), Font},
        {QStringLiteral("file"), File}, {QStringLiteral("slave"), Slave},
    };
    return channels.value(name.toLower().trimmed(), Unknown);
}

void ZELNXBackend::start(QTcpSocket *socket)
{
    qDebug() << "Backend starting";
    if (m_socket)
        disconnect(m_socket, nullptr, this, nullptr);
    m_socket = socket;
    m_ended = false;
    m_attemptOver = false;
    // Until nxproxy is connected nobody else watches the tunnel: its end would go unnoticed and
    // leave the attempt waiting for ever.
    if (socket)
        connect(socket, &QTcpSocket::disconnected, this, &ZELNXBackend::tunnelClosed);
    m_established = false;
    m_linkFailure.clear();
    m_orderlyEnd = false;
    m_dropping = false;
    if (socket) {
        // Connected before the forwarder is: the picture is taken while nxproxy still shows it.
        connect(socket, &QIODevice::readChannelFinished, this, &ZELNXBackend::tunnelEnded);
        connect(socket, &QAbstractSocket::errorOccurred, this, &ZELNXBackend::tunnelFailed);
        // A peer gone silent (a laptop's network switched, a VPN down) is noticed within
        // seconds: Qt's own keepalive keeps the system's two hours.
        SocketKeepAlive::apply(socket->socketDescriptor(), KeepAliveIdleSeconds, KeepAliveIdleSeconds, KeepAliveProbes,
                               UnacknowledgedLimitMs);
    }
    if (m_launcher.isRunning()) {
        // A resume: the X server with the last picture on it gets the new proxy, which gets a
        // slave channel of its own.
        qInfo() << "Resuming the remote desktop on the running X server, display" << m_launcher.display();
        setSlavePort(PortAllocator::findAvailablePort());
        QTimer::singleShot(0, this, &ZELNXBackend::XServerReady);
        return;
    }
    m_launcher.setGeometry(parameters().geometry());
    m_launcher.setFullscreen(parameters().fullscreen());
    m_launcher.start();
}

void ZELNXBackend::XServerReady()
{
    if (m_attemptOver) {
        qDebug() << "The attempt ended before the X server came up";
        return;
    }
    if (m_process && m_process->state() != QProcess::NotRunning) {
        qDebug() << "Proxy already running";
        return;
    }

    const ZELConnectionParameters base = parameters();
    qInfo() << "Printing enabled:" << m_parameters.printing();

    qInfo() << "Starting listener at localhost";
    if (!m_server.isListening())
        m_server.listen(QHostAddress::LocalHost, 0);
    if (!moveAboveOffset(m_server, m_portOffset)) {
        qCritical() << "Can't listen for the proxy on localhost";
        m_ended = false;
        end(true, StartFailure, QStringLiteral("Failed to listen for the proxy"));
        return;
    }
    qInfo().nospace() << "Listening at port " << m_server.serverPort();

    const QStringList arguments =
        proxyArguments(slavePort(), base.printing(), smbPort(), base.audio() && soundServerIsTheUsers(), audioPort(),
                       m_parameters.nxproxy_extra_args(), m_server.serverPort() - m_portOffset, LinkTimeoutSeconds);
    qInfo().nospace() << "Starting process " << m_nxproxyPath << " with arguments " << arguments
                      << QStringLiteral(" against display on 127.0.0.1:%1").arg(m_launcher.display());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString self = QCoreApplication::applicationFilePath();
    qInfo().nospace() << "Passing " << self << " as NX_CLIENT";
    environment.insert(QStringLiteral("NX_CLIENT"), self);
    // The questions nxproxy asks about a lost link are the session's to answer when it resumes.
    if (keepDisplayOnLinkLoss())
        environment.insert(QString::fromLatin1(ResumingVariable), QStringLiteral("1"));
    else
        environment.remove(QString::fromLatin1(ResumingVariable));
    environment.insert(QStringLiteral("DISPLAY"), m_launcher.clientDisplay());
    // The local X server admits only holders of its cookie.
    if (!m_launcher.authorityFile().isEmpty())
        environment.insert(QStringLiteral("XAUTHORITY"), m_launcher.authorityFile());
    // nxproxy does not create its root folder itself. Its session folders there are the user's alone.
    const QString nxRoot = PathTools::getNxRoot();
    if (!nxRoot.isEmpty() && !PrivateFiles::makeFolder(nxRoot))
        qWarning() << "Can't create NX root" << nxRoot;
    environment.insert(QStringLiteral("NX_ROOT"), nxRoot);
    // A process that has ended is of no further use; a fresh one takes the run.
    ProcessReaper::end(m_process);
    m_process = createProcess();
    m_process->setProcessEnvironment(environment);
    qInfo().noquote().nospace() << "DISPLAY = "
                      << (environment.contains(QStringLiteral("DISPLAY")) ? environment.value(QStringLiteral("DISPLAY"))
                                                                          : QStringLiteral("[none]"));

    m_linkingError = false;
    m_crashed = false;
    m_ended = false;
    m_stderrLines = LineBuffer();
    // Until nxproxy says the session is established, nothing shows the user that it is not
    // coming: the wait has an end.
    m_establishTimer.start(m_establishTimeoutMs);
    m_process->start(m_nxproxyPath, arguments, QIODevice::ReadWrite);
}

void ZELNXBackend::establishTimedOut()
{
    if (m_ended)
        return;
    qCritical().nospace() << "nxproxy did not establish the session within " << m_establishTimeoutMs << " ms";
    end(true, CommunicationFailure,
        QStringLiteral("The remote desktop did not start within %1 seconds").arg((m_establishTimeoutMs + 999) / 1000));
}

bool ZELNXBackend::soundServerIsTheUsers() const
{
    // nxproxy hands the VM's sound streams to whatever listens on the port; another user's
    // program there would hear the VM and could feed it anything.
    const QString owner = PeerCheck::listenerOwner(audioPort());
    if (!owner.isEmpty() && owner == PeerCheck::ownUser())
        return true;
    qWarning().nospace().noquote() << "The VM's sound is not passed on: "
                                   << (owner.isEmpty() ? QStringLiteral("no sound server listens on port %1").arg(audioPort())
                                                       : QStringLiteral("the socket listening on port %1 belongs to %2")
                                                             .arg(audioPort())
                                                             .arg(PeerCheck::describe(owner)));
    return false;
}

void ZELNXBackend::XServerFailed(const QString &error)
{
    qCritical().noquote().nospace() << "X server failed: " << error;
    // The attempt is over: a tunnel closing now is no further failure.
    m_ended = true;
    emit failed(ZELBackend::XServerFailed, error);
}

void ZELNXBackend::connectionAccepted()
{
    while (QTcpSocket *connection = m_server.nextPendingConnection()) {
        // The tunnel carries the VM's display: it goes to nxproxy's one connection, made as the
        // session's user, and to nobody else.
        const QString owner = PeerCheck::peerOwner(*connection);
        if (m_forwarder || owner.isEmpty() || owner != PeerCheck::ownUser()) {
            qWarning().nospace().noquote() << "Closed a connection to the display tunnel listener from "
                                           << PeerCheck::describe(owner) << " (port " << connection->peerPort() << ")";
            connection->abort();
            connection->deleteLater();
            continue;
        }
        qDebug() << "NXProxy connected to listener, starting forwarder";
        // No one else reaches the listener from now on.
        m_server.close();
        m_forwarder = new SocketForwarder(this, connection, m_socket);
        connect(m_forwarder, &SocketForwarder::dataTransferred, this, &ZELNXBackend::forwarderTransferred);
        emit started();
    }
}

void ZELNXBackend::tunnelClosed()
{
    // Once forwarding, the forwarder passes the end on to nxproxy, which then exits.
    if (m_forwarder || m_ended)
        return;
    qCritical() << "The display tunnel closed before nxproxy connected";
    m_attemptOver = true;
    end(true, CommunicationFailure, QStringLiteral("The broker closed the connection before the remote desktop started"));
}

void ZELNXBackend::tunnelEnded()
{
    // nxproxy learns of it through the forwarder and says whether the session ended in order;
    // should it not have, its windows must not take the picture with them.
    if (m_forwarder && m_established && !m_ended)
        keepLastPicture();
}

void ZELNXBackend::tunnelFailed(QAbstractSocket::SocketError error)
{
    // A close is judged by nxproxy (tunnelEnded); a failure leaves no orderly end to wait for.
    if (error == QAbstractSocket::RemoteHostClosedError || m_ended)
        return;
    const QString reason = QStringLiteral("the connection to the broker failed: ")
                           + (m_socket ? m_socket->errorString() : QStringLiteral("unknown error"));
    if (!m_forwarder) {
        tunnelClosed();
        return;
    }
    dropLink(reason);
}

void ZELNXBackend::keepLastPicture()
{
    if (keepDisplayOnLinkLoss() && !m_lastPicture.isKept() && m_launcher.isRunning())
        m_lastPicture.keep(m_launcher.display(), m_launcher.cookie());
}

void ZELNXBackend::dropLink(const QString &reason)
{
    if (m_dropping || m_ended)
        return;
    m_dropping = true;
    if (m_linkFailure.isEmpty())
        m_linkFailure = reason;
    keepLastPicture();
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return;
    // Asked, not waited for: its exit, still heard here, reports the drop.
    qInfo().noquote() << "Ending nxproxy, the link to the VM is gone:" << reason;
    m_process->terminate();
    QTimer::singleShot(ProxyEndMs, this, [this]() {
        if (m_dropping && m_process && m_process->state() != QProcess::NotRunning)
            m_process->kill();
    });
}

bool ZELNXBackend::isDrop() const
{
    // Closing the X server's window ends the session. The owner's stop() lets the proxy go
    // unheard, so its exit is never judged here.
    return keepDisplayOnLinkLoss() && m_established && !m_orderlyEnd && m_launcher.isRunning();
}

void ZELNXBackend::reportDrop()
{
    // Ended before stop(): a drop is reported as linkLost(), not as the finished() of an end.
    m_ended = true;
    m_dropping = false;
    const QString reason = m_linkFailure.isEmpty() ? QStringLiteral("nxproxy ended without the end of the session")
                                                   : m_linkFailure;
    stop();
    qWarning().noquote() << "The link to the VM was lost (" + reason + "); the local display is kept for a resume";
    emit linkLost(reason);
}

void ZELNXBackend::forwarderTransferred(int64_t a_to_b, int64_t b_to_a)
{
    addTotalTraffic(b_to_a, a_to_b);
}

void ZELNXBackend::processStarted()
{
    qInfo() << "NXproxy started";
}

void ZELNXBackend::processStdoutReady()
{
    const QByteArray data = m_process->readAllStandardOutput();
    qInfo().noquote().nospace() << "Proxy OUT: " << QString::fromLocal8Bit(data);
    emit standardOutput(data);
}

void ZELNXBackend::processStderrReady()
{
    parseStandardError(m_process->readAllStandardError());
}

void ZELNXBackend::parseStandardError(const QByteArray &data)
{
    m_stderrLines.add(data);
    while (m_stderrLines.hasLine())
        handleLine(m_stderrLines.getLine());
    emit standardError(data);
}

void ZELNXBackend::handleLine(const QString &line)
{
    static const QRegularExpression forwarding(QStringLiteral("Forwarding (.*?) connections to (port|display) '(.*?)'"));
    static const QRegularExpression listening(QStringLiteral("Listening to (.*?) connections on port '(.*?)'"));
    static const QRegularExpression established(QStringLiteral("Established X server connection"));
    static const QRegularExpression terminated(QStringLiteral("Session: Session terminated"));
    static const QRegularExpression linking(QStringLiteral("dyld: Library not loaded"));

    qInfo().noquote().nospace() << "Proxy ERR Line: " << line;

    const QRegularExpressionMatch forwardingMatch = forwarding.match(line);
    if (forwardingMatch.hasMatch())
        handleForwarding(channelFromName(forwardingMatch.captured(1)), forwardingMatch.captured(2),
                         forwardingMatch.captured(3), line);

    const QRegularExpressionMatch listeningMatch = listening.match(line);
    if (listeningMatch.hasMatch())
        handleListening(channelFromName(listeningMatch.captured(1)), listeningMatch.captured(2), line);

    if (established.match(line).hasMatch()) {
        m_established = true;
        // The desktop is back over the last picture.
        m_lastPicture.release();
        qInfo() << "Backend has established the connection";
        m_establishTimer.stop();
        emit connectionEstablished();
    }
    if (linkFailurePattern().match(line).hasMatch() && m_linkFailure.isEmpty()) {
        m_linkFailure = line.trimmed();
        // Broken, or nothing from the VM for half the link bound: the session cannot end in
        // order any more. nxproxy ends now, its picture kept first, rather than after asking.
        if (m_established)
            dropLink(m_linkFailure);
    }
    static const QRegularExpression sessionEnd(QStringLiteral("Session: Terminating session"));
    if ((sessionEnd.match(line).hasMatch() || terminated.match(line).hasMatch()) && m_linkFailure.isEmpty())
        m_orderlyEnd = true;
    if (terminated.match(line).hasMatch()) {
        qInfo() << "Connection terminated";
        emit connectionTerminated();
    }
    if (linking.match(line).hasMatch()) {
        qCritical() << "Linking error detected in nxproxy";
        m_linkingError = true;
    }
}

// A target that lacks a part its form needs is reported like an unknown type: it is never read
// past its end.
void ZELNXBackend::handleForwarding(NXChannel channel, const QString &kind, const QString &target,
                                    const QString &line)
{
    const QStringList parts = target.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    const QString channelName = QString::fromLatin1(QMetaEnum::fromType<NXChannel>().valueToKey(channel));

    if (kind == QLatin1String("display")) {
        if (parts.size() < 2) {
            warnUnparsedTarget(target, line);
            return;
        }
        const QString host = parts.at(0);
        const unsigned int display = targetNumber(parts.at(1));
        qInfo().noquote().nospace() << "Backend is forwarding " << channelName << " connections to X11 display "
                                    << host << ":" << display;
        emit forwardingRemoteConnectionsToDisplay(channel, host, display);
        return;
    }

    if (parts.at(0) == QLatin1String("tcp") && parts.size() >= 3) {
        const QString host = parts.at(1);
        const unsigned int port = targetNumber(parts.at(2));
        qInfo().noquote().nospace() << "Backend is forwarding " << channelName << " connections to TCP " << host << ":"
                                    << port;
        emit forwardingRemoteConnectionsToTcpPort(channel, host, port);
    } else if (parts.at(0) == QLatin1String("unix") && parts.size() >= 2) {
        const QString path = parts.at(1);
        qInfo().noquote().nospace() << "Backend is forwarding " << channelName << " connections to UNIX socket "
                                    << path;
        emit forwardingRemoteConnectionsToUnixSocket(channel, path);
    } else {
        warnUnparsedTarget(parts.size() > 1 ? parts.at(0) : target, line);
    }
}

void ZELNXBackend::handleListening(NXChannel channel, const QString &target, const QString &line)
{
    const QStringList parts = target.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    const QString channelName = QString::fromLatin1(QMetaEnum::fromType<NXChannel>().valueToKey(channel));

    if (parts.at(0) == QLatin1String("tcp") && parts.size() >= 3) {
        const unsigned int port = targetNumber(parts.at(2));
        qInfo().noquote().nospace() << "Backend is forwarding " << channelName << " connections to TCP port " << port;
        emit listeningOnTcpPort(channel, port);
    } else if (parts.at(0) == QLatin1String("unix") && parts.size() >= 2) {
        const QString path = parts.at(1);
        qInfo().noquote().nospace() << "Backend is forwarding " << channelName << " connections to UNIX socket "
                                    << path;
        emit listeningOnUnixSocket(channel, path);
    } else {
        warnUnparsedTarget(parts.size() > 1 ? parts.at(0) : target, line);
    }
}

void ZELNXBackend::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    qInfo().nospace() << "NXproxy exited with code " << exitCode << ", status " << exitStatus;
    if (m_ended)
        return;
    if (isDrop()) {
        reportDrop();
        return;
    }

    if (exitStatus != QProcess::NormalExit || m_crashed) {
        end(true, Crash, QStringLiteral("Proxy process crashed"));
    } else if (exitCode != 0) {
        if (m_linkingError)
            end(true, LinkingError, QStringLiteral("Linking error detected"));
        else
            end(true, UnknownError, QStringLiteral("Process exited with code %1").arg(exitCode));
    } else {
        end(false, UnknownError, QString());
    }
}

void ZELNXBackend::processError(QProcess::ProcessError error)
{
    qInfo().nospace() << "Error running NXproxy: " << error;
    if (m_ended)
        return;
    // Its exit follows and is judged then.
    if (error != QProcess::FailedToStart && error != QProcess::Crashed && isDrop()) {
        reportDrop();
        return;
    }
    switch (error) {
    case QProcess::FailedToStart:
        end(true, StartFailure, QStringLiteral("Proxy process failed to start"));
        break;
    case QProcess::Crashed:
        // The exit that follows reports it, once.
        m_crashed = true;
        break;
    case QProcess::Timedout:
        end(true, CommunicationFailure, QStringLiteral("Proxy process timeout"));
        break;
    case QProcess::ReadError:
        end(true, CommunicationFailure, QStringLiteral("Proxy process failed to read"));
        break;
    case QProcess::WriteError:
        end(true, CommunicationFailure, QStringLiteral("Proxy process failed to write"));
        break;
    case QProcess::UnknownError:
        end(true, UnknownError, QStringLiteral("Proxy process failed"));
        break;
    }
}

void ZELNXBackend::end(bool failure, BackendError error, const QString &description)
{
    if (m_ended)
        return;
    m_ended = true;
    if (failure)
        emit failed(error, description);
    stop();
    emit finished();
}

void ZELNXBackend::stop()
{
    qInfo() << "Stopping NXProxy";
    m_establishTimer.stop();
    // nxproxy is killed and let go; the caller does not wait for it to end. Its end is no
    // failure: the owner asked for it.
    if (m_process && m_process->state() != QProcess::NotRunning) {
        ProcessReaper::end(m_process);
        m_process = nullptr;
    }
    delete m_forwarder;
    m_forwarder = nullptr;
    if (m_server.isListening())
        m_server.close();
    m_attemptOver = true;
    if (!m_ended) {
        m_ended = true;
        emit finished();
    }
}
