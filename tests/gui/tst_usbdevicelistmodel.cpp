#include "fakeusbtree.h"
#include "mainwindow.h"
#include "testenvironment.h"
#include "usbdevicelistmodel.h"
#include "usbip/usbdevicelist.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTableView>
#include <QtTest>

namespace {

// "busid vendor:product [serial]", such as "1-2 0781:5567 S1".
void plugIn(FakeUsbTree &tree, const QString &spec)
{
    const QStringList parts = spec.split(QLatin1Char(' '));
    const QStringList ids = parts.value(1).split(QLatin1Char(':'));
    tree.addDevice(parts.value(0), ids.value(0).toInt(nullptr, 16), ids.value(1).toInt(nullptr, 16), parts.value(2),
                   QStringLiteral("Maker"), QStringLiteral("Thing"));
}

QStringList tickedBusIds(const USBDeviceListModel &model)
{
    QStringList busIds;
    for (const USBDevice &device : model.selectedDevices())
        busIds << device.fullDevPath();
    return busIds;
}

} // namespace

class TestUSBDeviceListModel : public QObject
{
    Q_OBJECT

private slots:
    void ticksFollowDevicesAcrossScans_data()
    {
        QTest::addColumn<QStringList>("firstScan");
        QTest::addColumn<QList<int>>("tickedRows");
        QTest::addColumn<QStringList>("secondScan");
        QTest::addColumn<QStringList>("ticked");

        const QStringList three{"1-1 046d:c52b S1", "1-2 0781:5567", "1-3 1234:0001"};
        QTest::newRow("same devices") << three << QList<int>{0, 2} << three << QStringList{"1-1", "1-3"};
        QTest::newRow("new device in front")
            << three << QList<int>{1} << (QStringList{"1-0.5 abcd:0001"} + three) << QStringList{"1-2"};
        QTest::newRow("ticked device unplugged")
            << three << QList<int>{0, 1} << QStringList{"1-2 0781:5567", "1-3 1234:0001"} << QStringList{"1-2"};
        QTest::newRow("ticked device moved to another port")
            << three << QList<int>{0} << QStringList{"1-2 0781:5567", "1-3 1234:0001", "2-4 046d:c52b S1"}
            << QStringList{"2-4"};
        QTest::newRow("twin without serial keeps its port")
            << QStringList{"1-2 0781:5567", "1-3 0781:5567"} << QList<int>{1}
            << QStringList{"1-1 1111:0001", "1-2 0781:5567", "1-3 0781:5567"} << QStringList{"1-3"};
        QTest::newRow("untick stays unticked") << three << QList<int>{} << three << QStringList{};
    }

    void ticksFollowDevicesAcrossScans()
    {
        QFETCH(QStringList, firstScan);
        QFETCH(QList<int>, tickedRows);
        QFETCH(QStringList, secondScan);
        QFETCH(QStringList, ticked);

        FakeUsbTree first;
        for (const QString &spec : firstScan)
            plugIn(first, spec);
        FakeUsbTree second;
        for (const QString &spec : secondScan)
            plugIn(second, spec);

        UsbDeviceList list;
        USBDeviceListModel model;
        model.setDeviceList(&list);
        list.setDevicePath(QDir(first.path()));
        list.refresh();
        QCOMPARE(model.rowCount(), firstScan.size());
        for (int row : tickedRows)
            QVERIFY(model.setData(model.index(row, 0), Qt::Checked, Qt::CheckStateRole));

        list.setDevicePath(QDir(second.path()));
        list.refresh();
        QCOMPARE(model.rowCount(), secondScan.size());
        QCOMPARE(tickedBusIds(model), ticked);
        for (int row = 0; row < model.rowCount(); ++row) {
            const bool shown = model.index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked;
            const QString busId = secondScan.at(row).section(QLatin1Char(' '), 0, 0);
            QCOMPARE(shown, ticked.contains(busId));
        }

        // A scan that fails changes nothing.
        list.setDevicePath(QDir(QStringLiteral("/nonexistent/usb")));
        list.refresh();
        QCOMPARE(model.rowCount(), secondScan.size());
        QCOMPARE(tickedBusIds(model), ticked);
    }

    void onlyTheCheckBoxIsEditable_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("role");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("check box") << 0 << int(Qt::CheckStateRole) << true;
        QTest::newRow("product column") << 1 << int(Qt::CheckStateRole) << false;
        QTest::newRow("serial column") << 2 << int(Qt::CheckStateRole) << false;
        QTest::newRow("text edit") << 0 << int(Qt::EditRole) << false;
    }

    void onlyTheCheckBoxIsEditable()
    {
        QFETCH(int, column);
        QFETCH(int, role);
        QFETCH(bool, accepted);

        FakeUsbTree tree;
        plugIn(tree, QStringLiteral("1-1 046d:c52b S1"));
        UsbDeviceList list;
        USBDeviceListModel model;
        model.setDeviceList(&list);
        list.setDevicePath(QDir(tree.path()));
        QVERIFY(model.selectedDevices().isEmpty());
        list.refresh();

        QCOMPARE(model.setData(model.index(0, column), Qt::Checked, role), accepted);
        QCOMPARE(model.selectedDevices().size(), accepted ? 1 : 0);
        QVERIFY(!model.setData(model.index(5, 0), Qt::Checked, Qt::CheckStateRole));
    }

    // The window ticks the stored devices once its first scan arrives, stores exactly the
    // ticked ones, and keeps the stored ones when it closes before any scan.
    void settingsRoundTrip()
    {
        TestEnvironment environment;
        FakeUsbTree tree;
        for (const char *spec : {"1-1 046d:c52b S1", "1-2 0781:5567 A", "1-3 0781:5567 B", "1-4 1234:0001 X"})
            plugIn(tree, QString::fromLatin1(spec));
        {
            QSettings settings;
            settings.beginGroup(QStringLiteral("Connection"));
            settings.beginWriteArray(QStringLiteral("shared_usb_devices"));
            const QList<QVariantList> stored{{0x046d, 0xc52b, "S1"}, {0x0781, 0x5567, ""}, {0x9999, 0x0001, ""}};
            for (int i = 0; i < stored.size(); ++i) {
                settings.setArrayIndex(i);
                settings.setValue(QStringLiteral("vendor"), stored.at(i).at(0));
                settings.setValue(QStringLiteral("product"), stored.at(i).at(1));
                settings.setValue(QStringLiteral("serial"), stored.at(i).at(2));
            }
            settings.endArray();
        }

        {
            MainWindow window;
            window.usbDeviceList()->setDevicePath(QDir(tree.path()));
            auto *model = qobject_cast<USBDeviceListModel *>(window.findChild<QTableView *>()->model());
            QVERIFY(model);
            QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 4, TestEnvironment::timeout(10000));
            QCOMPARE(tickedBusIds(*model), QStringList({"1-1", "1-2", "1-3"}));
            QVERIFY(model->setData(model->index(1, 0), Qt::Unchecked, Qt::CheckStateRole));
            window.close();
        }
        {
            MainWindow closedBeforeItsFirstScan;
            closedBeforeItsFirstScan.close();
        }

        QSettings settings;
        settings.beginGroup(QStringLiteral("Connection"));
        const int count = settings.beginReadArray(QStringLiteral("shared_usb_devices"));
        QStringList stored;
        for (int i = 0; i < count; ++i) {
            settings.setArrayIndex(i);
            stored << QStringLiteral("%1:%2 %3")
                          .arg(settings.value(QStringLiteral("vendor")).toInt(), 0, 16)
                          .arg(settings.value(QStringLiteral("product")).toInt(), 0, 16)
                          .arg(settings.value(QStringLiteral("serial")).toString());
        }
        settings.endArray();
        QCOMPARE(stored, QStringList({"46d:c52b S1", "781:5567 B"}));
    }
};

QTEST_MAIN(TestUSBDeviceListModel)
#include "tst_usbdevicelistmodel.moc"
