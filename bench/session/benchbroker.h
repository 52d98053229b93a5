#pragma once

#include "zelconnectionparameters.h"

#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

// The demo broker as a child of a benchmark, on a port it chooses, with the benchmark's
// configuration; its configuration file, state folder and log are DIR/NAME-broker.json,
// DIR/NAME-broker-state and DIR/NAME-broker.log. The broker's environment reaches its VMs.
class BenchBroker
{
public:
    BenchBroker(const QString &program, const QJsonObject &config, const QString &workdir, const QString &name,
                const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    ~BenchBroker();

    quint16 port() const { return m_port; }
    // How the client logs in to it as the user both benchmarks configure (demo, password demo).
    ZELConnectionParameters connectionParameters() const;
    void signal(int number);

private:
    void stop();

    QProcess m_process;
    quint16 m_port = 0;
};
