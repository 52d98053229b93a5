#include "backends/zelnxbackend.h"
#include "demobrokerprocess.h"
#include "logcapture.h"
#include "sessionevents.h"
#include "otherusersocket.h"
#include "slaveservicereport.h"
#include "testenvironment.h"
#include "testmain.h"
#include "zelclient.h"
#include "zelhttp.h"
#include "zelnetworkreply.h"
#include "zelslaveclient.h"
#include "zelslavecommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>

namespace {

const int VmId = 5;
const QString SlaveKey = QStringLiteral("e2e-slave-key");
// Set in the client's environment: nothing of it may reach the VM.
const char *const ClientSecret = "ZEL_TEST_CLIENT_SECRET";
// The SFTP status of a request the server refuses to do.
const int SftpPermissionDenied = 3;
const QFile::Permissions OpenToOthers = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                        | QFile::WriteOther | QFile::ExeOther;


// A folder share request as the VM's slave service expects it; it stops at the service's
// answer and leaves the upgraded stream alone.
class ShareRequest : public ZELSlaveCommand
{
    Q_OBJECT
public:
    explicit ShareRequest(const QString &folder)
        : m_folder(folder)
    {
    }

    void run() override
    {
        QUrl url(QStringLiteral("http://localhost"));
        url.setPath(QStringLiteral("/shares/") + m_folder, QUrl::DecodedMode);
        QNetworkRequest request = createRequest(url);
        request.setRawHeader("Connection", "Upgrade");
        request.setRawHeader("Upgrade", "zel:sftp/1.0");
        ZELNetworkReply *reply = m_http->put(request, nullptr);
        connect(reply, &QNetworkReply::finished, this, [this, reply]() {
            status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status == 101)
                emit commandSuccessful();
            else
                emit commandFailed();
        });
    }

    int status = 0;

private:
    QString m_folder;
};

// One client session as the program runs it: the session client with a real NX backend whose
// local X server is a headless one on a display of the test's choosing.
struct Session
{
    explicit Session(int display)
    {
        backend.xServerLauncher().setDisplay(static_cast<unsigned short>(display));
        client.setBackend(&backend);
        QObject::connect(&client, &ZELClient::sslErrors, &client,
                         [](const QList<QSslError> &, const QList<QSslCertificate> &, bool &accept) { accept = true; },
                         Qt::DirectConnection);
        SessionEvents::record(client, events);
        QObject::connect(&client, &ZELClient::vmListReceived, &client,
                         [this](const QList<ZELClient::VMInfo> &list) { vms = list; });
        QObject::connect(&client, &ZELClient::socketError, &client,
                         [this](QAbstractSocket::SocketError error) { events << QStringLiteral("socketError %1").arg(error); });
        QObject::connect(&backend, &ZELBackend::started, &client, [this]() { ++backendStarts; });
    }

    bool ended() const
    {
        return events.contains(QStringLiteral("terminated"));
    }

    ZELNXBackend backend;
    ZELClient client;
    QStringList events;
    QList<ZELClient::VMInfo> vms;
    int backendStarts = 0;
};

} // namespace

class TestVMConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void remoteDesktopWithSlaveChannel();
    void closingTheTunnelEndsTheVm();
    void refusedConnection_data();
    void refusedConnection();
    void folderSharing_data();
    void folderSharing();
    void otherUserOnTunnelListener();
    void otherUserHoldsSlavePort_data();
    void otherUserHoldsSlavePort();

private:
    QJsonObject brokerConfig() const;
    ZELConnectionParameters parameters(const QString &user) const;
    QList<QJsonObject> report(const QString &event) const;
    QByteArray localWindows(int display) const;
    QString diagnostics(const Session &session) const;
    // Connects VmId in the session with these parameters.
    void startSession(Session &session, const ZELConnectionParameters &parameters);
    // Asks the broker, from a session of its own, to stop VmId.
    void stopVmFrom(Session &control);

    QJsonObject sftpReport(const QString &folder) const;
    static int sftpServersServing(const QString &folder);

    TestEnvironment m_environment;
    QTemporaryDir m_work;
    QString m_reportPath;
    QString m_folderOne;
    QString m_folderTwo;
    QString m_outsideFile;
    DemoBrokerProcess *m_broker = nullptr;
};

void TestVMConnection::initTestCase()
{
    ZEL_REQUIRE("Xvfb", "nxagent", "nxproxy", "xlogo", "xwininfo", "bwrap", "sftp-server");
    QVERIFY(QFile::exists(QStringLiteral(ZEL_DEMO_BROKER)));
    QVERIFY(QFile::exists(QStringLiteral(ZEL_DEMO_SLAVE_SERVICE)));
    QVERIFY(m_work.isValid());

    // The local X server is a headless one, whatever display the test runs under.
    qunsetenv("DISPLAY");

    // The broker hands its environment to the VM, and the VM to its slave service: the
    // service's report goes to the test, and a connection without a request is given up
    // (and reported) soon.
    m_reportPath = m_work.filePath(QStringLiteral("slave-report.jsonl"));
    qputenv("ZEL_SLAVE_REPORT", QFile::encodeName(m_reportPath));
    qputenv("ZEL_SLAVE_REQUEST_TIMEOUT_MS", "1500");
    qputenv("ZEL_SLAVE_SFTP_TIMEOUT_MS", "1000");
    // The VM reads each folder's README, writes a file back, tries a file of the user outside
    // the folder, and keeps the connection until the client ends it.
    qputenv("ZEL_SLAVE_SFTP_FILE", "README");
    qputenv("ZEL_SLAVE_SFTP_WRITE", "from-vm.txt");
    m_outsideFile = m_environment.home() + QStringLiteral("/private.txt");
    qputenv("ZEL_SLAVE_SFTP_PROBE", QFile::encodeName(m_outsideFile));
    qputenv("ZEL_SLAVE_SFTP_KEEP_OPEN", "1");
    // The VM also looks at the environment of the server's processes, and tries to link to the
    // user's file from inside the folder.
    qputenv("ZEL_SLAVE_SFTP_ENVIRON", "1");
    qputenv("ZEL_SLAVE_SFTP_LINK", QFile::encodeName(m_outsideFile));
    qputenv(ClientSecret, "only-for-the-client");
    qputenv("ZEL_SLAVE_REFUSED_SHARE", QFile::encodeName(m_work.filePath(QStringLiteral("refused by VM"))));

    m_folderOne = m_work.filePath(QStringLiteral("Shared One"));
    m_folderTwo = m_work.filePath(QStringLiteral("shared-two"));
    QVERIFY(QDir().mkpath(m_folderOne));
    QVERIFY(QDir().mkpath(m_folderTwo));
    QVERIFY(QDir().mkpath(m_work.filePath(QStringLiteral("refused by VM"))));
    QVERIFY(QDir().mkpath(m_environment.home()));
    for (const QString &path : {m_folderOne + QStringLiteral("/README"), m_folderTwo + QStringLiteral("/README"),
                                m_outsideFile}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // Every byte value, so that the VM's copy is compared byte for byte.
        QByteArray content = path.toUtf8() + '\n';
        for (int i = 0; i < 256; ++i)
            content += char(i);
        file.write(content);
    }

    LogCapture::install();
}

void TestVMConnection::init()
{
    LogCapture::clear();
    QFile::remove(m_reportPath);
    m_broker = new DemoBrokerProcess;
    QVERIFY2(m_broker->start(brokerConfig()), qPrintable(m_broker->errorText()));
}

void TestVMConnection::cleanup()
{
    if (QTest::currentTestFailed() && m_broker)
        qWarning().noquote() << "broker log:\n" + m_broker->log();
    // Stopping the broker ends every VM it started.
    delete m_broker;
    m_broker = nullptr;
}

QJsonObject TestVMConnection::brokerConfig() const
{
    const QJsonObject agent{{QStringLiteral("slaveService"), QStringLiteral(ZEL_DEMO_SLAVE_SERVICE)},
                            {QStringLiteral("desktop"), QStringLiteral("xlogo")}};
    return QJsonObject{
        {QStringLiteral("processingResponses"), 3},
        {QStringLiteral("processingIntervalMs"), 100},
        {QStringLiteral("users"),
         QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("demo")},
                                {QStringLiteral("password"), QStringLiteral("demo")}},
                    QJsonObject{{QStringLiteral("name"), QStringLiteral("refused")},
                                {QStringLiteral("password"), QStringLiteral("demo")},
                                {QStringLiteral("statusOverrides"),
                                 QJsonObject{{QStringLiteral("/zel/connect_to_vm"), 503}}}}}},
        {QStringLiteral("vms"),
         QJsonArray{QJsonObject{{QStringLiteral("id"), VmId},
                                {QStringLiteral("name"), QStringLiteral("Desk")},
                                {QStringLiteral("state"), QStringLiteral("stopped")},
                                {QStringLiteral("slaveKey"), SlaveKey},
                                {QStringLiteral("nxagent"), agent}},
                    QJsonObject{{QStringLiteral("id"), 6},
                                {QStringLiteral("name"), QStringLiteral("Retired")},
                                {QStringLiteral("blocked"), true},
                                {QStringLiteral("nxagent"), agent}},
                    QJsonObject{{QStringLiteral("id"), 7},
                                {QStringLiteral("name"), QStringLiteral("Broken")},
                                {QStringLiteral("processingResponses"), 1},
                                {QStringLiteral("nxagent"),
                                 QJsonObject{{QStringLiteral("program"), QStringLiteral("/nonexistent/nxagent")}}}}}},
    };
}

ZELConnectionParameters TestVMConnection::parameters(const QString &user) const
{
    ZELConnectionParameters parameters = m_broker->connectionParameters(user);
    parameters.setSharedFolders({m_folderOne, m_folderTwo});
    // Listed, but USB forwarding is off: no slave connection for it.
    USBDevice device;
    parameters.setSharedUsbDevices({device});
    parameters.setUsb_forwarding(false);
    parameters.setAudio(true);
    parameters.setAudioCompression(true);
    return parameters;
}

QList<QJsonObject> TestVMConnection::report(const QString &event) const
{
    return SlaveServiceReport::entries(m_reportPath, event);
}

QByteArray TestVMConnection::localWindows(int display) const
{
    QProcess tree;
    tree.start(TestEnvironment::program(QStringLiteral("xwininfo")),
               {QStringLiteral("-display"), QStringLiteral(":%1").arg(display), QStringLiteral("-root"),
                QStringLiteral("-tree")});
    if (!tree.waitForFinished(TestEnvironment::timeout(10000))) {
        tree.kill();
        tree.waitForFinished();
    }
    return tree.readAllStandardOutput();
}

QString TestVMConnection::diagnostics(const Session &session) const
{
    return QStringLiteral("events: %1\nbroker log:\n%2").arg(session.events.join(QStringLiteral(" | ")), m_broker->log());
}

void TestVMConnection::remoteDesktopWithSlaveChannel()
{
    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    Session session(display);
    session.client.setParameters(parameters(QStringLiteral("demo")));
    QObject::connect(&session.client, &ZELClient::connectionEstablished, &session.client, &ZELClient::requestVMList);
    QObject::connect(&session.client, &ZELClient::vmListReceived, &session.client,
                     [&session]() { session.client.connectToVM(VmId); });

    session.client.connectToZEL();
    QTRY_VERIFY2_WITH_TIMEOUT(session.events.contains(QStringLiteral("vmConnected 0")) || session.ended(),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(90000));
    QCOMPARE(session.events, (QStringList{QStringLiteral("established"), QStringLiteral("list of 3"),
                                          QStringLiteral("vmConnected 0")}));
    QCOMPARE(session.vms.at(0).id, VmId);
    QCOMPARE(session.vms.at(0).name, QStringLiteral("Desk"));
    QCOMPARE(session.vms.at(0).state, 0);
    QCOMPARE(session.vms.at(1).blocked, true);
    // The broker answered 102 while the VM's agent started.
    QVERIFY2(LogCapture::count(QStringLiteral("Processing...")) >= 3, qPrintable(diagnostics(session)));
    QCOMPARE(LogCapture::count(QStringLiteral("VM connected! Status 101")), 1);
    QCOMPARE(session.backendStarts, 1);

    // The VM's desktop (the agent's window, with the desktop program inside) shows on the
    // local X server.
    QByteArray windows;
    QTRY_VERIFY2_WITH_TIMEOUT((windows = localWindows(display)).contains("\"NX Agent\"") && windows.contains("100x100"),
                              windows.constData(), TestEnvironment::timeout(30000));

    // A slave connection per shared folder and one for audio, none for the USB device; each
    // reached a slave service process of its own inside the VM.
    QTRY_COMPARE_WITH_TIMEOUT(LogCapture::count(QStringLiteral("Starting compressed audio")), 1,
                              TestEnvironment::timeout(30000));
    QCOMPARE(LogCapture::count(QStringLiteral("Sharing folder ")), 2);
    QCOMPARE(LogCapture::count(QStringLiteral("Sharing USB device")), 0);
    QTRY_COMPARE_WITH_TIMEOUT(report(QStringLiteral("request")).size(), 3, TestEnvironment::timeout(30000));

    // Requests on the slave channel reach the service through the tunnel with their key and
    // path as written, the folder's blank included; a wrong key is refused.
    const quint16 slavePort = static_cast<quint16>(session.backend.slavePort());
    for (const QString &key : {SlaveKey, QStringLiteral("not-the-key")}) {
        ZELSlaveClient slave(slavePort, key);
        QSignalSpy finished(&slave, &ZELSlaveClient::finished);
        QVERIFY(finished.isValid());
        auto *command = new ShareRequest(m_folderOne);
        slave.runCommand(command);
        QVERIFY2(finished.wait(TestEnvironment::timeout(30000)), qPrintable(diagnostics(session)));
        QCOMPARE(command->status, key == SlaveKey ? 101 : 401);
    }
    QTRY_COMPARE_WITH_TIMEOUT(report(QStringLiteral("request")).size(), 5, TestEnvironment::timeout(30000));
    QList<QJsonObject> shares;
    for (const QJsonObject &entry : report(QStringLiteral("request"))) {
        if (entry.contains(QStringLiteral("target")))
            shares << entry;
        else
            // The sound connection sends no request: it is given up, or closed once the sound runs.
            QVERIFY2((QStringList{QStringLiteral("no complete request in time"),
                                  QStringLiteral("connection ended before a complete request")})
                         .contains(entry.value(QStringLiteral("error")).toString()),
                     qPrintable(entry.value(QStringLiteral("error")).toString()));
    }
    // Both folders of the session, then the two requests above.
    QCOMPARE(shares.size(), 4);
    std::stable_sort(shares.begin(), shares.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value(QStringLiteral("status")).toInt() < b.value(QStringLiteral("status")).toInt();
    });
    QStringList sharedTargets;
    for (int i = 0; i < 3; ++i)
        sharedTargets << shares.at(i).value(QStringLiteral("target")).toString();
    sharedTargets.sort();
    QCOMPARE(sharedTargets, (QStringList{QStringLiteral("/shares/") + m_folderOne, QStringLiteral("/shares/") + m_folderOne,
                                         QStringLiteral("/shares/") + m_folderTwo}));
    const QJsonObject accepted = shares.at(0);
    QCOMPARE(accepted.value(QStringLiteral("method")).toString(), QStringLiteral("PUT"));
    QCOMPARE(accepted.value(QStringLiteral("key")).toString(), QStringLiteral("accepted"));
    QCOMPARE(accepted.value(QStringLiteral("status")).toInt(), 101);
    QCOMPARE(accepted.value(QStringLiteral("lineEnd")).toString(), QStringLiteral("LF"));
    QStringList headerNames;
    for (const QJsonValue &header : accepted.value(QStringLiteral("headers")).toArray())
        headerNames << header.toArray().at(0).toString();
    QCOMPARE(headerNames, (QStringList{QStringLiteral("Authorization"), QStringLiteral("User-Agent"),
                                       QStringLiteral("Connection"), QStringLiteral("Upgrade")}));
    QCOMPARE(shares.at(3).value(QStringLiteral("key")).toString(), QStringLiteral("wrong"));
    QCOMPARE(shares.at(3).value(QStringLiteral("status")).toInt(), 401);

    // Stopping the VM from a second session: that session learns of it, and the display
    // session ends with its VM.
    const int controlDisplay = TestEnvironment::freeDisplay(display + 1);
    QVERIFY(controlDisplay > 0);
    Session control(controlDisplay);
    stopVmFrom(control);
    QTRY_VERIFY2_WITH_TIMEOUT(control.events.contains(QStringLiteral("vmPoweredDown %1").arg(VmId)),
                              qPrintable(diagnostics(control)), TestEnvironment::timeout(60000));
    QCOMPARE(LogCapture::count(QStringLiteral("Powerdown completed")), 1);
    QTRY_VERIFY2_WITH_TIMEOUT(session.ended(), qPrintable(diagnostics(session)), TestEnvironment::timeout(60000));
    QCOMPARE(session.events.last(), QStringLiteral("terminated"));
    // The VM's end closes the tunnel; that is the session's end, not a connection failure.
    QVERIFY2(session.events.filter(QStringLiteral("socketError")).isEmpty(), qPrintable(diagnostics(session)));
    QCOMPARE(session.client.getSocket(), nullptr);
    QVERIFY(m_broker->log().contains(QStringLiteral("[vm %1 :").arg(VmId)));
    QVERIFY(m_broker->log().contains(QStringLiteral("nxagent ended")));
    control.client.disconnectFromZEL();
}

void TestVMConnection::closingTheTunnelEndsTheVm()
{
    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    Session session(display);
    ZELConnectionParameters plain = parameters(QStringLiteral("demo"));
    plain.setSharedFolders({});
    plain.setAudio(false);
    session.client.setParameters(plain);
    QObject::connect(&session.client, &ZELClient::connectionEstablished, &session.client,
                     [&session]() { session.client.connectToVM(VmId); });
    session.client.connectToZEL();
    QTRY_VERIFY2_WITH_TIMEOUT(session.events.contains(QStringLiteral("vmConnected 0")) || session.ended(),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(90000));
    QVERIFY2(!session.ended(), qPrintable(diagnostics(session)));
    QCOMPARE(LogCapture::count(QStringLiteral("Sharing folder ")), 0);
    QCOMPARE(LogCapture::count(QStringLiteral("Starting compressed audio")), 0);

    // The client leaves: the broker ends the VM it started for this connection.
    session.client.disconnectFromZEL();
    QTRY_VERIFY2_WITH_TIMEOUT(m_broker->log().contains(QStringLiteral("nxagent ended")),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(60000));
    QVERIFY(m_broker->log().contains(QStringLiteral("tunnel of VM %1 closed").arg(VmId)));
}

void TestVMConnection::refusedConnection_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("vm");
    QTest::addColumn<QString>("expected");

    QTest::newRow("broker refuses") << QStringLiteral("refused") << VmId << "error ServerBlocked: Server blocked";
    QTest::newRow("blocked VM") << QStringLiteral("demo") << 6 << "error ProtocolError: Unexpected HTTP code 403";
    QTest::newRow("unknown VM") << QStringLiteral("demo") << 99
                                << "error ProtocolError: VM list command unrecognized. This may not be a ZEL server.";
    QTest::newRow("VM does not start") << QStringLiteral("demo") << 7 << "error ProtocolError: Server failure.";
}

void TestVMConnection::refusedConnection()
{
    QFETCH(QString, user);
    QFETCH(int, vm);
    QFETCH(QString, expected);

    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    Session session(display);
    session.client.setParameters(parameters(user));
    QObject::connect(&session.client, &ZELClient::connectionEstablished, &session.client,
                     [&session, vm]() { session.client.connectToVM(vm); });
    session.client.connectToZEL();
    QTRY_VERIFY2_WITH_TIMEOUT(session.ended(), qPrintable(diagnostics(session)), TestEnvironment::timeout(60000));
    QCOMPARE(session.events, (QStringList{QStringLiteral("established"), expected, QStringLiteral("terminated")}));
    // No display session on a connection that never became a tunnel: no X server, no proxy.
    QCOMPARE(session.backendStarts, 0);
    QVERIFY(!TestEnvironment::displayLeftBehind(display));
}

QJsonObject TestVMConnection::sftpReport(const QString &folder) const
{
    for (const QJsonObject &entry : report(QStringLiteral("sftp"))) {
        if (entry.value(QStringLiteral("folder")).toString() == folder)
            return entry;
    }
    return QJsonObject();
}

// Processes of an SFTP server (or of its confinement) started for folder.
int TestVMConnection::sftpServersServing(const QString &folder)
{
    int count = 0;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &pid : pids) {
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> arguments = file.readAll().split('\0');
        const bool server = std::any_of(arguments.begin(), arguments.end(),
                                        [](const QByteArray &argument) { return argument.endsWith("sftp-server"); });
        if (server && arguments.contains(QFile::encodeName(folder)))
            ++count;
    }
    return count;
}

void TestVMConnection::folderSharing_data()
{
    QTest::addColumn<QString>("serverProgram");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("served");
    // Folder and a piece of the reason the window is given.
    QTest::addColumn<QStringList>("refused");

    const QString missing = m_work.filePath(QStringLiteral("no such folder"));
    const QString refusedByVm = m_work.filePath(QStringLiteral("refused by VM"));
    QTest::newRow("two folders, a missing one, one the VM refuses")
        << QString() << QStringList{m_folderOne, missing, m_folderTwo, refusedByVm}
        << QStringList{m_folderOne, m_folderTwo}
        << QStringList{missing, QStringLiteral("does not exist"), refusedByVm, QStringLiteral("404")};
    QTest::newRow("no SFTP server program")
        << m_work.filePath(QStringLiteral("no-sftp-server")) << QStringList{m_folderOne} << QStringList()
        << QStringList{m_folderOne, QStringLiteral("no SFTP server program")};
    // The sandbox cannot start: the folder is not shared, rather than served unconfined.
    QTest::newRow("no bubblewrap") << QStringLiteral("no bwrap") << QStringList{m_folderOne} << QStringList()
                                   << QStringList{m_folderOne, QStringLiteral("bubblewrap (bwrap) is not installed")};
}

void TestVMConnection::folderSharing()
{
    QFETCH(QString, serverProgram);
    QFETCH(QStringList, folders);
    QFETCH(QStringList, served);
    QFETCH(QStringList, refused);

    for (const QString &folder : qAsConst(served))
        QFile::remove(folder + QStringLiteral("/from-vm.txt"));
    const bool noBwrap = serverProgram == QLatin1String("no bwrap");
    if (serverProgram.isEmpty() || noBwrap)
        qunsetenv("ZEL_SFTP_SERVER");
    else
        qputenv("ZEL_SFTP_SERVER", QFile::encodeName(serverProgram));
    const QString sftpLog = m_environment.logDir() + QStringLiteral("/sftp.log");
    QFile::remove(sftpLog);

    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    Session session(display);
    ZELConnectionParameters shared = parameters(QStringLiteral("demo"));
    shared.setSharedFolders(folders);
    shared.setAudio(false);
    session.client.setParameters(shared);
    QStringList notShared;
    QObject::connect(&session.client, &ZELClient::folderNotShared, &session.client,
                     [&notShared](const QString &folder, const QString &reason) { notShared << folder << reason; });
    QObject::connect(&session.client, &ZELClient::connectionEstablished, &session.client,
                     [&session]() { session.client.connectToVM(VmId); });
    // No program found on the search path from here on: bwrap neither. The session's own
    // programs were found when it was made.
    const QByteArray path = qgetenv("PATH");
    QTemporaryDir emptyPath;
    if (noBwrap)
        qputenv("PATH", QFile::encodeName(emptyPath.path()));
    const auto restorePath = qScopeGuard([&path]() { qputenv("PATH", path); });
    session.client.connectToZEL();

    // Every folder reaches its outcome: served ones are read by the VM, the others are named.
    QTRY_VERIFY2_WITH_TIMEOUT(notShared.size() == refused.size()
                                  && std::all_of(served.begin(), served.end(),
                                                 [this](const QString &folder) { return !sftpReport(folder).isEmpty(); }),
                              qPrintable(diagnostics(session) + notShared.join(QLatin1Char('|'))),
                                         TestEnvironment::timeout(90000));
    for (int i = 0; i < refused.size(); i += 2) {
        QCOMPARE(notShared.at(i), refused.at(i));
        QVERIFY2(notShared.at(i + 1).contains(refused.at(i + 1)), qPrintable(notShared.at(i + 1)));
        QCOMPARE(sftpServersServing(refused.at(i)), 0);
        QVERIFY(sftpReport(refused.at(i)).isEmpty());
    }

    for (const QString &folder : qAsConst(served)) {
        const QJsonObject sftp = sftpReport(folder);
        QCOMPARE(sftp.value(QStringLiteral("result")).toString(), QStringLiteral("ok"));
        // The VM read the file byte for byte ...
        QFile readme(folder + QStringLiteral("/README"));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QJsonObject file = sftp.value(QStringLiteral("file")).toObject();
        QCOMPARE(QByteArray::fromBase64(file.value(QStringLiteral("contentBase64")).toString().toLatin1()), readme.readAll());
        // ... wrote one that is here now ...
        QFile written(folder + QStringLiteral("/from-vm.txt"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.size(), sftp.value(QStringLiteral("written")).toObject().value(QStringLiteral("size")).toInt());
        QVERIFY(written.readAll().contains(folder.toUtf8()));
        // ... and could not reach a file of the user outside the folder ...
        const QJsonObject probe = sftp.value(QStringLiteral("probe")).toObject();
        QCOMPARE(probe.value(QStringLiteral("opened")).toBool(true), false);
        // ... nor read the client's environment in the server's processes ...
        const QJsonArray environments = sftp.value(QStringLiteral("environ")).toArray();
        QCOMPARE(environments.size(), 2);
        QVERIFY2(environments.at(0).toObject().value(QStringLiteral("opened")).toBool(), qPrintable(QJsonDocument(sftp).toJson()));
        for (const QJsonValue &environment : environments) {
            const QJsonArray names = environment.toObject().value(QStringLiteral("names")).toArray();
            QVERIFY2(!names.contains(QLatin1String(ClientSecret)), qPrintable(QJsonDocument(sftp).toJson()));
        }
        // ... nor make a link, which could lead anywhere.
        const QJsonObject links = sftp.value(QStringLiteral("links")).toObject();
        for (const QString &kind : {QStringLiteral("symlink"), QStringLiteral("hardlink")})
            QVERIFY2(links.value(kind).toObject().value(QStringLiteral("status")).toInt() == SftpPermissionDenied,
                     qPrintable(QJsonDocument(links).toJson()));
        for (const QString &link : {QStringLiteral("/link-from-vm"), QStringLiteral("/hardlink-from-vm")}) {
            const QFileInfo made(folder + link);
            QVERIFY(!made.exists() && !made.isSymLink());
        }
        QVERIFY(sftpServersServing(folder) > 0);
    }
    if (!served.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(sftpLog).size() > 0, TestEnvironment::timeout(10000));
        // What the VM did in the folder is the user's to read alone.
        QCOMPARE(QFileInfo(sftpLog).permissions() & OpenToOthers, QFile::Permissions());
        QCOMPARE(QFileInfo(m_environment.logDir()).permissions() & OpenToOthers, QFile::Permissions());
    } else {
        QVERIFY(report(QStringLiteral("sftp")).isEmpty());
    }

    // The session goes on whatever became of the folders, and ends the servers when it ends.
    QTRY_VERIFY2_WITH_TIMEOUT(session.events.contains(QStringLiteral("vmConnected 0")) || session.ended(),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(60000));
    QVERIFY2(!session.ended(), qPrintable(diagnostics(session)));
    session.client.disconnectFromZEL();
    for (const QString &folder : qAsConst(folders))
        QTRY_COMPARE_WITH_TIMEOUT(sftpServersServing(folder), 0, TestEnvironment::timeout(10000));
    qunsetenv("ZEL_SFTP_SERVER");
}

void TestVMConnection::stopVmFrom(Session &control)
{
    control.client.setParameters(parameters(QStringLiteral("demo")));
    QObject::connect(&control.client, &ZELClient::connectionEstablished, &control.client,
                     [&control]() { control.client.stopVM(VmId); });
    control.client.connectToZEL();
}

void TestVMConnection::startSession(Session &session, const ZELConnectionParameters &parameters)
{
    session.client.setParameters(parameters);
    QObject::connect(&session.client, &ZELClient::connectionEstablished, &session.client,
                     [&session]() { session.client.connectToVM(VmId); });
    session.client.connectToZEL();
}

// Another user who reaches the display tunnel's listener before nxproxy does gets nothing of
// the VM's display, and the session goes on and ends as it should when its VM ends.
void TestVMConnection::otherUserOnTunnelListener()
{
    if (!TestEnvironment::canRunAsOtherUser())
        ZEL_SKIP("needs root and setpriv to play a second local user");
    ZEL_REQUIRE("socat");
    // nxproxy as the session runs it, held back until the intruder has tried: it says which
    // display (4000 + display is the listener's port) and waits for the word.
    const QString proxy = m_work.filePath(QStringLiteral("held-nxproxy"));
    const QString display = m_work.filePath(QStringLiteral("nxproxy-display"));
    const QString go = m_work.filePath(QStringLiteral("nxproxy-go"));
    QFile::remove(display);
    QFile::remove(go);
    QFile script(proxy);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\nfor last; do :; done\necho \"${last#localhost:}\" > '%1'\n"
                                "while [ ! -e '%2' ]; do sleep 0.05; done\nexec '%3' \"$@\"\n")
                     .arg(display, go, TestEnvironment::program(QStringLiteral("nxproxy")))
                     .toUtf8());
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const int localDisplay = TestEnvironment::freeDisplay();
    QVERIFY(localDisplay > 0);
    Session session(localDisplay);
    session.backend.setNxproxyBinary(proxy);
    ZELConnectionParameters plain = parameters(QStringLiteral("demo"));
    plain.setAudio(false);
    plain.setSharedFolders({m_folderOne});
    startSession(session, plain);

    QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo(display).size() > 0 || session.ended(), qPrintable(diagnostics(session)),
                              TestEnvironment::timeout(90000));
    QVERIFY2(!session.ended(), qPrintable(diagnostics(session)));
    QFile displayFile(display);
    QVERIFY(displayFile.open(QIODevice::ReadOnly));
    const quint16 port = quint16(ZELNXBackend::portOffset + displayFile.readAll().trimmed().toInt());
    OtherUserSocket intruder;
    QVERIFY2(intruder.connectTo(port, "NXPROXY-3.5.0\n"), qPrintable(intruder.errorText()));
    QTRY_VERIFY2_WITH_TIMEOUT(intruder.ended(), qPrintable(intruder.errorText()), TestEnvironment::timeout(10000));
    QVERIFY2(!intruder.refused(), qPrintable(intruder.errorText()));
    QCOMPARE(intruder.received(), QByteArray());
    QCOMPARE(LogCapture::count(QStringLiteral("Closed a connection to the display tunnel listener from user ")), 1);
    QCOMPARE(session.backendStarts, 0);

    QVERIFY(QFile(go).open(QIODevice::WriteOnly));
    QTRY_VERIFY2_WITH_TIMEOUT(session.events.contains(QStringLiteral("vmConnected 0")) || session.ended(),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(90000));
    QVERIFY2(!session.ended(), qPrintable(diagnostics(session)));
    QCOMPARE(session.backendStarts, 1);
    QTRY_VERIFY2_WITH_TIMEOUT(!sftpReport(m_folderOne).isEmpty(), qPrintable(diagnostics(session)),
                              TestEnvironment::timeout(30000));

    // The VM ends: so does the session, without an error.
    const int controlDisplay = TestEnvironment::freeDisplay(localDisplay + 1);
    QVERIFY(controlDisplay > 0);
    Session control(controlDisplay);
    stopVmFrom(control);
    QTRY_VERIFY2_WITH_TIMEOUT(session.ended(), qPrintable(diagnostics(session)), TestEnvironment::timeout(60000));
    QCOMPARE(session.events, (QStringList{QStringLiteral("established"), QStringLiteral("vmConnected 0"),
                                          QStringLiteral("terminated")}));
    control.client.disconnectFromZEL();
}

// A second user who holds the slave port, where "localhost" may lead ([::1]) or where nxproxy
// would listen (127.0.0.1), is sent nothing: no request, no key.
void TestVMConnection::otherUserHoldsSlavePort_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("sessionRuns");
    QTest::newRow("[::1]") << QStringLiteral("::1") << true;
    // nxproxy cannot listen there, says so and ends, and the session with it.
    QTest::newRow("127.0.0.1") << QStringLiteral("127.0.0.1") << false;
}

void TestVMConnection::otherUserHoldsSlavePort()
{
    if (!TestEnvironment::canRunAsOtherUser())
        ZEL_SKIP("needs root and setpriv to play a second local user");
    ZEL_REQUIRE("socat");
    QFETCH(QString, address);
    QFETCH(bool, sessionRuns);

    OtherUserSocket squatter;
    QVERIFY2(squatter.listen(address), qPrintable(squatter.errorText()));
    const int display = TestEnvironment::freeDisplay();
    QVERIFY(display > 0);
    Session session(display);
    session.backend.setSlavePort(squatter.port());
    ZELConnectionParameters shared = parameters(QStringLiteral("demo"));
    shared.setAudio(false);
    shared.setSharedFolders({m_folderOne});
    startSession(session, shared);
    QTRY_VERIFY2_WITH_TIMEOUT(session.events.contains(QStringLiteral("vmConnected 0")) || session.ended(),
                              qPrintable(diagnostics(session)), TestEnvironment::timeout(90000));
    QCOMPARE(!session.ended(), sessionRuns);
    if (sessionRuns)
        QTRY_VERIFY2_WITH_TIMEOUT(!sftpReport(m_folderOne).isEmpty(), qPrintable(diagnostics(session)),
                                  TestEnvironment::timeout(30000));
    else
        QVERIFY2(LogCapture::count(QStringLiteral("Call to bind failed for slave")) > 0, qPrintable(diagnostics(session)));
    session.client.disconnectFromZEL();
    QCOMPARE(squatter.accepted(), 0);
    QCOMPARE(squatter.received(), QByteArray());
}

ZEL_TEST_GUILESS_MAIN(TestVMConnection)
#include "tst_vmconnection.moc"
