#include "mainwindow.h"

#include <QLabel>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_serverLabel(new QLabel(this))
{
    setWindowTitle(tr("ZEL Client"));
    m_serverLabel->setAlignment(Qt::AlignCenter);
    m_serverLabel->setMargin(24);
    setCentralWidget(m_serverLabel);
}

void MainWindow::setConnectionParms(const ZELConnectionParameters &parameters)
{
    m_parameters = parameters;
    if (parameters.host().isEmpty())
        m_serverLabel->setText(tr("No server configured."));
    else
        m_serverLabel->setText(tr("Server: %1:%2").arg(parameters.host()).arg(parameters.port()));
}

void MainWindow::setExperimental(bool experimental)
{
    m_experimental = experimental;
}
