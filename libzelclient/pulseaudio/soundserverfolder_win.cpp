#include "soundserverfolder.h"

#include <windows.h>

// The process id and its creation time.
QString SoundServerFolder::processStamp(qint64 pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return QString();
    FILETIME created, exited, kernel, user;
    QString stamp;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user))
        stamp = QStringLiteral("%1 %2").arg(pid).arg((quint64(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    CloseHandle(process);
    return stamp;
}

// The folder's server runs as a child of its client and ends with it there.
void SoundServerFolder::endServer(qint64 pid, const QString &folder)
{
    Q_UNUSED(pid)
    Q_UNUSED(folder)
}
