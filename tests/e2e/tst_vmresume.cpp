#include "backends/zelnxbackend.h"
#include "demobrokerprocess.h"
#include "logcapture.h"
#include "sessionevents.h"
#include "sessionkeeper.h"
#include "slaveservicereport.h"
#include "testenvironment.h"
#include "zelclient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const int VmId = 5;
const QString VmName = QStringLiteral("Desk");

// One client session as the program runs it, with the keeper that resumes it: the session
// client, a real NX backend on a headless X server of the test's choosing, and the keeper.
struct Session
{
    explicit Session(int display)
        : keeper(&client)
    {
        backend.xServerLauncher().setDisplay(static_cast<unsigned short>(display));
        client.setBackend(&backend);
        // The test stands for the user who accepted the broker's certificate once; during a
        // resume the keeper alone decides.
        QObject::connect(&client, &ZELClient::sslErrors, &client,
                         [this](const QList<QSslError> &, const QList<QSslCertificate> &, bool &accept) {
                             if (!keeper.isResuming())
                                 accept = true;
                         },
                         Qt::DirectConnection);
        // The first login connects the VM, as the window does once the user chose it.
        QObject::connect(&client, &ZELClient::connectionEstablished, &client, [this]() {
            if (keeper.isResuming())
                return;
            keeper.watch(VmId, VmName);
            client.connectToVM(VmId);
        });
        QObject::connect(&client, &ZELClient::vmConnected, &client, [this]() { events << QStringLiteral("vmConnected"); });
        QObject::connect(&client, &ZELClient::connectionError, &client,
                         [this](ZELClient::ConnectionError error, const QString &text) {
                             events << QStringLiteral("error %1: %2").arg(SessionEvents::errorName(error), text);
                         });
        // A failed reconnect attempt ends its own connection, not the session.
        QObject::connect(&client, &ZELClient::connectionTerminated, &client, [this]() {
            if (!keeper.isResuming())
                events << QStringLiteral("terminated");
        });
        QObject::connect(&client, &ZELClient::connectionLost, &client, [this]() { events << QStringLiteral("lost"); });
        QObject::connect(&keeper, &SessionKeeper::dropped, &client, [this]() { events << QStringLiteral("dropped"); });
        QObject::connect(&keeper, &SessionKeeper::resumed, &client, [this]() { events << QStringLiteral("resumed"); });
        QObject::connect(&keeper, &SessionKeeper::gaveUp, &client,
                         [this](const QString &text) { events << QStringLiteral("gave up: %1").arg(text); });
        QObject::connect(&keeper, &SessionKeeper::credentialsNeeded, &client,
                         [this](const QString &, bool secondFactor) {
                             events << QStringLiteral("credentials needed%1").arg(secondFactor ? " (code)" : "");
                         });
        QObject::connect(&keeper, &SessionKeeper::progress, &client,
                         [this](const QString &, int attempt, int secondsToNext) {
                             if (secondsToNext == 0)
                                 attempts = attempt;
                         });
    }

    int count(const QString &event) const { return events.count(event); }
    bool ended() const { return events.contains(QStringLiteral("terminated")); }

    ZELNXBackend backend;
    ZELClient client;
    SessionKeeper keeper;
    QStringList events;
    int attempts = 0;
};

} // namespace

// A remote desktop whose link drops comes back on its own: the demo broker cuts the tunnel
// (closed, or stalled), and the client logs in again with the credentials of this run, connects
// the same VM and draws the same session, its programs still running, in the same X server.
class TestVmResume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void dropComesBackToTheSameSession_data();
    void dropComesBackToTheSameSession();
    void userLoggingOutEndsTheSession();
    void refusedLoginStopsAndAsks();
    void foldersSharedAgainOnTheNewSlaveChannel();

private:
    QJsonObject brokerConfig() const;
    ZELConnectionParameters parameters(const QString &user, const QString &secondFactor = QString()) const;
    void connect(Session &session, const ZELConnectionParameters &parameters);
    // The process id the VM's desktop program wrote down when it started; 0 before.
    qint64 desktopProgram() const;
    // How many colours the local X server's screen shows.
    int screenColours(int display) const;
    QString diagnostics(const Session &session) const;
    // Connects, and waits until the VM's desktop is up and its program known.
    bool connectAndWait(Session &session, const ZELConnectionParameters &parameters);
    QList<QJsonObject> sftpReports(const QString &folder) const;

    TestEnvironment m_environment;
    QTemporaryDir m_work;
    QString m_desktopPidFile;
    QString m_reportPath;
    std::unique_ptr<DemoBrokerProcess> m_broker;
};

void TestVmResume::initTestCase()
{
    ZEL_REQUIRE("Xvfb", "nxagent", "nxproxy", "xlogo", "import", "convert", "bwrap", "sftp-server");
    QVERIFY(QFile::exists(QStringLiteral(ZEL_DEMO_SLAVE_SERVICE)));
    QVERIFY(m_work.isValid());
    QCoreApplication::setOrganizationName(QStringLiteral("Pelsor"));
    QCoreApplication::setApplicationName(QStringLiteral("ZEL Client"));
    // The local X server is a headless one, whatever display the test runs under.
    qunsetenv("DISPLAY");
    m_desktopPidFile = m_work.filePath(QStringLiteral("desktop.pid"));
    // The broker hands its environment to the VM, and the VM to its slave service.
    m_reportPath = m_work.filePath(QStringLiteral("slave-report.jsonl"));
    qputenv("ZEL_SLAVE_REPORT", QFile::encodeName(m_reportPath));
    LogCapture::install();
}

void TestVmResume::init()
{
    LogCapture::clear();
    QFile::remove(m_desktopPidFile);
    QFile::remove(m_reportPath);
    m_broker = std::make_unique<DemoBrokerProcess>();
    QVERIFY2(m_broker->start(brokerConfig()), qPrintable(m_broker->errorText()));
}

void TestVmResume::cleanup()
{
    if (QTest::currentTestFailed() && m_broker)
        qWarning().noquote() << "broker log:\n" + m_broker->log();
    m_broker.reset();
}

QJsonObject TestVmResume::brokerConfig() const
{
    // The desktop program says who it is, then shows itself.
    const QString desktop = QStringLiteral("sh -c \"echo $$ > '%1'; exec xlogo\"").arg(m_desktopPidFile);
    return QJsonObject{
        {QStringLiteral("processingResponses"), 1},
        {QStringLiteral("processingIntervalMs"), 50},
        {QStringLiteral("users"),
         QJsonArray{DemoBrokerProcess::user(QStringLiteral("demo")),
                    DemoBrokerProcess::user(QStringLiteral("coded"),
                                            {{QStringLiteral("oneTimeCodes"),
                                              QJsonArray{QStringLiteral("111111"), QStringLiteral("222222")}}})}},
        {QStringLiteral("vms"),
         QJsonArray{QJsonObject{{QStringLiteral("id"), VmId},
                                {QStringLiteral("name"), VmName},
                                {QStringLiteral("state"), QStringLiteral("stopped")},
                                {QStringLiteral("nxagent"),
                                 QJsonObject{{QStringLiteral("slaveService"), QStringLiteral(ZEL_DEMO_SLAVE_SERVICE)},
                                             {QStringLiteral("desktop"), desktop},
                                             {QStringLiteral("resumeSeconds"), 120}}}}}},
    };
}

ZELConnectionParameters TestVmResume::parameters(const QString &user, const QString &secondFactor) const
{
    ZELConnectionParameters parameters = m_broker->connectionParameters(user);
    parameters.setSecondFactor(secondFactor);
    return parameters;
}

void TestVmResume::connect(Session &session, const ZELConnectionParameters &parameters)
{
    session.client.setParameters(parameters);
    session.client.connectToZEL();
}

qint64 TestVmResume::desktopProgram() const
{
    QFile file(m_desktopPidFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

int TestVmResume::screenColours(int display) const
{
    QProcess grab;
    grab.setStandardOutputFile(m_work.filePath(QStringLiteral("screen.png")));
    grab.start(QStringLiteral("import"), {QStringLiteral("-display"), QStringLiteral(":%1").arg(display),
                                          QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("png:-")});
    if (!grab.waitForFinished(TestEnvironment::timeout(10000)) || grab.exitCode() != 0)
        return -1;
    QProcess count;
    count.start(QStringLiteral("convert"), {m_work.filePath(QStringLiteral("screen.png")), QStringLiteral("-format"),
                                            QStringLiteral("%k"), QStringLiteral("info:")});
    if (!count.waitForFinished(TestEnvironment::timeout(10000)))
        return -1;
    return count.readAllStandardOutput().trimmed().toInt();
}

QString TestVmResume::diagnostics(const Session &session) const
{
    return QStringLiteral("events: %1\nbroker log:\n%2").arg(session.events.join(QStringLiteral(" | ")), m_broker->log());
}

bool TestVmResume::connectAndWait(Session &session, const ZELConnectionParameters &parameters)
{
    connect(session, parameters);
    return QTest::qWaitFor([&]() { return (session.count(QStringLiteral("vmConnected")) == 1 && desktopProgram() > 0)
                                          || session.ended(); },
                           TestEnvironment::timeout(90000))
        && !session.ended();
}

QList<QJsonObject> TestVmResume::sftpReports(const QString &folder) const
{
    QList<QJsonObject> entries;
    for (const QJsonObject &entry : SlaveServiceReport::entries(m_reportPath, QStringLiteral("sftp"))) {
        if (entry.value(QStringLiteral("folder")).toString() == folder)
            entries << entry;
    }
    return entries;
}

void TestVmResume::dropComesBackToTheSameSession_data()
{
    QTest::addColumn<bool>("stall");
    QTest::newRow("closed") << false;
    QTest::newRow("stalled") << true;
}

void TestVmResume::dropComesBackToTheSameSession()
{
    QFETCH(bool, stall);
    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    Session session(display);
    connect(session, parameters(QStringLiteral("demo")));
    QTRY_VERIFY2_WITH_TIMEOUT(session.count(QStringLiteral("vmConnected")) == 1 || session.ended(),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(90000));
    QVERIFY2(!session.ended(), qPrintable(diagnostics(session)));
    QTRY_VERIFY_WITH_TIMEOUT(desktopProgram() > 0, TestEnvironment::timeout(30000));
    const qint64 desktop = desktopProgram();
    const qint64 xServer = TestEnvironment::displayLockOwner(display);
    QVERIFY(xServer > 0);
    // The VM's desktop is drawn before the link goes.
    QTRY_VERIFY_WITH_TIMEOUT(screenColours(display) > 1, TestEnvironment::timeout(30000));

    // While the link is down, the last picture stays on the screen.
    int coloursInTheGap = -1;
    QObject::connect(&session.keeper, &SessionKeeper::dropped, &session.client,
                     [&]() { coloursInTheGap = screenColours(display); });
    QVERIFY(m_broker->cutTunnels(stall));
    QTRY_VERIFY2_WITH_TIMEOUT(session.count(QStringLiteral("resumed")) == 1 || session.ended(),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(90000));
    session.events.removeAll(QStringLiteral("lost"));
    QCOMPARE(session.events, (QStringList{QStringLiteral("vmConnected"), QStringLiteral("dropped"),
                                          QStringLiteral("resumed"), QStringLiteral("vmConnected")}));
    QVERIFY2(coloursInTheGap > 1, qPrintable(QString::number(coloursInTheGap)));

    // The same session: the agent resumed it, and the VM's desktop program still runs; in the
    // same local X server, with nothing asked of the user.
    QTRY_VERIFY2_WITH_TIMEOUT(m_broker->log().contains(QStringLiteral("Session: Session resumed")),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(10000));
    QCOMPARE(desktopProgram(), desktop);
    QVERIFY(QFileInfo::exists(QStringLiteral("/proc/%1").arg(desktop)));
    QCOMPARE(TestEnvironment::displayLockOwner(display), xServer);
    QTRY_VERIFY_WITH_TIMEOUT(screenColours(display) > 1, TestEnvironment::timeout(30000));

    session.client.disconnectFromZEL();
    QVERIFY(session.ended());
}

// The desktop program is the VM's session: its end is the user's logging out, which the client
// takes for the session's end, not for a drop.
void TestVmResume::userLoggingOutEndsTheSession()
{
    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    Session session(display);
    QVERIFY2(connectAndWait(session, parameters(QStringLiteral("demo"))), qPrintable(diagnostics(session)));

    QCOMPARE(::kill(static_cast<pid_t>(desktopProgram()), SIGTERM), 0);
    QTRY_VERIFY2_WITH_TIMEOUT(session.ended(), qPrintable(diagnostics(session)), TestEnvironment::timeout(60000));
    QCOMPARE(session.events, (QStringList{QStringLiteral("vmConnected"), QStringLiteral("terminated")}));
    QVERIFY(!session.keeper.isResuming());
    QCOMPARE(LogCapture::count(QStringLiteral("Reconnect attempt")), 0);
    QVERIFY(m_broker->log().contains(QStringLiteral("the VM's user logged out")));
}

// A one-time second factor opens one login: the reconnect is refused, the keeper stops at once
// and asks, and a new code resumes the same session.
void TestVmResume::refusedLoginStopsAndAsks()
{
    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    Session session(display);
    QVERIFY2(connectAndWait(session, parameters(QStringLiteral("coded"), QStringLiteral("111111"))),
             qPrintable(diagnostics(session)));
    const qint64 desktop = desktopProgram();

    QVERIFY(m_broker->cutTunnels(false));
    QTRY_VERIFY2_WITH_TIMEOUT(session.keeper.needsCredentials() || session.ended(), qPrintable(diagnostics(session)),
                              TestEnvironment::timeout(60000));
    QVERIFY(session.events.contains(QStringLiteral("credentials needed (code)")));
    QCOMPARE(session.attempts, 1);
    QVERIFY(!session.ended());

    session.keeper.resumeWith(QStringLiteral("demo"), QStringLiteral("222222"));
    QTRY_VERIFY2_WITH_TIMEOUT(session.count(QStringLiteral("resumed")) == 1 || session.ended(),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(60000));
    QVERIFY2(!session.ended(), qPrintable(diagnostics(session)));
    QCOMPARE(session.attempts, 2);
    QCOMPARE(desktopProgram(), desktop);
    session.client.disconnectFromZEL();
}

// A resume is a new slave channel with a key of its own: the folder is shared again on it, and
// the VM lists it again.
void TestVmResume::foldersSharedAgainOnTheNewSlaveChannel()
{
    const QString folder = m_work.filePath(QStringLiteral("Shared"));
    QVERIFY(QDir().mkpath(folder));
    QFile note(folder + QStringLiteral("/note.txt"));
    QVERIFY(note.open(QIODevice::WriteOnly));
    note.write("from the client\n");
    note.close();

    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    Session session(display);
    ZELConnectionParameters shared = parameters(QStringLiteral("demo"));
    shared.setSharedFolders({folder});
    QVERIFY2(connectAndWait(session, shared), qPrintable(diagnostics(session)));
    QTRY_COMPARE_WITH_TIMEOUT(sftpReports(folder).size(), 1, TestEnvironment::timeout(30000));
    const quint16 firstSlavePort = static_cast<quint16>(session.backend.slavePort());

    QVERIFY(m_broker->cutTunnels(false));
    QTRY_VERIFY2_WITH_TIMEOUT(session.count(QStringLiteral("resumed")) == 1 || session.ended(),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(60000));
    QTRY_COMPARE_WITH_TIMEOUT(sftpReports(folder).size(), 2, TestEnvironment::timeout(30000));
    QVERIFY(session.backend.slavePort() != firstSlavePort);
    for (const QJsonObject &report : sftpReports(folder)) {
        QCOMPARE(report.value(QStringLiteral("result")).toString(), QStringLiteral("ok"));
        QVERIFY2(QJsonDocument(report.value(QStringLiteral("entries")).toArray()).toJson().contains("note.txt"),
                 qPrintable(QJsonDocument(report).toJson()));
    }
    // Each share came with the key of its connection: the new one replaced the old.
    QCOMPARE(LogCapture::count(QStringLiteral("Server provided a slave channel key")), 2);
    session.client.disconnectFromZEL();
}

QTEST_GUILESS_MAIN(TestVmResume)
#include "tst_vmresume.moc"
