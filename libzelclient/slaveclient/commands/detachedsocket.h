#pragma once

#include <QByteArray>

class QTcpSocket;

// A slave connection taken out of Qt's hands: a descriptor of its own, while the QTcpSocket
// it came from is closed and reads nothing more. Whatever the peer sends from then on stays
// in the connection for whoever is given it next (a helper, the kernel).
class DetachedSocket
{
public:
    // Takes the connection of socket; descriptor() is negative when that failed, and the
    // socket is then left as it was.
    explicit DetachedSocket(QTcpSocket *socket);
    // Closes this copy; the connection stays open while another holds it.
    ~DetachedSocket();
    DetachedSocket(const DetachedSocket &) = delete;
    DetachedSocket &operator=(const DetachedSocket &) = delete;

    int descriptor() const { return m_descriptor; }
    // Sends all of bytes at once; false when the connection did not take them whole.
    bool send(const QByteArray &bytes);
    void close();

private:
    int m_descriptor = -1;
};
