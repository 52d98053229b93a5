#include "sftpserverprocess.h"

#include "helpers/pathtools.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

const int StartTimeoutMs = 10000;
const int EndTimeoutMs = 5000;

// A process whose standard input and output are the given socket, as OpenSSH itself starts
// its SFTP server. It is killed when the client goes, however the client ends.
class SocketProcess : public QProcess
{
public:
    explicit SocketProcess(int socket, QObject *parent)
        : QProcess(parent)
        , m_socket(socket)
    {
    }

protected:
    // Runs in the child between fork and exec: only async-signal-safe calls here.
    void setupChildProcess() override
    {
        ::dup2(m_socket, STDIN_FILENO);
        ::dup2(m_socket, STDOUT_FILENO);
#ifdef Q_OS_LINUX
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    }

private:
    int m_socket;
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
// and the read-only system folders: no other file of the user is within its reach.
QStringList confinedCommand(const QString &bwrap, const QString &program, const QStringList &serverArguments,
                            const QString &folder)
{
    const QString realFolder = QFileInfo(folder).canonicalFilePath();
    QStringList command{bwrap, QStringLiteral("--unshare-all"), QStringLiteral("--die-with-parent")};
    command << systemFolders();
    // A server kept outside the system folders is made visible where it lies.
    if (!program.startsWith(QStringLiteral("/usr/")))
        command << QStringLiteral("--ro-bind") << program << program;
    command << QStringLiteral("--bind") << realFolder << folder;
    command << QStringLiteral("--chdir") << folder;
    command << QStringLiteral("--") << program << serverArguments;
    return command;
}

} // namespace

bool SftpServerProcess::start(const QString &program, qintptr socketDescriptor, const QString &logFile)
{
    const QString folder = QDir::cleanPath(QFileInfo(m_folder).absoluteFilePath());
    // Logs to standard error, which is appended to the log file.
    const QStringList serverArguments{QStringLiteral("-e"), QStringLiteral("-l"), QStringLiteral("INFO"),
                                      QStringLiteral("-d"), folder};
    QStringList command;
    const QString bwrap = PathTools::findBin(QStringLiteral("bwrap"), {});
    if (bwrap.isEmpty()) {
        qWarning().nospace() << "bwrap was not found: the SFTP server for " << m_folder
                             << " runs unconfined and can reach every file of the user";
        command << program << serverArguments;
    } else {
        command = confinedCommand(bwrap, program, serverArguments, folder);
    }

    auto *process = new SocketProcess(int(socketDescriptor), this);
    process->setWorkingDirectory(folder);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(logFile, QIODevice::Append);
    qInfo().nospace() << "Will run " << command.first() << " with args " << command.mid(1);
    process->start(command.first(), command.mid(1));
    if (!process->waitForStarted(StartTimeoutMs)) {
        m_errorString = process->errorString();
        delete process;
        return false;
    }
    m_process = process;
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this](int exitCode, QProcess::ExitStatus exitStatus) {
                qInfo().nospace() << "The SFTP server for " << m_folder << " ended"
                                  << (exitStatus == QProcess::NormalExit ? " with exit code " : " by a signal, code ")
                                  << exitCode;
                emit finished();
            });
    return true;
}

bool SftpServerProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

void SftpServerProcess::end()
{
    if (!m_process)
        return;
    QProcess *process = m_process;
    m_process = nullptr;
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        qInfo().nospace() << "Ending the SFTP server for " << m_folder;
        // bwrap takes its sandbox along when it is killed (--die-with-parent).
        process->kill();
        process->waitForFinished(EndTimeoutMs);
    }
    delete process;
}
