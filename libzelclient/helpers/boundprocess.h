#pragma once

#include <QProcess>

// A child program that does not outlive the client: however the client ends, killed included,
// the program is killed with it (a parent-death signal), so that no server of a session is
// left running on its own.
class BoundProcess : public QProcess
{
public:
    explicit BoundProcess(QObject *parent = nullptr);

protected:
    // Runs in the child between fork and exec: only async-signal-safe calls in overrides.
    void setupChildProcess() override;

private:
    qint64 m_client;
};
