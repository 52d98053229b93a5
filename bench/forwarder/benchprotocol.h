#pragma once

#include <QtGlobal>

#include <cstring>

// What the benchmark client asks the TLS endpoint for: one command byte and a little-endian
// 64-bit count, sent once at the start of a connection.
namespace BenchProtocol {

enum Command : char {
    Upload = 'U',     // the client sends count bytes; the endpoint answers Done when it has them all
    SlowUpload = 'S', // the same, but the endpoint reads slowly
    Download = 'D',   // the endpoint sends count bytes
    PingPong = 'P',   // the endpoint echoes every byte
};

constexpr char Done = 'K';
constexpr int HeaderSize = 9;
// How fast the slow endpoint reads: this many bytes per tick.
constexpr qint64 SlowBytesPerTick = 64 * 1024;
constexpr int SlowTickMs = 2;

inline void encodeHeader(char *out, Command command, qint64 count)
{
    out[0] = command;
    for (int i = 0; i < 8; ++i)
        out[1 + i] = static_cast<char>((quint64(count) >> (8 * i)) & 0xff);
}

inline qint64 decodeCount(const char *header)
{
    quint64 count = 0;
    for (int i = 0; i < 8; ++i)
        count |= quint64(quint8(header[1 + i])) << (8 * i);
    return qint64(count);
}

} // namespace BenchProtocol
