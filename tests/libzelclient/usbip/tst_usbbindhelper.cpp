#include "fakeusbtree.h"
#include "testenvironment.h"
#include "usbip/usbbindhelper.h"

#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

// Giving a device back runs the privileged helper without anyone waiting for it: its outcome
// comes as a signal, and a helper that does not finish is given up after the bound.
class TestUsbBindHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<UsbBindHelper::Outcome>();
        QVERIFY(m_work.isValid());
    }

    void unbindOutcome_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("reason");

        QTest::newRow("password not given") << "exit 126" << true << int(UsbBindHelper::Dismissed)
                                            << "password was not given";
        // The helper's environment is cleared: the gate is named in the script itself.
        QTest::newRow("never finishes") << "read line < '@gate@'" << true
                                        << int(UsbBindHelper::FailedStillBound) << "did not finish within 1 seconds";
        QTest::newRow("not installed") << "" << false << int(UsbBindHelper::NotStarted) << "could not be started";
    }

    void unbindOutcome()
    {
        QFETCH(QString, before);
        QFETCH(bool, installed);
        QFETCH(int, outcome);
        QFETCH(QString, reason);

        FakeUsbTree tree;
        tree.loadHostDriver();
        tree.addDevice(QStringLiteral("1-1"), 0x046d, 0xc52b);
        tree.setDriver(QStringLiteral("1-1"), QStringLiteral("usbip-host"));
        const QString gate = m_work.filePath(QStringLiteral("gate-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
        QVERIFY(::mkfifo(QFile::encodeName(gate).constData(), 0600) == 0);
        before.replace(QStringLiteral("@gate@"), gate);

        UsbBindHelper helper;
        helper.setCommand({installed ? tree.helper(before) : m_work.filePath(QStringLiteral("no-such-helper"))});
        QSignalSpy finished(&helper, &UsbBindHelper::finished);
        QVERIFY(finished.isValid());
        helper.startUnbind(QStringLiteral("1-1"), 1000);
        // The run the helper lets go is its own to delete once it has ended.
        const QPointer<QProcess> run = helper.findChild<QProcess *>();
        QCOMPARE(finished.count(), 0);
        QVERIFY(finished.wait(TestEnvironment::timeout(20000)));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().value<UsbBindHelper::Outcome>(), UsbBindHelper::Outcome(outcome));
        QVERIFY2(helper.reason().contains(reason), qPrintable(helper.reason()));
        QCOMPARE(helper.isRunning(), false);

        if (QTest::currentDataTag() == QLatin1String("never finishes")) {
            // Let go, the helper still finishes its work; nothing more is reported.
            QFile open(gate);
            QVERIFY(open.open(QIODevice::WriteOnly));
            open.write("go\n");
            open.close();
            QTRY_COMPARE_WITH_TIMEOUT(tree.file(QStringLiteral("bus/usb/drivers/usbip-host/match_busid")),
                                      QByteArray("del 1-1"), TestEnvironment::timeout(10000));
            QTRY_VERIFY_WITH_TIMEOUT(run.isNull(), TestEnvironment::timeout(10000));
            QVERIFY(TestEnvironment::childProcesses().isEmpty());
            QCOMPARE(finished.count(), 1);
        }
    }

private:
    QTemporaryDir m_work;
};

QTEST_GUILESS_MAIN(TestUsbBindHelper)
#include "tst_usbbindhelper.moc"
