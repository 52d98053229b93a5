#pragma once

class QTcpServer;

// Finds TCP ports on the loopback interface that are free at the moment of asking. A port
// returned here is not held: the caller binds it soon afterwards and must expect that another
// process may have taken it in between.
class PortAllocator
{
public:
    // A port chosen by the system; 0 when the loopback interface cannot be bound.
    static unsigned short findAvailablePort();

    // A port drawn from [min, max]. The draws come from a fixed-seed generator, so every call
    // tries the same sequence. 0 when the range is empty or every port in it is taken.
    static unsigned short findAvailablePort(unsigned short min, unsigned short max);

    // Makes server listen on 127.0.0.1 at a port of [min, max], drawn as above, and leaves it
    // listening. Returns the port, or 0 (server not listening) when no port could be bound.
    static unsigned short listenInRange(QTcpServer &server, unsigned short min, unsigned short max);
};
