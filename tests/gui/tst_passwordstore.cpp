#include "passwordstore.h"
#include "secretservice.h"
#include "testenvironment.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

namespace {

const QString settingsKey = QStringLiteral("Connection/password");

QString settingsPassword()
{
    return QString::fromUtf8(QByteArray::fromBase64(QSettings().value(settingsKey).toByteArray()));
}

void writeSettingsPassword(const QString &password)
{
    QSettings settings;
    settings.setValue(settingsKey, password.toUtf8().toBase64());
    settings.sync();
}

// What a fresh start of the program finds.
QString loadedPassword()
{
    PasswordStore store;
    QSignalSpy loaded(&store, &PasswordStore::loaded);
    store.load();
    if (loaded.isEmpty() && !loaded.wait(20000))
        return QStringLiteral("<no answer>");
    return loaded.first().first().toString();
}

PasswordStore::Place remembered(PasswordStore &store, const QString &password)
{
    QSignalSpy stored(&store, &PasswordStore::stored);
    store.remember(password);
    if (stored.isEmpty() && !stored.wait(20000))
        return PasswordStore::Place::Nowhere;
    return stored.first().first().value<PasswordStore::Place>();
}

bool settingsFileHolds(const QString &text)
{
    QFile file(QSettings().fileName());
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(text.toUtf8().toBase64());
}

} // namespace

// Runs without a Secret Service first, then with a real one (gnome-keyring on a private bus).
class TestPasswordStore : public QObject
{
    Q_OBJECT

    TestEnvironment m_environment;
    SecretService m_secretService;

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Pelsor"));
        QCoreApplication::setApplicationName(QStringLiteral("ZEL Client"));
    }

    void init()
    {
        QSettings().clear();
    }

    void withoutKeyringTheSettingsKeepIt()
    {
        PasswordStore store;
        QCOMPARE(remembered(store, QStringLiteral("pässword")), PasswordStore::Place::Settings);
        QCOMPARE(settingsPassword(), QStringLiteral("pässword"));
        QCOMPARE(QFile::permissions(QSettings().fileName()) & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(loadedPassword(), QStringLiteral("pässword"));

        QSignalSpy stored(&store, &PasswordStore::stored);
        store.forget();
        QTRY_COMPARE_WITH_TIMEOUT(stored.count(), 1, 20000);
        QCOMPARE(settingsPassword(), QString());
        QCOMPARE(loadedPassword(), QString());
    }

    void startKeyring()
    {
        QVERIFY2(m_secretService.start(), qPrintable(m_secretService.errorText()));
    }

    void keyringKeepsIt_data()
    {
        QTest::addColumn<QString>("inSettingsBefore");
        QTest::addColumn<QString>("password");
        QTest::newRow("new password") << QString() << "Geheim-1";
        // Stored by an earlier version: still read, and moved at the next save.
        QTest::newRow("moved from the settings") << "Alt-Geheim" << "Alt-Geheim";
        QTest::newRow("changed") << "Alt-Geheim" << "Neu-Geheim";
    }

    void keyringKeepsIt()
    {
        QFETCH(QString, inSettingsBefore);
        QFETCH(QString, password);
        if (!inSettingsBefore.isEmpty()) {
            writeSettingsPassword(inSettingsBefore);
            QCOMPARE(loadedPassword(), inSettingsBefore);
        }

        PasswordStore store;
        QCOMPARE(remembered(store, password), PasswordStore::Place::Keyring);
        QCOMPARE(settingsPassword(), QString());
        QVERIFY(!settingsFileHolds(password));
        QVERIFY(inSettingsBefore.isEmpty() || !settingsFileHolds(inSettingsBefore));
        QCOMPARE(loadedPassword(), password);
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
        store.load();
        QVERIFY(loaded.count() == 1 || loaded.wait(20000));
        QSignalSpy stored(&store, &PasswordStore::stored);
        store.forget();
        QVERIFY(stored.count() == 1 || stored.wait(20000));
        QCOMPARE(loadedPassword(), QString());
    }

    // Closing the program waits a little for the keyring, and never loses the password.
    void finishPendingKeepsThePassword()
    {
        PasswordStore store;
        store.remember(QStringLiteral("Beim-Beenden"));
        QVERIFY(store.hasPending());
        store.finishPending(20000);
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
