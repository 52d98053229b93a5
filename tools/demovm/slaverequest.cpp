#include "slaverequest.h"

namespace {

QByteArray chopLineEnd(const QByteArray &line, bool *crlf)
{
    QByteArray text = line;
    if (text.endsWith('\n'))
        text.chop(1);
    *crlf = text.endsWith('\r');
    if (*crlf)
        text.chop(1);
    return text;
}

bool isToken(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == ':' || c == '"' || c == '(' || c == ')' || c == ','
            || c == '/' || c == ';' || c == '<' || c == '=' || c == '>' || c == '?' || c == '@'
            || c == '[' || c == '\\' || c == ']' || c == '{' || c == '}')
            return false;
    }
    return true;
}

} // namespace

QByteArray SlaveRequest::maskCredentials(const QByteArray &value)
{
    // Keep the blanks, the scheme and whether a credential was there at all; hide the rest.
    int start = 0;
    while (start < value.size() && (value.at(start) == ' ' || value.at(start) == '\t'))
        ++start;
    const QByteArray prefix = value.left(start);
    const QByteArray rest = value.mid(start);
    if (rest.trimmed().compare("Basic", Qt::CaseInsensitive) == 0)
        return value;
    if (rest.left(6).compare("Basic ", Qt::CaseInsensitive) == 0)
        return rest.size() == 6 ? value : prefix + rest.left(6) + "<hidden>";
    return rest.isEmpty() ? value : prefix + "<hidden>";
}

bool SlaveRequest::parse(const QList<QByteArray> &lines)
{
    *this = SlaveRequest();
    if (lines.isEmpty()) {
        m_error = QStringLiteral("empty request");
        return false;
    }

    int lf = 0;
    int crlf = 0;
    for (int i = 0; i < lines.size(); ++i) {
        bool cr = false;
        const QByteArray text = chopLineEnd(lines.at(i), &cr);
        cr ? ++crlf : ++lf;

        if (i == 0) {
            m_maskedHead += lines.at(i);
            const int first = text.indexOf(' ');
            const int last = text.lastIndexOf(' ');
            if (first <= 0 || last <= first + 1) {
                m_error = QStringLiteral("malformed request line");
                continue;
            }
            m_method = text.left(first);
            m_target = text.mid(first + 1, last - first - 1);
            m_version = text.mid(last + 1);
            if (!isToken(m_method))
                m_error = QStringLiteral("malformed method");
            else if (!m_version.startsWith("HTTP/1."))
                m_error = QStringLiteral("not an HTTP/1.x request");
            continue;
        }
        if (text.isEmpty()) {
            m_maskedHead += lines.at(i);
            break;
        }
        const int colon = text.indexOf(':');
        const QByteArray name = colon > 0 ? text.left(colon) : QByteArray();
        if (!isToken(name)) {
            // A line that is not a header may still hold a credential: only its shape is kept.
            m_maskedHead += (colon >= 0 ? text.left(colon) + ':' + maskCredentials(text.mid(colon + 1))
                                        : QByteArrayLiteral("<hidden>"))
                + (cr ? "\r\n" : "\n");
            if (m_error.isEmpty())
                m_error = QStringLiteral("malformed header line");
            continue;
        }
        const QByteArray value = text.mid(colon + 1).trimmed();
        m_headers.append({ name, value });
        if (name.compare("Authorization", Qt::CaseInsensitive) == 0)
            m_maskedHead += name + ':' + maskCredentials(text.mid(colon + 1)) + (cr ? "\r\n" : "\n");
        else
            m_maskedHead += lines.at(i);
    }
    m_lineEnd = crlf == 0 ? QStringLiteral("LF") : lf == 0 ? QStringLiteral("CRLF") : QStringLiteral("mixed");
    return m_error.isEmpty();
}

QList<QByteArray> SlaveRequest::values(const QByteArray &name) const
{
    QList<QByteArray> result;
    for (const Header &header : m_headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            result.append(header.second);
    }
    return result;
}
