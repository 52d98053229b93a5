#include "socketkeepalive.h"

#include <QDebug>

#include <winsock2.h>
#include <mstcpip.h>

// Windows takes the idle time and the interval in one call; the number of probes is its own
// (ten), and there is no bound on unacknowledged data.
bool SocketKeepAlive::apply(qintptr descriptor, int idleSeconds, int intervalSeconds, int, int)
{
    tcp_keepalive settings{};
    settings.onoff = 1;
    settings.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000;
    settings.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000;
    DWORD returned = 0;
    if (WSAIoctl(static_cast<SOCKET>(descriptor), SIO_KEEPALIVE_VALS, &settings, sizeof(settings), nullptr, 0,
                 &returned, nullptr, nullptr) == 0)
        return true;
    qWarning() << "Can't set the keepalive times on the connection: error" << WSAGetLastError();
    return false;
}
