#include "listdialog.h"
#include "testenvironment.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTranslator>
#include <QTreeWidget>
#include <QLayout>
#include <QtTest>

Q_DECLARE_METATYPE(QList<ZELClient::VMInfo>)

namespace {

ZELClient::VMInfo vm(int id, const QString &name, int state, bool blocked = false)
{
    ZELClient::VMInfo info;
    info.id = id;
    info.name = name;
    info.state = state;
    info.blocked = blocked;
    return info;
}

QTreeWidget *tree(ListDialog &dialog)
{
    return dialog.findChild<QTreeWidget *>(QStringLiteral("VMList"));
}

QPushButton *button(ListDialog &dialog, QDialogButtonBox::StandardButton which)
{
    auto *box = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    return box ? box->button(which) : nullptr;
}

// Runs the dialog modally; once its event loop runs, does what the user does.
int runModal(ListDialog &dialog, const std::function<void()> &userAction)
{
    QTimer::singleShot(0, &dialog, [&dialog, userAction] {
        if (!dialog.isVisible())
            qWarning("The dialog is not shown");
        userAction();
    });
    return dialog.exec();
}

} // namespace

class TestListDialog : public QObject
{
    Q_OBJECT

private slots:
    void form();
    void preselection_data();
    void preselection();
    void connectYieldsChosenId();
    void ending_data();
    void ending();
    void stateAndBlockShown();
    void activatingARowConnectsIt_data();
    void activatingARowConnectsIt();
    void emptyListAfterEarlierChoice();
    void selectingAnotherRow();
    void clearedSelectionChoosesNothing();
    void refilling();
    void spanish();

private:
    TestEnvironment m_environment;
};


void TestListDialog::form()
{
    ListDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Select your VM"));
    QTreeWidget *list = tree(dialog);
    QVERIFY(list);
    QCOMPARE(list->frameShadow(), QFrame::Sunken);
    QVERIFY(dialog.findChild<QLayout *>(QStringLiteral("gridLayout")));
    auto *box = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    QVERIFY(box);
    QCOMPARE(box->orientation(), Qt::Horizontal);
    QVERIFY(!box->centerButtons());
    QCOMPARE(box->buttons().size(), 2);
    QCOMPARE(button(dialog, QDialogButtonBox::Ok)->text(), QStringLiteral("Connect"));
    QCOMPARE(button(dialog, QDialogButtonBox::Cancel)->text(), QStringLiteral("Cancel"));
    QCOMPARE(dialog.chosenId(), 0);
}

void TestListDialog::preselection_data()
{
    QTest::addColumn<QList<ZELClient::VMInfo>>("vms");
    QTest::addColumn<int>("expectedId");
    QTest::addColumn<int>("expectedRow");

    QTest::newRow("second of three running")
        << QList<ZELClient::VMInfo>{vm(11, "alpha", 0), vm(22, "beta", 2), vm(33, "gamma", 1)} << 22 << 1;
    QTest::newRow("none running") << QList<ZELClient::VMInfo>{vm(11, "alpha", 0), vm(22, "beta", 1)} << 11 << 0;
    QTest::newRow("last running wins")
        << QList<ZELClient::VMInfo>{vm(5, "a", 2), vm(6, "b", 0), vm(7, "c", 2), vm(8, "d", 3)} << 7 << 2;
    QTest::newRow("first running") << QList<ZELClient::VMInfo>{vm(9, "a", 2), vm(10, "b", 0)} << 9 << 0;
    QTest::newRow("empty") << QList<ZELClient::VMInfo>() << 0 << -1;
}

void TestListDialog::preselection()
{
    QFETCH(QList<ZELClient::VMInfo>, vms);
    QFETCH(int, expectedId);
    QFETCH(int, expectedRow);

    ListDialog dialog;
    dialog.setVMList(vms);
    QCOMPARE(dialog.chosenId(), expectedId);

    QTreeWidget *list = tree(dialog);
    QCOMPARE(list->topLevelItemCount(), vms.size());
    for (int row = 0; row < vms.size(); ++row) {
        QTreeWidgetItem *item = list->topLevelItem(row);
        QCOMPARE(item->data(0, Qt::DisplayRole).userType(), int(QMetaType::Int));
        QCOMPARE(item->data(0, Qt::DisplayRole).toInt(), vms.at(row).id);
        QCOMPARE(item->text(1), vms.at(row).name);
        QCOMPARE(item->isSelected(), row == expectedRow);
    }
    QCOMPARE(list->selectedItems().size(), expectedRow < 0 ? 0 : 1);
}

void TestListDialog::connectYieldsChosenId()
{
    ListDialog dialog;
    dialog.setVMList({vm(11, "alpha", 0), vm(22, "beta", 2), vm(33, "gamma", 1)});
    QSignalSpy finished(&dialog, &QDialog::finished);
    QVERIFY(finished.isValid());

    const int result = runModal(dialog, [&dialog] { button(dialog, QDialogButtonBox::Ok)->click(); });
    QCOMPARE(result, 22);
    QCOMPARE(dialog.result(), 22);
    QVERIFY(!dialog.isVisible());
    // Exactly one end, carrying the id itself.
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), 22);
}

void TestListDialog::ending_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel button") << QStringLiteral("cancel");
    QTest::newRow("window frame") << QStringLiteral("close");
    QTest::newRow("escape key") << QStringLiteral("escape");
}

void TestListDialog::ending()
{
    QFETCH(QString, how);

    ListDialog dialog;
    dialog.setVMList({vm(11, "alpha", 2), vm(22, "beta", 0)});
    QCOMPARE(dialog.chosenId(), 11);
    QSignalSpy finished(&dialog, &QDialog::finished);
    QVERIFY(finished.isValid());

    const int result = runModal(dialog, [&dialog, how] {
        if (how == QLatin1String("cancel"))
            button(dialog, QDialogButtonBox::Cancel)->click();
        else if (how == QLatin1String("close"))
            dialog.close();
        else
            QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    QCOMPARE(result, 0);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), 0);
}

// Each row tells its VM's state and whether it is blocked, under a visible header, so that the
// preselection explains itself.
void TestListDialog::stateAndBlockShown()
{
    ListDialog dialog;
    dialog.setVMList({vm(1, "a", 0), vm(2, "b", 1), vm(3, "c", 2, true), vm(4, "d", 2)});
    QTreeWidget *list = tree(dialog);
    QVERIFY(!list->isHeaderHidden());
    int stateColumn = -1;
    int blockedColumn = -1;
    for (int column = 2; column < list->columnCount(); ++column) {
        const QString a = list->topLevelItem(0)->text(column);
        if (a != list->topLevelItem(1)->text(column) && list->topLevelItem(2)->text(column) == list->topLevelItem(3)->text(column))
            stateColumn = column;
        if (list->topLevelItem(2)->text(column) != list->topLevelItem(3)->text(column) && a == list->topLevelItem(3)->text(column))
            blockedColumn = column;
    }
    QVERIFY2(stateColumn > 0, "no column tells stopped, starting and running apart");
    QVERIFY2(blockedColumn > 0, "no column tells a blocked VM apart");
    QVERIFY(list->topLevelItem(1)->text(stateColumn) != list->topLevelItem(2)->text(stateColumn));
    for (int row = 0; row < 4; ++row)
        QVERIFY(!list->topLevelItem(row)->text(stateColumn).isEmpty());
}

void TestListDialog::activatingARowConnectsIt_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("double-click") << QStringLiteral("double-click");
    QTest::newRow("return") << QStringLiteral("return");
    QTest::newRow("keypad enter") << QStringLiteral("enter");
}

void TestListDialog::activatingARowConnectsIt()
{
    QFETCH(QString, how);
    ListDialog dialog;
    dialog.setVMList({vm(11, "alpha", 2), vm(22, "beta", 0), vm(33, "gamma", 0)});
    QSignalSpy finished(&dialog, &QDialog::finished);
    const int result = runModal(dialog, [&dialog, how] {
        QTreeWidget *list = tree(dialog);
        QTreeWidgetItem *third = list->topLevelItem(2);
        if (how == QLatin1String("double-click")) {
            const QPoint at = list->visualItemRect(third).center();
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        } else {
            list->setFocus();
            list->setCurrentItem(third);
            QTest::keyClick(list, how == QLatin1String("return") ? Qt::Key_Return : Qt::Key_Enter,
                            how == QLatin1String("return") ? Qt::NoModifier : Qt::KeypadModifier);
        }
    });
    QCOMPARE(result, 33);
    QVERIFY(!dialog.isVisible());
    QVERIFY(!finished.isEmpty());
    QCOMPARE(finished.last().at(0).toInt(), 33);
}

void TestListDialog::emptyListAfterEarlierChoice()
{
    {
        ListDialog earlier;
        earlier.setVMList({vm(7, "seven", 2)});
        QCOMPARE(runModal(earlier, [&earlier] { button(earlier, QDialogButtonBox::Ok)->click(); }), 7);
    }

    // A new list, empty: Connect must not bring back the VM of the earlier list.
    ListDialog dialog;
    dialog.setVMList({});
    QCOMPARE(tree(dialog)->topLevelItemCount(), 0);
    QCOMPARE(runModal(dialog, [&dialog] { button(dialog, QDialogButtonBox::Ok)->click(); }), 0);

    // Also when the same dialog is refilled with nothing.
    ListDialog reused;
    reused.setVMList({vm(8, "eight", 0)});
    reused.setVMList({});
    QCOMPARE(reused.chosenId(), 0);
}

void TestListDialog::selectingAnotherRow()
{
    ListDialog dialog;
    dialog.setVMList({vm(11, "alpha", 2), vm(22, "beta", 0), vm(33, "gamma", 0)});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QTreeWidget *list = tree(dialog);
    const QRect third = list->visualItemRect(list->topLevelItem(2));
    QVERIFY(third.isValid());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
    QCOMPARE(dialog.chosenId(), 33);

    QTest::keyClick(list, Qt::Key_Up);
    QCOMPARE(dialog.chosenId(), 22);

    QCOMPARE(runModal(dialog, [&dialog] { button(dialog, QDialogButtonBox::Ok)->click(); }), 22);
}

void TestListDialog::clearedSelectionChoosesNothing()
{
    ListDialog dialog;
    dialog.setVMList({vm(11, "alpha", 2), vm(22, "beta", 0)});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QTreeWidget *list = tree(dialog);
    const QRect first = list->visualItemRect(list->topLevelItem(0));
    // Ctrl-click takes the selection away from the only selected row.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, first.center());
    QCOMPARE(list->selectedItems().size(), 0);
    QCOMPARE(dialog.chosenId(), 0);
    QCOMPARE(runModal(dialog, [&dialog] { button(dialog, QDialogButtonBox::Ok)->click(); }), 0);
}

void TestListDialog::refilling()
{
    ListDialog dialog;
    dialog.setVMList({vm(1, "one", 2), vm(2, "two", 0)});
    dialog.setVMList({vm(3, "three", 0), vm(4, "four", 2)});
    QCOMPARE(tree(dialog)->topLevelItemCount(), 2);
    QCOMPARE(dialog.chosenId(), 4);
    QCOMPARE(tree(dialog)->selectedItems().size(), 1);
    QCOMPARE(tree(dialog)->selectedItems().constFirst()->text(1), QStringLiteral("four"));
}

void TestListDialog::spanish()
{
    QTranslator translator;
    QVERIFY2(translator.load(QStringLiteral(ZEL_BINARY_DIR "/translations/ZEL_Client_es.qm")),
             "the Spanish translation is not built");
    QVERIFY(QCoreApplication::installTranslator(&translator));
    ListDialog dialog;
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Seleccione su máquina virtual"));
    QCOMPARE(button(dialog, QDialogButtonBox::Ok)->text(), QStringLiteral("Conectar"));
    QCOMPARE(button(dialog, QDialogButtonBox::Cancel)->text(), QStringLiteral("Cancelar"));
}

QTEST_MAIN(TestListDialog)
#include "tst_listdialog.moc"
