#include "usbip/usbdatabase.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Names
{
    int vendor;
    int product;
    QString vendorName;
    QString productName;
};

QString writeFile(const QTemporaryDir &dir, const QByteArray &text)
{
    static int n = 0;
    const QString path = dir.filePath(QStringLiteral("usb%1.ids").arg(++n));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(text);
    return path;
}

} // namespace

class TestUsbDatabase : public QObject
{
    Q_OBJECT

private slots:
    void parsesLines_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<QString>("vendorName");
        QTest::addColumn<QString>("productName");

        const QByteArray example = "1234  Example Vendor\n\t0a0b  Example Device\n";
        QTest::newRow("vendor and product") << example << 0x1234 << 0x0a0b << "Example Vendor" << "Example Device";
        QTest::newRow("unknown product") << example << 0x1234 << 0x0a0c << "Example Vendor" << "";
        QTest::newRow("unknown vendor") << example << 0x4321 << 0x0a0b << "" << "";
        QTest::newRow("product before any vendor")
            << QByteArray("\t0a0b  Orphan\n1234  Example Vendor\n") << 0x1234 << 0x0a0b << "Example Vendor" << "";
        QTest::newRow("interface line") << QByteArray("1234  Example Vendor\n\t\t0a0b  Interface\n") << 0x1234
                                        << 0x0a0b << "Example Vendor" << "";
        QTest::newRow("section heading ends the vendor")
            << QByteArray("1234  Example Vendor\nC 09  Hub\n\t0a0b  Full speed hub\n") << 0x1234 << 0x0a0b
            << "Example Vendor" << "";
        QTest::newRow("next vendor after a section")
            << QByteArray("C 09  Hub\n\t00  Unused\n5678  Next\n\t0001  One\n") << 0x5678 << 0x0001 << "Next" << "One";
        QTest::newRow("comment cuts a name")
            << QByteArray("# a comment\n1234  Example # Vendor\n\t0a0b  Dev#ice\n") << 0x1234 << 0x0a0b << "Example"
            << "Dev";
        QTest::newRow("later entry wins") << QByteArray("1234  First\n1234  Second\n") << 0x1234 << 0 << "Second" << "";
        QTest::newRow("not hexadecimal") << QByteArray("12g4  Broken\n\t0a0b  Lost\n") << 0x1204 << 0x0a0b << ""
                                         << "";
        QTest::newRow("carriage returns and UTF-8")
            << QByteArray("1234  Caf\xc3\xa9 Vendor\r\n\tffff  Last\r\n") << 0x1234 << 0xffff
            << QStringLiteral("Caf\u00e9 Vendor") << "Last";
        QTest::newRow("high vendor id") << QByteArray("ffff  High\n\tffff  Top\n") << 0xffff << 0xffff << "High"
                                        << "Top";
    }

    void parsesLines()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(QString, vendorName);
        QFETCH(QString, productName);

        QTemporaryDir dir;
        const UsbDatabase db(writeFile(dir, text));
        QCOMPARE(db.getVendorName(vendor), vendorName);
        QCOMPARE(db.getDeviceName(vendor, product), productName);
    }

    void missingFileKeepsWhatWasLoaded()
    {
        QTemporaryDir dir;
        UsbDatabase db(writeFile(dir, "1234  Example Vendor\n\t0a0b  Example Device\n"));
        QVERIFY(!db.load(dir.filePath(QStringLiteral("missing.ids"))));
        QCOMPARE(db.getVendorName(0x1234), QStringLiteral("Example Vendor"));
        QCOMPARE(db.getItemCount(), 1);

        const UsbDatabase empty(dir.filePath(QStringLiteral("missing.ids")));
        QCOMPARE(empty.getVendorCount(), 0);
    }

    void systemList_data()
    {
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<QString>("vendorName");
        QTest::addColumn<QString>("productName");
        QTest::newRow("Logitech receiver") << 0x046d << 0xc52b << "Logitech, Inc." << "Unifying Receiver";
        QTest::newRow("root hub") << 0x1d6b << 0x0002 << "Linux Foundation" << "2.0 root hub";
        QTest::newRow("SanDisk stick") << 0x0781 << 0x5567 << "SanDisk Corp." << "Cruzer Blade";
    }

    void systemList()
    {
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(QString, vendorName);
        QFETCH(QString, productName);

        const UsbDatabase db;
        QVERIFY2(db.getVendorCount() > 1000, "the system's usb.ids was not found or not read");
        QVERIFY(db.getItemCount() > 10000);
        QCOMPARE(db.getVendorName(vendor), vendorName);
        QCOMPARE(db.getDeviceName(vendor, product), productName);
    }
};

QTEST_GUILESS_MAIN(TestUsbDatabase)
#include "tst_usbdatabase.moc"
