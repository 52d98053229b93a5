#pragma once

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

// The server certificates the user accepted permanently, kept in the settings store as
// SHA-256 fingerprints of their DER encoding (lower-case hex). A certificate chain passes
// without asking when every certificate of it is in the store. Entries are only ever added.
class AcceptedCertificateStore
{
public:
    AcceptedCertificateStore() = default;

    static QString fingerprint(const QSslCertificate &certificate);

    // The stored fingerprints, in stored order.
    QStringList fingerprints() const;

    // Fingerprints of the chain's certificates that are not stored, in chain order, each once.
    QStringList pendingFingerprints(const QList<QSslCertificate> &chain) const;

    // True when the chain has certificates and all of them were accepted before. An empty
    // chain proves nothing and is never accepted.
    bool isChainAccepted(const QList<QSslCertificate> &chain) const;

    // Stores every certificate of the chain: the earlier entries first, in their order, then
    // the new ones in chain order.
    void acceptChain(const QList<QSslCertificate> &chain);

private:
    QStringList pending(const QList<QSslCertificate> &chain, QStringList *stored, bool log) const;
};
