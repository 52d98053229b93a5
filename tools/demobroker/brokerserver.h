#pragma once

#include "brokerconfig.h"

#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

class BrokerSession;

// Accepts TLS connections and gives each its own session.
class BrokerServer : public QTcpServer
{
    Q_OBJECT

public:
    BrokerServer(const BrokerConfig &config, const QSslCertificate &certificate, const QSslKey &key,
                 QObject *parent = nullptr);
    ~BrokerServer() override;

    // Stops listening and ends every open connection.
    void stop();
    // Cuts every tunnel, closed or stalled (see BrokerSession::cutTunnel).
    void cutTunnels(bool stall);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void session_finished();

    BrokerConfig m_config;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QList<BrokerSession *> m_sessions;
};
