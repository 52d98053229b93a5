#include "fakeusbtree.h"
#include "usbip/boundusbdevices.h"
#include "usbip/usbbindhelper.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

int modeOf(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}

QStringList recordFiles(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("bound-*")}, QDir::Files);
}

} // namespace

class TestBoundUsbDevices : public QObject
{
    Q_OBJECT

private slots:
    // The record is the user's alone from its first byte, also in a folder that was there.
    void privateRecord_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("written");
        QTest::newRow("no folder yet") << "" << true;
        QTest::newRow("folder open to others") << "open" << true;
        QTest::newRow("folder is a link") << "link" << false;
    }

    void privateRecord()
    {
        QFETCH(QString, before);
        QFETCH(bool, written);

        QTemporaryDir data;
        const QString folder = data.filePath(QStringLiteral("USB"));
        if (before == QLatin1String("open")) {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        } else if (before == QLatin1String("link")) {
            QVERIFY(QDir().mkpath(data.filePath(QStringLiteral("elsewhere"))));
            QVERIFY(QFile::link(data.filePath(QStringLiteral("elsewhere")), folder));
        }

        BoundUsbDevices record(folder);
        QCOMPARE(record.add(QStringLiteral("1-1")), written);
        if (!written) {
            QVERIFY(recordFiles(data.filePath(QStringLiteral("elsewhere"))).isEmpty());
            return;
        }
        QCOMPARE(modeOf(folder), 0700);
        const QStringList files = recordFiles(folder);
        QCOMPARE(files.size(), 1);
        QCOMPARE(modeOf(folder + QLatin1Char('/') + files.first()), 0600);

        // Once everything written down is back, nothing is left.
        record.remove(QStringLiteral("1-1"));
        QCOMPARE(record.busIds(), QStringList());
    }

    // What a client left lent when it ended without giving it back goes back at the next start;
    // what a running client lent stays with it.
    void leftoversGoBack()
    {
        FakeUsbTree tree;
        tree.loadHostDriver();
        for (const char *busId : {"1-1", "1-2", "1-4"}) {
            tree.addDevice(QString::fromLatin1(busId), 0x046d, 0xc52b);
            tree.setDriver(QString::fromLatin1(busId), QStringLiteral("usb"));
        }
        tree.setDriver(QStringLiteral("1-1"), QStringLiteral("usbip-host"));
        tree.setDriver(QStringLiteral("1-4"), QStringLiteral("usbip-host"));
        // 1-5 was unplugged while lent; usbip-host still has its bus id and would take the next
        // device plugged in there.
        tree.addEntry(QStringLiteral("../drivers/usbip-host"), {{QStringLiteral("match_busid"), "1-1 1-4 1-5 \n"}});
        QTemporaryDir folder;

        {
            BoundUsbDevices ended(folder.path());
            for (const char *busId : {"1-1", "1-2", "1-3", "1-5"})
                QVERIFY(ended.add(QString::fromLatin1(busId)));
            ended.remove(QStringLiteral("1-3"));
            // It ends here without giving 1-1, 1-2 and 1-5 back.
        }
        // Its last line was cut short as it ended.
        const QString endedFile = folder.filePath(recordFiles(folder.path()).first());
        QFile cut(endedFile);
        QVERIFY(cut.open(QIODevice::Append));
        cut.write("+1-");
        cut.close();

        BoundUsbDevices running(folder.path());
        QVERIFY(running.add(QStringLiteral("1-4")));

        UsbBindHelper helper;
        helper.setCommand({tree.helper()});
        const QStringList released = BoundUsbDevices::releaseLeftovers(helper, folder.path(), tree.sysfsRoot());
        QCOMPARE(released, QStringList({"1-1", "1-5"}));
        QCOMPARE(tree.helperCalls(), QStringList({"unbind 1-1", "unbind 1-5"}));
        QVERIFY(!QFile::exists(endedFile));
        QCOMPARE(recordFiles(folder.path()).size(), 1);

        // Nothing is left over a second time, and the running client's device is not touched.
        QCOMPARE(BoundUsbDevices::releaseLeftovers(helper, folder.path(), tree.sysfsRoot()), QStringList());
        QCOMPARE(tree.helperCalls().size(), 2);
        QCOMPARE(running.busIds(), QStringList{QStringLiteral("1-4")});
    }

    // A device that cannot be given back now stays written down for the start after.
    void leftoverThatCannotGoBackStays()
    {
        FakeUsbTree tree;
        tree.loadHostDriver();
        tree.addDevice(QStringLiteral("1-1"), 0x046d, 0xc52b);
        tree.setDriver(QStringLiteral("1-1"), QStringLiteral("usbip-host"));
        QTemporaryDir folder;
        {
            BoundUsbDevices ended(folder.path());
            QVERIFY(ended.add(QStringLiteral("1-1")));
        }
        UsbBindHelper failing;
        failing.setCommand({tree.helper(QStringLiteral("exit 4"))});
        QCOMPARE(BoundUsbDevices::releaseLeftovers(failing, folder.path(), tree.sysfsRoot()), QStringList());
        QCOMPARE(recordFiles(folder.path()).size(), 1);

        UsbBindHelper working;
        working.setCommand({tree.helper()});
        QCOMPARE(BoundUsbDevices::releaseLeftovers(working, folder.path(), tree.sysfsRoot()), QStringList{"1-1"});
        QCOMPARE(recordFiles(folder.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestBoundUsbDevices)
#include "tst_boundusbdevices.moc"
