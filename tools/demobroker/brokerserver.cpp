#include "brokerserver.h"

#include "brokersession.h"

#include <QDebug>
#include <QSslSocket>

BrokerServer::BrokerServer(const BrokerConfig &config, const QSslCertificate &certificate, const QSslKey &key,
                           QObject *parent)
    : QTcpServer(parent)
    , m_config(config)
    , m_certificate(certificate)
    , m_key(key)
{
}

BrokerServer::~BrokerServer()
{
    stop();
}

void BrokerServer::stop()
{
    close();
    const QList<BrokerSession *> sessions = m_sessions;
    m_sessions.clear();
    for (BrokerSession *session : sessions) {
        disconnect(session, nullptr, this, nullptr);
        session->shutdown();
        delete session;
    }
}

void BrokerServer::cutTunnels(bool stall)
{
    const QList<BrokerSession *> sessions = m_sessions;
    for (BrokerSession *session : sessions)
        session->cutTunnel(stall);
}

void BrokerServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QSslSocket;
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        qWarning().noquote() << "cannot take an incoming connection:" << socket->errorString();
        delete socket;
        return;
    }
    socket->setLocalCertificate(m_certificate);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    auto *session = new BrokerSession(socket, &m_config, this);
    m_sessions.append(session);
    connect(session, &BrokerSession::finished, this, &BrokerServer::session_finished);
}

void BrokerServer::session_finished()
{
    auto *session = qobject_cast<BrokerSession *>(sender());
    if (!session)
        return;
    m_sessions.removeAll(session);
    session->deleteLater();
}
