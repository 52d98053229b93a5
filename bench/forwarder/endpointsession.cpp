#include "endpointsession.h"

#include "benchprotocol.h"

#include <QSslSocket>

EndpointSession::EndpointSession(QSslSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_socket, &QIODevice::readyRead, this, &EndpointSession::socket_readyRead);
    connect(m_socket, &QIODevice::bytesWritten, this, &EndpointSession::socket_bytesWritten);
    connect(m_socket, &QSslSocket::encryptedBytesWritten, this, &EndpointSession::socket_bytesWritten);
    connect(m_socket, &QAbstractSocket::disconnected, this, [this]() {
        m_slowTimer.stop();
        m_socket->deleteLater();
        deleteLater();
    });
    connect(&m_slowTimer, &QTimer::timeout, this, &EndpointSession::slowTick);
}

void EndpointSession::socket_readyRead()
{
    if (m_command == 0) {
        m_header += m_socket->read(BenchProtocol::HeaderSize - m_header.size());
        if (m_header.size() < BenchProtocol::HeaderSize)
            return;
        m_command = m_header.at(0);
        m_count = BenchProtocol::decodeCount(m_header.constData());
        switch (m_command) {
        case BenchProtocol::SlowUpload:
            m_socket->setReadBufferSize(BenchProtocol::SlowBytesPerTick);
            m_slowTimer.start(BenchProtocol::SlowTickMs);
            return;
        case BenchProtocol::Download:
            m_pattern = QByteArray(256 * 1024, 'z');
            fillDownload();
            return;
        default:
            break;
        }
    }

    switch (m_command) {
    case BenchProtocol::Upload:
        consume(m_socket->bytesAvailable());
        break;
    case BenchProtocol::PingPong: {
        const QByteArray data = m_socket->readAll();
        m_socket->write(data);
        m_socket->flush();
        m_done += data.size();
        if (m_done >= m_count)
            m_socket->disconnectFromHost();
        break;
    }
    default:
        break;
    }
}

void EndpointSession::socket_bytesWritten()
{
    if (m_command == BenchProtocol::Download)
        fillDownload();
}

void EndpointSession::slowTick()
{
    consume(BenchProtocol::SlowBytesPerTick);
}

void EndpointSession::consume(qint64 maximum)
{
    if (m_done >= m_count)
        return;
    m_done += m_socket->read(qMin(maximum, m_count - m_done)).size();
    if (m_done >= m_count) {
        m_slowTimer.stop();
        m_socket->write(&BenchProtocol::Done, 1);
        m_socket->disconnectFromHost();
    }
}

void EndpointSession::fillDownload()
{
    while (m_done < m_count
           && m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() < 1024 * 1024) {
        const qint64 size = qMin<qint64>(m_pattern.size(), m_count - m_done);
        if (size == m_pattern.size())
            m_socket->write(m_pattern);
        else
            m_socket->write(m_pattern.constData(), size);
        m_done += size;
        if (m_done >= m_count)
            m_socket->disconnectFromHost();
    }
}
