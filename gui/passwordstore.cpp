#include "passwordstore.h"

#include "helpers/privatefiles.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QSettings>
#include <QTimer>

#include <algorithm>

#include <qt5keychain/keychain.h>

namespace {

const QString passwordsArray = QStringLiteral("Connection/remembered_passwords");
const QString legacySettingsKey = QStringLiteral("Connection/password");
// Where the owner of the old single entry is noted until it has moved, and that it has.
const QString legacyHostKey = QStringLiteral("Connection/legacy_password_host");
const QString legacyUserKey = QStringLiteral("Connection/legacy_password_user");
const QString legacyMovedKey = QStringLiteral("Connection/passwords_by_server");

struct StoredPassword {
    QString host;
    QString user;
    QByteArray encoded;
};

QList<StoredPassword> readStoredPasswords(QSettings &settings)
{
    QList<StoredPassword> entries;
    const int count = settings.beginReadArray(passwordsArray);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        entries.append({settings.value(QStringLiteral("host")).toString(), settings.value(QStringLiteral("user")).toString(),
                        settings.value(QStringLiteral("password")).toByteArray()});
    }
    settings.endArray();
    return entries;
}

void writeStoredPasswords(QSettings &settings, const QList<StoredPassword> &entries)
{
    settings.remove(passwordsArray);
    if (entries.isEmpty())
        return;
    settings.beginWriteArray(passwordsArray, entries.size());
    for (int i = 0; i < entries.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("host"), entries.at(i).host);
        settings.setValue(QStringLiteral("user"), entries.at(i).user);
        settings.setValue(QStringLiteral("password"), entries.at(i).encoded);
    }
    settings.endArray();
}

} // namespace

PasswordStore::PasswordStore(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<PasswordStore::Place>();
}

PasswordStore::~PasswordStore() = default;

QString PasswordStore::service()
{
    return QCoreApplication::applicationName();
}

QString PasswordStore::key(const QString &host, const QString &user)
{
    // A host name holds no "@": the last one separates the two.
    return user + QLatin1Char('@') + host;
}

QString PasswordStore::legacyKey()
{
    return QStringLiteral("password");
}

QString PasswordStore::settingsPassword(const QString &host, const QString &user)
{
    QSettings settings;
    const QList<StoredPassword> entries = readStoredPasswords(settings);
    for (const StoredPassword &entry : entries) {
        if (entry.host == host && entry.user == user)
            return QString::fromUtf8(QByteArray::fromBase64(entry.encoded));
    }
    return QString();
}

void PasswordStore::setSettingsPassword(const QString &host, const QString &user, const QString &password)
{
    QSettings settings;
    PrivateFiles::ensureFile(settings.fileName());
    QList<StoredPassword> entries = readStoredPasswords(settings);
    const int before = entries.size();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const StoredPassword &entry) { return entry.host == host && entry.user == user; }),
                  entries.end());
    if (password.isEmpty() && entries.size() == before)
        return;
    if (!password.isEmpty())
        entries.append({host, user, password.toUtf8().toBase64()});
    writeStoredPasswords(settings, entries);
    settings.sync();
    // The settings may have been written anew: keep them private on every save.
    PrivateFiles::ensureFile(settings.fileName());
}

PasswordStore::Owner PasswordStore::legacyOwner()
{
    QSettings settings;
    if (settings.value(legacyMovedKey, false).toBool())
        return Owner();
    if (!settings.contains(legacyHostKey)) {
        settings.setValue(legacyHostKey, settings.value(QStringLiteral("Connection/host")).toString());
        settings.setValue(legacyUserKey, settings.value(QStringLiteral("Connection/username")).toString());
    }
    const Owner owner{settings.value(legacyHostKey).toString(), settings.value(legacyUserKey).toString()};
    if (!owner.isComplete()) {
        // No server and user to give it to: an old entry can never be used.
        legacyMoved();
        return Owner();
    }

    const QString fromSettings = QString::fromUtf8(QByteArray::fromBase64(settings.value(legacySettingsKey).toByteArray()));
    if (!fromSettings.isEmpty()) {
        if (settingsPassword(owner.host, owner.user).isEmpty())
            setSettingsPassword(owner.host, owner.user, fromSettings);
        settings.remove(legacySettingsKey);
        qInfo() << "The remembered password of the settings now belongs to its server and user";
    }
    return owner;
}

void PasswordStore::legacyMoved()
{
    QSettings settings;
    settings.setValue(legacyMovedKey, true);
    settings.remove(legacyHostKey);
    settings.remove(legacyUserKey);
}

void PasswordStore::startJob(QKeychain::Job *job, const QString &key)
{
    // A job belongs to no store: the keyring library answers through a callback that holds the
    // job, so the job must outlive a store that goes first. It deletes itself once it has
    // answered, and its answer reaches this store only while the store is there.
    ++m_pending;
    job->setKey(key);
    job->start();
}

void PasswordStore::jobFinished()
{
    if (--m_pending == 0)
        emit idle();
}

void PasswordStore::load(const QString &host, const QString &user)
{
    if (host.isEmpty() || user.isEmpty()) {
        emit loaded(host, user, QString());
        return;
    }
    const Owner owner = legacyOwner();
    const QString fromSettings = settingsPassword(host, user);
    if (!fromSettings.isEmpty()) {
        emit loaded(host, user, fromSettings);
        return;
    }
    if (!owner.isComplete() || m_legacyAsked) {
        readKeyring(host, user);
        return;
    }
    // Once per run: the old single entry moves to its server and user before anything is read.
    m_legacyAsked = true;
    auto *job = new QKeychain::ReadPasswordJob(service());
    connect(job, &QKeychain::Job::finished, this,
            [this, host, user](QKeychain::Job *finished) { readLegacyFinished(finished, host, user); });
    startJob(job, legacyKey());
}

void PasswordStore::readLegacyFinished(QKeychain::Job *job, const QString &host, const QString &user)
{
    if (job->error() == QKeychain::NoError) {
        const QString password = static_cast<QKeychain::ReadPasswordJob *>(job)->textData();
        const Owner owner = legacyOwner();
        qInfo() << "The keyring's remembered password moves to its server and user";
        // The old entry goes once the new one holds the password (or the settings do).
        write(owner.host, owner.user, password, true);
        if (owner.host == host && owner.user == user) {
            jobFinished();
            emit loaded(host, user, password);
            return;
        }
    } else if (job->error() == QKeychain::EntryNotFound) {
        legacyMoved();
    }
    jobFinished();
    readKeyring(host, user);
}

void PasswordStore::readKeyring(const QString &host, const QString &user)
{
    auto *job = new QKeychain::ReadPasswordJob(service());
    connect(job, &QKeychain::Job::finished, this,
            [this, host, user](QKeychain::Job *finished) { readFinished(finished, host, user); });
    startJob(job, key(host, user));
}

void PasswordStore::readFinished(QKeychain::Job *job, const QString &host, const QString &user)
{
    QString password;
    if (job->error() == QKeychain::NoError) {
        password = static_cast<QKeychain::ReadPasswordJob *>(job)->textData();
        m_inKeyring.insert(job->key(), password);
        m_keyringMayHold.insert(job->key());
        qInfo() << "Password read from the keyring";
    } else if (job->error() != QKeychain::EntryNotFound) {
        qInfo().noquote() << "No password from the keyring:" << job->errorString();
        emit keyringFailed(job->errorString());
    }
    jobFinished();
    emit loaded(host, user, password);
}

void PasswordStore::remember(const QString &host, const QString &user, const QString &password)
{
    if (password.isEmpty()) {
        forget(host, user);
        return;
    }
    if (host.isEmpty() || user.isEmpty()) {
        emit stored(Place::Nowhere);
        return;
    }
    const QString entry = key(host, user);
    if (m_pending == 0 && m_inKeyring.value(entry) == password && settingsPassword(host, user).isEmpty()) {
        emit stored(Place::Keyring);
        return;
    }
    write(host, user, password, false);
}

void PasswordStore::write(const QString &host, const QString &user, const QString &password, bool replacesLegacy)
{
    const QString entry = key(host, user);
    m_unconfirmed.insert(entry, password);
    m_keyringMayHold.insert(entry);
    auto *job = new QKeychain::WritePasswordJob(service());
    job->setTextData(password);
    connect(job, &QKeychain::Job::finished, this, [this, host, user, password, replacesLegacy](QKeychain::Job *finished) {
        // Started first: work still to do keeps the store from counting as idle.
        if (replacesLegacy)
            removeLegacy();
        writeFinished(finished, host, user, password);
    });
    startJob(job, entry);
}

void PasswordStore::removeLegacy()
{
    legacyMoved();
    auto *removal = new QKeychain::DeletePasswordJob(service());
    connect(removal, &QKeychain::Job::finished, this, &PasswordStore::deleteFinished);
    startJob(removal, legacyKey());
}

void PasswordStore::writeFinished(QKeychain::Job *job, const QString &host, const QString &user,
                                  const QString &password)
{
    const QString entry = key(host, user);
    if (m_unconfirmed.value(entry) == password)
        m_unconfirmed.remove(entry);
    Place place = Place::Keyring;
    if (job->error() == QKeychain::NoError) {
        m_inKeyring.insert(entry, password);
        // Moved: the settings keep no copy.
        setSettingsPassword(host, user, QString());
        qInfo() << "Password kept in the keyring";
    } else {
        m_inKeyring.remove(entry);
        setSettingsPassword(host, user, password);
        place = Place::Settings;
        qInfo().noquote() << "No keyring answered (" + job->errorString() + "); the password is kept in the settings";
        emit keyringFailed(job->errorString());
    }
    jobFinished();
    emit stored(place);
}

void PasswordStore::forget(const QString &host, const QString &user)
{
    const QString entry = key(host, user);
    m_unconfirmed.remove(entry);
    setSettingsPassword(host, user, QString());
    if (!m_keyringMayHold.remove(entry)) {
        emit stored(Place::Nowhere);
        return;
    }
    m_inKeyring.remove(entry);
    auto *job = new QKeychain::DeletePasswordJob(service());
    connect(job, &QKeychain::Job::finished, this, [this](QKeychain::Job *finished) {
        deleteFinished(finished);
        emit stored(Place::Nowhere);
    });
    startJob(job, entry);
}

void PasswordStore::deleteFinished(QKeychain::Job *job)
{
    if (job->error() != QKeychain::NoError && job->error() != QKeychain::EntryNotFound)
        qInfo().noquote() << "The keyring did not remove the password:" << job->errorString();
    jobFinished();
}

void PasswordStore::finishPending(int timeoutMs)
{
    if (m_pending > 0) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &PasswordStore::idle, &loop, &QEventLoop::quit);
        timer.start(timeoutMs);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (m_unconfirmed.isEmpty())
        return;
    qWarning() << "The keyring did not answer in time; the password is kept in the settings";
    for (auto it = m_unconfirmed.cbegin(); it != m_unconfirmed.cend(); ++it) {
        const int at = it.key().lastIndexOf(QLatin1Char('@'));
        setSettingsPassword(it.key().mid(at + 1), it.key().left(at), it.value());
    }
    m_unconfirmed.clear();
}
