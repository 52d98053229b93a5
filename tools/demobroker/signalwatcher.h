#pragma once

#include <QObject>

class QSocketNotifier;

// Turns the termination requests of the operating system (SIGTERM, SIGINT, SIGHUP; a console
// close on Windows) into a signal delivered on the event loop, and, where there are such
// signals, the requests to cut the tunnels (SIGUSR1: closed, SIGUSR2: stalled).
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);
    void cutRequested(bool stall);

private:
    void notifier_activated();

    QSocketNotifier *m_notifier = nullptr;
};
