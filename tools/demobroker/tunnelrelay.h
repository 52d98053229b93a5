#pragma once

#include <QObject>

class QTcpSocket;

// Relays the upgraded client connection and the VM's display connection to each other, byte
// for byte. A side is read only while the other side has less than a few MiB waiting to be
// written, so a slow reader on either side cannot make the broker's memory grow without bound.
// When one side ends, what it sent is delivered before the other side is closed. Small writes
// go out at once on both sides.
class TunnelRelay : public QObject
{
    Q_OBJECT

public:
    // Both sockets are connected; neither is owned. Bytes already waiting in either are relayed.
    TunnelRelay(QTcpSocket *client, QTcpSocket *endpoint, QObject *parent = nullptr);

    void start();
    // Drops both connections at once.
    void abort();
    // Forwards nothing any more, in either direction, and closes nothing: what a network that
    // stops carrying packets looks like to both ends.
    void stall();

    qint64 clientToEndpoint() const { return m_clientToEndpoint; }
    qint64 endpointToClient() const { return m_endpointToClient; }

    static constexpr qint64 MaxPending = 4 * 1024 * 1024;
    static constexpr qint64 ReadBufferSize = 256 * 1024;

signals:
    void finished();

private:
    void pump(QTcpSocket *from, QTcpSocket *to, qint64 *counter);
    void pumpAll();
    void checkDone();

    QTcpSocket *m_client;
    QTcpSocket *m_endpoint;
    qint64 m_clientToEndpoint = 0;
    qint64 m_endpointToClient = 0;
    bool m_clientClosed = false;    // no more bytes will come from the client
    bool m_endpointClosed = false;  // no more bytes will come from the endpoint
    bool m_finished = false;
    bool m_stalled = false;
};
