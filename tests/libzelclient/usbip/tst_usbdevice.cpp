#include "usbip/usbdevice.h"

#include <QtTest>

namespace {

USBDevice device(int vendor, int product, const QString &serial = QString())
{
    USBDevice d;
    d.setVendorId(vendor);
    d.setProductId(product);
    d.setSerial(serial);
    return d;
}

} // namespace

class TestUSBDevice : public QObject
{
    Q_OBJECT

private slots:
    void deviceId_data()
    {
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("id");
        QTest::newRow("with serial") << 0x046d << 0xc52b << "ABC" << "46d:c52b@ABC";
        QTest::newRow("no serial") << 0x1d6b << 0x2 << "" << "1d6b:2";
        QTest::newRow("no vendor") << 0 << 0x2 << "ABC" << "";
        QTest::newRow("no product") << 0x1d6b << 0 << "" << "";
    }

    void deviceId()
    {
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(QString, serial);
        QFETCH(QString, id);
        const USBDevice d = device(vendor, product, serial);
        QCOMPARE(d.getDeviceId(), id);
        QCOMPARE(d.isValid(), !id.isEmpty());
    }

    void equalityIgnoresPositionNamesAndClass()
    {
        USBDevice a = device(0x46d, 0xc52b, QStringLiteral("S1"));
        USBDevice b = a;
        b.setBusnum(QStringLiteral("3"));
        b.setDevpath(QStringLiteral("2.1"));
        b.setManufacturer(QStringLiteral("Other"));
        b.setDeviceClass(USBDevice::DeviceClass(9));
        QVERIFY(a == b);
        b.setSerial(QStringLiteral("S2"));
        QVERIFY(!(a == b));
    }

    void debugOutput()
    {
        USBDevice d = device(0x46d, 0xc52b);
        d.setBusnum(QStringLiteral("1"));
        d.setDevpath(QStringLiteral("1.4"));
        d.setDeviceClass(USBDevice::DeviceClass(3));
        d.setManufacturer(QStringLiteral("Logi"));
        d.setProduct(QStringLiteral("Receiver"));
        QCOMPARE(d.fullDevPath(), QStringLiteral("1-1.4"));

        QString text;
        QDebug(&text) << d << "x";
        QCOMPARE(text, QStringLiteral("{  devPath = \"1-1.4\", deviceClass = 3, vendor = \"Logi\", product = \"Receiver\" } x "));
    }
};

QTEST_GUILESS_MAIN(TestUSBDevice)
#include "tst_usbdevice.moc"
