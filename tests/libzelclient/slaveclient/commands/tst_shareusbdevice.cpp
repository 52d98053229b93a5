#include "fakeusbtree.h"
#include "logcapture.h"
#include "slaveclient/commands/shareusbdevice.h"
#include "testenvironment.h"
#include "usbip/boundusbdevices.h"
#include "usbip/usbdevice.h"
#include "usbiprequests.h"
#include "zelslaveclient.h"

#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString BusId = QStringLiteral("2-1.3");
const QString BindCall = QStringLiteral("bind 2-1.3 046d:c52b:SN1");
const QString UnbindCall = QStringLiteral("unbind 2-1.3");
// In a list of what the VM does: the user plugs another device in at the bus id; and bytes
// the VM sends without waiting for an answer.
const QByteArray Replug = "replug";
const QByteArray SendOnly = "send:";

QByteArray deviceList()
{
    return UsbipRequests::deviceList();
}

QByteArray import(const QString &busId)
{
    return UsbipRequests::import(busId.toLatin1());
}

// The VM's side of one slave connection: answers the switch request with the status, then
// sends USB/IP requests one at a time and reads each answer.
struct Vm
{
    QTcpServer server;
    QPointer<QTcpSocket> socket;
    QByteArray received;
    int status = 101;
    bool answered = false;

    bool listen()
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, &server, [this] {
                received += socket->readAll();
                // Status 0: a VM that never answers.
                if (answered || !received.contains("\n\n") || status == 0)
                    return;
                answered = true;
                received.clear();
                const QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
                socket->write(head + (status == 101 ? "Connection: Upgrade\r\nUpgrade: zel:usbip/1.0\r\n\r\n"
                                                    : "Content-Length: 0\r\n\r\n"));
            });
        });
        return server.listen(QHostAddress::LocalHost);
    }

    bool switched() const { return answered && socket && socket->bytesToWrite() == 0; }

    // Sends a request and reads its whole answer: "list <devices>", "import ok", "import refused".
    QString ask(const QByteArray &request)
    {
        received.clear();
        socket->write(request);
        const int code = qFromBigEndian<quint16>(request.constData() + 2);
        QDeadlineTimer deadline(TestEnvironment::timeout(30000));
        // The answer may come with the end of the connection: it is looked for first.
        for (;; QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50)) {
            if (code == 0x8005 && received.size() >= 12) {
                const quint32 devices = qFromBigEndian<quint32>(received.constData() + 8);
                if (received.size() == int(12 + devices * (312 + 4)))
                    return QStringLiteral("list %1").arg(devices);
            }
            if (code == 0x8003 && received.size() >= 8) {
                const quint32 status = qFromBigEndian<quint32>(received.constData() + 4);
                if (status != 0 && received.size() == 8)
                    return QStringLiteral("import refused");
                if (status == 0 && received.size() == 8 + 312)
                    return QStringLiteral("import ok ") + QString::fromLatin1(received.mid(8 + 256, 32).constData());
            }
            if (deadline.hasExpired() || socket->state() != QAbstractSocket::ConnectedState)
                return QStringLiteral("no answer");
        }
    }
};

} // namespace

class TestShareUSBDevice : public QObject
{
    Q_OBJECT

    QTemporaryDir m_records;

    static USBDevice device()
    {
        USBDevice device;
        device.setVendorId(0x046d);
        device.setProductId(0xc52b);
        device.setSerial(QStringLiteral("SN1"));
        device.setManufacturer(QStringLiteral("Maker"));
        device.setProduct(QStringLiteral("Receiver"));
        device.setBusnum(QStringLiteral("2"));
        device.setDevpath(QStringLiteral("1.3"));
        return device;
    }

    // The chosen device plugged in at its bus id and bound to the generic driver, with
    // usbip-host loaded; the tree plays the kernel's part of a bind.
    static void plugIn(FakeUsbTree &tree)
    {
        tree.loadHostDriver();
        tree.addDevice(BusId, 0x046d, 0xc52b, QStringLiteral("SN1"), QStringLiteral("Maker"),
                       QStringLiteral("Receiver"));
        tree.setDriver(BusId, QStringLiteral("usb"));
        tree.addEntry(BusId, {{QStringLiteral("usbip_status"), "1\n"}, {QStringLiteral("usbip_sockfd"), QByteArray()}});
    }

    struct Share
    {
        Vm vm;
        std::unique_ptr<BoundUsbDevices> record;
        ZELSlaveClient *client = nullptr;
        ShareUSBDevice *command = nullptr;
        // The outcomes the slave client reported.
        int succeeded = 0;
        int failed = 0;
    };

    // A share of the chosen device on a slave connection to vm, with the helper run by command.
    void start(Share &share, FakeUsbTree &tree, const QStringList &command)
    {
        QVERIFY(share.vm.listen());
        share.record = std::make_unique<BoundUsbDevices>(m_records.path());
        share.client = new ZELSlaveClient(share.vm.server.serverPort(), QStringLiteral("key"));
        share.command = new ShareUSBDevice(device());
        share.command->setSysfsRoot(tree.sysfsRoot());
        share.command->setHelperCommand(command);
        share.command->setBoundDevices(share.record.get());
        connect(share.client, &ZELSlaveClient::commandSuccessful, this, [&share] { ++share.succeeded; });
        connect(share.client, &ZELSlaveClient::commandFailed, this, [&share] { ++share.failed; });
        share.client->runCommand(share.command);
    }

private slots:
    void initTestCase()
    {
        LogCapture::install();
        QVERIFY(m_records.isValid());
    }

    void init()
    {
        LogCapture::clear();
    }

    // The client answers the VM's USB/IP requests itself: the list holds the chosen device
    // alone, and only its import is taken, on a connection that may carry several requests.
    // Only then is the helper asked to lend it; the session's end gives it back.
    void answers_data()
    {
        QTest::addColumn<QList<QByteArray>>("requests");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("reason");

        const QString imported = QStringLiteral("import ok 2-1.3");
        QTest::newRow("list, then import") << QList<QByteArray>{deviceList(), import(BusId)}
                                           << QStringList{"list 1", imported} << "";
        QTest::newRow("import without a list") << QList<QByteArray>{import(BusId)} << QStringList{imported} << "";
        QTest::newRow("another bus id, then the chosen one")
            << QList<QByteArray>{import(QStringLiteral("1-1")), deviceList(), import(BusId)}
            << QStringList{"import refused", "list 1", imported} << "";
        QTest::newRow("another bus id only") << QList<QByteArray>{import(QStringLiteral("2-1.4"))}
                                             << QStringList{"import refused"} << "another device (2-1.4)";
        QTest::newRow("another device plugged in there")
            << QList<QByteArray>{deviceList(), Replug, deviceList(), import(BusId)}
            << QStringList{"list 1", "list 0", "import refused"} << "closed the connection";
        QTest::newRow("truncated request") << QList<QByteArray>{SendOnly + import(BusId).left(20)} << QStringList{}
                                           << "closed the connection";
        QTest::newRow("not USB/IP") << QList<QByteArray>{SendOnly + UsbipRequests::header(0x8005, 0x0106)}
                                    << QStringList{} << "not valid";
    }

    void answers()
    {
        QFETCH(QList<QByteArray>, requests);
        QFETCH(QStringList, answers);
        QFETCH(QString, reason);

        FakeUsbTree tree;
        plugIn(tree);
        Share share;
        start(share, tree, {tree.helper()});
        QTRY_VERIFY_WITH_TIMEOUT(share.vm.switched(), TestEnvironment::timeout(10000));

        QStringList seen;
        for (const QByteArray &request : requests) {
            if (request == Replug) {
                tree.addDevice(BusId, 0x0781, 0x5567, QStringLiteral("SN1"));
                continue;
            }
            if (request.startsWith(SendOnly))
                share.vm.socket->write(request.mid(SendOnly.size()));
            else
                seen << share.vm.ask(request);
        }
        QCOMPARE(seen, answers);
        const bool shared = reason.isEmpty();
        if (!shared)
            share.vm.socket->close();
        QTRY_COMPARE_WITH_TIMEOUT(share.succeeded + share.failed, 1, TestEnvironment::timeout(10000));
        QCOMPARE(share.succeeded, int(shared));
        QVERIFY2(share.command->failureReason().contains(reason), qPrintable(share.command->failureReason()));

        if (!shared) {
            // Nothing was lent: the helper was never asked.
            QCOMPARE(tree.helperCalls(), QStringList());
            QCOMPARE(share.record->busIds(), QStringList());
            delete share.client;
            return;
        }
        // The kernel got the connection, and the device is written down as lent.
        QCOMPARE(tree.helperCalls(), QStringList{BindCall});
        QCOMPARE(tree.file(QStringLiteral("bus/usb/devices/2-1.3/usbip_sockfd")), QByteArray("0\n"));
        QCOMPARE(share.record->busIds(), QStringList{BusId});

        // The session takes what is shared, and its end gives the device back.
        QScopedPointer<QObject> exported(share.client->takeRunningServer());
        QVERIFY(exported);
        delete share.client;
        QCOMPARE(tree.helperCalls(), QStringList{BindCall});
        // Nobody waits for the device to go back; it is struck from the record once it is.
        exported.reset();
        QTRY_COMPARE_WITH_TIMEOUT(share.record->busIds(), QStringList(), TestEnvironment::timeout(10000));
        QCOMPARE(tree.helperCalls(), QStringList({BindCall, UnbindCall}));
        QCOMPARE(tree.file(QStringLiteral("bus/usb/drivers/usbip-host/match_busid")), QByteArray("del 2-1.3"));
    }

    // However an accepted import ends without the device reaching the VM, the device is back
    // with its driver and no longer written down; what blocks sharing from the start is found
    // before the VM is asked.
    void releaseOnEveryEnd_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("beforeHelper");
        QTest::addColumn<QString>("afterHelper");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("reason");

        QTest::newRow("kernel refuses the connection")
            << "no-sockfd" << "" << "" << QStringList{BindCall} << "did not take the connection";
        QTest::newRow("helper ends without a word")
            << "" << "" << "[ \"$1\" = bind ] && kill -9 $$" << QStringList{BindCall, UnbindCall} << "unexpectedly";
        QTest::newRow("no authentication agent")
            << ""
            << "[ \"$1\" = bind ] && { echo 'Error executing command as another user: "
               "No authentication agent found.' >&2; exit 127; }"
            << "" << QStringList{BindCall} << "no authentication agent answered";
        QTest::newRow("password not given")
            << "" << "[ \"$1\" = bind ] && exit 126" << "" << QStringList{BindCall} << "password was not given";
        QTest::newRow("helper not installed") << "no-helper" << "" << "" << QStringList{} << "is not installed";
        QTest::newRow("usbip-host not loaded") << "no-driver" << "" << "" << QStringList{} << "modprobe usbip-host";
        QTest::newRow("not plugged in") << "unplugged" << "" << "" << QStringList{} << "not plugged in";
        QTest::newRow("two alike elsewhere") << "twins" << "" << "" << QStringList{} << "none where it was chosen";
    }

    void releaseOnEveryEnd()
    {
        QFETCH(QString, setup);
        QFETCH(QString, beforeHelper);
        QFETCH(QString, afterHelper);
        QFETCH(QStringList, calls);
        QFETCH(QString, reason);

        FakeUsbTree tree;
        plugIn(tree);
        if (setup == QLatin1String("no-sockfd"))
            QVERIFY(QFile::remove(tree.path() + QStringLiteral("/2-1.3/usbip_sockfd")));
        else if (setup == QLatin1String("no-driver"))
            QVERIFY(QDir(tree.sysfsRoot() + QStringLiteral("/bus/usb/drivers/usbip-host")).removeRecursively());
        else if (setup == QLatin1String("unplugged"))
            tree.remove(BusId);
        if (setup == QLatin1String("twins")) {
            tree.remove(BusId);
            for (const char *place : {"1-4", "1-5"})
                tree.addDevice(QString::fromLatin1(place), 0x046d, 0xc52b, QStringLiteral("SN1"));
        }
        const QString helper = setup == QLatin1String("no-helper")
            ? m_records.filePath(QStringLiteral("no-such-helper"))
            : tree.helper(beforeHelper, afterHelper);
        Share share;
        start(share, tree, {helper});
        const bool asksTheVm = calls.size() > 0;
        if (asksTheVm) {
            QTRY_VERIFY_WITH_TIMEOUT(share.vm.switched(), TestEnvironment::timeout(10000));
            QCOMPARE(share.vm.ask(import(BusId)), QStringLiteral("import refused"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(share.failed, 1, TestEnvironment::timeout(10000));
        QCOMPARE(share.succeeded, 0);
        QVERIFY2(share.command->failureReason().contains(reason), qPrintable(share.command->failureReason()));
        // A device that may still be lent is given back without the failure waiting for it.
        QTRY_COMPARE_WITH_TIMEOUT(share.record->busIds(), QStringList(), TestEnvironment::timeout(10000));
        QCOMPARE(tree.helperCalls(), calls);
        if (!asksTheVm)
            QVERIFY(!share.vm.socket || share.vm.received.isEmpty());
        delete share.client;
    }

    // The session ends while the helper is still lending the device (waiting for the password,
    // say): it is let finish, and the device goes back then.
    void sessionEndsDuringTheBind()
    {
        FakeUsbTree tree;
        plugIn(tree);
        const QString gate = m_records.filePath(QStringLiteral("gate"));
        QVERIFY(::mkfifo(QFile::encodeName(gate).constData(), 0600) == 0);
        Share share;
        start(share, tree, {tree.helper(QStringLiteral("[ \"$1\" = bind ] && read line < '%1'").arg(gate))});
        QTRY_VERIFY_WITH_TIMEOUT(share.vm.switched(), TestEnvironment::timeout(10000));
        share.vm.socket->write(import(BusId));
        QTRY_COMPARE_WITH_TIMEOUT(tree.helperCalls(), QStringList{BindCall}, TestEnvironment::timeout(10000));
        QCOMPARE(share.record->busIds(), QStringList{BusId});

        delete share.client;
        QFile open(gate);
        QVERIFY(open.open(QIODevice::WriteOnly));
        open.write("go\n");
        open.close();
        QTRY_COMPARE_WITH_TIMEOUT(tree.helperCalls(), QStringList({BindCall, UnbindCall}),
                                  TestEnvironment::timeout(10000));
        QTRY_COMPARE_WITH_TIMEOUT(share.record->busIds(), QStringList(), TestEnvironment::timeout(10000));
    }

    // The ticks follow a device by its ids and serial: moved to another port it is shared
    // there; something else at its old place is not.
    void deviceFoundWhereItIsNow()
    {
        FakeUsbTree tree;
        tree.loadHostDriver();
        tree.addDevice(BusId, 0x0781, 0x5567, QStringLiteral("SN1"));
        tree.addDevice(QStringLiteral("1-4"), 0x046d, 0xc52b, QStringLiteral("SN1"));
        Share share;
        start(share, tree, {tree.helper()});
        QTRY_VERIFY_WITH_TIMEOUT(share.vm.switched(), TestEnvironment::timeout(10000));
        QCOMPARE(share.command->deviceId(), QStringLiteral("1-4"));
        QCOMPARE(share.vm.ask(import(BusId)), QStringLiteral("import refused"));
        QCOMPARE(share.vm.ask(deviceList()), QStringLiteral("list 1"));
        QCOMPARE(share.vm.received.mid(12 + 256, 4), QByteArray("1-4\0", 4));
        delete share.client;
        QCOMPARE(tree.helperCalls(), QStringList());
    }

    // A VM that refuses the switch, or never answers it, gets no USB/IP at all.
    void vmRefuses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::newRow("refuses") << 403 << "status 403";
        QTest::newRow("never answers") << 0 << "did not answer within";
    }

    void vmRefuses()
    {
        QFETCH(int, status);
        QFETCH(QString, reason);
        FakeUsbTree tree;
        plugIn(tree);
        Share share;
        share.vm.status = status;
        start(share, tree, {tree.helper()});
        share.client->setRequestTimeout(TestEnvironment::timeout(500));
        QTRY_COMPARE_WITH_TIMEOUT(share.failed, 1, TestEnvironment::timeout(10000));
        QVERIFY2(share.command->failureReason().contains(reason), qPrintable(share.command->failureReason()));
        QCOMPARE(tree.helperCalls(), QStringList());
        delete share.client;
    }
};

QTEST_GUILESS_MAIN(TestShareUSBDevice)
#include "tst_shareusbdevice.moc"
