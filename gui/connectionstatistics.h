#pragma once

#include <QDialog>

class ConnectionStatisticsChart;
class ZELNXBackend;

namespace QtCharts {
class QChartView;
}

namespace Ui {
class ConnectionStatistics;
}

// Window with the live bandwidth chart of the running connection.
class ConnectionStatistics : public QDialog
{
    Q_OBJECT

public:
    explicit ConnectionStatistics(QWidget *parent = nullptr);
    ~ConnectionStatistics() override;

    void setBackend(ZELNXBackend *backend);
    void stop();

    ConnectionStatisticsChart *chart() const { return m_chart; }

private:
    Ui::ConnectionStatistics *ui;
    ConnectionStatisticsChart *m_chart;
    QtCharts::QChartView *m_chartView;
};
