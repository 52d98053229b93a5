#include "processreaper.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>

void ProcessReaper::end(QProcess *process, int graceMs, const std::function<void()> &ended)
{
    if (!process) {
        if (ended)
            ended();
        return;
    }
    process->disconnect();
    // The application holds it until it has ended: its owner may be deleted right after this.
    // At the latest the application's end deletes it, which waits for a program already killed.
    process->setParent(QCoreApplication::instance());
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        if (ended)
            ended();
        return;
    }
    QObject::connect(process, &QProcess::stateChanged, process, [process, ended](QProcess::ProcessState state) {
        if (state != QProcess::NotRunning)
            return;
        process->deleteLater();
        if (ended)
            ended();
    });
    if (graceMs <= 0) {
        process->kill();
        return;
    }
    process->terminate();
    QTimer::singleShot(graceMs, process, [process] {
        if (process->state() != QProcess::NotRunning)
            process->kill();
    });
}
