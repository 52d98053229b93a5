#include "brokerrequest.h"

#include <QUrl>

namespace {

bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArray("!#$%&'*+-.^_`|~").contains(c);
}

bool hasControlCharacter(const QByteArray &bytes)
{
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return true;
    }
    return false;
}

} // namespace

QString BrokerRequest::printable(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size());
    const QString text = QString::fromUtf8(bytes);
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('\\'))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

BrokerRequest::Progress BrokerRequest::malformed(const QString &why)
{
    m_error = why;
    return Progress::Malformed;
}

BrokerRequest::Progress BrokerRequest::addLine(const QByteArray &rawLine)
{
    if (!rawLine.endsWith('\n'))
        return malformed(QStringLiteral("line is not ended by LF"));
    QByteArray line = rawLine.left(rawLine.size() - 1);
    if (line.endsWith('\r'))
        return malformed(QStringLiteral("line ends with CR LF; lines end with a single LF"));
    if (hasControlCharacter(line))
        return malformed(QStringLiteral("line holds a control character"));

    if (!m_haveRequestLine) {
        m_haveRequestLine = true;
        m_requestLine = line;
        return parseRequestLine(line);
    }

    if (line.isEmpty())
        return Progress::Complete;

    const int separator = line.indexOf(": ");
    if (separator <= 0)
        return malformed(QStringLiteral("header line is not name, \": \" and value"));
    Header header;
    header.name = line.left(separator);
    header.value = line.mid(separator + 2);
    for (const char c : header.name) {
        if (!isTokenChar(c))
            return malformed(QStringLiteral("header name \"%1\" holds a character that a name cannot have")
                                 .arg(printable(header.name)));
    }
    for (const Header &earlier : qAsConst(m_headers)) {
        if (earlier.name.compare(header.name, Qt::CaseInsensitive) == 0)
            return malformed(QStringLiteral("header \"%1\" is sent twice").arg(printable(header.name)));
    }
    if (m_headers.size() >= MaxHeaders)
        return malformed(QStringLiteral("more than %1 header lines").arg(MaxHeaders));
    m_headers.append(header);
    return Progress::NeedMore;
}

BrokerRequest::Progress BrokerRequest::parseRequestLine(const QByteArray &line)
{
    // The target may hold plain blanks (query values are written pretty-decoded), so the method
    // ends at the first blank and the version starts after the last one.
    const int first = line.indexOf(' ');
    const int last = line.lastIndexOf(' ');
    if (first <= 0 || last <= first + 1)
        return malformed(QStringLiteral("request line is not method, target and version"));
    m_method = line.left(first);
    for (const char c : m_method) {
        if (c < 'A' || c > 'Z')
            return malformed(QStringLiteral("method \"%1\" is not an upper-case word").arg(printable(m_method)));
    }
    const QByteArray version = line.mid(last + 1);
    if (version != "HTTP/1.1")
        return malformed(QStringLiteral("version \"%1\" is not HTTP/1.1").arg(printable(version)));
    const QByteArray target = line.mid(first + 1, last - first - 1);
    if (!target.startsWith('/'))
        return malformed(QStringLiteral("target \"%1\" does not start with /").arg(printable(target)));
    if (target.contains('#'))
        return malformed(QStringLiteral("target holds a fragment"));

    const int question = target.indexOf('?');
    m_path = question < 0 ? target : target.left(question);
    if (m_path.contains(' '))
        return malformed(QStringLiteral("path holds a blank"));
    m_hasQuery = question >= 0;
    if (m_hasQuery) {
        m_rawQuery = target.mid(question + 1);
        if (m_rawQuery.isEmpty())
            return malformed(QStringLiteral("empty query after \"?\""));
        for (const QByteArray &item : m_rawQuery.split('&')) {
            const int equals = item.indexOf('=');
            if (equals <= 0)
                return malformed(QStringLiteral("query item \"%1\" is not key=value").arg(printable(item)));
            m_queryItems.append(qMakePair(QUrl::fromPercentEncoding(item.left(equals)),
                                          QUrl::fromPercentEncoding(item.mid(equals + 1))));
        }
    }
    return Progress::NeedMore;
}
