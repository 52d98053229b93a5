#include "linebuffer.h"

namespace {

bool isTerminator(char c)
{
    return c == '\n' || c == '\r';
}

} // namespace

void LineBuffer::add(const QByteArray &data)
{
    // What waits from earlier chunks holds no terminator: the search for the first one starts
    // in the new chunk, so that a long line arriving in small pieces is not scanned again and
    // again.
    const int scanned = m_buffer.size();
    m_buffer.append(data);

    const int len = m_buffer.size();
    const char *bytes = m_buffer.constData();
    int start = 0;
    int i = 0;

    while (start < len && i < len) {
        i = start == 0 ? scanned : start;
        while (i < len && !isTerminator(bytes[i]))
            ++i;
        if (i == len)
            break;

        m_lines.append(QString::fromUtf8(bytes + start, i - start));

        // A run of terminators, whatever the mix, ends one line. The run is only skipped
        // within one call, so a chunk that begins with a terminator yields an empty line.
        while (i < len && isTerminator(bytes[i]))
            ++i;
        start = i;
    }

    m_buffer.remove(0, start);
}

bool LineBuffer::hasLine() const
{
    return !m_lines.isEmpty();
}

QString LineBuffer::getLine()
{
    if (m_lines.isEmpty())
        return QString();
    return m_lines.takeFirst();
}

int LineBuffer::count() const
{
    return m_lines.size();
}

bool LineBuffer::hasPartialLine() const
{
    return !m_buffer.isEmpty();
}

QString LineBuffer::getPartialLine()
{
    const int zero = m_buffer.indexOf('\0');
    const int length = zero < 0 ? m_buffer.size() : zero;
    return QString::fromUtf8(m_buffer.constData(), length);
}
