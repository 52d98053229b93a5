#include "soundrelay.h"

#include "helpers/peercheck.h"
#include "socketforwarder.h"

#include <QDebug>
#include <QLocalSocket>
#include <QTcpSocket>

SoundRelay::SoundRelay(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &SoundRelay::accept);
}

bool SoundRelay::listen()
{
    if (!m_server.listen(QHostAddress::LocalHost, 0)) {
        qWarning().nospace().noquote() << "Cannot listen for the VM's sound: " << m_server.errorString();
        return false;
    }
    return true;
}

void SoundRelay::setServerSocket(const QString &path)
{
    m_serverSocket = path;
}

void SoundRelay::accept()
{
    while (QTcpSocket *connection = m_server.nextPendingConnection()) {
        const QString owner = PeerCheck::peerOwner(*connection);
        if (owner.isEmpty() || owner != PeerCheck::ownUser()) {
            qWarning().nospace().noquote() << "Closed a connection to the sound port from " << PeerCheck::describe(owner)
                                           << " (port " << connection->peerPort() << ")";
            connection->abort();
            connection->deleteLater();
            continue;
        }
        if (m_serverSocket.isEmpty()) {
            qDebug() << "A sound stream came before the sound server runs; it is closed";
            connection->abort();
            connection->deleteLater();
            continue;
        }
        relay(connection);
    }
}

// The connection, the server's socket and the forwarder between them go together, when
// either side ends.
void SoundRelay::relay(QTcpSocket *connection)
{
    auto *link = new QObject(this);
    connection->setParent(link);
    auto *server = new QLocalSocket(link);
    const auto end = [link]() { link->deleteLater(); };
    connect(connection, &QAbstractSocket::disconnected, link, end);
    connect(server, &QLocalSocket::disconnected, link, end);
    connect(server, &QLocalSocket::errorOccurred, link, [connection, server, link](QLocalSocket::LocalSocketError error) {
        if (server->state() == QLocalSocket::ConnectedState)
            return;
        qWarning().nospace() << "The sound server does not take the stream: " << error;
        connection->abort();
        link->deleteLater();
    });
    connect(server, &QLocalSocket::connected, link, [connection, server, link]() {
        new SocketForwarder(link, connection, server);
    });
    server->connectToServer(m_serverSocket);
}
