#pragma once

#include <QObject>

class QIODevice;
class QNetworkReply;
class QNetworkRequest;
class QTcpSocket;
class ZELNetworkReply;

// A minimal HTTP/1.1 client bound to one already-connected socket. Each operation writes
// its request at once and returns the reply that parses the answer; requests on one socket
// go one at a time. Replies are children of this object.
class ZELHTTP : public QObject
{
    Q_OBJECT

public:
    ZELHTTP(QTcpSocket *socket, QObject *parent);

    ZELNetworkReply *head(const QNetworkRequest &request);
    ZELNetworkReply *get(const QNetworkRequest &request);
    ZELNetworkReply *put(const QNetworkRequest &request, QIODevice *data);
    ZELNetworkReply *post(const QNetworkRequest &request, QIODevice *data);

    QTcpSocket *socket() const { return m_socket; }

    // Every later reply fails with a time-out when its answer is not complete within ms
    // (0: no bound).
    void setTimeout(int ms) { m_timeoutMs = ms; }
    int timeout() const { return m_timeoutMs; }

signals:
    void finished(QNetworkReply *reply);

private slots:
    void network_reply_finished();

private:
    ZELNetworkReply *createReply(const QNetworkRequest &request, int operation, QIODevice *data);

    QTcpSocket *m_socket;
    int m_timeoutMs = 0;
};
