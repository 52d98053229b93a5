#include "demobrokerprocess.h"
#include "loginform.h"
#include "mainwindow.h"
#include "modalanswerer.h"
#include "sessionkeeper.h"
#include "testenvironment.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QtTest>

namespace {

// Accepts the certificate question for this once; any other box is what the test looks for.
const auto acceptCertificateOnce = ModalAnswerer::clickButton(QStringLiteral("Accept temporarily"));

// A broker whose one VM keeps its session for a resume; "coded" logs in with one-time codes.
QJsonObject brokerConfig()
{
    QJsonObject config = DemoBrokerProcess::simpleConfig();
    config[QStringLiteral("users")] = QJsonArray{
        DemoBrokerProcess::user(QStringLiteral("demo")),
        DemoBrokerProcess::user(QStringLiteral("coded"), {{QStringLiteral("oneTimeCodes"),
                                                           QJsonArray{QStringLiteral("111111"), QStringLiteral("222222")}}})};
    config[QStringLiteral("vms")] = QJsonArray{QJsonObject{
        {QStringLiteral("id"), 5},
        {QStringLiteral("name"), QStringLiteral("Desktop")},
        {QStringLiteral("state"), QStringLiteral("running")},
        {QStringLiteral("nxagent"),
         QJsonObject{{QStringLiteral("desktop"), QStringLiteral("")}, {QStringLiteral("resumeSeconds"), 120}}}}};
    return config;
}

int messageBoxes(const ModalAnswerer &answerer)
{
    int boxes = 0;
    for (const ModalAnswerer::Seen &seen : answerer.seen())
        boxes += seen.className == QLatin1String("QMessageBox") ? 1 : 0;
    return boxes;
}

bool attemptProgramsGone()
{
    const QStringList running = TestEnvironment::childProcesses();
    return !running.contains(QStringLiteral("nxproxy")) && !running.contains(QStringLiteral("Xvfb"));
}

} // namespace

// While the remote desktop's link is down the window says so and offers Cancel, and so does the
// tray icon's tooltip; the session comes back without a question, a refused login asks for what
// is needed, and Cancel between two attempts leaves the idle window and nothing running.
class TestMainWindowResume : public QObject
{
    Q_OBJECT

private:
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(m_broker->port()); }
    static QString status(MainWindow &window) { return window.findChild<QLabel *>(QStringLiteral("statusLabel"))->text(); }
    static QString tooltip(MainWindow &window) { return window.findChild<QSystemTrayIcon *>()->toolTip(); }

private slots:
    void initTestCase()
    {
        ZEL_REQUIRE("Xvfb", "nxagent", "nxproxy");
        qunsetenv("DISPLAY");
    }

    void init()
    {
        QSettings().clear();
        m_broker = std::make_unique<DemoBrokerProcess>();
        QVERIFY2(m_broker->start(brokerConfig()), qPrintable(m_broker->errorText()));
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << "broker log:\n" + m_broker->log().right(4000);
        m_broker.reset();
        QTRY_VERIFY_WITH_TIMEOUT(attemptProgramsGone(), TestEnvironment::timeout(30000));
    }

    void dropShowsReconnectingAndComesBack()
    {
        MainWindow window;
        window.show();
        ModalAnswerer answerer(acceptCertificateOnce);
        LoginForm::fill(&window, server(), QStringLiteral("demo"), QStringLiteral("demo"));
        QVERIFY2(LoginForm::connectVm(&window, window.session()), qPrintable(m_broker->log().right(2000)));
        QTRY_VERIFY(!window.isVisible());

        QSignalSpy resumed(window.keeper(), &SessionKeeper::resumed);
        QVERIFY(m_broker->cutTunnels(false));
        QTRY_VERIFY_WITH_TIMEOUT(window.isVisible() && status(window).startsWith(QStringLiteral("Reconnecting to Desktop (attempt 1, next in ")),
                                 TestEnvironment::timeout(30000));
        QCOMPARE(tooltip(window), status(window));
        QVERIFY(window.findChild<QPushButton *>(QStringLiteral("cancelButton"))->isEnabled());

        QVERIFY(resumed.wait(TestEnvironment::timeout(60000)));
        QTRY_VERIFY(!window.isVisible());
        QCOMPARE(tooltip(window), QStringLiteral("ZEL: connected"));
        // Nothing was asked of the user on the way: no password, no certificate, no error.
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(messageBoxes(answerer), 0);
        window.session()->disconnectFromZEL();
        QTRY_VERIFY(LoginForm::isIdle(&window));
    }

    void refusedCodeAsksForANewOne()
    {
        MainWindow window;
        window.show();
        ModalAnswerer answerer(acceptCertificateOnce);
        LoginForm::fill(&window, server(), QStringLiteral("coded"), QStringLiteral("demo"));
        window.findChild<QCheckBox *>(QStringLiteral("enableTwoFactorAuthCheck"))->setChecked(true);
        auto *code = window.findChild<QLineEdit *>(QStringLiteral("secondFactor"));
        code->setText(QStringLiteral("111111"));
        QVERIFY2(LoginForm::connectVm(&window, window.session()), qPrintable(m_broker->log().right(2000)));

        QVERIFY(m_broker->cutTunnels(false));
        QTRY_VERIFY_WITH_TIMEOUT(window.keeper()->needsCredentials(), TestEnvironment::timeout(30000));
        QVERIFY(window.isVisible());
        QCOMPARE(status(window), QStringLiteral("Enter a new second factor to reconnect to Desktop"));
        QCOMPARE(code->text(), QString());
        QVERIFY(window.findChild<QPushButton *>(QStringLiteral("connectButton"))->isEnabled());
        QVERIFY(window.findChild<QPushButton *>(QStringLiteral("cancelButton"))->isEnabled());

        // Connect with the new code resumes the same session: no VM is chosen again.
        QSignalSpy resumed(window.keeper(), &SessionKeeper::resumed);
        code->setText(QStringLiteral("222222"));
        LoginForm::connect(&window);
        QVERIFY(resumed.wait(TestEnvironment::timeout(60000)));
        QTRY_VERIFY(!window.isVisible());
        QCOMPARE(messageBoxes(answerer), 0);
        QCOMPARE(m_broker->log().count(QStringLiteral("/zel/list_of_vm")), 1);
        window.session()->disconnectFromZEL();
    }

    void cancelBetweenAttemptsEndsCleanly()
    {
        MainWindow window;
        window.show();
        ModalAnswerer answerer(acceptCertificateOnce);
        LoginForm::fill(&window, server(), QStringLiteral("demo"), QStringLiteral("demo"));
        QVERIFY2(LoginForm::connectVm(&window, window.session()), qPrintable(m_broker->log().right(2000)));

        // The broker is gone after the cut: every attempt is refused.
        QSignalSpy dropped(window.keeper(), &SessionKeeper::dropped);
        QVERIFY(m_broker->cutTunnels(false));
        QVERIFY(dropped.wait(TestEnvironment::timeout(30000)));
        m_broker->stop();
        QTRY_VERIFY_WITH_TIMEOUT(status(window).startsWith(QStringLiteral("Reconnecting to Desktop (attempt 2, next in ")),
                                 TestEnvironment::timeout(30000));

        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cancelButton")), Qt::LeftButton);
        QVERIFY(!window.keeper()->isResuming());
        QVERIFY(LoginForm::isIdle(&window));
        QVERIFY(window.isVisible());
        QCOMPARE(messageBoxes(answerer), 0);
        // The local X server with the last picture goes with the session.
        QTRY_VERIFY_WITH_TIMEOUT(attemptProgramsGone(), TestEnvironment::timeout(30000));
        QCOMPARE(tooltip(window), QStringLiteral("ZEL: connected"));
    }

private:
    TestEnvironment m_environment;
    std::unique_ptr<DemoBrokerProcess> m_broker;
};

QTEST_MAIN(TestMainWindowResume)
#include "tst_mainwindowresume.moc"
