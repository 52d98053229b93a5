#include "testenvironment.h"
#include "zellistmodel.h"

#include <QListView>
#include <QSettings>
#include <QtTest>

namespace {

QSettings *store()
{
    return new QSettings(QStringLiteral("Pelsor"), QStringLiteral("ZEL Client"));
}

// The names in the store as the session library reads them, empty entries included.
QStringList storedEntries()
{
    QScopedPointer<QSettings> settings(store());
    settings->beginGroup(QStringLiteral("Params"));
    const int count = settings->beginReadArray(QStringLiteral("ZELEnvVar"));
    QStringList names;
    for (int i = 0; i < count; ++i) {
        settings->setArrayIndex(i);
        names << settings->value(QStringLiteral("envvar")).toString();
    }
    settings->endArray();
    settings->endGroup();
    names.sort();
    return names;
}

void writeStore(const QStringList &names)
{
    QScopedPointer<QSettings> settings(store());
    settings->remove(QStringLiteral("Params"));
    settings->beginGroup(QStringLiteral("Params"));
    settings->beginWriteArray(QStringLiteral("ZELEnvVar"));
    for (int i = 0; i < names.size(); ++i) {
        settings->setArrayIndex(i);
        settings->setValue(QStringLiteral("envvar"), names.at(i));
    }
    settings->endArray();
    settings->endGroup();
}

QModelIndex rowOf(const ZELListModel &model, const QString &name)
{
    const int row = model.stringList().indexOf(name);
    return row < 0 ? QModelIndex() : model.index(row, 0);
}

bool isTicked(const ZELListModel &model, const QString &name)
{
    return rowOf(model, name).data(Qt::CheckStateRole).toInt() == Qt::Checked;
}

const QStringList environmentNames{QStringLiteral("HOME"), QStringLiteral("LANG"), QStringLiteral("PATH"),
                                   QStringLiteral("USER")};

} // namespace

class TestZELListModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void flagsAndData();
    void tickingStoresNames();
    void untickingLastStoresNothing();
    void otherValuesUntick_data();
    void otherValuesUntick();
    void refusedEdits_data();
    void refusedEdits();
    void storedNamesTickedAtStartup();
    void firstTickKeepsEarlierChoices();
    void filledLater();
    void storedNameMissingFromList();
    void nameWithBlank();
    void removedRowLeavesStore();
    void tickThroughView();
    void refillUnderView();

private:
    TestEnvironment m_environment;
};


void TestZELListModel::init()
{
    writeStore({});
}

void TestZELListModel::flagsAndData()
{
    ZELListModel model(environmentNames);
    const QModelIndex first = model.index(0, 0);
    QVERIFY(model.flags(first) & Qt::ItemIsUserCheckable);
    QVERIFY(model.flags(first) & Qt::ItemIsEnabled);
    QVERIFY(model.flags(first) & Qt::ItemIsSelectable);
    QVERIFY(!(model.flags(first) & Qt::ItemIsEditable));
    QVERIFY(!(model.flags(QModelIndex()) & Qt::ItemIsUserCheckable));

    QCOMPARE(first.data(Qt::DisplayRole).toString(), QStringLiteral("HOME"));
    QCOMPARE(first.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    QVERIFY(!model.data(QModelIndex(), Qt::DisplayRole).isValid());
    QVERIFY(!model.data(QModelIndex(), Qt::CheckStateRole).isValid());
}

void TestZELListModel::tickingStoresNames()
{
    ZELListModel model(environmentNames);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QVERIFY(changed.isValid());

    QVERIFY(model.setData(rowOf(model, "PATH"), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), rowOf(model, "PATH"));
    QCOMPARE(storedEntries(), QStringList({"PATH"}));

    QVERIFY(model.setData(rowOf(model, "HOME"), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(storedEntries(), QStringList({"HOME", "PATH"}));
    QCOMPARE(model.checkedNames(), QStringList({"HOME", "PATH"}));

    // Ticking again changes nothing.
    QVERIFY(model.setData(rowOf(model, "HOME"), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(storedEntries(), QStringList({"HOME", "PATH"}));
}

void TestZELListModel::untickingLastStoresNothing()
{
    ZELListModel model(environmentNames);
    QVERIFY(model.setData(rowOf(model, "USER"), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(storedEntries(), QStringList({"USER"}));
    QVERIFY(model.setData(rowOf(model, "USER"), Qt::Unchecked, Qt::CheckStateRole));
    // No entry at all, not one with an empty name.
    QCOMPARE(storedEntries(), QStringList());
}

void TestZELListModel::otherValuesUntick_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("partially checked") << QVariant(int(Qt::PartiallyChecked));
    QTest::newRow("unchecked") << QVariant(int(Qt::Unchecked));
    QTest::newRow("text") << QVariant(QStringLiteral("yes"));
    QTest::newRow("true") << QVariant(true);
}

void TestZELListModel::otherValuesUntick()
{
    QFETCH(QVariant, value);
    ZELListModel model(environmentNames);
    QVERIFY(model.setData(rowOf(model, "LANG"), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(model.setData(rowOf(model, "LANG"), value, Qt::CheckStateRole));
    QVERIFY(!isTicked(model, "LANG"));
    QCOMPARE(storedEntries(), QStringList());
}

void TestZELListModel::refusedEdits_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<bool>("validIndex");
    QTest::newRow("edit role") << int(Qt::EditRole) << true;
    QTest::newRow("display role") << int(Qt::DisplayRole) << true;
    QTest::newRow("invalid index") << int(Qt::CheckStateRole) << false;
}

void TestZELListModel::refusedEdits()
{
    QFETCH(int, role);
    QFETCH(bool, validIndex);
    ZELListModel model(environmentNames);
    const QModelIndex target = validIndex ? rowOf(model, "PATH") : QModelIndex();
    QVERIFY(!model.setData(target, int(Qt::Checked), role));
    QCOMPARE(model.stringList(), environmentNames);
    QCOMPARE(model.checkedNames(), QStringList());
}

void TestZELListModel::storedNamesTickedAtStartup()
{
    writeStore({"PATH", "USER"});
    ZELListModel model(environmentNames);
    QVERIFY(isTicked(model, "PATH"));
    QVERIFY(isTicked(model, "USER"));
    QVERIFY(!isTicked(model, "HOME"));
    QCOMPARE(model.checkedNames(), QStringList({"PATH", "USER"}));
    // Reading changes nothing in the store.
    QCOMPARE(storedEntries(), QStringList({"PATH", "USER"}));
}

void TestZELListModel::firstTickKeepsEarlierChoices()
{
    {
        ZELListModel earlier(environmentNames);
        QVERIFY(earlier.setData(rowOf(earlier, "PATH"), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(earlier.setData(rowOf(earlier, "LANG"), Qt::Checked, Qt::CheckStateRole));
    }
    // The next run: one more tick adds to the earlier choices instead of replacing them.
    ZELListModel model(environmentNames);
    QVERIFY(model.setData(rowOf(model, "HOME"), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(storedEntries(), QStringList({"HOME", "LANG", "PATH"}));
    QVERIFY(model.setData(rowOf(model, "PATH"), Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(storedEntries(), QStringList({"HOME", "LANG"}));
}

void TestZELListModel::filledLater()
{
    writeStore({"LANG"});
    ZELListModel model;
    QCOMPARE(model.rowCount(), 1); // the stored name, shown until the real list comes
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QVERIFY(reset.isValid());

    model.setStringList(environmentNames);
    QCOMPARE(reset.count(), 1);
    QCOMPARE(model.stringList(), environmentNames);
    QCOMPARE(model.checkedNames(), QStringList({"LANG"}));
    QCOMPARE(storedEntries(), QStringList({"LANG"}));
}

void TestZELListModel::storedNameMissingFromList()
{
    writeStore({"PATH", "ZEL_ONLY_SOMETIMES"});
    ZELListModel model(environmentNames);
    QCOMPARE(model.rowCount(), environmentNames.size() + 1);
    QVERIFY(isTicked(model, "ZEL_ONLY_SOMETIMES"));

    QVERIFY(model.setData(rowOf(model, "HOME"), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(storedEntries(), QStringList({"HOME", "PATH", "ZEL_ONLY_SOMETIMES"}));

    // The user sees it and can drop it.
    QVERIFY(model.setData(rowOf(model, "ZEL_ONLY_SOMETIMES"), Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(storedEntries(), QStringList({"HOME", "PATH"}));
}

void TestZELListModel::nameWithBlank()
{
    ZELListModel model(QStringList{"A B", "C"});
    QVERIFY(model.setData(rowOf(model, "A B"), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(storedEntries(), QStringList({"A B"}));

    ZELListModel next(QStringList{"A B", "C"});
    QVERIFY(isTicked(next, "A B"));
    QCOMPARE(next.rowCount(), 2);
}

void TestZELListModel::removedRowLeavesStore()
{
    writeStore({"PATH", "HOME"});
    ZELListModel model(environmentNames);
    QVERIFY(model.removeRows(rowOf(model, "PATH").row(), 1));
    QCOMPARE(storedEntries(), QStringList({"HOME"}));
    QCOMPARE(model.checkedNames(), QStringList({"HOME"}));

    // Ticks follow their rows when rows move.
    QVERIFY(model.insertRows(0, 2));
    QVERIFY(isTicked(model, "HOME"));
    QCOMPARE(model.checkedNames(), QStringList({"HOME"}));
    QCOMPARE(storedEntries(), QStringList({"HOME"}));
}

void TestZELListModel::tickThroughView()
{
    writeStore({"USER"});
    ZELListModel model(environmentNames);
    QListView view;
    view.setModel(&model);
    view.setSelectionMode(QAbstractItemView::SingleSelection);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    const QModelIndex path = rowOf(model, "PATH");
    QStyleOptionViewItem option;
    option.initFrom(&view);
    option.rect = view.visualRect(path);
    option.features |= QStyleOptionViewItem::HasCheckIndicator;
    const QRect box = view.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, &view);
    QVERIFY(box.isValid());
    QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
    QTRY_VERIFY(isTicked(model, "PATH"));
    QCOMPARE(storedEntries(), QStringList({"PATH", "USER"}));

    // Space on the current row toggles too.
    view.setCurrentIndex(rowOf(model, "USER"));
    QTest::keyClick(view.viewport(), Qt::Key_Space);
    QTRY_VERIFY(!isTicked(model, "USER"));
    QCOMPARE(storedEntries(), QStringList({"PATH"}));
}

void TestZELListModel::refillUnderView()
{
    writeStore({"LANG", "ZEL_ONLY_SOMETIMES"});
    ZELListModel model;
    QListView view;
    view.setModel(&model);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    // Filled the way the main window fills it, while shown.
    model.setStringList(environmentNames);
    QCOMPARE(model.rowCount(), environmentNames.size() + 1);
    QCOMPARE(model.checkedNames(), QStringList({"LANG", "ZEL_ONLY_SOMETIMES"}));
    const QModelIndex extra = rowOf(model, "ZEL_ONLY_SOMETIMES");
    QVERIFY(view.visualRect(extra).isValid());
    QVERIFY(view.visualRect(extra).top() > view.visualRect(rowOf(model, "USER")).top());

    model.setStringList({"LANG"});
    QCOMPARE(model.stringList(), QStringList({"LANG", "ZEL_ONLY_SOMETIMES"}));
    QCOMPARE(model.checkedNames(), QStringList({"LANG", "ZEL_ONLY_SOMETIMES"}));
    QCOMPARE(storedEntries(), QStringList({"LANG", "ZEL_ONLY_SOMETIMES"}));
}

QTEST_MAIN(TestZELListModel)
#include "tst_zellistmodel.moc"
