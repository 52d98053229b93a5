#include "xvfbserver.h"

#include "programrun.h"
#include "testenvironment.h"

#include <QDeadlineTimer>

namespace {
constexpr int StartTimeoutMs = 30000;
}

XvfbServer::~XvfbServer()
{
    stop();
}

bool XvfbServer::start(Listen listen, const QString &screenSize)
{
    m_listen = listen;
    // The server writes its display number to standard output once it accepts clients.
    // Without -noreset it would reset whenever its last client leaves, and a client connecting
    // during the reset would be turned away.
    QStringList arguments{QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                          QStringLiteral("-screen"), QStringLiteral("0"), screenSize};
    if (m_listen == Listen::Tcp)
        arguments << QStringLiteral("-listen") << QStringLiteral("tcp") << QStringLiteral("-nolisten")
                  << QStringLiteral("unix");
    else
        arguments << QStringLiteral("-nolisten") << QStringLiteral("tcp");

    m_process.start(QStringLiteral("Xvfb"), arguments);
    if (!m_process.waitForStarted(TestEnvironment::timeout(StartTimeoutMs))) {
        m_errorText = QStringLiteral("Xvfb did not start: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(TestEnvironment::timeout(StartTimeoutMs));
    while (!m_process.canReadLine() && m_process.state() == QProcess::Running && !deadline.hasExpired())
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    bool ok = false;
    const int display = m_process.canReadLine() ? m_process.readLine().trimmed().toInt(&ok) : -1;
    if (!ok) {
        m_errorText = QStringLiteral("Xvfb reported no display: ") + state();
        stop();
        return false;
    }
    m_display = display;
    return true;
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
