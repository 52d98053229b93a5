#include "fakeusbtree.h"
#include "testenvironment.h"
#include "usbip/boundusbdevices.h"

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

// Gives the leftovers back and waits for the end; the bus ids given back.
QStringList releaseLeftovers(const QString &helper, const QString &folder, const QString &sysfsRoot)
{
    QStringList released;
    bool done = false;
    BoundUsbDevices::releaseLeftovers(
        {helper},
        [&](const QStringList &ids) {
            released = ids;
            done = true;
        },
        folder, sysfsRoot);
    if (!QTest::qWaitFor([&done] { return done; }, TestEnvironment::timeout(20000)))
        return {QStringLiteral("(the release did not end)")};
    return released;
}

} // namespace

class TestBoundUsbDevices : public QObject
{
    Q_OBJECT

    // A client that ended with the device at 1-1 still lent to usbip-host, written down in folder.
    static void leaveLent(FakeUsbTree &tree, const QString &folder)
    {
        tree.loadHostDriver();
        tree.addDevice(QStringLiteral("1-1"), 0x046d, 0xc52b);
        tree.setDriver(QStringLiteral("1-1"), QStringLiteral("usbip-host"));
        BoundUsbDevices ended(folder);
        QVERIFY(ended.add(QStringLiteral("1-1")));
    }

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

        const QString helper = tree.helper();
        const QStringList released = releaseLeftovers(helper, folder.path(), tree.sysfsRoot());
        QCOMPARE(released, QStringList({"1-1", "1-5"}));
        QCOMPARE(tree.helperCalls(), QStringList({"unbind 1-1", "unbind 1-5"}));
        QVERIFY(!QFile::exists(endedFile));
        QCOMPARE(recordFiles(folder.path()).size(), 1);

        // Nothing is left over a second time, and the running client's device is not touched.
        QCOMPARE(releaseLeftovers(helper, folder.path(), tree.sysfsRoot()), QStringList());
        QCOMPARE(tree.helperCalls().size(), 2);
        QCOMPARE(running.busIds(), QStringList{QStringLiteral("1-4")});
    }

    // A device that cannot be given back now stays written down for the start after.
    void leftoverThatCannotGoBackStays()
    {
        FakeUsbTree tree;
        QTemporaryDir folder;
        leaveLent(tree, folder.path());
        QCOMPARE(releaseLeftovers(tree.helper(QStringLiteral("exit 4")), folder.path(), tree.sysfsRoot()), QStringList());
        QCOMPARE(recordFiles(folder.path()).size(), 1);

        QCOMPARE(releaseLeftovers(tree.helper(), folder.path(), tree.sysfsRoot()), QStringList{"1-1"});
        QCOMPARE(recordFiles(folder.path()), QStringList());
    }

    // The start goes on while the helper gives the devices back (it may be asking for the
    // administrator's password): the caller is not held up, and the end is told when it comes.
    void releaseDoesNotHoldUpTheCaller()
    {
        FakeUsbTree tree;
        QTemporaryDir folder;
        leaveLent(tree, folder.path());
        const QString gate = folder.filePath(QStringLiteral("gate"));
        QVERIFY(::mkfifo(QFile::encodeName(gate).constData(), 0600) == 0);
        const QString helper = tree.helper(QStringLiteral("read line < '%1'").arg(gate));

        QStringList released{QStringLiteral("(not yet)")};
        BoundUsbDevices::releaseLeftovers({helper}, [&released](const QStringList &ids) { released = ids; },
                                          folder.path(), tree.sysfsRoot());
        QTRY_COMPARE_WITH_TIMEOUT(tree.helperCalls(), QStringList{"unbind 1-1"}, TestEnvironment::timeout(10000));
        QCOMPARE(released, QStringList{"(not yet)"});
        QCOMPARE(recordFiles(folder.path()).size(), 1);

        QFile open(gate);
        QVERIFY(open.open(QIODevice::WriteOnly));
        open.write("go\n");
        open.close();
        QTRY_COMPARE_WITH_TIMEOUT(released, QStringList{"1-1"}, TestEnvironment::timeout(10000));
        QCOMPARE(recordFiles(folder.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestBoundUsbDevices)
#include "tst_boundusbdevices.moc"
