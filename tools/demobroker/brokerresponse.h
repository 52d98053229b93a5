#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// Response bytes in the form the client parses: a status line, header lines of name, ": " and
// value, a CR LF line, and a body whose length is always announced.
class BrokerResponse
{
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    static QByteArray reasonPhrase(int status);

    // Content-Length is added by this function, also for an empty body.
    static QByteArray build(int status, const QByteArray &reason, const Headers &headers, const QByteArray &body);
    static QByteArray text(int status, const QByteArray &message, const Headers &extraHeaders = Headers());
    static QByteArray json(int status, const QByteArray &body);
    // Interim answer while the VM starts: no headers, no body.
    static QByteArray processing();
    // The switch to the tunnel; the slave key header only when a key is given.
    static QByteArray switching(const QByteArray &slaveKey);
};
