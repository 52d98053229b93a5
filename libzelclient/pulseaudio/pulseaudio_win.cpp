#include "pulseaudio.h"

#include "helpers/portallocator.h"

#include <QHostAddress>
#include <QTcpSocket>

QString PulseAudio::getPulseModuleExtension()
{
    return QStringLiteral(".dll");
}

// The Unix socket module has no counterpart here (a local socket is a named pipe, which the
// server does not offer): the TCP module, on a loopback port of the session's own. Any local
// user can reach that port, as the module asks nothing of its clients; module loading and
// exit are refused all the same.
QString PulseAudio::commandModuleLine()
{
    m_commandPort = PortAllocator::findAvailablePort();
    return QStringLiteral("load-module module-cli-protocol-tcp listen=127.0.0.1 port=%1").arg(m_commandPort);
}

QIODevice *PulseAudio::createCommandSocket()
{
    auto *socket = new QTcpSocket(this);
    connect(socket, &QTcpSocket::connected, this, &PulseAudio::socketConnected);
    connect(socket, &QTcpSocket::disconnected, this, &PulseAudio::socketDisconnected);
    // The local socket's errors are numbered as these.
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) { socketError(QLocalSocket::LocalSocketError(int(error))); });
    return socket;
}

void PulseAudio::openCommandSocket()
{
    static_cast<QTcpSocket *>(m_socket)->connectToHost(QHostAddress(QHostAddress::LocalHost), m_commandPort);
}

void PulseAudio::closeCommandSocket()
{
    static_cast<QTcpSocket *>(m_socket)->abort();
}

bool PulseAudio::commandSocketConnected() const
{
    return static_cast<QTcpSocket *>(m_socket)->state() == QAbstractSocket::ConnectedState;
}

bool PulseAudio::commandSocketIdle() const
{
    return static_cast<QTcpSocket *>(m_socket)->state() == QAbstractSocket::UnconnectedState;
}
