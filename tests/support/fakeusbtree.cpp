#include "fakeusbtree.h"

#include <QDir>
#include <QFile>

void FakeUsbTree::addEntry(const QString &name, const QMap<QString, QByteArray> &files)
{
    QDir root(m_root.path());
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
        {QStringLiteral("bDeviceClass"), hex(deviceClass, 2)},
        {QStringLiteral("busnum"), busId.section(QLatin1Char('-'), 0, 0).toUtf8() + '\n'},
        {QStringLiteral("devpath"), busId.section(QLatin1Char('-'), 1).toUtf8() + '\n'},
    };
    if (!serial.isEmpty())
        files.insert(QStringLiteral("serial"), serial.toUtf8() + '\n');
    if (!manufacturer.isEmpty())
        files.insert(QStringLiteral("manufacturer"), manufacturer.toUtf8() + '\n');
    if (!productName.isEmpty())
        files.insert(QStringLiteral("product"), productName.toUtf8() + '\n');
    addEntry(busId, files);
}

void FakeUsbTree::remove(const QString &name)
{
    QDir(m_root.path() + QLatin1Char('/') + name).removeRecursively();
}
