#include "demobrokerprocess.h"
#include "programrun.h"
#include "testenvironment.h"
#include "xvfbserver.h"

#include <QJsonArray>
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
    QString run(const QString &program, const QStringList &arguments, const QString &display) const
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        process.waitForFinished(10000);
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    QString visibleWindow(const QString &titlePattern) const
    {
        return run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                QStringLiteral("--name"), titlePattern},
                   m_displayName)
            .split(QLatin1Char('\n'))
            .value(0)
            .trimmed();
    }

    bool pressKey(const QString &window, const QString &key) const
    {
        QProcess press;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_displayName);
        press.setProcessEnvironment(env);
        press.start(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window,
                                                 QStringLiteral("key"), key});
        return press.waitForFinished(10000) && press.exitCode() == 0;
    }

    bool agentWindowShown(const QString &display, QString *tree) const
    {
        *tree = run(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")}, display);
        return tree->contains(QStringLiteral("\"NX Agent\"")) && tree->contains(QStringLiteral("200x200+20+20"));
    }

    QString clientLog() const
    {
        QFile file(m_environment.logDir() + QStringLiteral("/client.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private slots:
    void initTestCase()
    {
        for (const char *name : {"Xvfb", "Xephyr", "nxagent", "nxproxy", "xdotool", "xwininfo", "xclock"})
            QVERIFY2(!TestEnvironment::program(QString::fromLatin1(name)).isEmpty(), name);

        QVERIFY2(m_desktop.start(XvfbServer::Listen::UnixSocket, QStringLiteral("1280x900x24")),
                 qPrintable(m_desktop.errorText()));
        m_displayName = m_desktop.displayName();

        QJsonObject config = DemoBrokerProcess::simpleConfig();
        config[QStringLiteral("vms")] = QJsonArray{QJsonObject{
            {QStringLiteral("id"), 3},
            {QStringLiteral("name"), QStringLiteral("Desktop")},
            {QStringLiteral("state"), QStringLiteral("stopped")},
            {QStringLiteral("nxagent"), QJsonObject{{QStringLiteral("desktop"), QStringLiteral("xclock -geometry 200x200+20+20")}}}}};
        QVERIFY2(m_broker.start(config), qPrintable(m_broker.errorText()));
    }

    void connectShowsTheRemoteDesktopAndTheWindowComesBack()
    {
        ProcessGuard client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("DISPLAY"), m_displayName);
        client->setProcessEnvironment(env);
        client->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client->start(ProgramRun::clientProgram(),
                      {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                       QString::number(m_broker.port()), QStringLiteral("--user"), QStringLiteral("demo"),
                       QStringLiteral("--password"), QStringLiteral("demo")});
        QVERIFY(client->waitForStarted());

        QString login;
        QTRY_VERIFY2_WITH_TIMEOUT(!(login = visibleWindow(QStringLiteral("^ZEL$"))).isEmpty(),
                                  qPrintable(m_desktop.state()), 20000);
        QVERIFY(pressKey(login, QStringLiteral("Return")));

        QString question;
        QTRY_VERIFY_WITH_TIMEOUT(!(question = visibleWindow(QStringLiteral("^Untrusted certificate of 127.0.0.1$"))).isEmpty(),
                                 20000);
        // Return would refuse the certificate: accepting it takes its own key.
        QVERIFY(pressKey(question, QStringLiteral("alt+t")));

        // The local X server is a window on this desktop, titled with the VM's name; the VM's
        // program draws inside it.
        QTRY_VERIFY2_WITH_TIMEOUT(!visibleWindow(QStringLiteral("^Desktop - ZEL$")).isEmpty(),
                                  qPrintable(clientLog().right(1500)), 60000);
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("Launching \"\\S*Xephyr\" with arguments \\(\"(:\\d+)\"")).match(clientLog());
        QVERIFY2(match.hasMatch(), qPrintable(clientLog().right(3000)));
        const QString localDisplay = match.captured(1);
        // The agent's desktop is one window on the local server; the VM's clock (200x200 at
        // 20,20 on the VM's screen) is a window inside it.
        QString tree;
        QTRY_VERIFY2_WITH_TIMEOUT(agentWindowShown(localDisplay, &tree),
                                  qPrintable(localDisplay + QLatin1Char('\n') + tree), 30000);
        QVERIFY2(visibleWindow(QStringLiteral("^ZEL$")).isEmpty(), "the login window hides while the desktop runs");
        QVERIFY(clientLog().contains(QStringLiteral("] Connection to VM ")));

        // The VM ends with its broker: the login window comes back.
        m_broker.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow(QStringLiteral("^ZEL$")).isEmpty(), 30000);
        QTRY_VERIFY(clientLog().contains(QStringLiteral("] Connection terminated")));
        QVERIFY2(!clientLog().contains(QStringLiteral("socketError")), "the end of a VM is no connection failure");
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindow(QStringLiteral("^Desktop - ZEL$")).isEmpty(), 30000);
    }

private:
    TestEnvironment m_environment;
    XvfbServer m_desktop;
    QString m_displayName;
    DemoBrokerProcess m_broker;
};

QTEST_GUILESS_MAIN(TestMainWindowDesktop)
#include "tst_mainwindowdesktop.moc"
