#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class QProcess;

// Drives real windows on an X display the way a user would, through xdotool: finds windows by
// title, types into them, and walks the client from its login window through the certificate
// question. Every wait is bounded and returns false instead of hanging the test.
class DesktopDriver
{
public:
    void setDisplay(const QString &displayName) { m_display = displayName; }
    QString display() const { return m_display; }

    // The environment of a program shown on this display (and on no other window system).
    QProcessEnvironment environment() const;
    // Runs a program on the display and returns its standard output.
    QString run(const QString &program, const QStringList &arguments) const;

    QString visibleWindow(const QString &titlePattern) const;
    // The program's visible windows, by their ids.
    QStringList visibleWindowsOf(qint64 pid) const;
    bool waitForWindow(const QString &titlePattern, int timeoutMs, QString *window = nullptr) const;
    bool waitUntilGone(const QString &titlePattern, int timeoutMs) const;
    bool pressKey(const QString &window, const QString &key) const;

    // Starts the client against a broker on this machine, with the demo user filled in.
    void startClient(QProcess *client, quint16 brokerPort) const;
    // Connect in the login window, then accept the broker's certificate; false with the reason.
    bool connectFromLoginWindow(QString *failure) const;

private:
    QString m_display;
};
