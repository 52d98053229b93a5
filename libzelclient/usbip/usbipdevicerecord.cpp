#include "usbipdevicerecord.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

namespace {

// USB allows no more interfaces in one configuration.
const int MaxRecordInterfaces = 32;
const int RecordPathSize = 256;
const int RecordBusIdSize = 32;

QString sysfsText(const QDir &folder, const char *name)
{
    QFile file(folder.filePath(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(256)).trimmed();
}

// The attribute read as a number in the given base; 0 when it is absent or not a number.
uint sysfsNumber(const QDir &folder, const char *name, int base)
{
    return sysfsText(folder, name).toUInt(nullptr, base);
}

// A text field of fixed size: the text cut to leave room for the closing zero, then zeros.
QByteArray fixedField(const QByteArray &text, int size)
{
    QByteArray field = text.left(size - 1);
    field.append(QByteArray(size - field.size(), '\0'));
    return field;
}

template<typename T>
void appendBigEndian(QByteArray &bytes, T value)
{
    const T big = qToBigEndian(value);
    bytes.append(reinterpret_cast<const char *>(&big), sizeof big);
}

} // namespace

bool UsbipDeviceRecord::read(const QDir &devicesFolder, const QString &busId)
{
    const QDir device(devicesFolder.filePath(busId));
    if (!device.exists() || !QFileInfo::exists(device.filePath(QStringLiteral("idVendor"))))
        return false;
    *this = UsbipDeviceRecord();
    m_path = QFileInfo(device.path()).canonicalFilePath();
    m_busId = busId;
    m_busNumber = sysfsNumber(device, "busnum", 10);
    m_deviceNumber = sysfsNumber(device, "devnum", 10);
    m_speed = speedCode(sysfsText(device, "speed"));
    m_vendor = quint16(sysfsNumber(device, "idVendor", 16));
    m_product = quint16(sysfsNumber(device, "idProduct", 16));
    m_release = quint16(sysfsNumber(device, "bcdDevice", 16));
    m_class = quint8(sysfsNumber(device, "bDeviceClass", 16));
    m_subClass = quint8(sysfsNumber(device, "bDeviceSubClass", 16));
    m_protocol = quint8(sysfsNumber(device, "bDeviceProtocol", 16));
    m_configuration = quint8(sysfsNumber(device, "bConfigurationValue", 10));
    m_configurationCount = quint8(sysfsNumber(device, "bNumConfigurations", 10));

    // The interfaces of the active configuration sit beside the device as "<bus id>:<configuration>.<number>".
    const int interfaceCount = qMin(int(sysfsNumber(device, "bNumInterfaces", 10)), MaxRecordInterfaces);
    for (int number = 0; number < interfaceCount; ++number) {
        const QString name = QStringLiteral("%1:%2.%3").arg(busId).arg(m_configuration).arg(number);
        const QDir folder(devicesFolder.filePath(name));
        Interface entry;
        entry.interfaceClass = quint8(sysfsNumber(folder, "bInterfaceClass", 16));
        entry.subClass = quint8(sysfsNumber(folder, "bInterfaceSubClass", 16));
        entry.protocol = quint8(sysfsNumber(folder, "bInterfaceProtocol", 16));
        m_interfaces << entry;
    }
    return true;
}

quint32 UsbipDeviceRecord::speedCode(const QString &speed)
{
    // The kernel's speed names in sysfs, in the order of its usb_device_speed values (1 to 6).
    static const QStringList names{QStringLiteral("1.5"), QStringLiteral("12"), QStringLiteral("480"),
                                   QStringLiteral("53.3-480"), QStringLiteral("5000"), QStringLiteral("10000")};
    if (speed == QLatin1String("20000"))
        return 6;
    return quint32(names.indexOf(speed) + 1);
}

QByteArray UsbipDeviceRecord::encode(bool withInterfaces) const
{
    QByteArray bytes;
    bytes.reserve(RecordSize + (withInterfaces ? 4 * m_interfaces.size() : 0));
    bytes.append(fixedField(m_path.toUtf8(), RecordPathSize));
    bytes.append(fixedField(m_busId.toLatin1(), RecordBusIdSize));
    appendBigEndian(bytes, m_busNumber);
    appendBigEndian(bytes, m_deviceNumber);
    appendBigEndian(bytes, m_speed);
    appendBigEndian(bytes, m_vendor);
    appendBigEndian(bytes, m_product);
    appendBigEndian(bytes, m_release);
    for (const quint8 value : {m_class, m_subClass, m_protocol, m_configuration, m_configurationCount,
                               quint8(m_interfaces.size())})
        bytes.append(char(value));
    if (withInterfaces) {
        // Class, subclass and protocol, and a byte that keeps each entry at four.
        for (const Interface &entry : m_interfaces) {
            for (const quint8 value : {entry.interfaceClass, entry.subClass, entry.protocol, quint8(0)})
                bytes.append(char(value));
        }
    }
    return bytes;
}
