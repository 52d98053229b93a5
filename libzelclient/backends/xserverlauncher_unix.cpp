#include "xserverlauncher.h"

#include "helpers/pathtools.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocalSocket>
#include <QTcpServer>

#include <csignal>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// The X server must not outlive the client, not even when the client crashes: the kernel
// ends it when the thread that started it goes away.
class ServerProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override
    {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    }
};

// Whether the X display the user works on (DISPLAY) accepts connections, so that a nested
// server can show the remote desktop in a window there. It runs on the GUI thread, so each
// probe waits at most 100 ms, and an answer is kept for the rest of the process: the desktop
// does not come and go while the program runs on it.
bool desktopDisplayReachable()
{
    static QHash<QString, bool> known;
    const QString display = qEnvironmentVariable("DISPLAY");
    const auto cached = known.constFind(display);
    if (cached != known.constEnd())
        return cached.value();

    bool reachable = false;
    const int colon = display.lastIndexOf(QLatin1Char(':'));
    const QString host = colon < 0 ? QString() : display.left(colon);
    bool ok = false;
    const int number = colon < 0 ? -1 : display.mid(colon + 1).section(QLatin1Char('.'), 0, 0).toInt(&ok);
    if (!display.isEmpty() && ok && number >= 0) {
        const bool local = host.isEmpty() || host == QLatin1String("unix");
        if (local) {
            QLocalSocket socket;
            socket.connectToServer(QStringLiteral("/tmp/.X11-unix/X%1").arg(number));
            reachable = socket.waitForConnected(100);
        }
        if (!reachable) {
            QTcpSocket socket;
            socket.connectToHost(local ? QStringLiteral("127.0.0.1") : host, static_cast<quint16>(6000 + number));
            reachable = socket.waitForConnected(100);
        }
    }
    known.insert(display, reachable);
    return reachable;
}

bool displayFree(int display)
{
    if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display))
        || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display)))
        return false;
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, static_cast<quint16>(6000 + display));
}

} // namespace

QString XServerLauncher::findServer()
{
    if (desktopDisplayReachable()) {
        const QString xephyr = PathTools::findBin(QStringLiteral("Xephyr"), {});
        if (!xephyr.isEmpty())
            return xephyr;
    }
    return PathTools::findBin(QStringLiteral("Xvfb"), {});
}

QProcess *XServerLauncher::createProcess(QObject *parent)
{
    return new ServerProcess(parent);
}

unsigned short XServerLauncher::chooseDisplay() const
{
    for (int display = 0; display < 1000; ++display) {
        if (displayFree(display))
            return static_cast<unsigned short>(display);
    }
    return 0;
}

QStringList XServerLauncher::serverArguments()
{
    QStringList arguments = QFileInfo(m_path).fileName() == QLatin1String("Xephyr")
        ? xephyrArguments(m_display, m_geometry, m_fullscreen, m_title)
        : xvfbArguments(m_display, m_geometry);
    // The server listens on TCP: without a cookie any local user could attach to the session's
    // display, watch it and type into it.
    // No cookie, no server: an empty list.
    if (!m_authority.create(m_display))
        return {};
    return arguments << QStringLiteral("-auth") << m_authority.fileName();
}

QString XServerLauncher::clientDisplay() const
{
    // Through the local socket, where the server knows the user of every client.
    return QStringLiteral(":%1").arg(m_display);
}

void XServerLauncher::admitOwnUser()
{
    // nxproxy cannot present the cookie for the X clients of the remote side (it forwards their
    // authorization as it comes), so the user running the session is admitted by its user id
    // on the local socket. Other users, and every client over TCP, still need the cookie.
    const QString xhost = PathTools::findBin(QStringLiteral("xhost"), {});
    const passwd *account = ::getpwuid(::geteuid());
    if (xhost.isEmpty() || !account) {
        fail(QStringLiteral("Failed to start X server: xhost, which admits the session's programs, wasn't found"));
        return;
    }
    auto *grant = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), clientDisplay());
    environment.insert(QStringLiteral("XAUTHORITY"), m_authority.fileName());
    grant->setProcessEnvironment(environment);
    grant->setProcessChannelMode(QProcess::MergedChannels);
    connect(grant, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, grant](int exitCode, QProcess::ExitStatus exitStatus) {
                const QByteArray output = grant->readAll().trimmed();
                grant->deleteLater();
                qInfo().noquote() << "xhost:" << QString::fromLocal8Bit(output);
                if (exitStatus == QProcess::NormalExit && exitCode == 0)
                    becomeRunning();
                else
                    fail(QStringLiteral("Failed to admit the session's programs to the X server: xhost exited with code %1")
                             .arg(exitCode));
            });
    connect(grant, &QProcess::errorOccurred, this, [this, grant](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        grant->deleteLater();
        fail(QStringLiteral("Failed to admit the session's programs to the X server: %1").arg(grant->errorString()));
    });
    grant->start(xhost, {QStringLiteral("+SI:localuser:") + QString::fromLocal8Bit(account->pw_name)});
}

bool XServerLauncher::answeringServerIsOurs() const
{
    // An X server writes its process id into the display's lock file.
    QFile lock(QStringLiteral("/tmp/.X%1-lock").arg(m_display));
    if (!m_process || !lock.open(QIODevice::ReadOnly))
        return false;
    return lock.readAll().trimmed().toLongLong() == m_process->processId();
}
