// The USB ID list (usb.ids): vendor lines, indented product lines, comments and other
// sections, as the system's copy or a damaged one may hold them.

#include "usbip/usbdatabase.h"

#include <QDir>
#include <QTemporaryFile>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The database reads a file; one file serves every input. In memory where the system has
    // such a folder: on a disk the writes, not the parsing, would take most of the time.
    static QTemporaryFile file(QDir(QStringLiteral("/dev/shm")).exists()
                                   ? QStringLiteral("/dev/shm/zel-fuzz-usbids-XXXXXX")
                                   : QDir::tempPath() + QStringLiteral("/zel-fuzz-usbids-XXXXXX"));
    if (!file.isOpen() && !file.open())
        __builtin_trap();
    file.resize(0);
    file.seek(0);
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.flush();

    UsbDatabase database = UsbDatabase::empty();
    if (!database.load(file.fileName()))
        __builtin_trap(); // the file is there and readable
    database.getVendorName(0x1d6b);
    database.getDeviceName(0x1d6b, 0x0002);
    if (database.getVendorCount() < 0 || database.getItemCount() < 0)
        __builtin_trap();
    return 0;
}
