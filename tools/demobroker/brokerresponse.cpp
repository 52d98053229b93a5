#include "brokerresponse.h"

QByteArray BrokerResponse::reasonPhrase(int status)
{
    switch (status) {
    case 100: return QByteArrayLiteral("Continue");
    case 101: return QByteArrayLiteral("Switching Protocols");
    case 102: return QByteArrayLiteral("Processing");
    case 200: return QByteArrayLiteral("OK");
    case 201: return QByteArrayLiteral("Created");
    case 202: return QByteArrayLiteral("Accepted");
    case 204: return QByteArrayLiteral("No Content");
    case 301: return QByteArrayLiteral("Moved Permanently");
    case 302: return QByteArrayLiteral("Found");
    case 304: return QByteArrayLiteral("Not Modified");
    case 400: return QByteArrayLiteral("Bad Request");
    case 401: return QByteArrayLiteral("Unauthorized");
    case 403: return QByteArrayLiteral("Forbidden");
    case 404: return QByteArrayLiteral("Not Found");
    case 405: return QByteArrayLiteral("Method Not Allowed");
    case 409: return QByteArrayLiteral("Conflict");
    case 418: return QByteArrayLiteral("I'm a teapot");
    case 500: return QByteArrayLiteral("Internal Server Error");
    case 501: return QByteArrayLiteral("Not Implemented");
    case 502: return QByteArrayLiteral("Bad Gateway");
    case 503: return QByteArrayLiteral("Service Unavailable");
    case 504: return QByteArrayLiteral("Gateway Timeout");
    default: return QByteArrayLiteral("Unknown");
    }
}

QByteArray BrokerResponse::build(int status, const QByteArray &reason, const Headers &headers, const QByteArray &body)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' '
        + (reason.isEmpty() ? reasonPhrase(status) : reason) + "\r\n";
    for (const auto &header : headers)
        out += header.first + ": " + header.second + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    out += body;
    return out;
}

QByteArray BrokerResponse::text(int status, const QByteArray &message, const Headers &extraHeaders)
{
    Headers headers{{"Content-Type", "text/plain; charset=utf-8"}};
    headers += extraHeaders;
    return build(status, QByteArray(), headers, message + '\n');
}

QByteArray BrokerResponse::json(int status, const QByteArray &body)
{
    return build(status, QByteArray(), {{"Content-Type", "application/json"}}, body);
}

QByteArray BrokerResponse::processing()
{
    return QByteArrayLiteral("HTTP/1.1 102 Processing\r\n\r\n");
}

QByteArray BrokerResponse::switching(const QByteArray &slaveKey)
{
    QByteArray out = "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: ZEL/1.0\r\n";
    if (!slaveKey.isEmpty())
        out += "X-ZEL-Slave-Key: " + slaveKey + "\r\n";
    out += "\r\n";
    return out;
}
