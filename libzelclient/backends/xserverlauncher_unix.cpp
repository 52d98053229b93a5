#include "xserverlauncher.h"

#include "backends/xconnection.h"
#include "helpers/connectionprobe.h"
#include "helpers/pathtools.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTcpServer>
#include <QThread>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <xcb/xcb.h>

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

// Whether the X display the user works on accepts connections, once that is known: the desktop
// does not come and go while the program runs on it.
QHash<QString, bool> &knownDesktops()
{
    static QHash<QString, bool> known;
    return known;
}

bool displayFree(int display)
{
    if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display))
        || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display)))
        return false;
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, static_cast<quint16>(6000 + display));
}

// Adds a user to the access list of the server on the display ("localuser" of the
// server-interpreted family, as xhost +SI:localuser:NAME does), through a connection that
// presents the cookie. The server has just accepted a connection, so the request is answered
// at once; done here rather than by a helper program, as the whole connection waits for it.
// Returns the error, empty on success.
QString admitLocalUser(unsigned short display, const QByteArray &cookie, const QByteArray &user)
{
    const XConnection connection(display, cookie);
    if (const int failure = connection.error())
        return QStringLiteral("cannot connect to display %1 (error %2)").arg(connection.displayName()).arg(failure);
    const QByteArray address = QByteArrayLiteral("localuser") + '\0' + user;
    return connection.check(xcb_change_hosts_checked(connection.get(), XCB_HOST_MODE_INSERT, XCB_FAMILY_SERVER_INTERPRETED,
                                                     static_cast<uint16_t>(address.size()),
                                                     reinterpret_cast<const uint8_t *>(address.constData())),
                            QStringLiteral("the access list change"));
}

// Xephyr shows the remote desktop in a window on the user's desktop, when there is one to show
// it on; Xvfb otherwise.
QString serverProgram(bool desktopReachable)
{
    if (desktopReachable) {
        const QString xephyr = PathTools::findBin(QStringLiteral("Xephyr"), {});
        if (!xephyr.isEmpty())
            return xephyr;
    }
    return PathTools::findBin(QStringLiteral("Xvfb"), {});
}

} // namespace

bool XServerLauncher::knownServer(QString &program)
{
    const QString display = qEnvironmentVariable("DISPLAY");
    if (!display.isEmpty() && !knownDesktops().contains(display))
        return false;
    program = serverProgram(knownDesktops().value(display, false));
    return true;
}

void XServerLauncher::chooseServer()
{
    // DISPLAY is host:number[.screen]; no host (or "unix") is this machine's local socket. A
    // host's name is looked up without holding up the window.
    const QString display = qEnvironmentVariable("DISPLAY");
    const int colon = display.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const int number = colon < 0 ? -1 : display.mid(colon + 1).section(QLatin1Char('.'), 0, 0).toInt(&ok);
    const QString host = colon < 0 ? QString() : display.left(colon);
    const bool local = host.isEmpty() || host == QLatin1String("unix");
    auto *probe = new ConnectionProbe(this);
    connect(probe, &ConnectionProbe::answered, this, [this, probe, display](bool reachable) {
        probe->deleteLater();
        knownDesktops().insert(display, reachable);
        serverChosen(serverProgram(reachable));
    });
    if (!ok || number < 0)
        probe->start(QString(), QString(), 0);
    else
        probe->start(local ? QStringLiteral("/tmp/.X11-unix/X%1").arg(number) : QString(),
                     local ? QStringLiteral("127.0.0.1") : host, static_cast<quint16>(6000 + number));
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
    const passwd *account = ::getpwuid(::geteuid());
    if (!account) {
        fail(QStringLiteral("Failed to admit the session's programs to the X server: the user running the session is unknown"));
        return;
    }
    // The X connection waits for the server's answers, which a server that hangs never gives:
    // it is made on a thread of its own, and the start time-out bounds the wait for it. A
    // launcher that has gone by then hears nothing of it.
    const QByteArray user(account->pw_name);
    const unsigned short display = m_display;
    const QByteArray cookie = m_authority.cookie();
    auto error = std::make_shared<QString>();
    QThread *admission = QThread::create([error, display, cookie, user] { *error = admitLocalUser(display, cookie, user); });
    connect(admission, &QThread::finished, admission, &QObject::deleteLater);
    connect(admission, &QThread::finished, this, [this, error, user] {
        if (m_phase != Phase::Starting)
            return;
        if (!error->isEmpty()) {
            fail(QStringLiteral("Failed to admit the session's programs to the X server: %1").arg(*error));
            return;
        }
        qInfo().noquote() << "X server admits the local user" << QString::fromLocal8Bit(user);
        becomeRunning();
    });
    admission->start();
}

bool XServerLauncher::answeringServerIsOurs() const
{
    // An X server writes its process id into the display's lock file.
    QFile lock(QStringLiteral("/tmp/.X%1-lock").arg(m_display));
    if (!m_process || !lock.open(QIODevice::ReadOnly))
        return false;
    return lock.readAll().trimmed().toLongLong() == m_process->processId();
}
