#include "zelslaveclient.h"

#include "helpers/peercheck.h"
#include "slaveclient/commands/connectaudio.h"
#include "slaveclient/commands/shareusbdevice.h"
#include "slaveclient/commands/slavesharefolderwithvm.h"
#include "usbip/usbdevice.h"
#include "zelslavecommand.h"

#include <QDebug>
#include <QHostAddress>
#include <QPointer>

ZELSlaveClient::ZELSlaveClient(quint16 port, const QString &key)
    : QObject(nullptr)
    , m_port(port)
    , m_key(key)
    , m_requestTimeoutMs(ZELSlaveCommand::DefaultRequestTimeoutMs)
    , m_socket(this)
{
    connect(&m_socket, &QTcpSocket::connected, this, &ZELSlaveClient::socket_connected);
    // The command cannot start without the connection: it fails, so that the user learns why
    // the shared resource never appeared in the VM.
    connect(&m_socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                if (m_commandStarted)
                    return;
                qWarning().nospace() << "Slave connection to port " << m_port << " failed: " << error
                                     << ", " << m_socket.errorString();
                connectionFailed(QStringLiteral("the connection to the VM's slave service failed (%1)")
                                     .arg(m_socket.errorString()));
            });
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        qWarning().nospace() << "Slave connection to port " << m_port << " not made within " << m_requestTimeoutMs
                             << " ms";
        connectionFailed(QStringLiteral("no connection to the VM's slave service within %1 seconds")
                             .arg((m_requestTimeoutMs + 999) / 1000));
    });
    // The slave key and the user's folders go through this connection: it is made to the
    // session's own nxproxy alone, on the IPv4 loopback where nxproxy listens ("localhost" may
    // name [::1] first, where anybody may listen on the same port), and never to a socket
    // another user holds there.
    const QString owner = PeerCheck::listenerOwner(m_port);
    if (!owner.isEmpty() && owner != PeerCheck::ownUser()) {
        qWarning().nospace().noquote() << "Not connecting to the slave port " << m_port << ": "
                                       << PeerCheck::describe(owner) << " listens there";
        connectionFailed(QStringLiteral("another user's program holds the slave port"));
        return;
    }
    m_connectTimer.start(m_requestTimeoutMs);
    m_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), m_port, QIODevice::ReadWrite);
}

void ZELSlaveClient::setRequestTimeout(int ms)
{
    m_requestTimeoutMs = ms;
    if (m_connectTimer.isActive())
        m_connectTimer.start(ms);
}

void ZELSlaveClient::connectionFailed(const QString &reason)
{
    if (m_commandStarted || !m_connectionProblem.isEmpty())
        return;
    m_connectionProblem = reason;
    m_connectTimer.stop();
    m_socket.abort();
    // A command given later hears of it then, after its owner has returned.
    if (m_command)
        abandonCommand();
}

void ZELSlaveClient::abandonCommand()
{
    if (!m_command || m_commandStarted)
        return;
    m_commandStarted = true;
    m_command->abandon(m_connectionProblem);
}

ZELSlaveClient::~ZELSlaveClient()
{
    if (m_command) {
        // A command that reports while it is being stopped must not reach this client's
        // receivers any more: they would act on an object that is going away.
        disconnect(m_command, nullptr, this, nullptr);
        m_command->stop();
        m_command->deleteLater();
    }
    // The command may still hold replies that listen to the socket; they must not hear the
    // socket's last signals while it is torn down.
    m_socket.disconnect();
    m_socket.abort();
}

void ZELSlaveClient::shareFolder(const QString &folder)
{
    checkIdle();
    runCommand(new SlaveShareFolderWithVM(folder));
}

void ZELSlaveClient::shareUSBDevice(const USBDevice &device)
{
    checkIdle();
    runCommand(new ShareUSBDevice(device));
}

void ZELSlaveClient::connectAudio(quint16 audioPort, bool microphone)
{
    checkIdle();
    runCommand(new ConnectAudio(audioPort, microphone));
}

void ZELSlaveClient::unavailable(const char *feature)
{
    // The connection stays idle until the session ends; no outcome is reported, so nothing
    // claims the resource reached the VM.
    qWarning().nospace() << feature << " is not available in this build; nothing is shared for it";
}

void ZELSlaveClient::runCommand(ZELSlaveCommand *command)
{
    if (!command)
        return;
    if (m_command) {
        delete command;
        checkIdle();
    }
    m_command = command;
    connect(m_command, &ZELSlaveCommand::commandSuccessful, this, &ZELSlaveClient::command_successful);
    connect(m_command, &ZELSlaveCommand::commandFailed, this, &ZELSlaveClient::command_failed);
    if (!m_connectionProblem.isEmpty()) {
        QMetaObject::invokeMethod(this, &ZELSlaveClient::abandonCommand, Qt::QueuedConnection);
        return;
    }
    startCommand();
}

QObject *ZELSlaveClient::takeRunningServer()
{
    return m_command ? m_command->takeRunningServer() : nullptr;
}

void ZELSlaveClient::checkIdle() const
{
    if (m_command)
        throw BusyException();
}

void ZELSlaveClient::startCommand()
{
    if (!m_peerChecked || m_socket.state() != QAbstractSocket::ConnectedState)
        return;
    if (!m_command)
        return;
    if (m_commandStarted)
        return;
    m_commandStarted = true;
    m_connectTimer.stop();
    m_command->setRequestTimeout(m_requestTimeoutMs);
    m_command->setConnection(&m_socket, m_key);
    m_command->run();
}

void ZELSlaveClient::socket_connected()
{
    // The listener may have changed hands since it was looked at: the socket that answered is
    // what counts.
    const QString owner = PeerCheck::peerOwner(m_socket);
    if (owner.isEmpty() || owner != PeerCheck::ownUser()) {
        qWarning().nospace().noquote() << "Closed the slave connection to port " << m_port << " unused: "
                                       << PeerCheck::describe(owner) << " answered it";
        connectionFailed(QStringLiteral("another user's program answered the slave connection"));
        return;
    }
    m_peerChecked = true;
    startCommand();
}

void ZELSlaveClient::command_successful()
{
    report(true);
}

void ZELSlaveClient::command_failed()
{
    report(false);
}

void ZELSlaveClient::report(bool success)
{
    if (!m_command)
        return;
    // A command reports once; anything it emits after that is not passed on, so that the
    // owner sees one outcome and one finished() per client.
    disconnect(m_command, nullptr, this, nullptr);

    QPointer<ZELSlaveClient> self(this);
    if (success)
        emit commandSuccessful(*m_command);
    else
        emit commandFailed(*m_command);
    if (self)
        emit finished();
}
