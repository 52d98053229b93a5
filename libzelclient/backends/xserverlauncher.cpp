#include "xserverlauncher.h"

#include "helpers/pathtools.h"
#include "helpers/processreaper.h"

#include <QDebug>
#include <QFileInfo>
#include <QNetworkProxy>

XServerLauncher::XServerLauncher()
    : m_process(createProcess(this))
{
    m_pathChosen = knownServer(m_path);
    connect(m_process, &QProcess::started, this, &XServerLauncher::processStarted);
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &XServerLauncher::processFinished);
    // A server that cannot be executed reports no finished(); without this the owner would wait
    // for ever.
    connect(m_process, &QProcess::errorOccurred, this, &XServerLauncher::processError);
    connect(m_process, &QProcess::readyReadStandardError, this, &XServerLauncher::processStderrReady);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &XServerLauncher::processStdoutReady);
    connect(&m_timer, &QTimer::timeout, this, &XServerLauncher::checkServerIsUp);
    connect(&m_probe, &QTcpSocket::connected, this, &XServerLauncher::sendConnectionSetup);
    connect(&m_probe, &QTcpSocket::readyRead, this, &XServerLauncher::serverIsUp);
    connect(&m_probe, &QAbstractSocket::errorOccurred, this, &XServerLauncher::socketError);
    m_startTimer.setSingleShot(true);
    connect(&m_startTimer, &QTimer::timeout, this, &XServerLauncher::startTimedOut);
}

XServerLauncher::~XServerLauncher()
{
    // The owner is being torn down: nothing is reported any more, the server just ends. It is
    // asked first, so that it removes its display's lock and socket, and killed if it does
    // not go; nobody waits for it.
    m_timer.stop();
    m_startTimer.stop();
    m_probe.abort();
    ProcessReaper::end(m_process, StopGraceMs);
}

void XServerLauncher::setPath(const QString &path)
{
    m_path = path;
    m_pathChosen = true;
}

void XServerLauncher::setDisplay(unsigned short display)
{
    m_display = display;
    m_displaySet = true;
}

QStringList XServerLauncher::vcxsrvArguments(unsigned short display, const QString &logDir)
{
    return {QStringLiteral(":%1").arg(display),
            QStringLiteral("-listen"),
            QStringLiteral("local"),
            QStringLiteral("-nolisten"),
            QStringLiteral("inet6"),
            QStringLiteral("-multiwindow"),
            QStringLiteral("-notrayicon"),
            QStringLiteral("-nowinkill"),
            QStringLiteral("-clipboard"),
            QStringLiteral("-wgl"),
            QStringLiteral("+bs"),
            QStringLiteral("-silent-dup-error"),
            QStringLiteral("-ac"),
            QStringLiteral("-nomultimonitors"),
            QStringLiteral("-logfile"),
            logDir + QStringLiteral("\\vcxsrv.log")};
}

QStringList XServerLauncher::xvfbArguments(unsigned short display, const QSize &geometry)
{
    const QSize size = geometry.isValid() && !geometry.isEmpty() ? geometry : QSize(1024, 768);
    // -noreset: an X server resets when its last client leaves, and the readiness probe is
    // the first client; a proxy connecting during that reset would be turned away.
    return {QStringLiteral(":%1").arg(display),
            QStringLiteral("-listen"),
            QStringLiteral("tcp"),
            QStringLiteral("-noreset"),
            QStringLiteral("-screen"),
            QStringLiteral("0"),
            QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height())};
}

QStringList XServerLauncher::xephyrArguments(unsigned short display, const QSize &geometry, bool fullscreen,
                                             const QString &title)
{
    QStringList arguments{QStringLiteral(":%1").arg(display), QStringLiteral("-listen"), QStringLiteral("tcp"),
                          QStringLiteral("-noreset")};
    if (fullscreen) {
        arguments << QStringLiteral("-fullscreen");
    } else {
        const QSize size = geometry.isValid() && !geometry.isEmpty() ? geometry : QSize(1024, 768);
        arguments << QStringLiteral("-screen") << QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
    }
    if (!title.isEmpty())
        arguments << QStringLiteral("-title") << title;
    return arguments;
}

void XServerLauncher::start()
{
    if (m_phase == Phase::Starting || m_phase == Phase::Running) {
        qDebug() << "X server already started";
        return;
    }
    m_retriesLeft = m_displaySet ? 0 : 3;
    if (!m_pathChosen) {
        m_phase = Phase::Starting;
        chooseServer();
        return;
    }
    launch();
}

void XServerLauncher::serverChosen(const QString &program)
{
    if (m_pathChosen || m_phase != Phase::Starting)
        return;
    m_path = program;
    m_pathChosen = true;
    m_phase = Phase::Idle;
    launch();
}

void XServerLauncher::launch()
{
    if (!m_displaySet)
        m_display = chooseDisplay();
    const QStringList arguments = serverArguments();
    const QString dir = QFileInfo(m_path).absolutePath();
    qInfo().nospace() << "Launching " << m_path << " with arguments " << arguments << " in " << dir;

    if (m_path.isEmpty()) {
        qCritical() << "Can't start X server, no path was set!";
        emit failed(QStringLiteral("Failed to start X server, binary wasn't found"));
        return;
    }
    if (arguments.isEmpty()) {
        qCritical() << "Can't start X server without its authority file";
        emit failed(QStringLiteral("Failed to start X server, its authority file could not be written"));
        return;
    }

    m_phase = Phase::Starting;
    m_startTimer.start(m_startTimeoutMs);
    m_process->setWorkingDirectory(dir);
    m_process->start(m_path, arguments, QIODevice::ReadWrite);
}

void XServerLauncher::processStarted()
{
    qDebug() << "X server started, waiting for it to accept connections...";
    // The whole connection waits for the server: a refused local connection costs next to
    // nothing, so the probe runs often enough to notice the server within a few milliseconds.
    m_probeAttempts = 0;
    m_timer.setSingleShot(false);
    m_timer.start(ProbeIntervalMs);
    checkServerIsUp();
}

void XServerLauncher::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    qDebug() << "xhost process finished with exit code" << exitCode << ", status" << exitStatus;
    m_timer.stop();
    m_probe.abort();
    if (m_phase == Phase::Running) {
        m_phase = Phase::Ended;
        emit stopped();
        return;
    }
    // Another program may have taken the display we chose between the check and the start;
    // a display of our own choosing is then chosen again.
    if (m_phase == Phase::Starting && m_retriesLeft > 0) {
        --m_retriesLeft;
        qWarning() << "X server on display" << m_display << "ended before accepting connections; trying another display";
        m_phase = Phase::Idle;
        launch();
        return;
    }
    // A server that ends before it ever answered did not start, whatever its exit code (a
    // display that is already taken makes it exit at once).
    fail(QStringLiteral("X server exited with code %1 before accepting connections").arg(exitCode));
}

void XServerLauncher::processError(QProcess::ProcessError error)
{
    qDebug() << "xhost process failed with error" << error;
    // Every other error is followed by finished(), which reports it.
    if (error == QProcess::FailedToStart) {
        m_timer.stop();
        fail(QStringLiteral("Failed to start X server: %1").arg(m_process->errorString()));
    }
}

void XServerLauncher::processStdoutReady()
{
    qInfo().noquote().nospace() << "xhost out: " << QString::fromLocal8Bit(m_process->readAllStandardOutput());
}

void XServerLauncher::processStderrReady()
{
    qInfo().noquote().nospace() << "xhost err: " << QString::fromLocal8Bit(m_process->readAllStandardError());
}

void XServerLauncher::checkServerIsUp()
{
    const quint16 port = static_cast<quint16>(6000 + m_display);
    if (m_probe.state() != QAbstractSocket::UnconnectedState)
        return;
    // Once per second of probing is enough for the log to show that the server is awaited.
    if (m_probeAttempts++ % (1000 / ProbeIntervalMs) == 0)
        qDebug().noquote() << QStringLiteral("Trying to connect to the X server on port %1").arg(port);
    m_probe.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    m_probe.connectToHost(QStringLiteral("127.0.0.1"), port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void XServerLauncher::sendConnectionSetup()
{
    // An X server listens long before it serves: it opens its sockets first, then sets up its
    // screens and keyboard, and only then answers. Its answer to a connection set-up is what
    // says it is ready; it comes the moment the server serves, without a further probe.
    m_probe.write(connectionSetupRequest(XAuthority::cookieName(), m_authority.cookie()));
}

QByteArray XServerLauncher::connectionSetupRequest(const QByteArray &authName, const QByteArray &authData)
{
    // Little-endian client, protocol 11.0, then the authorization's name and data, each padded
    // to four bytes. With no authorization, both are left out (the server decides by host).
    const QByteArray name = authData.isEmpty() ? QByteArray() : authName;
    auto padded = [](const QByteArray &field) { return field + QByteArray((4 - field.size() % 4) % 4, '\0'); };
    auto counted = [](int size) {
        return QByteArray(1, static_cast<char>(size & 0xff)) + QByteArray(1, static_cast<char>((size >> 8) & 0xff));
    };
    return QByteArray("l\0\x0b\0\0\0", 6) + counted(name.size()) + counted(authData.size()) + QByteArray(2, '\0')
        + padded(name) + padded(authData);
}

void XServerLauncher::serverIsUp()
{
    // The answer itself (accepted or not) does not matter: whoever answered serves.
    m_probe.abort();
    if (!answeringServerIsOurs()) {
        // Ours is still starting or about to give up on a taken display: keep probing.
        qDebug() << "Another X server answers on display" << m_display;
        return;
    }
    qInfo() << "X server is up!";
    m_timer.stop();
    if (m_phase != Phase::Starting)
        return;
    // The start time-out also bounds letting the session's user in.
    admitOwnUser();
}

void XServerLauncher::becomeRunning()
{
    if (m_phase != Phase::Starting)
        return;
    m_startTimer.stop();
    m_phase = Phase::Running;
    emit running();
}

void XServerLauncher::socketError(QAbstractSocket::SocketError error)
{
    Q_UNUSED(error)
    // Not listening yet: the next tick tries again.
    m_probe.abort();
}

void XServerLauncher::startTimedOut()
{
    if (m_phase != Phase::Starting)
        return;
    m_timer.stop();
    m_probe.abort();
    fail(QStringLiteral("The X server did not accept connections within %1 seconds").arg((m_startTimeoutMs + 999) / 1000));
    // A server that never answers is of no use: it must not stay behind. Asked first, so that
    // it removes its display's lock and socket; ended outright if it does not go.
    m_process->terminate();
    QProcess *process = m_process;
    QTimer::singleShot(StopGraceMs, process, [process] {
        if (process->state() != QProcess::NotRunning)
            process->kill();
    });
}

void XServerLauncher::fail(const QString &error)
{
    if (m_phase == Phase::Ended || m_phase == Phase::Idle)
        return;
    m_phase = Phase::Ended;
    m_startTimer.stop();
    qCritical().noquote() << error;
    emit failed(error);
}
