#include "usbdevice.h"

#include "usbdatabase.h"

#include <QDebug>
#include <QDir>
#include <QFile>

namespace {

// The trimmed text of one attribute file; false when it cannot be read.
bool readAttribute(const QDir &dir, const QString &name, QString &value)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    value = QString::fromUtf8(file.readAll()).trimmed();
    return true;
}

// 0 when the text is not a hexadecimal number.
int hexValue(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 16);
    return ok ? value : 0;
}

QString hexPlaceholder(const char *what, int id)
{
    return QStringLiteral("[%1 0x%2]").arg(QLatin1String(what)).arg(id, 4, 16, QLatin1Char('0'));
}

} // namespace

USBDevice USBDevice::fromPath(const QString &path, const UsbDatabase &db)
{
    return fromPath(QDir(path), db);
}

USBDevice USBDevice::fromPath(const QDir &dir, const UsbDatabase &db)
{
    USBDevice device;
    QString text;
    if (readAttribute(dir, QStringLiteral("bDeviceClass"), text))
        device.setDeviceClass(DeviceClass(hexValue(text)));
    if (readAttribute(dir, QStringLiteral("idVendor"), text)) {
        qInfo().noquote().nospace() << "Reading from  " << dir.filePath(QStringLiteral("idVendor")) << "; got " << text;
        device.setVendorId(hexValue(text));
    }
    if (readAttribute(dir, QStringLiteral("idProduct"), text)) {
        qInfo().noquote().nospace() << "Reading from  " << dir.filePath(QStringLiteral("idProduct")) << "; got " << text;
        device.setProductId(hexValue(text));
    }
    if (readAttribute(dir, QStringLiteral("serial"), text))
        device.setSerial(text);
    if (readAttribute(dir, QStringLiteral("product"), text))
        device.setProduct(text);
    if (readAttribute(dir, QStringLiteral("manufacturer"), text)) {
        qInfo().noquote().nospace() << "Reading from  " << dir.filePath(QStringLiteral("manufacturer")) << "; got " << text;
        device.setManufacturer(text);
    }
    if (readAttribute(dir, QStringLiteral("busnum"), text))
        device.setBusnum(text);
    if (readAttribute(dir, QStringLiteral("devpath"), text))
        device.setDevpath(text);

    if (device.manufacturer().isEmpty())
        device.setManufacturer(db.getVendorName(device.vendorId()));
    if (device.manufacturer().isEmpty())
        device.setManufacturer(hexPlaceholder("Manufacturer", device.vendorId()));
    if (device.product().isEmpty())
        device.setProduct(db.getDeviceName(device.vendorId(), device.productId()));
    if (device.product().isEmpty())
        device.setProduct(hexPlaceholder("Product", device.productId()));
    return device;
}

bool USBDevice::isValid() const
{
    return m_vendorId != 0 && m_productId != 0;
}

QString USBDevice::getDeviceId() const
{
    if (!isValid())
        return QString();

    QString id = QString::number(m_vendorId, 16) + QLatin1Char(':') + QString::number(m_productId, 16);
    if (!m_serial.isEmpty())
        id += QLatin1Char('@') + m_serial;
    return id;
}

QString USBDevice::fullDevPath() const
{
    return QStringLiteral("%1-%2").arg(m_busnum, m_devpath);
}

bool USBDevice::operator==(const USBDevice &other) const
{
    return m_vendorId == other.m_vendorId && m_productId == other.m_productId && m_serial == other.m_serial;
}

QDebug operator<<(QDebug debug, const USBDevice &device)
{
    const QDebugStateSaver saver(debug);
    debug.nospace() << "{  devPath = " << device.fullDevPath()
                    << ", deviceClass = " << static_cast<int>(device.deviceClass())
                    << ", vendor = " << device.manufacturer()
                    << ", product = " << device.product() << " }";
    return debug;
}
