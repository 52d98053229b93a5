#include "trafficaverage.h"

TrafficAverage::TrafficAverage(int windowMs)
    : m_windowMs(windowMs)
{
}

void TrafficAverage::setWindow(int windowMs)
{
    m_windowMs = windowMs;
}

void TrafficAverage::add(int64_t bytes)
{
    add(bytes, QDateTime::currentDateTimeUtc());
}

void TrafficAverage::add(int64_t bytes, const QDateTime &nowUtc)
{
    m_samples.append({nowUtc, bytes});
    m_sum += bytes;
    expire(nowUtc);
}

double TrafficAverage::average()
{
    return average(QDateTime::currentDateTimeUtc());
}

double TrafficAverage::average(const QDateTime &nowUtc)
{
    expire(nowUtc);
    // A zero or negative window has no length to divide by; nothing is inside it either.
    if (m_windowMs <= 0)
        return 0.0;
    return double(m_sum) / (m_windowMs / 1000.0);
}

void TrafficAverage::clear()
{
    m_samples.clear();
    m_sum = 0;
}

void TrafficAverage::expire(const QDateTime &nowUtc)
{
    const QDateTime oldest = nowUtc.addMSecs(-qint64(m_windowMs));
    while (!m_samples.isEmpty() && m_samples.constFirst().time < oldest) {
        m_sum -= m_samples.constFirst().bytes;
        m_samples.removeFirst();
    }
}
