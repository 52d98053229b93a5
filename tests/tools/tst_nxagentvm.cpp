#include "brokerresponse.h"
#include "demobrokerprocess.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QSslSocket>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>

#include <memory>

namespace {

const int Timeout = 30000;

using Response = BrokerResponse;

QByteArray request(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\n"
        "Authorization: Basic " + QByteArray("demo:demo").toBase64() + "\n"
        "User-Agent: ZELClient Qt/0.01 (Linux)\n"
        "Connection: Upgrade\n"
        "Upgrade: ZEL/1.0\n"
        "\n";
}

QByteArray connectRequest(int id)
{
    QUrlQuery query;
    const QList<QPair<QString, QString>> items{
        {QStringLiteral("id"), QString::number(id)},
        {QStringLiteral("zel.client.type"), QStringLiteral("qt")},
        {QStringLiteral("zel.client.keyboard"), QStringLiteral("pc105/us")},
        {QStringLiteral("zel.client.os"), QSysInfo::kernelType()},
        {QStringLiteral("zel.client.nxagent.extra_args"), QStringLiteral("")},
        {QStringLiteral("zel.client.geometry"), QStringLiteral("800x600")},
        {QStringLiteral("zel.client.fullscreen"), QStringLiteral("0")},
        {QStringLiteral("zel.client.printing.enabled"), QStringLiteral("0")},
        {QStringLiteral("zel.client.usb.enabled"), QStringLiteral("0")},
        {QStringLiteral("zel.client.usb.implementation"), QStringLiteral("usbip")},
        {QStringLiteral("zel.client.link"), QStringLiteral("lan")},
        {QStringLiteral("zel.client.audio.sound.enable"), QStringLiteral("0")},
        {QStringLiteral("zel.client.audio.microphone.enable"), QStringLiteral("0")},
        {QStringLiteral("zel.client.audio.compression.enable"), QStringLiteral("0")},
        {QStringLiteral("zel.client.timezone"), QStringLiteral("")},
    };
    for (const auto &item : items)
        query.addQueryItem(item.first, item.second);
    return request("/zel/connect_to_vm?" + query.query().toUtf8());
}

QJsonObject config(const QJsonObject &agent, int processing = 2)
{
    return QJsonObject{
        {QStringLiteral("processingResponses"), processing},
        {QStringLiteral("processingIntervalMs"), 50},
        {QStringLiteral("users"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("demo")},
                                                         {QStringLiteral("password"), QStringLiteral("demo")}}}},
        {QStringLiteral("vms"), QJsonArray{QJsonObject{{QStringLiteral("id"), 1},
                                                       {QStringLiteral("name"), QStringLiteral("Desk")},
                                                       {QStringLiteral("nxagent"), agent}}}},
    };
}

bool writeScript(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size()
        && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Stands in for nxagent where the test needs to see exactly how the broker starts it: it
// writes down its arguments and environment, announces that it waits, and serves its port.
const QByteArray FakeAgent = R"SH(#!/bin/sh
record="$FAKE_AGENT_RECORD"
{
  echo "args=$*"
  echo "display=${DISPLAY-unset}"
  echo "home=$HOME"
  echo "slavecmd=$NX_SLAVE_CMD"
  echo "key=$(cat "$ZEL_SLAVE_KEY_FILE")"
  echo "keymode=$(stat -c %a "$ZEL_SLAVE_KEY_FILE")"
  touch "$HOME/.nx-test" && echo "homewritable=yes"
} > "$record.part" && mv "$record.part" "$record"
port=$(echo "$2" | sed -n 's/.*listen=\([0-9]*\).*/\1/p')
socat TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr SYSTEM:'echo VM-HELLO; cat >/dev/null' &
server=$!
trap 'kill $server 2>/dev/null; exit 0' TERM INT
# Announced only once the port really listens, as the real agent does.
hexport=$(printf '%04X' "$port")
while ! grep -q ":$hexport 00000000:0000 0A" /proc/net/tcp; do sleep 0.05; done
echo "Info: Waiting for connection from '127.0.0.1' on socket 'tcp:*:$port'."
echo "Session: Session started at 'now'."
wait $server
)SH";

} // namespace

class TestNxAgentVm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void howTheAgentIsStarted();
    void interimAnswersWhileTheAgentStarts();
    void agentsPerConnectionAndStop();
    void displayTakenMeanwhileIsChosenAgain();
    void agentThatDoesNotStart_data();
    void agentThatDoesNotStart();
    void badConfiguration_data();
    void badConfiguration();

private:
    std::unique_ptr<QSslSocket> connectTls();
    bool readResponse(QSslSocket *socket, Response *response);
    bool connectToVm(QSslSocket *socket, Response *response, int *interim = nullptr);
    QMap<QString, QString> record() const;
    QString failureText() const;

    TestEnvironment m_environment;
    QTemporaryDir m_work;
    std::unique_ptr<DemoBrokerProcess> m_broker;
};

void TestNxAgentVm::initTestCase()
{
    QVERIFY(m_work.isValid());
    QVERIFY(QFile::exists(QStringLiteral(ZEL_DEMO_SLAVE_SERVICE)));
    qputenv("FAKE_AGENT_RECORD", QFile::encodeName(m_work.filePath(QStringLiteral("agent-record"))));
}

void TestNxAgentVm::cleanup()
{
    if (QTest::currentTestFailed() && m_broker)
        qWarning().noquote() << "broker log:\n" + m_broker->log();
    m_broker.reset();
    QFile::remove(m_work.filePath(QStringLiteral("agent-record")));
}

QString TestNxAgentVm::failureText() const
{
    return m_broker ? m_broker->log() : QString();
}

std::unique_ptr<QSslSocket> TestNxAgentVm::connectTls()
{
    auto socket = std::make_unique<QSslSocket>();
    // The broker's certificate is its own self-signed one; who it is does not matter here.
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    QSignalSpy encrypted(socket.get(), &QSslSocket::encrypted);
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_broker->port());
    if (!encrypted.wait(TestEnvironment::timeout(Timeout)))
        return nullptr;
    return socket;
}

bool TestNxAgentVm::readResponse(QSslSocket *socket, Response *response)
{
    return BrokerResponse::read(socket, response, Timeout);
}

// Asks for VM 1 and reads up to the final answer, counting the interim ones.
bool TestNxAgentVm::connectToVm(QSslSocket *socket, Response *response, int *interim)
{
    socket->write(connectRequest(1));
    int interimAnswers = 0;
    do {
        if (!readResponse(socket, response))
            return false;
    } while (response->status == 102 && ++interimAnswers);
    if (interim)
        *interim = interimAnswers;
    return true;
}

QMap<QString, QString> TestNxAgentVm::record() const
{
    QMap<QString, QString> values;
    QFile file(m_work.filePath(QStringLiteral("agent-record")));
    if (!file.open(QIODevice::ReadOnly))
        return values;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            values.insert(QString::fromUtf8(line.left(equals)), QString::fromUtf8(line.mid(equals + 1)));
    }
    return values;
}

void TestNxAgentVm::howTheAgentIsStarted()
{
    ZEL_REQUIRE("socat");
    const QString agent = m_work.filePath(QStringLiteral("fake-nxagent"));
    QVERIFY(writeScript(agent, FakeAgent));
    const QString desktopRecord = m_work.filePath(QStringLiteral("desktop-record"));
    const QJsonObject agentConfig{
        {QStringLiteral("program"), agent},
        {QStringLiteral("slaveService"), QStringLiteral(ZEL_DEMO_SLAVE_SERVICE)},
        {QStringLiteral("desktop"), QStringLiteral("sh -c \"echo $DISPLAY > '%1'\"").arg(desktopRecord)}};
    m_broker = std::make_unique<DemoBrokerProcess>();
    QVERIFY2(m_broker->start(config(agentConfig)), qPrintable(m_broker->errorText()));

    auto socket = connectTls();
    QVERIFY(socket);
    Response response;
    int interim = 0;
    QVERIFY2(connectToVm(socket.get(), &response, &interim), qPrintable(failureText()));
    QVERIFY(interim >= 2);
    QCOMPARE(response.status, 101);
    const QByteArray key = response.header("X-ZEL-Slave-Key");
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(QString::fromLatin1(key)).hasMatch());

    // The tunnel leads to the agent's port.
    QByteArray fromVm;
    QTRY_VERIFY_WITH_TIMEOUT((fromVm += socket->readAll()).contains("VM-HELLO"), TestEnvironment::timeout(Timeout));

    const QMap<QString, QString> started = record();
    const QRegularExpression arguments(QStringLiteral("^-display nx/nx,listen=(\\d+),accept=127\\.0\\.0\\.1,slave=1,media=(\\d+):(\\d+) :(\\d+)$"));
    const QRegularExpressionMatch match = arguments.match(started.value(QStringLiteral("args")));
    QVERIFY2(match.hasMatch(), qPrintable(started.value(QStringLiteral("args"))));
    QCOMPARE(match.captured(3), match.captured(4));
    QCOMPARE(started.value(QStringLiteral("display")), QStringLiteral("unset"));
    QCOMPARE(started.value(QStringLiteral("slavecmd")), QStringLiteral(ZEL_DEMO_SLAVE_SERVICE));
    // The slave service learns the key the client got, from a file only its owner reads.
    QCOMPARE(started.value(QStringLiteral("key")).toLatin1(), key);
    QCOMPARE(started.value(QStringLiteral("keymode")), QStringLiteral("600"));
    QCOMPARE(started.value(QStringLiteral("homewritable")), QStringLiteral("yes"));
    const QString home = started.value(QStringLiteral("home"));
    QVERIFY(!home.isEmpty());

    // The desktop program runs on the agent's display.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(desktopRecord).size() > 0, TestEnvironment::timeout(Timeout));
    QFile desktop(desktopRecord);
    QVERIFY(desktop.open(QIODevice::ReadOnly));
    QCOMPARE(desktop.readAll().trimmed(), QByteArray(":") + match.captured(3).toLatin1());

    // The client leaves: the agent ends and its home folder goes.
    socket->disconnectFromHost();
    QTRY_VERIFY2_WITH_TIMEOUT(m_broker->log().contains(QStringLiteral("nxagent ended")), qPrintable(failureText()),
                              TestEnvironment::timeout(Timeout));
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(home), TestEnvironment::timeout(Timeout));
}

void TestNxAgentVm::interimAnswersWhileTheAgentStarts()
{
    ZEL_REQUIRE("socat");
    // An agent that takes its time, and no interim answers configured.
    const QString agent = m_work.filePath(QStringLiteral("fake-nxagent"));
    QVERIFY(writeScript(agent, FakeAgent));
    const QString slowAgent = m_work.filePath(QStringLiteral("slow-nxagent"));
    QVERIFY(writeScript(slowAgent, "#!/bin/sh\nsleep 2.5\nexec '" + QFile::encodeName(agent) + "' \"$@\"\n"));
    m_broker = std::make_unique<DemoBrokerProcess>();
    QVERIFY2(m_broker->start(config(QJsonObject{{QStringLiteral("program"), slowAgent}}, 0)),
             qPrintable(m_broker->errorText()));

    auto socket = connectTls();
    QVERIFY(socket);
    Response response;
    int interim = 0;
    QVERIFY2(connectToVm(socket.get(), &response, &interim), qPrintable(failureText()));
    QCOMPARE(response.status, 101);
    QVERIFY2(interim >= 1, qPrintable(failureText()));
}

void TestNxAgentVm::agentsPerConnectionAndStop()
{
    ZEL_REQUIRE("nxagent");
    m_broker = std::make_unique<DemoBrokerProcess>();
    const QJsonObject agentConfig{{QStringLiteral("slaveService"), QStringLiteral(ZEL_DEMO_SLAVE_SERVICE)},
                                  {QStringLiteral("desktop"), QString()}};
    QVERIFY2(m_broker->start(config(agentConfig, 1)), qPrintable(m_broker->errorText()));

    // Two connections to the same VM: two agents, each with its own display and key.
    std::unique_ptr<QSslSocket> tunnels[2];
    QByteArray keys[2];
    for (int i = 0; i < 2; ++i) {
        tunnels[i] = connectTls();
        QVERIFY(tunnels[i]);
        Response response;
        QVERIFY2(connectToVm(tunnels[i].get(), &response), qPrintable(failureText()));
        QCOMPARE(response.status, 101);
        keys[i] = response.header("X-ZEL-Slave-Key");
    }
    QVERIFY(keys[0] != keys[1]);
    QSet<QString> displays;
    const QRegularExpression waiting(QStringLiteral("\\[vm 1 :(\\d+)\\] nxagent: Info: Waiting for connection"));
    for (auto it = waiting.globalMatch(m_broker->log()); it.hasNext();)
        displays.insert(it.next().captured(1));
    QCOMPARE(displays.size(), 2);

    // The first client leaves: its agent alone ends.
    tunnels[0]->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(m_broker->log().count(QStringLiteral("nxagent ended")), 1,
                              TestEnvironment::timeout(Timeout));
    QCOMPARE(tunnels[1]->state(), QAbstractSocket::ConnectedState);

    // Stopping the VM ends the other one; the answer comes once it has ended, and its
    // tunnel closes.
    auto control = connectTls();
    QVERIFY(control);
    control->write(request("/zel/stop_vm?id=1"));
    Response stopped;
    QVERIFY2(readResponse(control.get(), &stopped), qPrintable(failureText()));
    QCOMPARE(stopped.status, 200);
    QTRY_COMPARE_WITH_TIMEOUT(m_broker->log().count(QStringLiteral("nxagent ended")), 2,
                              TestEnvironment::timeout(Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(tunnels[1]->state(), QAbstractSocket::UnconnectedState,
                              TestEnvironment::timeout(Timeout));
    // Ended gracefully: no lock or socket is left behind.
    for (const QString &display : qAsConst(displays))
        QVERIFY2(!TestEnvironment::displayLeftBehind(display.toInt()), qPrintable(display));

    // Nothing runs any more: a second stop answers at once.
    control->write(request("/zel/stop_vm?id=1"));
    QVERIFY(readResponse(control.get(), &stopped));
    QCOMPARE(stopped.status, 200);
}

// Another program may take the chosen display (or port) after the broker checked it and before
// the agent binds it; the broker then starts the agent again on other ones.
void TestNxAgentVm::displayTakenMeanwhileIsChosenAgain()
{
    ZEL_REQUIRE("socat");
    const QString agent = m_work.filePath(QStringLiteral("fake-nxagent"));
    const QString tries = m_work.filePath(QStringLiteral("agent-tries"));
    QByteArray script = FakeAgent;
    script.replace("record=\"$FAKE_AGENT_RECORD\"\n",
                   "record=\"$FAKE_AGENT_RECORD\"\necho \"$*\" >> '" + tries.toUtf8() + "'\n"
                   "if [ $(wc -l < '" + tries.toUtf8() + "') -eq 1 ]; then\n"
                   "  echo \"Error: Aborting session with 'Server is already active for display 1'.\"; exit 1\n"
                   "fi\n");
    QVERIFY(writeScript(agent, script));
    m_broker = std::make_unique<DemoBrokerProcess>();
    QVERIFY2(m_broker->start(config(QJsonObject{{QStringLiteral("program"), agent}}, 1)),
             qPrintable(m_broker->errorText()));

    auto socket = connectTls();
    QVERIFY(socket);
    Response response;
    QVERIFY2(connectToVm(socket.get(), &response), qPrintable(failureText()));
    QCOMPARE(response.status, 101);
    QByteArray fromVm;
    QTRY_VERIFY2_WITH_TIMEOUT((fromVm += socket->readAll()).contains("VM-HELLO"), qPrintable(failureText()),
                              TestEnvironment::timeout(Timeout));

    QFile started(tries);
    QVERIFY(started.open(QIODevice::ReadOnly));
    const QList<QByteArray> runs = started.readAll().trimmed().split('\n');
    QCOMPARE(runs.size(), 2);
    QVERIFY2(runs.first() != runs.last(), "the second try uses another display and port");
    QVERIFY(m_broker->log().contains(QStringLiteral("the display or port was taken meanwhile; trying others")));
}

void TestNxAgentVm::agentThatDoesNotStart_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing") << QByteArray() << QStringLiteral("/nonexistent/nxagent") << "cannot start";
    QTest::newRow("ends at once") << QByteArray("#!/bin/sh\necho 'Error: Aborting session'\nexit 1\n") << QString()
                                  << "before it accepted connections: Error: Aborting session";
    QTest::newRow("display always taken")
        << QByteArray("#!/bin/sh\necho \"Error: Aborting session with 'Server is already active for display 1'.\"\nexit 1\n")
        << QString() << "Server is already active";
    QTest::newRow("never ready") << QByteArray("#!/bin/sh\nexec sleep 60\n") << QString()
                                 << "did not accept connections within 500 ms";
}

void TestNxAgentVm::agentThatDoesNotStart()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, program);
    QFETCH(QString, message);

    if (!script.isEmpty()) {
        program = m_work.filePath(QStringLiteral("broken-nxagent"));
        QVERIFY(writeScript(program, script));
    }
    m_broker = std::make_unique<DemoBrokerProcess>();
    const QJsonObject agentConfig{{QStringLiteral("program"), program},
                                  {QStringLiteral("startTimeoutMs"), 500},
                                  {QStringLiteral("slaveService"), QStringLiteral(ZEL_DEMO_SLAVE_SERVICE)}};
    QVERIFY2(m_broker->start(config(agentConfig, 1)), qPrintable(m_broker->errorText()));

    auto socket = connectTls();
    QVERIFY(socket);
    Response response;
    QVERIFY2(connectToVm(socket.get(), &response), qPrintable(failureText()));
    QCOMPARE(response.status, 502);
    QVERIFY2(QString::fromUtf8(response.body).contains(message), response.body.constData());
    if (!script.isEmpty())
        QTRY_VERIFY2_WITH_TIMEOUT(m_broker->log().contains(QStringLiteral("nxagent ended")), qPrintable(failureText()),
                                  TestEnvironment::timeout(Timeout));
}

void TestNxAgentVm::badConfiguration_data()
{
    QTest::addColumn<QJsonObject>("vm");
    QTest::addColumn<QString>("message");

    QTest::newRow("endpoint and agent") << QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("name"), QStringLiteral("x")},
                                                       {QStringLiteral("endpoint"), QStringLiteral("127.0.0.1:4001")},
                                                       {QStringLiteral("nxagent"), QJsonObject()}}
                                        << "either";
    QTest::newRow("not an object") << QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("name"), QStringLiteral("x")},
                                                  {QStringLiteral("nxagent"), true}}
                                   << "vms[0].nxagent must be an object";
    QTest::newRow("unknown key") << QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("name"), QStringLiteral("x")},
                                                {QStringLiteral("nxagent"), QJsonObject{{QStringLiteral("dekstop"), QStringLiteral("xlogo")}}}}
                                 << "unknown key \"dekstop\"";
    QTest::newRow("bad time-out") << QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("name"), QStringLiteral("x")},
                                                 {QStringLiteral("nxagent"), QJsonObject{{QStringLiteral("startTimeoutMs"), 0}}}}
                                  << "startTimeoutMs";
}

void TestNxAgentVm::badConfiguration()
{
    QFETCH(QJsonObject, vm);
    QFETCH(QString, message);

    QJsonObject root = config(QJsonObject());
    root.insert(QStringLiteral("vms"), QJsonArray{vm});
    const QString path = m_work.filePath(QStringLiteral("bad.json"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(root).toJson());
    file.close();

    QProcess broker;
    broker.start(DemoBrokerProcess::program(), {QStringLiteral("--config"), path, QStringLiteral("--port"),
                                                QStringLiteral("0"), QStringLiteral("--state-dir"),
                                                m_work.filePath(QStringLiteral("state"))});
    QVERIFY(broker.waitForFinished(TestEnvironment::timeout(Timeout)));
    QCOMPARE(broker.exitCode(), 2);
    const QString errors = QString::fromUtf8(broker.readAllStandardError());
    QVERIFY2(errors.contains(message), qPrintable(errors));
}

QTEST_GUILESS_MAIN(TestNxAgentVm)
#include "tst_nxagentvm.moc"
