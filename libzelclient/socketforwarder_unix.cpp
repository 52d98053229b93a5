#include "socketforwarder.h"

#include <cerrno>

#include <sys/socket.h>

qint64 SocketForwarder::sendToDescriptor(qintptr descriptor, const char *data, qint64 size)
{
    for (;;) {
        // MSG_NOSIGNAL: a reader that went away is an error of the socket, not a SIGPIPE.
        const ssize_t sent = ::send(int(descriptor), data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0)
            return sent;
        if (errno != EINTR)
            return 0; // a full socket or an error: the socket's own write deals with both
    }
}
