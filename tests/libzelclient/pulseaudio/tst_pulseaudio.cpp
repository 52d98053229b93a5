#include "logcapture.h"
#include "programrun.h"
#include "pulseaudio/pulseaudio.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <signal.h>

namespace {

const QByteArray Close = QByteArrayLiteral("<close>");

// A CLI socket that answers the first command with the given pieces, one write each, as a
// server does that the test cannot make real pulseaudio be: slow, silent or flooding. It runs
// on a thread of its own, so that its writes come while the manager's thread is busy or not.
class FakeCli : public QThread
{
public:
    FakeCli(const QString &path, const QList<QByteArray> &pieces)
        : m_path(path)
        , m_pieces(pieces)
    {
    }

    ~FakeCli() override { wait(); }

    void run() override
    {
        QLocalServer server;
        QLocalServer::removeServer(m_path);
        if (!server.listen(m_path) || !server.waitForNewConnection(60000))
            return;
        QLocalSocket *socket = server.nextPendingConnection();
        socket->waitForReadyRead(TestEnvironment::timeout(30000));
        for (const QByteArray &piece : qAsConst(m_pieces)) {
            if (socket->state() != QLocalSocket::ConnectedState)
                return;
            if (piece == Close) {
                socket->disconnectFromServer();
                return;
            }
            socket->write(piece);
            socket->waitForBytesWritten(TestEnvironment::timeout(5000));
            // Each piece its own chunk for the reader.
            QThread::msleep(30);
        }
        socket->waitForDisconnected(TestEnvironment::timeout(30000));
    }

private:
    QString m_path;
    QList<QByteArray> m_pieces;
};

// One exchange, waited for: the answer, or "failed: " and the reason.
QString ask(PulseAudio &pulse, const QString &command)
{
    QString result;
    bool done = false;
    const auto answered = QObject::connect(&pulse, &PulseAudio::commandAnswered,
                                           [&](const QString &asked, const QString &answer) {
                                               if (asked == command && !done) {
                                                   result = answer;
                                                   done = true;
                                               }
                                           });
    const auto failed = QObject::connect(&pulse, &PulseAudio::commandFailed, [&](const QString &asked, const QString &reason) {
        if (asked == command && !done) {
            result = QStringLiteral("failed: ") + reason;
            done = true;
        }
    });
    pulse.sendCommand(command);
    const bool answeredInTime = QTest::qWaitFor([&done] { return done; }, TestEnvironment::timeout(10000));
    QObject::disconnect(answered);
    QObject::disconnect(failed);
    return answeredInTime ? result : QStringLiteral("(no answer)");
}

struct Spies
{
    explicit Spies(PulseAudio &pulse)
        : started(&pulse, &PulseAudio::started)
        , stopped(&pulse, &PulseAudio::stopped)
        , error(&pulse, &PulseAudio::error)
    {
    }
    bool isValid() const { return started.isValid() && stopped.isValid() && error.isValid(); }
    QString errors() const
    {
        QStringList texts;
        for (const QList<QVariant> &arguments : error)
            texts << arguments.at(0).toString();
        return texts.join(QStringLiteral(" | "));
    }

    QSignalSpy started;
    QSignalSpy stopped;
    QSignalSpy error;
};

} // namespace

class TestPulseAudio : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void serverLifecycle_data();
    void serverLifecycle();
    void attachedServerAnswers_data();
    void attachedServerAnswers();
    void attachFailure_data();
    void attachFailure();
    void serverEndsWithItsClient();

private:
    QString writeScript(const QStringList &lines);

    TestEnvironment m_environment;
    QTemporaryDir m_work;
};

void TestPulseAudio::initTestCase()
{
    QVERIFY(m_work.isValid());
    LogCapture::install();
}

void TestPulseAudio::init()
{
    LogCapture::clear();
}

QString TestPulseAudio::writeScript(const QStringList &lines)
{
    static int count = 0;
    const QString path = m_work.filePath(QStringLiteral("script-%1.pa").arg(++count));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return QString();
    file.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
    return path;
}

void TestPulseAudio::serverLifecycle_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("program");
    QTest::addColumn<int>("ending");   // 0: stop(), else the signal sent to the server
    QTest::addColumn<bool>("startsUp");
    QTest::addColumn<QString>("reason");

    const QStringList working{QStringLiteral("load-module module-null-sink sink_name=zel_test"),
                              QStringLiteral("load-module module-cli-protocol-unix")};
    const QString real = TestEnvironment::program(QStringLiteral("pulseaudio"));

    QTest::newRow("runs until stopped") << working << real << 0 << true << QString();
    QTest::newRow("killed") << working << real << int(SIGKILL) << true << QString();
    QTest::newRow("ended by someone else") << working << real << int(SIGTERM) << true << QString();
    QTest::newRow("script fails") << QStringList{QStringLiteral("load-module module-zel-missing")} << real << 0 << false
                                  << QStringLiteral("module-zel-missing");
    QTest::newRow("program missing") << working << QStringLiteral("/nonexistent/pulseaudio") << 0 << false << QString();
    QTest::newRow("program not found") << working << QString() << 0 << false << QString();
}

void TestPulseAudio::serverLifecycle()
{
    QFETCH(QStringList, script);
    QFETCH(QString, program);
    QFETCH(int, ending);
    QFETCH(bool, startsUp);
    QFETCH(QString, reason);
    ZEL_REQUIRE("pulseaudio");

    PulseAudio pulse;
    Spies spies(pulse);
    QVERIFY(spies.isValid());
    pulse.setZelPulseaudioPath(program);
    pulse.setZelPulseaudioConfig(writeScript(script));
    pulse.start();

    if (!startsUp) {
        QTRY_COMPARE_WITH_TIMEOUT(spies.stopped.count(), 1, TestEnvironment::timeout(30000));
        QCOMPARE(spies.error.count(), 1);
        QVERIFY2(spies.errors().contains(reason), qPrintable(spies.errors()));
        QCOMPARE(spies.started.count(), 0);
        QVERIFY(!pulse.isRunning());
        return;
    }

    QTRY_VERIFY2_WITH_TIMEOUT(spies.started.count() == 1 || spies.stopped.count() > 0,
                              qPrintable(LogCapture::lines().join(QLatin1Char('\n'))), TestEnvironment::timeout(30000));
    QCOMPARE(spies.started.count(), 1);
    QVERIFY(!pulse.getVersion().isNull());
    QVERIFY(pulse.isRunning());
    // Answers keep to their commands, also when they are asked all at once: each one is the
    // whole answer and nothing of the next.
    QStringList answers;
    connect(&pulse, &PulseAudio::commandAnswered, this,
            [&answers](const QString &command, const QString &answer) { answers << command << answer; });
    pulse.sendCommand(QStringLiteral("list-sinks"));
    pulse.sendCommand(QStringLiteral("list-modules"));
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 4, TestEnvironment::timeout(10000));
    QCOMPARE(answers.at(0), QStringLiteral("list-sinks"));
    QVERIFY2(answers.at(1).contains(QStringLiteral("<zel_test>")), qPrintable(answers.at(1)));
    QVERIFY(!answers.at(1).contains(QStringLiteral("module(s) loaded")));
    QCOMPARE(answers.at(2), QStringLiteral("list-modules"));
    QVERIFY2(answers.at(3).contains(QStringLiteral("<module-null-sink>")), qPrintable(answers.at(3)));
    QVERIFY(!answers.at(3).contains(QStringLiteral("sink(s) available")));
    // The modules of the script, and no more: a module is code that would run as the user.
    ask(pulse, QStringLiteral("load-module module-null-sink sink_name=late"));
    QVERIFY(!ask(pulse, QStringLiteral("list-sinks")).contains(QStringLiteral("<late>")));

    QFile pidFile(pulse.getPulseaudioHome() + QStringLiteral("/pid"));
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const qint64 pid = pidFile.readAll().trimmed().toLongLong();
    QVERIFY(pid > 0);

    if (ending == 0)
        pulse.stop();
    else
        ::kill(static_cast<pid_t>(pid), ending);
    QTRY_COMPARE_WITH_TIMEOUT(spies.stopped.count(), 1, TestEnvironment::timeout(30000));
    // Only an end that was not asked for is a failure.
    QCOMPARE(spies.error.count(), ending == 0 ? 0 : 1);
    QCOMPARE(spies.started.count(), 1);
    QVERIFY(::kill(static_cast<pid_t>(pid), 0) != 0);
}

void TestPulseAudio::attachedServerAnswers_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QString>("version");
    // What follows: started, or the failure reported (error(), and stopped() when the
    // connection was the attached server's end) with its reason.
    QTest::addColumn<bool>("starts");
    QTest::addColumn<bool>("lost");
    QTest::addColumn<QString>("reason");

    QTest::newRow("greeting in pieces")
        << QList<QByteArray>{"Welcome to Pulse", "Audio 13.0! Use \"help\" for usage information.\n>", ">> "}
        << QStringLiteral("13.0") << true << false << QString();
    QTest::newRow("answer without a version") << QList<QByteArray>{"Unknown command: hello\n>>> "} << QString() << true
                                              << false << QString();
    QTest::newRow("never prompts") << QList<QByteArray>{"Welcome to PulseAudio 13.0!"} << QString() << false << false
                                   << QStringLiteral("did not answer within");
    // Each byte on its own comes in time; the whole answer never does.
    QList<QByteArray> trickle;
    for (int i = 0; i < 200; ++i)
        trickle << "Welcome ";
    QTest::newRow("trickles without a prompt") << trickle << QString() << false << false
                                               << QStringLiteral("did not answer within");
    QTest::newRow("answer without end") << QList<QByteArray>{QByteArray(3000, 'x'), QByteArray(3000, 'x')} << QString()
                                        << false << false << QStringLiteral("longer than 4096 bytes");
    QTest::newRow("closes before the prompt") << QList<QByteArray>{"Welcome to PulseAudio 14.1!\n", Close} << QString()
                                              << false << true << QStringLiteral("closed its command interface");
}

void TestPulseAudio::attachedServerAnswers()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QString, version);
    QFETCH(bool, starts);
    QFETCH(bool, lost);
    QFETCH(QString, reason);

    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/pa-XXXXXX"));
    QVERIFY(home.isValid());
    QFile pid(home.filePath(QStringLiteral("pid")));
    QVERIFY(pid.open(QIODevice::WriteOnly));
    pid.write("1234\n");
    pid.close();

    FakeCli cli(home.filePath(QStringLiteral("cli")), pieces);
    cli.start();
    PulseAudio pulse;
    pulse.setCommandTimeout(TestEnvironment::timeout(1000));
    pulse.setMaxAnswerSize(4096);
    Spies spies(pulse);
    QVERIFY(spies.isValid());
    pulse.connectExisting(home.path());

    QTRY_VERIFY_WITH_TIMEOUT(spies.started.count() + spies.error.count() > 0, TestEnvironment::timeout(30000));
    if (starts) {
        QCOMPARE(spies.started.count(), 1);
        QCOMPARE(pulse.getVersion(), QVersionNumber::fromString(version));
        QCOMPARE(spies.error.count(), 0);
    } else {
        // A server that does not answer is not taken for one that runs; it is said once.
        QCOMPARE(spies.error.count(), 1);
        QVERIFY2(spies.errors().contains(reason), qPrintable(spies.errors()));
        QCOMPARE(spies.started.count(), 0);
        QVERIFY(!pulse.isRunning());
        if (lost)
            QTRY_COMPARE_WITH_TIMEOUT(spies.stopped.count(), 1, TestEnvironment::timeout(10000));
    }
    pulse.stop();
    QVERIFY(cli.wait(TestEnvironment::timeout(30000)));
    QCOMPARE(spies.started.count(), int(starts));
    QCOMPARE(spies.error.count(), int(!starts));
}

void TestPulseAudio::attachFailure_data()
{
    QTest::addColumn<QByteArray>("pidContents");   // empty: no pid file
    QTest::addColumn<bool>("emptyPath");

    QTest::newRow("pid file without a number") << QByteArray("abc\n") << false;
    QTest::newRow("no pid file") << QByteArray() << false;
    QTest::newRow("no runtime folder") << QByteArray() << true;
}

void TestPulseAudio::attachFailure()
{
    QFETCH(QByteArray, pidContents);
    QFETCH(bool, emptyPath);

    QTemporaryDir home;
    QVERIFY(home.isValid());
    if (!pidContents.isEmpty()) {
        QFile pid(home.filePath(QStringLiteral("pid")));
        QVERIFY(pid.open(QIODevice::WriteOnly));
        pid.write(pidContents);
    }

    PulseAudio pulse;
    Spies spies(pulse);
    QVERIFY(spies.isValid());
    // The test's runtime folder holds no "pulse" folder.
    pulse.connectExisting(emptyPath ? QString() : home.path());
    QCOMPARE(spies.error.count(), 1);
    QCOMPARE(spies.started.count(), 0);
    QCOMPARE(ask(pulse, QStringLiteral("list-sinks")), QStringLiteral("failed: not connected to the sound server"));
}

// A client that is killed takes its sound server along.
void TestPulseAudio::serverEndsWithItsClient()
{
    ZEL_REQUIRE("pulseaudio");
    const QString home = m_work.filePath(QStringLiteral("child-home"));
    ProcessGuard child;
    child->start(QStringLiteral(SOUND_CHILD),
                 {home, writeScript({QStringLiteral("load-module module-null-sink"),
                                     QStringLiteral("load-module module-cli-protocol-unix")})});
    QByteArray said;
    QTRY_VERIFY2_WITH_TIMEOUT((said += child->readAllStandardOutput()).contains("started"), said.constData(),
                              TestEnvironment::timeout(30000));
    QFile pidFile(home + QStringLiteral("/pid"));
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const qint64 server = pidFile.readAll().trimmed().toLongLong();
    QVERIFY(server > 0 && ::kill(static_cast<pid_t>(server), 0) == 0);

    child->kill();
    QVERIFY(child->waitForFinished(TestEnvironment::timeout(10000)));
    QTRY_VERIFY_WITH_TIMEOUT(::kill(static_cast<pid_t>(server), 0) != 0, TestEnvironment::timeout(10000));
}

QTEST_GUILESS_MAIN(TestPulseAudio)
#include "tst_pulseaudio.moc"
