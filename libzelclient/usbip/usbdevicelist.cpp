#include "usbdevicelist.h"

#include "helpers/pathtools.h"
#include "usbbindhelper.h"

#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace {

constexpr int hubClass = 9;

QList<int> numbers(const QString &busId)
{
    QList<int> result;
    for (const QString &part : busId.split(QRegularExpression(QStringLiteral("[-.]"))))
        result << part.toInt();
    return result;
}

} // namespace

UsbDeviceList::UsbDeviceList()
    : QObject(nullptr)
    , m_devicePath(QStringLiteral("/sys/bus/usb/devices"))
    , m_requiredPrograms(UsbBindHelper::requiredPrograms())
{
}

UsbDeviceList::~UsbDeviceList() = default;

void UsbDeviceList::refresh()
{
    m_devices.clear();
    checkSharing();

    if (!m_devicePath.exists()) {
        qCritical().noquote() << "Cannot read the USB device folder" << m_devicePath.absolutePath();
        emit updated(false);
        return;
    }

    const QStringList entries = m_devicePath.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (!isDeviceEntry(entry))
            continue;
        const QDir folder(m_devicePath.filePath(entry));
        USBDevice device = USBDevice::fromPath(folder, namesFor(folder));
        if (device.deviceClass() == hubClass)
            continue;
        // The folder's name is the device's bus id, which is what sharing needs.
        if (device.busnum().isEmpty() || device.devpath().isEmpty()) {
            device.setBusnum(entry.section(QLatin1Char('-'), 0, 0));
            device.setDevpath(entry.section(QLatin1Char('-'), 1));
        }
        m_devices << device;
    }
    std::sort(m_devices.begin(), m_devices.end(), busIdLessThan);
    qInfo().nospace() << "Found " << m_devices.size() << " USB devices in " << m_devicePath.absolutePath();
    emit updated(true);
}

void UsbDeviceList::checkSharing()
{
    m_unavailableReason.clear();
    // The host driver lives beside the device folder, in the drivers folder of the USB bus.
    if (!QFileInfo(m_devicePath.filePath(QStringLiteral("../drivers/usbip-host"))).isDir()) {
        m_unavailableReason = tr("USB devices cannot be shared: the kernel module usbip-host is not loaded. "
                                 "An administrator can load it with \"modprobe usbip-host\".");
        return;
    }
    for (const QString &name : qAsConst(m_requiredPrograms)) {
        const QFileInfo program(name);
        if (program.isAbsolute() ? program.isExecutable() : !PathTools::findBin(name, {}).isEmpty())
            continue;
        qCritical().noquote() << "USB sharing needs" << name << ", which is not installed";
        if (program.fileName() == QLatin1String("pkexec"))
            m_unavailableReason = tr("USB devices cannot be shared: pkexec, which asks for the right to share them, "
                                     "is not installed (package pkexec).");
        else
            m_unavailableReason = tr("USB devices cannot be shared: the program \"%1\" is not installed.").arg(name);
        return;
    }
}

const UsbDatabase &UsbDeviceList::namesFor(const QDir &folder)
{
    // Most devices name themselves; the ID list is read only for one that does not, and then
    // kept for later scans.
    static const UsbDatabase none = UsbDatabase::empty();
    if (folder.exists(QStringLiteral("manufacturer")) && folder.exists(QStringLiteral("product")))
        return none;
    if (!m_database)
        m_database = std::make_unique<UsbDatabase>();
    return *m_database;
}

bool UsbDeviceList::isDeviceEntry(const QString &name)
{
    // "1-1.4" is a device; "1-1.4:1.0" one of its interfaces; "usb1" the root hub of bus 1.
    static const QRegularExpression device(QStringLiteral("^\\d+-\\d+(\\.\\d+)*$"));
    return device.match(name).hasMatch();
}

bool UsbDeviceList::busIdLessThan(const USBDevice &a, const USBDevice &b)
{
    return numbers(a.fullDevPath()) < numbers(b.fullDevPath());
}
