#include "connectionstatistics.h"
#include "ui_connectionstatistics.h"

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
    m_chart->setBackend(backend);
}

void ConnectionStatistics::stop()
{
    m_chart->stop();
}
