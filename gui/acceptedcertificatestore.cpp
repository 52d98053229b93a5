#include "acceptedcertificatestore.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QSettings>

namespace {
const QString groupName = QStringLiteral("SSL");
const QString arrayName = QStringLiteral("AcceptedCertificates");
const QString hashKey = QStringLiteral("hash");
}

QString AcceptedCertificateStore::fingerprint(const QSslCertificate &certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex());
}

QStringList AcceptedCertificateStore::fingerprints() const
{
    QStringList stored;
    QSettings settings;
    settings.beginGroup(groupName);
    const int count = settings.beginReadArray(arrayName);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        stored << settings.value(hashKey).toString();
    }
    settings.endArray();
    settings.endGroup();
    return stored;
}

QStringList AcceptedCertificateStore::pendingFingerprints(const QList<QSslCertificate> &chain) const
{
    return pending(chain, nullptr, false);
}

QStringList AcceptedCertificateStore::pending(const QList<QSslCertificate> &chain, QStringList *stored,
                                              bool log) const
{
    QStringList pendingList;
    for (const QSslCertificate &certificate : chain) {
        const QString hash = fingerprint(certificate);
        if (log)
            qInfo().nospace().noquote() << "Hash: " << hash;
        if (!pendingList.contains(hash))
            pendingList << hash;
    }

    const QStringList known = fingerprints();
    for (const QString &hash : known) {
        if (log)
            qInfo().nospace().noquote() << "STORED: " << hash;
        // Exact text: an entry written some other way (upper-case hex) is not the same entry.
        pendingList.removeAll(hash);
    }
    if (stored)
        *stored = known;
    return pendingList;
}

bool AcceptedCertificateStore::isChainAccepted(const QList<QSslCertificate> &chain) const
{
    if (chain.isEmpty()) {
        qInfo() << "The server sent no certificate to compare with the accepted ones";
        return false;
    }
    if (!pending(chain, nullptr, true).isEmpty())
        return false;
    qInfo() << "All certs in the chain have been previously accepted";
    return true;
}

void AcceptedCertificateStore::acceptChain(const QList<QSslCertificate> &chain)
{
    QStringList stored;
    const QStringList added = pending(chain, &stored, false);

    QSettings settings;
    settings.beginGroup(groupName);
    settings.remove(arrayName);
    settings.beginWriteArray(arrayName);
    int index = 0;
    for (const QString &hash : stored + added) {
        settings.setArrayIndex(index++);
        settings.setValue(hashKey, hash);
    }
    settings.endArray();
    settings.endGroup();
}
