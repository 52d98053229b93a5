#include "programrun.h"
#include "testenvironment.h"

#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

// The dialog mode as the NX proxy really starts it: NX_CLIENT names the program, and the proxy
// runs it with "--dialog T --caption C --message M --local --parent PID --display D".
class TestNXDialogProgram : public QObject
{
    Q_OBJECT

private:
    QString clientProgram() const { return ProgramRun::clientProgram(); }
    QString displayName() const { return QStringLiteral("127.0.0.1:%1").arg(m_display); }

    QString readClientLog() const
    {
        QFile file(m_environment.logDir() + QStringLiteral("/client.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QString windowWithTitle(const QString &title) const
    {
        QProcess search;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), displayName());
        search.setProcessEnvironment(env);
        search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--name"), title});
        search.waitForFinished(5000);
        return QString::fromLatin1(search.readAllStandardOutput()).split(QLatin1Char('\n')).value(0).trimmed();
    }

    bool pressReturnIn(const QString &window) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), displayName());
        QProcess press;
        press.setProcessEnvironment(env);
        press.start(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window,
                                                 QStringLiteral("key"), QStringLiteral("Return")});
        return press.waitForFinished(10000) && press.exitCode() == 0;
    }

    bool xServerAccepts() const
    {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(6000 + m_display));
        return probe.waitForConnected(200);
    }

    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("DISPLAY"), displayName());
        return env;
    }

private slots:
    void initTestCase()
    {
        for (const char *name : {"Xvfb", "nxproxy", "nxagent", "xdotool"})
            QVERIFY2(!TestEnvironment::program(QString::fromLatin1(name)).isEmpty(), name);
        QVERIFY(QFile::exists(clientProgram()));

        m_display = TestEnvironment::freeDisplay(40);
        m_xserver->start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(m_display), QStringLiteral("-listen"),
                                                   QStringLiteral("tcp"), QStringLiteral("-nolisten"),
                                                   QStringLiteral("unix"), QStringLiteral("-screen"), QStringLiteral("0"),
                                                   QStringLiteral("800x600x24")});
        QVERIFY(m_xserver->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(xServerAccepts(), 10000);
    }

    void dialogStartedByTheProxy()
    {
        const int agentDisplay = TestEnvironment::freeDisplay(m_display + 1);
        const quint16 agentPort = TestEnvironment::freeTcpPort();
        const QString nxRoot = m_environment.dataHome() + QStringLiteral("/nxroot");
        QDir().mkpath(nxRoot);

        ProcessGuard agent;
        agent->setProcessChannelMode(QProcess::MergedChannels);
        QByteArray agentOutput;
        connect(agent.get(), &QProcess::readyRead, this, [&] { agentOutput += agent->readAll(); });
        agent->start(QStringLiteral("nxagent"),
                     {QStringLiteral("-display"), QStringLiteral("nx/nx,listen=%1,slave=1:%2").arg(agentPort).arg(agentDisplay),
                      QStringLiteral(":%1").arg(agentDisplay)});
        QVERIFY(agent->waitForStarted());
        QTRY_VERIFY2_WITH_TIMEOUT(agentOutput.contains("Waiting for connection"), agentOutput.constData(), 15000);

        ProcessGuard proxy;
        QProcessEnvironment proxyEnv = clientEnvironment();
        proxyEnv.insert(QStringLiteral("NX_CLIENT"), clientProgram());
        proxyEnv.insert(QStringLiteral("NX_ROOT"), nxRoot);
        proxy->setProcessEnvironment(proxyEnv);
        proxy->setProcessChannelMode(QProcess::MergedChannels);
        QByteArray proxyOutput;
        connect(proxy.get(), &QProcess::readyRead, this, [&] { proxyOutput += proxy->readAll(); });
        proxy->start(QStringLiteral("nxproxy"),
                     {QStringLiteral("-S"), QStringLiteral("nx/nx,connect=127.0.0.1,port=%1").arg(agentPort)});
        QVERIFY(proxy->waitForStarted());
        const QString proxyPid = QString::number(proxy->processId());
        QTRY_VERIFY2_WITH_TIMEOUT(proxyOutput.contains("Established X server connection"), proxyOutput.constData(), 30000);

        // Losing the remote side makes the proxy tell the user through its dialog program. The
        // proxy exits straight away, so the program's standard error is a pipe nobody reads.
        agent->kill();
        QTRY_VERIFY2_WITH_TIMEOUT(readClientLog().contains(QStringLiteral("Showing message of type")),
                                  proxyOutput.constData(), 30000);
        QString window;
        QTRY_VERIFY_WITH_TIMEOUT(!(window = windowWithTitle(QStringLiteral("^NX - "))).isEmpty(), 20000);
        QVERIFY(pressReturnIn(window));

        QTRY_VERIFY_WITH_TIMEOUT(readClientLog().contains(QStringLiteral("Exit: NX message done")), 20000);
        const QString log = readClientLog();
        QVERIFY2(log.contains(QStringLiteral("Showing message of type  1  with title  \"NX - ")), qPrintable(log));
        QVERIFY2(log.contains(QStringLiteral("The connection with the remote server was shut down.")), qPrintable(log));
        // The proxy reports its parent id after it has exited itself, so init may stand there:
        // that one must never be signalled.
        const QRegularExpressionMatch action =
            QRegularExpression(QStringLiteral("Will execute action 2 on PID (\\d+)")).match(log);
        QVERIFY2(action.hasMatch(), qPrintable(log.right(600)));
        const QString pid = action.captured(1);
        QVERIFY2(pid == proxyPid || pid == QLatin1String("1"), qPrintable(pid));
        QVERIFY(!log.contains(QStringLiteral("Sent signal 15 to PID 1\n")));
    }

    void affirmativeAnswerEndsTheParent()
    {
        ProcessGuard parent;
        parent->start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"), QStringLiteral("trap 'echo TERM; exit 0' TERM; trap 'echo HUP; exit 0' HUP; "
                                                            "echo ready; while :; do sleep 1 & wait $!; done")});
        QVERIFY(parent->waitForReadyRead(10000));
        parent->readAll();

        const QString caption = QStringLiteral("NX - question");
        ProcessGuard client;
        client->setProcessEnvironment(clientEnvironment());
        client->start(clientProgram(), {QStringLiteral("--dialog"), QStringLiteral("yesnosuspend"), QStringLiteral("--caption"),
                                        caption, QStringLiteral("--message"), QStringLiteral("Terminate the session?"),
                                        QStringLiteral("--local"), QStringLiteral("--parent"),
                                        QString::number(parent->processId()), QStringLiteral("--display"), displayName()});
        QVERIFY(client->waitForStarted());

        QString window;
        QTRY_VERIFY_WITH_TIMEOUT(!(window = windowWithTitle(caption)).isEmpty(), 20000);
        QVERIFY(pressReturnIn(window));

        QVERIFY(client->waitForFinished(20000));
        QCOMPARE(client->exitCode(), 0);
        QVERIFY(parent->waitForFinished(10000));
        QCOMPARE(parent->readAll().trimmed(), QByteArray("TERM"));
    }

    void cleanupTestCase()
    {
        m_xserver->terminate();
        m_xserver->waitForFinished(5000);
    }

private:
    TestEnvironment m_environment;
    ProcessGuard m_xserver;
    int m_display = -1;
};

QTEST_GUILESS_MAIN(TestNXDialogProgram)
#include "tst_nxdialogprogram.moc"
