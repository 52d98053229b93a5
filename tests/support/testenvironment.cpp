#include "testenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTcpServer>

#include <cerrno>
#include <signal.h>

TestEnvironment::TestEnvironment()
{
    for (const QString &dir : {home(), configHome(), dataHome(), runtimeDir()})
        QDir().mkpath(dir);
    QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

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
    for (int display = first; display < first + 400; ++display) {
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
    if (!probe.waitForConnected(200))
        QFile::remove(socketPath);
}
