#include "desktopdriver.h"
#include "nxagentprocess.h"
#include "programrun.h"
#include "testenvironment.h"
#include "xvfbserver.h"

#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

// The dialog mode as the NX proxy really starts it: NX_CLIENT names the program, and the proxy
// runs it with "--dialog T --caption C --message M --local --parent PID --display D".
class TestNXDialogProgram : public QObject
{
    Q_OBJECT

    // Generous: the first window of a fresh machine waits for font caches and a loaded CPU.
    static constexpr int WindowTimeoutMs = 60000;

private:
    QString clientProgram() const { return ProgramRun::clientProgram(); }
    QString displayName() const { return m_xserver.displayName(); }

    // What a failed wait for a dialog window shows: the program's state, output and log.
    QString describe(QProcess *client)
    {
        const QString state = client->state() == QProcess::NotRunning
                                  ? QStringLiteral("ended with %1").arg(client->exitCode())
                                  : QStringLiteral("running");
        return QStringLiteral("%1\nclient %2\nstdout: %3\nstderr: %4\nlog: %5")
            .arg(m_xserver.state(), state, QString::fromLocal8Bit(client->readAllStandardOutput()),
                 QString::fromLocal8Bit(client->readAllStandardError()), m_environment.clientLog().right(1500));
    }

private slots:
    void initTestCase()
    {
        ZEL_REQUIRE("Xvfb", "nxproxy", "nxagent", "xdotool");
        QVERIFY(QFile::exists(clientProgram()));

        QVERIFY2(m_xserver.start(XvfbServer::Listen::Tcp, QStringLiteral("800x600x24")),
                 qPrintable(m_xserver.errorText()));
        m_driver.setDisplay(m_xserver.displayName());
    }

    void dialogStartedByTheProxy()
    {
        const QString nxRoot = m_environment.dataHome() + QStringLiteral("/nxroot");
        QDir().mkpath(nxRoot);
        NxAgentProcess agent;
        QVERIFY2(agent.start(), qPrintable(agent.errorText()));

        ProcessGuard proxy;
        QProcessEnvironment proxyEnv = m_driver.environment();
        proxyEnv.insert(QStringLiteral("NX_CLIENT"), clientProgram());
        proxyEnv.insert(QStringLiteral("NX_ROOT"), nxRoot);
        proxy->setProcessEnvironment(proxyEnv);
        proxy->setProcessChannelMode(QProcess::MergedChannels);
        QByteArray proxyOutput;
        connect(proxy.get(), &QProcess::readyRead, this, [&] { proxyOutput += proxy->readAll(); });
        proxy->start(QStringLiteral("nxproxy"),
                     {QStringLiteral("-S"), QStringLiteral("nx/nx,connect=127.0.0.1,port=%1").arg(agent.port())});
        QVERIFY(proxy->waitForStarted());
        QTRY_VERIFY2_WITH_TIMEOUT(proxyOutput.contains("Established X server connection"), proxyOutput.constData(),
                                  TestEnvironment::timeout(30000));

        // Losing the remote side makes the proxy tell the user through its dialog program. The
        // proxy exits straight away, so the program's standard error is a pipe nobody reads.
        agent.stop();
        QTRY_VERIFY2_WITH_TIMEOUT(m_environment.clientLog().contains(QStringLiteral("Showing message of type")),
                                  proxyOutput.constData(), TestEnvironment::timeout(30000));
        QString window;
        QTRY_VERIFY2_WITH_TIMEOUT(!(window = m_driver.visibleWindow(QStringLiteral("^NX - "))).isEmpty(),
                                  qPrintable(m_environment.clientLog().right(1500)),
                                             TestEnvironment::timeout(WindowTimeoutMs));
        QVERIFY(m_driver.pressKey(window, QStringLiteral("Return")));

        QTRY_VERIFY_WITH_TIMEOUT(m_environment.clientLog().contains(QStringLiteral("Exit: NX message done")),
                                 TestEnvironment::timeout(20000));
        const QString log = m_environment.clientLog();
        QVERIFY2(log.contains(QStringLiteral("Showing message of type  1  with title  \"NX - ")), qPrintable(log));
        QVERIFY2(log.contains(QStringLiteral("The connection with the remote server was shut down.")), qPrintable(log));
        // The notice is only acknowledged: nothing is done to the process that asked.
        QVERIFY2(!log.contains(QStringLiteral("Will execute action")), qPrintable(log.right(600)));
        QVERIFY(!log.contains(QStringLiteral("Sent signal")));
    }

    void affirmativeAnswerEndsTheParent()
    {
        ProcessGuard parent;
        parent->start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"), QStringLiteral("trap 'echo TERM; exit 0' TERM; trap 'echo HUP; exit 0' HUP; "
                                                            "echo ready; while :; do sleep 1 & wait $!; done")});
        QVERIFY(parent->waitForReadyRead(TestEnvironment::timeout(10000)));
        parent->readAll();

        const QString caption = QStringLiteral("NX - question");
        ProcessGuard client;
        client->setProcessEnvironment(m_driver.environment());
        client->start(clientProgram(), {QStringLiteral("--dialog"), QStringLiteral("yesnosuspend"), QStringLiteral("--caption"),
                                        caption, QStringLiteral("--message"), QStringLiteral("Terminate the session?"),
                                        QStringLiteral("--local"), QStringLiteral("--parent"),
                                        QString::number(parent->processId()), QStringLiteral("--display"), displayName()});
        QVERIFY(client->waitForStarted());

        QString window;
        QTRY_VERIFY2_WITH_TIMEOUT(!(window = m_driver.visibleWindow(caption)).isEmpty(),
                                  qPrintable(describe(client.get())), TestEnvironment::timeout(WindowTimeoutMs));
        QVERIFY(m_driver.pressKey(window, QStringLiteral("Return")));

        QVERIFY2(client->waitForFinished(TestEnvironment::timeout(WindowTimeoutMs)),
                 qPrintable(describe(client.get())));
        QCOMPARE(client->exitCode(), 0);
        QVERIFY(parent->waitForFinished(TestEnvironment::timeout(10000)));
        QCOMPARE(parent->readAll().trimmed(), QByteArray("TERM"));
    }

    void cleanupTestCase()
    {
        m_xserver.stop();
    }

private:
    TestEnvironment m_environment;
    XvfbServer m_xserver;
    DesktopDriver m_driver;
};

QTEST_GUILESS_MAIN(TestNXDialogProgram)
#include "tst_nxdialogprogram.moc"
