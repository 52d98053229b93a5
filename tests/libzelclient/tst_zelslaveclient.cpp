#include "nxagentprocess.h"
#include "otherusersocket.h"
#include "programrun.h"
#include "refusingport.h"
#include "testenvironment.h"
#include "testmain.h"
#include "xvfbserver.h"
#include "zelhttp.h"
#include "zelnetworkreply.h"
#include "zelslaveclient.h"
#include "zelslavecommand.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString ServiceProgram = QStringLiteral(ZEL_BINARY_DIR "/tools/demovm/zel-demo-slave-service");

} // namespace

// The slave port of an NX session, as the client sees it: every connection accepted here is
// handed to a fresh demo slave service process, its standard input and output joined to the
// connection, just as nxagent does on the VM side. All bytes the client sends are kept.
class ServiceBridge : public QObject
{
    Q_OBJECT

public:
    ServiceBridge(const QProcessEnvironment &environment)
        : m_environment(environment)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &ServiceBridge::accept);
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    ~ServiceBridge() override
    {
        for (QProcess *service : qAsConst(m_services)) {
            service->disconnect();
            if (service->state() != QProcess::NotRunning) {
                service->kill();
                service->waitForFinished(TestEnvironment::timeout(5000));
            }
            delete service;
        }
    }

    quint16 port() const { return m_server.serverPort(); }
    QByteArray received() const { return m_received; }
    int finishedServices() const { return m_finished; }

    QString logs() const
    {
        QString text;
        for (QProcess *service : m_services)
            text += QStringLiteral("service %1 said:\n%2\n").arg(service->processId())
                        .arg(QString::fromLocal8Bit(service->readAllStandardError()));
        return text;
    }

signals:
    void serviceFinished();

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            auto *service = new QProcess(this);
            m_services.append(service);
            service->setProcessEnvironment(m_environment);
            service->start(ServiceProgram, QStringList());
            if (!service->waitForStarted(TestEnvironment::timeout(10000))) {
                qWarning() << "cannot start" << ServiceProgram << service->errorString();
                socket->abort();
                continue;
            }
            connect(socket, &QTcpSocket::readyRead, service, [this, socket, service] {
                const QByteArray data = socket->readAll();
                m_received += data;
                service->write(data);
            });
            connect(service, &QProcess::readyReadStandardOutput, socket,
                    [socket, service] { socket->write(service->readAllStandardOutput()); });
            connect(socket, &QTcpSocket::disconnected, service, [service] { service->closeWriteChannel(); });
            connect(service, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                    [this, socket] {
                        socket->disconnectFromHost();
                        ++m_finished;
                        emit serviceFinished();
                    });
        }
    }

    QTcpServer m_server;
    QProcessEnvironment m_environment;
    QList<QProcess *> m_services;
    QByteArray m_received;
    int m_finished = 0;
};

// The client's signals in the order they came, with the command each outcome named.
class ClientEvents
{
public:
    explicit ClientEvents(ZELSlaveClient *client)
    {
        QObject::connect(client, &ZELSlaveClient::commandSuccessful, client, [this](const ZELSlaveCommand &c) {
            names << QStringLiteral("commandSuccessful");
            commands << &c;
        });
        QObject::connect(client, &ZELSlaveClient::commandFailed, client, [this](const ZELSlaveCommand &c) {
            names << QStringLiteral("commandFailed");
            commands << &c;
        });
        QObject::connect(client, &ZELSlaveClient::finished, client, [this] { names << QStringLiteral("finished"); });
    }

    QStringList names;
    QList<const ZELSlaveCommand *> commands;
};

// What a command saw; it outlives the command, which its client deletes later.
struct CommandLog
{
    int runs = 0;
    int stops = 0;
    QTcpSocket *socket = nullptr;
    QString key;
    int status = -1;
    ZELNetworkReply::State replyState = ZELNetworkReply::Idle;
    QPointer<QTcpSocket> upgradedSocket;
};

class TestCommand : public ZELSlaveCommand
{
    Q_OBJECT

public:
    enum Mode { SendRequest, ServeFolder, SucceedInRun, FailInRun, ReportTwice, Idle, FailInStop };

    TestCommand(Mode mode, std::shared_ptr<CommandLog> log)
        : m_mode(mode)
        , m_log(std::move(log))
    {
    }

    QByteArray method = "PUT";
    QString path = QStringLiteral("/shares/data");
    QByteArray upgrade = "zel:sftp/1.0";
    QString folder;

    void run() override
    {
        ++m_log->runs;
        m_log->socket = m_socket;
        m_log->key = m_key;
        switch (m_mode) {
        case SucceedInRun:
            emit commandSuccessful();
            return;
        case FailInRun:
            emit commandFailed();
            return;
        case ReportTwice:
            emit commandSuccessful();
            emit commandFailed();
            emit commandSuccessful();
            return;
        case Idle:
        case FailInStop:
            return;
        case SendRequest:
        case ServeFolder:
            break;
        }

        // The way the real commands build their requests.
        QUrl url(QStringLiteral("http://localhost"));
        url.setPath(path, QUrl::DecodedMode);
        QNetworkRequest request = createRequest(url);
        request.setRawHeader("Connection", "Upgrade");
        request.setRawHeader("Upgrade", upgrade);
        ZELNetworkReply *reply = method == "POST" ? m_http->post(request, nullptr) : m_http->put(request, nullptr);
        connect(reply, &QNetworkReply::finished, this, [this, reply] {
            m_log->status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            m_log->replyState = reply->state();
            if (m_log->status != 101) {
                emit commandFailed();
                return;
            }
            m_log->upgradedSocket = m_socket;
            if (m_mode == ServeFolder)
                serveFolder();
            emit commandSuccessful();
        });
    }

    void stop() override
    {
        ++m_log->stops;
        if (m_sftp.state() != QProcess::NotRunning) {
            m_sftp.closeWriteChannel();
            if (!m_sftp.waitForFinished(TestEnvironment::timeout(5000)))
                m_sftp.kill();
        }
        if (m_mode == FailInStop)
            emit commandFailed();
    }

private:
    // After the switch the connection is joined to a local SFTP server started in the folder.
    void serveFolder()
    {
        m_sftp.setWorkingDirectory(folder);
        m_sftp.start(TestEnvironment::sftpServer(), { QStringLiteral("-e") });
        QTcpSocket *socket = m_socket;
        connect(socket, &QTcpSocket::readyRead, &m_sftp, [this, socket] { m_sftp.write(socket->readAll()); });
        connect(&m_sftp, &QProcess::readyReadStandardOutput, socket,
                [this, socket] { socket->write(m_sftp.readAllStandardOutput()); });
        connect(socket, &QTcpSocket::disconnected, &m_sftp, [this] { m_sftp.closeWriteChannel(); });
        m_sftp.write(socket->readAll());
    }

    Mode m_mode;
    std::shared_ptr<CommandLog> m_log;
    QProcess m_sftp;
};

class tst_ZELSlaveClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void requestOnTheWire_data();
    void requestOnTheWire();
    void upgradedConnectionServesFolder();
    void wrongKeyFails();
    void keyCannotAddHeaderLines();
    void commandGivenBeforeConnectionStartsOnce();
    void commandGivenAfterConnectionStartsAtOnce();
    void secondCommandThrowsBusy();
    void outcomeThenFinished_data();
    void outcomeThenFinished();
    void deletingClientStopsCommand_data();
    void deletingClientStopsCommand();
    void ownerDeletesClientWhenFinished();
    void nothingListensOnSlavePort();
    void otherUserHoldsSlavePort();
    void debugText();
    void slaveChannelThroughNx();

private:
    std::unique_ptr<ServiceBridge> bridge(const QByteArray &key);
    QList<QJsonObject> reportLines() const;
    QTcpSocket *socketOf(ZELSlaveClient *client) const { return client->findChild<QTcpSocket *>(); }

    TestEnvironment m_env;
    QTemporaryDir m_dir;
    QString m_report;
    int m_run = 0;
    ServiceBridge *m_bridge = nullptr;
    QList<QProcess *> m_programs;
    std::unique_ptr<XvfbServer> m_xserver;
    std::unique_ptr<NxAgentProcess> m_agent;
};

void tst_ZELSlaveClient::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    qRegisterMetaType<QAbstractSocket::SocketError>();
    QVERIFY2(QFile::exists(ServiceProgram), qPrintable(ServiceProgram + QStringLiteral(" is not built")));
    QVERIFY(m_dir.isValid());
}

void tst_ZELSlaveClient::init()
{
    m_report = m_dir.filePath(QStringLiteral("report-%1.jsonl").arg(++m_run));
    m_bridge = nullptr;
}

void tst_ZELSlaveClient::cleanup()
{
    if (QTest::currentTestFailed()) {
        QFile report(m_report);
        report.open(QIODevice::ReadOnly);
        qWarning().noquote() << "report:\n" << report.readAll() << "\n" << (m_bridge ? m_bridge->logs() : QString());
        for (QProcess *program : qAsConst(m_programs))
            qWarning().noquote() << program->program() << "said:\n" << program->readAllStandardError();
    }
    // Last started, first ended: the proxy before the agent before the X server.
    while (!m_programs.isEmpty()) {
        std::unique_ptr<QProcess> program(m_programs.takeLast());
        ProcessGuard::end(*program);
    }
    if (m_agent && QTest::currentTestFailed())
        qWarning().noquote() << "nxagent said:\n" << m_agent->output();
    m_agent.reset();
    m_xserver.reset();
}

std::unique_ptr<ServiceBridge> tst_ZELSlaveClient::bridge(const QByteArray &key)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(key));
    env.insert(QStringLiteral("ZEL_SLAVE_REPORT"), m_report);
    // The SFTP client of the service must not wait long for a side that is not there.
    env.insert(QStringLiteral("ZEL_SLAVE_SFTP_TIMEOUT_MS"), QStringLiteral("300"));
    auto result = std::make_unique<ServiceBridge>(env);
    m_bridge = result.get();
    return result;
}

QList<QJsonObject> tst_ZELSlaveClient::reportLines() const
{
    QList<QJsonObject> lines;
    QFile file(m_report);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            lines.append(QJsonDocument::fromJson(line).object());
    }
    return lines;
}

void tst_ZELSlaveClient::requestOnTheWire_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("upgrade");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QString>("folder");

    const QByteArray agent = "User-Agent: ZELClient Qt/0.01 (Linux)\n";
    QTest::newRow("share") << QByteArray("k3y") << QByteArray("PUT") << "/shares//home/u/Data"
                           << QByteArray("zel:sftp/1.0")
                           << QByteArray("PUT /shares//home/u/Data HTTP/1.1\nAuthorization: Basic k3y\n" + agent
                                         + "Connection: Upgrade\nUpgrade: zel:sftp/1.0\n\n")
                           << "/home/u/Data";
    QTest::newRow("share with blank") << QByteArray("k3y") << QByteArray("PUT") << "/shares/C:/My Files"
                                      << QByteArray("zel:sftp/1.0")
                                      << QByteArray("PUT /shares/C:/My Files HTTP/1.1\nAuthorization: Basic k3y\n"
                                                    + agent + "Connection: Upgrade\nUpgrade: zel:sftp/1.0\n\n")
                                      << "C:/My Files";
    QTest::newRow("share with non-ASCII name")
        << QByteArray("k3y") << QByteArray("PUT") << QString::fromUtf8("/shares//home/u/Grüße 100%")
        << QByteArray("zel:sftp/1.0")
        << QByteArray("PUT /shares//home/u/Gr\xc3\xbc\xc3\x9f" "e 100% HTTP/1.1\nAuthorization: Basic k3y\n" + agent
                      + "Connection: Upgrade\nUpgrade: zel:sftp/1.0\n\n")
        << QString::fromUtf8("/home/u/Grüße 100%");
    QTest::newRow("key as the broker gave it") << QByteArray("YWJj+/==%41") << QByteArray("POST") << "/usbip"
                                               << QByteArray("zel:usbip/1.0")
                                               << QByteArray("POST /usbip HTTP/1.1\nAuthorization: Basic YWJj+/==%41\n"
                                                             + agent + "Connection: Upgrade\nUpgrade: zel:usbip/1.0\n\n")
                                               << QString();
    QTest::newRow("empty key") << QByteArray() << QByteArray("POST") << "/usbip" << QByteArray("zel:usbip/1.0")
                               << QByteArray("POST /usbip HTTP/1.1\nAuthorization: Basic \n" + agent
                                             + "Connection: Upgrade\nUpgrade: zel:usbip/1.0\n\n")
                               << QString();
}

void tst_ZELSlaveClient::requestOnTheWire()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, upgrade);
    QFETCH(QByteArray, wire);
    QFETCH(QString, folder);

    auto service = bridge(key);
    auto log = std::make_shared<CommandLog>();
    auto *command = new TestCommand(TestCommand::SendRequest, log);
    command->method = method;
    command->path = path;
    command->upgrade = upgrade;

    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(service->port(), QString::fromLatin1(key)));
    ClientEvents events(client.get());
    client->runCommand(command);

    QTRY_COMPARE_WITH_TIMEOUT(events.names, QStringList({ "commandSuccessful", "finished" }),
                              TestEnvironment::timeout(10000));
    QCOMPARE(events.commands, QList<const ZELSlaveCommand *>({ command }));
    QCOMPARE(log->status, 101);
    QCOMPARE(log->replyState, ZELNetworkReply::Upgraded);
    QCOMPARE(service->received(), wire);

    if (upgrade == "zel:sftp/1.0") {
        // The service opens SFTP at once; those bytes wait in the socket for the command.
        QTRY_COMPARE_WITH_TIMEOUT(log->upgradedSocket->bytesAvailable(), qint64(9), TestEnvironment::timeout(10000));
        QCOMPARE(log->upgradedSocket->peek(9), QByteArray::fromHex("000000050100000003"));
    }

    client.reset();
    QTRY_COMPARE_WITH_TIMEOUT(service->finishedServices(), 1, TestEnvironment::timeout(10000));
    const QList<QJsonObject> lines = reportLines();
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.first().value("key").toString(), QStringLiteral("accepted"));
    QCOMPARE(lines.first().value("status").toInt(), 101);
    QCOMPARE(lines.first().value("method").toString().toLatin1(), method);
    QCOMPARE(lines.first().value("folder").toString(), folder);
}

void tst_ZELSlaveClient::upgradedConnectionServesFolder()
{
    ZEL_REQUIRE("sftp-server");
    const QString folder = m_dir.filePath(QStringLiteral("shared folder"));
    QVERIFY(QDir().mkpath(folder));
    QFile file(folder + QStringLiteral("/notes.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("read through the slave channel\n");
    file.close();

    auto service = bridge("k3y");
    auto log = std::make_shared<CommandLog>();
    auto *command = new TestCommand(TestCommand::ServeFolder, log);
    command->path = QStringLiteral("/shares/") + folder;
    command->folder = folder;
    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(service->port(), QStringLiteral("k3y")));
    ClientEvents events(client.get());
    client->runCommand(command);

    QTRY_COMPARE_WITH_TIMEOUT(events.names, QStringList({ "commandSuccessful", "finished" }),
                              TestEnvironment::timeout(10000));
    // The service reads the folder through the connection the command took over, then ends.
    QTRY_COMPARE_WITH_TIMEOUT(service->finishedServices(), 1, TestEnvironment::timeout(20000));
    const QList<QJsonObject> lines = reportLines();
    QCOMPARE(lines.size(), 2);
    const QJsonObject sftp = lines.at(1);
    QCOMPARE(sftp.value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(sftp.value("directory").toString(), folder);
    QCOMPARE(sftp.value("entries").toArray().size(), 1);
    QCOMPARE(sftp.value("file").toObject().value("name").toString(), QStringLiteral("notes.txt"));
    QCOMPARE(QByteArray::fromBase64(sftp.value("file").toObject().value("contentBase64").toString().toLatin1()),
             QByteArray("read through the slave channel\n"));
}

void tst_ZELSlaveClient::wrongKeyFails()
{
    auto service = bridge("right");
    auto log = std::make_shared<CommandLog>();
    auto *command = new TestCommand(TestCommand::SendRequest, log);
    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(service->port(), QStringLiteral("wrong")));
    ClientEvents events(client.get());
    client->runCommand(command);

    QTRY_COMPARE_WITH_TIMEOUT(events.names, QStringList({ "commandFailed", "finished" }),
                              TestEnvironment::timeout(10000));
    QCOMPARE(events.commands, QList<const ZELSlaveCommand *>({ command }));
    QCOMPARE(log->status, 401);
    client.reset();
    QTRY_COMPARE_WITH_TIMEOUT(service->finishedServices(), 1, TestEnvironment::timeout(10000));
    QCOMPARE(reportLines().value(0).value("key").toString(), QStringLiteral("wrong"));
    QCOMPARE(reportLines().value(0).value("status").toInt(), 401);
}

void tst_ZELSlaveClient::keyCannotAddHeaderLines()
{
    auto service = bridge("abc");
    auto log = std::make_shared<CommandLog>();
    auto *command = new TestCommand(TestCommand::SendRequest, log);
    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(service->port(), QStringLiteral("abc\r\nX-Injected: yes")));
    ClientEvents events(client.get());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("control characters")));
    client->runCommand(command);

    QTRY_COMPARE_WITH_TIMEOUT(events.names, QStringList({ "commandFailed", "finished" }),
                              TestEnvironment::timeout(10000));
    QVERIFY2(!service->received().contains("\nX-Injected"), service->received().constData());
    QVERIFY(service->received().contains("Authorization: Basic abcX-Injected: yes\n"));
    client.reset();
    QTRY_COMPARE_WITH_TIMEOUT(service->finishedServices(), 1, TestEnvironment::timeout(10000));
    const QJsonObject entry = reportLines().value(0);
    QCOMPARE(entry.value("key").toString(), QStringLiteral("wrong"));
    for (const QJsonValue &header : entry.value("headers").toArray())
        QVERIFY(header.toArray().at(0).toString() != QLatin1String("X-Injected"));
}

void tst_ZELSlaveClient::commandGivenBeforeConnectionStartsOnce()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    auto log = std::make_shared<CommandLog>();
    auto *command = new TestCommand(TestCommand::Idle, log);
    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(server.serverPort(), QStringLiteral("k")));
    client->runCommand(command);
    QCOMPARE(log->runs, 0);

    QTRY_COMPARE_WITH_TIMEOUT(log->runs, 1, TestEnvironment::timeout(10000));
    QCOMPARE(socketOf(client.get())->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(log->socket, socketOf(client.get()));
    QCOMPARE(log->key, QStringLiteral("k"));
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), TestEnvironment::timeout(5000));
    QCoreApplication::processEvents();
    QCOMPARE(log->runs, 1);
}

void tst_ZELSlaveClient::commandGivenAfterConnectionStartsAtOnce()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(server.serverPort(), QStringLiteral("k")));
    QTRY_COMPARE_WITH_TIMEOUT(socketOf(client.get())->state(), QAbstractSocket::ConnectedState,
                              TestEnvironment::timeout(10000));

    auto log = std::make_shared<CommandLog>();
    client->runCommand(new TestCommand(TestCommand::Idle, log));
    QCOMPARE(log->runs, 1);
    QCOMPARE(log->socket, socketOf(client.get()));
}

void tst_ZELSlaveClient::secondCommandThrowsBusy()
{
    auto service = bridge("k3y");
    auto firstLog = std::make_shared<CommandLog>();
    auto secondLog = std::make_shared<CommandLog>();
    auto *first = new TestCommand(TestCommand::SendRequest, firstLog);
    first->method = "POST";
    first->path = QStringLiteral("/usbip");
    first->upgrade = "zel:usbip/1.0";
    QPointer<TestCommand> second = new TestCommand(TestCommand::SucceedInRun, secondLog);

    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(service->port(), QStringLiteral("k3y")));
    ClientEvents events(client.get());
    client->runCommand(first);
    QVERIFY_EXCEPTION_THROWN(client->runCommand(second), ZELSlaveClient::BusyException);
    QVERIFY2(second.isNull(), "the refused command was kept");
    QCOMPARE(client->command(), first);

    // Also once the first one runs.
    QTRY_COMPARE_WITH_TIMEOUT(firstLog->runs, 1, TestEnvironment::timeout(10000));
    QVERIFY_EXCEPTION_THROWN(client->runCommand(new TestCommand(TestCommand::SucceedInRun, secondLog)),
                             ZELSlaveClient::BusyException);

    QTRY_COMPARE_WITH_TIMEOUT(events.names, QStringList({ "commandSuccessful", "finished" }),
                              TestEnvironment::timeout(10000));
    QCOMPARE(events.commands, QList<const ZELSlaveCommand *>({ first }));
    QCOMPARE(firstLog->runs, 1);
    QCOMPARE(secondLog->runs, 0);
    QCOMPARE(service->received().count("POST /usbip"), 1);

    // The exception travels like any QException.
    std::unique_ptr<QException> copy(ZELSlaveClient::BusyException().clone());
    QVERIFY_EXCEPTION_THROWN(copy->raise(), ZELSlaveClient::BusyException);
}

void tst_ZELSlaveClient::outcomeThenFinished_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("success in run") << int(TestCommand::SucceedInRun) << QStringList({ "commandSuccessful", "finished" });
    QTest::newRow("failure in run") << int(TestCommand::FailInRun) << QStringList({ "commandFailed", "finished" });
    QTest::newRow("reports more than once") << int(TestCommand::ReportTwice)
                                            << QStringList({ "commandSuccessful", "finished" });
}

void tst_ZELSlaveClient::outcomeThenFinished()
{
    QFETCH(int, mode);
    QFETCH(QStringList, events);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    auto log = std::make_shared<CommandLog>();
    auto *command = new TestCommand(TestCommand::Mode(mode), log);
    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(server.serverPort(), QStringLiteral("k")));
    ClientEvents seen(client.get());
    client->runCommand(command);

    QTRY_COMPARE_WITH_TIMEOUT(log->runs, 1, TestEnvironment::timeout(10000));
    // The outcome is passed on from inside run(), before anything else happens.
    QCOMPARE(seen.names, events);
    QCOMPARE(seen.commands, QList<const ZELSlaveCommand *>({ command }));
}

void tst_ZELSlaveClient::deletingClientStopsCommand_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("idle command") << int(TestCommand::Idle);
    QTest::newRow("command that reports while stopping") << int(TestCommand::FailInStop);
}

void tst_ZELSlaveClient::deletingClientStopsCommand()
{
    QFETCH(int, mode);

    auto service = bridge("k3y");
    auto log = std::make_shared<CommandLog>();
    QPointer<TestCommand> command = new TestCommand(TestCommand::Mode(mode), log);
    auto *client = new ZELSlaveClient(service->port(), QStringLiteral("k3y"));
    auto events = std::make_unique<ClientEvents>(client);
    client->runCommand(command);
    QTRY_COMPARE_WITH_TIMEOUT(log->runs, 1, TestEnvironment::timeout(10000));

    delete client;
    QCOMPARE(log->stops, 1);
    QVERIFY2(!command.isNull(), "the command goes later, not inside the client's destructor");
    QCOMPARE(events->names, QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(command.isNull(), TestEnvironment::timeout(5000));
    // The connection closed with the client: the service saw the end of its input.
    QTRY_COMPARE_WITH_TIMEOUT(service->finishedServices(), 1, TestEnvironment::timeout(10000));
    QCOMPARE(reportLines().value(0).value("error").toString(),
             QStringLiteral("connection ended before a complete request"));
}

void tst_ZELSlaveClient::ownerDeletesClientWhenFinished()
{
    // The owner's way: schedule the client for deletion from its finished().
    auto service = bridge("k3y");
    auto log = std::make_shared<CommandLog>();
    QPointer<TestCommand> command = new TestCommand(TestCommand::SendRequest, log);
    command->method = "POST";
    command->path = QStringLiteral("/usbip");
    command->upgrade = "zel:usbip/1.0";
    QPointer<ZELSlaveClient> client = new ZELSlaveClient(service->port(), QStringLiteral("k3y"));
    int finished = 0;
    connect(client.data(), &ZELSlaveClient::finished, this, [&finished, &client] {
        ++finished;
        client->deleteLater();
    });
    client->runCommand(command);

    QTRY_VERIFY_WITH_TIMEOUT(client.isNull(), TestEnvironment::timeout(10000));
    QCOMPARE(finished, 1);
    QCOMPARE(log->stops, 1);
    QTRY_VERIFY_WITH_TIMEOUT(command.isNull(), TestEnvironment::timeout(5000));
    QTRY_COMPARE_WITH_TIMEOUT(service->finishedServices(), 1, TestEnvironment::timeout(10000));
    QCOMPARE(reportLines().value(1).value("event").toString(), QStringLiteral("usbip"));
}

void tst_ZELSlaveClient::nothingListensOnSlavePort()
{
    RefusingPort refusing;
    const quint16 port = refusing.port();
    auto log = std::make_shared<CommandLog>();
    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(port, QStringLiteral("k")));
    ClientEvents events(client.get());
    QSignalSpy socketError(socketOf(client.get()), &QAbstractSocket::errorOccurred);
    QVERIFY(socketError.isValid());
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Slave connection to port %1 failed: ").arg(port)));
    client->runCommand(new TestCommand(TestCommand::SucceedInRun, log));

    QVERIFY(socketError.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(socketError.first().first().value<QAbstractSocket::SocketError>(),
             QAbstractSocket::ConnectionRefusedError);
    // The command never runs, and fails: the user learns that the resource is not shared.
    QTRY_COMPARE_WITH_TIMEOUT(events.names, QStringList({"commandFailed", "finished"}), TestEnvironment::timeout(10000));
    QCOMPARE(log->runs, 0);

    client.reset();
    QCOMPARE(log->stops, 1);
}

// The slave key and the folders never go to a socket another user holds on the slave port.
void tst_ZELSlaveClient::otherUserHoldsSlavePort()
{
    if (!TestEnvironment::canRunAsOtherUser())
        ZEL_SKIP("needs root and setpriv to play a second local user");
    ZEL_REQUIRE("socat");
    OtherUserSocket squatter;
    QVERIFY2(squatter.listen(QStringLiteral("127.0.0.1")), qPrintable(squatter.errorText()));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Not connecting to the slave port %1: user \\d+ listens there$")
                                                              .arg(squatter.port())));
    auto log = std::make_shared<CommandLog>();
    std::unique_ptr<ZELSlaveClient> client(new ZELSlaveClient(squatter.port(), QStringLiteral("s3cr3t")));
    ClientEvents events(client.get());
    client->runCommand(new TestCommand(TestCommand::SendRequest, log));
    QCOMPARE(socketOf(client.get())->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE_WITH_TIMEOUT(events.names, QStringList({"commandFailed", "finished"}), TestEnvironment::timeout(10000));
    QCOMPARE(log->runs, 0);
    QCOMPARE(squatter.accepted(), 0);
    QCOMPARE(squatter.received(), QByteArray());
}

void tst_ZELSlaveClient::debugText()
{
    auto log = std::make_shared<CommandLog>();
    TestCommand command(TestCommand::Idle, log);
    QString text;
    QDebug(&text) << command;
    QCOMPARE(text.trimmed(), QStringLiteral("ZELSlaveCommand"));
}

// The whole slave path of a session: the client's connection goes into the local nxproxy's
// slave port, through the NX link to a real nxagent, which starts the demo slave service.
void tst_ZELSlaveClient::slaveChannelThroughNx()
{
    ZEL_REQUIRE("Xvfb", "nxagent", "nxproxy", "sftp-server");
    const QString nxproxy = TestEnvironment::program(QStringLiteral("nxproxy"));
    auto start = [this](const QString &program, const QStringList &arguments, const QProcessEnvironment &env) {
        auto *process = new QProcess;
        m_programs.append(process);
        process->setProcessEnvironment(env);
        process->start(program, arguments);
        return process;
    };
    auto waitForText = [](QProcess *process, QByteArray *log, const QByteArray &text) {
        process->setReadChannel(QProcess::StandardError);
        const QDeadlineTimer deadline(TestEnvironment::timeout(30000));
        while (!(*log += process->readAllStandardError()).contains(text) && !deadline.hasExpired()
               && process->state() != QProcess::NotRunning)
            process->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        return log->contains(text);
    };
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();

    m_xserver = std::make_unique<XvfbServer>();
    QVERIFY2(m_xserver->start(XvfbServer::Listen::Tcp), qPrintable(m_xserver->errorText()));
    const quint16 slavePort = TestEnvironment::freeTcpPort();

    QProcessEnvironment vm = system;
    vm.insert(QStringLiteral("NX_SLAVE_CMD"), ServiceProgram);
    vm.insert(QStringLiteral("ZEL_SLAVE_KEY"), QStringLiteral("k3y"));
    vm.insert(QStringLiteral("ZEL_SLAVE_REPORT"), m_report);
    vm.insert(QStringLiteral("ZEL_SLAVE_SFTP_TIMEOUT_MS"), QStringLiteral("5000"));
    m_agent = std::make_unique<NxAgentProcess>();
    QVERIFY2(m_agent->start(vm, {QStringLiteral("-R")}), qPrintable(m_agent->errorText()));
    const quint16 agentPort = m_agent->port();

    const QString nxRoot = m_env.home() + QStringLiteral("/nxroot");
    QVERIFY(QDir().mkpath(nxRoot));
    QProcessEnvironment local = system;
    local.insert(QStringLiteral("NX_ROOT"), nxRoot);
    local.insert(QStringLiteral("DISPLAY"), m_xserver->displayName());
    QProcess *proxy = start(nxproxy, { QStringLiteral("-S"),
                                       QStringLiteral("nx/nx,slave=%1,connect=127.0.0.1,port=%2")
                                           .arg(slavePort).arg(agentPort) },
                            local);
    QByteArray proxyLog;
    QVERIFY2(waitForText(proxy, &proxyLog, "Established X server connection"), proxyLog.constData());
    QVERIFY2(proxyLog.contains(QStringLiteral("Listening to slave connections on port 'tcp:localhost:%1'")
                                   .arg(slavePort).toLatin1()),
             proxyLog.constData());

    // A folder shared over SFTP, a USB/IP switch and a wrong key, each on its own client.
    const QString folder = m_dir.filePath(QStringLiteral("nx share"));
    QVERIFY(QDir().mkpath(folder));
    QFile file(folder + QStringLiteral("/remote.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("seen from the VM\n");
    file.close();

    auto shareLog = std::make_shared<CommandLog>();
    auto *share = new TestCommand(TestCommand::ServeFolder, shareLog);
    share->path = QStringLiteral("/shares/") + folder;
    share->folder = folder;
    std::unique_ptr<ZELSlaveClient> shareClient(new ZELSlaveClient(slavePort, QStringLiteral("k3y")));
    ClientEvents shareEvents(shareClient.get());
    shareClient->runCommand(share);

    auto usbLog = std::make_shared<CommandLog>();
    auto *usb = new TestCommand(TestCommand::SendRequest, usbLog);
    usb->method = "POST";
    usb->path = QStringLiteral("/usbip");
    usb->upgrade = "zel:usbip/1.0";
    std::unique_ptr<ZELSlaveClient> usbClient(new ZELSlaveClient(slavePort, QStringLiteral("k3y")));
    ClientEvents usbEvents(usbClient.get());
    usbClient->runCommand(usb);

    auto wrongLog = std::make_shared<CommandLog>();
    std::unique_ptr<ZELSlaveClient> wrongClient(new ZELSlaveClient(slavePort, QStringLiteral("k3z")));
    ClientEvents wrongEvents(wrongClient.get());
    wrongClient->runCommand(new TestCommand(TestCommand::SendRequest, wrongLog));

    QTRY_COMPARE_WITH_TIMEOUT(shareEvents.names, QStringList({ "commandSuccessful", "finished" }),
                              TestEnvironment::timeout(30000));
    QTRY_COMPARE_WITH_TIMEOUT(usbEvents.names, QStringList({ "commandSuccessful", "finished" }),
                              TestEnvironment::timeout(30000));
    QTRY_COMPARE_WITH_TIMEOUT(wrongEvents.names, QStringList({ "commandFailed", "finished" }),
                              TestEnvironment::timeout(30000));
    QCOMPARE(usbLog->status, 101);
    QCOMPARE(wrongLog->status, 401);
    wrongClient.reset();
    usbClient.reset();

    // Four lines for the three requests (one per connection), plus the SFTP outcome.
    QList<QJsonObject> lines;
    QTRY_VERIFY_WITH_TIMEOUT((lines = reportLines()).size() == 5, TestEnvironment::timeout(30000));
    QMap<QString, QJsonObject> byEvent;
    for (const QJsonObject &line : lines) {
        const QString event = line.value("event").toString();
        byEvent.insert(event == QLatin1String("request") ? event + line.value("key").toString() + line.value("method").toString()
                                                         : event,
                       line);
    }
    QCOMPARE(byEvent.value("requestacceptedPUT").value("folder").toString(), folder);
    QCOMPARE(byEvent.value("requestacceptedPUT").value("status").toInt(), 101);
    QCOMPARE(byEvent.value("requestacceptedPOST").value("target").toString(), QStringLiteral("/usbip"));
    QCOMPARE(byEvent.value("requestwrongPUT").value("status").toInt(), 401);
    QCOMPARE(byEvent.value("usbip").value("result").toString(), QStringLiteral("closed"));
    const QJsonObject sftp = byEvent.value("sftp");
    QCOMPARE(sftp.value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(sftp.value("directory").toString(), folder);
    QCOMPARE(sftp.value("file").toObject().value("name").toString(), QStringLiteral("remote.txt"));
    QCOMPARE(QByteArray::fromBase64(sftp.value("file").toObject().value("contentBase64").toString().toLatin1()),
             QByteArray("seen from the VM\n"));
}

ZEL_TEST_GUILESS_MAIN(tst_ZELSlaveClient)
#include "tst_zelslaveclient.moc"
