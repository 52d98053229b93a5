#include "zelhttp.h"

#include "zelnetworkreply.h"

#include <QNetworkAccessManager>
#include <QTcpSocket>

ZELHTTP::ZELHTTP(QTcpSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
{
}

ZELNetworkReply *ZELHTTP::head(const QNetworkRequest &request)
{
    return createReply(request, QNetworkAccessManager::HeadOperation, nullptr);
}

ZELNetworkReply *ZELHTTP::get(const QNetworkRequest &request)
{
    return createReply(request, QNetworkAccessManager::GetOperation, nullptr);
}

ZELNetworkReply *ZELHTTP::put(const QNetworkRequest &request, QIODevice *data)
{
    return createReply(request, QNetworkAccessManager::PutOperation, data);
}

ZELNetworkReply *ZELHTTP::post(const QNetworkRequest &request, QIODevice *data)
{
    return createReply(request, QNetworkAccessManager::PostOperation, data);
}

ZELNetworkReply *ZELHTTP::createReply(const QNetworkRequest &request, int operation, QIODevice *data)
{
    auto *reply = new ZELNetworkReply(this, request,
                                      static_cast<QNetworkAccessManager::Operation>(operation),
                                      data, *m_socket);
    connect(reply, &QNetworkReply::finished, this, &ZELHTTP::network_reply_finished);
    reply->setTimeout(m_timeoutMs);
    return reply;
}

void ZELHTTP::network_reply_finished()
{
    if (auto *reply = qobject_cast<QNetworkReply *>(sender()))
        emit finished(reply);
}
