#include "usbipexchange.h"

#include "usbipdevicerecord.h"

#include <QtEndian>

namespace {

// Operation codes: requests have the high bit set, their answers do not.
const quint16 RequestDeviceList = 0x8005;
const quint16 ReplyDeviceList = 0x0005;
const quint16 RequestImport = 0x8003;
const quint16 ReplyImport = 0x0003;

// Version, code and status, two, two and four bytes; an import request adds its bus id field.
const int HeaderSize = 8;
const int BusIdFieldSize = 32;
const int ImportRequestSize = HeaderSize + BusIdFieldSize;

const quint32 StatusOk = 0;
const quint32 StatusError = 1;

// More than a request and the start of the next is not what a peer that waits for each answer
// sends.
const int MaxPendingBytes = 2 * ImportRequestSize;

quint16 bigEndian16(const QByteArray &bytes, int offset)
{
    return qFromBigEndian<quint16>(bytes.constData() + offset);
}

QByteArray replyHeader(quint16 code, quint32 status)
{
    QByteArray header(HeaderSize, '\0');
    qToBigEndian<quint16>(UsbipExchange::Version, header.data());
    qToBigEndian<quint16>(code, header.data() + 2);
    qToBigEndian<quint32>(status, header.data() + 4);
    return header;
}

} // namespace

void UsbipExchange::append(const QByteArray &bytes)
{
    if (!m_error.isEmpty())
        return;
    if (m_input.size() + bytes.size() > MaxPendingBytes) {
        fail(QStringLiteral("more data than a request"));
        return;
    }
    m_input.append(bytes);
}

UsbipExchange::Request UsbipExchange::next()
{
    if (!m_error.isEmpty())
        return Request::Invalid;
    if (m_input.size() < HeaderSize)
        return Request::Incomplete;

    const quint16 version = bigEndian16(m_input, 0);
    if (version != Version)
        return fail(QStringLiteral("USB/IP version %1 instead of %2")
                        .arg(version, 4, 16, QLatin1Char('0'))
                        .arg(Version, 4, 16, QLatin1Char('0')));
    if (m_requests >= MaxRequests)
        return fail(QStringLiteral("more than %1 requests").arg(MaxRequests));

    // The status field of a request carries nothing and is not looked at.
    const quint16 code = bigEndian16(m_input, 2);
    if (code == RequestDeviceList) {
        m_input.remove(0, HeaderSize);
        ++m_requests;
        return Request::DeviceList;
    }
    if (code != RequestImport)
        return fail(QStringLiteral("unknown operation 0x%1").arg(code, 4, 16, QLatin1Char('0')));
    if (m_input.size() < ImportRequestSize)
        return Request::Incomplete;

    const QByteArray field = m_input.mid(HeaderSize, BusIdFieldSize);
    const int end = field.indexOf('\0');
    if (end < 0)
        return fail(QStringLiteral("a bus id without its closing zero"));
    m_requestedBusId = field.left(end);
    m_input.remove(0, ImportRequestSize);
    ++m_requests;
    return Request::Import;
}

UsbipExchange::Request UsbipExchange::fail(const QString &error)
{
    m_error = error;
    m_input.clear();
    return Request::Invalid;
}

QByteArray UsbipExchange::deviceListReply(const QList<UsbipDeviceRecord> &devices)
{
    QByteArray reply = replyHeader(ReplyDeviceList, StatusOk);
    QByteArray count(4, '\0');
    qToBigEndian<quint32>(quint32(devices.size()), count.data());
    reply.append(count);
    for (const UsbipDeviceRecord &device : devices)
        reply.append(device.encode(true));
    return reply;
}

QByteArray UsbipExchange::importReply(const UsbipDeviceRecord *device)
{
    if (!device)
        return replyHeader(ReplyImport, StatusError);
    return replyHeader(ReplyImport, StatusOk) + device->encode(false);
}
