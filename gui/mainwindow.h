#pragma once

#include "zelconnectionparameters.h"

#include <QMainWindow>

class QLabel;

// The login window. For now it only shows where it will connect to.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);

    void setConnectionParms(const ZELConnectionParameters &parameters);
    void setExperimental(bool experimental);

private:
    QLabel *m_serverLabel;
    ZELConnectionParameters m_parameters;
    bool m_experimental = false;
};
