#pragma once

#include "trafficaverage.h"

#include <QChart>
#include <QDateTime>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <vector>

QT_CHARTS_BEGIN_NAMESPACE
class QAreaSeries;
class QDateTimeAxis;
class QLineSeries;
class QValueAxis;
QT_CHARTS_END_NAMESPACE

class ZELNXBackend;

// Live plot of a connection's traffic: download above the zero line and upload below it, in
// KiB/s, over the last 30 seconds. The value axis spans a power of two that covers the
// highest rate of the last 30 seconds, never less than 32 KiB/s.
class ConnectionStatisticsChart : public QtCharts::QChart
{
    Q_OBJECT

public:
    explicit ConnectionStatisticsChart(QGraphicsItem *parent = nullptr, Qt::WindowFlags wFlags = Qt::WindowFlags());
    ~ConnectionStatisticsChart() override;

    // Follows the given backend's traffic from now on (and stops following the previous one).
    void setBackend(ZELNXBackend *backend);
    // Stops following the backend and stops updating; the plotted points stay. Safe to call
    // at any time, also after the backend is gone.
    void stop();
    // Forgets what was plotted, for a new connection.
    void clear();

    bool isRunning() const { return m_updateTimer.isActive(); }
    // The backend followed now; null when none was set, after stop() or once it was deleted.
    ZELNXBackend *backend() const;

    QtCharts::QLineSeries *downloadSeries() const { return m_downloadLine; }
    QtCharts::QLineSeries *uploadSeries() const { return m_uploadLine; }
    QtCharts::QLineSeries *zeroSeries() const { return m_zeroLine; }
    QtCharts::QValueAxis *valueAxis() const { return m_valueAxis; }
    QtCharts::QDateTimeAxis *timeAxis() const { return m_timeAxis; }

public slots:
    void updateChart();

private slots:
    void backendTraffic(int64_t in, int64_t out);

private:
    void resizePeakHistory();
    void disconnectBackend();

    QTimer m_updateTimer;
    QtCharts::QLineSeries *m_downloadLine;
    QtCharts::QLineSeries *m_uploadLine;
    QtCharts::QLineSeries *m_zeroLine;
    QtCharts::QAreaSeries *m_downloadArea;
    QtCharts::QAreaSeries *m_uploadArea;
    QtCharts::QDateTimeAxis *m_timeAxis;
    QtCharts::QValueAxis *m_valueAxis;
    int m_updateInterval = 250;
    int m_pointLimit = 240;
    QDateTime m_startTime;
    // Guarded: the backend of an attempt may be deleted before the chart is told to stop.
    QPointer<ZELNXBackend> m_backend;
    TrafficAverage m_inAverage{100};
    TrafficAverage m_outAverage{100};
    double m_currentPeak = 0;
    int m_timeSpan = 30;
    std::vector<double> m_peakHistory;
    unsigned m_ringPosition = 0;
};
