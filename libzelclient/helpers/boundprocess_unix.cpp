#include "boundprocess.h"

#include <csignal>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

BoundProcess::BoundProcess(QObject *parent)
    : QProcess(parent)
    , m_client(::getpid())
{
}

void BoundProcess::setupChildProcess()
{
#ifdef Q_OS_LINUX
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    // A client that ended before the line above would not be noticed any more.
    if (::getppid() != pid_t(m_client))
        ::_exit(127);
}
