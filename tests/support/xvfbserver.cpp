#include "xvfbserver.h"

#include "programrun.h"
#include "testenvironment.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QTcpSocket>

namespace {
constexpr int StartTimeoutMs = 30000;
constexpr int Attempts = 5;
}

XvfbServer::~XvfbServer()
{
    stop();
}

bool XvfbServer::start(Listen listen, const QString &screenSize)
{
    m_listen = listen;
    int from = 20;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        const int display = TestEnvironment::freeDisplay(from);
        if (display < 0) {
            m_errorText = QStringLiteral("no free display");
            return false;
        }
        if (startOn(display, screenSize)) {
            m_display = display;
            return true;
        }
        from = display + 1;
    }
    return false;
}

// Our server is ready once the display's lock names it and it answers; a server that lost
// the display to another one ends by itself instead.
bool XvfbServer::startOn(int display, const QString &screenSize)
{
    // Without -noreset the server resets whenever its last client leaves, the readiness probe
    // below included, and a client connecting during the reset is turned away.
    QStringList arguments{QStringLiteral(":%1").arg(display), QStringLiteral("-noreset"), QStringLiteral("-screen"),
                          QStringLiteral("0"), screenSize};
    if (m_listen == Listen::Tcp)
        arguments << QStringLiteral("-listen") << QStringLiteral("tcp") << QStringLiteral("-nolisten")
                  << QStringLiteral("unix");
    else
        arguments << QStringLiteral("-nolisten") << QStringLiteral("tcp");

    m_process.start(QStringLiteral("Xvfb"), arguments);
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        m_errorText = QStringLiteral("Xvfb did not start: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (ownsLock(display) && accepts(display))
            return true;
        // Returns at once when the server ends, else paces the checks.
        if (m_process.waitForFinished(50)) {
            m_errorText = QStringLiteral("Xvfb on :%1 ended: %2")
                              .arg(display)
                              .arg(QString::fromLocal8Bit(m_process.readAllStandardError().right(1000)));
            return false;
        }
    }
    m_errorText = QStringLiteral("Xvfb on :%1 did not accept clients in time").arg(display);
    stop();
    return false;
}

bool XvfbServer::ownsLock(int display) const
{
    return TestEnvironment::displayLockOwner(display) == m_process.processId();
}

bool XvfbServer::accepts(int display) const
{
    if (m_listen == Listen::Tcp) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(6000 + display));
        return probe.waitForConnected(500);
    }
    QLocalSocket probe;
    probe.connectToServer(QStringLiteral("/tmp/.X11-unix/X%1").arg(display));
    return probe.waitForConnected(500);
}

void XvfbServer::stop()
{
    // A terminated server removes its socket and lock; a killed one would leave them behind.
    ProcessGuard::end(m_process);
}

QString XvfbServer::state()
{
    const QString said = QString::fromLocal8Bit(m_process.readAllStandardError().right(2000));
    if (m_process.state() == QProcess::Running)
        return QStringLiteral("X server %1 runs; it said: %2").arg(displayName(), said);
    return QStringLiteral("X server %1 ended with %2; it said: %3").arg(displayName()).arg(m_process.exitCode()).arg(said);
}

QString XvfbServer::displayName() const
{
    const QString number = QString::number(m_display);
    return m_listen == Listen::Tcp ? QStringLiteral("127.0.0.1:") + number : QStringLiteral(":") + number;
}
