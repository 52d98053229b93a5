#include "fakeusbtree.h"
#include "usbip/usbdatabase.h"
#include "usbip/usbdevicelist.h"

#include <QSignalSpy>
#include <QtTest>

using Files = QMap<QString, QByteArray>;

namespace {

// What a user reads of a device in the table, and what sharing uses.
QString describe(const USBDevice &device)
{
    return QStringLiteral("%1|%2|%3|%4|%5:%6")
        .arg(device.fullDevPath(), device.manufacturer(), device.product(), device.serial())
        .arg(device.vendorId(), 4, 16, QLatin1Char('0'))
        .arg(device.productId(), 4, 16, QLatin1Char('0'));
}

} // namespace

class TestUsbDeviceList : public QObject
{
    Q_OBJECT

private slots:
    void deviceFolder_data()
    {
        QTest::addColumn<Files>("files");
        QTest::addColumn<QString>("expected");

        QTest::newRow("names from the descriptors")
            << Files{{"idVendor", "046d\n"}, {"idProduct", "c52b\n"}, {"manufacturer", "Maker\n"},
                     {"product", "Receiver\n"}, {"serial", "SN1\n"}, {"busnum", "2\n"}, {"devpath", "1.3\n"}}
            << "2-1.3|Maker|Receiver|SN1|046d:c52b";
        QTest::newRow("names from the database")
            << Files{{"idVendor", "046d\n"}, {"idProduct", "c52b\n"}, {"busnum", "1\n"}, {"devpath", "4\n"}}
            << "1-4|Logitech, Inc.|Unifying Receiver||046d:c52b";
        QTest::newRow("unknown to the database")
            << Files{{"idVendor", "f00d\n"}, {"idProduct", "0a1b\n"}, {"busnum", "1\n"}, {"devpath", "4\n"}}
            << "1-4|[Manufacturer 0xf00d]|[Product 0x0a1b]||f00d:0a1b";
        QTest::newRow("short ids padded") << Files{{"idVendor", "12"}, {"idProduct", "3"}}
                                          << "-|[Manufacturer 0x0012]|[Product 0x0003]||0012:0003";
        QTest::newRow("no files at all") << Files{} << "-|[Manufacturer 0x0000]|[Product 0x0000]||0000:0000";
        QTest::newRow("ids that are not numbers")
            << Files{{"idVendor", "zz\n"}, {"idProduct", "\n"}, {"manufacturer", "M"}, {"product", "P"}}
            << "-|M|P||0000:0000";
    }

    void deviceFolder()
    {
        QFETCH(Files, files);
        QFETCH(QString, expected);

        FakeUsbTree tree;
        tree.addEntry(QStringLiteral("dev"), files);
        const UsbDatabase db;
        QCOMPARE(describe(USBDevice::fromPath(tree.path() + QStringLiteral("/dev"), db)), expected);
    }

    void refreshListsDevicesOnly()
    {
        FakeUsbTree tree;
        tree.addDevice(QStringLiteral("1-10"), 0x0781, 0x5567, QStringLiteral("S2"));
        tree.addDevice(QStringLiteral("1-2"), 0x046d, 0xc52b, QString(), QStringLiteral("Maker"));
        tree.addDevice(QStringLiteral("1-2.1"), 0x1234, 0x0001);
        tree.addDevice(QStringLiteral("1-3"), 0x05e3, 0x0608, QString(), QString(), QString(), 9); // a hub
        tree.addDevice(QStringLiteral("usb1"), 0x1d6b, 0x0002, QString(), QString(), QString(), 9);
        tree.addEntry(QStringLiteral("1-2:1.0"), {{"bInterfaceClass", "03\n"}});
        // Bus number and port path unreadable: the folder name still tells where it is.
        tree.addEntry(QStringLiteral("3-1"), {{"idVendor", "abcd\n"}, {"idProduct", "0001\n"}});

        UsbDeviceList list;
        list.setDevicePath(QDir(tree.path()));
        QSignalSpy updated(&list, &UsbDeviceList::updated);
        QVERIFY(updated.isValid());
        list.refresh();
        QCOMPARE(updated.count(), 1);
        QCOMPARE(updated.first().first().toBool(), true);

        QStringList busIds;
        for (const USBDevice &device : list.getDevices())
            busIds << device.fullDevPath();
        QCOMPARE(busIds, QStringList({"1-2", "1-2.1", "1-10", "3-1"}));
        QCOMPARE(list.getDevices().at(2).product(), QStringLiteral("Cruzer Blade"));

        // A device unplugged between two scans is gone from the next list.
        tree.remove(QStringLiteral("1-10"));
        list.refresh();
        QCOMPARE(list.getDevices().size(), 3);
    }

    void missingFolderFails()
    {
        UsbDeviceList list;
        list.setDevicePath(QDir(QStringLiteral("/nonexistent/usb/devices")));
        QSignalSpy updated(&list, &UsbDeviceList::updated);
        list.refresh();
        QCOMPARE(updated.count(), 1);
        QCOMPARE(updated.first().first().toBool(), false);
        QVERIFY(list.getDevices().isEmpty());
    }

    // What sharing needs and is known to be missing before any attempt: the kernel's USB/IP
    // host driver, the helper, and pkexec for a user who is not root.
    void sharingAvailability_data()
    {
        QTest::addColumn<QStringList>("programs");
        QTest::addColumn<bool>("driverLoaded");
        QTest::addColumn<QString>("reason");
        QTest::newRow("all there") << QStringList{"sh", "/bin/sh"} << true << "";
        QTest::newRow("helper missing") << QStringList{"sh", "/nonexistent/zel-client-slaveclient-usbip"} << true
                                        << "/nonexistent/zel-client-slaveclient-usbip";
        QTest::newRow("pkexec missing") << QStringList{"/nonexistent/pkexec", "/bin/sh"} << true << "package pkexec";
        QTest::newRow("usbip-host not loaded") << QStringList{"sh"} << false << "modprobe usbip-host";
    }

    void sharingAvailability()
    {
        QFETCH(QStringList, programs);
        QFETCH(bool, driverLoaded);
        QFETCH(QString, reason);

        FakeUsbTree tree;
        if (driverLoaded)
            tree.loadHostDriver();
        tree.addDevice(QStringLiteral("1-1"), 0x046d, 0xc52b);
        UsbDeviceList list;
        list.setDevicePath(QDir(tree.path()));
        list.setRequiredPrograms(programs);
        QSignalSpy updated(&list, &UsbDeviceList::updated);
        list.refresh();

        // The devices are listed either way; only sharing them depends on what is missing.
        QCOMPARE(updated.count(), 1);
        QCOMPARE(updated.first().first().toBool(), true);
        QCOMPARE(list.getDevices().size(), 1);
        QCOMPARE(list.isSharingAvailable(), reason.isEmpty());
        QVERIFY2(list.sharingUnavailableReason().contains(reason), qPrintable(list.sharingUnavailableReason()));
    }
};

QTEST_GUILESS_MAIN(TestUsbDeviceList)
#include "tst_usbdevicelist.moc"
