#include "passwordstore.h"

#include "helpers/privatefiles.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QSettings>
#include <QTimer>

#include <qt5keychain/keychain.h>

namespace {
const QString settingsKey = QStringLiteral("Connection/password");
}

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

QString PasswordStore::key()
{
    return QStringLiteral("password");
}

QString PasswordStore::settingsPassword()
{
    return QString::fromUtf8(QByteArray::fromBase64(QSettings().value(settingsKey).toByteArray()));
}

void PasswordStore::setSettingsPassword(const QString &password)
{
    QSettings settings;
    PrivateFiles::ensureFile(settings.fileName());
    settings.setValue(settingsKey, password.isEmpty() ? QVariant(QString()) : QVariant(password.toUtf8().toBase64()));
    settings.sync();
    // The settings may have been written anew: keep them private on every save.
    PrivateFiles::ensureFile(settings.fileName());
}

void PasswordStore::startJob(QKeychain::Job *job)
{
    ++m_pending;
    job->setKey(key());
    job->start();
}

void PasswordStore::jobFinished()
{
    if (--m_pending == 0)
        emit idle();
}

void PasswordStore::load()
{
    const QString fromSettings = settingsPassword();
    if (!fromSettings.isEmpty()) {
        emit loaded(fromSettings);
        return;
    }
    auto *job = new QKeychain::ReadPasswordJob(service(), this);
    connect(job, &QKeychain::Job::finished, this, &PasswordStore::readFinished);
    startJob(job);
}

void PasswordStore::readFinished(QKeychain::Job *job)
{
    QString password;
    if (job->error() == QKeychain::NoError) {
        password = static_cast<QKeychain::ReadPasswordJob *>(job)->textData();
        m_inKeyring = password;
        m_keyringMayHold = true;
        qInfo() << "Password read from the keyring";
    } else if (job->error() != QKeychain::EntryNotFound) {
        qInfo().noquote() << "No password from the keyring:" << job->errorString();
    }
    jobFinished();
    emit loaded(password);
}

void PasswordStore::remember(const QString &password)
{
    if (password.isEmpty()) {
        forget();
        return;
    }
    if (m_pending == 0 && password == m_inKeyring && settingsPassword().isEmpty()) {
        emit stored(Place::Keyring);
        return;
    }
    m_unconfirmed = password;
    m_keyringMayHold = true;
    auto *job = new QKeychain::WritePasswordJob(service(), this);
    job->setTextData(password);
    connect(job, &QKeychain::Job::finished, this,
            [this, password](QKeychain::Job *finished) { writeFinished(finished, password); });
    startJob(job);
}

void PasswordStore::writeFinished(QKeychain::Job *job, const QString &password)
{
    if (m_unconfirmed == password)
        m_unconfirmed.clear();
    Place place = Place::Keyring;
    if (job->error() == QKeychain::NoError) {
        m_inKeyring = password;
        // Moved: the settings keep no copy.
        setSettingsPassword(QString());
        qInfo() << "Password kept in the keyring";
    } else {
        m_inKeyring.clear();
        setSettingsPassword(password);
        place = Place::Settings;
        qInfo().noquote() << "No keyring answered (" + job->errorString() + "); the password is kept in the settings";
    }
    jobFinished();
    emit stored(place);
}

void PasswordStore::forget()
{
    m_unconfirmed.clear();
    setSettingsPassword(QString());
    if (!m_keyringMayHold) {
        emit stored(Place::Nowhere);
        return;
    }
    m_keyringMayHold = false;
    m_inKeyring.clear();
    auto *job = new QKeychain::DeletePasswordJob(service(), this);
    connect(job, &QKeychain::Job::finished, this, &PasswordStore::deleteFinished);
    startJob(job);
}

void PasswordStore::deleteFinished(QKeychain::Job *job)
{
    if (job->error() != QKeychain::NoError && job->error() != QKeychain::EntryNotFound)
        qInfo().noquote() << "The keyring did not remove the password:" << job->errorString();
    jobFinished();
    emit stored(Place::Nowhere);
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
    if (!m_unconfirmed.isEmpty()) {
        qWarning() << "The keyring did not answer in time; the password is kept in the settings";
        setSettingsPassword(m_unconfirmed);
        m_unconfirmed.clear();
    }
}
