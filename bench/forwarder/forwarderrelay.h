#pragma once

#include <QObject>
#include <QSslSocket>
#include <QTcpServer>

class SocketForwarder;

// The relay under test, set up as the client does it: first the TLS tunnel, then a loopback
// listener; the one local connection it accepts is pumped to the tunnel by a SocketForwarder.
// Prints "READY <port>" once it listens and quits when both connections have ended.
// Local first: the listener comes first, and the tunnel is opened only once the local client
// has sent something, so that the forwarder starts with bytes already waiting.
class ForwarderRelay : public QObject
{
    Q_OBJECT

public:
    ForwarderRelay(quint16 tunnelPort, bool localFirst, QObject *parent = nullptr);

    void start();

private:
    void tunnel_encrypted();
    void listener_newConnection();
    void connectionEnded();
    bool listen();
    void startForwarder();

    quint16 m_tunnelPort;
    bool m_localFirst;
    QSslSocket m_tunnel;
    QTcpServer m_listener;
    QTcpSocket *m_local = nullptr;
    SocketForwarder *m_forwarder = nullptr;
};
