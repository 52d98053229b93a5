#pragma once

#include <QObject>
#include <QSslSocket>
#include <QTcpServer>

class SocketForwarder;

// The relay under test, set up as the client does it: first the TLS tunnel, then a loopback
// listener; the one local connection it accepts is pumped to the tunnel by a SocketForwarder.
// Prints "READY <port>" once it listens and quits when both connections have ended.
class ForwarderRelay : public QObject
{
    Q_OBJECT

public:
    ForwarderRelay(quint16 tunnelPort, QObject *parent = nullptr);

    void start();

private:
    void tunnel_encrypted();
    void listener_newConnection();
    void connectionEnded();

    quint16 m_tunnelPort;
    QSslSocket m_tunnel;
    QTcpServer m_listener;
    QTcpSocket *m_local = nullptr;
    SocketForwarder *m_forwarder = nullptr;
};
