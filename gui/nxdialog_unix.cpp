#include "nxdialog.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <signal.h>

// The affirmative answer ends the NX process, "Suspend" asks it to suspend the session.
void NXDialog::carryOut(int action) const
{
    const int signalNumber = action == SuspendAction ? SIGHUP : SIGTERM;
    if (::kill(static_cast<pid_t>(m_request.pid), signalNumber) != 0) {
        qWarning() << "Failed to send signal" << signalNumber << "to PID" << m_request.pid << ":"
                   << std::strerror(errno);
        return;
    }
    qInfo() << "Sent signal" << signalNumber << "to PID" << m_request.pid;
}
