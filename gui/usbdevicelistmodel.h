#pragma once

#include "usbip/usbdevice.h"

#include <QAbstractTableModel>
#include <QList>
#include <QPointer>
#include <QVector>

class UsbDeviceList;

// The table of local USB devices in the window's USB tab: manufacturer (with the check box),
// product and serial. Ticked devices are the ones shared with the VM. Ticks belong to devices,
// not rows: a new scan keeps every tick whose device is still attached, wherever its row
// moved. Devices asked for before the first scan (from the stored settings) are ticked when
// that scan arrives.
class USBDeviceListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { ManufacturerColumn = 0, ProductColumn = 1, SerialColumn = 2, ColumnCount = 3 };

    explicit USBDeviceListModel(QObject *parent = nullptr);

    void setDeviceList(UsbDeviceList *list);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // The ticked devices in row order.
    QList<USBDevice> selectedDevices() const;
    // Ticks every device with these ids, and this serial unless it is empty; true when any
    // device was ticked. Before the first scan the request is kept for it.
    bool selectDevice(int vendor, int product, const QString &serial);
    // Whether a scan has filled the table yet.
    bool hasDevices() const { return m_scanned; }

private slots:
    void deviceListUpdated(bool success);

private:
    struct Request
    {
        int vendor;
        int product;
        QString serial;
    };

    void setDevices(const QList<USBDevice> &devices);
    bool tickMatching(const Request &request);

    QList<USBDevice> m_devices;
    QVector<bool> m_ticks;
    QPointer<UsbDeviceList> m_deviceList;
    QList<Request> m_pending;
    bool m_scanned = false;
};
