#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

namespace QKeychain {
class Job;
}

// Keeps the remembered passwords, one per server (host) and user name. A password goes to the
// desktop keyring (a Secret Service, through QtKeychain) under "<user>@<host>" when one answers,
// and otherwise into the settings store, the array "Connection/remembered_passwords" (host, user,
// Base64 of the password's UTF-8 bytes) in a settings file private to the user. A password found
// in the settings is still read, and moves to the keyring at the next save.
// Earlier versions kept one password for whichever host and user were stored beside it
// ("Connection/password" in the settings, or the keyring entry "password"): it is used for that
// host and user only, and moved to their entry.
// The keyring answers asynchronously; nothing here waits for it except finishPending(), and
// that for a bounded time only.
class PasswordStore : public QObject
{
    Q_OBJECT

public:
    enum class Place { Nowhere, Keyring, Settings };
    Q_ENUM(Place)

    explicit PasswordStore(QObject *parent = nullptr);
    ~PasswordStore() override;

    // Reads the password remembered for user at host: loaded() follows, at once when the
    // settings hold it, otherwise when the keyring answers (with an empty text when it holds
    // none or does not answer).
    void load(const QString &host, const QString &user);
    // Remembers the password of user at host; stored() tells where it went. An empty password
    // is forgotten; without a host or a user there is nothing to key it by.
    void remember(const QString &host, const QString &user, const QString &password);
    // Removes the password of user at host from the settings at once and from the keyring
    // when it may be there.
    void forget(const QString &host, const QString &user);
    // Lets keyring work still under way finish, for timeoutMs at most (the program is about
    // to end; a store must not go while the keyring works for it). A password the keyring has not confirmed by then goes to the settings, so that
    // it is not lost.
    void finishPending(int timeoutMs);
    bool hasPending() const { return m_pending > 0; }

    // The service and key of a keyring entry; the key of the one entry earlier versions kept.
    static QString service();
    static QString key(const QString &host, const QString &user);
    static QString legacyKey();

signals:
    void loaded(const QString &host, const QString &user, const QString &password);
    void stored(PasswordStore::Place place);
    // The keyring could not be used; the settings keep the passwords instead.
    void keyringFailed(const QString &reason);
    void idle();

private:
    struct Owner {
        QString host;
        QString user;
        bool isComplete() const { return !host.isEmpty() && !user.isEmpty(); }
    };

    void startJob(QKeychain::Job *job, const QString &key);
    void jobFinished();
    void readKeyring(const QString &host, const QString &user);
    void write(const QString &host, const QString &user, const QString &password, bool replacesLegacy);
    void removeLegacy();
    void readLegacyFinished(QKeychain::Job *job, const QString &host, const QString &user);
    void readFinished(QKeychain::Job *job, const QString &host, const QString &user);
    void writeFinished(QKeychain::Job *job, const QString &host, const QString &user, const QString &password);
    void deleteFinished(QKeychain::Job *job);

    // The host and user the old single entry belongs to, noted the first time this version
    // runs, before anything of it saves another host; incomplete once it has been moved.
    static Owner legacyOwner();
    static void legacyMoved();
    static QString settingsPassword(const QString &host, const QString &user);
    static void setSettingsPassword(const QString &host, const QString &user, const QString &password);

    int m_pending = 0;
    // What the keyring is known to hold, by key; remembering the same again needs no keyring work.
    QHash<QString, QString> m_inKeyring;
    // The last password handed to the keyring for each key that it has not confirmed yet.
    QHash<QString, QString> m_unconfirmed;
    // Keys the keyring may hold a password of ours under (one was read or written).
    QSet<QString> m_keyringMayHold;
    bool m_legacyAsked = false;
};
