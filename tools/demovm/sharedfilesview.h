#pragma once

#include <QLabel>
#include <QString>
#include <QTimer>

// The demo VM's desktop: shows, in large type, the files the VM's slave service has seen in
// each folder the client shares, as the service notes them in its list file. The list is read
// again twice a second, so folders shared after the desktop came up appear as they arrive.
class SharedFilesView : public QLabel
{
    Q_OBJECT

public:
    explicit SharedFilesView(const QString &listPath, QWidget *parent = nullptr);

private:
    void refresh();

    QString m_listPath;
    QString m_shown;
    QTimer m_timer;
};
