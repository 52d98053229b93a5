#include "tunnelrelay.h"

#include <QTcpSocket>

TunnelRelay::TunnelRelay(QTcpSocket *client, QTcpSocket *endpoint, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_endpoint(endpoint)
{
}

void TunnelRelay::start()
{
    m_client->setReadBufferSize(ReadBufferSize);
    m_endpoint->setReadBufferSize(ReadBufferSize);
    for (QTcpSocket *socket : {m_client, m_endpoint}) {
        // NX traffic is many small messages that wait for answers: held back for a fuller
        // segment, each would wait for the peer's delayed acknowledgement.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, &TunnelRelay::pumpAll);
        connect(socket, &QTcpSocket::bytesWritten, this, &TunnelRelay::pumpAll);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
            if (socket == m_client)
                m_clientClosed = true;
            else
                m_endpointClosed = true;
            pumpAll();
        });
    }
    m_clientClosed = m_client->state() != QAbstractSocket::ConnectedState;
    m_endpointClosed = m_endpoint->state() != QAbstractSocket::ConnectedState;
    pumpAll();
}

void TunnelRelay::abort()
{
    m_client->abort();
    m_endpoint->abort();
    m_clientClosed = m_endpointClosed = true;
    checkDone();
}

void TunnelRelay::stall()
{
    m_stalled = true;
}

void TunnelRelay::pump(QTcpSocket *from, QTcpSocket *to, qint64 *counter)
{
    if (to->state() != QAbstractSocket::ConnectedState)
        return;
    while (from->bytesAvailable() > 0 && to->bytesToWrite() < MaxPending) {
        const QByteArray chunk = from->read(qMin<qint64>(from->bytesAvailable(), ReadBufferSize));
        if (chunk.isEmpty())
            break;
        to->write(chunk);
        *counter += chunk.size();
    }
}

void TunnelRelay::pumpAll()
{
    if (m_finished || m_stalled)
        return;
    pump(m_client, m_endpoint, &m_clientToEndpoint);
    pump(m_endpoint, m_client, &m_endpointToClient);

    // A side that has ended and whose last bytes have been handed on ends the other side too;
    // disconnectFromHost() still writes out what is pending.
    if (m_clientClosed && m_client->bytesAvailable() == 0
        && m_endpoint->state() == QAbstractSocket::ConnectedState)
        m_endpoint->disconnectFromHost();
    if (m_endpointClosed && m_endpoint->bytesAvailable() == 0
        && m_client->state() == QAbstractSocket::ConnectedState)
        m_client->disconnectFromHost();
    checkDone();
}

void TunnelRelay::checkDone()
{
    if (m_finished)
        return;
    if (m_client->state() == QAbstractSocket::UnconnectedState
        && m_endpoint->state() == QAbstractSocket::UnconnectedState) {
        m_finished = true;
        emit finished();
    }
}
