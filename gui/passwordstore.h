#pragma once

#include <QObject>
#include <QString>

namespace QKeychain {
class Job;
}

// Keeps the remembered password. It goes to the desktop keyring (a Secret Service, through
// QtKeychain) when one answers, and otherwise into the settings store as it always was: Base64
// of its UTF-8 bytes under "Connection/password", in a settings file private to the user. A
// password found in the settings (put there by an earlier version, or as the fallback) is still
// read, and moves to the keyring at the next save.
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

    // Reads the remembered password: from the settings when one is there (loaded() comes at
    // once), otherwise from the keyring (loaded() comes when it answers, with an empty text
    // when it holds none or does not answer).
    void load();
    // Remembers the password; stored() tells where it went. An empty password is forgotten.
    void remember(const QString &password);
    // Removes the password from the settings at once and from the keyring when it may be there.
    void forget();
    // Lets keyring work still under way finish, for timeoutMs at most (the program is about
    // to end). A password the keyring has not confirmed by then goes to the settings, so that
    // it is not lost.
    void finishPending(int timeoutMs);
    bool hasPending() const { return m_pending > 0; }

    // The service and key of the keyring entry.
    static QString service();
    static QString key();

signals:
    void loaded(const QString &password);
    void stored(PasswordStore::Place place);
    void idle();

private:
    void startJob(QKeychain::Job *job);
    void jobFinished();
    void readFinished(QKeychain::Job *job);
    void writeFinished(QKeychain::Job *job, const QString &password);
    void deleteFinished(QKeychain::Job *job);

    static QString settingsPassword();
    static void setSettingsPassword(const QString &password);

    int m_pending = 0;
    // What the keyring is known to hold; remembering the same again needs no keyring work.
    QString m_inKeyring;
    // The last password handed to the keyring that it has not confirmed yet.
    QString m_unconfirmed;
    // The keyring may hold a password of ours (one was read from it or written to it).
    bool m_keyringMayHold = false;
};
