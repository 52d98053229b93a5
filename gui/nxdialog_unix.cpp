#include "nxdialog.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <signal.h>
#include <unistd.h>

// The affirmative answer ends the NX process, "Suspend" asks it to suspend the session.
void NXDialog::carryOut(int action) const
{
    // The proxy names its parent after it may already have gone, which leaves init (1) as
    // the parent; a negative number would signal a whole process group.
    if (m_request.pid <= 1 || m_request.pid == ::getpid()) {
        qWarning() << "Not signalling PID" << m_request.pid << ": not an NX process";
        return;
    }
    const int signalNumber = action == SuspendAction ? SIGHUP : SIGTERM;
    if (::kill(static_cast<pid_t>(m_request.pid), signalNumber) != 0) {
        qWarning() << "Failed to send signal" << signalNumber << "to PID" << m_request.pid << ":"
                   << std::strerror(errno);
        return;
    }
    qInfo() << "Sent signal" << signalNumber << "to PID" << m_request.pid;
}
