#include "loginform.h"
#include "mainwindow.h"
#include "passwordstore.h"
#include "secretservice.h"
#include "testenvironment.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QtTest>

namespace {

const QString host = QStringLiteral("broker.example");
const QString user = QStringLiteral("alice");

template<typename T>
T *child(MainWindow &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

QString formHost(MainWindow &window)
{
    return child<QLineEdit>(window, "serverLineEdit")->text().section(QLatin1Char(':'), 0, 0);
}

// Whether the keyring has answered for the server and user the form shows now, after the
// answers it had given before.
bool answeredForForm(MainWindow &window, const QSignalSpy &loaded, int before = 0)
{
    for (const QList<QVariant> &answer : loaded.mid(before)) {
        if (answer.at(0).toString() == formHost(window)
            && answer.at(1).toString() == child<QLineEdit>(window, "username")->text())
            return true;
    }
    return false;
}

} // namespace

// The login window and the remembered passwords: without a keyring first, then with a real one
// (gnome-keyring on a private bus).
class TestMainWindowKeyring : public QObject
{
    Q_OBJECT

    TestEnvironment m_environment;
    SecretService m_secretService;

private slots:

    void init()
    {
        QSettings().clear();
    }

    // No keyring: the password is kept in the settings file, and the window says so once.
    void keyringFailureShownOnce()
    {
        MainWindow window;
        window.show();
        LoginForm::fill(&window, host, user, QStringLiteral("Geheim"));
        child<QCheckBox>(window, "rememberPasswordCheck")->setChecked(true);
        auto *store = window.findChild<PasswordStore *>();
        QVERIFY(store);
        QSignalSpy failures(store, &PasswordStore::keyringFailed);
        auto *notice = child<QLabel>(window, "keyringStatusLabel");
        QVERIFY(notice->isHidden());

        window.close();
        QTRY_COMPARE_WITH_TIMEOUT(failures.count(), 1, TestEnvironment::timeout(20000));
        QVERIFY(!notice->isHidden());
        QVERIFY(notice->text().contains(failures.first().first().toString()));
        const QString shown = notice->text();

        // The next failure tells nothing new.
        child<QLineEdit>(window, "password")->setText(QStringLiteral("Anders"));
        window.show();
        window.close();
        QTRY_COMPARE_WITH_TIMEOUT(failures.count(), 2, TestEnvironment::timeout(20000));
        QCOMPARE(notice->text(), shown);

        PasswordStore reader;
        QSignalSpy loaded(&reader, &PasswordStore::loaded);
        reader.load(host, user);
        QVERIFY(loaded.count() == 1 || loaded.wait(TestEnvironment::timeout(20000)));
        QCOMPARE(loaded.first().at(2).toString(), QStringLiteral("Anders"));
    }

    void startKeyring()
    {
        QVERIFY2(m_secretService.start(), qPrintable(m_secretService.errorText()));
    }

    // The remembered password is filled in only while the form names its server and user: a
    // shortcut or an edit that names another server never sends it there.
    void filledOnlyForItsServerAndUser_data()
    {
        QTest::addColumn<QString>("givenHost");
        QTest::addColumn<QString>("givenUser");
        QTest::addColumn<QString>("editedServer");
        QTest::addColumn<QString>("expected");
        QTest::newRow("stored server and user") << "" << "" << "" << "Geheim";
        QTest::newRow("another server given") << "other.example" << "" << "" << "";
        QTest::newRow("another user given") << "" << "bob" << "" << "";
        QTest::newRow("server edited after filling") << "" << "" << "other.example:8443" << "";
        QTest::newRow("edited to its server") << "other.example" << "" << "broker.example:9443" << "Geheim";
    }

    void filledOnlyForItsServerAndUser()
    {
        QFETCH(QString, givenHost);
        QFETCH(QString, givenUser);
        QFETCH(QString, editedServer);
        QFETCH(QString, expected);
        {
            PasswordStore store;
            QSignalSpy stored(&store, &PasswordStore::stored);
            store.remember(host, user, QStringLiteral("Geheim"));
            QVERIFY(stored.wait(TestEnvironment::timeout(20000)));
            QCOMPARE(stored.first().first().value<PasswordStore::Place>(), PasswordStore::Place::Keyring);
        }
        QSettings settings;
        settings.setValue(QStringLiteral("Connection/host"), host);
        settings.setValue(QStringLiteral("Connection/port"), QStringLiteral("8443"));
        settings.setValue(QStringLiteral("Connection/username"), user);
        settings.setValue(QStringLiteral("Connection/remember_password"), true);
        settings.sync();

        MainWindow window;
        auto *store = window.findChild<PasswordStore *>();
        QVERIFY(store);
        QSignalSpy loaded(store, &PasswordStore::loaded);
        // As the program hands over the stored settings and the command line.
        ZELConnectionParameters parameters;
        parameters.setHost(givenHost.isEmpty() ? host : givenHost);
        parameters.setUsername(givenUser);
        window.setConnectionParms(parameters);
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(answeredForForm(window, loaded), TestEnvironment::timeout(20000));

        auto *password = child<QLineEdit>(window, "password");
        if (!editedServer.isEmpty()) {
            auto *server = child<QLineEdit>(window, "serverLineEdit");
            const int before = loaded.count();
            server->setText(editedServer);
            emit server->editingFinished();
            QTRY_VERIFY_WITH_TIMEOUT(answeredForForm(window, loaded, before), TestEnvironment::timeout(20000));
        }
        QCOMPARE(password->text(), expected);
    }

    void cleanupTestCase()
    {
        m_secretService.stop();
    }
};

QTEST_MAIN(TestMainWindowKeyring)
#include "tst_mainwindowkeyring.moc"
