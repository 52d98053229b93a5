#include "signalwatcher.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <csignal>
#include <windows.h>

namespace {

SignalWatcher *s_watcher = nullptr;

BOOL WINAPI onConsoleEvent(DWORD)
{
    if (s_watcher) {
        QMetaObject::invokeMethod(s_watcher, [] { emit s_watcher->terminationRequested(SIGTERM); },
                                  Qt::QueuedConnection);
        return TRUE;
    }
    return FALSE;
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
    s_watcher = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

SignalWatcher::~SignalWatcher()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    s_watcher = nullptr;
}

void SignalWatcher::notifier_activated()
{
}
