#include "fakeusbtree.h"
#include "logcapture.h"
#include "slaveclient/commands/exportedusbdevice.h"
#include "testenvironment.h"
#include "usbip/boundusbdevices.h"

#include <QTemporaryDir>
#include <QtTest>

// A device kept lent across a drop is given back before the resumed session lends it again:
// what comes next waits for the helper's end, and the device is given back once.
class TestExportedUsbDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LogCapture::install();
        QVERIFY(m_work.isValid());
    }

    void giveBackNow_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("back");

        QTest::newRow("given back") << QString() << true;
        QTest::newRow("helper fails") << QStringLiteral("exit 1") << false;
    }

    void giveBackNow()
    {
        QFETCH(QString, before);
        QFETCH(bool, back);
        LogCapture::clear();

        FakeUsbTree tree;
        tree.loadHostDriver();
        tree.addDevice(QStringLiteral("1-1"), 0x046d, 0xc52b);
        tree.setDriver(QStringLiteral("1-1"), QStringLiteral("usbip-host"));
        BoundUsbDevices record(m_work.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-')));
        QVERIFY(record.add(QStringLiteral("1-1")));

        auto *device = new ExportedUsbDevice(QStringLiteral("1-1"), {tree.helper(before)}, &record);
        int done = 0;
        QStringList recordWhenDone;
        QByteArray driverWhenDone;
        device->giveBackNow([&] {
            ++done;
            recordWhenDone = record.busIds();
            driverWhenDone = tree.file(QStringLiteral("bus/usb/drivers/usbip-host/match_busid"));
        });
        // Given back already: the object going starts no second helper.
        delete device;
        QCOMPARE(LogCapture::count(QStringLiteral("Giving USB device 1-1 back")), 1);
        QCOMPARE(done, 0);

        QTRY_COMPARE_WITH_TIMEOUT(done, 1, TestEnvironment::timeout(20000));
        QCOMPARE(tree.helperCalls(), QStringList{QStringLiteral("unbind 1-1")});
        QCOMPARE(recordWhenDone.contains(QStringLiteral("1-1")), !back);
        if (back)
            QCOMPARE(driverWhenDone, QByteArray("del 1-1"));
        QTRY_VERIFY_WITH_TIMEOUT(TestEnvironment::childProcesses().isEmpty(), TestEnvironment::timeout(10000));
        QCOMPARE(done, 1);
    }

private:
    QTemporaryDir m_work;
};

QTEST_GUILESS_MAIN(TestExportedUsbDevice)
#include "tst_exportedusbdevice.moc"
