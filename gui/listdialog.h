#pragma once

#include "zelclient.h"

#include <QDialog>
#include <QList>

class QTreeWidgetItem;

namespace Ui {
class ListDialog;
}

// Lets the user pick one of the virtual machines the broker listed. The dialog's result code
// is the chosen VM id, or 0 when the user cancels or nothing is chosen.
class ListDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ListDialog(QWidget *parent = nullptr);
    ~ListDialog() override;

    // Shows the VMs in list order and preselects the last running one, or the first one
    // when none runs.
    void setVMList(const QList<ZELClient::VMInfo> &vm_list);

    // The VM id that Connect would return right now (0: none).
    int chosenId() const { return m_chosenId; }

public slots:
    void IsItemClicked();

private slots:
    void connect_vm();
    void cancel_connect();
    void connectItem(QTreeWidgetItem *item);

private:
    static QString stateText(int state);

    Ui::ListDialog *ui;
    // Belongs to this dialog alone: a new dialog starts with no choice.
    int m_chosenId = 0;
};
