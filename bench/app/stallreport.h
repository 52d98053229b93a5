#pragma once

#include <string>
#include <vector>

// What the stall watch (stallwatch.cpp) noted in one run of the client: each time the window's
// thread was held up, when it began, for how long, and how much of the time the thread was
// blocked, waiting for something, rather than running or waiting for a processor.
class StallReport
{
public:
    struct Stall
    {
        double startMs;
        double lengthMs;
        double blockedMs;
    };

    // Reads the watch's file; an absent file is an empty report.
    bool read(const std::string &path);
    bool empty() const { return m_stalls.empty(); }

    // The stalls that began within [fromMs, toMs] and lasted longer than overMs.
    int count(double fromMs, double toMs, double overMs) const;
    // The longest hold-up that began within [fromMs, toMs]; 0 when there was none.
    double longest(double fromMs, double toMs) const;
    // The longest time blocked within one hold-up that began within [fromMs, toMs].
    double longestBlocked(double fromMs, double toMs) const;

private:
    // The largest value of field among the stalls that began within [fromMs, toMs]; 0 when
    // none did.
    double longestOf(double Stall::*field, double fromMs, double toMs) const;

    std::vector<Stall> m_stalls;
};
