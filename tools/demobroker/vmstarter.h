#pragma once

#include "brokerconfig.h"

#include <QObject>
#include <QString>

// Makes a VM's display reachable and says where. Today the display is a fixed TCP endpoint
// from the configuration; starting a display server per connection belongs here as well.
class VmStarter : public QObject
{
    Q_OBJECT

public:
    explicit VmStarter(QObject *parent = nullptr);
    ~VmStarter() override;

    // Answers later, through ready() or failed(), exactly once per call.
    void start(const BrokerConfig::Vm &vm, const QByteArray &slaveKey);
    // Gives up whatever start() set up; no signal follows.
    void stop();

signals:
    void ready(const QString &host, quint16 port);
    void failed(const QString &text);

private:
    bool m_pending = false;
};
