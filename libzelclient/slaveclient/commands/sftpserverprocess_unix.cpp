#include "sftpserverprocess.h"

#include "helpers/boundprocess.h"
#include "helpers/pathtools.h"
#include "helpers/privatefiles.h"
#include "helpers/processreaper.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int MaxStatusLength = 16384;
const int MaxReasonLength = 300;
// What sftp-server logs at the INFO level once it has its user and serves.
const char *const ServingLine = "session opened for";

// A process whose standard input and output are the given socket, as OpenSSH itself starts
// its SFTP server, and that is handed the write end of bubblewrap's status pipe. It is killed
// when the client goes, however the client ends.
class SocketProcess : public BoundProcess
{
public:
    SocketProcess(int socket, int status, QObject *parent)
        : BoundProcess(parent)
        , m_socket(socket)
        , m_status(status)
    {
    }

protected:
    // Runs in the child between fork and exec: only async-signal-safe calls here.
    void setupChildProcess() override
    {
        BoundProcess::setupChildProcess();
        ::dup2(m_socket, STDIN_FILENO);
        ::dup2(m_socket, STDOUT_FILENO);
        ::fcntl(m_status, F_SETFD, 0);
    }

private:
    int m_socket;
    int m_status;
};

// System folders the server needs to run, read-only; the merged /bin, /lib and /sbin links of
// the system are recreated as links.
QStringList systemFolders()
{
    QStringList arguments{QStringLiteral("--ro-bind"), QStringLiteral("/usr"), QStringLiteral("/usr")};
    for (const char *name : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        const QString path = QString::fromLatin1(name);
        const QFileInfo info(path);
        if (info.isSymLink())
            arguments << QStringLiteral("--symlink") << info.symLinkTarget() << path;
        else if (info.isDir())
            arguments << QStringLiteral("--ro-bind") << path << path;
    }
    // The server looks up the user it runs as and stops without an entry.
    arguments << QStringLiteral("--ro-bind") << QStringLiteral("/etc/passwd") << QStringLiteral("/etc/passwd")
              << QStringLiteral("--ro-bind") << QStringLiteral("/etc/group") << QStringLiteral("/etc/group")
              << QStringLiteral("--proc") << QStringLiteral("/proc")
              << QStringLiteral("--dev") << QStringLiteral("/dev");
    return arguments;
}

// bwrap confines the server to the shared folder (read-write, at the path the VM knows it by)
// and the read-only system folders: no other file of the user is within its reach. Nothing of
// the client's environment goes in (it holds what the user sends as credentials), the server
// has no terminal to type into, and links, which could point anywhere, cannot be made.
QStringList confinedCommand(const QString &program, const QString &folder, int statusFd)
{
    const QString realFolder = QFileInfo(folder).canonicalFilePath();
    QStringList command{QStringLiteral("--unshare-all"), QStringLiteral("--die-with-parent"),
                        QStringLiteral("--new-session"), QStringLiteral("--clearenv"),
                        QStringLiteral("--json-status-fd"), QString::number(statusFd)};
    command << systemFolders();
    // A server kept outside the system folders is made visible where it lies.
    if (!program.startsWith(QStringLiteral("/usr/")))
        command << QStringLiteral("--ro-bind") << program << program;
    command << QStringLiteral("--bind") << realFolder << folder;
    command << QStringLiteral("--chdir") << folder;
    // Logs to standard error, at INFO: what the VM does in the folder is in the user's log.
    command << QStringLiteral("--") << program << QStringLiteral("-e") << QStringLiteral("-l") << QStringLiteral("INFO")
            << QStringLiteral("-P") << QStringLiteral("symlink,hardlink") << QStringLiteral("-d") << folder;
    return command;
}

// bubblewrap itself sees nothing of the client's environment either: its process in the
// sandbox keeps what it was started with, where the server could read it. (An environment
// with nothing in it would be taken for "the client's own".)
QProcessEnvironment bubblewrapEnvironment()
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    return environment;
}

} // namespace

QString SftpServerProcess::missingConfinement()
{
    if (PathTools::findBin(QStringLiteral("bwrap"), {}).isEmpty())
        return QStringLiteral("bubblewrap (bwrap) is not installed, and a folder is shared only confined to itself");
    return QString();
}

bool SftpServerProcess::start(const QString &program, qintptr socketDescriptor, const QString &logFile)
{
    const QString bwrap = PathTools::findBin(QStringLiteral("bwrap"), {});
    if (bwrap.isEmpty()) {
        m_errorString = missingConfinement();
        return false;
    }
    m_log.setFileName(logFile);
    if (!PrivateFiles::ensureFile(logFile) || !m_log.open(QIODevice::WriteOnly | QIODevice::Append))
        qWarning().nospace().noquote() << "The SFTP server's log " << logFile << " cannot be written: " << m_log.errorString();

    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0) {
        m_errorString = QStringLiteral("no pipe for the sandbox's status");
        return false;
    }
    ::fcntl(status[0], F_SETFL, O_NONBLOCK);
    m_statusFd = status[0];
    m_statusNotifier = new QSocketNotifier(m_statusFd, QSocketNotifier::Read, this);
    connect(m_statusNotifier, &QSocketNotifier::activated, this, &SftpServerProcess::readStatus);

    const QString folder = QDir::cleanPath(QFileInfo(m_folder).absoluteFilePath());
    const QStringList arguments = confinedCommand(program, folder, status[1]);
    auto *process = new SocketProcess(int(socketDescriptor), status[1], this);
    m_process = process;
    process->setProcessEnvironment(bubblewrapEnvironment());
    // The sandbox has its own: the shared folder (--chdir).
    process->setWorkingDirectory(QDir::rootPath());
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    connect(process, &QProcess::readyReadStandardError, this, &SftpServerProcess::readServerOutput);
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this](int exitCode, QProcess::ExitStatus exitStatus) { serverEnded(exitCode, exitStatus != QProcess::NormalExit); });
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            serverEnded(-1, false);
    });
    qInfo().nospace() << "Will run " << bwrap << " with args " << arguments;
    process->start(bwrap, arguments);
    // The child holds its own copy from here on.
    ::close(status[1]);
    return true;
}

void SftpServerProcess::readStatus()
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(m_statusFd, buffer, sizeof(buffer));
        if (got > 0) {
            if (m_status.size() < MaxStatusLength)
                m_status.append(buffer, int(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 && m_statusNotifier)
            m_statusNotifier->setEnabled(false);
        break;
    }
    if (m_status.contains("\"child-pid\""))
        m_sandboxStarted = true;
}

void SftpServerProcess::readServerOutput()
{
    const QByteArray chunk = m_process->readAllStandardError();
    if (m_log.isOpen()) {
        m_log.write(chunk);
        m_log.flush();
    }
    m_output.add(chunk);
    while (m_output.hasLine()) {
        const QString line = m_output.getLine().trimmed();
        if (line.isEmpty())
            continue;
        m_lastLine = line.left(MaxReasonLength);
        if (line.contains(QLatin1String(ServingLine)))
            report(true);
    }
}

void SftpServerProcess::serverEnded(int exitCode, bool crashed)
{
    readStatus();
    if (m_process && m_process->state() == QProcess::NotRunning)
        readServerOutput();
    const QString said = m_lastLine.isEmpty() ? QString() : QStringLiteral(": ") + m_lastLine;
    if (exitCode < 0)
        report(false, QStringLiteral("bubblewrap could not be run (%1)").arg(m_process->errorString()));
    else if (!m_sandboxStarted)
        report(false, QStringLiteral("the sandbox did not start") + said);
    else if (crashed || exitCode != 0)
        report(false, QStringLiteral("the SFTP server stopped before serving (exit code %1)").arg(exitCode) + said);
    // A VM that read what it wanted and closed the connection at once: a normal end.
    report(true);
    qInfo().nospace().noquote() << "The SFTP server for " << m_folder << " ended"
                                << (crashed ? QStringLiteral(" by a signal") : QStringLiteral(" with exit code %1").arg(exitCode));
    emit finished();
}

bool SftpServerProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

void SftpServerProcess::end()
{
    if (m_statusFd >= 0) {
        delete m_statusNotifier;
        m_statusNotifier = nullptr;
        ::close(m_statusFd);
        m_statusFd = -1;
    }
    if (!m_process)
        return;
    QProcess *process = m_process;
    m_process = nullptr;
    if (process->state() != QProcess::NotRunning)
        qInfo().nospace() << "Ending the SFTP server for " << m_folder;
    // bwrap takes its sandbox along when it is killed (--die-with-parent); nobody waits for it.
    ProcessReaper::end(process);
}
