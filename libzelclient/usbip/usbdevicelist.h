#pragma once

#include "usbdatabase.h"
#include "usbdevice.h"
#include "zelclient_export.h"

#include <QDir>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

// The local USB devices that can be shared with the VM, read from the sysfs device folder.
// The list holds devices only: no interfaces, no root hubs, no hubs (the USB/IP host driver
// does not take hubs). Devices are listed also when sharing is not possible on this
// computer; sharingUnavailableReason() then says why, as far as it can be told beforehand.
class ZELCLIENT_EXPORT UsbDeviceList : public QObject
{
    Q_OBJECT

public:
    UsbDeviceList();
    ~UsbDeviceList() override;

    QList<USBDevice> getDevices() const { return m_devices; }

    QDir getDevicePath() const { return m_devicePath; }
    void setDevicePath(const QDir &path) { m_devicePath = path; }

    // The programs sharing needs, full paths or names searched for; the defaults are the USB
    // helper and, for a user who is not root, pkexec.
    void setRequiredPrograms(const QStringList &names) { m_requiredPrograms = names; }

    // Empty while devices can be shared; otherwise a sentence for the user.
    QString sharingUnavailableReason() const { return m_unavailableReason; }
    bool isSharingAvailable() const { return m_unavailableReason.isEmpty(); }

public slots:
    // Re-reads the device folder and checks the programs; ends with exactly one updated().
    void refresh();

signals:
    // False when the device folder could not be read; the list is then empty.
    void updated(bool success);

private:
    // Whether the kernel's USB/IP host driver and the programs sharing needs are there.
    void checkSharing();
    const UsbDatabase &namesFor(const QDir &folder);
    static bool isDeviceEntry(const QString &name);
    static bool busIdLessThan(const USBDevice &a, const USBDevice &b);

    QDir m_devicePath;
    QList<USBDevice> m_devices;
    QStringList m_requiredPrograms;
    QString m_unavailableReason;
    // Loaded when a device first needs it rather than at construction: the list is large.
    std::unique_ptr<UsbDatabase> m_database;
};
