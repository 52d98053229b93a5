#include "soundserverfolder.h"

#include <QDebug>
#include <QFile>

#include <csignal>

// The process id and its start time (clock ticks since boot), the 22nd field of its stat line.
QString SoundServerFolder::processStamp(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray line = stat.readAll();
    // "pid (name) state ppid ...": the name may hold blanks and parentheses.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? QStringLiteral("%1 %2").arg(pid).arg(QString::fromLatin1(fields.at(19))) : QString();
}

void SoundServerFolder::endServer(qint64 pid, const QString &folder)
{
    // Only the process that runs the script of this very folder: a process id alone may
    // have been given to some other program since.
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!commandLine.open(QIODevice::ReadOnly))
        return;
    const QByteArray ownScript = QFile::encodeName(folder) + '/';
    for (const QByteArray &argument : commandLine.readAll().split('\0')) {
        if (argument.startsWith(ownScript)) {
            ::kill(pid_t(pid), SIGKILL);
            return;
        }
    }
}
