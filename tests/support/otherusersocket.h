#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// Another local user's end of a loopback TCP connection, played by socat run as "nobody"
// (TestEnvironment::asOtherUser; the test must run as root): a listener that keeps what reaches
// it, or a connection that sends a few bytes and keeps reading until the other end closes it.
class OtherUserSocket
{
public:
    OtherUserSocket();
    ~OtherUserSocket();
    OtherUserSocket(const OtherUserSocket &) = delete;
    OtherUserSocket &operator=(const OtherUserSocket &) = delete;

    // Listens on address ("127.0.0.1" or "::1") at port, or at one socat chooses when port is 0,
    // and returns once it listens; false (errorText()) when it does not.
    bool listen(const QString &address, quint16 port = 0);
    quint16 port() const { return m_port; }
    // Connections the listener accepted so far.
    int accepted() const;

    // Connects to 127.0.0.1 at port and sends data; false when socat cannot be started.
    bool connectTo(quint16 port, const QByteArray &data);
    // The connection has ended: it was refused, or the other end closed it.
    bool ended() const { return m_process.state() == QProcess::NotRunning; }
    bool refused() const { return m_log.contains("Connection refused"); }

    // What reached this end so far.
    QByteArray received();
    QString errorText() const;

private:
    bool start(const QStringList &arguments);

    QProcess m_process;
    QByteArray m_log;
    QByteArray m_received;
    quint16 m_port = 0;
};
