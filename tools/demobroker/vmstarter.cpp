#include "vmstarter.h"

#include "nxagentvm.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

namespace {

const char *const SlaveServiceName = "zel-demo-slave-service";

QString executable(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
}

} // namespace

VmStarter::VmStarter(QObject *parent)
    : QObject(parent)
{
}

VmStarter::~VmStarter()
{
    stop();
}

QString VmStarter::defaultSlaveService()
{
    const QString name = QString::fromLatin1(SlaveServiceName);
    const QString here = QCoreApplication::applicationDirPath();
    // Installed side by side, or both still in their build folders.
    for (const QString &candidate : {here + QLatin1Char('/') + name, here + QStringLiteral("/../demovm/") + name}) {
        const QString found = executable(candidate);
        if (!found.isEmpty())
            return found;
    }
    return QStandardPaths::findExecutable(name);
}

void VmStarter::start(const BrokerConfig::Vm &vm, const QByteArray &slaveKey, const QString &user)
{
    m_pending = true;
    if (vm.startsAgent) {
        startAgent(vm, slaveKey, user);
        return;
    }

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

void VmStarter::startAgent(const BrokerConfig::Vm &vm, const QByteArray &slaveKey, const QString &user)
{
    if (NxAgentVm *kept = NxAgentVm::resumable(vm.id, user)) {
        qInfo().noquote() << "VM" << vm.id << "of" << user << "keeps its session; it is resumed";
        kept->takeOver();
        follow(kept);
        // Resumed from the event loop, so that a failure is never reported inside start().
        QTimer::singleShot(0, kept, [kept, slaveKey]() { kept->resume(slaveKey); });
        return;
    }

    NxAgentVm::Settings settings;
    settings.vmId = vm.id;
    settings.agentProgram = vm.agentProgram.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("nxagent"))
                                                      : vm.agentProgram;
    settings.slaveService = vm.slaveService.isEmpty() ? defaultSlaveService() : executable(vm.slaveService);
    if (settings.slaveService.isEmpty())
        qWarning().noquote() << "VM" << vm.id << "has no slave service"
                             << (vm.slaveService.isEmpty() ? QString::fromLatin1(SlaveServiceName) : vm.slaveService)
                             << "to run; its slave channel stays closed";
    const QStringList desktop = QProcess::splitCommand(vm.desktop);
    if (!desktop.isEmpty() && QStandardPaths::findExecutable(desktop.first()).isEmpty()
        && executable(desktop.first()).isEmpty())
        qWarning().noquote() << "VM" << vm.id << "desktop program" << desktop.first()
                             << "not found; the desktop stays empty";
    else
        settings.desktop = vm.desktop;
    settings.sound = vm.sound;
    settings.hasSlaveKey = vm.slaveKeyMode != BrokerConfig::SlaveKeyMode::None;
    settings.slaveKey = slaveKey;
    settings.startTimeoutMs = vm.agentStartTimeoutMs;
    settings.user = user;
    settings.resumeSeconds = vm.resumeSeconds;

    if (settings.agentProgram.isEmpty()) {
        const int id = vm.id;
        QTimer::singleShot(0, this, [this, id]() {
            if (!m_pending)
                return;
            m_pending = false;
            emit failed(QStringLiteral("VM %1 cannot start: nxagent not found").arg(id));
        });
        return;
    }

    follow(new NxAgentVm(settings));
    // Started from the event loop, so that a failure is never reported inside start().
    QTimer::singleShot(0, m_vm, &NxAgentVm::start);
}

void VmStarter::follow(NxAgentVm *vm)
{
    m_vm = vm;
    connect(m_vm, &NxAgentVm::listening, this, [this](quint16 port) {
        if (!m_pending)
            return;
        m_pending = false;
        emit ready(QStringLiteral("127.0.0.1"), port);
    });
    connect(m_vm, &NxAgentVm::failed, this, [this](const QString &text) {
        if (!m_pending)
            return;
        m_pending = false;
        emit failed(text);
    });
    connect(m_vm, &NxAgentVm::takenOver, this, [this]() {
        disconnect(m_vm, nullptr, this, nullptr);
        m_vm = nullptr;
        m_pending = false;
        emit takenOver();
    });
}

void VmStarter::stop()
{
    m_pending = false;
    if (m_vm) {
        disconnect(m_vm, nullptr, this, nullptr);
        m_vm->release();
        m_vm = nullptr;
    }
}
