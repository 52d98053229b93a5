#include "backends/xserverlauncher.h"
#include "programrun.h"
#include "testenvironment.h"
#include "testmain.h"
#include "xvfbserver.h"

#include <QNetworkProxy>
#include <QtTest>

#include <csignal>
#include <memory>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

bool accepts(int display)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(6000 + display));
    return socket.waitForConnected(TestEnvironment::timeout(500));
}

// Whether an X client run with this environment, as the given user (empty: as ourselves),
// gets into the display over TCP or through the local socket.
bool clientAttaches(int display, const QProcessEnvironment &environment, const QString &user, bool localSocket)
{
    const QString xdpyinfo = TestEnvironment::program(QStringLiteral("xdpyinfo"));
    QStringList arguments{QStringLiteral("-display"),
                          (localSocket ? QStringLiteral(":%1") : QStringLiteral("127.0.0.1:%1")).arg(display)};
    QStringList command = QStringList{xdpyinfo} + arguments;
    if (!user.isEmpty())
        command = TestEnvironment::asOtherUser(xdpyinfo, arguments);
    QProcess client;
    client.setProcessEnvironment(environment);
    client.start(command.takeFirst(), command);
    if (!client.waitForFinished(TestEnvironment::timeout(20000))) {
        ProcessGuard::end(client);
        return false;
    }
    return client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
}

} // namespace

class TestXServerLauncher : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    QString m_xvfb;
    QByteArray m_previousDisplay;
    QTemporaryDir m_scripts;
    QString m_deafServer;
    QString m_silentServer;

    static void cookieColumns()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("cookie");
        QTest::addColumn<bool>("localSocket");
        QTest::addColumn<bool>("attaches");
    }

private slots:
    void initTestCase()
    {
        ZEL_REQUIRE("Xvfb", "Xephyr", "socat", "xdpyinfo", "xwininfo", "false");
        m_xvfb = TestEnvironment::program(QStringLiteral("Xvfb"));
        // A real X server that takes no connections where the launcher looks for them.
        {
            m_deafServer = m_scripts.filePath(QStringLiteral("Xvfb"));
            QFile script(m_deafServer);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\nexec " + QFile::encodeName(m_xvfb) + " \"$@\" -nolisten tcp\n");
            script.close();
            script.setPermissions(script.permissions() | QFile::ExeOwner);
        }
        // A server that takes connections on its port but never serves them, as a real one does
        // while it is still setting up its screens.
        const QString socat = TestEnvironment::program(QStringLiteral("socat"));
        {
            m_silentServer = m_scripts.filePath(QStringLiteral("silent/Xvfb"));
            QVERIFY(QDir().mkpath(QFileInfo(m_silentServer).path()));
            QFile script(m_silentServer);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\n"
                         "display=${1#:}\n"
                         "lock=/tmp/.X$display-lock\n"
                         "printf '%10d\\n' $$ >\"$lock\"\n"
                         + QFile::encodeName(socat) + " -u TCP-LISTEN:$((6000 + display)),bind=127.0.0.1,reuseaddr,fork OPEN:/dev/null,wronly &\n"
                         "trap 'kill $!; rm -f \"$lock\"; exit 0' TERM\n"
                         "wait\n");
            script.close();
            script.setPermissions(script.permissions() | QFile::ExeOwner);
        }
        // Without a desktop display the launcher picks the headless server.
        m_previousDisplay = qgetenv("DISPLAY");
        qunsetenv("DISPLAY");
    }

    void init()
    {
        qunsetenv("DISPLAY");
    }

    void cleanupTestCase()
    {
        if (!m_previousDisplay.isEmpty())
            qputenv("DISPLAY", m_previousDisplay);
    }

    void vcxsrvArguments()
    {
        const QStringList arguments = XServerLauncher::vcxsrvArguments(0, QStringLiteral("C:\\Users\\u\\Logs"));
        const QStringList expected{":0",        "-listen",   "local", "-nolisten",         "inet6", "-multiwindow",
                                   "-notrayicon", "-nowinkill", "-clipboard", "-wgl", "+bs", "-silent-dup-error",
                                   "-ac",       "-nomultimonitors", "-logfile", "C:\\Users\\u\\Logs\\vcxsrv.log"};
        QCOMPARE(arguments.size(), 16);
        QCOMPARE(arguments, expected);
    }

    void linuxArguments()
    {
        QCOMPARE(XServerLauncher::xvfbArguments(7, QSize(1280, 800)),
                 (QStringList{":7", "-listen", "tcp", "-noreset", "-screen", "0", "1280x800x24"}));
        QCOMPARE(XServerLauncher::xvfbArguments(0, QSize()),
                 (QStringList{":0", "-listen", "tcp", "-noreset", "-screen", "0", "1024x768x24"}));
        QCOMPARE(XServerLauncher::xephyrArguments(3, QSize(800, 600), false),
                 (QStringList{":3", "-listen", "tcp", "-noreset", "-screen", "800x600"}));
        QCOMPARE(XServerLauncher::xephyrArguments(3, QSize(800, 600), true),
                 (QStringList{":3", "-listen", "tcp", "-noreset", "-fullscreen"}));
    }

    void headlessServerChosenWithoutDesktop()
    {
        XServerLauncher launcher;
        QCOMPARE(QFileInfo(launcher.path()).fileName(), QStringLiteral("Xvfb"));
    }

    void noServerProgram()
    {
        XServerLauncher launcher;
        launcher.setPath(QString());
        launcher.setDisplay(0);
        QSignalSpy failed(&launcher, &XServerLauncher::failed);
        QSignalSpy running(&launcher, &XServerLauncher::running);
        QVERIFY(failed.isValid() && running.isValid());
        launcher.start();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.first().first().toString(), QStringLiteral("Failed to start X server, binary wasn't found"));
        QCOMPARE(running.count(), 0);
    }

    // A server that never comes up must be reported as a failure, once, and never as running;
    // one that runs but never accepts connections is given up after the start time-out and
    // ended, leaving its display free.
    void serverThatDoesNotStart_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("not executable") << "/nonexistent/Xvfb";
        QTest::newRow("exits at once") << TestEnvironment::program(QStringLiteral("false"));
        QTest::newRow("never accepts") << m_deafServer;
        QTest::newRow("accepts, never answers") << m_silentServer;
    }

    void serverThatDoesNotStart()
    {
        QFETCH(QString, program);
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        XServerLauncher launcher;
        launcher.setPath(program);
        launcher.setDisplay(static_cast<unsigned short>(display));
        launcher.setStartTimeout(2000);
        QSignalSpy failed(&launcher, &XServerLauncher::failed);
        QSignalSpy running(&launcher, &XServerLauncher::running);
        QVERIFY(failed.isValid() && running.isValid());
        launcher.start();
        QVERIFY(failed.wait(TestEnvironment::timeout(15000)));
        QCOMPARE(failed.count(), 1);
        QCOMPARE(running.count(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(TestEnvironment::displayLockOwner(display) == 0, TestEnvironment::timeout(15000));
        QVERIFY(!TestEnvironment::displayLeftBehind(display));
    }

    void displayAlreadyTaken()
    {
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        // A lock file naming a live process makes the server give up at once.
        const QString lockPath = QStringLiteral("/tmp/.X%1-lock").arg(display);
        QFile lock(lockPath);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n');
        lock.close();

        XServerLauncher launcher;
        launcher.setDisplay(static_cast<unsigned short>(display));
        QSignalSpy failed(&launcher, &XServerLauncher::failed);
        QSignalSpy running(&launcher, &XServerLauncher::running);
        launcher.start();
        const bool gotFailure = failed.wait(TestEnvironment::timeout(10000));
        QFile::remove(lockPath);
        QVERIFY(gotFailure);
        QCOMPARE(failed.count(), 1);
        QCOMPARE(running.count(), 0);
    }

    void runningOnceThenStopped()
    {
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        XServerLauncher launcher;
        launcher.setDisplay(static_cast<unsigned short>(display));
        QSignalSpy running(&launcher, &XServerLauncher::running);
        QSignalSpy stopped(&launcher, &XServerLauncher::stopped);
        QSignalSpy failed(&launcher, &XServerLauncher::failed);
        QVERIFY(running.isValid() && stopped.isValid() && failed.isValid());

        launcher.start();
        QVERIFY(running.wait(TestEnvironment::timeout(15000)));
        QCOMPARE(launcher.display(), static_cast<unsigned short>(display));
        QVERIFY(accepts(display));

        // Starting again while it runs changes nothing.
        launcher.start();

        const qint64 pid = TestEnvironment::displayLockOwner(display);
        QVERIFY(pid > 0);
        QCOMPARE(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
        QVERIFY(stopped.wait(TestEnvironment::timeout(10000)));
        QCOMPARE(running.count(), 1);
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(failed.count(), 0);
    }

    // The server admits holders of its cookie and, through the local socket, the programs of
    // the user running the session; nobody else, and nobody over TCP without the cookie.
    void onlyCookieHoldersAttach_data()
    {
        cookieColumns();
        QTest::newRow("session's client") << "" << "authority file" << false << true;
        QTest::newRow("session's user, local socket") << "" << "none" << true << true;
        QTest::newRow("session's user over TCP without the cookie") << "" << "none" << false << false;
    }

    void otherUserNeedsTheCookie_data()
    {
        cookieColumns();
        QTest::newRow("other user") << "nobody" << "none" << false << false;
        QTest::newRow("other user, local socket") << "nobody" << "none" << true << false;
        QTest::newRow("other user pointed at the authority file") << "nobody" << "authority file" << false << false;
        // The cookie, not the user, opens the display.
        QTest::newRow("other user with a copy of the cookie") << "nobody" << "copy" << false << true;
    }

    void otherUserNeedsTheCookie()
    {
        if (!TestEnvironment::canRunAsOtherUser())
            ZEL_SKIP("running a client as another user needs root and setpriv");
        onlyCookieHoldersAttach();
    }

    void onlyCookieHoldersAttach()
    {
        QFETCH(QString, user);
        QFETCH(QString, cookie);
        QFETCH(bool, localSocket);
        QFETCH(bool, attaches);

        const int display = TestEnvironment::freeDisplay();

        QVERIFY(display >= 0);
        XServerLauncher launcher;
        launcher.setDisplay(static_cast<unsigned short>(display));
        QSignalSpy running(&launcher, &XServerLauncher::running);
        launcher.start();
        QVERIFY(running.wait(TestEnvironment::timeout(15000)));
        QVERIFY(!launcher.authorityFile().isEmpty());

        // An empty HOME: no ~/.Xauthority of anybody's helps.
        QTemporaryDir home;
        QVERIFY(QFile::setPermissions(home.path(), QFile::permissions(home.path()) | QFile::ExeOther | QFile::ReadOther));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("XAUTHORITY"));
        environment.insert(QStringLiteral("HOME"), home.path());
        if (cookie == QLatin1String("authority file")) {
            environment.insert(QStringLiteral("XAUTHORITY"), launcher.authorityFile());
        } else if (cookie == QLatin1String("copy")) {
            const QString copy = home.filePath(QStringLiteral("Xauthority"));
            QVERIFY(QFile::copy(launcher.authorityFile(), copy));
            const passwd *account = ::getpwnam(qPrintable(user));
            QVERIFY(account);
            QVERIFY(::chown(QFile::encodeName(copy).constData(), account->pw_uid, account->pw_gid) == 0);
            environment.insert(QStringLiteral("XAUTHORITY"), copy);
        }
        QCOMPARE(clientAttaches(display, environment, user, localSocket), attaches);
    }

    void serverEndsWithLauncher()
    {
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        auto launcher = std::make_unique<XServerLauncher>();
        launcher->setDisplay(static_cast<unsigned short>(display));
        QSignalSpy running(launcher.get(), &XServerLauncher::running);
        // The probe goes straight to the server, whatever proxy the application uses.
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("127.0.0.1"), 1));
        launcher->start();
        const bool up = running.wait(TestEnvironment::timeout(15000));
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::DefaultProxy));
        QVERIFY(up);
        // Asked to end, the server goes on its own; nobody waits for it.
        launcher.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!accepts(display), TestEnvironment::timeout(10000));
        QTRY_VERIFY_WITH_TIMEOUT(TestEnvironment::displayLockOwner(display) == 0, TestEnvironment::timeout(10000));
    }

    // The user's desktop display is looked at in the background: starting does not wait for an
    // answer (nor for a host name to be looked up), and a desktop that does not answer gets the
    // headless server.
    void desktopLookedAtWithoutWaiting_data()
    {
        QTest::addColumn<QString>("desktop");
        QTest::newRow("host that cannot be found") << "zel-no-such-host.invalid:0";
        QTest::newRow("local display without a server") << ":%1";
    }

    void desktopLookedAtWithoutWaiting()
    {
        QFETCH(QString, desktop);
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        const int noServer = TestEnvironment::freeDisplay(display + 1);
        qputenv("DISPLAY", desktop.arg(noServer).toLocal8Bit());
        XServerLauncher launcher;
        launcher.setDisplay(static_cast<unsigned short>(display));
        QSignalSpy running(&launcher, &XServerLauncher::running);
        launcher.start();
        qunsetenv("DISPLAY");
        QCOMPARE(launcher.path(), QString());
        QVERIFY(running.wait(TestEnvironment::timeout(15000)));
        QCOMPARE(QFileInfo(launcher.path()).fileName(), QStringLiteral("Xvfb"));
    }

    void serverEndsWhenOwnerIsKilled()
    {
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        QProcess child;
        child.setProcessChannelMode(QProcess::SeparateChannels);
        child.setReadChannel(QProcess::StandardOutput);
        child.start(QStringLiteral(LAUNCHER_CHILD), {QString::number(display)});
        QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(child.canReadLine() || child.state() == QProcess::NotRunning,
                                 TestEnvironment::timeout(15000));
        const QByteArray line = child.readLine();
        if (line != "running\n") {
            ProcessGuard::end(child);
            QFAIL(("launcher child said: " + line + child.readAllStandardError()).constData());
        }
        QVERIFY(accepts(display));

        child.kill();
        QVERIFY(child.waitForFinished(TestEnvironment::timeout(5000)));
        QTRY_VERIFY_WITH_TIMEOUT(!accepts(display), TestEnvironment::timeout(10000));
    }

    void nestedServerOnDesktop()
    {
        const QString xwininfo = TestEnvironment::program(QStringLiteral("xwininfo"));

        // A headless server stands in for the user's desktop.
        XvfbServer desktopServer;
        QVERIFY2(desktopServer.start(XvfbServer::Listen::Tcp, QStringLiteral("1600x1200x24")),
                 qPrintable(desktopServer.errorText()));
        const int desktop = desktopServer.display();

        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        qputenv("DISPLAY", QByteArray("127.0.0.1:") + QByteArray::number(desktop));
        {
            XServerLauncher launcher;
            launcher.setDisplay(static_cast<unsigned short>(display));
            launcher.setGeometry(QSize(640, 480));
            QSignalSpy running(&launcher, &XServerLauncher::running);
            launcher.start();
            const bool up = running.wait(TestEnvironment::timeout(15000));
            qunsetenv("DISPLAY");
            QVERIFY(up);
            QCOMPARE(QFileInfo(launcher.path()).fileName(), QStringLiteral("Xephyr"));

            QProcess tree;
            tree.start(xwininfo, {QStringLiteral("-display"), QStringLiteral("127.0.0.1:%1").arg(desktop),
                                  QStringLiteral("-root"), QStringLiteral("-tree")});
            QVERIFY(tree.waitForFinished(TestEnvironment::timeout(10000)));
            const QByteArray windows = tree.readAllStandardOutput();
            const QByteArray title = "Xephyr on :" + QByteArray::number(display) + ".0";
            QVERIFY2(windows.contains(title), windows.constData());
        }
        QTRY_VERIFY_WITH_TIMEOUT(!accepts(display), TestEnvironment::timeout(10000));
    }
};

ZEL_TEST_GUILESS_MAIN(TestXServerLauncher)
#include "tst_xserverlauncher.moc"
