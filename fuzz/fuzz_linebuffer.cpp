// Process output split into lines: the input is cut into chunks at every zero-valued byte
// that follows a length byte, so that line ends fall across chunk borders in every way.

#include "linebuffer.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineBuffer buffer;
    size_t position = 0;
    while (position < size) {
        const size_t chunk = 1 + data[position] % 64;
        const size_t start = position + 1;
        const size_t end = start + chunk < size ? start + chunk : size;
        buffer.add(QByteArray(reinterpret_cast<const char *>(data) + start, int(end - start)));
        position = end;
        if (data[start - 1] & 0x80) {
            while (buffer.hasLine())
                buffer.getLine();
        }
        buffer.hasPartialLine();
        buffer.getPartialLine();
    }
    const int waiting = buffer.count();
    for (int i = 0; i < waiting; ++i)
        buffer.getLine();
    if (buffer.hasLine())
        __builtin_trap(); // count() promised every waiting line
    return 0;
}
