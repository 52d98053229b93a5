#pragma once

#include <string>

// Wall-clock time in milliseconds since the epoch, with sub-millisecond precision: the
// program's log stamps its lines with the wall clock, so every time here uses it too.
class BenchClock
{
public:
    static double nowMs();
    // "2026-12-09T06:42:18.290" (local time, as the log writes it) -> ms since the epoch;
    // negative when the text is no such stamp.
    static double parseLogStamp(const std::string &text);
    static void sleepMs(double ms);
};
