#include "connectionstatistics.h"
#include "ui_connectionstatistics.h"

#include "backends/zelnxbackend.h"
#include "connectionstatisticschart.h"

#include <QChartView>
#include <QPainter>

ConnectionStatistics::ConnectionStatistics(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::ConnectionStatistics)
    , m_chart(new ConnectionStatisticsChart)
{
    ui->setupUi(this);
    // The view takes the chart over and deletes it with itself.
    m_chartView = new QtCharts::QChartView(m_chart, ui->graphFrame);
    m_chartView->setRenderHint(QPainter::Antialiasing);
    ui->graphLayout->addWidget(m_chartView);
}

ConnectionStatistics::~ConnectionStatistics()
{
    delete ui;
}

void ConnectionStatistics::setBackend(ZELNXBackend *backend)
{
    m_backend = backend;
    m_chart->stop();
    m_chart->clear();
    if (isVisible())
        m_chart->setBackend(backend);
}

void ConnectionStatistics::stop()
{
    m_backend.clear();
    m_chart->stop();
}

void ConnectionStatistics::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_backend)
        m_chart->setBackend(m_backend);
}

void ConnectionStatistics::hideEvent(QHideEvent *event)
{
    // Nobody looks at the chart: it need not follow every chunk of the tunnel.
    m_chart->stop();
    QDialog::hideEvent(event);
}
