#include "listdialog.h"
#include "ui_listdialog.h"

#include <QDebug>
#include <QPushButton>
#include <QTreeWidgetItem>

ListDialog::ListDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::ListDialog)
{
    ui->setupUi(this);
    // The state and the block explain which VM is preselected and which one may not start.
    ui->VMList->setHeaderLabels({tr("ID"), tr("Name"), tr("State"), tr("Blocked")});
    ui->VMList->setHeaderHidden(false);

    connect(ui->VMList->selectionModel(), &QItemSelectionModel::selectionChanged, this, &ListDialog::IsItemClicked);
    // Double-click or Return on a row connects that VM.
    connect(ui->VMList, &QTreeWidget::itemActivated, this, &ListDialog::connectItem);
    // The buttons end the dialog themselves, with the final result, so that finished() and the
    // modal run both carry the chosen id and finished() comes once.
    connect(ui->buttonBox->button(QDialogButtonBox::Ok), &QPushButton::clicked, this, &ListDialog::connect_vm);
    connect(ui->buttonBox->button(QDialogButtonBox::Cancel), &QPushButton::clicked, this, &ListDialog::cancel_connect);

    ui->buttonBox->button(QDialogButtonBox::Ok)->setText(tr("Connect"));
    ui->buttonBox->button(QDialogButtonBox::Cancel)->setText(tr("Cancel"));
}

ListDialog::~ListDialog()
{
    delete ui;
}

void ListDialog::setVMList(const QList<ZELClient::VMInfo> &vm_list)
{
    ui->VMList->clear();
    m_chosenId = 0;

    QTreeWidgetItem *preselected = nullptr;
    for (const ZELClient::VMInfo &vm : vm_list) {
        auto *item = new QTreeWidgetItem(ui->VMList);
        item->setData(0, Qt::DisplayRole, vm.id);
        item->setData(1, Qt::DisplayRole, vm.name);
        item->setText(2, stateText(vm.state));
        item->setText(3, vm.blocked ? tr("Yes") : tr("No"));
        item->setExpanded(true);
        // Running VMs are the likely choice: the last running one wins, else the first.
        if (!preselected || vm.state == 2)
            preselected = item;
    }

    if (preselected) {
        ui->VMList->setCurrentItem(preselected);
        m_chosenId = preselected->data(0, Qt::DisplayRole).toInt();
        qDebug().nospace() << "Preselected VM id " << m_chosenId;
    }
    for (int column = 0; column < ui->VMList->columnCount(); ++column)
        ui->VMList->resizeColumnToContents(column);
}

QString ListDialog::stateText(int state)
{
    switch (state) {
    case 0:
        return tr("Stopped");
    case 1:
        return tr("Starting");
    case 2:
        return tr("Running");
    }
    return tr("Unknown");
}

void ListDialog::connectItem(QTreeWidgetItem *item)
{
    m_chosenId = item->data(0, Qt::DisplayRole).toInt();
    qDebug().nospace() << "Activated VM id " << m_chosenId;
    done(m_chosenId);
}

void ListDialog::IsItemClicked()
{
    const QList<QTreeWidgetItem *> selected = ui->VMList->selectedItems();
    // Nothing selected means nothing to connect, not the previous row.
    int chosen = 0;
    for (QTreeWidgetItem *item : selected) {
        chosen = item->text(0).toInt();
        qDebug().nospace() << "Selected VM id " << chosen;
    }
    m_chosenId = chosen;
}

void ListDialog::connect_vm()
{
    qDebug() << "(connect_vm) Conectar a la vm seleccionada";
    done(m_chosenId);
}

void ListDialog::cancel_connect()
{
    qDebug() << "(cancel_connect) Cancelar conexión";
    done(0);
}
