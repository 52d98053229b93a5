#pragma once

#include <QDialog>
#include <QPointer>

class ConnectionStatisticsChart;
class ZELNXBackend;

namespace QtCharts {
class QChartView;
}

namespace Ui {
class ConnectionStatistics;
}

// Window with the live bandwidth chart of the running connection. The chart follows the
// connection only while the window is shown, and starts empty for each connection.
class ConnectionStatistics : public QDialog
{
    Q_OBJECT

public:
    explicit ConnectionStatistics(QWidget *parent = nullptr);
    ~ConnectionStatistics() override;

    void setBackend(ZELNXBackend *backend);
    void stop();

    ConnectionStatisticsChart *chart() const { return m_chart; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    Ui::ConnectionStatistics *ui;
    ConnectionStatisticsChart *m_chart;
    QtCharts::QChartView *m_chartView;
    // The backend of the running connection; it may go before stop() is called.
    QPointer<ZELNXBackend> m_backend;
};
