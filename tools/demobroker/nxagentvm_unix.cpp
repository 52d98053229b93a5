#include "nxagentvm.h"

#include <QDebug>

#include <cerrno>
#include <csignal>
#include <cstring>

void NxAgentVm::sendHangUp()
{
    const qint64 pid = m_agent.processId();
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), SIGHUP) != 0)
        qWarning().noquote() << tag() << "cannot send SIGHUP to the agent:" << std::strerror(errno);
}
