#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// One request head as the client writes it: a request line and header lines, each ending in a
// single LF, closed by an empty LF line. Fed line by line; anything else is malformed.
class BrokerRequest
{
public:
    struct Header
    {
        QByteArray name;
        QByteArray value;
    };

    enum class Progress { NeedMore, Complete, Malformed };

    static constexpr int MaxHeaders = 100;

    // line: one line with its terminator, as read from the socket.
    Progress addLine(const QByteArray &line);

    QString error() const { return m_error; }
    QByteArray requestLine() const { return m_requestLine; }
    QByteArray method() const { return m_method; }
    QByteArray path() const { return m_path; }
    bool hasQuery() const { return m_hasQuery; }
    QByteArray rawQuery() const { return m_rawQuery; }
    // Query items in the order sent, percent-decoded.
    QList<QPair<QString, QString>> queryItems() const { return m_queryItems; }
    QList<Header> headers() const { return m_headers; }

    // Control characters shown as \xNN, so that received bytes can be logged safely.
    static QString printable(const QByteArray &bytes);

private:
    Progress malformed(const QString &why);
    Progress parseRequestLine(const QByteArray &line);

    bool m_haveRequestLine = false;
    QString m_error;
    QByteArray m_requestLine;
    QByteArray m_method;
    QByteArray m_path;
    bool m_hasQuery = false;
    QByteArray m_rawQuery;
    QList<QPair<QString, QString>> m_queryItems;
    QList<Header> m_headers;
};
