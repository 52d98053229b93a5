#pragma once

#include <QDateTime>
#include <QList>

#include <cstdint>

// Byte rate over a sliding time window. Each count is stamped with the time it was added;
// the average is the sum of the counts still inside the window divided by the full window
// length, so a window that has only just started reads low rather than jumpy.
class TrafficAverage
{
public:
    explicit TrafficAverage(int windowMs = 1000);

    int window() const { return m_windowMs; }
    // A new length applies to the samples already held as well.
    void setWindow(int windowMs);

    void add(int64_t bytes);
    void add(int64_t bytes, const QDateTime &nowUtc);

    // Bytes per second.
    double average();
    double average(const QDateTime &nowUtc);

    // Samples currently inside the window.
    int sampleCount() const { return m_samples.size(); }
    void clear();

private:
    struct Sample {
        QDateTime time;
        int64_t bytes;
    };

    void expire(const QDateTime &nowUtc);

    QList<Sample> m_samples;
    int64_t m_sum = 0;
    int m_windowMs;
};
