#pragma once

#include <QByteArray>
#include <QTcpSocket>

// A connected TCP socket whose incoming bytes come from memory, so that code written against
// a socket can be fed input without a network. What is written to it is dropped.
class MemorySocket : public QTcpSocket
{
    Q_OBJECT

public:
    MemorySocket();

    // Appends bytes and announces them as a real socket would.
    void deliver(const QByteArray &data);
    // The peer closed: no more bytes will come.
    void endInput();

    qint64 bytesAvailable() const override;
    bool canReadLine() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 readLineData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    QByteArray m_input;
    qint64 m_position = 0;
};
