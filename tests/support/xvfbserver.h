#pragma once

#include <QProcess>
#include <QString>

// A virtual X server for one test, on a display number the server chooses itself and reports
// once it accepts clients (-displayfd), so two tests running side by side never share one.
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
    // For a failed test: whether the server still runs, and what it said.
    QString state();

private:
    QProcess m_process;
    Listen m_listen = Listen::Tcp;
    int m_display = -1;
    QString m_errorText;
};
