#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

class QTcpSocket;

// One answer of the demo broker as it comes over the wire, read by tests that speak to the
// broker directly.
class BrokerResponse
{
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    int status = 0;
    QByteArray reason;
    Headers headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;

    // Reads one answer: the status line and header lines must end in CR LF, and a final answer
    // (not 101 or 102) carries a Content-Length. False, with a warning for a malformed answer,
    // when no whole answer arrives within timeoutMs.
    static bool read(QTcpSocket *socket, BrokerResponse *response, int timeoutMs);
};
