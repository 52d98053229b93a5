#include "otherusersocket.h"

#include "testenvironment.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

OtherUserSocket::OtherUserSocket()
{
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this]() { m_log += m_process.readAllStandardError(); });
}

OtherUserSocket::~OtherUserSocket()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(TestEnvironment::timeout(5000));
    }
}

bool OtherUserSocket::start(const QStringList &arguments)
{
    const QStringList command =
        TestEnvironment::asOtherUser(TestEnvironment::program(QStringLiteral("socat")), QStringList{QStringLiteral("-d"), QStringLiteral("-d")} + arguments);
    if (command.isEmpty())
        return false;
    m_process.start(command.first(), command.mid(1));
    return m_process.waitForStarted(TestEnvironment::timeout(5000));
}

bool OtherUserSocket::listen(const QString &address, quint16 port)
{
    const bool v6 = address.contains(QLatin1Char(':'));
    const QString listener = QStringLiteral("%1:%2,bind=%3,fork,reuseaddr")
                                 .arg(v6 ? QStringLiteral("TCP6-LISTEN") : QStringLiteral("TCP4-LISTEN"))
                                 .arg(port)
                                 .arg(v6 ? QLatin1Char('[') + address + QLatin1Char(']') : address);
    if (!start({QStringLiteral("-u"), listener, QStringLiteral("STDOUT")}))
        return false;
    static const QRegularExpression listening(QStringLiteral("listening on AF=\\d+ \\S*:(\\d+)"));
    const QDeadlineTimer deadline(TestEnvironment::timeout(10000));
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        const QRegularExpressionMatch match = listening.match(QString::fromLocal8Bit(m_log));
        if (match.hasMatch()) {
            m_port = static_cast<quint16>(match.captured(1).toUInt());
            return true;
        }
        m_process.waitForReadyRead(TestEnvironment::timeout(100));
        m_log += m_process.readAllStandardError();
    }
    return false;
}

int OtherUserSocket::accepted() const
{
    return m_log.count("accepting connection from");
}

bool OtherUserSocket::connectTo(quint16 port, const QByteArray &data)
{
    // Standard input stays open: socat then reads the connection until the other end ends it.
    if (!start({QStringLiteral("STDIO"), QStringLiteral("TCP4:127.0.0.1:%1").arg(port)}))
        return false;
    m_process.write(data);
    return true;
}

QByteArray OtherUserSocket::received()
{
    m_received += m_process.readAllStandardOutput();
    return m_received;
}

QString OtherUserSocket::errorText() const
{
    return QStringLiteral("socat as another user: %1").arg(QString::fromLocal8Bit(m_log));
}
