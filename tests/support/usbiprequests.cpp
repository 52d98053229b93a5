#include "usbiprequests.h"

#include <QtEndian>

QByteArray UsbipRequests::header(quint16 code, quint16 version, quint32 status)
{
    QByteArray bytes(8, '\0');
    qToBigEndian(version, bytes.data());
    qToBigEndian(code, bytes.data() + 2);
    qToBigEndian(status, bytes.data() + 4);
    return bytes;
}

QByteArray UsbipRequests::deviceList()
{
    return header(0x8005);
}

QByteArray UsbipRequests::import(const QByteArray &busIdField)
{
    return header(0x8003) + busIdField + QByteArray(32 - busIdField.size(), '\0');
}
