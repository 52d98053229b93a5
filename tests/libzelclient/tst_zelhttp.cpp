#include "logcapture.h"
#include "testenvironment.h"
#include "tlstestserver.h"
#include "zelhttp.h"
#include "zelnetworkreply.h"

#include <QBuffer>
#include <QNetworkRequest>
#include <QPointer>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>
#include <QUrlQuery>

#include <memory>

using QueryItems = QList<QPair<QString, QString>>;

namespace {

QNetworkRequest requestFor(const QString &path)
{
    QUrl url(QStringLiteral("https://localhost/"));
    url.setPath(path);
    return QNetworkRequest(url);
}

} // namespace

class TestZELHTTP : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void requestBytes_data();
    void requestBytes();
    void operationWords_data();
    void operationWords();
    void credentialsMaskedInLog();

    void upgradeAfterProcessing_data();
    void upgradeAfterProcessing();
    void bodyInPieces_data();
    void bodyInPieces();
    void headerValues();
    void statusLineForms_data();
    void statusLineForms();
    void completesWithoutBody_data();
    void completesWithoutBody();
    void bytesBeyondLengthStayInSocket();
    void bodyRunsUntilPeerCloses();
    void malformedResponses_data();
    void malformedResponses();
    void unfinishedAnswersTimeOut_data();
    void unfinishedAnswersTimeOut();
    void readInSmallPieces();
    void httpForwardsReplyFinished();

private:
    // Waits until the client has seen a write of the peer (the reply is connected first).
    bool sendToClient(const QByteArray &bytes);

    TestEnvironment m_environment;
    TlsTestServer m_server;
    std::unique_ptr<QSslSocket> m_client;
    QPointer<QSslSocket> m_peer;
    std::unique_ptr<ZELHTTP> m_http;
};

void TestZELHTTP::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.errorText()));
    LogCapture::install();
}

void TestZELHTTP::init()
{
    LogCapture::clear();
    m_client = std::make_unique<QSslSocket>();
    m_client->setSslConfiguration(m_server.trustingClientConfiguration());
    QSignalSpy encrypted(m_client.get(), &QSslSocket::encrypted);
    QVERIFY(encrypted.isValid());
    m_client->connectToHostEncrypted(QStringLiteral("localhost"), m_server.serverPort());
    m_peer = m_server.nextEncrypted();
    QVERIFY(m_peer);
    QVERIFY(encrypted.count() == 1 || encrypted.wait());
    m_http = std::make_unique<ZELHTTP>(m_client.get(), nullptr);
}

void TestZELHTTP::cleanup()
{
    m_http.reset();
    m_client.reset();
    if (m_peer)
        m_peer->deleteLater();
}

bool TestZELHTTP::sendToClient(const QByteArray &bytes)
{
    QSignalSpy readyRead(m_client.get(), &QSslSocket::readyRead);
    m_peer->write(bytes);
    return readyRead.wait(TestEnvironment::timeout(10000));
}

void TestZELHTTP::requestBytes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QueryItems>("query");
    QTest::addColumn<QList<QByteArray>>("headers");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no query, headers in order set")
        << QStringLiteral("/zel/list_of_vm") << QueryItems()
        << QList<QByteArray>{"Authorization", "Basic eDp5", "User-Agent", "ZELClient Qt/0.01 (Linux)",
                             "Accept", "application/json"}
        << QByteArray("GET /zel/list_of_vm HTTP/1.1\n"
                      "Authorization: Basic eDp5\n"
                      "User-Agent: ZELClient Qt/0.01 (Linux)\n"
                      "Accept: application/json\n"
                      "\n");
    QTest::newRow("B set before A")
        << QStringLiteral("/x") << QueryItems()
        << QList<QByteArray>{"B", "2", "A", "1"}
        << QByteArray("GET /x HTTP/1.1\nB: 2\nA: 1\n\n");
    QTest::newRow("no headers") << QStringLiteral("/zel/ping") << QueryItems()
                                << QList<QByteArray>() << QByteArray("GET /zel/ping HTTP/1.1\n\n");
    QTest::newRow("query with a blank, pretty decoded")
        << QStringLiteral("/zel/connect_to_vm")
        << QueryItems{{"id", "7"}, {"zel.client.nxagent.extra_args", "-a b"}}
        << QList<QByteArray>{"Connection", "Upgrade", "Upgrade", "ZEL/1.0"}
        << QByteArray("GET /zel/connect_to_vm?id=7&zel.client.nxagent.extra_args=-a b HTTP/1.1\n"
                      "Connection: Upgrade\nUpgrade: ZEL/1.0\n\n");
    QTest::newRow("path with blanks sent as is")
        << QStringLiteral("/shares/My Documents") << QueryItems()
        << QList<QByteArray>() << QByteArray("GET /shares/My Documents HTTP/1.1\n\n");
    QTest::newRow("line ends in a path cannot start a header")
        << QStringLiteral("/shares/a\nEvil: 1") << QueryItems()
        << QList<QByteArray>() << QByteArray("GET /shares/a%0AEvil: 1 HTTP/1.1\n\n");
    QTest::newRow("line ends in a header value cannot start a header")
        << QStringLiteral("/x") << QueryItems()
        << QList<QByteArray>{"A", "1\r\nEvil: 2"} << QByteArray("GET /x HTTP/1.1\nA: 1  Evil: 2\n\n");
}

void TestZELHTTP::requestBytes()
{
    QFETCH(QString, path);
    QFETCH(QueryItems, query);
    QFETCH(QList<QByteArray>, headers);
    QFETCH(QByteArray, expected);

    QUrl url(QStringLiteral("https://localhost/"));
    url.setPath(path);
    if (!query.isEmpty()) {
        QUrlQuery q;
        for (const auto &item : query)
            q.addQueryItem(item.first, item.second);
        url.setQuery(q);
    }
    QNetworkRequest request(url);
    for (int i = 0; i + 1 < headers.size(); i += 2)
        request.setRawHeader(headers.at(i), headers.at(i + 1));

    ZELNetworkReply *reply = m_http->get(request);
    QVERIFY(reply);
    QCOMPARE(reply->parent(), m_http.get());
    QCOMPARE(reply->state(), ZELNetworkReply::AwaitingStatus);

    const QByteArray head = TlsTestServer::readRequestHead(m_peer);
    QCOMPARE(head, expected);
    // Nothing follows the empty line: no body, no extra headers.
    QCOMPARE(m_peer->bytesAvailable(), qint64(0));
}

void TestZELHTTP::operationWords_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("head") << int(QNetworkAccessManager::HeadOperation) << QByteArray("HEAD /p HTTP/1.1\n\n");
    QTest::newRow("get") << int(QNetworkAccessManager::GetOperation) << QByteArray("GET /p HTTP/1.1\n\n");
    QTest::newRow("put") << int(QNetworkAccessManager::PutOperation) << QByteArray("PUT /p HTTP/1.1\n\n");
    QTest::newRow("post") << int(QNetworkAccessManager::PostOperation) << QByteArray("POST /p HTTP/1.1\n\n");
    QTest::newRow("delete") << int(QNetworkAccessManager::DeleteOperation)
                            << QByteArray("DELETE /p HTTP/1.1\n\n");
    QTest::newRow("custom") << int(QNetworkAccessManager::CustomOperation) << QByteArray("/p HTTP/1.1\n\n");
}

void TestZELHTTP::operationWords()
{
    QFETCH(int, operation);
    QFETCH(QByteArray, expected);

    const QNetworkRequest request = requestFor(QStringLiteral("/p"));
    QBuffer body;
    body.setData("never sent");
    body.open(QIODevice::ReadOnly);
    switch (operation) {
    case QNetworkAccessManager::HeadOperation:
        m_http->head(request);
        break;
    case QNetworkAccessManager::GetOperation:
        m_http->get(request);
        break;
    case QNetworkAccessManager::PutOperation:
        m_http->put(request, &body);
        break;
    case QNetworkAccessManager::PostOperation:
        m_http->post(request, &body);
        break;
    default:
        new ZELNetworkReply(m_http.get(), request, QNetworkAccessManager::Operation(operation), nullptr,
                            *m_client);
        break;
    }
    QCOMPARE(TlsTestServer::readRequestHead(m_peer), expected);
    QCOMPARE(m_peer->bytesAvailable(), qint64(0));
    QCOMPARE(body.pos(), qint64(0));
}

void TestZELHTTP::credentialsMaskedInLog()
{
    const QByteArray secret = "s3cr3t-Pa55";
    const QByteArray basic = QByteArray("alice:" + secret).toBase64();
    QNetworkRequest request = requestFor(QStringLiteral("/zel/list_of_vm"));
    request.setRawHeader("Authorization", "Basic " + basic);
    request.setRawHeader("User-Agent", "ZELClient Qt/0.01 (Linux)");
    m_http->get(request);

    // The peer still gets the real credentials.
    const QByteArray head = TlsTestServer::readRequestHead(m_peer);
    QVERIFY(head.contains("Authorization: Basic " + basic + "\n"));

    const QString all = LogCapture::lines().join(QLatin1Char('\n'));
    QVERIFY2(all.contains(QStringLiteral("REQUEST: ")), qPrintable(all));
    QVERIFY2(all.contains(QStringLiteral("Authorization: Basic ********")), qPrintable(all));
    QVERIFY2(all.contains(QStringLiteral("User-Agent: ZELClient Qt/0.01 (Linux)")), qPrintable(all));
    QVERIFY2(!all.contains(QString::fromLatin1(basic)), qPrintable(all));
    QVERIFY2(!all.contains(QString::fromLatin1(secret)), qPrintable(all));

    // Other spellings of the header name are masked too.
    QCOMPARE(ZELNetworkReply::maskedForLog("GET / HTTP/1.1\nauthorization: Basic abc\nX: y\n\n"),
             QByteArray("GET / HTTP/1.1\nauthorization: Basic ********\nX: y\n\n"));
    QCOMPARE(ZELNetworkReply::maskedForLog("GET / HTTP/1.1\nAuthorization: token\n\n"),
             QByteArray("GET / HTTP/1.1\nAuthorization: ********\n\n"));
    // The values of the environment variables the user chose to send are credentials too.
    QCOMPARE(ZELNetworkReply::maskedForLog("GET / HTTP/1.1\nAuth-50415448: L3Vzci9iaW4=\nX: y\n\n"),
             QByteArray("GET / HTTP/1.1\nAuth-50415448: ********\nX: y\n\n"));
}

void TestZELHTTP::upgradeAfterProcessing_data()
{
    QTest::addColumn<int>("split");
    const QByteArray all = "HTTP/1.1 102 Processing\r\n\r\n"
                           "HTTP/1.1 101 Switching Protocols\r\nX-ZEL-Slave-Key: abc\r\n\r\n"
                           "NXPROXY-1.5.0";
    QTest::newRow("one piece") << 0;
    for (int split = 1; split < all.size(); ++split)
        QTest::newRow(qPrintable(QStringLiteral("split at %1").arg(split))) << split;
}

void TestZELHTTP::upgradeAfterProcessing()
{
    QFETCH(int, split);
    const QByteArray all = "HTTP/1.1 102 Processing\r\n\r\n"
                           "HTTP/1.1 101 Switching Protocols\r\nX-ZEL-Slave-Key: abc\r\n\r\n"
                           "NXPROXY-1.5.0";
    const QByteArray tunnel = "NXPROXY-1.5.0";

    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/zel/connect_to_vm")));
    QSignalSpy processing(reply, &ZELNetworkReply::processing);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(processing.isValid());
    QVERIFY(finished.isValid());
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());

    if (split > 0) {
        QVERIFY(sendToClient(all.left(split)));
        const bool upgradeComplete = split >= all.size() - tunnel.size();
        QCOMPARE(finished.count(), upgradeComplete ? 1 : 0);
        QVERIFY(sendToClient(all.mid(split)));
    } else {
        QVERIFY(sendToClient(all));
    }

    QCOMPARE(processing.count(), 1);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(reply->state(), ZELNetworkReply::Upgraded);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 101);
    QCOMPARE(reply->rawHeader("X-ZEL-Slave-Key"), QByteArray("abc"));
    // The slave key is a credential: the log names the header but never shows the key.
    const QString log = LogCapture::lines().join(QLatin1Char('\n'));
    QVERIFY2(log.contains(QStringLiteral("X-ZEL-Slave-Key")), qPrintable(log));
    QVERIFY2(!log.contains(QStringLiteral("abc")), qPrintable(log));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray(),
             QByteArray("Switching"));
    // What follows the upgrade is still in the socket, untouched.
    QTRY_COMPARE(m_client->bytesAvailable(), qint64(tunnel.size()));

    // The reply has let go of the socket: later bytes are not its business.
    m_peer->write("more");
    QTRY_COMPARE(m_client->bytesAvailable(), qint64(tunnel.size() + 4));
    QCOMPARE(m_client->readAll(), tunnel + "more");
    QCOMPARE(finished.count(), 1);
    QVERIFY(!reply->isFinished());
    QCOMPARE(reply->error(), QNetworkReply::NoError);
}

void TestZELHTTP::bodyInPieces_data()
{
    QTest::addColumn<int>("split");
    const QByteArray all = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    for (int split = 1; split < all.size(); ++split)
        QTest::newRow(qPrintable(QStringLiteral("split at %1").arg(split))) << split;
}

void TestZELHTTP::bodyInPieces()
{
    QFETCH(int, split);
    const QByteArray all = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/zel/list_of_vm")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.isValid());
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());

    QVERIFY(sendToClient(all.left(split)));
    QCOMPARE(finished.count(), 0);
    QVERIFY(sendToClient(all.mid(split)));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(reply->state(), ZELNetworkReply::Idle);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QCOMPARE(reply->header(QNetworkRequest::ContentLengthHeader).toInt(), 5);
    QCOMPARE(reply->readAll(), QByteArray("hello"));
    QCOMPARE(reply->bytesAvailable(), qint64(0));
}

void TestZELHTTP::headerValues()
{
    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/h")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());
    QVERIFY(sendToClient("HTTP/1.1 404 Not Found\r\n"
                         "Content-Type:  application/json  \r\n"
                         " X-Lead: kept\r\n"
                         "X-Twice: first\r\n"
                         "X-Twice: second\r\n"
                         "X-Colon: a:b\r\n"
                         "Content-Length: 2\r\n"
                         "\r\n"
                         "{}"));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray(), QByteArray("Not"));
    QCOMPARE(reply->rawHeader("Content-Type"), QByteArray("application/json"));
    QCOMPARE(reply->header(QNetworkRequest::ContentTypeHeader).toString(), QStringLiteral("application/json"));
    QVERIFY(reply->rawHeaderList().contains(" X-Lead"));
    QCOMPARE(reply->rawHeader(" X-Lead"), QByteArray("kept"));
    QCOMPARE(reply->rawHeader("X-Twice"), QByteArray("second"));
    QCOMPARE(reply->rawHeader("X-Colon"), QByteArray("a:b"));
    QCOMPARE(reply->readAll(), QByteArray("{}"));
}

void TestZELHTTP::statusLineForms_data()
{
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("200 OK keeps its line end") << QByteArray("HTTP/1.1 200 OK\r\n") << 200 << QByteArray("OK\r\n");
    QTest::newRow("no reason") << QByteArray("HTTP/1.1 200\r\n") << 200 << QByteArray();
    QTest::newRow("code not a number") << QByteArray("HTTP/1.1 abc Weird\r\n") << 0 << QByteArray("Weird\r\n");
    QTest::newRow("503") << QByteArray("HTTP/1.1 503 Service Unavailable\r\n") << 503 << QByteArray("Service");
}

void TestZELHTTP::statusLineForms()
{
    QFETCH(QByteArray, statusLine);
    QFETCH(int, code);
    QFETCH(QByteArray, reason);

    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/s")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());
    QVERIFY(sendToClient(statusLine + "Content-Length: 1\r\n\r\nx"));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), code);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray(), reason);
    QCOMPARE(reply->readAll(), QByteArray("x"));
}

void TestZELHTTP::completesWithoutBody_data()
{
    QTest::addColumn<bool>("head");
    QTest::addColumn<QByteArray>("response");
    QTest::newRow("content-length 0") << false << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    QTest::newRow("204 without length") << false << QByteArray("HTTP/1.1 204 No Content\r\n\r\n");
    QTest::newRow("304 without length") << false << QByteArray("HTTP/1.1 304 Not Modified\r\n\r\n");
    QTest::newRow("head announces a length") << true
                                             << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
    QTest::newRow("100 continue, then 204") << false
                                            << QByteArray("HTTP/1.1 100 Continue\r\n\r\n"
                                                          "HTTP/1.1 204 No Content\r\n\r\n");
}

void TestZELHTTP::completesWithoutBody()
{
    QFETCH(bool, head);
    QFETCH(QByteArray, response);

    const QNetworkRequest request = requestFor(QStringLiteral("/e"));
    ZELNetworkReply *reply = head ? m_http->head(request) : m_http->get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QSignalSpy processing(reply, &ZELNetworkReply::processing);
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());
    // Whatever follows the complete response stays in the socket for the next reader.
    QVERIFY(sendToClient(response + "NEXT"));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(processing.count(), 0);
    QCOMPARE(reply->state(), ZELNetworkReply::Idle);
    QCOMPARE(reply->readAll(), QByteArray());
    QCOMPARE(m_client->bytesAvailable(), qint64(4));
    QCOMPARE(m_client->peek(4), QByteArray("NEXT"));
}

void TestZELHTTP::bytesBeyondLengthStayInSocket()
{
    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/b")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());
    QVERIFY(sendToClient("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcNEXT"));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(reply->readAll(), QByteArray("abc"));
    QCOMPARE(m_client->bytesAvailable(), qint64(4));
    QCOMPARE(m_client->peek(4), QByteArray("NEXT"));
    for (const QString &line : qAsConst(LogCapture::lines()))
        QVERIFY2(!line.contains(QStringLiteral("when not expecting any")), qPrintable(line));
}

void TestZELHTTP::bodyRunsUntilPeerCloses()
{
    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/zel/list_of_vm")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());
    QVERIFY(sendToClient("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n[{\"id\""));
    QVERIFY(sendToClient(":1}]"));
    QCOMPARE(finished.count(), 0);
    m_peer->disconnectFromHost();
    QVERIFY(finished.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QCOMPARE(reply->readAll(), QByteArray("[{\"id\":1}]"));
    // The end of the connection is reported once, however many close signals follow.
    QTRY_COMPARE(m_client->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(finished.count(), 1);
}

void TestZELHTTP::malformedResponses_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<bool>("peerCloses");
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    const auto malformed = QNetworkReply::ProtocolFailure;
    const auto closed = QNetworkReply::RemoteHostClosedError;
    QTest::newRow("not HTTP/1.1") << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n") << false << malformed;
    QTest::newRow("garbage status") << QByteArray("SSH-2.0-OpenSSH\r\n") << false << malformed;
    QTest::newRow("header without a name") << QByteArray("HTTP/1.1 200 OK\r\n: value\r\n\r\n") << false << malformed;
    QTest::newRow("header without a colon") << QByteArray("HTTP/1.1 200 OK\r\nnocolon\r\n\r\n") << false << malformed;
    QTest::newRow("headers ended by a bare LF") << QByteArray("HTTP/1.1 200 OK\nContent-Length: 0\n\n") << false << malformed;
    QTest::newRow("content-length not a number")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: five\r\n\r\nhello") << false << malformed;
    QTest::newRow("negative content-length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n") << false
                                             << malformed;
    QTest::newRow("status line never ends") << QByteArray(70 * 1024, 'H') << false << malformed;
    QByteArray endlessHeaders = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; endlessHeaders.size() < 1100 * 1024; ++i)
        endlessHeaders += "X-Filler-" + QByteArray::number(i) + ": " + QByteArray(1000, 'f') + "\r\n";
    QTest::newRow("header block never ends") << endlessHeaders << false << malformed;
    // A server that never stops sending cannot fill memory with a body either.
    QTest::newRow("announced body too long")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: ") + QByteArray::number(ZELNetworkReply::MaxBodyLength + 1)
               + "\r\n\r\nabc"
        << false << malformed;
    QTest::newRow("body without length never ends")
        << QByteArray("HTTP/1.1 200 OK\r\n\r\n") + QByteArray(int(ZELNetworkReply::MaxBodyLength) + 64 * 1024, 'b')
        << false << malformed;
    QTest::newRow("closed before any response") << QByteArray() << true << closed;
    QTest::newRow("closed inside the headers") << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << true << closed;
    QTest::newRow("closed inside a counted body")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf") << true << closed;
}

void TestZELHTTP::malformedResponses()
{
    QFETCH(QByteArray, response);
    QFETCH(bool, peerCloses);
    QFETCH(QNetworkReply::NetworkError, error);

    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/zel/list_of_vm")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.isValid());
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());

    if (!response.isEmpty())
        m_peer->write(response);
    if (peerCloses)
        m_peer->disconnectFromHost();
    QVERIFY(finished.count() == 1 || finished.wait(TestEnvironment::timeout(30000)));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(reply->state(), ZELNetworkReply::ErrorState);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 0);
    QCOMPARE(reply->readAll(), QByteArray());
    // The caller can tell the user what went wrong.
    QCOMPARE(reply->error(), error);
    QVERIFY(!reply->errorString().isEmpty());

    if (!peerCloses) {
        // Whatever the peer sends afterwards is dropped and ends nothing.
        QVERIFY(sendToClient("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(m_client->bytesAvailable(), qint64(0), TestEnvironment::timeout(30000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(reply->state(), ZELNetworkReply::ErrorState);
    }
}

// A server that stops answering ends the exchange with a time-out; an interim 102 (a VM that
// is still starting) gives the final answer the full time again.
void TestZELHTTP::unfinishedAnswersTimeOut_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<int>("interim");
    QTest::newRow("silent") << QByteArray() << 0;
    QTest::newRow("inside the headers") << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << 0;
    QTest::newRow("inside the body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf") << 0;
    QTest::newRow("after an interim answer") << QByteArray("HTTP/1.1 102 Processing\r\n\r\n") << 1;
}

void TestZELHTTP::unfinishedAnswersTimeOut()
{
    QFETCH(QByteArray, response);
    QFETCH(int, interim);

    m_http->setTimeout(300);
    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/zel/connect_to_vm")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QSignalSpy processing(reply, &ZELNetworkReply::processing);
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());
    if (!response.isEmpty())
        QVERIFY(sendToClient(response));

    QVERIFY(finished.count() == 1 || finished.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(processing.count(), interim);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(reply->error(), QNetworkReply::TimeoutError);
    QVERIFY(reply->errorString().contains(QStringLiteral("did not answer")));
    // The end stays the end: nothing that arrives later completes the exchange again.
    QVERIFY(sendToClient("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    QCOMPARE(finished.count(), 1);
}

void TestZELHTTP::readInSmallPieces()
{
    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/r")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());
    QVERIFY(sendToClient("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nabcdefg"));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(reply->bytesAvailable(), qint64(7));
    QCOMPARE(reply->read(3), QByteArray("abc"));
    QCOMPARE(reply->bytesAvailable(), qint64(4));
    QCOMPARE(reply->read(3), QByteArray("def"));
    QCOMPARE(reply->read(3), QByteArray("g"));
    QCOMPARE(reply->bytesAvailable(), qint64(0));
    QCOMPARE(reply->read(3), QByteArray());
}

void TestZELHTTP::httpForwardsReplyFinished()
{
    qRegisterMetaType<QNetworkReply *>();
    QSignalSpy httpFinished(m_http.get(), &ZELHTTP::finished);
    QVERIFY(httpFinished.isValid());
    ZELNetworkReply *reply = m_http->get(requestFor(QStringLiteral("/zel/ping")));
    QVERIFY(!TlsTestServer::readRequestHead(m_peer).isEmpty());
    QVERIFY(sendToClient("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npong"));
    QCOMPARE(httpFinished.count(), 1);
    QCOMPARE(httpFinished.at(0).at(0).value<QNetworkReply *>(), static_cast<QNetworkReply *>(reply));

    // Replies go with the request layer.
    QPointer<ZELNetworkReply> guard(reply);
    m_http.reset();
    QVERIFY(guard.isNull());
}

QTEST_GUILESS_MAIN(TestZELHTTP)
#include "tst_zelhttp.moc"
