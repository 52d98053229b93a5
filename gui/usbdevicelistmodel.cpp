#include "usbdevicelistmodel.h"

#include "usbip/usbdevicelist.h"

#include <QDebug>

USBDeviceListModel::USBDeviceListModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void USBDeviceListModel::setDeviceList(UsbDeviceList *list)
{
    if (m_deviceList)
        disconnect(m_deviceList, nullptr, this, nullptr);
    m_deviceList = list;
    if (list)
        connect(list, &UsbDeviceList::updated, this, &USBDeviceListModel::deviceListUpdated);
}

int USBDeviceListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_devices.size();
}

int USBDeviceListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant USBDeviceListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_devices.size())
        return QVariant();
    const USBDevice &device = m_devices.at(index.row());
    if (role == Qt::CheckStateRole && index.column() == ManufacturerColumn)
        return m_ticks.at(index.row()) ? Qt::Checked : Qt::Unchecked;
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case ManufacturerColumn:
        return device.manufacturer();
    case ProductColumn:
        return device.product();
    case SerialColumn:
        return device.serial();
    default:
        return QVariant();
    }
}

QVariant USBDeviceListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QVariant();
    switch (section) {
    case ManufacturerColumn:
        return tr("Manufacturer");
    case ProductColumn:
        return tr("Product");
    case SerialColumn:
        return tr("Serial");
    default:
        return QVariant();
    }
}

bool USBDeviceListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.row() >= m_devices.size() || role != Qt::CheckStateRole
        || index.column() != ManufacturerColumn)
        return false;
    m_ticks[index.row()] = value.toInt() == Qt::Checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

Qt::ItemFlags USBDeviceListModel::flags(const QModelIndex &index) const
{
    Q_UNUSED(index)
    return Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled;
}

QList<USBDevice> USBDeviceListModel::selectedDevices() const
{
    QList<USBDevice> selected;
    for (int row = 0; row < m_devices.size(); ++row) {
        if (m_ticks.at(row))
            selected << m_devices.at(row);
    }
    return selected;
}

bool USBDeviceListModel::selectDevice(int vendor, int product, const QString &serial)
{
    const Request request{vendor, product, serial};
    if (!m_scanned) {
        m_pending << request;
        return false;
    }
    return tickMatching(request);
}

bool USBDeviceListModel::tickMatching(const Request &request)
{
    bool ticked = false;
    for (int row = 0; row < m_devices.size(); ++row) {
        const USBDevice &device = m_devices.at(row);
        if (device.vendorId() != request.vendor || device.productId() != request.product)
            continue;
        if (!request.serial.isEmpty() && device.serial() != request.serial)
            continue;
        m_ticks[row] = true;
        ticked = true;
        emit dataChanged(index(row, ManufacturerColumn), index(row, ManufacturerColumn), {Qt::CheckStateRole});
    }
    return ticked;
}

void USBDeviceListModel::deviceListUpdated(bool success)
{
    if (!success || !m_deviceList)
        return;
    beginResetModel();
    qInfo() << "Updating device list model";
    setDevices(m_deviceList->getDevices());
    qInfo() << "Now got " << m_devices.size() << "devices";
    endResetModel();

    if (!m_scanned) {
        m_scanned = true;
        const QList<Request> pending = m_pending;
        m_pending.clear();
        for (const Request &request : pending)
            tickMatching(request);
    }
}

void USBDeviceListModel::setDevices(const QList<USBDevice> &devices)
{
    // Each earlier tick goes to one device of the new list: the same device at the same place
    // first, then the same device moved elsewhere. Identical devices without serial numbers
    // are told apart only by where they are plugged in.
    QList<USBDevice> ticked = selectedDevices();
    QVector<bool> ticks(devices.size(), false);
    const auto claim = [&](bool samePlace) {
        for (int row = 0; row < devices.size(); ++row) {
            if (ticks.at(row))
                continue;
            for (int i = 0; i < ticked.size(); ++i) {
                const bool placeMatches = ticked.at(i).fullDevPath() == devices.at(row).fullDevPath();
                if (ticked.at(i) == devices.at(row) && (!samePlace || placeMatches)) {
                    ticks[row] = true;
                    ticked.removeAt(i);
                    break;
                }
            }
        }
    };
    claim(true);
    claim(false);
    m_devices = devices;
    m_ticks = ticks;
}
