#pragma once

#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QString>
#include <QTcpServer>

class ZELClient;
class ZELConnectionParameters;

// A TLS server on 127.0.0.1 for tests, with a self-signed certificate for "localhost" and
// 127.0.0.1 that openssl makes at test time. Accepted connections stay children of the
// server; a test takes them one by one once their handshake is done.
class TlsTestServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit TlsTestServer(QObject *parent = nullptr);
    ~TlsTestServer() override;

    // Makes the certificate (once per process) and listens on a free loopback port.
    // On failure errorText() says why.
    bool start();
    QString errorText() const { return m_errorText; }

    QSslCertificate certificate() const { return m_certificate; }
    QSslKey privateKey() const { return m_key; }

    // Accepted connections present this configuration (a chain, a key of their own) instead of
    // the certificate start() makes; listen() then starts the server without making one.
    void setServerConfiguration(const QSslConfiguration &configuration) { m_configuration = configuration; }

    // A client configuration that trusts exactly this server's certificate.
    QSslConfiguration trustingClientConfiguration() const;

    // The next accepted connection whose handshake has completed, or null after timeoutMs.
    QSslSocket *nextEncrypted(int timeoutMs = 10000);
    // Logs the client in to this server, accepting its certificate, and returns the server
    // side once the client reports the session established; null if it does not.
    QSslSocket *establish(ZELClient &client, const ZELConnectionParameters &parameters);
    // Accepted connections are also pending ones, as soon as they are accepted, before their
    // handshake; one the test deleted meanwhile is skipped.
    bool hasPendingConnections() const override;
    QTcpSocket *nextPendingConnection() override;
    // Every accepted connection so far, encrypted or not (a refused handshake shows up here).
    int connectionCount() const { return m_connectionCount; }

    // Reads one request head, up to and including its empty line (LF or CR LF), from a
    // server-side socket; empty after timeoutMs.
    static QByteArray readRequestHead(QSslSocket *socket, int timeoutMs = 10000);

    // Runs openssl to make a self-signed key pair for commonName in dir.
    static bool generateCertificate(const QString &dir, const QString &commonName,
                                    QSslCertificate *certificate, QSslKey *key, QString *error);

signals:
    void encrypted(QSslSocket *socket);

protected:
    void incomingConnection(qintptr handle) override;

private:
    QSslCertificate m_certificate;
    QSslKey m_key;
    QSslConfiguration m_configuration;
    QString m_errorText;
    QList<QPointer<QSslSocket>> m_ready;
    QList<QPointer<QSslSocket>> m_pending;
    int m_connectionCount = 0;
};
