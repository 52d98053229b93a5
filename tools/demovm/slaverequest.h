#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// The head of one request on the slave channel, as the client wrote it. The target is
// taken as everything between the method and the protocol version, so a shared folder's
// path keeps its blanks; nothing is percent-decoded.
class SlaveRequest
{
public:
    using Header = QPair<QByteArray, QByteArray>;

    // Parses a request head: its lines, each with its line end, up to and including the
    // empty line. Returns false (and sets error()) when it is not an HTTP/1.x request.
    bool parse(const QList<QByteArray> &lines);

    QByteArray method() const { return m_method; }
    QByteArray target() const { return m_target; }
    QByteArray version() const { return m_version; }
    // Headers in the order they came, names as written, values without surrounding blanks.
    const QList<Header> &headers() const { return m_headers; }
    // Every value of the header name (compared without regard to case).
    QList<QByteArray> values(const QByteArray &name) const;
    // "LF", "CRLF" or "mixed".
    QString lineEnd() const { return m_lineEnd; }
    QString error() const { return m_error; }

    // The head as received, with the value of every Authorization header replaced by a
    // placeholder: reports and logs must not carry the slave key.
    QByteArray maskedHead() const { return m_maskedHead; }
    static QByteArray maskCredentials(const QByteArray &value);

private:
    QByteArray m_method;
    QByteArray m_target;
    QByteArray m_version;
    QList<Header> m_headers;
    QString m_lineEnd;
    QString m_error;
    QByteArray m_maskedHead;
};
