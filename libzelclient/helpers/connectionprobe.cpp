#include "connectionprobe.h"

#include <QDebug>
#include <QNetworkProxy>

ConnectionProbe::ConnectionProbe(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        qInfo().noquote().nospace() << "No answer from " << (m_host.isEmpty() ? m_local.serverName() : m_host)
                                    << " within " << m_timeoutMs << " ms";
        answer(false);
    });
    connect(&m_local, &QLocalSocket::connected, this, [this] { answer(true); });
    // The local socket may report from inside its own connect call.
    connect(&m_local, &QLocalSocket::errorOccurred, this,
            [this] { QMetaObject::invokeMethod(this, &ConnectionProbe::tryTcp, Qt::QueuedConnection); });
    connect(&m_tcp, &QTcpSocket::connected, this, [this] { answer(true); });
    connect(&m_tcp, &QAbstractSocket::errorOccurred, this, [this] { answer(false); });
    m_tcp.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}

void ConnectionProbe::start(const QString &localPath, const QString &host, quint16 port)
{
    m_host = host;
    m_port = port;
    m_answered = false;
    m_timer.start(m_timeoutMs);
    if (localPath.isEmpty()) {
        QMetaObject::invokeMethod(this, &ConnectionProbe::tryTcp, Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(this, [this, localPath] { m_local.connectToServer(localPath); }, Qt::QueuedConnection);
}

void ConnectionProbe::tryTcp()
{
    if (m_answered || m_tcp.state() != QAbstractSocket::UnconnectedState)
        return;
    if (m_host.isEmpty()) {
        answer(false);
        return;
    }
    m_tcp.connectToHost(m_host, m_port);
}

void ConnectionProbe::answer(bool accepted)
{
    if (m_answered)
        return;
    m_answered = true;
    m_timer.stop();
    m_local.abort();
    m_tcp.abort();
    emit answered(accepted);
}
