#include "brokerresponse.h"
#include "nxagentprocess.h"
#include "programrun.h"
#include "testenvironment.h"
#include "xvfbserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <memory>

namespace {

using Headers = BrokerResponse::Headers;
using Response = BrokerResponse;

const int Timeout = 15000;

QByteArray basic(const QByteArray &user, const QByteArray &password)
{
    return "Basic " + (user + ':' + password).toBase64();
}

// A request exactly as the client writes it: LF line ends, the common headers first.
QByteArray request(const QByteArray &target, const QByteArray &user, const QByteArray &password,
                   const Headers &own, const Headers &environment = Headers(), const QByteArray &method = "GET")
{
    QByteArray out = method + ' ' + target + " HTTP/1.1\n";
    out += "Authorization: " + basic(user, password) + '\n';
    out += "User-Agent: ZELClient Qt/0.01 (Linux)\n";
    for (const auto &h : environment)
        out += h.first + ": " + h.second + '\n';
    for (const auto &h : own)
        out += h.first + ": " + h.second + '\n';
    out += '\n';
    return out;
}

QByteArray listRequest(const QByteArray &user = "demo", const QByteArray &password = "demo")
{
    return request("/zel/list_of_vm", user, password, {{"Accept", "application/json"}});
}

const Headers UpgradeHeaders{{"Connection", "Upgrade"}, {"Upgrade", "ZEL/1.0"}};

// The VM connection query built the way the client builds it, so blanks stay plain blanks.
QList<QPair<QString, QString>> connectItems(int id)
{
    return {
        {QStringLiteral("id"), QString::number(id)},
        {QStringLiteral("zel.client.type"), QStringLiteral("qt")},
        {QStringLiteral("zel.client.keyboard"), QStringLiteral("pc105/es")},
        {QStringLiteral("zel.client.os"), QSysInfo::kernelType()},
        {QStringLiteral("zel.client.nxagent.extra_args"), QStringLiteral("-nocomposite -dpi 96 a&b=c")},
        {QStringLiteral("zel.client.geometry"), QStringLiteral("1024x768")},
        {QStringLiteral("zel.client.fullscreen"), QStringLiteral("0")},
        {QStringLiteral("zel.client.printing.enabled"), QStringLiteral("1")},
        {QStringLiteral("zel.client.usb.enabled"), QStringLiteral("0")},
        {QStringLiteral("zel.client.usb.implementation"), QStringLiteral("usbip")},
        {QStringLiteral("zel.client.link"), QStringLiteral("adsl")},
        {QStringLiteral("zel.client.audio.sound.enable"), QStringLiteral("1")},
        {QStringLiteral("zel.client.audio.microphone.enable"), QStringLiteral("0")},
        {QStringLiteral("zel.client.audio.compression.enable"), QStringLiteral("1")},
        {QStringLiteral("zel.client.timezone"), QStringLiteral("Europe/Madrid")},
    };
}

QByteArray target(const QString &path, const QList<QPair<QString, QString>> &items)
{
    QUrl url(QStringLiteral("https://localhost") + path);
    QUrlQuery query;
    for (const auto &item : items)
        query.addQueryItem(item.first, item.second);
    url.setQuery(query);
    QByteArray out = url.path().toUtf8();
    if (!url.query().isEmpty())
        out += '?' + url.query().toUtf8();
    return out;
}

QByteArray connectRequest(int id, const QByteArray &user = "demo", const QByteArray &password = "demo")
{
    return request(target(QStringLiteral("/zel/connect_to_vm"), connectItems(id)), user, password, UpgradeHeaders);
}

QByteArray stopRequest(int id)
{
    return request("/zel/stop_vm?id=" + QByteArray::number(id), "demo", "demo", UpgradeHeaders);
}

// A child process that is ended when the test leaves its scope, also on failure.
struct ChildProcess
{
    QProcess process;
    QByteArray errors;

    ChildProcess()
    {
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this]() { errors += process.readAllStandardError(); });
    }
    ~ChildProcess() { ProcessGuard::end(process); }
};

QByteArray pattern(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = static_cast<quint32>(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = static_cast<char>(x >> 24);
    }
    return data;
}

} // namespace

class tst_DemoBroker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void vmList_data();
    void vmList();
    void statuses_data();
    void statuses();
    void badRequests_data();
    void badRequests();
    void requestInPieces();
    void pipelinedRequests();
    void connectToVm_data();
    void connectToVm();
    void tunnelEndsWhenVmCloses();
    void slowVmReader();
    void slaveKey_data();
    void slaveKey();
    void connectFailures_data();
    void connectFailures();
    void clientLeavesWhileVmStarts();
    void vmStates();
    void notTls();
    void secretsNotLogged();
    void defaultAndSampleConfig();
    void badConfig_data();
    void badConfig();
    void badCommandLine_data();
    void badCommandLine();
    void portInUse();
    void certificateMadeOnceAndKept();
    void certificateInDataHome();
    void givenCertificate();
    void noOpenssl();
    void sigtermEndsEverything();
    void realNxSessionThroughTheTunnel();

private:
    bool startBroker(const QByteArray &config, const QStringList &extraArguments = QStringList(),
                     const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    bool stopBroker();
    QString brokerLog() const;
    std::unique_ptr<QSslSocket> connectTls();
    bool readResponse(QTcpSocket *socket, Response *response, int timeout = Timeout);
    Response exchange(QSslSocket *socket, const QByteArray &bytes);
    bool waitForDisconnect(QAbstractSocket *socket, int timeout = Timeout);
    std::unique_ptr<QTcpSocket> acceptNext(QTcpServer &server);
    QByteArray standardConfig(quint16 endpointPort = 1) const;

    TestEnvironment m_environment;
    std::unique_ptr<QProcess> m_broker;
    quint16 m_port = 0;
    QString m_stateDir;
    QString m_logFile;
    QByteArray m_lastErrors;
    bool m_stateDirOption = true;
    int m_configCount = 0;
};

QByteArray tst_DemoBroker::standardConfig(quint16 endpointPort) const
{
    QJsonObject root = QJsonDocument::fromJson(R"({
        "processingResponses": 0,
        "processingIntervalMs": 0,
        "statusOverrides": { "/zel/ping": 500 },
        "users": [
            { "name": "demo", "password": "demo" },
            { "name": "two", "password": "pw", "secondFactor": "424242", "vms": [2] },
            { "name": "blocked", "password": "demo", "statusOverrides": { "/zel/list_of_vm": 503 } },
            { "name": "broken", "password": "demo", "statusOverrides": { "/zel/list_of_vm": 500 } },
            { "name": "gateway", "password": "demo", "statusOverrides": { "/zel/list_of_vm": 502 } },
            { "name": "notzel", "password": "demo", "statusOverrides": { "/zel/list_of_vm": 404 } },
            { "name": "moved", "password": "demo",
              "statusOverrides": { "/zel/list_of_vm": { "status": 302, "reason": "Elsewhere" } } },
            { "name": "garbled", "password": "demo",
              "statusOverrides": { "/zel/list_of_vm": { "status": 200, "body": "[{\"id\": 1,",
                                                        "contentType": "application/json" },
                                   "/zel/ping": 200 } }
        ],
        "vms": [
            { "id": 1, "name": "Desktop", "state": "stopped", "endpoint": "127.0.0.1:1" },
            { "id": 2, "name": "Office", "state": "running", "blocked": false, "endpoint": "127.0.0.1:1" },
            { "id": 3, "name": "Retired", "state": "stopped", "blocked": true },
            { "id": 4, "name": "Odd", "state": "hibernating" }
        ]
    })").object();
    QJsonArray vms = root.value(QStringLiteral("vms")).toArray();
    for (int i = 0; i < 2; ++i) {
        QJsonObject vm = vms.at(i).toObject();
        vm.insert(QStringLiteral("endpoint"), QStringLiteral("127.0.0.1:%1").arg(endpointPort));
        vm.insert(QStringLiteral("slaveKey"), QStringLiteral("abc"));
        vms.replace(i, vm);
    }
    root.insert(QStringLiteral("vms"), vms);
    return QJsonDocument(root).toJson();
}

void tst_DemoBroker::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY2(QFile::exists(QStringLiteral(ZEL_DEMO_BROKER)), ZEL_DEMO_BROKER);
    QVERIFY2(!TestEnvironment::program(QStringLiteral("openssl")).isEmpty(), "openssl is needed");
    m_stateDir = m_environment.dataHome() + QStringLiteral("/broker-state");
    m_logFile = m_environment.dataHome() + QStringLiteral("/broker.log");
}

void tst_DemoBroker::cleanup()
{
    const bool failed = QTest::currentTestFailed();
    if (m_broker) {
        if (failed)
            qWarning().noquote() << "broker log:\n" + brokerLog();
        // Every test leaves a broker that still runs and ends cleanly on SIGTERM.
        const bool clean = stopBroker();
        if (!failed && !clean)
            qWarning().noquote() << "broker output:\n" + QString::fromUtf8(m_lastErrors);
        QVERIFY2(failed || clean, "the broker did not end cleanly on SIGTERM");
    }
    QFile::remove(m_logFile);
}

bool tst_DemoBroker::startBroker(const QByteArray &config, const QStringList &extraArguments,
                                 const QProcessEnvironment &environment)
{
    QStringList arguments;
    if (!config.isNull()) {
        const QString path = m_environment.dataHome() + QStringLiteral("/config-%1.json").arg(++m_configCount);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
            return false;
        file.close();
        arguments << QStringLiteral("--config") << path;
    }
    arguments << QStringLiteral("--port") << QStringLiteral("0") << QStringLiteral("--log") << m_logFile;
    if (m_stateDirOption && !extraArguments.contains(QStringLiteral("--cert")))
        arguments << QStringLiteral("--state-dir") << m_stateDir;
    arguments += extraArguments;

    m_broker = std::make_unique<QProcess>();
    m_broker->setProcessEnvironment(environment);
    m_broker->setReadChannel(QProcess::StandardOutput);
    // Woken by new output or by the end of the program, whichever comes first.
    QEventLoop loop;
    connect(m_broker.get(), &QProcess::readyReadStandardOutput, &loop, &QEventLoop::quit);
    connect(m_broker.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop, &QEventLoop::quit);
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    m_broker->start(QStringLiteral(ZEL_DEMO_BROKER), arguments);
    if (!m_broker->waitForStarted(TestEnvironment::timeout(Timeout)))
        return false;

    QDeadlineTimer deadline(TestEnvironment::timeout(Timeout));
    while (!deadline.hasExpired()) {
        while (m_broker->canReadLine()) {
            const QByteArray line = m_broker->readLine().trimmed();
            if (line.startsWith("Listening on port ")) {
                bool ok = false;
                m_port = static_cast<quint16>(line.mid(18).toUInt(&ok));
                return ok && m_port != 0;
            }
        }
        if (m_broker->state() == QProcess::NotRunning)
            return false;
        guard.start(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        loop.exec();
    }
    return false;
}

bool tst_DemoBroker::stopBroker()
{
    if (!m_broker)
        return true;
    bool clean = true;
    if (m_broker->state() != QProcess::NotRunning) {
        QSignalSpy finished(m_broker.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        m_broker->terminate();
        if (!finished.wait(TestEnvironment::timeout(Timeout))) {
            clean = false;
            m_broker->kill();
            m_broker->waitForFinished(TestEnvironment::timeout(Timeout));
        }
    }
    clean = clean && m_broker->exitStatus() == QProcess::NormalExit && m_broker->exitCode() == 0;
    m_lastErrors = m_broker->readAllStandardError();
    m_broker.reset();
    return clean;
}

QString tst_DemoBroker::brokerLog() const
{
    QString log;
    if (m_broker)
        log = QString::fromUtf8(m_broker->readAllStandardError());
    QFile file(m_logFile);
    if (file.open(QIODevice::ReadOnly))
        log = QString::fromUtf8(file.readAll());
    return log;
}

std::unique_ptr<QSslSocket> tst_DemoBroker::connectTls()
{
    auto socket = std::make_unique<QSslSocket>();
    QSslConfiguration configuration = socket->sslConfiguration();
    // The broker's own self-signed certificate is the only one trusted, for the name localhost.
    configuration.setCaCertificates(
        QSslCertificate::fromPath(m_stateDir + QStringLiteral("/broker.crt"), QSsl::Pem));
    socket->setSslConfiguration(configuration);
    QStringList problems;
    connect(socket.get(), qOverload<const QList<QSslError> &>(&QSslSocket::sslErrors), this,
            [&problems](const QList<QSslError> &errors) {
                for (const QSslError &error : errors)
                    problems << error.errorString();
            });
    QSignalSpy encrypted(socket.get(), &QSslSocket::encrypted);
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_port, QStringLiteral("localhost"));
    if (!encrypted.wait(TestEnvironment::timeout(Timeout))) {
        qWarning() << "TLS connection failed:" << socket->errorString() << problems;
        return nullptr;
    }
    disconnect(socket.get(), nullptr, this, nullptr);
    return socket;
}

bool tst_DemoBroker::readResponse(QTcpSocket *socket, Response *response, int timeout)
{
    return BrokerResponse::read(socket, response, timeout);
}

Response tst_DemoBroker::exchange(QSslSocket *socket, const QByteArray &bytes)
{
    Response response;
    socket->write(bytes);
    if (!readResponse(socket, &response))
        response.status = -1;
    return response;
}

bool tst_DemoBroker::waitForDisconnect(QAbstractSocket *socket, int timeout)
{
    if (socket->state() == QAbstractSocket::UnconnectedState)
        return true;
    QSignalSpy disconnected(socket, &QAbstractSocket::disconnected);
    return disconnected.wait(TestEnvironment::timeout(timeout)) || socket->state() == QAbstractSocket::UnconnectedState;
}

// The next connection to server (the broker's to a VM display, the proxy's to the tunnel),
// once it comes; null if it does not.
std::unique_ptr<QTcpSocket> tst_DemoBroker::acceptNext(QTcpServer &server)
{
    if (!server.hasPendingConnections()
        && !QSignalSpy(&server, &QTcpServer::newConnection).wait(TestEnvironment::timeout(Timeout)))
        return nullptr;
    return std::unique_ptr<QTcpSocket>(server.nextPendingConnection());
}

void tst_DemoBroker::vmList_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("every VM") << QByteArray("demo") << QByteArray("demo")
                              << QByteArray(R"([{"blocked":false,"id":1,"name":"Desktop","state":"stopped"},)"
                                            R"({"blocked":false,"id":2,"name":"Office","state":"running"},)"
                                            R"({"blocked":true,"id":3,"name":"Retired","state":"stopped"},)"
                                            R"({"blocked":false,"id":4,"name":"Odd","state":"hibernating"}])");
    QTest::newRow("own VMs, second factor appended") << QByteArray("two") << QByteArray("pw424242")
                                                     << QByteArray(R"([{"blocked":false,"id":2,"name":"Office",)"
                                                                   R"("state":"running"}])");
}

void tst_DemoBroker::vmList()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, expected);
    QVERIFY(startBroker(standardConfig()));
    auto socket = connectTls();
    QVERIFY(socket);

    const Response response = exchange(socket.get(), listRequest(user, password));
    QCOMPARE(response.status, 200);
    QCOMPARE(response.reason, QByteArray("OK"));
    QCOMPARE(response.header("Content-Type"), QByteArray("application/json"));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(response.body, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(document.isArray());
    for (const QJsonValue &value : document.array()) {
        const QJsonObject vm = value.toObject();
        QVERIFY(vm.value(QStringLiteral("id")).isDouble());
        QVERIFY(vm.value(QStringLiteral("name")).isString());
        QVERIFY(vm.value(QStringLiteral("state")).isString());
        QVERIFY(vm.value(QStringLiteral("blocked")).isBool());
    }
    QCOMPARE(document, QJsonDocument::fromJson(expected));

    // The connection stays open for the next request.
    QCOMPARE(exchange(socket.get(), listRequest(user, password)).status, 200);
}

void tst_DemoBroker::statuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("right password") << listRequest("demo", "demo") << 200 << QByteArray("OK");
    QTest::newRow("wrong password") << listRequest("demo", "wrong") << 401 << QByteArray("Unauthorized");
    QTest::newRow("unknown user") << listRequest("nobody", "demo") << 401 << QByteArray("Unauthorized");
    QTest::newRow("empty credentials") << listRequest("", "") << 401 << QByteArray("Unauthorized");
    QTest::newRow("second factor missing") << listRequest("two", "pw") << 401 << QByteArray("Unauthorized");
    QTest::newRow("second factor after a colon") << listRequest("two", "pw:424242") << 401
                                                 << QByteArray("Unauthorized");
    QTest::newRow("second factor wrong") << listRequest("two", "pw424243") << 401 << QByteArray("Unauthorized");
    QTest::newRow("server blocked") << listRequest("blocked", "demo") << 503 << QByteArray("Service Unavailable");
    QTest::newRow("server failure") << listRequest("broken", "demo") << 500 << QByteArray("Internal Server Error");
    QTest::newRow("other 5xx") << listRequest("gateway", "demo") << 502 << QByteArray("Bad Gateway");
    QTest::newRow("not a broker") << listRequest("notzel", "demo") << 404 << QByteArray("Not Found");
    QTest::newRow("unexpected code") << listRequest("moved", "demo") << 302 << QByteArray("Elsewhere");
    QTest::newRow("overridden needs the password") << listRequest("blocked", "x") << 401
                                                   << QByteArray("Unauthorized");
    QTest::newRow("unknown path") << request("/zel/nothing", "demo", "demo", {}) << 404 << QByteArray("Not Found");
    QTest::newRow("unknown path without credentials") << QByteArray("GET /index.html HTTP/1.1\n\n") << 404
                                                      << QByteArray("Not Found");
    QTest::newRow("other method") << request("/zel/list_of_vm", "demo", "demo", {{"Accept", "application/json"}},
                                             {}, "POST")
                                  << 405 << QByteArray("Method Not Allowed");
    QTest::newRow("ping, global override") << request("/zel/ping", "demo", "demo", {}) << 500
                                           << QByteArray("Internal Server Error");
    QTest::newRow("ping, user override wins") << request("/zel/ping", "garbled", "demo", {}) << 200
                                              << QByteArray("OK");
    QTest::newRow("printer") << request("/printer", "demo", "demo", {}) << 200 << QByteArray("OK");
    QTest::newRow("stop") << stopRequest(1) << 200 << QByteArray("OK");
    QTest::newRow("stop, unknown VM") << stopRequest(99) << 404 << QByteArray("Not Found");
}

void tst_DemoBroker::statuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(QByteArray, reason);
    QVERIFY(startBroker(standardConfig()));
    auto socket = connectTls();
    QVERIFY(socket);

    const Response response = exchange(socket.get(), bytes);
    QCOMPARE(response.status, status);
    QCOMPARE(response.reason, reason);
    if (status == 401)
        QCOMPARE(response.header("WWW-Authenticate"), QByteArray("Basic realm=\"ZEL\""));
    if (status == 405)
        QCOMPARE(response.header("Allow"), QByteArray("GET"));
    // Every answer is complete by its announced length, and the session goes on.
    QCOMPARE(response.header("Content-Length").toInt(), response.body.size());
    QCOMPARE(exchange(socket.get(), listRequest()).status, 200);
}

void tst_DemoBroker::badRequests_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("why");

    const QByteArray good = listRequest();
    const QByteArray auth = "Authorization: " + basic("demo", "demo") + '\n';
    const QByteArray agent = "User-Agent: ZELClient Qt/0.01 (Linux)\n";
    const QByteArray accept = "Accept: application/json\n";
    const QByteArray line = "GET /zel/list_of_vm HTTP/1.1\n";

    QByteArray crlf = good;
    crlf.replace("\n", "\r\n");
    QTest::newRow("CR LF line ends") << crlf << "CR LF";
    QTest::newRow("HTTP/1.0") << QByteArray(good).replace("HTTP/1.1", "HTTP/1.0") << "HTTP/1.0";
    QTest::newRow("lower-case method") << QByteArray("get" + good.mid(3)) << "method";
    QTest::newRow("no target") << QByteArray("GET HTTP/1.1\n" + auth + agent + accept + '\n') << "request line";
    QTest::newRow("empty request line") << QByteArray("\n") << "request line";
    QTest::newRow("no Authorization") << QByteArray(line + agent + accept + '\n') << "Authorization";
    QTest::newRow("not Basic") << QByteArray(line + "Authorization: Bearer abc\n" + agent + accept + '\n')
                               << "Basic";
    QTest::newRow("bad Base64") << QByteArray(line + "Authorization: Basic !!!!\n" + agent + accept + '\n')
                                << "Basic";
    QTest::newRow("no colon in credentials")
        << QByteArray(line + "Authorization: Basic " + QByteArray("demo").toBase64() + '\n' + agent + accept + '\n')
        << "Basic";
    QTest::newRow("no User-Agent") << QByteArray(line + auth + accept + '\n') << "User-Agent";
    QTest::newRow("headers swapped") << QByteArray(line + agent + auth + accept + '\n') << "Authorization";
    QTest::newRow("no Accept") << QByteArray(line + auth + agent + '\n') << "Accept";
    QTest::newRow("other Accept") << QByteArray(line + auth + agent + "Accept: text/html\n\n") << "Accept";
    QTest::newRow("Host header") << QByteArray(line + auth + agent + accept + "Host: localhost\n\n") << "Host";
    QTest::newRow("body announced") << QByteArray(line + auth + agent + accept + "Content-Length: 2\n\nab")
                                    << "Content-Length";
    QTest::newRow("header twice") << QByteArray(line + auth + agent + accept + accept + '\n') << "twice";
    QTest::newRow("no blank after colon") << QByteArray(line + auth + agent + "Accept:application/json\n\n")
                                          << "header line";
    QTest::newRow("blank in name") << QByteArray(line + auth + agent + " Accept: application/json\n\n") << "name";
    QTest::newRow("control character") << QByteArray(line + auth + "User-Agent: a\tb\n" + accept + '\n')
                                        << "control";
    QTest::newRow("upper-case hex variable")
        << request("/zel/list_of_vm", "demo", "demo", {{"Accept", "application/json"}}, {{"Auth-4A", ""}})
        << "hexadecimal";
    QTest::newRow("odd hex variable")
        << request("/zel/list_of_vm", "demo", "demo", {{"Accept", "application/json"}}, {{"Auth-504", ""}})
        << "hexadecimal";
    QTest::newRow("variable value not Base64")
        << request("/zel/list_of_vm", "demo", "demo", {{"Accept", "application/json"}},
                   {{"Auth-50415448", "a b"}})
        << "Base64";
    QTest::newRow("variable after Accept") << QByteArray(line + auth + agent + accept + "Auth-50415448: \n\n")
                                           << "unexpected header";
    QTest::newRow("query on the VM list") << request("/zel/list_of_vm?x=1", "demo", "demo",
                                                     {{"Accept", "application/json"}})
                                          << "query";
    QTest::newRow("line too long") << QByteArray(20000, 'a') << "longer";
    QByteArray padded = line + auth + agent;
    for (int i = 0; i < 9; ++i)
        padded += "X-Pad-" + QByteArray::number(i) + ": " + QByteArray(8000, 'p') + '\n';
    QTest::newRow("head too long") << QByteArray(padded + '\n') << "longer";

    auto connectWith = [](QList<QPair<QString, QString>> items) {
        return request(target(QStringLiteral("/zel/connect_to_vm"), items), "demo", "demo", UpgradeHeaders);
    };
    QTest::newRow("connect without query")
        << request("/zel/connect_to_vm", "demo", "demo", UpgradeHeaders) << "no query";
    auto items = connectItems(1);
    items.swapItemsAt(2, 3);
    QTest::newRow("connect items out of order") << connectWith(items) << "zel.client.keyboard";
    items = connectItems(1);
    items.removeLast();
    QTest::newRow("connect item missing") << connectWith(items) << "missing";
    items = connectItems(1);
    items.append({QStringLiteral("zel.client.extra"), QStringLiteral("1")});
    QTest::newRow("connect item added") << connectWith(items) << "unexpected query item";
    const QList<QPair<int, QString>> badValues{{0, QStringLiteral("one")},     {1, QStringLiteral("web")},
                                               {2, QStringLiteral("pc105")},   {3, QString()},
                                               {5, QStringLiteral("big")},     {6, QStringLiteral("2")},
                                               {9, QStringLiteral("none")},    {10, QStringLiteral("fast")},
                                               {13, QStringLiteral("true")}};
    for (const auto &bad : badValues) {
        items = connectItems(1);
        const QString key = items[bad.first].first;
        items[bad.first].second = bad.second;
        QTest::addRow("connect %s=%s", qPrintable(key), qPrintable(bad.second)) << connectWith(items) << key;
    }
    QTest::newRow("connect without Upgrade")
        << request(target(QStringLiteral("/zel/connect_to_vm"), connectItems(1)), "demo", "demo",
                   {{"Connection", "Upgrade"}})
        << "Upgrade";
    QTest::newRow("connect keep-alive")
        << request(target(QStringLiteral("/zel/connect_to_vm"), connectItems(1)), "demo", "demo",
                   {{"Connection", "keep-alive"}, {"Upgrade", "ZEL/1.0"}})
        << "Connection";
    QTest::newRow("stop without query") << request("/zel/stop_vm", "demo", "demo", UpgradeHeaders) << "no query";
    QTest::newRow("stop with more") << request("/zel/stop_vm?id=1&force=1", "demo", "demo", UpgradeHeaders)
                                    << "unexpected query item";
    QTest::newRow("stop without upgrade headers") << request("/zel/stop_vm?id=1", "demo", "demo", {})
                                                  << "Connection";
}

void tst_DemoBroker::badRequests()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, why);
    QVERIFY(startBroker(standardConfig()));
    auto socket = connectTls();
    QVERIFY(socket);

    const Response response = exchange(socket.get(), bytes);
    QCOMPARE(response.status, 400);
    QCOMPARE(response.reason, QByteArray("Bad Request"));
    QCOMPARE(response.header("Connection"), QByteArray("close"));
    QVERIFY2(response.body.contains(why.toUtf8()), response.body.constData());
    // The broker closes the connection after a malformed request.
    QVERIFY(waitForDisconnect(socket.get()));
    QTRY_VERIFY(brokerLog().contains(QStringLiteral("bad request:")));
}

void tst_DemoBroker::requestInPieces()
{
    QVERIFY(startBroker(standardConfig()));
    auto socket = connectTls();
    QVERIFY(socket);
    const QByteArray bytes = listRequest();
    for (const char c : bytes) {
        socket->write(&c, 1);
        socket->flush();
    }
    Response response;
    QVERIFY(readResponse(socket.get(), &response));
    QCOMPARE(response.status, 200);
    QCOMPARE(QJsonDocument::fromJson(response.body).array().size(), 4);
}

void tst_DemoBroker::pipelinedRequests()
{
    QVERIFY(startBroker(standardConfig()));
    auto socket = connectTls();
    QVERIFY(socket);
    socket->write(listRequest("demo", "wrong") + listRequest() + request("/printer", "demo", "demo", {}));
    Response first, second, third;
    QVERIFY(readResponse(socket.get(), &first));
    QVERIFY(readResponse(socket.get(), &second));
    QVERIFY(readResponse(socket.get(), &third));
    QCOMPARE(first.status, 401);
    QCOMPARE(second.status, 200);
    QCOMPARE(second.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(third.status, 200);
    QCOMPARE(third.body, QByteArray("No print jobs\n"));
}

void tst_DemoBroker::connectToVm_data()
{
    QTest::addColumn<int>("processing");
    QTest::newRow("no 102") << 0;
    QTest::newRow("one 102") << 1;
    QTest::newRow("three 102") << 3;
}

void tst_DemoBroker::connectToVm()
{
    QFETCH(int, processing);
    QTcpServer display;
    QVERIFY(display.listen(QHostAddress::LocalHost));
    QJsonObject config = QJsonDocument::fromJson(standardConfig(display.serverPort())).object();
    config.insert(QStringLiteral("processingResponses"), processing);
    config.insert(QStringLiteral("processingIntervalMs"), 20);
    QVERIFY(startBroker(QJsonDocument(config).toJson()));
    auto socket = connectTls();
    QVERIFY(socket);

    // The first tunnel bytes may follow the request at once; they must reach the VM intact.
    const QByteArray early = "NXPROXY-1.5.0\n";
    socket->write(connectRequest(1) + early);
    Response response;
    for (int i = 0; i < processing; ++i) {
        QVERIFY(readResponse(socket.get(), &response));
        QCOMPARE(response.status, 102);
        QCOMPARE(response.reason, QByteArray("Processing"));
        QVERIFY(response.headers.isEmpty());
    }
    QVERIFY(readResponse(socket.get(), &response));
    QCOMPARE(response.status, 101);
    QCOMPARE(response.reason, QByteArray("Switching Protocols"));
    QCOMPARE(response.headers,
             Headers({{"Connection", "Upgrade"}, {"Upgrade", "ZEL/1.0"}, {"X-ZEL-Slave-Key", "abc"}}));
    QCOMPARE(socket->bytesAvailable(), 0);

    std::unique_ptr<QTcpSocket> vm = acceptNext(display);
    QVERIFY(vm);

    // Both directions at once, in uneven pieces, more than the relay holds in flight.
    const QByteArray up = early + pattern(9 * 1024 * 1024 + 17, 1);
    const QByteArray down = pattern(7 * 1024 * 1024 + 5, 2);
    QByteArray receivedByVm, receivedByClient;
    connect(vm.get(), &QTcpSocket::readyRead, this, [&]() { receivedByVm += vm->readAll(); });
    connect(socket.get(), &QSslSocket::readyRead, this, [&]() { receivedByClient += socket->readAll(); });
    receivedByVm += vm->readAll();
    for (int offset = early.size(), piece = 1; offset < up.size(); offset += piece, piece = piece * 7 % 300007 + 1)
        socket->write(up.mid(offset, piece));
    for (int offset = 0, piece = 3; offset < down.size(); offset += piece, piece = piece * 5 % 200003 + 1)
        vm->write(down.mid(offset, piece));
    QTRY_COMPARE_WITH_TIMEOUT(receivedByVm.size(), up.size(), TestEnvironment::timeout(60000));
    QTRY_COMPARE_WITH_TIMEOUT(receivedByClient.size(), down.size(), TestEnvironment::timeout(60000));
    QVERIFY(receivedByVm == up);
    QVERIFY(receivedByClient == down);

    // The client leaves: the VM side is closed as well, and the broker logs the totals.
    socket->disconnectFromHost();
    QVERIFY(waitForDisconnect(vm.get()));
    QTRY_VERIFY(brokerLog().contains(QStringLiteral("bytes to the VM")));
    QVERIFY(brokerLog().contains(QStringLiteral("%1 bytes to the VM, %2 bytes from the VM")
                                     .arg(up.size())
                                     .arg(down.size())));
}

void tst_DemoBroker::tunnelEndsWhenVmCloses()
{
    QTcpServer display;
    QVERIFY(display.listen(QHostAddress::LocalHost));
    QVERIFY(startBroker(standardConfig(display.serverPort())));
    auto socket = connectTls();
    QVERIFY(socket);
    socket->write(connectRequest(2));
    Response response;
    QVERIFY(readResponse(socket.get(), &response));
    QCOMPARE(response.status, 101);
    std::unique_ptr<QTcpSocket> vm = acceptNext(display);
    QVERIFY(vm);

    // The VM sends its last bytes and closes at once: all of them arrive before the close.
    const QByteArray last = pattern(3 * 1024 * 1024, 3);
    QByteArray received;
    connect(socket.get(), &QSslSocket::readyRead, this, [&]() { received += socket->readAll(); });
    vm->write(last);
    vm->disconnectFromHost();
    QVERIFY(waitForDisconnect(socket.get(), 60000));
    received += socket->readAll();
    QCOMPARE(received.size(), last.size());
    QVERIFY(received == last);
}

void tst_DemoBroker::slowVmReader()
{
    QTcpServer display;
    QVERIFY(display.listen(QHostAddress::LocalHost));
    QVERIFY(startBroker(standardConfig(display.serverPort())));
    auto socket = connectTls();
    QVERIFY(socket);
    socket->write(connectRequest(2));
    Response response;
    QVERIFY(readResponse(socket.get(), &response));
    QCOMPARE(response.status, 101);
    std::unique_ptr<QTcpSocket> vm = acceptNext(display);
    QVERIFY(vm);

    // The VM side takes at most 4 KiB per wake-up while the client sends everything at once: the
    // broker has to hold the client back instead of losing or reordering anything.
    vm->setReadBufferSize(4096);
    const QByteArray sent = pattern(24 * 1024 * 1024 + 3, 4);
    QByteArray received;
    connect(vm.get(), &QTcpSocket::readyRead, this, [&]() { received += vm->read(4096); });
    socket->write(sent);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent.size(), TestEnvironment::timeout(120000));
    QVERIFY(received == sent);

    QFile status(QStringLiteral("/proc/%1/status").arg(m_broker->processId()));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM"))
                qInfo().noquote() << "broker peak memory after a slow reader:" << line.mid(6).trimmed();
        }
    }
}

void tst_DemoBroker::slaveKey_data()
{
    QTest::addColumn<QJsonValue>("configured");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("fixed");
    QTest::newRow("fixed") << QJsonValue(QStringLiteral("key-1.2_3")) << true << QByteArray("key-1.2_3");
    QTest::newRow("random") << QJsonValue(QJsonValue::Undefined) << true << QByteArray();
    QTest::newRow("none") << QJsonValue(QJsonValue::Null) << false << QByteArray();
}

void tst_DemoBroker::slaveKey()
{
    QFETCH(QJsonValue, configured);
    QFETCH(bool, present);
    QFETCH(QByteArray, fixed);
    QTcpServer display;
    QVERIFY(display.listen(QHostAddress::LocalHost));
    QJsonObject config = QJsonDocument::fromJson(standardConfig(display.serverPort())).object();
    QJsonArray vms = config.value(QStringLiteral("vms")).toArray();
    QJsonObject vm = vms.at(0).toObject();
    if (configured.isUndefined())
        vm.remove(QStringLiteral("slaveKey"));
    else
        vm.insert(QStringLiteral("slaveKey"), configured);
    vms.replace(0, vm);
    config.insert(QStringLiteral("vms"), vms);
    QVERIFY(startBroker(QJsonDocument(config).toJson()));

    QList<QByteArray> keys;
    for (int i = 0; i < 2; ++i) {
        auto socket = connectTls();
        QVERIFY(socket);
        socket->write(connectRequest(1));
        Response response;
        QVERIFY(readResponse(socket.get(), &response));
        QCOMPARE(response.status, 101);
        QCOMPARE(response.hasHeader("X-ZEL-Slave-Key"), present);
        keys << response.header("X-ZEL-Slave-Key");
    }
    if (!fixed.isEmpty()) {
        QCOMPARE(keys.at(0), fixed);
        QCOMPARE(keys.at(1), fixed);
    } else if (present) {
        // A fresh key for every connection.
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(QString::fromLatin1(keys.at(0))).hasMatch());
        QVERIFY(keys.at(0) != keys.at(1));
    }
}

void tst_DemoBroker::connectFailures_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<int>("vm");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("processing");
    QTest::addColumn<int>("status");

    QTest::newRow("unknown VM") << QByteArray("demo") << QByteArray("demo") << 42 << true << 0 << 404;
    QTest::newRow("VM of someone else") << QByteArray("two") << QByteArray("pw424242") << 1 << true << 0 << 404;
    QTest::newRow("blocked VM") << QByteArray("demo") << QByteArray("demo") << 3 << true << 0 << 403;
    QTest::newRow("no display endpoint") << QByteArray("demo") << QByteArray("demo") << 4 << true << 2 << 502;
    QTest::newRow("display not listening") << QByteArray("demo") << QByteArray("demo") << 1 << false << 2 << 502;
    QTest::newRow("wrong password") << QByteArray("demo") << QByteArray("x") << 1 << true << 0 << 401;
}

void tst_DemoBroker::connectFailures()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    QFETCH(int, vm);
    QFETCH(bool, listening);
    QFETCH(int, processing);
    QFETCH(int, status);

    QTcpServer display;
    QVERIFY(display.listen(QHostAddress::LocalHost));
    const quint16 port = display.serverPort();
    if (!listening)
        display.close();
    QJsonObject config = QJsonDocument::fromJson(standardConfig(port)).object();
    config.insert(QStringLiteral("processingResponses"), 2);
    QVERIFY(startBroker(QJsonDocument(config).toJson()));
    auto socket = connectTls();
    QVERIFY(socket);

    socket->write(connectRequest(vm, user, password));
    // A failure may cut the 102s short, but never adds to them.
    Response response;
    int interim = 0;
    do {
        QVERIFY(readResponse(socket.get(), &response));
    } while (response.status == 102 && ++interim <= processing);
    QVERIFY(interim <= processing);
    QCOMPARE(response.status, status);
    QCOMPARE(response.header("Content-Length").toInt(), response.body.size());

    // The session goes on, and a VM that could not be connected keeps its state.
    const Response list = exchange(socket.get(), listRequest(user, status == 401 ? QByteArray("demo") : password));
    QCOMPARE(list.status, 200);
    for (const QJsonValue &value : QJsonDocument::fromJson(list.body).array()) {
        if (value.toObject().value(QStringLiteral("id")).toInt() == 1)
            QCOMPARE(value.toObject().value(QStringLiteral("state")).toString(), QStringLiteral("stopped"));
    }
}

void tst_DemoBroker::clientLeavesWhileVmStarts()
{
    QTcpServer display;
    QVERIFY(display.listen(QHostAddress::LocalHost));
    QJsonObject config = QJsonDocument::fromJson(standardConfig(display.serverPort())).object();
    config.insert(QStringLiteral("processingResponses"), 1000);
    config.insert(QStringLiteral("processingIntervalMs"), 50);
    QVERIFY(startBroker(QJsonDocument(config).toJson()));
    {
        auto socket = connectTls();
        QVERIFY(socket);
        socket->write(connectRequest(1));
        Response response;
        QVERIFY(readResponse(socket.get(), &response));
        QCOMPARE(response.status, 102);
        socket->abort();
    }
    QTRY_VERIFY(brokerLog().contains(QStringLiteral("connection closed")));

    // The display connection made for the departed client is given up, and the broker serves on.
    if (display.hasPendingConnections()
        || QSignalSpy(&display, &QTcpServer::newConnection).wait(TestEnvironment::timeout(2000))) {
        std::unique_ptr<QTcpSocket> vm(display.nextPendingConnection());
        QVERIFY(waitForDisconnect(vm.get()));
    }
    auto socket = connectTls();
    QVERIFY(socket);
    const Response list = exchange(socket.get(), listRequest());
    QCOMPARE(list.status, 200);
    QCOMPARE(QJsonDocument::fromJson(list.body).array().at(0).toObject().value(QStringLiteral("state")).toString(),
             QStringLiteral("stopped"));
}

void tst_DemoBroker::vmStates()
{
    QTcpServer display;
    QVERIFY(display.listen(QHostAddress::LocalHost));
    QVERIFY(startBroker(standardConfig(display.serverPort())));
    auto stateOf = [this](int id) {
        auto socket = connectTls();
        if (!socket)
            return QString();
        const Response list = exchange(socket.get(), listRequest());
        for (const QJsonValue &value : QJsonDocument::fromJson(list.body).array()) {
            if (value.toObject().value(QStringLiteral("id")).toInt() == id)
                return value.toObject().value(QStringLiteral("state")).toString();
        }
        return QString();
    };
    QCOMPARE(stateOf(1), QStringLiteral("stopped"));

    auto tunnel = connectTls();
    QVERIFY(tunnel);
    tunnel->write(connectRequest(1));
    Response response;
    QVERIFY(readResponse(tunnel.get(), &response));
    QCOMPARE(response.status, 101);
    QCOMPARE(stateOf(1), QStringLiteral("running"));

    auto control = connectTls();
    QVERIFY(control);
    const Response stopped = exchange(control.get(), stopRequest(1));
    QCOMPARE(stopped.status, 200);
    QCOMPARE(QJsonDocument::fromJson(stopped.body).object().value(QStringLiteral("state")).toString(),
             QStringLiteral("stopped"));
    QCOMPARE(stateOf(1), QStringLiteral("stopped"));
}

void tst_DemoBroker::notTls()
{
    QVERIFY(startBroker(standardConfig()));
    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(plain.waitForConnected(TestEnvironment::timeout(Timeout)));
    plain.write(listRequest());
    QVERIFY(waitForDisconnect(&plain));

    auto socket = connectTls();
    QVERIFY(socket);
    QCOMPARE(exchange(socket.get(), listRequest()).status, 200);
}

void tst_DemoBroker::secretsNotLogged()
{
    QVERIFY(startBroker(standardConfig()));
    auto socket = connectTls();
    QVERIFY(socket);
    const QByteArray secret = "Sup3r-s3cret-pw";
    QCOMPARE(exchange(socket.get(), listRequest("demo", secret)).status, 401);
    QCOMPARE(exchange(socket.get(),
                      request("/zel/list_of_vm", "demo", "demo", {{"Accept", "application/json"}},
                              {{"Auth-5a454c5f54455354", QByteArray("hello world").toBase64()}}))
                 .status,
             200);
    QVERIFY(stopBroker());

    QFile file(m_logFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray log = file.readAll();
    QVERIFY(log.contains("GET /zel/list_of_vm HTTP/1.1"));
    QVERIFY(log.contains("Accept: application/json"));
    QVERIFY(log.contains("authentication failed for user demo"));
    QVERIFY(log.contains("environment ZEL_TEST=hello world"));
    QVERIFY(log.contains("answered 401 Unauthorized"));
    QVERIFY(!log.contains(secret));
    QVERIFY(!log.contains(basic("demo", secret).mid(6)));
    QVERIFY(!log.contains(basic("demo", "demo").mid(6)));
}

void tst_DemoBroker::defaultAndSampleConfig()
{
    QVERIFY(startBroker(QByteArray()));
    {
        auto socket = connectTls();
        QVERIFY(socket);
        const Response list = exchange(socket.get(), listRequest("demo", "demo"));
        QCOMPARE(list.status, 200);
        QCOMPARE(QJsonDocument::fromJson(list.body),
                 QJsonDocument::fromJson(R"([{"id":1,"name":"Demo desktop","state":"stopped","blocked":false}])"));
    }
    QVERIFY(stopBroker());

    QFile sample(QStringLiteral(ZEL_SOURCE_DIR "/tools/demobroker/demo.json"));
    QVERIFY(sample.open(QIODevice::ReadOnly));
    QVERIFY(startBroker(sample.readAll()));
    auto socket = connectTls();
    QVERIFY(socket);
    const Response list = exchange(socket.get(), listRequest("alice", "secret123456"));
    QCOMPARE(list.status, 200);
    QCOMPARE(QJsonDocument::fromJson(list.body).array().size(), 2);
    QCOMPARE(exchange(socket.get(), listRequest("blocked", "demo")).status, 503);
}

void tst_DemoBroker::badConfig_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("message");
    QTest::newRow("not JSON") << QByteArray("{ users: [") << "not valid JSON";
    QTest::newRow("unknown key") << QByteArray(R"({"users": [], "user": []})") << "unknown key \"user\"";
    QTest::newRow("no password") << QByteArray(R"({"users": [{"name": "a"}]})") << "users[0]: \"password\"";
    QTest::newRow("unknown VM") << QByteArray(R"({"users": [{"name": "a", "password": "b", "vms": [7]}]})")
                                << "users[0]";
    QTest::newRow("bad endpoint")
        << QByteArray(R"({"users": [], "vms": [{"id": 1, "name": "x", "endpoint": "nowhere"}]})") << "endpoint";
    QTest::newRow("bad status") << QByteArray(R"({"users": [], "statusOverrides": {"/zel/ping": 700}})")
                                << "status";
    QTest::newRow("same id twice")
        << QByteArray(R"({"users": [], "vms": [{"id": 1, "name": "x"}, {"id": 1, "name": "y"}]})") << "twice";
}

void tst_DemoBroker::badConfig()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, message);
    QVERIFY(!startBroker(config));
    QVERIFY(m_broker->state() == QProcess::NotRunning || m_broker->waitForFinished(TestEnvironment::timeout(Timeout)));
    QCOMPARE(m_broker->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_broker->exitCode(), 2);
    const QString errors = QString::fromUtf8(m_broker->readAllStandardError());
    QVERIFY2(errors.contains(message), qPrintable(errors));
    m_broker.reset();
}

void tst_DemoBroker::badCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("port out of range") << QStringList{QStringLiteral("--port"), QStringLiteral("70000")} << 2
                                       << "--port";
    QTest::newRow("port not a number") << QStringList{QStringLiteral("--port"), QStringLiteral("https")} << 2
                                       << "--port";
    QTest::newRow("address not an address") << QStringList{QStringLiteral("--address"), QStringLiteral("far.away")}
                                            << 2 << "--address";
    QTest::newRow("certificate without key") << QStringList{QStringLiteral("--cert"), QStringLiteral("x.crt")} << 2
                                             << "--cert and --key";
    QTest::newRow("missing certificate file")
        << QStringList{QStringLiteral("--cert"), QStringLiteral("/nonexistent/x.crt"), QStringLiteral("--key"),
                       QStringLiteral("/nonexistent/x.key")}
        << 1 << "/nonexistent/x.crt";
    QTest::newRow("missing config file") << QStringList{QStringLiteral("--config"), QStringLiteral("/nonexistent.json")}
                                         << 2 << "/nonexistent.json";
    QTest::newRow("stray argument") << QStringList{QStringLiteral("extra")} << 2 << "unexpected argument";
}

void tst_DemoBroker::badCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QVERIFY(!startBroker(QByteArray(), arguments));
    QVERIFY(m_broker->state() == QProcess::NotRunning || m_broker->waitForFinished(TestEnvironment::timeout(Timeout)));
    QCOMPARE(m_broker->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_broker->exitCode(), exitCode);
    const QString errors = QString::fromUtf8(m_broker->readAllStandardError());
    QVERIFY2(errors.contains(message), qPrintable(errors));
    m_broker.reset();
}

void tst_DemoBroker::portInUse()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost));
    QVERIFY(!startBroker(standardConfig(), {QStringLiteral("--port"), QString::number(occupant.serverPort())}));
    QVERIFY(m_broker->state() == QProcess::NotRunning || m_broker->waitForFinished(TestEnvironment::timeout(Timeout)));
    QCOMPARE(m_broker->exitCode(), 1);
    QVERIFY(QString::fromUtf8(m_broker->readAllStandardError()).contains(QStringLiteral("cannot listen")));
    m_broker.reset();
}

void tst_DemoBroker::certificateMadeOnceAndKept()
{
    const QString stateDir = m_environment.dataHome() + QStringLiteral("/fresh-state");
    QVERIFY(!QFile::exists(stateDir));
    QVERIFY(startBroker(standardConfig(), {QStringLiteral("--state-dir"), stateDir}));
    const QString certificatePath = stateDir + QStringLiteral("/broker.crt");
    const QString keyPath = stateDir + QStringLiteral("/broker.key");
    QVERIFY(QFile::exists(certificatePath));
    QCOMPARE(QFile::permissions(keyPath) & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    const QString savedStateDir = m_stateDir;
    m_stateDir = stateDir;
    auto socket = connectTls();
    m_stateDir = savedStateDir;
    QVERIFY(socket);
    const QSslCertificate first = socket->peerCertificate();
    QCOMPARE(first, QSslCertificate::fromPath(certificatePath).value(0));
    QVERIFY(first.subjectAlternativeNames().values(QSsl::IpAddressEntry).contains(QStringLiteral("127.0.0.1")));
    socket.reset();
    QVERIFY(stopBroker());

    QVERIFY(startBroker(standardConfig(), {QStringLiteral("--state-dir"), stateDir}));
    m_stateDir = stateDir;
    socket = connectTls();
    m_stateDir = savedStateDir;
    QVERIFY(socket);
    QCOMPARE(socket->peerCertificate(), first);
}

void tst_DemoBroker::certificateInDataHome()
{
    // Without --state-dir the certificate is kept in the broker's own folder of the data home.
    m_stateDirOption = false;
    const bool started = startBroker(standardConfig());
    m_stateDirOption = true;
    QVERIFY(started);
    const QString folder = m_environment.dataHome() + QStringLiteral("/zel-demo-broker");
    QVERIFY(QFile::exists(folder + QStringLiteral("/broker.crt")));
    QVERIFY(QFile::exists(folder + QStringLiteral("/broker.key")));
    const QString savedStateDir = m_stateDir;
    m_stateDir = folder;
    auto socket = connectTls();
    m_stateDir = savedStateDir;
    QVERIFY(socket);
    QCOMPARE(exchange(socket.get(), listRequest()).status, 200);
}

void tst_DemoBroker::givenCertificate()
{
    const QString folder = m_environment.dataHome() + QStringLiteral("/given");
    QVERIFY(QDir().mkpath(folder));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(TestEnvironment::program(QStringLiteral("openssl")),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"),
                   QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=localhost/O=given by the test"), QStringLiteral("-keyout"),
                   folder + QStringLiteral("/given.key"), QStringLiteral("-out"),
                   folder + QStringLiteral("/given.crt")});
    QVERIFY(openssl.waitForFinished(TestEnvironment::timeout(Timeout)));
    QVERIFY2(openssl.exitCode() == 0, openssl.readAll().constData());

    QVERIFY(startBroker(standardConfig(), {QStringLiteral("--cert"), folder + QStringLiteral("/given.crt"),
                                           QStringLiteral("--key"), folder + QStringLiteral("/given.key")}));
    QSslSocket socket;
    QSslConfiguration configuration = socket.sslConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::QueryPeer);
    socket.setSslConfiguration(configuration);
    QSignalSpy encrypted(&socket, &QSslSocket::encrypted);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_port, QStringLiteral("localhost"));
    QVERIFY(encrypted.wait(TestEnvironment::timeout(Timeout)));
    QCOMPARE(socket.peerCertificate(), QSslCertificate::fromPath(folder + QStringLiteral("/given.crt")).value(0));
    QCOMPARE(exchange(&socket, listRequest()).status, 200);
}

void tst_DemoBroker::noOpenssl()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString emptyBin = m_environment.dataHome() + QStringLiteral("/empty-bin");
    QVERIFY(QDir().mkpath(emptyBin));
    environment.insert(QStringLiteral("PATH"), emptyBin);
    QVERIFY(!startBroker(standardConfig(),
                         {QStringLiteral("--state-dir"), m_environment.dataHome() + QStringLiteral("/no-openssl")},
                         environment));
    QVERIFY(m_broker->state() == QProcess::NotRunning || m_broker->waitForFinished(TestEnvironment::timeout(Timeout)));
    QCOMPARE(m_broker->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_broker->exitCode(), 1);
    QVERIFY(QString::fromUtf8(m_broker->readAllStandardError()).contains(QStringLiteral("openssl was not found")));
    QVERIFY(m_broker->readAllStandardOutput().isEmpty());
    m_broker.reset();
}

void tst_DemoBroker::sigtermEndsEverything()
{
    QTcpServer display;
    QVERIFY(display.listen(QHostAddress::LocalHost));
    QVERIFY(startBroker(standardConfig(display.serverPort())));
    auto idle = connectTls();
    QVERIFY(idle);
    auto tunnel = connectTls();
    QVERIFY(tunnel);
    tunnel->write(connectRequest(1));
    Response response;
    QVERIFY(readResponse(tunnel.get(), &response));
    QCOMPARE(response.status, 101);
    std::unique_ptr<QTcpSocket> vm = acceptNext(display);
    QVERIFY(vm);

    QSignalSpy finished(m_broker.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    QVERIFY(finished.isValid());
    m_broker->terminate();
    QVERIFY(finished.wait(TestEnvironment::timeout(Timeout)));
    QCOMPARE(m_broker->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_broker->exitCode(), 0);
    QVERIFY(waitForDisconnect(idle.get()));
    QVERIFY(waitForDisconnect(tunnel.get()));
    QVERIFY(waitForDisconnect(vm.get()));
    const QString log = brokerLog();
    QVERIFY(log.contains(QStringLiteral("stopping on signal 15")));
    QVERIFY(log.contains(QStringLiteral("stopped")));
}

void tst_DemoBroker::realNxSessionThroughTheTunnel()
{
    ZEL_REQUIRE("Xvfb", "nxagent", "nxproxy");

    // The local X server of the client side.
    XvfbServer localX;
    QVERIFY2(localX.start(XvfbServer::Listen::Tcp), qPrintable(localX.errorText()));

    // The VM side: an NX agent waiting for the proxy on the port the broker relays to.
    const QString proxyRoot = m_environment.dataHome() + QStringLiteral("/proxy-nx");
    QVERIFY(QDir().mkpath(proxyRoot));
    NxAgentProcess agent;
    QProcessEnvironment agentEnvironment = QProcessEnvironment::systemEnvironment();
    agentEnvironment.remove(QStringLiteral("DISPLAY"));
    QVERIFY2(agent.start(agentEnvironment), qPrintable(agent.errorText()));

    QVERIFY(startBroker(standardConfig(agent.port())));
    auto tunnel = connectTls();
    QVERIFY(tunnel);
    tunnel->write(connectRequest(1));
    Response response;
    QVERIFY(readResponse(tunnel.get(), &response));
    QCOMPARE(response.status, 101);

    // The client side: nxproxy reaches the tunnel through a loopback listener of the test.
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    ChildProcess proxy;
    QProcessEnvironment proxyEnvironment = QProcessEnvironment::systemEnvironment();
    proxyEnvironment.insert(QStringLiteral("NX_ROOT"), proxyRoot);
    proxyEnvironment.insert(QStringLiteral("DISPLAY"), localX.displayName());
    proxy.process.setProcessEnvironment(proxyEnvironment);
    proxy.process.start(QStringLiteral("nxproxy"), {QStringLiteral("-S"),
                                  QStringLiteral("nx/nx,connect=127.0.0.1,port=%1").arg(listener.serverPort())});
    QVERIFY(proxy.process.waitForStarted(TestEnvironment::timeout(Timeout)));
    std::unique_ptr<QTcpSocket> proxySide = acceptNext(listener);
    QVERIFY(proxySide);
    connect(proxySide.get(), &QTcpSocket::readyRead, this, [&]() { tunnel->write(proxySide->readAll()); });
    connect(tunnel.get(), &QSslSocket::readyRead, this, [&]() { proxySide->write(tunnel->readAll()); });
    proxySide->write(tunnel->readAll());

    QTRY_VERIFY2_WITH_TIMEOUT(proxy.errors.contains("Established X server connection"),
                              (proxy.errors + "\n" + agent.output()).constData(), TestEnvironment::timeout(60000));
}

QTEST_GUILESS_MAIN(tst_DemoBroker)
#include "tst_demobroker.moc"
