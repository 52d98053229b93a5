#include "memorysocket.h"

#include <cstring>

MemorySocket::MemorySocket()
{
    setSocketState(QAbstractSocket::ConnectedState);
    // Unbuffered: every read comes straight to readData()/readLineData() below.
    setOpenMode(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void MemorySocket::deliver(const QByteArray &data)
{
    m_input += data;
    emit readyRead();
}

void MemorySocket::endInput()
{
    setSocketState(QAbstractSocket::UnconnectedState);
    emit readChannelFinished();
    emit disconnected();
}

qint64 MemorySocket::bytesAvailable() const
{
    return m_input.size() - m_position;
}

bool MemorySocket::canReadLine() const
{
    return m_input.indexOf('\n', int(m_position)) >= 0;
}

qint64 MemorySocket::readData(char *data, qint64 maxSize)
{
    const qint64 size = qMin(maxSize, bytesAvailable());
    std::memcpy(data, m_input.constData() + m_position, size_t(size));
    m_position += size;
    return size;
}

qint64 MemorySocket::readLineData(char *data, qint64 maxSize)
{
    const int end = m_input.indexOf('\n', int(m_position));
    const qint64 lineSize = end < 0 ? bytesAvailable() : end + 1 - m_position;
    return readData(data, qMin(maxSize, lineSize));
}

qint64 MemorySocket::writeData(const char *, qint64 size)
{
    return size;
}
