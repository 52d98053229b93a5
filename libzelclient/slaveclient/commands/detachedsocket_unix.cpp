#include "detachedsocket.h"

#include <QTcpSocket>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

DetachedSocket::DetachedSocket(QTcpSocket *socket)
{
    if (!socket || socket->socketDescriptor() < 0)
        return;
    // The copy is closed on exec: a program started meanwhile does not get it by accident.
    m_descriptor = ::fcntl(int(socket->socketDescriptor()), F_DUPFD_CLOEXEC, 3);
    if (m_descriptor < 0)
        return;
    // Only Qt's copy goes; the connection itself stays open.
    socket->abort();
}

DetachedSocket::~DetachedSocket()
{
    close();
}

bool DetachedSocket::send(const QByteArray &bytes)
{
    // A few hundred bytes on a connection with nothing else queued go out in one call.
    return m_descriptor >= 0
        && ::send(m_descriptor, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

void DetachedSocket::close()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}
