#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

class QTcpSocket;

// One HTTP/1.1 exchange on a socket that is already connected (the broker session or a
// slave connection). The constructor writes the request; the response is parsed line by
// line so that nothing past the end of a 101 response is consumed: after a protocol switch
// the rest of the stream belongs to whoever the caller hands the socket to.
class ZELNetworkReply : public QNetworkReply
{
    Q_OBJECT

public:
    enum State {
        Idle = 0,
        AwaitingStatus = 1,
        ReadingHeaders = 2,
        ReadingBody = 3,
        Upgraded = 4,
        ErrorState = 5
    };
    Q_ENUM(State)

    ZELNetworkReply(QObject *parent, const QNetworkRequest &request,
                    const QNetworkAccessManager::Operation op, QIODevice *data, QTcpSocket &socket);
    ~ZELNetworkReply() override;

    bool isSequential() const override;
    void close() override;
    qint64 bytesAvailable() const override;
    void abort() override;

    State state() const { return m_state; }

    // The peer has closed the stream: what is buffered is parsed, then an answer that runs to
    // the end of the connection completes and any other unfinished one fails. Also called by
    // the socket's owner, who may learn of the end before the reply does.
    void streamEnded();

    // Bounds the wait for the answer: a response (each interim 102 starts the wait again) that
    // is not complete within ms fails with TimeoutError. 0, the default, waits without end.
    void setTimeout(int ms);

    // The longest body a response may carry; a longer one fails instead of filling memory.
    static constexpr qint64 MaxBodyLength = 16 * 1024 * 1024;

    // The request as it goes on the wire, and the same text with credentials masked for the log.
    static QByteArray serializeRequest(const QNetworkRequest &request, QNetworkAccessManager::Operation op);
    static QByteArray maskedForLog(const QByteArray &requestBytes);

signals:
    // An interim 102 response arrived; the reply keeps waiting for the final one.
    void processing();

public slots:
    void readyRead();

protected:
    qint64 readData(char *data, qint64 maxlen) override;
    qint64 writeData(const char *data, qint64 len) override;

private slots:
    void socket_readChannelFinished();
    void timer_timeout();

private:
    void parseStatusLine(const QByteArray &line);
    void parseHeaderLine(const QByteArray &line);
    // Returns false if the reply went away while its signal was being delivered.
    bool endOfHeaders();
    bool completeBody();
    // Ends the exchange with an error the caller can read (error(), errorString()).
    bool fail(NetworkError code, const QString &text);
    void restartTimer();
    bool lineTooLong() const;

    QPointer<QTcpSocket> m_socket;
    QByteArray m_buffer;
    qint64 m_buffer_pos = 0;
    State m_state = Idle;
    // Body length announced by the response, or -1 when the body runs until the peer closes.
    qint64 m_contentLength = -1;
    qint64 m_bodyReceived = 0;
    qint64 m_headerBytes = 0;
    QTimer m_timer;
    int m_timeoutMs = 0;
};
