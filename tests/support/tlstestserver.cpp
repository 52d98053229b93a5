#include "tlstestserver.h"

#include "testenvironment.h"
#include "zelclient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct SharedCertificate {
    QTemporaryDir dir;
    QSslCertificate certificate;
    QSslKey key;
    QString error;
    bool made = false;
};

SharedCertificate &sharedCertificate()
{
    static SharedCertificate shared;
    if (!shared.made) {
        shared.made = true;
        if (!shared.dir.isValid())
            shared.error = QStringLiteral("no temporary folder for the certificate");
        else
            TlsTestServer::generateCertificate(shared.dir.path(), QStringLiteral("localhost"),
                                               &shared.certificate, &shared.key, &shared.error);
    }
    return shared;
}

} // namespace

TlsTestServer::TlsTestServer(QObject *parent)
    : QTcpServer(parent)
{
}

TlsTestServer::~TlsTestServer() = default;

bool TlsTestServer::generateCertificate(const QString &dir, const QString &commonName,
                                        QSslCertificate *certificate, QSslKey *key, QString *error)
{
    const QString keyPath = dir + QStringLiteral("/key.pem");
    const QString certPath = dir + QStringLiteral("/cert.pem");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                   QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=") + commonName,
                   QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=DNS:%1,IP:127.0.0.1").arg(commonName),
                   QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath});
    if (!openssl.waitForFinished(TestEnvironment::timeout(60000)) || openssl.exitStatus() != QProcess::NormalExit
        || openssl.exitCode() != 0) {
        if (openssl.state() != QProcess::NotRunning) {
            openssl.kill();
            openssl.waitForFinished();
        }
        *error = QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAll())
            + openssl.errorString();
        return false;
    }

    QFile certFile(certPath);
    QFile keyFile(keyPath);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the files openssl wrote");
        return false;
    }
    *certificate = QSslCertificate(&certFile, QSsl::Pem);
    *key = QSslKey(&keyFile, QSsl::Rsa, QSsl::Pem);
    if (certificate->isNull() || key->isNull()) {
        *error = QStringLiteral("openssl wrote an unreadable key pair");
        return false;
    }
    return true;
}

bool TlsTestServer::start()
{
    const SharedCertificate &shared = sharedCertificate();
    if (!shared.error.isEmpty()) {
        m_errorText = shared.error;
        return false;
    }
    m_certificate = shared.certificate;
    m_key = shared.key;
    if (!listen(QHostAddress::LocalHost, 0)) {
        m_errorText = errorString();
        return false;
    }
    return true;
}

bool TlsTestServer::hasPendingConnections() const
{
    for (const QPointer<QSslSocket> &socket : m_pending) {
        if (socket)
            return true;
    }
    return false;
}

QTcpSocket *TlsTestServer::nextPendingConnection()
{
    while (!m_pending.isEmpty()) {
        if (QSslSocket *socket = m_pending.takeFirst())
            return socket;
    }
    return nullptr;
}

QSslConfiguration TlsTestServer::trustingClientConfiguration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({m_certificate});
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return configuration;
}

void TlsTestServer::incomingConnection(qintptr handle)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    ++m_connectionCount;
    if (!m_configuration.isNull()) {
        socket->setSslConfiguration(m_configuration);
    } else {
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    }
    m_pending.append(socket);
    connect(socket, &QSslSocket::encrypted, this, [this, socket]() {
        m_ready.append(socket);
        emit encrypted(socket);
    });
    socket->startServerEncryption();
}

QSslSocket *TlsTestServer::nextEncrypted(int timeoutMs)
{
    if (m_ready.isEmpty()) {
        QSignalSpy spy(this, &TlsTestServer::encrypted);
        spy.wait(TestEnvironment::timeout(timeoutMs));
    }
    while (!m_ready.isEmpty()) {
        QSslSocket *socket = m_ready.takeFirst();
        if (socket)
            return socket;
    }
    return nullptr;
}

QByteArray TlsTestServer::readRequestHead(QSslSocket *socket, int timeoutMs)
{
    QByteArray head;
    QSignalSpy spy(socket, &QSslSocket::readyRead);
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine();
            head += line;
            if (line == "\n" || line == "\r\n")
                return head;
        }
        const int left = TestEnvironment::timeout(timeoutMs) - static_cast<int>(timer.elapsed());
        if (left <= 0 || (!spy.wait(left) && !socket->canReadLine()))
            return QByteArray();
    }
}

QSslSocket *TlsTestServer::establish(ZELClient &client, const ZELConnectionParameters &given)
{
    ZELConnectionParameters parameters = given;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    parameters.setPort(serverPort());
    client.setParameters(parameters);
    connect(&client, &ZELClient::sslErrors, this,
            [](const QList<QSslError> &, const QList<QSslCertificate> &, bool &accept) { accept = true; },
            Qt::DirectConnection);
    QSignalSpy established(&client, &ZELClient::connectionEstablished);
    client.connectToZEL();
    QSslSocket *peer = nextEncrypted();
    if (!peer || !(established.count() == 1 || established.wait(TestEnvironment::timeout(10000))))
        return nullptr;
    return peer;
}
