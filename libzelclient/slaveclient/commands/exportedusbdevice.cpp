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
    if (!m_busId.isEmpty())
        giveBack(m_busId, m_helperCommand, m_record);
}

void ExportedUsbDevice::giveBackNow(const std::function<void()> &done)
{
    if (m_busId.isEmpty()) {
        done();
        return;
    }
    giveBack(m_busId, m_helperCommand, m_record, done);
    // Given back once: this object has nothing left to give when it goes.
    m_busId.clear();
}

void ExportedUsbDevice::giveBack(const QString &busId, const QStringList &helperCommand, BoundUsbDevices *record,
                                 const std::function<void()> &done)
{
    qInfo().noquote() << "Giving USB device" << busId << "back to this computer";
    auto *helper = new UsbBindHelper;
    helper->setCommand(helperCommand);
    connect(helper, &UsbBindHelper::finished, helper, [helper, busId, record, done](UsbBindHelper::Outcome outcome) {
        helper->deleteLater();
        if (outcome != UsbBindHelper::Done)
            qWarning().noquote() << "USB device" << busId << "was not given back:" << helper->reason();
        else
            record->remove(busId);
        if (done)
            done();
    });
    helper->startUnbind(busId);
}
