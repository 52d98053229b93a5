#include "boundprocess.h"

#include <QCoreApplication>

// Windows has no parent-death signal; the owners end their programs when they go.
BoundProcess::BoundProcess(QObject *parent)
    : QProcess(parent)
    , m_client(QCoreApplication::applicationPid())
{
}

void BoundProcess::setupChildProcess()
{
}
