// The USB/IP requests a VM sends before it imports a device: the input is cut into chunks
// whose lengths come from a byte before each, as reads of the slave connection would deliver
// them, and every request taken is answered as the USB sharing command answers it.

#include "usbip/usbipdevicerecord.h"
#include "usbip/usbipexchange.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

// One device folder as sysfs shows it, read once: the answers carry its record.
const UsbipDeviceRecord &device()
{
    static QTemporaryDir folder;
    static UsbipDeviceRecord record;
    static bool read = false;
    if (!read) {
        const QDir devices(folder.path());
        devices.mkpath(QStringLiteral("1-1"));
        devices.mkpath(QStringLiteral("1-1:1.0"));
        const QList<QPair<QString, QByteArray>> files{
            {"1-1/idVendor", "0781\n"}, {"1-1/idProduct", "5567\n"}, {"1-1/busnum", "1\n"},
            {"1-1/devnum", "4\n"}, {"1-1/speed", "480\n"}, {"1-1/bConfigurationValue", "1\n"},
            {"1-1/bNumInterfaces", " 1\n"}, {"1-1:1.0/bInterfaceClass", "08\n"}};
        for (const auto &file : files) {
            QFile attribute(devices.filePath(file.first));
            if (!attribute.open(QIODevice::WriteOnly) || attribute.write(file.second) != file.second.size())
                __builtin_trap();
        }
        read = record.read(devices, QStringLiteral("1-1"));
        if (!read)
            __builtin_trap();
    }
    return record;
}

void answer(UsbipExchange &exchange)
{
    for (;;) {
        switch (exchange.next()) {
        case UsbipExchange::Request::Incomplete:
        case UsbipExchange::Request::Invalid:
            return;
        case UsbipExchange::Request::DeviceList:
            // One device of 312 bytes and one interface, behind the header and the count.
            if (UsbipExchange::deviceListReply({device()}).size() != 8 + 4 + 312 + 4)
                __builtin_trap();
            break;
        case UsbipExchange::Request::Import: {
            const bool chosen = exchange.requestedBusId() == "1-1";
            if (exchange.requestedBusId().size() > 31
                || UsbipExchange::importReply(chosen ? &device() : nullptr).size() != (chosen ? 8 + 312 : 8))
                __builtin_trap();
            break;
        }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    UsbipExchange exchange;
    size_t position = 0;
    while (position < size) {
        const size_t chunk = 1 + data[position] % 48;
        const size_t start = position + 1;
        const size_t end = start + chunk < size ? start + chunk : size;
        exchange.append(QByteArray(reinterpret_cast<const char *>(data) + start, int(end - start)));
        position = end;
        answer(exchange);
        // The input waiting is never more than a request and the start of the next.
        if (exchange.pendingBytes() > 80)
            __builtin_trap();
    }
    return 0;
}
