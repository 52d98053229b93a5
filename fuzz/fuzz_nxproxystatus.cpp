// nxproxy's standard error as the NX backend reads it: status lines that announce channels,
// ports, sockets and the session's progress, in arbitrary chunks.

#include "backends/zelnxbackend.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One backend for all inputs: making one looks for the X server program. Its line
    // buffer carries over from input to input, as it would over a long session.
    static ZELNXBackend backend;
    // Chunks end after every '#', so that lines are cut at arbitrary places.
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    int start = 0;
    while (start < input.size()) {
        int end = input.indexOf('#', start);
        end = end < 0 ? input.size() : end + 1;
        backend.parseStandardError(input.mid(start, end - start));
        start = end;
    }
    return 0;
}
