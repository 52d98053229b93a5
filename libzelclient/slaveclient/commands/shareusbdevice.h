#pragma once

#include "usbip/usbbindhelper.h"
#include "usbip/usbdevice.h"
#include "usbip/usbipexchange.h"
#include "zelslavecommand.h"

#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>

class BoundUsbDevices;
class DetachedSocket;
class ExportedUsbDevice;
class UsbipDeviceRecord;

// Shares one local USB device with the VM. It asks the slave service to switch the connection
// to USB/IP and then answers the VM's USB/IP requests itself: the device list holds this device
// only, and only its import is accepted. For that import the privileged helper lends the device
// to the kernel's USB/IP host driver and hands the kernel the connection, and this command
// steps out of it. Nothing is lent before the VM asks for the device; a device lent is given
// back when the import fails, when the session ends (through the object it leaves running),
// or, after a crash, at the next start (through the record of lent devices).
class ShareUSBDevice : public ZELSlaveCommand
{
    Q_OBJECT

public:
    explicit ShareUSBDevice(const USBDevice &device);
    ~ShareUSBDevice() override;

    QString deviceId() const { return m_deviceId; }
    // The device as the user knows it, and where it is plugged in.
    QString deviceName() const;
    // Why the device was not shared; empty unless the command failed.
    QString failureReason() const { return m_failureReason; }

    // Where the kernel's sysfs is ("/sys"), the command that runs the helper, and the record
    // of lent devices; the defaults are this computer's.
    void setSysfsRoot(const QString &root) { m_sysfsRoot = root; }
    void setHelperCommand(const QStringList &command) { m_helperCommand = command; }
    void setBoundDevices(BoundUsbDevices *record) { m_record = record; }

    void run() override;
    void stop() override;
    void abandon(const QString &reason) override;
    QObject *takeRunningServer() override;

private slots:
    void http_finished();

private:
    QString devicesFolder() const;
    // Where the chosen device is plugged in now: where it was chosen when it is still there,
    // else every place a device with its ids and serial is.
    QStringList placesOfDevice() const;
    bool isChosenDeviceAt(const QString &busId) const;
    // What stops sharing before anything is asked of the VM; empty when nothing does.
    QString problemBeforeSharing() const;
    // Whether the other end of the slave connection belongs to this session's user: the kernel
    // serves the device to whoever holds it.
    bool peerIsSessionUser() const;

    void socket_readyRead();
    void socket_disconnected();
    void answerDeviceList();
    void answerImport(const QByteArray &busId);
    void lendDevice(const UsbipDeviceRecord &record);
    void helper_finished(UsbBindHelper::Outcome outcome);
    void fail(const QString &reason);

    QString m_deviceId;
    USBDevice m_device;
    QString m_failureReason;
    QString m_sysfsRoot = QStringLiteral("/sys");
    QStringList m_helperCommand;
    BoundUsbDevices *m_record;
    UsbipExchange m_exchange;
    QPointer<UsbBindHelper> m_helper;
    std::unique_ptr<DetachedSocket> m_lentConnection;
    QByteArray m_importReply;
    QString m_refusedBusId;
    ExportedUsbDevice *m_exported = nullptr;
    bool m_finished = false;
};

QDebug operator<<(QDebug debug, const ShareUSBDevice &command);
