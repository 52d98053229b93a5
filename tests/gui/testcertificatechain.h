#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A certificate authority and a server certificate for "localhost" and 127.0.0.1 signed by
// it, made with openssl when the test runs. Neither is trusted by the system.
class TestCertificateChain
{
public:
    bool create()
    {
        if (!m_dir.isValid())
            return fail(QStringLiteral("no temporary folder"));
        const QString ec = QStringLiteral("ec_paramgen_curve:prime256v1");
        if (!run({"req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-days", "2", "-subj",
                  "/CN=ZEL Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                  "keyUsage=keyCertSign,cRLSign", "-keyout", path("ca.key"), "-out", path("ca.pem")}))
            return false;
        if (!run({"req", "-new", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-subj", "/CN=localhost", "-keyout",
                  path("leaf.key"), "-out", path("leaf.csr")}))
            return false;
        QFile extensions(path("leaf.ext"));
        if (!extensions.open(QIODevice::WriteOnly)
            || extensions.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n") < 0)
            return fail(QStringLiteral("cannot write the extension file"));
        extensions.close();
        if (!run({"x509", "-req", "-in", path("leaf.csr"), "-CA", path("ca.pem"), "-CAkey", path("ca.key"),
                  "-CAcreateserial", "-days", "2", "-extfile", path("leaf.ext"), "-out", path("leaf.pem")}))
            return false;

        m_ca = load(QStringLiteral("ca.pem"));
        m_leaf = load(QStringLiteral("leaf.pem"));
        QFile key(path("leaf.key"));
        if (key.open(QIODevice::ReadOnly))
            m_leafKey = QSslKey(key.readAll(), QSsl::Ec);
        if (m_ca.isNull() || m_leaf.isNull() || m_leafKey.isNull())
            return fail(QStringLiteral("openssl's output does not load"));
        return true;
    }

    QSslCertificate ca() const { return m_ca; }
    QSslCertificate leaf() const { return m_leaf; }
    QSslKey leafKey() const { return m_leafKey; }
    QList<QSslCertificate> chain() const { return {m_leaf, m_ca}; }
    QString errorText() const { return m_error; }

    // A self-signed certificate with the given subject ("/O=Example"), or a null one.
    QSslCertificate selfSigned(const QString &subject, const QString &name)
    {
        if (!run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                  "-subj", subject, "-keyout", path(name + ".key"), "-out", path(name + ".pem")}))
            return QSslCertificate();
        return load(name + ".pem");
    }

    // openssl's own SHA-256 fingerprint of a certificate file ("ca.pem", "leaf.pem"), as
    // lower-case hex without separators.
    QString opensslFingerprint(const QString &file)
    {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), {"x509", "-in", path(file), "-noout", "-fingerprint", "-sha256"});
        if (!openssl.waitForFinished(30000))
            openssl.kill();
        const QString line = QString::fromLatin1(openssl.readAllStandardOutput()).trimmed();
        return line.section(QLatin1Char('='), 1).remove(QLatin1Char(':')).toLower();
    }

    // Writes the accepted-certificate entries as given, bypassing the store, so that tests can
    // set up entries the store itself would never write.
    // Raw store entries; an entry without a host is written the way they were before
    // acceptances named their host.
    static void writeStoredFingerprints(const QStringList &hashes, const QStringList &hosts = {})
    {
        QSettings settings;
        settings.remove(QStringLiteral("SSL"));
        settings.beginGroup(QStringLiteral("SSL"));
        settings.beginWriteArray(QStringLiteral("AcceptedCertificates"));
        for (int i = 0; i < hashes.size(); ++i) {
            settings.setArrayIndex(i);
            settings.setValue(QStringLiteral("hash"), hashes.at(i));
            if (!hosts.value(i).isEmpty())
                settings.setValue(QStringLiteral("host"), hosts.at(i));
        }
        settings.endArray();
        settings.endGroup();
    }

private:
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QSslCertificate load(const QString &name) const
    {
        QFile file(path(name));
        if (!file.open(QIODevice::ReadOnly))
            return QSslCertificate();
        return QSslCertificate(file.readAll(), QSsl::Pem);
    }

    bool run(const QStringList &arguments)
    {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"), arguments);
        if (!openssl.waitForFinished(60000)) {
            openssl.kill();
            openssl.waitForFinished();
            return fail(QStringLiteral("openssl did not finish: ") + openssl.errorString());
        }
        if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
            return fail(QStringLiteral("openssl %1 failed: %2")
                            .arg(arguments.value(0), QString::fromLocal8Bit(openssl.readAll())));
        return true;
    }

    bool fail(const QString &text)
    {
        m_error = text;
        return false;
    }

    QTemporaryDir m_dir;
    QSslCertificate m_ca;
    QSslCertificate m_leaf;
    QSslKey m_leafKey;
    QString m_error;
};
