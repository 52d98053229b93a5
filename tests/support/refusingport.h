#pragma once

#include <QtGlobal>

// A loopback TCP port that refuses every connection for as long as this object lives: a socket
// is bound to it and never listens, so no other program can take the port in the meantime.
class RefusingPort
{
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;

    // 0 when no port could be bound.
    quint16 port() const { return m_port; }

private:
    int m_socket = -1;
    quint16 m_port = 0;
};
