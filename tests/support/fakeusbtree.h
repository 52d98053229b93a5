#pragma once

#include <QMap>
#include <QString>
#include <QTemporaryDir>

// A folder laid out like the sysfs USB device folder (/sys/bus/usb/devices): one folder per
// entry, named by its bus id, holding attribute files. Stands in for real USB hardware.
class FakeUsbTree
{
public:
    QString path() const { return m_root.path(); }

    // A device folder with exactly the given attribute files (name to content).
    void addEntry(const QString &name, const QMap<QString, QByteArray> &files);
    // A device as the kernel shows it: ids in four hexadecimal digits, bus number and port
    // path from the bus id, and the names that are not empty.
    void addDevice(const QString &busId, int vendor, int product, const QString &serial = QString(),
                   const QString &manufacturer = QString(), const QString &productName = QString(),
                   int deviceClass = 0);
    void remove(const QString &name);

private:
    QTemporaryDir m_root;
};
