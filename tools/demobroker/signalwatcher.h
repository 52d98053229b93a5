#pragma once

#include <QObject>

class QSocketNotifier;

// Turns the termination requests of the operating system (SIGTERM, SIGINT, SIGHUP; a console
// close on Windows) into a signal delivered on the event loop.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void notifier_activated();

    QSocketNotifier *m_notifier = nullptr;
};
