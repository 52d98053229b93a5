#pragma once

#include "brokerconfig.h"

#include <QObject>
#include <QPointer>
#include <QString>

class NxAgentVm;

// Makes a VM's display reachable and says where: either a fixed TCP endpoint from the
// configuration, or a VM of its own for this connection (an NX agent started on a free
// display and port), which ends when the starter is stopped or goes. A VM that keeps its
// session is resumed instead, when its user has one, and is kept when the starter lets go.
class VmStarter : public QObject
{
    Q_OBJECT

public:
    explicit VmStarter(QObject *parent = nullptr);
    ~VmStarter() override;

    // Answers later, through ready() or failed(), exactly once per call. user: whose
    // connection it is.
    void start(const BrokerConfig::Vm &vm, const QByteArray &slaveKey, const QString &user);
    // Gives up whatever start() set up, and lets go of its VM, which ends unless it keeps its
    // session for a resume; no signal follows.
    void stop();

    // Where the demo slave service is looked for when the configuration names none.
    static QString defaultSlaveService();

signals:
    void ready(const QString &host, quint16 port);
    void failed(const QString &text);
    // Another connection resumed the VM: this one's tunnel is to be closed.
    void takenOver();

private:
    void startAgent(const BrokerConfig::Vm &vm, const QByteArray &slaveKey, const QString &user);
    void follow(NxAgentVm *vm);

    bool m_pending = false;
    QPointer<NxAgentVm> m_vm;
};
