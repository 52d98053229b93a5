#include "demobrokerprocess.h"
#include "desktopdriver.h"
#include "programrun.h"
#include "testenvironment.h"
#include "xvfbserver.h"

#include <QProcess>
#include <QtTest>

#include <memory>

// The whole flow in real windows: the program on an X server, the demo broker with a real VM,
// Connect, the certificate question, the remote desktop in the local X server's window, and
// the login window coming back when the VM ends.
class TestMainWindowDesktop : public QObject
{
    Q_OBJECT

private:
    bool agentWindowShown(const QString &display, QString *tree) const
    {
        DesktopDriver localServer;
        localServer.setDisplay(display);
        *tree = localServer.run(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")});
        return tree->contains(QStringLiteral("\"NX Agent\"")) && tree->contains(QStringLiteral("200x200+20+20"));
    }


private slots:
    void initTestCase()
    {
        ZEL_REQUIRE("Xvfb", "Xephyr", "nxagent", "nxproxy", "xdotool", "xwininfo", "xclock");

        QVERIFY2(m_desktop.start(XvfbServer::Listen::UnixSocket, QStringLiteral("1280x900x24")),
                 qPrintable(m_desktop.errorText()));
        m_driver.setDisplay(m_desktop.displayName());

        const QJsonObject config = DemoBrokerProcess::agentVmConfig(QStringLiteral("stopped"), QStringLiteral("xclock -geometry 200x200+20+20"));
        QVERIFY2(m_broker.start(config), qPrintable(m_broker.errorText()));
    }

    void connectShowsTheRemoteDesktopAndTheWindowComesBack()
    {
        ProcessGuard client;
        m_driver.startClient(client.get(), m_broker.port());
        QVERIFY(client->waitForStarted());
        QString failure;
        QVERIFY2(m_driver.connectFromLoginWindow(&failure), qPrintable(failure + QLatin1Char('\n') + m_desktop.state()));

        // The local X server is a window on this desktop, titled with the VM's name; the VM's
        // program draws inside it.
        QVERIFY2(m_driver.waitForWindow(QStringLiteral("^Desktop - ZEL$"), 60000),
                 qPrintable(m_environment.clientLog().right(1500)));
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("Launching \"\\S*Xephyr\" with arguments \\(\"(:\\d+)\"")).match(m_environment.clientLog());
        QVERIFY2(match.hasMatch(), qPrintable(m_environment.clientLog().right(3000)));
        const QString localDisplay = match.captured(1);
        // The agent's desktop is one window on the local server; the VM's clock (200x200 at
        // 20,20 on the VM's screen) is a window inside it.
        QString tree;
        QTRY_VERIFY2_WITH_TIMEOUT(agentWindowShown(localDisplay, &tree),
                                  qPrintable(localDisplay + QLatin1Char('\n') + tree), TestEnvironment::timeout(30000));
        QVERIFY2(m_driver.visibleWindow(QStringLiteral("^ZEL$")).isEmpty(), "the login window hides while the desktop runs");
        QVERIFY(m_environment.clientLog().contains(QStringLiteral("] Connection to VM ")));

        // The VM ends with its broker: the login window comes back.
        m_broker.stop();
        QVERIFY(m_driver.waitForWindow(QStringLiteral("^ZEL$"), 30000));
        QTRY_VERIFY(m_environment.clientLog().contains(QStringLiteral("] Connection terminated")));
        QVERIFY2(!m_environment.clientLog().contains(QStringLiteral("socketError")), "the end of a VM is no connection failure");
        QVERIFY(m_driver.waitUntilGone(QStringLiteral("^Desktop - ZEL$"), 30000));
    }

private:
    TestEnvironment m_environment;
    XvfbServer m_desktop;
    DesktopDriver m_driver;
    DemoBrokerProcess m_broker;
};

QTEST_GUILESS_MAIN(TestMainWindowDesktop)
#include "tst_mainwindowdesktop.moc"
