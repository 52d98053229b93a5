#include "helpers/pathtools.h"
#include "logcapture.h"
#include "pulseaudio/pulseaudio.h"
#include "pulseaudio/soundrelay.h"
#include "slaveclient/commands/connectaudio.h"
#include "soundprobe.h"
#include "testenvironment.h"
#include "zelslaveclient.h"
#include "zelslavecommand.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <signal.h>

namespace {

// The folders of the sound servers the command started (script, sockets, process id).
QStringList serverFolders()
{
    return QDir(PathTools::getPulseaudioHome()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

qint64 serverPid()
{
    const QStringList folders = serverFolders();
    QFile pidFile(PathTools::getPulseaudioHome() + QLatin1Char('/') + folders.value(0) + QStringLiteral("/pid"));
    return pidFile.open(QIODevice::ReadOnly) ? pidFile.readAll().trimmed().toLongLong() : 0;
}

bool alive(qint64 pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

// The sound command on a slave connection of its own, as the session runs it: the session's
// sound port is open first; once the command is done, the port leads to the server, and the
// session takes over the server the command left running. The command sends nothing, so a
// bare listener stands for the VM's slave port.
struct AudioSession
{
    explicit AudioSession(bool microphone)
        : client(new ZELSlaveClient(slavePort(), QStringLiteral("key")))
        , success(client.get(), &ZELSlaveClient::commandSuccessful)
        , failure(client.get(), &ZELSlaveClient::commandFailed)
        , finished(client.get(), &ZELSlaveClient::finished)
    {
        relay.listen();
        QObject::connect(client.get(), &ZELSlaveClient::commandSuccessful, client.get(),
                         [this](const ZELSlaveCommand &command) {
                             relay.setServerSocket(static_cast<const ConnectAudio &>(command).serverSocket());
                         });
        QObject::connect(client.get(), &ZELSlaveClient::finished, client.get(),
                         [this]() { server.reset(client->takeRunningServer()); });
        client->connectAudio(relay.port(), microphone);
    }

    // Where the VM's sound arrives.
    QString soundPort() const { return QStringLiteral("tcp:127.0.0.1:%1").arg(relay.port()); }

    quint16 slavePort()
    {
        slave.listen(QHostAddress::LocalHost, 0);
        return slave.serverPort();
    }

    bool outcome() const { return finished.count() > 0; }
    // What the session does when it ends.
    void end()
    {
        client.reset();
        server.reset();
    }

    QTcpServer slave;
    SoundRelay relay;
    std::unique_ptr<ZELSlaveClient> client;
    std::unique_ptr<QObject> server;
    QSignalSpy success;
    QSignalSpy failure;
    QSignalSpy finished;
};

} // namespace

class TestConnectAudio : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void soundReachesTheUser_data();
    void soundReachesTheUser();
    void serverEnd_data();
    void serverEnd();

private:
    bool startUserServer();
    QString log() const { return LogCapture::lines().join(QLatin1Char('\n')); }

    TestEnvironment m_environment;
    QTemporaryDir m_work;
    QString m_tone;
    std::unique_ptr<PulseAudio> m_userServer;
};

void TestConnectAudio::initTestCase()
{
    ZEL_REQUIRE("pulseaudio", "pacat", "parec", "sox");
    QVERIFY(m_work.isValid());
    qunsetenv("PULSE_SERVER");
    m_tone = SoundProbe::makeTone(m_work.path());
    QVERIFY(!m_tone.isEmpty());
    LogCapture::install();
}

void TestConnectAudio::init()
{
    LogCapture::clear();
}

void TestConnectAudio::cleanup()
{
    m_userServer.reset();
    if (QTest::currentTestFailed())
        qWarning().noquote() << log();
}

// The user's own sound server, where a desktop session has it: a speaker and a microphone
// that hears a steady tone.
bool TestConnectAudio::startUserServer()
{
    const QString script = m_work.filePath(QStringLiteral("user.pa"));
    QFile file(script);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    file.write("load-module module-native-protocol-unix\n"
               "load-module module-null-sink sink_name=user_speakers\n"
               "load-module module-sine-source source_name=user_mic frequency=440\n"
               "set-default-source user_mic\n"
               "load-module module-cli-protocol-unix\n");
    file.close();
    m_userServer.reset(new PulseAudio);
    m_userServer->setPulseaudioHome(m_environment.runtimeDir() + QStringLiteral("/pulse"));
    m_userServer->setPulseaudioStatePath(m_work.filePath(QStringLiteral("user-state")));
    m_userServer->setZelPulseaudioConfig(script);
    QSignalSpy started(m_userServer.get(), &PulseAudio::started);
    m_userServer->start();
    return started.wait(TestEnvironment::timeout(30000));
}

void TestConnectAudio::soundReachesTheUser_data()
{
    QTest::addColumn<bool>("userServer");
    QTest::addColumn<bool>("microphone");
    QTest::addColumn<QString>("named");   // PULSE_SERVER

    QTest::newRow("speakers, no sound server of the user") << false << false << QString();
    QTest::newRow("microphone, no sound server of the user") << false << true << QString();
    QTest::newRow("speakers to the user's sound server") << true << false << QString();
    QTest::newRow("microphone from the user's sound server") << true << true << QString();
    // The name is looked up without holding anything up, and a server not found is none.
    QTest::newRow("sound server on a host that cannot be found")
        << false << false << QStringLiteral("tcp:zel-no-such-host.invalid:4713");
}

void TestConnectAudio::soundReachesTheUser()
{
    QFETCH(bool, userServer);
    QFETCH(bool, microphone);
    QFETCH(QString, named);
    if (userServer)
        QVERIFY2(startUserServer(), qPrintable(log()));

    if (!named.isEmpty())
        qputenv("PULSE_SERVER", named.toLocal8Bit());
    AudioSession session(microphone);
    QTRY_VERIFY2_WITH_TIMEOUT(session.outcome(), qPrintable(log()), TestEnvironment::timeout(30000));
    qunsetenv("PULSE_SERVER");
    if (!named.isEmpty())
        QCOMPARE(LogCapture::count(QStringLiteral("No sound server of the user answers at ") + named), 1);
    QCOMPARE(session.success.count(), 1);
    // The server serves the rest of the session, in the session's hands, from a folder only the
    // user can open.
    QVERIFY(session.server);
    QCOMPARE(serverFolders().size(), 1);
    const QString folder = PathTools::getPulseaudioHome() + QLatin1Char('/') + serverFolders().first();
    QCOMPARE(QFileInfo(folder).permissions() & (QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther),
             QFile::Permissions());

    // The VM's sound arrives as the native protocol on the session's sound port and is heard
    // where the user listens: on the user's own server when there is one.
    const QString vmSide = session.soundPort();
    const QString userSide = QStringLiteral("unix:%1/pulse/native").arg(m_environment.runtimeDir());
    QString soundLog;
    const double heard = SoundProbe::rmsWhilePlaying(
        userServer ? userSide : vmSide, userServer ? QStringLiteral("user_speakers.monitor") : QStringLiteral("@DEFAULT_MONITOR@"),
        vmSide, m_tone, &soundLog);
    QVERIFY2(heard > 0.05, qPrintable(soundLog + log()));

    // What the VM records: the user's microphone when asked for, nothing otherwise.
    const double recorded = SoundProbe::rmsOfRecording(vmSide, QStringLiteral("zel_input"), m_work.path(), &soundLog);
    if (!microphone)
        QVERIFY2(recorded < 0, qPrintable(soundLog));
    else if (userServer)
        QVERIFY2(recorded > 0.05, qPrintable(soundLog + log()));
    else
        QVERIFY2(recorded >= 0 && recorded < 0.01, qPrintable(soundLog));
}

void TestConnectAudio::serverEnd_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("session ends") << QStringLiteral("end") << true;
    QTest::newRow("server killed") << QStringLiteral("kill") << true;
    QTest::newRow("pulseaudio missing") << QStringLiteral("missing") << false;
    QTest::newRow("no place for the server's folder") << QStringLiteral("no folder") << false;
}

void TestConnectAudio::serverEnd()
{
    QFETCH(QString, how);
    QFETCH(bool, succeeds);

    const QByteArray path = qgetenv("PATH");
    if (how == QLatin1String("missing"))
        qputenv("PATH", QFile::encodeName(m_work.path()));
    // A file where the servers' folders would go.
    const QString blocker = QFileInfo(PathTools::getPulseaudioHome()).absolutePath();
    if (how == QLatin1String("no folder")) {
        QDir(blocker).removeRecursively();
        QVERIFY(QFile(blocker).open(QIODevice::WriteOnly));
    }
    auto session = std::make_unique<AudioSession>(false);
    qputenv("PATH", path);

    QTRY_VERIFY2_WITH_TIMEOUT(session->outcome(), qPrintable(log()), TestEnvironment::timeout(30000));
    if (how == QLatin1String("no folder"))
        QFile::remove(blocker);
    QCOMPARE(session->success.count(), succeeds ? 1 : 0);
    QCOMPARE(session->failure.count(), succeeds ? 0 : 1);
    // Only a working server goes on for the session.
    QCOMPARE(bool(session->server), succeeds);
    const qint64 pid = serverPid();
    if (succeeds)
        QVERIFY(alive(pid));

    if (how == QLatin1String("end"))
        session->end();
    else if (how == QLatin1String("kill"))
        ::kill(static_cast<pid_t>(pid), SIGKILL);

    // However the server ends, it ends, and its folder goes with it.
    QTRY_VERIFY2_WITH_TIMEOUT(serverFolders().isEmpty(), qPrintable(serverFolders().join(QLatin1Char(' '))),
                              TestEnvironment::timeout(30000));
    QTRY_VERIFY_WITH_TIMEOUT(!alive(pid), TestEnvironment::timeout(30000));
    if (how == QLatin1String("kill"))
        QCOMPARE(LogCapture::count(QStringLiteral("Pulseaudio returned an error")), 1);
}

QTEST_GUILESS_MAIN(TestConnectAudio)
#include "tst_connectaudio.moc"
