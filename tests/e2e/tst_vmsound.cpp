#include "backends/zelnxbackend.h"
#include "demobrokerprocess.h"
#include "helpers/pathtools.h"
#include "logcapture.h"
#include "otherusersocket.h"
#include "soundprobe.h"
#include "testenvironment.h"
#include "testmain.h"
#include "zelclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// The whole chain of the session's sound: a player inside the demo VM plays to the agent's
// multimedia port, the NX session carries the stream to the client's nxproxy, nxproxy hands it
// to the session's sound port, and the sound server the session started plays it.
class TestVMSound : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void vmPlayerIsHeard();
    void otherUserOnSoundPort();

private:
    QJsonObject brokerConfig() const;
    // Runs a session whose VM plays the tone; with intruder, another user connects to the
    // session's sound port first.
    void playSession(bool intruder);

    TestEnvironment m_environment;
    QTemporaryDir m_work;
    QString m_tone;
};

void TestVMSound::initTestCase()
{
    ZEL_REQUIRE("Xvfb", "nxagent", "nxproxy", "pulseaudio", "pactl", "pacat", "parec", "sox");
    QVERIFY(m_work.isValid());
    m_tone = SoundProbe::makeTone(m_work.path());
    QVERIFY(!m_tone.isEmpty());

    qunsetenv("DISPLAY");
    // No sound server of the user's here: the session's server plays to a sink of its own,
    // whose monitor the test records.
    qunsetenv("PULSE_SERVER");
    LogCapture::install();
}

void TestVMSound::init()
{
    LogCapture::clear();
}

QJsonObject TestVMSound::brokerConfig() const
{
    // Once the client's sound server answers, the VM tries to load a module of its choice into it
    // and to end it, and says how that went; then it plays the tone again and again. While the
    // server is not up yet the session refuses the stream, and the VM tries again.
    const QString player =
        QStringLiteral("sh -c \"until pactl info >/dev/null 2>&1; do sleep 0.2; done; "
                       "pactl load-module module-null-sink sink_name=from_vm; echo load-module ended with $?; "
                       "pactl exit; echo exit ended with $?; "
                       "while :; do pacat %1 '%2'; sleep 0.2; done\"")
            .arg(SoundProbe::formatArguments().join(QLatin1Char(' ')), m_tone);
    const QJsonObject agent{{QStringLiteral("slaveService"), QStringLiteral(ZEL_DEMO_SLAVE_SERVICE)},
                            {QStringLiteral("desktop"), QString()},
                            {QStringLiteral("sound"), player}};
    return QJsonObject{
        {QStringLiteral("processingResponses"), 1},
        {QStringLiteral("processingIntervalMs"), 100},
        {QStringLiteral("users"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("demo")},
                                                         {QStringLiteral("password"), QStringLiteral("demo")}}}},
        {QStringLiteral("vms"), QJsonArray{QJsonObject{{QStringLiteral("id"), 1},
                                                       {QStringLiteral("name"), QStringLiteral("Loud")},
                                                       {QStringLiteral("nxagent"), agent}}}},
    };
}

void TestVMSound::vmPlayerIsHeard()
{
    playSession(false);
}

void TestVMSound::otherUserOnSoundPort()
{
    if (!TestEnvironment::canRunAsOtherUser())
        ZEL_SKIP("needs root and setpriv to play a second local user");
    ZEL_REQUIRE("socat");
    playSession(true);
}

void TestVMSound::playSession(bool intruder)
{
    DemoBrokerProcess broker;
    QVERIFY2(broker.start(brokerConfig()), qPrintable(broker.errorText()));

    ZELNXBackend backend;
    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    backend.xServerLauncher().setDisplay(static_cast<unsigned short>(display));
    ZELClient client;
    client.setBackend(&backend);
    QObject::connect(&client, &ZELClient::sslErrors, &client,
                     [](const QList<QSslError> &, const QList<QSslCertificate> &, bool &accept) { accept = true; },
                     Qt::DirectConnection);
    QObject::connect(&client, &ZELClient::connectionEstablished, &client, [&client]() { client.connectToVM(1); });
    QSignalSpy terminated(&client, &ZELClient::connectionTerminated);
    QSignalSpy noSound(&client, &ZELClient::audioNotAvailable);
    QVERIFY(terminated.isValid() && noSound.isValid());

    ZELConnectionParameters parameters = broker.connectionParameters(QStringLiteral("demo"));
    parameters.setAudio(true);
    parameters.setAudioCompression(true);
    client.setParameters(parameters);
    client.connectToZEL();
    // The session chose its sound port, where nxproxy will deliver the VM's sound.
    const quint16 soundPort = backend.audioPort();
    QVERIFY(soundPort != 0);

    const auto diagnostics = [&broker]() {
        return LogCapture::lines().join(QLatin1Char('\n')) + QStringLiteral("\nbroker log:\n") + broker.log();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(LogCapture::count(QStringLiteral("Slave command")) > 0 || !terminated.isEmpty(),
                              qPrintable(diagnostics()), TestEnvironment::timeout(90000));
    QVERIFY2(noSound.isEmpty() && terminated.isEmpty(), qPrintable(diagnostics()));

    if (intruder) {
        OtherUserSocket other;
        QVERIFY2(other.connectTo(soundPort, "load-module module-null-sink sink_name=from_other_user\n"),
                 qPrintable(other.errorText()));
        QTRY_VERIFY2_WITH_TIMEOUT(other.ended(), qPrintable(other.errorText()), TestEnvironment::timeout(10000));
        QCOMPARE(other.received(), QByteArray());
        QCOMPARE(LogCapture::count(QStringLiteral("Closed a connection to the sound port from user ")), 1);
    }

    // The VM's player is heard on the client's sink.
    const QString clientServer = QStringLiteral("tcp:127.0.0.1:%1").arg(soundPort);
    QString soundLog;
    // Each try records two seconds; the player may need a few tries to reach the server.
    QDeadlineTimer deadline(TestEnvironment::timeout(60000));
    double heard = -1;
    while (heard <= 0.05 && !deadline.hasExpired())
        heard = SoundProbe::rmsOfRecording(clientServer, QStringLiteral("@DEFAULT_MONITOR@"), m_work.path(), &soundLog);
    if (heard <= 0.05)
        qWarning().noquote() << soundLog << "\nbroker log:\n" << broker.log();
    QVERIFY(heard > 0.05);

    // The VM could neither load a module into the server nor end it: the server plays on, with
    // the modules of its script alone.
    QTRY_VERIFY2_WITH_TIMEOUT(broker.log().contains(QStringLiteral("exit ended with")), qPrintable(diagnostics()),
                              TestEnvironment::timeout(30000));
    QVERIFY2(!broker.log().contains(QStringLiteral("load-module ended with 0")), qPrintable(broker.log()));
    QVERIFY2(!broker.log().contains(QStringLiteral("exit ended with 0")), qPrintable(broker.log()));
    QProcess sinks;
    sinks.start(TestEnvironment::program(QStringLiteral("pactl")),
                {QStringLiteral("-s"), clientServer, QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks")});
    QVERIFY(sinks.waitForStarted());
    QSignalSpy listed(&sinks, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    QVERIFY(listed.wait(TestEnvironment::timeout(10000)));
    const QByteArray sinkList = sinks.readAllStandardOutput();
    QVERIFY2(sinkList.contains("zel_output") && !sinkList.contains("from_"), sinkList.constData());

    // The session's end ends the sound server, and its folder goes with it.
    client.disconnectFromZEL();
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, soundPort);
    QVERIFY(!probe.waitForConnected(TestEnvironment::timeout(5000)));
    QTRY_VERIFY_WITH_TIMEOUT(QDir(PathTools::getPulseaudioHome()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty(),
                             TestEnvironment::timeout(10000));
}

ZEL_TEST_GUILESS_MAIN(TestVMSound)
#include "tst_vmsound.moc"
