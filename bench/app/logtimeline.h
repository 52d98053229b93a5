#pragma once

#include <string>
#include <vector>

// Log lines "2026-12-09T06:42:18.290 INFO  [file:line] message" with their own time stamps,
// searchable by the start of the message.
class LogTimeline
{
public:
    struct Entry
    {
        double stampMs;
        std::string message;
    };

    void add(const std::string &line);
    void clear() { m_entries.clear(); }
    const std::vector<Entry> &entries() const { return m_entries; }

    // Stamp of the first entry at or after fromMs whose message starts with prefix (and holds
    // also, when given); negative when there is none.
    double first(const std::string &prefix, double fromMs = 0, const std::string &also = std::string()) const;
    double last(const std::string &prefix, const std::string &also = std::string()) const;
    // The message itself, empty when there is none.
    std::string firstMessage(const std::string &prefix, double fromMs = 0) const;

private:
    std::vector<Entry> m_entries;
};
