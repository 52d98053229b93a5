#include "backends/zelnxbackend.h"
#include "demobrokerprocess.h"
#include "logcapture.h"
#include "soundprobe.h"
#include "testenvironment.h"
#include "zelclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// The whole chain of the session's sound: a player inside the demo VM plays to the agent's
// multimedia port, the NX session carries the stream to the client's nxproxy, and the sound
// server the session started plays it.
class TestVMSound : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void vmPlayerIsHeard();

private:
    QJsonObject brokerConfig() const;

    TestEnvironment m_environment;
    QTemporaryDir m_work;
    QString m_tone;
};

void TestVMSound::initTestCase()
{
    ZEL_REQUIRE("Xvfb", "nxagent", "nxproxy", "pulseaudio", "pacat", "parec", "sox");
    QVERIFY(m_work.isValid());
    m_tone = SoundProbe::makeTone(m_work.path());
    QVERIFY(!m_tone.isEmpty());

    QCoreApplication::setOrganizationName(QStringLiteral("Pelsor"));
    QCoreApplication::setApplicationName(QStringLiteral("ZEL Client"));
    qunsetenv("DISPLAY");
    // No sound server of the user's here: the session's server plays to a sink of its own,
    // whose monitor the test records. Its script goes to a temporary folder of the test's own.
    qunsetenv("PULSE_SERVER");
    QVERIFY(QDir().mkpath(m_work.filePath(QStringLiteral("tmp"))));
    qputenv("TMPDIR", QFile::encodeName(m_work.filePath(QStringLiteral("tmp"))));
    LogCapture::install();
}

QJsonObject TestVMSound::brokerConfig() const
{
    // The VM's player plays the tone again and again; while the client's sound server is not
    // up yet the session refuses the stream, and the player tries again.
    const QString player = QStringLiteral("sh -c \"while :; do pacat %1 '%2'; sleep 0.2; done\"")
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

    ZELConnectionParameters parameters;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    parameters.setPort(broker.port());
    parameters.setUsername(QStringLiteral("demo"));
    parameters.setPassword(QStringLiteral("demo"));
    parameters.setKeyboard(QStringLiteral("pc105/us"));
    parameters.setAudio(true);
    parameters.setAudioCompression(true);
    client.setParameters(parameters);
    client.connectToZEL();
    // A port of the test's own rather than the fixed one, which another client may hold.
    const quint16 audioPort = TestEnvironment::freeTcpPort();
    backend.setAudioPort(audioPort);

    const auto diagnostics = [&broker]() {
        return LogCapture::lines().join(QLatin1Char('\n')) + QStringLiteral("\nbroker log:\n") + broker.log();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(LogCapture::count(QStringLiteral("Slave command")) > 0 || !terminated.isEmpty(),
                              qPrintable(diagnostics()), 90000);
    QVERIFY2(noSound.isEmpty() && terminated.isEmpty(), qPrintable(diagnostics()));

    // The VM's player is heard on the client's sink.
    const QString clientServer = QStringLiteral("tcp:127.0.0.1:%1").arg(audioPort);
    QString soundLog;
    // Each try records two seconds; the player may need a few tries to reach the server.
    QDeadlineTimer deadline(60000);
    double heard = -1;
    while (heard <= 0.05 && !deadline.hasExpired())
        heard = SoundProbe::rmsOfRecording(clientServer, QStringLiteral("@DEFAULT_MONITOR@"), m_work.path(), &soundLog);
    if (heard <= 0.05)
        qWarning().noquote() << soundLog << "\nbroker log:\n" << broker.log();
    QVERIFY(heard > 0.05);

    // The session's end ends the sound server, and its script goes with it.
    client.disconnectFromZEL();
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, audioPort);
    QVERIFY(!probe.waitForConnected(5000));
    QVERIFY(QDir(QDir::tempPath()).entryList({QStringLiteral("pulseaudio-*.pa")}, QDir::Files).isEmpty());
}

QTEST_GUILESS_MAIN(TestVMSound)
#include "tst_vmsound.moc"
