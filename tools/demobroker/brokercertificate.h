#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// The broker's TLS identity: files given by the user, or a self-signed certificate that is made
// with openssl on first start and kept in the broker's state folder for later starts.
class BrokerCertificate
{
public:
    static QString certificateFileName() { return QStringLiteral("broker.crt"); }
    static QString keyFileName() { return QStringLiteral("broker.key"); }

    bool loadFiles(const QString &certificatePath, const QString &keyPath, QString *error);
    // Uses the pair in the folder, making it first when it is not there yet.
    bool loadOrCreate(const QString &stateDir, QString *error);

    QSslCertificate certificate() const { return m_certificate; }
    QSslKey key() const { return m_key; }

private:
    static bool generate(const QString &stateDir, QString *error);

    QSslCertificate m_certificate;
    QSslKey m_key;
};
