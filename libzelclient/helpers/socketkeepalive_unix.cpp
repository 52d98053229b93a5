#include "socketkeepalive.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

bool setOption(int descriptor, int level, int name, int value, const char *what)
{
    if (::setsockopt(descriptor, level, name, &value, sizeof(value)) == 0)
        return true;
    qWarning() << "Can't set" << what << "on the connection:" << std::strerror(errno);
    return false;
}

} // namespace

bool SocketKeepAlive::apply(qintptr descriptor, int idleSeconds, int intervalSeconds, int probes, int userTimeoutMs)
{
    if (descriptor < 0)
        return false;
    const int fd = static_cast<int>(descriptor);
    bool applied = setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE");
    applied = setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds, "TCP_KEEPIDLE") && applied;
    applied = setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds, "TCP_KEEPINTVL") && applied;
    applied = setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, probes, "TCP_KEEPCNT") && applied;
    applied = setOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, userTimeoutMs, "TCP_USER_TIMEOUT") && applied;
    return applied;
}
