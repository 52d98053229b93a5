#include "programrun.h"
#include "pulseaudio/soundserverfolder.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// A process id that no process can have.
qint64 unusedProcessId()
{
    QFile maximum(QStringLiteral("/proc/sys/kernel/pid_max"));
    return maximum.open(QIODevice::ReadOnly) ? maximum.readAll().trimmed().toLongLong() : 0;
}

} // namespace

// A client that starts cleans up the sound servers of clients that are gone, and only those.
class TestSoundServerFolder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ZEL_REQUIRE("pulseaudio", "pactl");
        QVERIFY(m_work.isValid());
    }

    void abandonedServersEnd_data()
    {
        QTest::addColumn<QString>("client");
        QTest::addColumn<bool>("withServer");
        QTest::addColumn<bool>("kept");
        QTest::newRow("client running, this one") << "self" << true << true;
        QTest::newRow("client gone, server running") << "gone" << true << false;
        QTest::newRow("client gone, server gone too") << "gone" << false << false;
        QTest::newRow("client's id now another program's") << "reused" << true << false;
    }

    void abandonedServersEnd()
    {
        QFETCH(QString, client);
        QFETCH(bool, withServer);
        QFETCH(bool, kept);

        // No blank in the path: a sound server address is a list split at blanks.
        static int row = 0;
        const QString parent = m_work.filePath(QStringLiteral("row%1").arg(++row));
        QString folder;
        if (client == QLatin1String("self")) {
            folder = SoundServerFolder::create(parent);
        } else {
            const qint64 pid = client == QLatin1String("gone") ? unusedProcessId() : QCoreApplication::applicationPid();
            folder = QStringLiteral("%1/%2-1").arg(parent).arg(pid);
            QVERIFY(QDir().mkpath(folder));
            QFile stamp(folder + QStringLiteral("/client"));
            QVERIFY(stamp.open(QIODevice::WriteOnly));
            stamp.write(QByteArray::number(pid) + " 1");
        }
        QVERIFY(!folder.isEmpty());
        // Something of another program that is not a sound server stays untouched.
        QVERIFY(QDir().mkpath(parent + QStringLiteral("/not-a-session")));

        ProcessGuard server;
        if (withServer) {
            QFile script(folder + QStringLiteral("/session.pa"));
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("load-module module-null-sink\nload-module module-native-protocol-unix socket=\""
                         + QFile::encodeName(SoundServerFolder::serverSocket(folder)) + "\"\n");
            script.close();
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), folder);
            server->setProcessEnvironment(environment);
            server->start(TestEnvironment::program(QStringLiteral("pulseaudio")),
                          {QStringLiteral("-n"), QStringLiteral("-F"), script.fileName(), QStringLiteral("--exit-idle-time=-1")});
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder + QStringLiteral("/pid"))
                                         && QFile::exists(SoundServerFolder::serverSocket(folder)),
                                     TestEnvironment::timeout(30000));
        }

        SoundServerFolder::endAbandoned(parent);

        QCOMPARE(QFileInfo::exists(folder), kept);
        QVERIFY(QFileInfo::exists(parent + QStringLiteral("/not-a-session")));
        if (withServer && kept) {
            // The server still answers.
            QProcess info;
            info.start(TestEnvironment::program(QStringLiteral("pactl")),
                       {QStringLiteral("-s"), QStringLiteral("unix:") + SoundServerFolder::serverSocket(folder), QStringLiteral("info")});
            QVERIFY(info.waitForFinished(TestEnvironment::timeout(10000)));
            QVERIFY2(info.exitCode() == 0, info.readAllStandardError().constData());
        } else if (withServer) {
            QVERIFY(server->waitForFinished(TestEnvironment::timeout(10000)));
        }
    }

private:
    TestEnvironment m_environment;
    // No blank in its name either (the default template carries the program's name, "ZEL Client").
    QTemporaryDir m_work{QDir::tempPath() + QStringLiteral("/zel-sound-XXXXXX")};
};

QTEST_GUILESS_MAIN(TestSoundServerFolder)
#include "tst_soundserverfolder.moc"
