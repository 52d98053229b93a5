#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class UsbipDeviceRecord;

// The part of the USB/IP protocol that comes before a device is imported, from the exporting
// side: the requests for the device list (OP_REQ_DEVLIST) and for an import (OP_REQ_IMPORT),
// read from what the importing side sends, and the answers to them. The input is held to one
// request at a time and a few requests per connection; anything else ends the exchange.
class UsbipExchange
{
public:
    enum class Request { Incomplete, DeviceList, Import, Invalid };

    static constexpr quint16 Version = 0x0111;
    // Requests one connection may make; a peer that keeps asking gets no more answers.
    static constexpr int MaxRequests = 32;

    // Adds bytes the peer sent.
    void append(const QByteArray &bytes);
    // Takes the next whole request off the input; Incomplete while it has not all arrived. After
    // Invalid the exchange is over, and every later call says so again.
    Request next();
    // The bus id the last import request named, as sent (the field up to its first zero byte).
    QByteArray requestedBusId() const { return m_requestedBusId; }
    // What made the input invalid.
    QString error() const { return m_error; }
    // Bytes received that are not part of a request taken yet.
    int pendingBytes() const { return m_input.size(); }

    // The answer to a device-list request, listing the given devices with their interfaces.
    static QByteArray deviceListReply(const QList<UsbipDeviceRecord> &devices);
    // The answer to an import request: the device's record when it is imported, or the
    // refusal when device is null.
    static QByteArray importReply(const UsbipDeviceRecord *device);

private:
    Request fail(const QString &error);

    QByteArray m_input;
    QByteArray m_requestedBusId;
    QString m_error;
    int m_requests = 0;
};
