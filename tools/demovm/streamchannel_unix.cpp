#include "streamchannel.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

StreamChannel::StreamChannel(int readFd, int writeFd)
    : m_readFd(readFd)
    , m_writeFd(writeFd)
{
}

StreamChannel::Result StreamChannel::fill(QDeadlineTimer deadline)
{
    if (m_eof)
        return Closed;
    for (;;) {
        pollfd pfd { m_readFd, POLLIN, 0 };
        const qint64 remaining = deadline.remainingTime();
        const int timeout = remaining < 0 ? -1 : int(qMin<qint64>(remaining, 1 << 30));
        const int ready = ::poll(&pfd, 1, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Failed;
        }
        if (ready == 0)
            return Timeout;
        char chunk[16384];
        const ssize_t got = ::read(m_readFd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            if (errno == ECONNRESET) {
                m_eof = true;
                return Closed;
            }
            return Failed;
        }
        if (got == 0) {
            m_eof = true;
            return Closed;
        }
        m_buffer.append(chunk, int(got));
        return Ok;
    }
}

StreamChannel::Result StreamChannel::readLine(QByteArray *line, int maxLength, QDeadlineTimer deadline)
{
    for (;;) {
        const int end = m_buffer.indexOf('\n');
        if (end >= 0 && end < maxLength) {
            *line = m_buffer.left(end + 1);
            m_buffer.remove(0, end + 1);
            return Ok;
        }
        if (end >= maxLength || (end < 0 && m_buffer.size() >= maxLength))
            return TooLong;
        const Result result = fill(deadline);
        if (result != Ok)
            return result;
    }
}

StreamChannel::Result StreamChannel::readExact(QByteArray *data, int count, QDeadlineTimer deadline)
{
    while (m_buffer.size() < count) {
        const Result result = fill(deadline);
        if (result != Ok)
            return result;
    }
    *data = m_buffer.left(count);
    m_buffer.remove(0, count);
    return Ok;
}

bool StreamChannel::writeAll(const QByteArray &data)
{
    const char *p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(m_writeFd, p, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd pfd { m_writeFd, POLLOUT, 0 };
                ::poll(&pfd, 1, 1000);
                continue;
            }
            return false;
        }
        p += written;
        left -= written;
    }
    return true;
}

void StreamChannel::finish(QDeadlineTimer drainDeadline)
{
    // A socket keeps its reading side open after a shutdown; a pipe only ends by closing.
    if (::shutdown(m_writeFd, SHUT_WR) != 0)
        ::close(m_writeFd);
    m_buffer.clear();
    while (fill(drainDeadline) == Ok)
        m_buffer.clear();
}
