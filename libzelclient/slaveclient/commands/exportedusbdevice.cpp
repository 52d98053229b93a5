#include "exportedusbdevice.h"

#include "usbip/boundusbdevices.h"
#include "usbip/usbbindhelper.h"

#include <QDebug>

ExportedUsbDevice::ExportedUsbDevice(const QString &busId, const QStringList &helperCommand,
                                     BoundUsbDevices *record, QObject *parent)
    : QObject(parent)
    , m_busId(busId)
    , m_helperCommand(helperCommand)
    , m_record(record)
{
}

ExportedUsbDevice::~ExportedUsbDevice()
{
    giveBack(m_busId, m_helperCommand, m_record);
}

bool ExportedUsbDevice::giveBack(const QString &busId, const QStringList &helperCommand, BoundUsbDevices *record)
{
    qInfo().noquote() << "Giving USB device" << busId << "back to this computer";
    UsbBindHelper helper;
    helper.setCommand(helperCommand);
    if (helper.unbind(busId) != UsbBindHelper::Done) {
        qWarning().noquote() << "USB device" << busId << "was not given back:" << helper.reason();
        return false;
    }
    record->remove(busId);
    return true;
}
