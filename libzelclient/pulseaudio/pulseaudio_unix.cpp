#include "pulseaudio.h"

#include <QLocalSocket>

QString PulseAudio::getPulseModuleExtension()
{
    return QStringLiteral(".so");
}

// The command interface is a socket in the server's runtime folder, which only the user can
// open.
QString PulseAudio::commandModuleLine()
{
    return QStringLiteral("load-module module-cli-protocol-unix");
}

QIODevice *PulseAudio::createCommandSocket()
{
    auto *socket = new QLocalSocket(this);
    connect(socket, &QLocalSocket::connected, this, &PulseAudio::socketConnected);
    connect(socket, &QLocalSocket::disconnected, this, &PulseAudio::socketDisconnected);
    connect(socket, &QLocalSocket::errorOccurred, this, &PulseAudio::socketError);
    return socket;
}

void PulseAudio::openCommandSocket()
{
    static_cast<QLocalSocket *>(m_socket)->connectToServer(getPulseSocketPath(), QIODevice::ReadWrite);
}

void PulseAudio::closeCommandSocket()
{
    static_cast<QLocalSocket *>(m_socket)->abort();
}

bool PulseAudio::commandSocketConnected() const
{
    return static_cast<QLocalSocket *>(m_socket)->state() == QLocalSocket::ConnectedState;
}

bool PulseAudio::commandSocketIdle() const
{
    return static_cast<QLocalSocket *>(m_socket)->state() == QLocalSocket::UnconnectedState;
}
