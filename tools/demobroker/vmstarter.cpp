#include "vmstarter.h"

#include <QDebug>
#include <QTimer>

VmStarter::VmStarter(QObject *parent)
    : QObject(parent)
{
}

VmStarter::~VmStarter() = default;

void VmStarter::start(const BrokerConfig::Vm &vm, const QByteArray &slaveKey)
{
    Q_UNUSED(slaveKey)
    m_pending = true;
    const QString host = vm.host;
    const quint16 port = vm.port;
    const int id = vm.id;
    QTimer::singleShot(0, this, [this, host, port, id]() {
        if (!m_pending)
            return;
        m_pending = false;
        if (host.isEmpty()) {
            emit failed(QStringLiteral("VM %1 has no display endpoint configured").arg(id));
            return;
        }
        qInfo().noquote() << "VM" << id << "display endpoint is" << QStringLiteral("%1:%2").arg(host).arg(port);
        emit ready(host, port);
    });
}

void VmStarter::stop()
{
    m_pending = false;
}
