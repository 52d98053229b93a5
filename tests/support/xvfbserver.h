#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A virtual X server for one test. The server picks its own free display number and reports it
// once it accepts clients, so two tests running side by side can never end up on one display.
class XvfbServer
{
public:
    enum class Listen { Tcp, UnixSocket };

    XvfbServer() = default;
    ~XvfbServer();
    XvfbServer(const XvfbServer &) = delete;
    XvfbServer &operator=(const XvfbServer &) = delete;

    // Starts the server and waits until it accepts clients; false with errorText() otherwise.
    bool start(Listen listen, const QString &screenSize = QStringLiteral("1024x768x24"));
    void stop();

    int display() const { return m_display; }
    // The name clients use: "127.0.0.1:N" for TCP, ":N" for the local socket.
    QString displayName() const;
    QString errorText() const { return m_errorText; }
    bool isRunning() const { return m_process.state() == QProcess::Running; }

private:
    QProcess m_process;
    Listen m_listen = Listen::Tcp;
    int m_display = -1;
    QString m_errorText;
};
