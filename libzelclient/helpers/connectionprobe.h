#pragma once

#include <QLocalSocket>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

// Finds out whether a server accepts connections now, without waiting for it: its local socket
// is tried first (when a path is given), then its TCP port (when a host is given), the host's
// name being looked up in the background. The answer comes within the time-out.
class ConnectionProbe : public QObject
{
    Q_OBJECT

public:
    explicit ConnectionProbe(QObject *parent = nullptr);

    // answered() follows once, never from inside this call.
    void start(const QString &localPath, const QString &host, quint16 port);
    void setTimeout(int ms) { m_timeoutMs = ms; }

signals:
    void answered(bool accepted);

private:
    void tryTcp();
    void answer(bool accepted);

    QString m_host;
    quint16 m_port = 0;
    int m_timeoutMs = 1000;
    bool m_answered = true;
    QLocalSocket m_local;
    QTcpSocket m_tcp;
    QTimer m_timer;
};
