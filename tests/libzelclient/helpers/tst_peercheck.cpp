#include "helpers/peercheck.h"
#include "otherusersocket.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <pwd.h>

namespace {

QString nobody()
{
    const passwd *entry = ::getpwnam("nobody");
    return entry ? QString::number(entry->pw_uid) : QString();
}

} // namespace

// Whose a loopback socket is, as the session's listeners and connections ask it.
class TestPeerCheck : public QObject
{
    Q_OBJECT

private slots:
    void ownUserAdmitted_data();
    void ownUserAdmitted();
    void otherUserRefused_data();
    void otherUserRefused();

private:
    TestEnvironment m_environment;
};

void TestPeerCheck::ownUserAdmitted_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("admitted");

    QTest::newRow("connection accepted from the user") << "accepted" << true;
    QTest::newRow("connection to the user's listener, not yet accepted") << "connected" << true;
    QTest::newRow("listener of the user") << "listener" << true;
    QTest::newRow("connection accepted over IPv6 loopback") << "accepted6" << true;
    QTest::newRow("nothing listens") << "none" << false;
    QTest::newRow("peer closed before the check") << "closed" << false;
}

void TestPeerCheck::ownUserAdmitted()
{
    QFETCH(QString, kind);
    QFETCH(bool, admitted);

    const bool v6 = kind == QLatin1String("accepted6");
    QTcpServer server;
    QVERIFY(server.listen(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
    if (kind == QLatin1String("none")) {
        const quint16 port = server.serverPort();
        server.close();
        QCOMPARE(PeerCheck::listenerOwner(port), QString());
        QCOMPARE(PeerCheck::isOwnListener(port), admitted);
        return;
    }
    if (kind == QLatin1String("listener")) {
        QCOMPARE(PeerCheck::listenerOwner(server.serverPort()), PeerCheck::ownUser());
        QCOMPARE(PeerCheck::isOwnListener(server.serverPort()), admitted);
        return;
    }

    QTcpSocket client;
    client.connectToHost(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(TestEnvironment::timeout(5000)));
    if (kind == QLatin1String("connected")) {
        QCOMPARE(PeerCheck::isOwnPeer(client), admitted);
        return;
    }
    QVERIFY(server.waitForNewConnection(TestEnvironment::timeout(5000)));
    std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
    if (kind == QLatin1String("closed")) {
        client.abort();
        QTRY_COMPARE(PeerCheck::peerOwner(*accepted), QString());
    }
    QCOMPARE(PeerCheck::isOwnPeer(*accepted), admitted);
}

void TestPeerCheck::otherUserRefused_data()
{
    QTest::addColumn<QString>("kind");

    QTest::newRow("connection accepted from another user") << "accepted";
    QTest::newRow("connection to another user's listener") << "connected";
    QTest::newRow("listener of another user") << "listener";
}

void TestPeerCheck::otherUserRefused()
{
    if (!TestEnvironment::canRunAsOtherUser())
        ZEL_SKIP("needs root and setpriv to play a second local user");
    ZEL_REQUIRE("socat");
    QFETCH(QString, kind);

    OtherUserSocket other;
    if (kind == QLatin1String("accepted")) {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QVERIFY2(other.connectTo(server.serverPort(), "hello"), qPrintable(other.errorText()));
        QVERIFY2(server.waitForNewConnection(TestEnvironment::timeout(10000)), qPrintable(other.errorText()));
        std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
        QCOMPARE(PeerCheck::peerOwner(*accepted), nobody());
        QVERIFY(!PeerCheck::isOwnPeer(*accepted));
        return;
    }

    QVERIFY2(other.listen(QStringLiteral("127.0.0.1")), qPrintable(other.errorText()));
    if (kind == QLatin1String("listener")) {
        QCOMPARE(PeerCheck::listenerOwner(other.port()), nobody());
        QVERIFY(!PeerCheck::isOwnListener(other.port()));
        return;
    }
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, other.port());
    QVERIFY(client.waitForConnected(TestEnvironment::timeout(5000)));
    QCOMPARE(PeerCheck::peerOwner(client), nobody());
    QVERIFY(!PeerCheck::isOwnPeer(client));
}

ZEL_TEST_GUILESS_MAIN(TestPeerCheck)
#include "tst_peercheck.moc"
