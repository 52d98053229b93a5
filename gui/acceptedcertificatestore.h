#pragma once

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

// The server certificates the user accepted permanently, kept in the settings store as
// SHA-256 fingerprints of their DER encoding (lower-case hex), each with the broker host it was
// accepted for. A certificate chain passes without asking when every certificate of it was
// accepted for the same host: a certificate accepted for one broker says nothing about another.
// Entries stored before acceptances named their host are taken by the first host they pass for.
class AcceptedCertificateStore
{
public:
    struct Entry {
        QString hash;
        // Lower case; empty for an entry stored before acceptances named their host.
        QString host;
    };

    AcceptedCertificateStore() = default;

    static QString fingerprint(const QSslCertificate &certificate);

    // The stored entries and their fingerprints, in stored order.
    QList<Entry> entries() const;
    QStringList fingerprints() const;

    // Fingerprints of the chain's certificates that are not stored for the host, in chain
    // order, each once.
    QStringList pendingFingerprints(const QList<QSslCertificate> &chain, const QString &host) const;

    // True when the chain has certificates and all of them were accepted for the host before.
    // An empty chain proves nothing and is never accepted. Entries without a host that let the
    // chain pass are bound to the host from then on.
    bool isChainAccepted(const QList<QSslCertificate> &chain, const QString &host);

    // Stores every certificate of the chain for the host: the earlier entries first, in their
    // order, then the new ones in chain order.
    void acceptChain(const QList<QSslCertificate> &chain, const QString &host);

private:
    QStringList pending(const QList<QSslCertificate> &chain, const QString &host, const QList<Entry> &stored,
                        bool log) const;
    static bool matches(const Entry &entry, const QString &hash, const QString &host);
    // Gives the host to the entries without one that hold a certificate of the chain; true
    // when any changed.
    static bool bindUnboundEntries(QList<Entry> &stored, const QList<QSslCertificate> &chain, const QString &host);
    static QString normalizedHost(const QString &host);
    static void write(const QList<Entry> &entries);
};
