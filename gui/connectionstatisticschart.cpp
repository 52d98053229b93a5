#include "connectionstatisticschart.h"

#include "backends/zelnxbackend.h"

#include <QAreaSeries>
#include <QDateTimeAxis>
#include <QLineSeries>
#include <QPen>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

using namespace QtCharts;

namespace {
// The value axis never spans less than this many KiB/s either way.
constexpr double minimumPeak = 32.0;
}

ConnectionStatisticsChart::ConnectionStatisticsChart(QGraphicsItem *parent, Qt::WindowFlags wFlags)
    : QChart(QChart::ChartTypeCartesian, parent, wFlags)
    , m_downloadLine(new QLineSeries(this))
    , m_uploadLine(new QLineSeries(this))
    , m_zeroLine(new QLineSeries(this))
    , m_downloadArea(new QAreaSeries(m_downloadLine, m_zeroLine))
    , m_uploadArea(new QAreaSeries(m_zeroLine, m_uploadLine))
    , m_timeAxis(new QDateTimeAxis)
    , m_valueAxis(new QValueAxis)
{
    connect(&m_updateTimer, &QTimer::timeout, this, &ConnectionStatisticsChart::updateChart);

    m_downloadLine->setName(tr("Download"));
    m_downloadLine->setPen(QPen(Qt::red, 1));
    m_uploadLine->setName(tr("Upload"));
    m_uploadLine->setPen(QPen(Qt::blue, 1));

    m_downloadArea->setName(tr("Download"));
    m_downloadArea->setPen(QPen(Qt::red));
    m_uploadArea->setName(tr("Upload"));
    m_uploadArea->setPen(QPen(Qt::blue));

    m_timeAxis->setFormat(QStringLiteral("h:mm:ss"));
    m_timeAxis->setTickCount(6);
    m_timeAxis->setTitleText(tr("Time"));

    m_valueAxis->setRange(-16, 16);
    m_valueAxis->setLabelFormat(QStringLiteral("%d"));
    m_valueAxis->setTickCount(10);
    m_valueAxis->setTitleText(tr("KiB/s"));

    setTitle(tr("Bandwidth usage"));
    setAnimationOptions(QChart::NoAnimation);

    // Only the areas are drawn, on both axes; the lines are their edges and are placed with
    // them (a series outside the chart cannot take axes of its own).
    addSeries(m_downloadArea);
    addSeries(m_uploadArea);
    addAxis(m_timeAxis, Qt::AlignBottom);
    addAxis(m_valueAxis, Qt::AlignLeft);
    for (QAbstractSeries *series : {m_downloadArea, m_uploadArea}) {
        series->attachAxis(m_timeAxis);
        series->attachAxis(m_valueAxis);
    }
}

ConnectionStatisticsChart::~ConnectionStatisticsChart()
{
    disconnectBackend();
}

void ConnectionStatisticsChart::setBackend(ZELNXBackend *backend)
{
    disconnectBackend();
    m_backend = backend;
    if (backend)
        connect(backend, &ZELBackend::totalTrafficIncrement, this, &ConnectionStatisticsChart::backendTraffic);

    resizePeakHistory();
    m_startTime = QDateTime::currentDateTimeUtc();
    m_inAverage.setWindow(5 * m_updateInterval);
    m_outAverage.setWindow(5 * m_updateInterval);
    m_updateTimer.start(m_updateInterval);

    const QDateTime now = QDateTime::currentDateTime();
    m_timeAxis->setRange(now, now.addSecs(m_timeSpan));
}

ZELNXBackend *ConnectionStatisticsChart::backend() const
{
    return m_backend.data();
}

void ConnectionStatisticsChart::stop()
{
    disconnectBackend();
    m_updateTimer.stop();
    m_backend.clear();
}

void ConnectionStatisticsChart::clear()
{
    for (QLineSeries *line : {m_downloadLine, m_uploadLine, m_zeroLine})
        line->clear();
    m_inAverage = TrafficAverage(m_inAverage.window());
    m_outAverage = TrafficAverage(m_outAverage.window());
    resizePeakHistory();
    m_currentPeak = 0;
    m_valueAxis->setRange(-minimumPeak, minimumPeak);   // the least the chart ever shows
}

void ConnectionStatisticsChart::disconnectBackend()
{
    if (m_backend)
        disconnect(m_backend.data(), &ZELBackend::totalTrafficIncrement, this, &ConnectionStatisticsChart::backendTraffic);
}

void ConnectionStatisticsChart::resizePeakHistory()
{
    const int entries = m_timeSpan * (1000 / m_updateInterval);
    m_peakHistory.assign(std::size_t(std::max(entries, 1)), 0.0);
    m_ringPosition = 0;
}

void ConnectionStatisticsChart::backendTraffic(int64_t in, int64_t out)
{
    m_inAverage.add(in);
    m_outAverage.add(out);
}

void ConnectionStatisticsChart::updateChart()
{
    const QDateTime now = QDateTime::currentDateTime();
    const qreal x = qreal(now.toMSecsSinceEpoch());
    const double down = m_inAverage.average() / 1024.0;
    const double up = m_outAverage.average() / 1024.0;

    m_downloadLine->append(x, down);
    m_uploadLine->append(x, -up);
    m_zeroLine->append(x, 0);
    for (QLineSeries *line : {m_downloadLine, m_uploadLine, m_zeroLine}) {
        const int excess = line->count() - m_pointLimit;
        if (excess > 0)
            line->removePoints(0, excess);
    }

    // Called before any backend was set, the history has no slots yet.
    if (m_peakHistory.empty())
        resizePeakHistory();
    m_peakHistory[m_ringPosition % m_peakHistory.size()] = std::max(down, up);
    m_ringPosition = (m_ringPosition + 1) % m_peakHistory.size();

    m_currentPeak = std::max(*std::max_element(m_peakHistory.begin(), m_peakHistory.end()), minimumPeak);
    const double halfRange = std::pow(2.0, std::ceil(std::log2(m_currentPeak)));
    m_valueAxis->setRange(-halfRange, halfRange);

    m_timeAxis->setRange(now.addSecs(-m_timeSpan), now);
}
