#include "testenvironment.h"
#include "zelhttp.h"
#include "zelslavecommand.h"

#include <QPointer>
#include <QTcpSocket>
#include <QtTest>

namespace {

class ProbeCommand : public ZELSlaveCommand
{
    Q_OBJECT

public:
    void run() override { }
    ZELHTTP *http() const { return m_http; }
    QTcpSocket *socket() const { return m_socket; }
    QString key() const { return m_key; }
};

} // namespace

class tst_ZELSlaveCommand : public QObject
{
    Q_OBJECT

private slots:
    void authorizationHeader_data();
    void authorizationHeader();
    void headersComeFirstAndInOrder();
    void connectionBindsHttpToSocket();

private:
    TestEnvironment m_env;
};

void tst_ZELSlaveCommand::authorizationHeader_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("plain") << "k3y" << QByteArray("Basic k3y");
    QTest::newRow("empty") << QString() << QByteArray("Basic ");
    // The key is used as the broker gave it: already-encoded text is not encoded again.
    QTest::newRow("base64-looking") << "YWJjOmRlZg==" << QByteArray("Basic YWJjOmRlZg==");
    QTest::newRow("percent and plus") << "a%20b+c/d" << QByteArray("Basic a%20b+c/d");
    QTest::newRow("blank inside") << "a b" << QByteArray("Basic a b");
    QTest::newRow("line break") << "abc\r\nX-Injected: yes" << QByteArray("Basic abcX-Injected: yes");
    QTest::newRow("other control characters") << QString::fromLatin1("a\tb\x7f" "c\x01")
                                              << QByteArray("Basic abc");
}

void tst_ZELSlaveCommand::authorizationHeader()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, value);

    ProbeCommand command;
    QTcpSocket socket;
    command.setConnection(&socket, key);
    if (QByteArray("Basic ") + key.toLocal8Bit() != value)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("control characters")));
    const QNetworkRequest request = command.createRequest(QUrl(QStringLiteral("http://localhost/usbip")));
    QCOMPARE(request.rawHeader("Authorization"), value);
    // The key as given stays with the command.
    QCOMPARE(command.key(), key);
}

void tst_ZELSlaveCommand::headersComeFirstAndInOrder()
{
    ProbeCommand command;
    QTcpSocket socket;
    command.setConnection(&socket, QStringLiteral("k"));
    QUrl url(QStringLiteral("http://localhost"));
    url.setPath(QStringLiteral("/shares/C:/My Files"), QUrl::DecodedMode);
    QNetworkRequest request = command.createRequest(url);
    request.setRawHeader("Connection", "Upgrade");
    request.setRawHeader("Upgrade", "zel:sftp/1.0");

    QCOMPARE(request.rawHeaderList(),
             QList<QByteArray>({ "Authorization", "User-Agent", "Connection", "Upgrade" }));
    QCOMPARE(request.rawHeader("User-Agent"), QByteArray("ZELClient Qt/0.01 (Linux)"));
    QCOMPARE(request.url().path(), QStringLiteral("/shares/C:/My Files"));
}

void tst_ZELSlaveCommand::connectionBindsHttpToSocket()
{
    QPointer<ZELHTTP> http;
    {
        ProbeCommand command;
        QCOMPARE(command.http(), nullptr);
        QCOMPARE(command.socket(), nullptr);

        QTcpSocket socket;
        command.setConnection(&socket, QStringLiteral("k"));
        http = command.http();
        QVERIFY(http);
        QCOMPARE(http->socket(), &socket);
        QCOMPARE(command.socket(), &socket);
        QCOMPARE(http->parent(), nullptr);
    }
    // The command owns its HTTP client, not the socket.
    QVERIFY(http.isNull());
}

QTEST_GUILESS_MAIN(tst_ZELSlaveCommand)
#include "tst_zelslavecommand.moc"
