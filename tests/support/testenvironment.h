#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

// Fails the current test function when a program that scripts/install-deps installs is not
// found: a missing program is a broken installation, never a reason to pass.
//     ZEL_REQUIRE("Xvfb", "nxagent");
#define ZEL_REQUIRE(...)                                                                           \
    do {                                                                                           \
        const QString zelMissing_ = TestEnvironment::missingPrograms({__VA_ARGS__});               \
        QVERIFY2(zelMissing_.isEmpty(), qPrintable(zelMissing_));                                  \
    } while (false)

// Skips a test function that cannot run on this machine (it needs root, or user namespaces).
// Only for functions registered as ctest entries of their own (zel_own_test_entries), whose
// program uses ZEL_TEST_MAIN: the entry then shows as skipped in ctest's summary.
#define ZEL_SKIP(reason)                                                                           \
    do {                                                                                           \
        TestEnvironment::noteSkip();                                                               \
        QSKIP(reason);                                                                             \
    } while (false)

// A private HOME and XDG folders for one test program, and no session bus, so that no test
// reads or writes the user's real settings, logs, keyring or sound state. Create it before
// anything opens QSettings.
class TestEnvironment
{
public:
    TestEnvironment();

    QString home() const { return m_root.path() + QStringLiteral("/home"); }
    QString configHome() const { return m_root.path() + QStringLiteral("/config"); }
    QString dataHome() const { return m_root.path() + QStringLiteral("/data"); }
    QString runtimeDir() const { return m_root.path() + QStringLiteral("/runtime"); }
    QString logDir() const { return dataHome() + QStringLiteral("/ZEL Client Qt/Logs"); }
    // What the client has written to its log so far; empty before the first line.
    QString clientLog() const;

    // A loopback TCP port that nothing listens on right now.
    static quint16 freeTcpPort();
    // An X display number with no socket, no lock file and a free TCP port 6000+n. Each test
    // program searches its own block above 1000, away from the numbers the client's X server
    // launcher (from 0) and the demo broker (100 to 899) choose, and at "from" when higher;
    // -1 only when every display above is taken.
    static int freeDisplay(int from = 0);
    // The process id an X server wrote into the display's lock file; 0 when there is none.
    static qint64 displayLockOwner(int display);
    // Whether an X server that has ended left its display behind: a lock naming a process that
    // is gone, or a socket with no lock. Another server now on the number is no leftover.
    static bool displayLeftBehind(int display);
    // Removes what an X server that ended without cleaning up (an nxagent killed, or aborting
    // while it negotiates) left of a display: a lock naming a dead process, then a socket no
    // one answers on.
    static void removeDisplayLeftovers(int display);
    // Full path of a program on PATH, or empty.
    static QString program(const QString &name);
    // The SFTP server program, found where the client finds it (it is not on PATH).
    static QString sftpServer();
    // Empty when every named program is on PATH (or, for "sftp-server", where the client finds
    // it); else a message naming the missing ones.
    static QString missingPrograms(const QStringList &names);

    // A bound for a wait, in ms, scaled by ZEL_TEST_TIME_FACTOR (set where every program runs
    // slower, as under the sanitizers).
    static int timeout(int ms);

    // Whether this test program can run programs as another user, "nobody" (it runs as root and
    // setpriv is there): how a second local user is played.
    static bool canRunAsOtherUser();
    // Program and arguments that run program with arguments as "nobody": the first element is
    // the program to start.
    static QStringList asOtherUser(const QString &program, const QStringList &arguments);

    static void noteSkip();
    static bool skipped();
    // The programs this test program started that still run (their process names), so that a
    // test can tell none was left behind.
    static QStringList childProcesses();
    // The process id of a running child program of this test program with that name; 0 if none.
    static qint64 childProcess(const QString &name);

private:
    QTemporaryDir m_root;
};
