#include "logcapture.h"
#include "slaveclient/commands/shareusbdevice.h"
#include "usbip/usbdevice.h"
#include "zelslaveclient.h"

#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray vmToHost = "USB/IP import request from the VM";
const QByteArray hostToVm = "USB/IP reply from usbipd";

// One listening loopback server that keeps its first connection and all it received.
struct Peer
{
    QTcpServer server;
    QPointer<QTcpSocket> socket;
    QByteArray received;

    bool listen()
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, &server, [this] { received += socket->readAll(); });
        });
        return server.listen(QHostAddress::LocalHost);
    }
    quint16 port() const { return server.serverPort(); }
};

} // namespace

class TestShareUSBDevice : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // A bind helper stand-in: records its arguments and exits with the given code; "cannot
    // start" names an interpreter that does not exist, "missing" and "not executable" what
    // they say.
    QString helper(const QString &kind)
    {
        const QString path = m_dir.filePath(QStringLiteral("helper-") + QString(kind).replace(' ', '-'));
        if (kind == QLatin1String("missing"))
            return path;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        if (kind == QLatin1String("cannot start"))
            file.write("#!/nonexistent/interpreter\n");
        else
            file.write("#!/bin/sh\necho \"$@\" > '" + argsFile().toUtf8() + "'\necho \"helper: $1 went wrong\" >&2\nexit "
                       + (kind == QLatin1String("exit 1") ? "1" : "0") + "\n");
        file.close();
        if (kind != QLatin1String("not executable"))
            file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        return path;
    }

    QString argsFile() const { return m_dir.filePath(QStringLiteral("args")); }

    static USBDevice device()
    {
        USBDevice device;
        device.setVendorId(0x046d);
        device.setProductId(0xc52b);
        device.setBusnum(QStringLiteral("2"));
        device.setDevpath(QStringLiteral("1.3"));
        return device;
    }

    // The VM's slave service: answers the request with the status and, after a 101, sends
    // its first USB/IP bytes in the same write.
    static void answerWith(Peer &vm, int status)
    {
        QObject::connect(&vm.server, &QTcpServer::newConnection, &vm.server, [&vm, status] {
            QObject::connect(vm.socket, &QTcpSocket::readyRead, &vm.server, [&vm, status] {
                if (!vm.received.contains("\n\n") || vm.received.contains("HTTP/1.1 "))
                    return;
                QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
                if (status == 101)
                    answer += "Connection: Upgrade\r\nUpgrade: zel:usbip/1.0\r\n\r\n" + vmToHost;
                else
                    answer += "Content-Length: 0\r\n\r\n";
                vm.received += "HTTP/1.1 answered";
                vm.socket->write(answer);
            });
        });
    }

private slots:
    void initTestCase()
    {
        LogCapture::install();
        QVERIFY(m_dir.isValid());
    }

    void init()
    {
        LogCapture::clear();
        QFile::remove(argsFile());
    }

    void outcome_data()
    {
        QTest::addColumn<QString>("helperKind");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("usbipdListens");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<bool>("requestSent");

        QTest::newRow("bound, switched, relayed") << "exit 0" << 101 << true << true << true;
        QTest::newRow("bind fails") << "exit 1" << 101 << true << false << false;
        QTest::newRow("helper cannot start") << "cannot start" << 101 << true << false << false;
        QTest::newRow("helper missing") << "missing" << 101 << true << false << false;
        QTest::newRow("helper not executable") << "not executable" << 101 << true << false << false;
        QTest::newRow("VM refuses") << "exit 0" << 403 << true << false << true;
        QTest::newRow("VM has no service") << "exit 0" << 404 << true << false << true;
        QTest::newRow("no usbipd") << "exit 0" << 101 << false << false << true;
    }

    void outcome()
    {
        QFETCH(QString, helperKind);
        QFETCH(int, status);
        QFETCH(bool, usbipdListens);
        QFETCH(bool, succeeds);
        QFETCH(bool, requestSent);

        Peer vm;
        QVERIFY(vm.listen());
        answerWith(vm, status);
        Peer usbipd;
        QVERIFY(usbipd.listen());
        const quint16 usbipdPort = usbipd.port();
        if (!usbipdListens)
            usbipd.server.close();

        auto *client = new ZELSlaveClient(vm.port(), QStringLiteral("key"));
        QScopedPointer<ZELSlaveClient> clientGuard(client);
        auto *command = new ShareUSBDevice(device());
        command->setBindProgram(helper(helperKind));
        command->setUsbipdPort(usbipdPort);
        QSignalSpy succeeded(client, &ZELSlaveClient::commandSuccessful);
        QSignalSpy failed(client, &ZELSlaveClient::commandFailed);
        QSignalSpy finished(client, &ZELSlaveClient::finished);
        QVERIFY(succeeded.isValid() && failed.isValid() && finished.isValid());
        client->runCommand(command);

        if (succeeds) {
            // Everything the VM sends after the switch reaches usbipd, and back.
            QTRY_COMPARE_WITH_TIMEOUT(usbipd.received, vmToHost, 10000);
            usbipd.socket->write(hostToVm);
            QTRY_VERIFY_WITH_TIMEOUT(vm.received.endsWith(hostToVm), 10000);
            QCOMPARE(succeeded.count() + failed.count(), 0); // the relay lasts as long as the device is used
            usbipd.socket->close();
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
            QCOMPARE(succeeded.count(), 1);
            QTRY_VERIFY_WITH_TIMEOUT(vm.socket->state() != QAbstractSocket::ConnectedState, 10000);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
            QCOMPARE(failed.count(), 1);
            QCOMPARE(succeeded.count(), 0);
            QVERIFY(!usbipd.socket);
        }

        // What the helper says reaches the client's log.
        if (helperKind.startsWith(QLatin1String("exit")))
            QCOMPARE(LogCapture::count(QStringLiteral("helper: bind went wrong")), 1);
        QCOMPARE(vm.received.startsWith("POST /usbip HTTP/1.1\n"), requestSent);
        if (requestSent) {
            QVERIFY(vm.received.contains("\nUpgrade: zel:usbip/1.0\n"));
            QFile args(argsFile());
            QVERIFY(args.open(QIODevice::ReadOnly));
            QCOMPARE(args.readAll().trimmed(), QByteArray("bind 2-1.3"));
        }
        // One outcome only, also when more events arrive later.
        QTest::qWait(0);
        QCOMPARE(finished.count(), 1);
    }

    // The session's operation finds the helper through the program search.
    void sessionOperationFindsTheHelper()
    {
        QTemporaryDir bin;
        QVERIFY(QFile::copy(helper(QStringLiteral("exit 0")), bin.filePath(ShareUSBDevice::bindProgramName())));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.path().toUtf8() + ':' + path);
        Peer vm;
        QVERIFY(vm.listen());
        answerWith(vm, 403);

        ZELSlaveClient client(vm.port(), QStringLiteral("key"));
        QSignalSpy failed(&client, &ZELSlaveClient::commandFailed);
        client.shareUSBDevice(device());
        qputenv("PATH", path);
        QVERIFY(failed.wait(10000));
        QVERIFY(vm.received.startsWith("POST /usbip HTTP/1.1\n"));
        QVERIFY_EXCEPTION_THROWN(client.shareUSBDevice(device()), ZELSlaveClient::BusyException);
    }

    void endOfSessionClosesTheRelay()
    {
        Peer vm;
        QVERIFY(vm.listen());
        answerWith(vm, 101);
        Peer usbipd;
        QVERIFY(usbipd.listen());

        auto *client = new ZELSlaveClient(vm.port(), QStringLiteral("key"));
        auto *command = new ShareUSBDevice(device());
        command->setBindProgram(helper(QStringLiteral("exit 0")));
        command->setUsbipdPort(usbipd.port());
        client->runCommand(command);
        QTRY_COMPARE_WITH_TIMEOUT(usbipd.received, vmToHost, 10000);

        QSignalSpy usbipdClosed(usbipd.socket.data(), &QTcpSocket::disconnected);
        QSignalSpy vmClosed(vm.socket.data(), &QTcpSocket::disconnected);
        delete client;
        QVERIFY(usbipdClosed.wait(10000) || usbipdClosed.count() == 1);
        QTRY_COMPARE_WITH_TIMEOUT(vmClosed.count(), 1, 10000);
    }
};

QTEST_GUILESS_MAIN(TestShareUSBDevice)
#include "tst_shareusbdevice.moc"
