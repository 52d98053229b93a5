#include "brokercertificate.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

bool certificateError(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

bool BrokerCertificate::loadFiles(const QString &certificatePath, const QString &keyPath, QString *error)
{
    QFile certificateFile(certificatePath);
    if (!certificateFile.open(QIODevice::ReadOnly))
        return certificateError(error, QStringLiteral("%1: %2").arg(certificatePath, certificateFile.errorString()));
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateFile.readAll(), QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull())
        return certificateError(error, QStringLiteral("%1: no PEM certificate in it").arg(certificatePath));

    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly))
        return certificateError(error, QStringLiteral("%1: %2").arg(keyPath, keyFile.errorString()));
    const QByteArray keyData = keyFile.readAll();
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(keyData, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull())
        return certificateError(error, QStringLiteral("%1: no unencrypted PEM private key in it").arg(keyPath));
    if (chain.first().publicKey().algorithm() != key.algorithm())
        return certificateError(error, QStringLiteral("%1 does not belong to %2").arg(keyPath, certificatePath));
    m_certificate = chain.first();
    m_key = key;
    return true;
}

bool BrokerCertificate::loadOrCreate(const QString &stateDir, QString *error)
{
    QDir dir(stateDir);
    if (!dir.exists() && !QDir().mkpath(stateDir))
        return certificateError(error, QStringLiteral("%1: cannot create the folder").arg(stateDir));
    QFile::setPermissions(stateDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString certificatePath = dir.filePath(certificateFileName());
    const QString keyPath = dir.filePath(keyFileName());
    if (!QFile::exists(certificatePath) || !QFile::exists(keyPath)) {
        if (!generate(stateDir, error))
            return false;
    }
    return loadFiles(certificatePath, keyPath, error);
}

bool BrokerCertificate::generate(const QString &stateDir, QString *error)
{
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        return certificateError(error, QStringLiteral("openssl was not found on PATH; it makes the broker's certificate "
                                                      "(or give one with --cert and --key)"));
    QDir dir(stateDir);
    const QString certificateTemp = dir.filePath(certificateFileName() + QStringLiteral(".new"));
    const QString keyTemp = dir.filePath(keyFileName() + QStringLiteral(".new"));
    QFile::remove(certificateTemp);
    QFile::remove(keyTemp);

    QString names = QStringLiteral("DNS:localhost,IP:127.0.0.1,IP:::1");
    const QString host = QHostInfo::localHostName();
    static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]{0,250}[A-Za-z0-9])?$"));
    if (host != QLatin1String("localhost") && hostName.match(host).hasMatch())
        names += QStringLiteral(",DNS:") + host;

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList arguments{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                                QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-sha256"),
                                QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-subj"),
                                QStringLiteral("/CN=localhost/O=ZEL demo broker"), QStringLiteral("-addext"),
                                QStringLiteral("subjectAltName=") + names, QStringLiteral("-keyout"), keyTemp,
                                QStringLiteral("-out"), certificateTemp};
    qInfo().noquote() << "making a self-signed certificate in" << stateDir << "with" << openssl;
    process.start(openssl, arguments);
    if (!process.waitForStarted(30000))
        return certificateError(error, QStringLiteral("%1 did not start: %2").arg(openssl, process.errorString()));
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
        process.kill();
        process.waitForFinished(5000);
        QFile::remove(certificateTemp);
        QFile::remove(keyTemp);
        return certificateError(error, QStringLiteral("openssl could not make a certificate: %1").arg(output));
    }
    QFile::setPermissions(keyTemp, QFile::ReadOwner | QFile::WriteOwner);
    // The key goes in place first: a certificate without its key is never left behind.
    QFile::remove(dir.filePath(keyFileName()));
    QFile::remove(dir.filePath(certificateFileName()));
    if (!QFile::rename(keyTemp, dir.filePath(keyFileName()))
        || !QFile::rename(certificateTemp, dir.filePath(certificateFileName())))
        return certificateError(error, QStringLiteral("%1: cannot store the new certificate").arg(stateDir));
    qInfo().noquote() << "certificate stored in" << dir.filePath(certificateFileName());
    return true;
}
