#pragma once

#include <QSslConfiguration>
#include <QTcpServer>

// The far end of the tunnel in the benchmark: a TLS server that plays the broker's role and
// serves each connection with an EndpointSession.
class TlsEndpoint : public QTcpServer
{
    Q_OBJECT

public:
    TlsEndpoint(const QSslConfiguration &configuration, QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration m_configuration;
};
