#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The bind helper against a usbip stand-in first on PATH (binding a real device needs
// hardware and administrator rights), and against the real usbip for a device that is not
// there.
class TestUsbipBind : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString callsFile() const { return m_dir.filePath(QStringLiteral("calls")); }

    void writeFakeUsbip(int exitCode)
    {
        QFile file(m_dir.filePath(QStringLiteral("usbip")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\necho \"$@\" >> '" + callsFile().toUtf8() + "'\necho 'usbip: message from usbip' >&2\nexit "
                   + QByteArray::number(exitCode) + "\n");
        file.close();
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    }

    static QProcess *run(const QStringList &arguments, const QString &path)
    {
        auto *process = new QProcess;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), path);
        process->setProcessEnvironment(environment);
        process->start(QStringLiteral(ZEL_USBIP_BIND_PROGRAM), arguments);
        return process;
    }

    QString calls() const
    {
        QFile file(callsFile());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
    }

private slots:
    void init()
    {
        QFile::remove(callsFile());
    }

    void withStandIn_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("usbipExit");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("usbipCalls");

        QTest::newRow("bound") << QStringList{"bind", "1-1.4"} << 0 << 0 << "bind -b 1-1.4";
        QTest::newRow("usbip fails") << QStringList{"bind", "3-2"} << 1 << 1 << "bind -b 3-2";
        QTest::newRow("usbip fails otherwise") << QStringList{"bind", "3-2"} << 4 << 4 << "bind -b 3-2";
        QTest::newRow("option as bus id") << QStringList{"bind", "-h"} << 0 << 2 << "";
        QTest::newRow("path as bus id") << QStringList{"bind", "../1-1"} << 0 << 2 << "";
        QTest::newRow("other command") << QStringList{"unbind", "1-1"} << 0 << 2 << "";
        QTest::newRow("no bus id") << QStringList{"bind"} << 0 << 2 << "";
        QTest::newRow("extra argument") << QStringList{"bind", "1-1", "1-2"} << 0 << 2 << "";
    }

    void withStandIn()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, usbipExit);
        QFETCH(int, exitCode);
        QFETCH(QString, usbipCalls);

        writeFakeUsbip(usbipExit);
        QScopedPointer<QProcess> helper(run(arguments, m_dir.path()));
        QVERIFY2(helper->waitForFinished(60000), qPrintable(helper->errorString()));
        const QString err = QString::fromUtf8(helper->readAllStandardError());
        QCOMPARE(helper->exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper->exitCode(), exitCode);
        QCOMPARE(calls(), usbipCalls);
        // Whatever goes wrong is said: usbip's own words and which device it was about.
        if (exitCode != 0) {
            QVERIFY2(err.contains(usbipCalls.isEmpty() ? QStringLiteral("bind <bus id") : QStringLiteral("usbip: message")),
                     qPrintable(err));
        }
    }

    void realUsbipWithoutTheDevice()
    {
        QScopedPointer<QProcess> helper(run({QStringLiteral("bind"), QStringLiteral("99-9")},
                                            QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin")));
        QVERIFY(helper->waitForFinished(60000));
        const QString err = QString::fromUtf8(helper->readAllStandardError());
        QVERIFY2(helper->exitCode() != 0, qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("99-9")), qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(TestUsbipBind)
#include "tst_usbipbind.moc"
