#pragma once

#include <QByteArray>

// USB/IP requests as the importing side sends them, laid out as the protocol defines them:
// version, operation code and status (big-endian, two, two and four bytes), and for an import
// the bus id in a field of 32 bytes.
class UsbipRequests
{
public:
    static QByteArray header(quint16 code, quint16 version = 0x0111, quint32 status = 0);
    static QByteArray deviceList();
    // busIdField as it goes in the field, zeros added up to its 32 bytes.
    static QByteArray import(const QByteArray &busIdField);
};
