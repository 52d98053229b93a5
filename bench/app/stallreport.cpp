#include "stallreport.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

bool StallReport::read(const std::string &path)
{
    m_stalls.clear();
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        Stall stall{};
        double running = 0, queued = 0;
        const int fields = std::sscanf(line.c_str(), "late %lf %lf %lf %lf %lf", &stall.startMs, &stall.lengthMs, &running,
                                       &queued, &stall.blockedMs);
        if (fields >= 2)
            m_stalls.push_back(stall);
    }
    return true;
}

int StallReport::count(double fromMs, double toMs, double overMs) const
{
    return int(std::count_if(m_stalls.begin(), m_stalls.end(), [=](const Stall &stall) {
        return stall.startMs >= fromMs && stall.startMs <= toMs && stall.lengthMs > overMs;
    }));
}

double StallReport::longest(double fromMs, double toMs) const
{
    return longestOf(&Stall::lengthMs, fromMs, toMs);
}

double StallReport::longestBlocked(double fromMs, double toMs) const
{
    return longestOf(&Stall::blockedMs, fromMs, toMs);
}

double StallReport::longestOf(double Stall::*field, double fromMs, double toMs) const
{
    double longest = 0;
    for (const Stall &stall : m_stalls) {
        if (stall.startMs >= fromMs && stall.startMs <= toMs)
            longest = std::max(longest, stall.*field);
    }
    return longest;
}
