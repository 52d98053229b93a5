#include "chosenvariables.h"
#include "demobrokerprocess.h"
#include "helpers/peercheck.h"
#include "logcapture.h"
#include "refusingport.h"
#include "sessionevents.h"
#include "testenvironment.h"
#include "tlstestserver.h"
#include "zelbackend.h"
#include "zelclient.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

// Stands in for the display backend: the session client only sees the base interface.
class SignalingBackend : public ZELBackend
{
    Q_OBJECT
public:
    using ZELBackend::ZELBackend;
    void start(QTcpSocket *) override {}
    void stop() override {}
};


} // namespace

class TestZELClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void vmListRequestAndAnswer();
    void pingRequestAndDisposal();
    void statusMapping_data();
    void statusMapping();
    void vmListParsing_data();
    void vmListParsing();
    void vmListUntilPeerCloses();
    void malformedThenMoreBytes();
    void refusingCertificate();
    void noCertificateReceiver();
    void acceptingCertificate();
    void certificateQuestionHasNoClock_data();
    void certificateQuestionHasNoClock();
    void passwordNeverInLog();
    void connectionRefused();
    void waitsAreBounded_data();
    void waitsAreBounded();
    void brokerDropsDuringVmList();
    void requestWithoutConnection_data();
    void requestWithoutConnection();
    void backendSignals();
    void backendGetsParameters();
    void disconnectTwice();
    void againstDemoBroker_data();
    void againstDemoBroker();

private:
    // Reads the next request on the server side and answers it.
    QByteArray answer(QSslSocket *peer, const QByteArray &response);

    TestEnvironment m_environment;
    TlsTestServer m_server;
    QStringList m_events;
};

void TestZELClient::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.errorText()));
    LogCapture::install();
}

void TestZELClient::init()
{
    LogCapture::clear();
    m_events.clear();
    QSettings().remove(QStringLiteral("Params"));
}

void TestZELClient::cleanup()
{
    const QList<QSslSocket *> peers = m_server.findChildren<QSslSocket *>();
    for (QSslSocket *peer : peers)
        peer->deleteLater();
}


QByteArray TestZELClient::answer(QSslSocket *peer, const QByteArray &response)
{
    const QByteArray request = TlsTestServer::readRequestHead(peer);
    peer->write(response);
    return request;
}

static QByteArray vmListResponse(const QByteArray &json)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(json.size()) + "\r\n\r\n" + json;
}

void TestZELClient::vmListRequestAndAnswer()
{
    ChosenVariables::store({QStringLiteral("PATH"), QString(), QStringLiteral("ZEL_TEST_NOT_SET"),
                            QStringLiteral("ZEL_TEST_SET")});
    qunsetenv("ZEL_TEST_NOT_SET");
    qputenv("ZEL_TEST_SET", QStringLiteral("Grüße aus Köln").toUtf8());

    ZELConnectionParameters parameters;
    parameters.setUsername(QStringLiteral("alice"));
    parameters.setPassword(QStringLiteral("pw"));
    parameters.setSecondFactor(QStringLiteral("123456"));
    ZELClient client;
    SessionEvents::record(client, m_events);
    QSslSocket *peer = m_server.establish(client, parameters);
    QVERIFY(peer);

    QSignalSpy received(&client, &ZELClient::vmListReceived);
    QVERIFY(received.isValid());
    client.requestVMList();
    const QByteArray json = "[{\"id\": 3, \"name\": \"Office\", \"state\": \"stopped\", \"blocked\": false},"
                            " {\"id\": 9, \"name\": \"Lab\", \"state\": \"running\", \"blocked\": true}]";
    const QByteArray request = answer(peer, vmListResponse(json));

    const QByteArray expected = "GET /zel/list_of_vm HTTP/1.1\n"
                                "Authorization: Basic " + QByteArray("alice:pw123456").toBase64() + "\n"
                                "User-Agent: ZELClient Qt/0.01 (Linux)\n"
                                "Auth-50415448: " + qgetenv("PATH").toBase64() + "\n"
                                "Auth-" + QByteArray("ZEL_TEST_NOT_SET").toHex() + ": \n"
                                "Auth-" + QByteArray("ZEL_TEST_SET").toHex() + ": "
                                + QStringLiteral("Grüße aus Köln").toUtf8().toBase64() + "\n"
                                "Accept: application/json\n"
                                "\n";
    QCOMPARE(request, expected);

    QVERIFY(received.wait(TestEnvironment::timeout(10000)));
    const auto list = received.at(0).at(0).value<QList<ZELClient::VMInfo>>();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0).id, 3);
    QCOMPARE(list.at(0).name, QStringLiteral("Office"));
    QCOMPARE(list.at(0).state, 0);
    QCOMPARE(list.at(0).blocked, false);
    QCOMPARE(list.at(1).id, 9);
    QCOMPARE(list.at(1).state, 2);
    QCOMPARE(list.at(1).blocked, true);
    QCOMPARE(m_events, (QStringList{"established", "list of 2"}));
    QVERIFY(client.getSocket());

    QSettings().remove(QStringLiteral("Params"));
    qunsetenv("ZEL_TEST_SET");
}

void TestZELClient::pingRequestAndDisposal()
{
    ZELClient client;
    SessionEvents::record(client, m_events);
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);

    client.ping();
    QSignalSpy clientReadyRead(client.getSocket(), &QIODevice::readyRead);
    const QByteArray request = answer(peer, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npong");
    QCOMPARE(request, QByteArray("GET /zel/ping HTTP/1.1\n"
                                 "Authorization: Basic Og==\n"
                                 "User-Agent: ZELClient Qt/0.01 (Linux)\n"
                                 "\n"));
    QVERIFY(clientReadyRead.wait(TestEnvironment::timeout(10000)));

    // The answered ping must not take the next response for itself.
    QSignalSpy received(&client, &ZELClient::vmListReceived);
    client.requestVMList();
    answer(peer, vmListResponse("[{\"id\": 1, \"name\": \"A\", \"state\": \"running\"}]"));
    QVERIFY(received.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(received.at(0).at(0).value<QList<ZELClient::VMInfo>>().size(), 1);
    QCOMPARE(m_events, (QStringList{"established", "list of 1"}));
    for (const QString &line : qAsConst(LogCapture::lines()))
        QVERIFY2(!line.contains(QStringLiteral("when not expecting any")), qPrintable(line));
}

void TestZELClient::statusMapping_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QString>("expected");

    auto plain = [](int code, const QByteArray &reason) {
        return "HTTP/1.1 " + QByteArray::number(code) + " " + reason + "\r\nContent-Length: 0\r\n\r\n";
    };
    QTest::newRow("401") << plain(401, "Unauthorized")
                         << QStringLiteral("error AuthenticationError: Nombre de usuario o contraseña incorrecta.");
    QTest::newRow("404") << plain(404, "Not Found")
                         << QStringLiteral("error ProtocolError: VM list command unrecognized. This may not be a ZEL server.");
    QTest::newRow("503") << plain(503, "Service Unavailable") << QStringLiteral("error ServerBlocked: Server blocked");
    QTest::newRow("500") << plain(500, "Internal Server Error") << QStringLiteral("error ProtocolError: Server failure.");
    QTest::newRow("502") << plain(502, "Bad Gateway") << QStringLiteral("error ProtocolError: Server failure.");
    QTest::newRow("599") << plain(599, "Odd") << QStringLiteral("error ProtocolError: Server failure.");
    QTest::newRow("302") << plain(302, "Found") << QStringLiteral("error ProtocolError: Unexpected HTTP code 302");
    QTest::newRow("204") << QByteArray("HTTP/1.1 204 No Content\r\n\r\n")
                         << QStringLiteral("error ProtocolError: Unexpected HTTP code 204");
    QTest::newRow("600") << plain(600, "Beyond") << QStringLiteral("error ProtocolError: Unexpected HTTP code 600");
    QTest::newRow("401 with a body") << QByteArray("HTTP/1.1 401 Unauthorized\r\nContent-Length: 6\r\n\r\nnope!\n")
                                     << QStringLiteral("error AuthenticationError: Nombre de usuario o contraseña incorrecta.");
    QTest::newRow("malformed") << QByteArray("HTTP/1.0 200 OK\r\n\r\n")
                               << QStringLiteral("error ProtocolError: The server's answer is not HTTP/1.1");
    QTest::newRow("cut off") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[")
                             << QStringLiteral("error ServerError: The server closed the connection before its "
                                               "answer was complete");
    QTest::newRow("not JSON") << vmListResponse("[{\"id\": ")
                              << QStringLiteral("error ProtocolError: Failed to parse VM list: ");
    QTest::newRow("empty body") << vmListResponse("")
                                << QStringLiteral("error ProtocolError: Failed to parse VM list: ");
}

void TestZELClient::statusMapping()
{
    QFETCH(QByteArray, response);
    QFETCH(QString, expected);

    ZELClient client;
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    SessionEvents::record(client, m_events);

    QSignalSpy terminated(&client, &ZELClient::connectionTerminated);
    client.requestVMList();
    answer(peer, response);
    if (QByteArray(QTest::currentDataTag()) == "cut off")
        peer->disconnectFromHost();
    QVERIFY(terminated.wait(TestEnvironment::timeout(10000)));

    QCOMPARE(m_events.size(), 2);
    QVERIFY2(m_events.at(0).startsWith(expected), qPrintable(m_events.join(QLatin1Char('|'))));
    QCOMPARE(m_events.at(1), QStringLiteral("terminated"));
    QCOMPARE(client.getSocket(), nullptr);
    // The broker sees the session end.
    QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(terminated.count(), 1);
}

void TestZELClient::vmListParsing_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("states") << QByteArray("[{\"id\":1,\"name\":\"a\",\"state\":\"stopped\",\"blocked\":false},"
                                          "{\"id\":2,\"name\":\"b\",\"state\":\"starting\",\"blocked\":true},"
                                          "{\"id\":3,\"name\":\"c\",\"state\":\"running\",\"blocked\":false}]")
                            << QStringList{"1 a 0 0", "2 b 1 1", "3 c 2 0"};
    QTest::newRow("unknown state is stopped")
        << QByteArray("[{\"id\":4,\"name\":\"d\",\"state\":\"suspended\"},{\"id\":5,\"name\":\"e\",\"state\":\"Running\"}]")
        << QStringList{"4 d 0 0", "5 e 0 0"};
    QTest::newRow("missing keys") << QByteArray("[{}]") << QStringList{"0  0 0"};
    QTest::newRow("object instead of array") << QByteArray("{\"id\":1,\"name\":\"a\"}") << QStringList();
    QTest::newRow("empty array") << QByteArray("[]") << QStringList();
    QTest::newRow("element not an object") << QByteArray("[1, \"x\"]") << QStringList{"0  0 0", "0  0 0"};
}

void TestZELClient::vmListParsing()
{
    QFETCH(QByteArray, json);
    QFETCH(QStringList, expected);

    ZELClient client;
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    SessionEvents::record(client, m_events);
    QSignalSpy received(&client, &ZELClient::vmListReceived);
    client.requestVMList();
    answer(peer, vmListResponse(json));
    QVERIFY(received.wait(TestEnvironment::timeout(10000)));

    QStringList got;
    for (const ZELClient::VMInfo &vm : received.at(0).at(0).value<QList<ZELClient::VMInfo>>())
        got << QStringLiteral("%1 %2 %3 %4").arg(vm.id).arg(vm.name).arg(vm.state).arg(int(vm.blocked));
    QCOMPARE(got, expected);
    QCOMPARE(m_events, QStringList{QStringLiteral("list of %1").arg(expected.size())});
}

void TestZELClient::vmListUntilPeerCloses()
{
    ZELClient client;
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    QSignalSpy received(&client, &ZELClient::vmListReceived);
    client.requestVMList();
    answer(peer, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n[{\"id\":7,\"name\":\"x\"}]");
    peer->disconnectFromHost();
    QVERIFY(received.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(received.at(0).at(0).value<QList<ZELClient::VMInfo>>().value(0).id, 7);
}

void TestZELClient::malformedThenMoreBytes()
{
    ZELClient client;
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    SessionEvents::record(client, m_events);
    QSignalSpy terminated(&client, &ZELClient::connectionTerminated);
    client.requestVMList();
    const QByteArray request = TlsTestServer::readRequestHead(peer);
    QVERIFY(!request.isEmpty());
    // A header block ended by a bare LF, then a perfectly good response.
    peer->write("HTTP/1.1 200 OK\nContent-Length: 2\n\n[]");
    peer->write(vmListResponse("[]"));
    QVERIFY(terminated.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(m_events, (QStringList{"error ProtocolError: The server sent a malformed header line", "terminated"}));
    QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_events.size(), 2);
}

void TestZELClient::refusingCertificate()
{
    ZELConnectionParameters parameters;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    parameters.setPort(m_server.serverPort());
    parameters.setPassword(QStringLiteral("secret"));
    ZELClient client;
    client.setParameters(parameters);
    SessionEvents::record(client, m_events);

    int asked = 0;
    QList<QSslCertificate> chainSeen;
    connect(&client, &ZELClient::sslErrors, this,
            [&](const QList<QSslError> &errors, const QList<QSslCertificate> &chain, bool &accept) {
                ++asked;
                chainSeen = chain;
                QVERIFY(!errors.isEmpty());
                accept = false;
            },
            Qt::DirectConnection);
    QSignalSpy terminated(&client, &ZELClient::connectionTerminated);
    const int connectionsBefore = m_server.connectionCount();
    client.connectToZEL();
    QVERIFY(terminated.count() == 1 || terminated.wait(TestEnvironment::timeout(10000)));

    QCOMPARE(asked, 1);
    QVERIFY(chainSeen.contains(m_server.certificate()));
    QCOMPARE(client.getSocket(), nullptr);
    // The broker side sees the connection go away without a single request byte.
    QTRY_COMPARE(m_server.connectionCount(), connectionsBefore + 1);
    for (QSslSocket *peer : m_server.findChildren<QSslSocket *>()) {
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(peer->bytesAvailable(), qint64(0));
    }
    QCOMPARE(m_events, QStringList{QStringLiteral("terminated")});
    QVERIFY(LogCapture::lines().contains(QStringLiteral("Aborting due to SSL errors")));
}

void TestZELClient::noCertificateReceiver()
{
    ZELConnectionParameters parameters;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    parameters.setPort(m_server.serverPort());
    ZELClient client;
    client.setParameters(parameters);
    SessionEvents::record(client, m_events);
    QSignalSpy terminated(&client, &ZELClient::connectionTerminated);
    client.connectToZEL();
    QVERIFY(terminated.count() == 1 || terminated.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(m_events, QStringList{QStringLiteral("terminated")});
}

void TestZELClient::acceptingCertificate()
{
    ZELConnectionParameters parameters;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    parameters.setPort(m_server.serverPort());
    ZELClient client;
    client.setParameters(parameters);
    SessionEvents::record(client, m_events);
    QList<QSslError::SslError> kinds;
    connect(&client, &ZELClient::sslErrors, this,
            [&](const QList<QSslError> &errors, const QList<QSslCertificate> &, bool &accept) {
                for (const QSslError &error : errors)
                    kinds << error.error();
                accept = true;
            },
            Qt::DirectConnection);
    QSignalSpy established(&client, &ZELClient::connectionEstablished);
    QSignalSpy states(&client, &ZELClient::socketStateChanged);
    client.connectToZEL();
    QVERIFY(established.count() == 1 || established.wait(TestEnvironment::timeout(10000)));
    QVERIFY(kinds.contains(QSslError::SelfSignedCertificate));
    QCOMPARE(m_events, QStringList{QStringLiteral("established")});
    QVERIFY(LogCapture::lines().contains(QStringLiteral("Continuing, SSL errors accepted by user.")));
    QVERIFY(client.getSocket());
    QVERIFY(client.getSocket()->state() == QAbstractSocket::ConnectedState);
    QVERIFY(!states.isEmpty());
    QCOMPARE(states.last().at(0).value<QAbstractSocket::SocketState>(), QAbstractSocket::ConnectedState);
}

// The user reads the certificate question for longer than the connect bound: the bound waits
// for the answer. A broker that closed the unfinished handshake meanwhile is connected again,
// once, without asking again. Either way one end of the session is reported once.
void TestZELClient::certificateQuestionHasNoClock_data()
{
    QTest::addColumn<bool>("accept");
    QTest::addColumn<bool>("brokerCloses");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("connections");
    QTest::newRow("accepted late") << true << false << QStringList{"established"} << 1;
    QTest::newRow("refused late") << false << false << QStringList{"terminated"} << 1;
    QTest::newRow("accepted, broker closed meanwhile") << true << true << QStringList{"established"} << 2;
    QTest::newRow("refused, broker closed meanwhile") << false << true << QStringList{"terminated"} << 1;
}

void TestZELClient::certificateQuestionHasNoClock()
{
    QFETCH(bool, accept);
    QFETCH(bool, brokerCloses);
    QFETCH(QStringList, events);
    QFETCH(int, connections);

    // Short, yet long enough for the question to come up within it on a busy machine.
    const int bound = TestEnvironment::timeout(1000);
    ZELConnectionParameters parameters;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    parameters.setPort(m_server.serverPort());
    ZELClient client;
    client.setParameters(parameters);
    client.setConnectTimeout(bound);
    SessionEvents::record(client, m_events);
    QSignalSpy socketErrors(&client, &ZELClient::socketError);
    // Started after the client's own bound and running longer: when it has fired, the client's
    // bound would have fired too.
    QTimer boundPassed;
    boundPassed.setSingleShot(true);
    int asked = 0;
    connect(&client, &ZELClient::sslErrors, this,
            [&](const QList<QSslError> &, const QList<QSslCertificate> &, bool &answer) {
                ++asked;
                if (brokerCloses) {
                    for (QSslSocket *peer : m_server.findChildren<QSslSocket *>())
                        peer->abort();
                    QTRY_COMPARE_WITH_TIMEOUT(client.getSocket()->state(), QAbstractSocket::UnconnectedState,
                                              TestEnvironment::timeout(10000));
                }
                QTRY_VERIFY_WITH_TIMEOUT(!boundPassed.isActive(), TestEnvironment::timeout(10000));
                answer = accept;
            },
            Qt::DirectConnection);

    const int connectionsBefore = m_server.connectionCount();
    client.connectToZEL();
    boundPassed.start(bound + 200);
    QTRY_COMPARE_WITH_TIMEOUT(m_events.size(), 1, TestEnvironment::timeout(10000));
    QCOMPARE(m_events, events);
    QCOMPARE(asked, 1);
    QCOMPARE(socketErrors.count(), 0);
    QCOMPARE(m_server.connectionCount(), connectionsBefore + connections);
    QCOMPARE(client.isConnected(), accept);

    if (accept) {
        // The connection made after the answer carries requests, and ends once.
        QSslSocket *peer = m_server.nextEncrypted(TestEnvironment::timeout(10000));
        QVERIFY(peer);
        client.requestVMList();
        answer(peer, vmListResponse("[]"));
        QTRY_COMPARE_WITH_TIMEOUT(m_events.size(), 2, TestEnvironment::timeout(10000));
        client.disconnectFromZEL();
        QCOMPARE(m_events, (events + QStringList{"list of 0", "terminated"}));
    }
}

void TestZELClient::passwordNeverInLog()
{
    const QString password = QStringLiteral("Geheim-Pa55wort");
    const QString secondFactor = QStringLiteral("908172");
    ZELConnectionParameters parameters;
    parameters.setUsername(QStringLiteral("bob"));
    parameters.setPassword(password);
    parameters.setSecondFactor(secondFactor);
    ZELClient client;
    QSslSocket *peer = m_server.establish(client, parameters);
    QVERIFY(peer);
    QSignalSpy received(&client, &ZELClient::vmListReceived);
    client.ping();
    answer(peer, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    QTRY_VERIFY(LogCapture::lines().contains(QStringLiteral("HTTP download complete")));
    client.requestVMList();
    const QByteArray request = answer(peer, vmListResponse("[]"));
    QVERIFY(received.wait(TestEnvironment::timeout(10000)));

    const QByteArray basic = QString(QStringLiteral("bob:") + password + secondFactor).toLocal8Bit().toBase64();
    QVERIFY(request.contains(basic));
    const QString all = LogCapture::lines().join(QLatin1Char('\n'));
    QVERIFY2(all.contains(QStringLiteral("Authorization: Basic ********")), qPrintable(all));
    QVERIFY2(!all.contains(password), qPrintable(all));
    QVERIFY2(!all.contains(secondFactor), qPrintable(all));
    QVERIFY2(!all.contains(QString::fromLatin1(basic)), qPrintable(all));
    // Not even a part of the encoded credentials.
    QVERIFY2(!all.contains(QString::fromLatin1(basic.mid(4, 12))), qPrintable(all));
}

void TestZELClient::connectionRefused()
{
    ZELConnectionParameters parameters;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    RefusingPort refusing;
    parameters.setPort(refusing.port());
    ZELClient client;
    client.setParameters(parameters);
    SessionEvents::record(client, m_events);
    QSignalSpy errors(&client, &ZELClient::socketError);
    QSignalSpy states(&client, &ZELClient::socketStateChanged);
    QVERIFY(errors.isValid());
    client.connectToZEL();
    QVERIFY(errors.count() >= 1 || errors.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(errors.at(0).at(0).value<QAbstractSocket::SocketError>(), QAbstractSocket::ConnectionRefusedError);
    QTRY_COMPARE(states.last().at(0).value<QAbstractSocket::SocketState>(), QAbstractSocket::UnconnectedState);
    // A connection that fails ends the session at once.
    QCOMPARE(m_events, QStringList{QStringLiteral("terminated")});
    QCOMPARE(client.getSocket(), nullptr);
}

// Nothing waits for ever: a server that takes the connection but never speaks TLS, and a
// broker that never answers a request, each end the session with a time-out.
void TestZELClient::waitsAreBounded_data()
{
    QTest::addColumn<bool>("tlsAnswered");
    QTest::addColumn<QString>("error");
    QTest::newRow("TLS never answered") << false << "error Timeout: No connection to 127.0.0.1:%1 within 1 seconds";
    QTest::newRow("VM list never answered") << true << "error Timeout: The server did not answer within 1 seconds";
}

void TestZELClient::waitsAreBounded()
{
    QFETCH(bool, tlsAnswered);
    QFETCH(QString, error);

    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    ZELClient client;
    client.setConnectTimeout(700);
    client.setRequestTimeout(700);
    QSignalSpy terminated(&client, &ZELClient::connectionTerminated);
    if (tlsAnswered) {
        QVERIFY(m_server.establish(client, ZELConnectionParameters()));
        SessionEvents::record(client, m_events);
        client.requestVMList();
    } else {
        ZELConnectionParameters parameters;
        parameters.setHost(QStringLiteral("127.0.0.1"));
        parameters.setPort(silent.serverPort());
        client.setParameters(parameters);
        SessionEvents::record(client, m_events);
        client.connectToZEL();
        // The caller is not held up while the connection is being made.
        QVERIFY(m_events.isEmpty());
        error = error.arg(silent.serverPort());
    }
    QVERIFY(terminated.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(m_events, (QStringList{error, QStringLiteral("terminated")}));
    QCOMPARE(client.getSocket(), nullptr);
}

// The broker goes away while the list is on its way: one report, the session over, no list.
void TestZELClient::brokerDropsDuringVmList()
{
    ZELClient client;
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    SessionEvents::record(client, m_events);
    QSignalSpy socketErrors(&client, &ZELClient::socketError);
    QSignalSpy terminated(&client, &ZELClient::connectionTerminated);
    client.requestVMList();
    QVERIFY(!TlsTestServer::readRequestHead(peer).isEmpty());
    peer->write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[{\"id\":");
    peer->disconnectFromHost();
    QVERIFY(terminated.wait(TestEnvironment::timeout(10000)));
    // The session's socket and request layer are gone once everything about the end was said.
    QTRY_COMPARE(client.getSocket(), nullptr);
    QCoreApplication::processEvents();
    QCOMPARE(terminated.count(), 1);
    QCOMPARE(m_events.filter(QStringLiteral("error ")).size() + socketErrors.count(), 1);
    QVERIFY(m_events.filter(QStringLiteral("list of")).isEmpty());
    QCOMPARE(client.getSocket(), nullptr);
}

// A request on a session whose connection is gone fails at once instead of waiting.
void TestZELClient::requestWithoutConnection_data()
{
    QTest::addColumn<QString>("request");
    QTest::newRow("VM list") << "list";
    QTest::newRow("VM connection") << "connect";
    QTest::newRow("VM stop") << "stop";
}

void TestZELClient::requestWithoutConnection()
{
    QFETCH(QString, request);
    ZELClient client;
    SessionEvents::record(client, m_events);
    if (request == QLatin1String("list"))
        client.requestVMList();
    else if (request == QLatin1String("connect"))
        client.connectToVM(4);
    else
        client.stopVM(4);
    QCOMPARE(m_events, (QStringList{"error ServerError: The connection to the broker is closed", "terminated"}));
}

void TestZELClient::backendSignals()
{
    ZELClient client;
    SessionEvents::record(client, m_events);
    SignalingBackend earlier;
    SignalingBackend current;
    client.setBackend(&earlier);
    client.setBackend(&current);
    QCOMPARE(client.getBackend(), &current);

    QSignalSpy vmConnected(&client, &ZELClient::vmConnected);
    // A backend from an earlier attempt no longer reaches this session.
    emit earlier.finished();
    emit earlier.failed(ZELBackend::Crash, QStringLiteral("old"));
    emit earlier.connectionEstablished();
    QVERIFY(m_events.isEmpty());
    QCOMPARE(vmConnected.count(), 0);

    emit current.connectionEstablished();
    QCOMPARE(vmConnected.count(), 1);
    QCOMPARE(vmConnected.at(0).at(0).toInt(), 0);

    emit current.failed(ZELBackend::XServerFailed, QStringLiteral("no X"));
    emit current.failed(ZELBackend::StartFailure, QStringLiteral("no proxy"));
    emit current.finished();
    QCOMPARE(m_events, (QStringList{"vmConnected 0", "terminated", "error XServerError: no X",
                                    "terminated", "error BackendFailed: no proxy", "terminated"}));

    // A backend that goes away is forgotten.
    {
        SignalingBackend shortLived;
        client.setBackend(&shortLived);
    }
    QCOMPARE(client.getBackend(), nullptr);
}

void TestZELClient::backendGetsParameters()
{
    SignalingBackend backend;
    ZELClient client;
    client.setBackend(&backend);
    ZELConnectionParameters parameters;
    parameters.setUsername(QStringLiteral("carol"));
    parameters.setAudio(true);
    parameters.setAudioCompression(true);
    QVERIFY(m_server.establish(client, parameters));
    QCOMPARE(backend.parameters().username(), QStringLiteral("carol"));
    // Compressed sound comes in on a port of the session's own, open from the start; a second
    // client on the machine gets another one.
    QVERIFY(PeerCheck::isOwnListener(backend.audioPort()));
    SignalingBackend second;
    ZELClient secondClient;
    secondClient.setBackend(&second);
    QVERIFY(m_server.establish(secondClient, parameters));
    QVERIFY(PeerCheck::isOwnListener(second.audioPort()));
    QVERIFY(second.audioPort() != backend.audioPort());

    SignalingBackend quiet;
    ZELClient other;
    other.setBackend(&quiet);
    parameters.setAudio(false);
    QVERIFY(m_server.establish(other, parameters));
    QCOMPARE(quiet.audioPort(), static_cast<unsigned short>(4713));
}

void TestZELClient::disconnectTwice()
{
    ZELClient client;
    SessionEvents::record(client, m_events);
    QVERIFY(m_server.establish(client, ZELConnectionParameters()));
    client.disconnectFromZEL();
    client.disconnectFromZEL();
    QCOMPARE(m_events, (QStringList{"established", "terminated", "terminated"}));
    QCOMPARE(client.getSocket(), nullptr);

    // The released socket is not written to: a request without a session fails at once, a
    // ping is dropped quietly.
    client.ping();
    client.requestVMList();
    QCOMPARE(m_events, (QStringList{"established", "terminated", "terminated",
                                    "error ServerError: The connection to the broker is closed", "terminated"}));
}

void TestZELClient::againstDemoBroker_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("list") << QStringLiteral("alice") << QStringLiteral("secret")
                          << QStringList{"established", "list of 2"};
    QTest::newRow("wrong password") << QStringLiteral("alice") << QStringLiteral("guess")
                                    << QStringList{"established",
                                                   "error AuthenticationError: Nombre de usuario o contraseña incorrecta.",
                                                   "terminated"};
    QTest::newRow("blocked") << QStringLiteral("blocked") << QStringLiteral("demo")
                             << QStringList{"established", "error ServerBlocked: Server blocked", "terminated"};
    QTest::newRow("not a broker") << QStringLiteral("notzel") << QStringLiteral("demo")
                                  << QStringList{"established",
                                                 "error ProtocolError: VM list command unrecognized. This may not be a ZEL server.",
                                                 "terminated"};
    QTest::newRow("server failure") << QStringLiteral("broken") << QStringLiteral("demo")
                                    << QStringList{"established", "error ProtocolError: Server failure.", "terminated"};
    QTest::newRow("moved") << QStringLiteral("moved") << QStringLiteral("demo")
                           << QStringList{"established", "error ProtocolError: Unexpected HTTP code 302", "terminated"};
}

void TestZELClient::againstDemoBroker()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QStringList, expected);

    QVERIFY2(QFile::exists(DemoBrokerProcess::program()), "the demo broker is not built");

    // Users, statuses and VMs of this test only; one variable goes along as an "Auth-" header.
    const QJsonObject config = QJsonDocument::fromJson(R"({
        "users": [
            { "name": "alice", "password": "secret", "secondFactor": "123456" },
            { "name": "blocked", "password": "demo", "statusOverrides": { "/zel/list_of_vm": 503 } },
            { "name": "notzel", "password": "demo", "statusOverrides": { "/zel/list_of_vm": 404 } },
            { "name": "broken", "password": "demo", "statusOverrides": { "/zel/list_of_vm": 500 } },
            { "name": "moved", "password": "demo", "statusOverrides": { "/zel/list_of_vm": 302 } }
        ],
        "vms": [
            { "id": 4, "name": "Desk", "state": "running", "endpoint": "127.0.0.1:1" },
            { "id": 5, "name": "Old", "state": "stopped", "blocked": true, "endpoint": "127.0.0.1:1" }
        ]
    })").object();
    DemoBrokerProcess broker;
    QVERIFY2(broker.start(config), qPrintable(broker.errorText()));
    const quint16 port = broker.port();

    ChosenVariables::store({QStringLiteral("HOME")});

    ZELConnectionParameters parameters;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    parameters.setPort(port);
    parameters.setUsername(user);
    parameters.setPassword(password);
    if (user == QLatin1String("alice"))
        parameters.setSecondFactor(QStringLiteral("123456"));
    ZELClient client;
    client.setParameters(parameters);
    SessionEvents::record(client, m_events);
    connect(&client, &ZELClient::sslErrors, this,
            [](const QList<QSslError> &, const QList<QSslCertificate> &, bool &accept) { accept = true; },
            Qt::DirectConnection);
    QList<ZELClient::VMInfo> list;
    connect(&client, &ZELClient::vmListReceived, this,
            [&list](const QList<ZELClient::VMInfo> &received) { list = received; });
    connect(&client, &ZELClient::connectionEstablished, &client, &ZELClient::requestVMList);

    client.connectToZEL();
    QTRY_VERIFY2_WITH_TIMEOUT(m_events.size() >= expected.size(),
                              qPrintable(m_events.join(QLatin1Char('|')) + QLatin1Char('\n') + broker.log()),
                              TestEnvironment::timeout(20000));
    QCOMPARE(m_events, expected);
    if (!list.isEmpty()) {
        QCOMPARE(list.at(0).id, 4);
        QCOMPARE(list.at(0).state, 2);
        QCOMPARE(list.at(1).name, QStringLiteral("Old"));
        QCOMPARE(list.at(1).blocked, true);
    }
    client.disconnectFromZEL();
}

QTEST_GUILESS_MAIN(TestZELClient)
#include "tst_zelclient.moc"
