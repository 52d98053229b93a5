#include "fakeusbtree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FakeUsbTree::FakeUsbTree()
{
    QDir(m_root.path()).mkpath(QStringLiteral("bus/usb/devices"));
}

QString FakeUsbTree::path() const
{
    return m_root.path() + QStringLiteral("/bus/usb/devices");
}

void FakeUsbTree::addEntry(const QString &name, const QMap<QString, QByteArray> &files)
{
    QDir root(path());
    root.mkpath(name);
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        QFile file(root.filePath(name + QLatin1Char('/') + it.key()));
        if (file.open(QIODevice::WriteOnly))
            file.write(it.value());
    }
}

void FakeUsbTree::addDevice(const QString &busId, int vendor, int product, const QString &serial,
                            const QString &manufacturer, const QString &productName, int deviceClass)
{
    const auto hex = [](int value, int digits) {
        return QByteArray::number(value, 16).rightJustified(digits, '0') + '\n';
    };
    QMap<QString, QByteArray> files{
        {QStringLiteral("idVendor"), hex(vendor, 4)},
        {QStringLiteral("idProduct"), hex(product, 4)},
        {QStringLiteral("bcdDevice"), QByteArrayLiteral("0100\n")},
        {QStringLiteral("bDeviceClass"), hex(deviceClass, 2)},
        {QStringLiteral("bDeviceSubClass"), QByteArrayLiteral("00\n")},
        {QStringLiteral("bDeviceProtocol"), QByteArrayLiteral("00\n")},
        {QStringLiteral("bConfigurationValue"), QByteArrayLiteral("1\n")},
        {QStringLiteral("bNumConfigurations"), QByteArrayLiteral("1\n")},
        {QStringLiteral("bNumInterfaces"), QByteArrayLiteral(" 1\n")},
        {QStringLiteral("busnum"), busId.section(QLatin1Char('-'), 0, 0).toUtf8() + '\n'},
        {QStringLiteral("devnum"), QByteArrayLiteral("7\n")},
        {QStringLiteral("devpath"), busId.section(QLatin1Char('-'), 1).toUtf8() + '\n'},
        {QStringLiteral("speed"), QByteArrayLiteral("480\n")},
    };
    if (!serial.isEmpty())
        files.insert(QStringLiteral("serial"), serial.toUtf8() + '\n');
    if (!manufacturer.isEmpty())
        files.insert(QStringLiteral("manufacturer"), manufacturer.toUtf8() + '\n');
    if (!productName.isEmpty())
        files.insert(QStringLiteral("product"), productName.toUtf8() + '\n');
    addEntry(busId, files);
    addEntry(busId + QStringLiteral(":1.0"), {{QStringLiteral("bInterfaceClass"), QByteArrayLiteral("08\n")},
                                              {QStringLiteral("bInterfaceSubClass"), QByteArrayLiteral("06\n")},
                                              {QStringLiteral("bInterfaceProtocol"), QByteArrayLiteral("50\n")}});
}

void FakeUsbTree::remove(const QString &name)
{
    QDir(path() + QLatin1Char('/') + name).removeRecursively();
}

void FakeUsbTree::loadHostDriver()
{
    QDir root(m_root.path());
    const QStringList commandFiles{QStringLiteral("bus/usb/drivers/usbip-host/bind"),
                                   QStringLiteral("bus/usb/drivers/usbip-host/unbind"),
                                   QStringLiteral("bus/usb/drivers/usbip-host/match_busid"),
                                   QStringLiteral("bus/usb/drivers/usbip-host/rebind"),
                                   QStringLiteral("bus/usb/drivers/usb/bind"),
                                   QStringLiteral("bus/usb/drivers/usb/unbind"),
                                   QStringLiteral("bus/usb/drivers_probe")};
    for (const QString &name : commandFiles) {
        root.mkpath(QFileInfo(root.filePath(name)).path());
        QFile file(root.filePath(name));
        file.open(QIODevice::WriteOnly);
    }
}

void FakeUsbTree::setDriver(const QString &busId, const QString &driver)
{
    const QString link = path() + QLatin1Char('/') + busId + QStringLiteral("/driver");
    QFile::remove(link);
    if (!driver.isEmpty())
        QFile::link(QStringLiteral("../../drivers/") + driver, link);
}

QByteArray FakeUsbTree::file(const QString &relativePath) const
{
    QFile file(m_root.path() + QLatin1Char('/') + relativePath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString FakeUsbTree::helperProgram()
{
    return QStringLiteral(ZEL_USBIP_TEST_PROGRAM);
}

QString FakeUsbTree::helper(const QString &before, const QString &after)
{
    const QString path = m_scripts.filePath(QStringLiteral("helper-%1").arg(++m_helperCount));
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return QString();
    const QString text = QStringLiteral("#!/bin/sh\n"
                                        "echo \"$*\" >> '%1'\n"
                                        "%2\n"
                                        "ZEL_TEST_SYSFS_ROOT='%3' '%4' \"$@\"\n"
                                        "code=$?\n"
                                        "%5\n"
                                        "exit $code\n")
                             .arg(m_scripts.filePath(QStringLiteral("calls")), before, sysfsRoot(), helperProgram(),
                                  after);
    script.write(text.toUtf8());
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    return path;
}

QStringList FakeUsbTree::helperCalls() const
{
    QFile calls(m_scripts.filePath(QStringLiteral("calls")));
    if (!calls.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(calls.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
