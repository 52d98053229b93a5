#include "fakeusbtree.h"
#include "testenvironment.h"
#include "usbip/usbbindhelper.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QXmlStreamReader>
#include <QtTest>

// The privileged USB helper, in the tests' build that works on a fake sysfs tree (lending a
// real device needs hardware and the kernel's usbip-host), and the polkit actions that let
// pkexec run the installed one.
class TestUsbipBind : public QObject
{
    Q_OBJECT

    // A connected loopback TCP connection, the kind the helper hands to the kernel.
    struct Connection
    {
        QTcpServer server;
        QTcpSocket socket;
        bool open()
        {
            if (!server.listen(QHostAddress::LocalHost))
                return false;
            socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
            return socket.waitForConnected(TestEnvironment::timeout(10000));
        }
    };

    static QProcess *runHelper(const QStringList &arguments, const QString &root, bool pkexecCaller = false)
    {
        auto *process = new QProcess;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (root.isEmpty())
            environment.remove(QStringLiteral("ZEL_TEST_SYSFS_ROOT"));
        else
            environment.insert(QStringLiteral("ZEL_TEST_SYSFS_ROOT"), root);
        if (pkexecCaller)
            environment.insert(QStringLiteral("PKEXEC_UID"), QStringLiteral("1000"));
        process->setProcessEnvironment(environment);
        process->setStandardInputFile(QProcess::nullDevice());
        process->start(FakeUsbTree::helperProgram(), arguments);
        return process;
    }

    // The files through which the kernel is told what to do, as the helper left them.
    static QString commands(const FakeUsbTree &tree)
    {
        QStringList written;
        for (const char *file : {"bus/usb/drivers/usbip-host/match_busid", "bus/usb/drivers/usb/unbind",
                                 "bus/usb/drivers/usbip-host/bind", "bus/usb/devices/1-1/usbip_sockfd",
                                 "bus/usb/drivers/usbip-host/unbind", "bus/usb/drivers/usbip-host/rebind"}) {
            const QByteArray content = tree.file(QString::fromLatin1(file)).trimmed();
            if (!content.isEmpty())
                written << QString::fromLatin1(file).section(QLatin1Char('/'), -2) + QLatin1Char('=') + content;
        }
        return written.join(QLatin1Char(' '));
    }

private slots:
    // Arguments are taken whole or not at all: no trailing line end, no path, no option, and
    // the tests' build cannot be pointed at another tree when it runs for someone else.
    void arguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("environment");
        QTest::addColumn<int>("exitCode");

        const QString identity = QStringLiteral("046d:c52b");
        // Valid arguments get as far as the connection, which standard input is not here.
        QTest::newRow("bind") << QStringList{"bind", "1-1", identity} << "tree" << 1;
        QTest::newRow("bind, deep port path") << QStringList{"bind", "12-1.2.3.4.5.6.7", identity} << "tree" << 1;
        QTest::newRow("bind, serial") << QStringList{"bind", "1-1", identity + ":SN 1:x"} << "tree" << 1;
        QTest::newRow("unbind") << QStringList{"unbind", "1-1"} << "tree" << 0;
        QTest::newRow("nothing") << QStringList{} << "tree" << 2;
        QTest::newRow("other command") << QStringList{"attach", "1-1"} << "tree" << 2;
        QTest::newRow("bus id and line end") << QStringList{"unbind", "1-1\n"} << "tree" << 2;
        QTest::newRow("bus id as path") << QStringList{"unbind", "../1-1"} << "tree" << 2;
        QTest::newRow("bus id as option") << QStringList{"unbind", "-h"} << "tree" << 2;
        QTest::newRow("bus id of an interface") << QStringList{"unbind", "1-1:1.0"} << "tree" << 2;
        QTest::newRow("bus id with zero") << QStringList{"unbind", "1-01"} << "tree" << 2;
        QTest::newRow("bus id too deep") << QStringList{"unbind", "1-1.1.1.1.1.1.1.1.1"} << "tree" << 2;
        QTest::newRow("root hub") << QStringList{"unbind", "usb1"} << "tree" << 2;
        QTest::newRow("extra argument") << QStringList{"unbind", "1-1", "1-2"} << "tree" << 2;
        QTest::newRow("bind without identity") << QStringList{"bind", "1-1"} << "tree" << 2;
        QTest::newRow("identity and line end") << QStringList{"bind", "1-1", identity + "\n"} << "tree" << 2;
        QTest::newRow("identity in capitals") << QStringList{"bind", "1-1", "046D:C52B"} << "tree" << 2;
        QTest::newRow("identity too short") << QStringList{"bind", "1-1", "46d:c52b"} << "tree" << 2;
        QTest::newRow("empty serial") << QStringList{"bind", "1-1", identity + ":"} << "tree" << 2;
        QTest::newRow("serial and line end") << QStringList{"bind", "1-1", identity + ":SN1\n"} << "tree" << 2;
        QTest::newRow("serial with blank ahead") << QStringList{"bind", "1-1", identity + ": SN1"} << "tree" << 2;
        QTest::newRow("no tree named") << QStringList{"unbind", "1-1"} << "none" << 2;
        QTest::newRow("run for another user") << QStringList{"unbind", "1-1"} << "pkexec" << 2;
    }

    void arguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, environment);
        QFETCH(int, exitCode);

        FakeUsbTree tree;
        tree.loadHostDriver();
        tree.addDevice(QStringLiteral("1-1"), 0x046d, 0xc52b);
        tree.setDriver(QStringLiteral("1-1"), QStringLiteral("usb"));
        QScopedPointer<QProcess> helper(
            runHelper(arguments, environment == QLatin1String("none") ? QString() : tree.sysfsRoot(),
                      environment == QLatin1String("pkexec")));
        QVERIFY2(helper->waitForFinished(TestEnvironment::timeout(30000)), qPrintable(helper->errorString()));
        const QString err = QString::fromUtf8(helper->readAllStandardError());
        QCOMPARE(helper->exitStatus(), QProcess::NormalExit);
        QVERIFY2(helper->exitCode() == exitCode, qPrintable(err));
        if (exitCode == 2) {
            QVERIFY2(err.startsWith(QStringLiteral("Usage: ")), qPrintable(err));
            QCOMPARE(commands(tree), QString());
        }
    }

    // The device goes to usbip-host and the connection to the kernel only when it is the one
    // named; whatever fails after the device was taken gives it back.
    void bind_data()
    {
        QTest::addColumn<QString>("plugged");
        QTest::addColumn<QString>("identity");
        QTest::addColumn<UsbBindHelper::Outcome>("outcome");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("said");

        const QString lent =
            QStringLiteral("usbip-host/match_busid=add 1-1 usb/unbind=1-1 usbip-host/bind=1-1 1-1/usbip_sockfd=0");
        const QString givenBack =
            QStringLiteral("usbip-host/match_busid=del 1-1 usb/unbind=1-1 usbip-host/bind=1-1 usbip-host/rebind=1-1");
        QTest::newRow("the device named") << "046d:c52b SN1" << "046d:c52b:SN1" << UsbBindHelper::Done << lent << "";
        QTest::newRow("another device plugged in there")
            << "0781:5567 SN1" << "046d:c52b:SN1" << UsbBindHelper::Refused << "" << "Another USB device";
        QTest::newRow("same model, other serial")
            << "046d:c52b SN2" << "046d:c52b:SN1" << UsbBindHelper::Refused << "" << "Another USB device";
        QTest::newRow("a serial where none was")
            << "046d:c52b SN1" << "046d:c52b" << UsbBindHelper::Refused << "" << "Another USB device";
        QTest::newRow("no serial where one was")
            << "046d:c52b" << "046d:c52b:SN1" << UsbBindHelper::Refused << "" << "Another USB device";
        QTest::newRow("nothing plugged in") << "" << "046d:c52b" << UsbBindHelper::Refused << "" << "No USB device";
        QTest::newRow("a hub") << "046d:c52b hub" << "046d:c52b" << UsbBindHelper::Refused << "" << "hub";
        QTest::newRow("lent by someone else")
            << "046d:c52b usbip-host" << "046d:c52b" << UsbBindHelper::Refused << "" << "already";
        QTest::newRow("usbip-host not loaded")
            << "046d:c52b no-driver" << "046d:c52b" << UsbBindHelper::Refused << "" << "modprobe usbip-host";
        QTest::newRow("kernel refuses the connection")
            << "046d:c52b no-sockfd" << "046d:c52b" << UsbBindHelper::FailedGivenBack << givenBack
            << "did not take the connection";
        QTest::newRow("usbip-host does not offer it")
            << "046d:c52b in-use" << "046d:c52b" << UsbBindHelper::FailedGivenBack << givenBack << "does not offer";
    }

    void bind()
    {
        QFETCH(QString, plugged);
        QFETCH(QString, identity);
        QFETCH(UsbBindHelper::Outcome, outcome);
        QFETCH(QString, written);
        QFETCH(QString, said);

        FakeUsbTree tree;
        if (!plugged.contains(QLatin1String("no-driver")))
            tree.loadHostDriver();
        const QStringList parts = plugged.split(QLatin1Char(' '));
        if (!plugged.isEmpty()) {
            const QStringList ids = parts.first().split(QLatin1Char(':'));
            const QString serial = parts.value(1).startsWith(QLatin1String("SN")) ? parts.value(1) : QString();
            tree.addDevice(QStringLiteral("1-1"), ids.value(0).toInt(nullptr, 16), ids.value(1).toInt(nullptr, 16),
                           serial, QString(), QString(), plugged.contains(QLatin1String("hub")) ? 9 : 0);
            tree.setDriver(QStringLiteral("1-1"),
                           plugged.contains(QLatin1String("usbip-host")) ? QStringLiteral("usbip-host") : QStringLiteral("usb"));
            // What the kernel shows once usbip-host holds the device.
            tree.addEntry(QStringLiteral("1-1"), {{QStringLiteral("usbip_status"),
                                                   plugged.contains(QLatin1String("in-use")) ? "2\n" : "1\n"}});
            if (!plugged.contains(QLatin1String("no-sockfd")))
                tree.addEntry(QStringLiteral("1-1"), {{QStringLiteral("usbip_sockfd"), QByteArray()}});
        }

        Connection connection;
        QVERIFY(connection.open());
        UsbBindHelper helper;
        helper.setCommand({tree.helper()});
        QSignalSpy finished(&helper, &UsbBindHelper::finished);
        QVERIFY(finished.isValid());
        helper.startBind(QStringLiteral("1-1"), identity, int(connection.socket.socketDescriptor()));
        QVERIFY(finished.wait(TestEnvironment::timeout(30000)));

        QCOMPARE(finished.first().first().value<UsbBindHelper::Outcome>(), outcome);
        QCOMPARE(commands(tree), written);
        QVERIFY2(helper.reason().contains(said), qPrintable(helper.reason()));
    }

    // Giving back takes the device from usbip-host when it holds it, and always clears the bus
    // id from usbip-host's table, so that nothing plugged in there later is taken.
    void giveBack_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<QString>("written");

        QTest::newRow("lent") << "usbip-host" << true
                              << "usbip-host/match_busid=del 1-1 usbip-host/unbind=1-1 usbip-host/rebind=1-1";
        QTest::newRow("back already") << "usb" << true << "usbip-host/match_busid=del 1-1 usbip-host/rebind=1-1";
        QTest::newRow("unplugged") << "" << true << "usbip-host/match_busid=del 1-1 usbip-host/rebind=1-1";
        QTest::newRow("usbip-host not loaded") << "usb" << false << "";
    }

    void giveBack()
    {
        QFETCH(QString, driver);
        QFETCH(bool, loaded);
        QFETCH(QString, written);

        FakeUsbTree tree;
        if (loaded)
            tree.loadHostDriver();
        if (!driver.isEmpty()) {
            tree.addDevice(QStringLiteral("1-1"), 0x046d, 0xc52b);
            tree.setDriver(QStringLiteral("1-1"), driver);
        }
        UsbBindHelper helper;
        helper.setCommand({tree.helper()});
        QSignalSpy finished(&helper, &UsbBindHelper::finished);
        QVERIFY(finished.isValid());
        helper.startUnbind(QStringLiteral("1-1"), TestEnvironment::timeout(30000));
        QVERIFY(finished.wait(TestEnvironment::timeout(30000)));
        QCOMPARE(finished.first().first().value<UsbBindHelper::Outcome>(), UsbBindHelper::Done);
        QCOMPARE(commands(tree), written);
        QCOMPARE(tree.helperCalls(), QStringList{QStringLiteral("unbind 1-1")});
    }

    // The actions are what polkit reads (checked against its own document type), and they
    // name the helper the client runs through pkexec: lending asks for the administrator's
    // password, kept a few minutes; giving back asks for nothing.
    void polkitActions()
    {
        ZEL_REQUIRE("xmllint");
        const QString dtd = QStringLiteral("/usr/share/polkit-1/policyconfig-1.dtd");
        QVERIFY2(QFile::exists(dtd), "polkit's document type is missing: install polkitd");
        QProcess xmllint;
        xmllint.setProcessChannelMode(QProcess::MergedChannels);
        xmllint.start(QStringLiteral("xmllint"),
                      {QStringLiteral("--noout"), QStringLiteral("--dtdvalid"), dtd, QStringLiteral(ZEL_USBIP_POLICY)});
        QVERIFY(xmllint.waitForFinished(TestEnvironment::timeout(30000)));
        QVERIFY2(xmllint.exitCode() == 0, xmllint.readAll().constData());

        QFile policy(QStringLiteral(ZEL_USBIP_POLICY));
        QVERIFY(policy.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&policy);
        QMap<QString, QString> activeByCommand;
        QString path;
        QString active;
        while (!xml.atEnd()) {
            xml.readNext();
            if (!xml.isStartElement())
                continue;
            if (xml.name() == QLatin1String("allow_active")) {
                active = xml.readElementText();
            } else if (xml.name() == QLatin1String("annotate")) {
                const QString key = xml.attributes().value(QStringLiteral("key")).toString();
                const QString value = xml.readElementText();
                if (key == QLatin1String("org.freedesktop.policykit.exec.path"))
                    path = value;
                else if (key == QLatin1String("org.freedesktop.policykit.exec.argv1"))
                    activeByCommand.insert(value, active);
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(path, UsbBindHelper::installedProgram());
        QCOMPARE(activeByCommand.value(QStringLiteral("bind")), QStringLiteral("auth_admin_keep"));
        QCOMPARE(activeByCommand.value(QStringLiteral("unbind")), QStringLiteral("yes"));
    }
};

QTEST_GUILESS_MAIN(TestUsbipBind)
#include "tst_usbipbind.moc"
