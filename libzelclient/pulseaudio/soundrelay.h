#pragma once

#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// The one way into the session's sound server from outside: a loopback listener on a port the
// system chooses, to which nxproxy delivers the VM's sound streams. It stays open for the
// session and admits any number of connections made by the session's own user (nxproxy's),
// relaying each to the server's private socket; another user's connection is closed at once.
// Until the server runs, connections are closed too (the VM's player tries again).
class SoundRelay : public QObject
{
    Q_OBJECT

public:
    explicit SoundRelay(QObject *parent = nullptr);

    // Listens on 127.0.0.1; false when it cannot.
    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    // The server's socket, once the server runs.
    void setServerSocket(const QString &path);
    QString serverSocket() const { return m_serverSocket; }

private:
    void accept();
    void relay(QTcpSocket *connection);

    QTcpServer m_server;
    QString m_serverSocket;
};
