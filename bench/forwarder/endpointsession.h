#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QSslSocket;

// One connection to the benchmark's TLS endpoint: reads the command header, then sinks,
// sources or echoes bytes as asked.
class EndpointSession : public QObject
{
    Q_OBJECT

public:
    EndpointSession(QSslSocket *socket, QObject *parent);

private:
    void socket_readyRead();
    void socket_bytesWritten();
    void slowTick();
    void consume(qint64 maximum);
    void fillDownload();

    QSslSocket *m_socket;
    QByteArray m_header;
    char m_command = 0;
    qint64 m_count = 0;
    qint64 m_done = 0;
    QByteArray m_pattern;
    QTimer m_slowTimer;
};
