#include "testenvironment.h"

#include "slaveclient/commands/slavesharefolderwithvm.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QLocalSocket>
#include <QPair>
#include <QStandardPaths>
#include <QTcpServer>

#include <cerrno>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

namespace {
bool skipNoted = false;

// nxproxy starts the program named in NX_CLIENT for its dialogs, and the library names its own
// program there: in a test that is the test program. Started so ("<program> --dialog ..."), it
// ends at once, before its tests could run and leave their temporary folders behind, as a dialog
// that nobody answers.
bool startedAsNxDialog()
{
    QFile commandLine(QStringLiteral("/proc/self/cmdline"));
    if (!commandLine.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> arguments = commandLine.readAll().split('\0');
    return arguments.size() > 1 && arguments.at(1) == "--dialog";
}

struct EndWhenStartedAsNxDialog
{
    EndWhenStartedAsNxDialog()
    {
        if (startedAsNxDialog())
            _exit(0);
    }
} endWhenStartedAsNxDialog;
// The highest display whose TCP port (6000 + display) is a valid port.
constexpr int LastDisplay = 65535 - 6000;
}

TestEnvironment::TestEnvironment()
{
    for (const QString &dir : {home(), configHome(), dataHome(), runtimeDir()})
        QDir().mkpath(dir);
    QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // The names the program gives itself, so that QSettings opens the store the program uses.
    QCoreApplication::setOrganizationName(QStringLiteral("Pelsor"));
    QCoreApplication::setApplicationName(QStringLiteral("ZEL Client"));
    qputenv("HOME", QFile::encodeName(home()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome()));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_root.path() + QStringLiteral("/cache")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir()));
    // No session bus: the user's own keyring is never touched; a test that needs a Secret
    // Service starts a bus of its own.
    qputenv("DBUS_SESSION_BUS_ADDRESS", QFile::encodeName(QStringLiteral("unix:path=") + m_root.path()
                                                           + QStringLiteral("/no-session-bus")));
}

QString TestEnvironment::clientLog() const
{
    QFile file(logDir() + QStringLiteral("/client.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

quint16 TestEnvironment::freeTcpPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

int TestEnvironment::freeDisplay(int from)
{
    const int block = 1000 + int(QCoreApplication::applicationPid() % 500) * 8;
    const int first = qMax(from, block);
    for (int display = first; display < LastDisplay; ++display) {
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display))
            || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display)))
            continue;
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, static_cast<quint16>(6000 + display)))
            return display;
    }
    return -1;
}

qint64 TestEnvironment::displayLockOwner(int display)
{
    QFile lock(QStringLiteral("/tmp/.X%1-lock").arg(display));
    return lock.open(QIODevice::ReadOnly) ? lock.readAll().trimmed().toLongLong() : 0;
}

bool TestEnvironment::displayLeftBehind(int display)
{
    if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display))) {
        const qint64 pid = displayLockOwner(display);
        return pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
    }
    return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display));
}

QString TestEnvironment::program(const QString &name)
{
    return QStandardPaths::findExecutable(name);
}

QString TestEnvironment::missingPrograms(const QStringList &names)
{
    QStringList missing;
    for (const QString &name : names) {
        const QString path = name == QLatin1String("sftp-server") ? sftpServer() : program(name);
        if (path.isEmpty())
            missing << name;
    }
    if (missing.isEmpty())
        return QString();
    return QStringLiteral("not found on PATH (scripts/install-deps installs it): %1").arg(missing.join(QStringLiteral(", ")));
}

QString TestEnvironment::sftpServer()
{
    return SlaveShareFolderWithVM::findServerProgram();
}

int TestEnvironment::timeout(int ms)
{
    bool ok = false;
    const double factor = qEnvironmentVariable("ZEL_TEST_TIME_FACTOR").toDouble(&ok);
    return ok && factor > 1 ? int(ms * factor) : ms;
}

bool TestEnvironment::canRunAsOtherUser()
{
    return ::geteuid() == 0 && ::getpwnam("nobody") && !program(QStringLiteral("setpriv")).isEmpty();
}

QStringList TestEnvironment::asOtherUser(const QString &program, const QStringList &arguments)
{
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        return {};
    return QStringList{TestEnvironment::program(QStringLiteral("setpriv")), QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                       QStringLiteral("--regid=%1").arg(nobody->pw_gid), QStringLiteral("--clear-groups"), program}
        + arguments;
}

void TestEnvironment::noteSkip()
{
    skipNoted = true;
}

bool TestEnvironment::skipped()
{
    return skipNoted;
}

void TestEnvironment::removeDisplayLeftovers(int display)
{
    if (display < 0)
        return;
    const QString lockPath = QStringLiteral("/tmp/.X%1-lock").arg(display);
    if (QFile::exists(lockPath) && displayLeftBehind(display))
        QFile::remove(lockPath);
    const QString socketPath = QStringLiteral("/tmp/.X11-unix/X%1").arg(display);
    if (QFile::exists(lockPath) || !QFile::exists(socketPath))
        return;
    QLocalSocket probe;
    probe.connectToServer(socketPath);
    if (!probe.waitForConnected(TestEnvironment::timeout(200)))
        QFile::remove(socketPath);
}

namespace {

// Process id -> name of this program's children, read from /proc.
QList<QPair<qint64, QString>> children()
{
    QList<QPair<qint64, QString>> found;
    const qint64 self = QCoreApplication::applicationPid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold blanks and parentheses.
        const QByteArray line = stat.readAll();
        const int open = line.indexOf('(');
        const int close = line.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QList<QByteArray> rest = line.mid(close + 2).split(' ');
        // A zombie has ended; only its exit status is left to collect.
        if (rest.size() < 2 || rest.at(0) == "Z" || rest.at(1).toLongLong() != self)
            continue;
        found.append({pid, QString::fromLocal8Bit(line.mid(open + 1, close - open - 1))});
    }
    return found;
}

} // namespace

QStringList TestEnvironment::childProcesses()
{
    QStringList names;
    for (const auto &child : children())
        names << child.second;
    names.sort();
    return names;
}

qint64 TestEnvironment::childProcess(const QString &name)
{
    for (const auto &child : children()) {
        if (child.second == name)
            return child.first;
    }
    return 0;
}
