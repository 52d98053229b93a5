#pragma once

#include <QNetworkRequest>
#include <QObject>
#include <QString>

class QDebug;
class QTcpSocket;
class QUrl;
class ZELHTTP;

// Base of the commands that run on one connection to the VM's slave service. The slave
// client gives the command its connection and the slave key right before it starts it; the
// command then talks HTTP through m_http (and, after a protocol switch, owns the byte stream
// of m_socket) and reports its outcome through exactly one of the two signals.
class ZELSlaveCommand : public QObject
{
    Q_OBJECT

public:
    ZELSlaveCommand();
    ~ZELSlaveCommand() override;

    // Binds the command to its slave connection. The socket stays owned by the caller.
    void setConnection(QTcpSocket *socket, const QString &key);

    // The longest the VM's slave service may take to answer the command's request; a request
    // not answered by then fails the command. 0 waits without end.
    static constexpr int DefaultRequestTimeoutMs = 30000;
    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }
    int requestTimeout() const { return m_requestTimeoutMs; }

    // The slave connection could not be made: the command fails with the reason (for the user)
    // without having run.
    virtual void abandon(const QString &reason);

    // A request for url that authenticates with the slave key. Commands add their own
    // headers after these two.
    QNetworkRequest createRequest(const QUrl &url) const;

public slots:
    // Starts the command's work; called once, when the connection is up.
    virtual void run() = 0;
    // Ends whatever the command keeps running. After this the command must not touch
    // m_socket or m_http again: the connection is about to go away.
    virtual void stop();

public:
    // Hands over what the command left running for the rest of the session (such as a server
    // serving the VM). The caller owns it from then on, and ending it ends that service; the
    // command's stop() no longer touches it. Null when there is nothing.
    virtual QObject *takeRunningServer();

signals:
    void commandSuccessful();
    void commandFailed();

protected:
    ZELHTTP *m_http = nullptr;
    QTcpSocket *m_socket = nullptr;
    QString m_key;
    int m_requestTimeoutMs = DefaultRequestTimeoutMs;
};

QDebug operator<<(QDebug debug, const ZELSlaveCommand &command);
