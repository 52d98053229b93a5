#pragma once

#include "zelclient_export.h"

#include <QMap>
#include <QString>

// Vendor and product names of the public USB ID list (the text file usb.ids), looked up by
// numeric id. Used to name devices whose descriptors carry no names of their own.
class ZELCLIENT_EXPORT UsbDatabase
{
public:
    // An empty path loads the default database (PathTools::getUsbDatabase()).
    explicit UsbDatabase(const QString &path = QString());
    // A database without entries, for callers that have the names already.
    static UsbDatabase empty();

    // Replaces the contents with the entries of the file; false, with the contents kept, when
    // the file cannot be opened.
    bool load(const QString &path);

    // Empty when unknown.
    QString getVendorName(int vendor) const;
    QString getDeviceName(int vendor, int product) const;

    int getVendorCount() const;
    int getItemCount() const;

private:
    struct Empty
    {
    };
    explicit UsbDatabase(Empty);
    void parseLine(const char *begin, const char *end, int &currentVendor);

    QMap<int, QString> m_vendors;
    QMap<int, QString> m_products;
};
