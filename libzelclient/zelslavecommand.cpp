#include "zelslavecommand.h"

#include "zelhttp.h"

#include <QDebug>
#include <QTcpSocket>
#include <QUrl>

ZELSlaveCommand::ZELSlaveCommand()
    : QObject(nullptr)
{
}

ZELSlaveCommand::~ZELSlaveCommand()
{
    delete m_http;
}

void ZELSlaveCommand::setConnection(QTcpSocket *socket, const QString &key)
{
    m_socket = socket;
    m_key = key;
    delete m_http;
    m_http = new ZELHTTP(socket, nullptr);
    m_http->setTimeout(m_requestTimeoutMs);
}

void ZELSlaveCommand::abandon(const QString &reason)
{
    qWarning().noquote() << "Slave command not run:" << reason;
    emit commandFailed();
}

QNetworkRequest ZELSlaveCommand::createRequest(const QUrl &url) const
{
    QByteArray key = m_key.toLocal8Bit();
    // The key is written into a header line as it is. A line end or other control character
    // in it would end the header early and let the rest pass as headers of its own, so such
    // characters are left out; the service then refuses the key instead of reading forged headers.
    QByteArray clean;
    clean.reserve(key.size());
    for (const char c : qAsConst(key)) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f)
            clean.append(c);
    }
    if (clean.size() != key.size()) {
        qWarning() << "The slave channel key contains control characters; they are left out of the request";
        key = clean;
    }

    QNetworkRequest request(url);
    request.setRawHeader("Authorization", QByteArrayLiteral("Basic ") + key);
    request.setRawHeader("User-Agent", QByteArrayLiteral("ZELClient Qt/0.01 (Linux)"));
    return request;
}

void ZELSlaveCommand::stop()
{
}

QObject *ZELSlaveCommand::takeRunningServer()
{
    return nullptr;
}

QDebug operator<<(QDebug debug, const ZELSlaveCommand &command)
{
    Q_UNUSED(command)
    QDebugStateSaver saver(debug);
    debug.nospace() << "ZELSlaveCommand";
    return debug;
}
