#include "demobrokerprocess.h"
#include "programrun.h"
#include "testenvironment.h"
#include "xvfbserver.h"

#include <QJsonArray>
#include <QProcess>
#include <QtTest>

// While the remote desktop runs the login window is hidden; on a desktop with a system tray
// the tray icon's menu ends the session, and the login window comes back. Real windows: the
// program, a tray host, the nested X server and the demo broker's VM on one virtual screen.
class TestMainWindowTray : public QObject
{
    Q_OBJECT

private:
    QProcessEnvironment desktopEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("DISPLAY"), m_desktop.displayName());
        return env;
    }

    QString xdotool(const QStringList &arguments) const
    {
        QProcess process;
        process.setProcessEnvironment(desktopEnvironment());
        process.start(QStringLiteral("xdotool"), arguments);
        if (!process.waitForFinished(10000))
            process.kill();
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    QString visibleWindow(const QString &titlePattern) const
    {
        return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), titlePattern})
            .split(QLatin1Char('\n'))
            .value(0);
    }

    // The program's only visible window while the login window is hidden: its tray icon.
    QString trayIconWindow(qint64 pid) const
    {
        const QStringList windows = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                             QStringLiteral("--pid"), QString::number(pid)})
                                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return windows.size() == 1 ? windows.first() : QString();
    }

    bool pressKey(const QString &window, const QString &key) const
    {
        return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window, QStringLiteral("key"), key})
            .isEmpty();
    }

    QString clientLog() const
    {
        QFile file(m_environment.logDir() + QStringLiteral("/client.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private slots:
    void initTestCase()
    {
        for (const char *name : {"Xvfb", "Xephyr", "nxagent", "nxproxy", "xdotool", "trayer", "xclock"})
            QVERIFY2(!TestEnvironment::program(QString::fromLatin1(name)).isEmpty(), name);
        QVERIFY2(m_desktop.start(XvfbServer::Listen::UnixSocket, QStringLiteral("1280x900x24")),
                 qPrintable(m_desktop.errorText()));

        m_tray->setProcessEnvironment(desktopEnvironment());
        m_tray->setProcessChannelMode(QProcess::ForwardedChannels);
        m_tray->start(QStringLiteral("trayer"), {QStringLiteral("--edge"), QStringLiteral("top"),
                                                 QStringLiteral("--align"), QStringLiteral("right"),
                                                 QStringLiteral("--widthtype"), QStringLiteral("request")});
        QVERIFY(m_tray->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!xdotool({QStringLiteral("search"), QStringLiteral("--class"), QStringLiteral("trayer")})
                                      .isEmpty(),
                                 20000);

        QJsonObject config = DemoBrokerProcess::simpleConfig();
        config[QStringLiteral("vms")] = QJsonArray{QJsonObject{
            {QStringLiteral("id"), 3},
            {QStringLiteral("name"), QStringLiteral("Desktop")},
            {QStringLiteral("state"), QStringLiteral("running")},
            {QStringLiteral("nxagent"), QJsonObject{{QStringLiteral("desktop"), QStringLiteral("xclock")}}}}};
        QVERIFY2(m_broker.start(config), qPrintable(m_broker.errorText()));
    }

    void disconnectFromTheTrayBringsTheWindowBack()
    {
        ProcessGuard client;
        client->setProcessEnvironment(desktopEnvironment());
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
        QTRY_VERIFY_WITH_TIMEOUT(!(question = visibleWindow(QStringLiteral("^Untrusted certificate of "))).isEmpty(),
                                 20000);
        // Return would refuse the certificate: accepting it takes its own key.
        QVERIFY(pressKey(question, QStringLiteral("alt+t")));

        // The remote desktop's window carries the VM's name; the login window hides.
        QTRY_VERIFY2_WITH_TIMEOUT(!visibleWindow(QStringLiteral("^Desktop - ZEL$")).isEmpty(),
                                  qPrintable(clientLog().right(1500)), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindow(QStringLiteral("^ZEL$")).isEmpty(), 20000);

        QString icon;
        QTRY_VERIFY2_WITH_TIMEOUT(!(icon = trayIconWindow(client->processId())).isEmpty(),
                                  "no tray icon while the desktop runs", 20000);
        // The menu: "Show bandwidth", then "Disconnect".
        xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), icon, QStringLiteral("5"), QStringLiteral("5"),
                 QStringLiteral("click"), QStringLiteral("3")});
        QTRY_VERIFY_WITH_TIMEOUT(trayIconWindow(client->processId()).isEmpty(), 20000);   // the menu is up too
        xdotool({QStringLiteral("key"), QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Return")});

        QTRY_VERIFY2_WITH_TIMEOUT(!visibleWindow(QStringLiteral("^ZEL$")).isEmpty(), qPrintable(clientLog().right(1500)),
                                  30000);
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindow(QStringLiteral(" - ZEL$")).isEmpty(), 30000);
        QTRY_VERIFY(clientLog().contains(QStringLiteral("] Connection terminated")));
        QVERIFY2(!clientLog().contains(QStringLiteral("socketError")), "a disconnect asked for is no failure");
        QCOMPARE(client->state(), QProcess::Running);
        // The icon goes with the session.
        QTRY_VERIFY_WITH_TIMEOUT(xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                          QStringLiteral("--pid"), QString::number(client->processId())})
                                         .split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                                         .size()
                                     == 1,
                                 20000);
    }

private:
    TestEnvironment m_environment;
    XvfbServer m_desktop;
    ProcessGuard m_tray;
    DemoBrokerProcess m_broker;
};

QTEST_GUILESS_MAIN(TestMainWindowTray)
#include "tst_mainwindowtray.moc"
