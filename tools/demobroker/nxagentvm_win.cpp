#include "nxagentvm.h"

#include <QDebug>

// nxagent reads its options again on SIGHUP, which Windows does not have: a VM there is not
// resumed, and its resume runs into its time bound.
void NxAgentVm::sendHangUp()
{
    qWarning().noquote() << tag() << "cannot ask the agent to suspend or resume on this system";
}
