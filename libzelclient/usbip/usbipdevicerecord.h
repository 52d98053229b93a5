#pragma once

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QString>

// One local USB device as USB/IP describes it to the importing side: the 312-byte device
// record of the device list and of the import answer, and the four bytes per interface that
// follow it in the device list. Read from the device's sysfs folder.
class UsbipDeviceRecord
{
public:
    // The device at busId in the sysfs device folder (/sys/bus/usb/devices); false when no
    // device is there.
    bool read(const QDir &devicesFolder, const QString &busId);

    QString busId() const { return m_busId; }
    // The record in the byte order of the protocol (big-endian); withInterfaces adds the
    // interface entries, as the device list has them.
    QByteArray encode(bool withInterfaces) const;

    static constexpr int RecordSize = 312;

private:
    struct Interface {
        quint8 interfaceClass = 0;
        quint8 subClass = 0;
        quint8 protocol = 0;
    };

    static quint32 speedCode(const QString &speed);

    QString m_path;
    QString m_busId;
    quint32 m_busNumber = 0;
    quint32 m_deviceNumber = 0;
    quint32 m_speed = 0;
    quint16 m_vendor = 0;
    quint16 m_product = 0;
    quint16 m_release = 0;
    quint8 m_class = 0;
    quint8 m_subClass = 0;
    quint8 m_protocol = 0;
    quint8 m_configuration = 0;
    quint8 m_configurationCount = 0;
    QList<Interface> m_interfaces;
};
