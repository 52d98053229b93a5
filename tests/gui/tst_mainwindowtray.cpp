#include "demobrokerprocess.h"
#include "desktopdriver.h"
#include "programrun.h"
#include "testenvironment.h"
#include "xvfbserver.h"

#include <QProcess>
#include <QtTest>

// While the remote desktop runs the login window is hidden; on a desktop with a system tray
// the tray icon's menu ends the session, and the login window comes back. Real windows: the
// program, a tray host, the nested X server and the demo broker's VM on one virtual screen.
class TestMainWindowTray : public QObject
{
    Q_OBJECT

private:
    // The program's only visible window while the login window is hidden: its tray icon.
    QString trayIconWindow(qint64 pid) const
    {
        const QStringList windows = m_driver.visibleWindowsOf(pid);
        return windows.size() == 1 ? windows.first() : QString();
    }


private slots:
    void initTestCase()
    {
        ZEL_REQUIRE("Xvfb", "Xephyr", "nxagent", "nxproxy", "xdotool", "trayer", "xclock");
        QVERIFY2(m_desktop.start(XvfbServer::Listen::UnixSocket, QStringLiteral("1280x900x24")),
                 qPrintable(m_desktop.errorText()));
        m_driver.setDisplay(m_desktop.displayName());

        m_tray->setProcessEnvironment(m_driver.environment());
        m_tray->setProcessChannelMode(QProcess::ForwardedChannels);
        m_tray->start(QStringLiteral("trayer"), {QStringLiteral("--edge"), QStringLiteral("top"),
                                                 QStringLiteral("--align"), QStringLiteral("right"),
                                                 QStringLiteral("--widthtype"), QStringLiteral("request")});
        QVERIFY(m_tray->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(
            !m_driver.run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--class"), QStringLiteral("trayer")})
                 .isEmpty(),
            TestEnvironment::timeout(20000));

        const QJsonObject config = DemoBrokerProcess::agentVmConfig(QStringLiteral("running"), QStringLiteral("xclock"));
        QVERIFY2(m_broker.start(config), qPrintable(m_broker.errorText()));
    }

    void disconnectFromTheTrayBringsTheWindowBack()
    {
        ProcessGuard client;
        m_driver.startClient(client.get(), m_broker.port());
        QVERIFY(client->waitForStarted());
        QString failure;
        QVERIFY2(m_driver.connectFromLoginWindow(&failure), qPrintable(failure + QLatin1Char('\n') + m_desktop.state()));

        // The remote desktop's window carries the VM's name; the login window hides.
        QVERIFY2(m_driver.waitForWindow(QStringLiteral("^Desktop - ZEL$"), 60000), qPrintable(m_environment.clientLog().right(1500)));
        QVERIFY(m_driver.waitUntilGone(QStringLiteral("^ZEL$"), 20000));

        QString icon;
        QTRY_VERIFY2_WITH_TIMEOUT(!(icon = trayIconWindow(client->processId())).isEmpty(),
                                  "no tray icon while the desktop runs", TestEnvironment::timeout(20000));
        // The menu: "Show bandwidth", then "Disconnect".
        m_driver.run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("--window"), icon, QStringLiteral("5"), QStringLiteral("5"),
                 QStringLiteral("click"), QStringLiteral("3")});
        // The menu is up too.
        QTRY_VERIFY_WITH_TIMEOUT(trayIconWindow(client->processId()).isEmpty(), TestEnvironment::timeout(20000));
        m_driver.run(QStringLiteral("xdotool"),
                     {QStringLiteral("key"), QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Return")});

        QVERIFY2(m_driver.waitForWindow(QStringLiteral("^ZEL$"), 30000), qPrintable(m_environment.clientLog().right(1500)));
        QVERIFY(m_driver.waitUntilGone(QStringLiteral(" - ZEL$"), 30000));
        QTRY_VERIFY(m_environment.clientLog().contains(QStringLiteral("] Connection terminated")));
        QVERIFY2(!m_environment.clientLog().contains(QStringLiteral("socketError")), "a disconnect asked for is no failure");
        QCOMPARE(client->state(), QProcess::Running);
        // The icon goes with the session.
        QTRY_COMPARE_WITH_TIMEOUT(m_driver.visibleWindowsOf(client->processId()).size(), 1,
                                  TestEnvironment::timeout(20000));
    }

private:
    TestEnvironment m_environment;
    XvfbServer m_desktop;
    DesktopDriver m_driver;
    ProcessGuard m_tray;
    DemoBrokerProcess m_broker;
};

QTEST_GUILESS_MAIN(TestMainWindowTray)
#include "tst_mainwindowtray.moc"
