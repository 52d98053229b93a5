#include "usbbindhelper.h"

// USB devices are shared through the Linux kernel's USB/IP host driver; a Windows client has
// no helper to run, and its run fails to start.
bool UsbBindHelper::runsAsRoot()
{
    return false;
}

QProcess *UsbBindHelper::createProcess(int)
{
    return new QProcess(this);
}
