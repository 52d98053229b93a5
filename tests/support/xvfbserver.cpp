#include "xvfbserver.h"

#include <QDeadlineTimer>

namespace {
constexpr int StartTimeoutMs = 30000;
constexpr int StopTimeoutMs = 5000;
}

XvfbServer::~XvfbServer()
{
    stop();
}

bool XvfbServer::start(Listen listen, const QString &screenSize)
{
    m_listen = listen;
    QStringList arguments{QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                          QStringLiteral("0"), screenSize};
    if (listen == Listen::Tcp)
        arguments << QStringLiteral("-listen") << QStringLiteral("tcp") << QStringLiteral("-nolisten")
                  << QStringLiteral("unix");
    else
        arguments << QStringLiteral("-nolisten") << QStringLiteral("tcp");

    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(QStringLiteral("Xvfb"), arguments);
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        m_errorText = QStringLiteral("Xvfb did not start: ") + m_process.errorString();
        return false;
    }

    // The number arrives on standard output only once the server listens.
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!m_process.canReadLine() && m_process.state() == QProcess::Running && !deadline.hasExpired())
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    bool ok = false;
    m_display = m_process.canReadLine() ? m_process.readLine().trimmed().toInt(&ok) : -1;
    if (!ok) {
        m_display = -1;
        m_errorText = QStringLiteral("Xvfb reported no display: ")
                      + QString::fromLocal8Bit(m_process.readAllStandardError().right(2000));
        stop();
        return false;
    }
    return true;
}

void XvfbServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // A terminated server removes its socket; a killed one would leave it behind.
    m_process.terminate();
    if (!m_process.waitForFinished(StopTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(StopTimeoutMs);
    }
}

QString XvfbServer::displayName() const
{
    const QString number = QString::number(m_display);
    return m_listen == Listen::Tcp ? QStringLiteral("127.0.0.1:") + number : QStringLiteral(":") + number;
}
