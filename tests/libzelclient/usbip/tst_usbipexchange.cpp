#include "fakeusbtree.h"
#include "usbip/usbipdevicerecord.h"
#include "usbip/usbipexchange.h"
#include "usbiprequests.h"

#include <QtEndian>
#include <QtTest>

namespace {

// What the exchange makes of the input fed in pieces of the given size.
QStringList requestsOf(const QByteArray &input, int piece)
{
    UsbipExchange exchange;
    QStringList seen;
    for (int at = 0; at < input.size(); at += piece) {
        exchange.append(input.mid(at, piece));
        for (UsbipExchange::Request next; (next = exchange.next()) != UsbipExchange::Request::Incomplete;) {
            if (next == UsbipExchange::Request::DeviceList)
                seen << QStringLiteral("list");
            else if (next == UsbipExchange::Request::Import)
                seen << QStringLiteral("import ") + QString::fromLatin1(exchange.requestedBusId());
            else
                return seen << QStringLiteral("invalid");
        }
    }
    return seen;
}

quint32 field32(const QByteArray &bytes, int offset)
{
    return qFromBigEndian<quint32>(bytes.constData() + offset);
}

quint16 field16(const QByteArray &bytes, int offset)
{
    return qFromBigEndian<quint16>(bytes.constData() + offset);
}

} // namespace

class TestUsbipExchange : public QObject
{
    Q_OBJECT

private slots:
    // However the connection cuts the stream, the same requests come out of it.
    void requests_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("expected");

        QByteArray manyLists;
        for (int i = 0; i < UsbipExchange::MaxRequests + 1; ++i)
            manyLists += UsbipRequests::deviceList();
        QStringList allowedLists;
        for (int i = 0; i < UsbipExchange::MaxRequests; ++i)
            allowedLists << QStringLiteral("list");

        QTest::newRow("device list") << UsbipRequests::deviceList() << QStringList{"list"};
        QTest::newRow("import") << UsbipRequests::import("1-1") << QStringList{"import 1-1"};
        QTest::newRow("list, then import") << UsbipRequests::deviceList() + UsbipRequests::import("2-1.3")
                                           << QStringList{"list", "import 2-1.3"};
        QTest::newRow("two imports") << UsbipRequests::import("2-1") + UsbipRequests::import("2-1.3")
                                     << QStringList{"import 2-1", "import 2-1.3"};
        QTest::newRow("truncated import") << UsbipRequests::import("1-1").left(20) << QStringList{};
        QTest::newRow("truncated header") << UsbipRequests::deviceList().left(5) << QStringList{};
        QTest::newRow("status set") << UsbipRequests::header(0x8005, 0x0111, 7) << QStringList{"list"};
        QTest::newRow("bytes after the bus id's zero")
            << UsbipRequests::import(QByteArray("1-1\0junk", 8)) << QStringList{"import 1-1"};
        QTest::newRow("bus id without its zero")
            << UsbipRequests::import(QByteArray(32, '1')) << QStringList{"invalid"};
        QTest::newRow("other version") << UsbipRequests::header(0x8005, 0x0106) << QStringList{"invalid"};
        QTest::newRow("a reply sent as request") << UsbipRequests::header(0x0005) << QStringList{"invalid"};
        QTest::newRow("unknown operation")
            << UsbipRequests::header(0x8004) + UsbipRequests::import("1-1") << QStringList{"invalid"};
        QTest::newRow("too many requests") << manyLists << allowedLists + QStringList{"invalid"};
    }

    void requests()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, expected);
        QCOMPARE(requestsOf(input, 1), expected);
        QCOMPARE(requestsOf(input, 64), expected);
    }

    // Input is held to about one request: a peer that sends far more is not buffered.
    void floodIsInvalid()
    {
        UsbipExchange exchange;
        exchange.append(QByteArray(1024, '\0'));
        QCOMPARE(exchange.next(), UsbipExchange::Request::Invalid);
        QCOMPARE(exchange.pendingBytes(), 0);
        exchange.append(UsbipRequests::deviceList());
        QCOMPARE(exchange.next(), UsbipExchange::Request::Invalid);
    }

    // The answers as the protocol lays them out, with the device's record as sysfs shows it.
    void answers()
    {
        FakeUsbTree tree;
        tree.addDevice(QStringLiteral("2-1.3"), 0x046d, 0xc52b, QStringLiteral("SN1"));
        UsbipDeviceRecord device;
        QVERIFY(device.read(QDir(tree.path()), QStringLiteral("2-1.3")));
        QVERIFY(!UsbipDeviceRecord().read(QDir(tree.path()), QStringLiteral("2-1.4")));

        const QByteArray list = UsbipExchange::deviceListReply({device});
        QCOMPARE(list.size(), 8 + 4 + 312 + 4);
        QCOMPARE(field16(list, 0), quint16(0x0111));
        QCOMPARE(field16(list, 2), quint16(0x0005));
        QCOMPARE(field32(list, 4), 0u);
        QCOMPARE(field32(list, 8), 1u);
        const QByteArray record = list.mid(12, 312);
        const QByteArray path = QFileInfo(tree.path() + QStringLiteral("/2-1.3")).canonicalFilePath().toUtf8();
        QVERIFY(record.left(256).startsWith(path + '\0'));
        QCOMPARE(record.mid(256, 32), QByteArray("2-1.3") + QByteArray(27, '\0'));
        QCOMPARE(field32(record, 288), 2u);   // bus number
        QCOMPARE(field32(record, 292), 7u);   // device number
        QCOMPARE(field32(record, 296), 3u);   // high speed, 480 Mbit/s
        QCOMPARE(field16(record, 300), quint16(0x046d));
        QCOMPARE(field16(record, 302), quint16(0xc52b));
        QCOMPARE(field16(record, 304), quint16(0x0100));
        // Class, subclass, protocol, configuration, configurations, interfaces.
        QCOMPARE(record.mid(306, 6), QByteArray::fromHex("000000010101"));
        QCOMPARE(list.mid(12 + 312), QByteArray::fromHex("08065000"));

        const QByteArray empty = UsbipExchange::deviceListReply({});
        QCOMPARE(empty, QByteArray::fromHex("0111000500000000") + QByteArray(4, '\0'));

        const QByteArray imported = UsbipExchange::importReply(&device);
        QCOMPARE(imported.left(8), QByteArray::fromHex("0111000300000000"));
        QCOMPARE(imported.mid(8), record);
        QCOMPARE(UsbipExchange::importReply(nullptr), QByteArray::fromHex("0111000300000001"));
    }
};

QTEST_GUILESS_MAIN(TestUsbipExchange)
#include "tst_usbipexchange.moc"
