#pragma once

#include <QByteArray>
#include <QDeadlineTimer>

// The service's one connection: a readable and a writable file descriptor, which nxagent
// sets up as standard input and output (usually both ends of one socket). Reads are
// buffered and wait at most until a deadline; nothing is read beyond what a caller asks
// for, so that after a protocol switch every later byte is still there for the next reader.
class StreamChannel
{
public:
    enum Result { Ok, Timeout, Closed, TooLong, Failed };

    StreamChannel(int readFd, int writeFd);

    // One line including its LF. TooLong when no LF comes within maxLength bytes.
    Result readLine(QByteArray *line, int maxLength, QDeadlineTimer deadline);
    // Exactly count bytes.
    Result readExact(QByteArray *data, int count, QDeadlineTimer deadline);
    bool writeAll(const QByteArray &data);

    // Ends the writing direction, so the peer sees the end of the stream, then reads and
    // drops what the peer still sends until it closes or the deadline passes. Closing a
    // socket with unread data would reset the connection and could lose the last answer.
    void finish(QDeadlineTimer drainDeadline);

    // Bytes read from the descriptor but not yet handed out.
    int buffered() const { return m_buffer.size(); }

private:
    Result fill(QDeadlineTimer deadline);

    int m_readFd;
    int m_writeFd;
    QByteArray m_buffer;
    bool m_eof = false;
};
