#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

// A folder laid out like the part of sysfs that USB sharing reads and writes: the device folder
// (/sys/bus/usb/devices) with one folder per entry, named by its bus id and holding attribute
// files, and the USB drivers' folders with the files the kernel takes commands through.
// Stands in for real USB hardware and the kernel; what a program writes to the command files
// stays there to be read back (the last write of each).
class FakeUsbTree
{
public:
    FakeUsbTree();

    // The device folder.
    QString path() const;
    // The whole tree, standing for /sys.
    QString sysfsRoot() const { return m_root.path(); }

    // A device folder with exactly the given attribute files (name to content); files of an
    // entry that is there already are replaced or added.
    void addEntry(const QString &name, const QMap<QString, QByteArray> &files);
    // A device as the kernel shows it: ids in four hexadecimal digits, bus number and port
    // path from the bus id, the names that are not empty, and one interface.
    void addDevice(const QString &busId, int vendor, int product, const QString &serial = QString(),
                   const QString &manufacturer = QString(), const QString &productName = QString(),
                   int deviceClass = 0);
    void remove(const QString &name);

    // The USB/IP host driver loaded, and the generic USB driver, each with its command files.
    void loadHostDriver();
    // The device bound to the named driver, as its "driver" link shows; none when empty.
    void setDriver(const QString &busId, const QString &driver);
    // What a file below the root holds ("bus/usb/drivers/usbip-host/match_busid").
    QByteArray file(const QString &relativePath) const;

    // The tests' build of the privileged USB helper, which works on a tree named by its
    // environment instead of /sys.
    static QString helperProgram();
    // A stand-in for the installed helper: a script that notes the arguments of each call and
    // runs the tests' build on this tree. The shell lines before and after run around that
    // (to fail, or to crash, at will); the helper's exit code is in $code for after.
    QString helper(const QString &before = QString(), const QString &after = QString());
    // The arguments of every call of the stand-ins so far, one line per call.
    QStringList helperCalls() const;

private:
    QTemporaryDir m_root;
    QTemporaryDir m_scripts;
    int m_helperCount = 0;
};
