#include "acceptedcertificatestore.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QSettings>

namespace {
const QString groupName = QStringLiteral("SSL");
const QString arrayName = QStringLiteral("AcceptedCertificates");
const QString hashKey = QStringLiteral("hash");
const QString hostKey = QStringLiteral("host");
}

QString AcceptedCertificateStore::fingerprint(const QSslCertificate &certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex());
}

QString AcceptedCertificateStore::normalizedHost(const QString &host)
{
    // Host names are not case-sensitive.
    return host.trimmed().toLower();
}

QList<AcceptedCertificateStore::Entry> AcceptedCertificateStore::entries() const
{
    QList<Entry> stored;
    QSettings settings;
    settings.beginGroup(groupName);
    const int count = settings.beginReadArray(arrayName);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        stored << Entry{settings.value(hashKey).toString(), normalizedHost(settings.value(hostKey).toString())};
    }
    settings.endArray();
    settings.endGroup();
    return stored;
}

QStringList AcceptedCertificateStore::fingerprints() const
{
    QStringList hashes;
    for (const Entry &entry : entries())
        hashes << entry.hash;
    return hashes;
}

bool AcceptedCertificateStore::matches(const Entry &entry, const QString &hash, const QString &host)
{
    // Exact text: an entry written some other way (upper-case hex) is not the same entry.
    return entry.hash == hash && (entry.host.isEmpty() || entry.host == host);
}

QStringList AcceptedCertificateStore::pendingFingerprints(const QList<QSslCertificate> &chain,
                                                          const QString &host) const
{
    return pending(chain, normalizedHost(host), entries(), false);
}

QStringList AcceptedCertificateStore::pending(const QList<QSslCertificate> &chain, const QString &host,
                                              const QList<Entry> &stored, bool log) const
{
    QStringList pendingList;
    for (const QSslCertificate &certificate : chain) {
        const QString hash = fingerprint(certificate);
        if (log)
            qInfo().nospace().noquote() << "Hash: " << hash;
        if (!pendingList.contains(hash))
            pendingList << hash;
    }

    for (const Entry &entry : stored) {
        if (log)
            qInfo().nospace().noquote() << "STORED: " << entry.hash;
        if (matches(entry, entry.hash, host))
            pendingList.removeAll(entry.hash);
    }
    return pendingList;
}

bool AcceptedCertificateStore::isChainAccepted(const QList<QSslCertificate> &chain, const QString &host)
{
    if (chain.isEmpty()) {
        qInfo() << "The server sent no certificate to compare with the accepted ones";
        return false;
    }
    const QString boundHost = normalizedHost(host);
    QList<Entry> stored = entries();
    if (!pending(chain, boundHost, stored, true).isEmpty())
        return false;
    qInfo() << "All certs in the chain have been previously accepted";

    if (bindUnboundEntries(stored, chain, boundHost))
        write(stored);
    return true;
}

bool AcceptedCertificateStore::bindUnboundEntries(QList<Entry> &stored, const QList<QSslCertificate> &chain,
                                                  const QString &host)
{
    if (host.isEmpty())
        return false;
    QStringList hashes;
    for (const QSslCertificate &certificate : chain)
        hashes << fingerprint(certificate);
    bool bound = false;
    for (Entry &entry : stored) {
        if (entry.host.isEmpty() && hashes.contains(entry.hash)) {
            entry.host = host;
            bound = true;
        }
    }
    return bound;
}

void AcceptedCertificateStore::acceptChain(const QList<QSslCertificate> &chain, const QString &host)
{
    const QString boundHost = normalizedHost(host);
    QList<Entry> stored = entries();
    const QStringList added = pending(chain, boundHost, stored, false);
    bindUnboundEntries(stored, chain, boundHost);
    for (const QString &hash : added)
        stored << Entry{hash, boundHost};
    write(stored);
}

void AcceptedCertificateStore::write(const QList<Entry> &entries)
{
    QSettings settings;
    settings.beginGroup(groupName);
    settings.remove(arrayName);
    settings.beginWriteArray(arrayName);
    int index = 0;
    for (const Entry &entry : entries) {
        settings.setArrayIndex(index++);
        settings.setValue(hashKey, entry.hash);
        if (!entry.host.isEmpty())
            settings.setValue(hostKey, entry.host);
    }
    settings.endArray();
    settings.endGroup();
}
