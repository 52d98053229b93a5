#include "benchclock.h"

#include <cstdio>
#include <ctime>

double BenchClock::nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

double BenchClock::parseLogStamp(const std::string &text)
{
    if (text.size() < 23 || text[10] != 'T' || text[19] != '.')
        return -1;
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &ms)
        != 7)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&tm);
    if (seconds == std::time_t(-1))
        return -1;
    return double(seconds) * 1000.0 + ms;
}

void BenchClock::sleepMs(double ms)
{
    if (ms <= 0)
        return;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms - double(ts.tv_sec) * 1000) * 1e6);
    nanosleep(&ts, nullptr);
}
