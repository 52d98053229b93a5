#include "usbdevice.h"

#include <QDebug>

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
