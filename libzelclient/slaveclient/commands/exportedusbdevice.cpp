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

void ExportedUsbDevice::giveBack(const QString &busId, const QStringList &helperCommand, BoundUsbDevices *record)
{
    qInfo().noquote() << "Giving USB device" << busId << "back to this computer";
    auto *helper = new UsbBindHelper;
    helper->setCommand(helperCommand);
    connect(helper, &UsbBindHelper::finished, helper, [helper, busId, record](UsbBindHelper::Outcome outcome) {
        helper->deleteLater();
        if (outcome != UsbBindHelper::Done) {
            qWarning().noquote() << "USB device" << busId << "was not given back:" << helper->reason();
            return;
        }
        record->remove(busId);
    });
    helper->startUnbind(busId);
}
