#include "brokerresponse.h"

#include "testenvironment.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTcpSocket>

QByteArray BrokerResponse::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first == name)
            return h.second;
    }
    return QByteArray();
}

bool BrokerResponse::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first == name)
            return true;
    }
    return false;
}

bool BrokerResponse::read(QTcpSocket *socket, BrokerResponse *response, int timeoutMs)
{
    *response = BrokerResponse();
    QDeadlineTimer deadline(TestEnvironment::timeout(timeoutMs));
    auto waitForData = [&]() {
        QSignalSpy ready(socket, &QIODevice::readyRead);
        if (socket->state() != QAbstractSocket::ConnectedState && socket->bytesAvailable() == 0)
            return false;
        return ready.wait(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    };
    auto readLine = [&](QByteArray *line) {
        while (!socket->canReadLine()) {
            if (deadline.hasExpired() || !waitForData())
                return false;
        }
        *line = socket->readLine();
        return true;
    };

    QByteArray line;
    if (!readLine(&line))
        return false;
    if (!line.startsWith("HTTP/1.1 ") || !line.endsWith("\r\n")) {
        qWarning() << "bad status line" << line;
        return false;
    }
    const QList<QByteArray> parts = line.trimmed().split(' ');
    response->status = parts.value(1).toInt();
    response->reason = line.trimmed().mid(parts.value(0).size() + parts.value(1).size() + 2);
    forever {
        if (!readLine(&line))
            return false;
        if (line == "\r\n")
            break;
        const int colon = line.indexOf(": ");
        if (colon <= 0 || !line.endsWith("\r\n")) {
            qWarning() << "bad header line" << line;
            return false;
        }
        response->headers.append({line.left(colon), line.mid(colon + 2, line.size() - colon - 4)});
    }
    if (response->status == 101 || response->status == 102)
        return true;
    bool ok = false;
    const int length = response->header("Content-Length").toInt(&ok);
    if (!ok) {
        qWarning() << "response without Content-Length";
        return false;
    }
    while (response->body.size() < length) {
        if (socket->bytesAvailable() == 0 && (deadline.hasExpired() || !waitForData()))
            return false;
        response->body += socket->read(length - response->body.size());
    }
    return true;
}
