#include "logtimeline.h"

#include "benchclock.h"

void LogTimeline::add(const std::string &line)
{
    const double stamp = BenchClock::parseLogStamp(line);
    if (stamp < 0)
        return;
    // The client's lines carry "[file:line] ", the broker's "info: ".
    size_t start = line.find("] ");
    const size_t info = line.find(" info: ");
    if (start == std::string::npos || (info != std::string::npos && info < start))
        start = info == std::string::npos ? std::string::npos : info + 5;
    if (start == std::string::npos)
        return;
    m_entries.push_back({stamp, line.substr(start + 2)});
}

double LogTimeline::first(const std::string &prefix, double fromMs, const std::string &also) const
{
    for (const Entry &entry : m_entries) {
        if (entry.stampMs >= fromMs && entry.message.compare(0, prefix.size(), prefix) == 0
            && (also.empty() || entry.message.find(also) != std::string::npos))
            return entry.stampMs;
    }
    return -1;
}

double LogTimeline::last(const std::string &prefix, const std::string &also) const
{
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
        if (it->message.compare(0, prefix.size(), prefix) == 0
            && (also.empty() || it->message.find(also) != std::string::npos))
            return it->stampMs;
    }
    return -1;
}

std::string LogTimeline::firstMessage(const std::string &prefix, double fromMs) const
{
    for (const Entry &entry : m_entries) {
        if (entry.stampMs >= fromMs && entry.message.compare(0, prefix.size(), prefix) == 0)
            return entry.message;
    }
    return std::string();
}
