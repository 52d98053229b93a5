#include "boundusbdevices.h"

// Devices are lent only to the Linux kernel's USB/IP host driver: on Windows nothing is ever
// lent, so nothing is written down.
bool BoundUsbDevices::makePrivateFolder(const QString &)
{
    return false;
}

int BoundUsbDevices::createLockedFile(const QString &, QString &)
{
    return -1;
}

int BoundUsbDevices::lockLeftover(const QString &)
{
    return -1;
}

bool BoundUsbDevices::appendLine(int, const QByteArray &)
{
    return false;
}

QByteArray BoundUsbDevices::readAll(int)
{
    return QByteArray();
}

void BoundUsbDevices::closeFile(int)
{
}
