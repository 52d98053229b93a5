#include "passwordstore.h"
#include "secretservice.h"
#include "testenvironment.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

#include <qt5keychain/keychain.h>

namespace {

const QString legacySettingsKey = QStringLiteral("Connection/password");
const QString host = QStringLiteral("broker.example");
const QString otherHost = QStringLiteral("other.example");
const QString user = QStringLiteral("alice");

QString settingsPassword(const QString &forHost = host, const QString &forUser = user)
{
    QSettings settings;
    const int count = settings.beginReadArray(QStringLiteral("Connection/remembered_passwords"));
    QString password;
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        if (settings.value(QStringLiteral("host")).toString() == forHost
            && settings.value(QStringLiteral("user")).toString() == forUser)
            password = QString::fromUtf8(QByteArray::fromBase64(settings.value(QStringLiteral("password")).toByteArray()));
    }
    settings.endArray();
    return password;
}

// What an earlier version left: one password, and the server and user of the last login.
void writeOldSettings(const QString &password, bool inSettings)
{
    QSettings settings;
    settings.setValue(QStringLiteral("Connection/host"), host);
    settings.setValue(QStringLiteral("Connection/username"), user);
    if (inSettings)
        settings.setValue(legacySettingsKey, password.toUtf8().toBase64());
    settings.sync();
}

// What a fresh start of the program finds for that server and user.
QString loadedPassword(const QString &forHost = host, const QString &forUser = user)
{
    PasswordStore store;
    QSignalSpy loaded(&store, &PasswordStore::loaded);
    store.load(forHost, forUser);
    if (loaded.isEmpty() && !loaded.wait(TestEnvironment::timeout(20000)))
        return QStringLiteral("<no answer>");
    // As the program does before it ends: what the keyring still does for the store finishes.
    store.finishPending(TestEnvironment::timeout(20000));
    if (loaded.first().at(0).toString() != forHost || loaded.first().at(1).toString() != forUser)
        return QStringLiteral("<answer for someone else>");
    return loaded.first().at(2).toString();
}

PasswordStore::Place remembered(PasswordStore &store, const QString &password, const QString &forHost = host,
                                const QString &forUser = user)
{
    QSignalSpy stored(&store, &PasswordStore::stored);
    store.remember(forHost, forUser, password);
    if (stored.isEmpty() && !stored.wait(TestEnvironment::timeout(20000)))
        return PasswordStore::Place::Nowhere;
    return stored.first().first().value<PasswordStore::Place>();
}

bool settingsFileHolds(const QString &text)
{
    QFile file(QSettings().fileName());
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(text.toUtf8().toBase64());
}

// The keyring entry under key as the keyring itself has it ("<missing>" when it has none).
QString keyringEntry(const QString &key)
{
    QKeychain::ReadPasswordJob job(PasswordStore::service());
    job.setAutoDelete(false);
    job.setKey(key);
    QSignalSpy finished(&job, &QKeychain::Job::finished);
    job.start();
    if (!finished.wait(TestEnvironment::timeout(20000)))
        return QStringLiteral("<no answer>");
    if (job.error() == QKeychain::EntryNotFound)
        return QStringLiteral("<missing>");
    return job.error() == QKeychain::NoError ? job.textData() : job.errorString();
}

bool setKeyringEntry(const QString &key, const QString &password)
{
    QKeychain::Job *job = nullptr;
    if (password.isEmpty()) {
        job = new QKeychain::DeletePasswordJob(PasswordStore::service());
    } else {
        auto *write = new QKeychain::WritePasswordJob(PasswordStore::service());
        write->setTextData(password);
        job = write;
    }
    job->setAutoDelete(false);
    job->setKey(key);
    QSignalSpy finished(job, &QKeychain::Job::finished);
    job->start();
    const bool done = finished.wait(TestEnvironment::timeout(20000))
        && (job->error() == QKeychain::NoError || job->error() == QKeychain::EntryNotFound);
    delete job;
    return done;
}

} // namespace

// Runs without a Secret Service first, then with a real one (gnome-keyring on a private bus).
class TestPasswordStore : public QObject
{
    Q_OBJECT

    TestEnvironment m_environment;
    SecretService m_secretService;
    bool m_keyring = false;

private slots:

    void init()
    {
        QSettings().clear();
        if (!m_keyring)
            return;
        for (const QString &key : {PasswordStore::legacyKey(), PasswordStore::key(host, user),
                                   PasswordStore::key(otherHost, user), PasswordStore::key(host, QStringLiteral("bob"))})
            QVERIFY(setKeyringEntry(key, QString()));
    }

    void withoutKeyringTheSettingsKeepIt()
    {
        PasswordStore store;
        QSignalSpy failures(&store, &PasswordStore::keyringFailed);
        QCOMPARE(remembered(store, QStringLiteral("pässword")), PasswordStore::Place::Settings);
        QCOMPARE(failures.count(), 1);
        QCOMPARE(settingsPassword(), QStringLiteral("pässword"));
        QCOMPARE(QFile::permissions(QSettings().fileName()) & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(loadedPassword(), QStringLiteral("pässword"));
        QCOMPARE(loadedPassword(otherHost, user), QString());

        QSignalSpy stored(&store, &PasswordStore::stored);
        store.forget(host, user);
        QTRY_COMPARE_WITH_TIMEOUT(stored.count(), 1, TestEnvironment::timeout(20000));
        QCOMPARE(settingsPassword(), QString());
        QCOMPARE(loadedPassword(), QString());
    }

    void startKeyring()
    {
        QVERIFY2(m_secretService.start(), qPrintable(m_secretService.errorText()));
        m_keyring = true;
    }

    void keyringKeepsIt_data()
    {
        QTest::addColumn<QString>("inSettingsBefore");
        QTest::addColumn<QString>("password");
        QTest::newRow("new password") << QString() << "Geheim-1";
        // Kept in the settings when the keyring did not answer: still read, and moved at the next save.
        QTest::newRow("moved from the settings") << "Alt-Geheim" << "Alt-Geheim";
        QTest::newRow("changed") << "Alt-Geheim" << "Neu-Geheim";
    }

    void keyringKeepsIt()
    {
        QFETCH(QString, inSettingsBefore);
        QFETCH(QString, password);
        if (!inSettingsBefore.isEmpty()) {
            writeOldSettings(inSettingsBefore, true);
            QCOMPARE(loadedPassword(), inSettingsBefore);
        }

        PasswordStore store;
        QCOMPARE(remembered(store, password), PasswordStore::Place::Keyring);
        QCOMPARE(settingsPassword(), QString());
        QVERIFY(!settingsFileHolds(password));
        QVERIFY(inSettingsBefore.isEmpty() || !settingsFileHolds(inSettingsBefore));
        QCOMPARE(loadedPassword(), password);
    }

    // The one password an earlier version kept, in the settings or in the keyring, belongs to
    // the server and user stored beside it: used for them alone, and moved to their entry.
    void oldSingleEntry_data()
    {
        QTest::addColumn<bool>("inSettings");
        QTest::addColumn<QString>("askedHost");
        QTest::addColumn<QString>("askedUser");
        QTest::addColumn<QString>("expected");
        QTest::newRow("settings, its server and user") << true << host << user << "Alt";
        QTest::newRow("settings, another server") << true << otherHost << user << "";
        QTest::newRow("keyring, its server and user") << false << host << user << "Alt";
        QTest::newRow("keyring, another user") << false << host << "bob" << "";
    }

    void oldSingleEntry()
    {
        QFETCH(bool, inSettings);
        QFETCH(QString, askedHost);
        QFETCH(QString, askedUser);
        QFETCH(QString, expected);
        writeOldSettings(QStringLiteral("Alt"), inSettings);
        if (!inSettings)
            QVERIFY(setKeyringEntry(PasswordStore::legacyKey(), QStringLiteral("Alt")));

        QCOMPARE(loadedPassword(askedHost, askedUser), expected);
        // Another server stored since (the window saves it at the next connection) changes
        // nothing about whose the old password was.
        QSettings().setValue(QStringLiteral("Connection/host"), otherHost);
        QCOMPARE(loadedPassword(), QStringLiteral("Alt"));
        QCOMPARE(loadedPassword(otherHost, user), QString());
        QVERIFY(!QSettings().contains(legacySettingsKey));
        QCOMPARE(keyringEntry(PasswordStore::legacyKey()), QStringLiteral("<missing>"));
    }

    void forgottenInTheKeyring()
    {
        {
            PasswordStore store;
            QCOMPARE(remembered(store, QStringLiteral("Vergessen")), PasswordStore::Place::Keyring);
        }
        PasswordStore store;
        QCOMPARE(loadedPassword(), QStringLiteral("Vergessen"));
        QSignalSpy loaded(&store, &PasswordStore::loaded);
        store.load(host, user);
        QVERIFY(loaded.count() == 1 || loaded.wait(TestEnvironment::timeout(20000)));
        QSignalSpy stored(&store, &PasswordStore::stored);
        store.forget(host, user);
        QVERIFY(stored.count() == 1 || stored.wait(TestEnvironment::timeout(20000)));
        QCOMPARE(loadedPassword(), QString());
        QCOMPARE(keyringEntry(PasswordStore::key(host, user)), QStringLiteral("<missing>"));
    }

    // Closing the program waits a little for the keyring, and never loses the password.
    void finishPendingKeepsThePassword()
    {
        PasswordStore store;
        store.remember(host, user, QStringLiteral("Beim-Beenden"));
        QVERIFY(store.hasPending());
        store.finishPending(TestEnvironment::timeout(20000));
        QVERIFY(!store.hasPending());
        QCOMPARE(loadedPassword(), QStringLiteral("Beim-Beenden"));
        QCOMPARE(settingsPassword(), QString());
    }

    void cleanupTestCase()
    {
        m_secretService.stop();
    }
};

QTEST_MAIN(TestPasswordStore)
#include "tst_passwordstore.moc"
