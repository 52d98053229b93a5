#include "backends/zelnxbackend.h"
#include "connectionstatistics.h"
#include "demobrokerprocess.h"
#include "loginform.h"
#include "mainwindow.h"
#include "modalanswerer.h"
#include "testenvironment.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QMessageBox>
#include <QSettings>
#include <QtTest>

#include <csignal>

namespace {

// Accepts any certificate question for this once and confirms every other box.
const auto acceptCertificateOnce = ModalAnswerer::clickButton(QStringLiteral("Accept temporarily"));

QJsonObject brokerConfig(const QJsonArray &vms)
{
    QJsonObject config = DemoBrokerProcess::simpleConfig();
    config[QStringLiteral("vms")] = vms;
    return config;
}

QJsonObject listedVm(int id)
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("name"), QStringLiteral("VM %1").arg(id)},
                       {QStringLiteral("state"), QStringLiteral("running")},
                       {QStringLiteral("endpoint"), QStringLiteral("127.0.0.1:1")}};
}

// A VM the demo broker really starts, with an empty desktop.
QJsonObject realVm()
{
    return QJsonObject{{QStringLiteral("id"), 5},
                       {QStringLiteral("name"), QStringLiteral("Desktop")},
                       {QStringLiteral("state"), QStringLiteral("running")},
                       {QStringLiteral("nxagent"), QJsonObject{{QStringLiteral("desktop"), QStringLiteral("")}}}};
}

QStringList messageBoxTexts(const ModalAnswerer &answerer)
{
    QStringList texts;
    for (const ModalAnswerer::Seen &seen : answerer.seen()) {
        if (seen.className == QLatin1String("QMessageBox"))
            texts << seen.text;
    }
    return texts;
}

// The programs a connection attempt starts on this machine; none may outlive it.
bool attemptProgramsGone()
{
    const QStringList running = TestEnvironment::childProcesses();
    return !running.contains(QStringLiteral("nxproxy")) && !running.contains(QStringLiteral("Xvfb"));
}

ConnectionStatistics *visibleStatistics()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *statistics = qobject_cast<ConnectionStatistics *>(widget); statistics && statistics->isVisible())
            return statistics;
    }
    return nullptr;
}

} // namespace

// Failures a user meets while a VM runs or starts end in their message box, the idle window,
// the settings as they were typed and no program left behind; the same window then connects
// again. The bandwidth graph closed meanwhile ends nothing.
class TestMainWindowFailures : public QObject
{
    Q_OBJECT

private:
    QString server(const DemoBrokerProcess &broker) const { return QStringLiteral("127.0.0.1:%1").arg(broker.port()); }

    // Connects the window to a broker with one real VM and waits until the remote desktop runs.
    bool runVm(MainWindow &window, DemoBrokerProcess &broker)
    {
        QSignalSpy connected(window.session(), &ZELClient::vmConnected);
        LoginForm::fill(&window, server(broker), QStringLiteral("demo"), QStringLiteral("demo"));
        LoginForm::connect(&window);
        return connected.wait(TestEnvironment::timeout(90000)) || !connected.isEmpty();
    }

private slots:
    void initTestCase()
    {
        ZEL_REQUIRE("Xvfb", "nxagent", "nxproxy");
        // The local X server of a VM session is a headless one.
        qunsetenv("DISPLAY");
        QVERIFY2(m_listBroker.start(brokerConfig({listedVm(10), listedVm(20)})), qPrintable(m_listBroker.errorText()));
        m_xvfb = TestEnvironment::program(QStringLiteral("Xvfb"));
    }

    void init()
    {
        QSettings().clear();
    }

    void cleanup()
    {
        QTRY_VERIFY_WITH_TIMEOUT(attemptProgramsGone(), TestEnvironment::timeout(30000));
    }

    void vmFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("nxproxy killed mid-session") << "proxy killed" << "Backend error\nProxy process crashed";
        QTest::newRow("X server never accepting")
            << "x server" << "X Server error\nThe X server did not accept connections within 3 seconds";
    }

    void vmFailures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        DemoBrokerProcess broker;
        QVERIFY2(broker.start(brokerConfig({realVm()})), qPrintable(broker.errorText()));

        // An X server that runs but takes no connections where the client looks for it.
        QTemporaryDir dir;
        const QString deafServer = dir.filePath(QStringLiteral("Xvfb"));
        QFile script(deafServer);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nexec " + QFile::encodeName(m_xvfb) + " \"$@\" -nolisten tcp\n");
        script.close();
        script.setPermissions(script.permissions() | QFile::ExeOwner);

        MainWindow window;
        window.show();
        ModalAnswerer answerer(acceptCertificateOnce);
        if (kind == QLatin1String("proxy killed")) {
            QVERIFY2(runVm(window, broker), qPrintable(broker.log().right(2000)));
            QVERIFY(!window.isVisible());
            const qint64 proxy = TestEnvironment::childProcess(QStringLiteral("nxproxy"));
            QVERIFY(proxy > 0);
            ::kill(static_cast<pid_t>(proxy), SIGKILL);
        } else {
            LoginForm::fill(&window, server(broker), QStringLiteral("demo"), QStringLiteral("demo"));
            LoginForm::connect(&window);
            auto *backend = qobject_cast<ZELNXBackend *>(window.session()->getBackend());
            QVERIFY(backend);
            backend->xServerLauncher().setPath(deafServer);
            backend->xServerLauncher().setStartTimeout(3000);
        }

        QTRY_VERIFY_WITH_TIMEOUT(!messageBoxTexts(answerer).isEmpty(), TestEnvironment::timeout(90000));
        QCOMPARE(messageBoxTexts(answerer).first(), message);
        QTRY_VERIFY_WITH_TIMEOUT(LoginForm::isIdle(&window), TestEnvironment::timeout(30000));
        QVERIFY(window.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(attemptProgramsGone(), TestEnvironment::timeout(30000));
        QCOMPARE(messageBoxTexts(answerer).size(), 1);
        QCOMPARE(QSettings().value(QStringLiteral("Connection/username")).toString(), QStringLiteral("demo"));
        QVERIFY(LoginForm::connectsAgain(&window, window.session(), server(m_listBroker)));
    }

    // The bandwidth graph is closed while the VM runs and the login window is hidden: the
    // program and the session go on.
    void bandwidthDialogClosedWhileVmRuns()
    {
        DemoBrokerProcess broker;
        QVERIFY2(broker.start(brokerConfig({realVm()})), qPrintable(broker.errorText()));
        MainWindow window;
        window.setExperimental(true);
        window.findChild<QCheckBox *>(QStringLiteral("showBandwidthGraphCheck"))->setChecked(true);
        window.show();
        ModalAnswerer answerer(acceptCertificateOnce);
        QSignalSpy terminated(window.session(), &ZELClient::connectionTerminated);
        QVERIFY2(runVm(window, broker), qPrintable(broker.log().right(2000)));
        QVERIFY(!window.isVisible());
        QTRY_VERIFY(visibleStatistics());

        // Run the program's event loop as the program does; only the test's own exit ends it.
        QTimer::singleShot(0, this, [] {
            visibleStatistics()->close();
            QTimer::singleShot(1000, qApp, [] { QCoreApplication::exit(7); });
        });
        QCOMPARE(QCoreApplication::exec(), 7);
        QVERIFY(!visibleStatistics());
        QCOMPARE(terminated.count(), 0);
        QVERIFY(window.session()->getSocket());

        window.session()->disconnectFromZEL();
        QTRY_VERIFY_WITH_TIMEOUT(LoginForm::isIdle(&window), TestEnvironment::timeout(30000));
        QVERIFY(window.isVisible());
        QVERIFY(messageBoxTexts(answerer).isEmpty());
    }

private:
    TestEnvironment m_environment;
    DemoBrokerProcess m_listBroker;
    QString m_xvfb;
};

QTEST_MAIN(TestMainWindowFailures)
#include "tst_mainwindowfailures.moc"
