#pragma once

#include <QtGlobal>

// Makes the kernel notice a TCP connection whose peer has gone silent within seconds rather
// than hours: keepalive probes after a short idle time (Qt's own option keeps the system's
// two-hour default), and a bound on data left unacknowledged. A connection found dead fails
// with an error, as a closed one would.
class SocketKeepAlive
{
public:
    // idleSeconds of silence, then a probe every intervalSeconds, probes unanswered ones; and
    // sent data unacknowledged for userTimeoutMs. False when the system refuses any of it.
    static bool apply(qintptr descriptor, int idleSeconds, int intervalSeconds, int probes, int userTimeoutMs);
};
