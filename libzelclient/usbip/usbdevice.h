#pragma once

#include "zelclient_export.h"

#include <QString>

class QDebug;
class QDir;
class UsbDatabase;

// Identity and names of one local USB device.
class ZELCLIENT_EXPORT USBDevice
{
public:
    // The numeric USB class code as the device reports it (0 to 255).
    enum DeviceClass : int {};

    USBDevice() = default;
    USBDevice(const USBDevice &) = default;
    USBDevice(USBDevice &&) = default;
    USBDevice &operator=(const USBDevice &) = default;
    USBDevice &operator=(USBDevice &&) = default;
    ~USBDevice() = default;

    QString manufacturer() const { return m_manufacturer; }
    void setManufacturer(const QString &manufacturer) { m_manufacturer = manufacturer; }

    QString product() const { return m_product; }
    void setProduct(const QString &product) { m_product = product; }

    int vendorId() const { return m_vendorId; }
    void setVendorId(int vendorId) { m_vendorId = vendorId; }

    int productId() const { return m_productId; }
    void setProductId(int productId) { m_productId = productId; }

    DeviceClass deviceClass() const { return m_deviceClass; }
    void setDeviceClass(DeviceClass deviceClass) { m_deviceClass = deviceClass; }

    QString serial() const { return m_serial; }
    void setSerial(const QString &serial) { m_serial = serial; }

    QString busnum() const { return m_busnum; }
    void setBusnum(const QString &busnum) { m_busnum = busnum; }

    QString devpath() const { return m_devpath; }
    void setDevpath(const QString &devpath) { m_devpath = devpath; }

    // Reads one device folder of the sysfs device tree; names the device from the database
    // when its descriptors carry no names. Never fails: absent files leave their fields empty.
    static USBDevice fromPath(const QDir &dir, const UsbDatabase &db);
    static USBDevice fromPath(const QString &path, const UsbDatabase &db);

    bool isValid() const;
    // "vendor:product[@serial]" in lower-case hex, empty for an invalid device.
    QString getDeviceId() const;
    // The usbip bus id, such as "1-1.4".
    QString fullDevPath() const;

    // Same device wherever it is plugged in: ids and serial only.
    bool operator==(const USBDevice &other) const;

private:
    QString m_manufacturer;
    QString m_product;
    int m_vendorId = 0;
    int m_productId = 0;
    DeviceClass m_deviceClass = DeviceClass(0);
    QString m_serial;
    QString m_busnum;
    QString m_devpath;
};

ZELCLIENT_EXPORT QDebug operator<<(QDebug debug, const USBDevice &device);
