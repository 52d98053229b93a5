#include "detachedsocket.h"

// Only the Linux kernel takes a connection from the client; on Windows none is detached.
DetachedSocket::DetachedSocket(QTcpSocket *)
{
}

DetachedSocket::~DetachedSocket() = default;

bool DetachedSocket::send(const QByteArray &)
{
    return false;
}

void DetachedSocket::close()
{
}
