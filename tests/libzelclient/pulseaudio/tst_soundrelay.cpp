#include "logcapture.h"
#include "otherusersocket.h"
#include "pulseaudio/soundrelay.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Stands in for the sound server's socket: echoes what each connection sends.
class EchoServer
{
public:
    explicit EchoServer(const QString &path)
    {
        QObject::connect(&m_server, &QLocalServer::newConnection, [this]() {
            while (QLocalSocket *connection = m_server.nextPendingConnection()) {
                ++connections;
                QObject::connect(connection, &QIODevice::readyRead, connection,
                                 [connection]() { connection->write(connection->readAll()); });
            }
        });
        m_server.listen(path);
    }

    int connections = 0;

private:
    QLocalServer m_server;
};

} // namespace

// The session's sound port: the session user's streams reach the sound server, nobody else's.
class TestSoundRelay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        LogCapture::install();
    }

    void init()
    {
        LogCapture::clear();
    }

    void relaysEachStream_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("streams");
        QTest::addColumn<bool>("relayed");
        QTest::newRow("one stream") << "running" << 1 << true;
        QTest::newRow("streams side by side") << "running" << 3 << true;
        QTest::newRow("server not started yet") << "none" << 2 << false;
        QTest::newRow("server gone") << "gone" << 1 << false;
    }

    void relaysEachStream()
    {
        QFETCH(QString, server);
        QFETCH(int, streams);
        QFETCH(bool, relayed);

        const QString socketPath = m_work.filePath(QStringLiteral("native-%1").arg(QTest::currentDataTag()));
        std::unique_ptr<EchoServer> echo;
        if (server == QLatin1String("running"))
            echo = std::make_unique<EchoServer>(socketPath);
        SoundRelay relay;
        QVERIFY(relay.listen());
        if (server != QLatin1String("none"))
            relay.setServerSocket(socketPath);

        std::vector<std::unique_ptr<QTcpSocket>> connections;
        for (int i = 0; i < streams; ++i) {
            connections.push_back(std::make_unique<QTcpSocket>());
            connections.back()->connectToHost(QHostAddress::LocalHost, relay.port());
            connections.back()->write(QByteArray("stream ") + QByteArray::number(i));
        }
        for (int i = 0; i < streams; ++i) {
            QTcpSocket &connection = *connections.at(size_t(i));
            if (relayed) {
                QByteArray echoed;
                QTRY_COMPARE_WITH_TIMEOUT((echoed += connection.readAll()), QByteArray("stream ") + QByteArray::number(i),
                                          TestEnvironment::timeout(10000));
            } else {
                QTRY_COMPARE_WITH_TIMEOUT(connection.state(), QAbstractSocket::UnconnectedState,
                                          TestEnvironment::timeout(10000));
                QCOMPARE(connection.readAll(), QByteArray());
            }
        }
        if (echo)
            QCOMPARE(echo->connections, streams);
    }

    // Another user's connection to the sound port reaches nothing and is closed at once; the
    // session user's streams go on.
    void otherUserRefused()
    {
        if (!TestEnvironment::canRunAsOtherUser())
            ZEL_SKIP("needs root and setpriv to play a second local user");
        ZEL_REQUIRE("socat");
        const QString socketPath = m_work.filePath(QStringLiteral("native-other"));
        EchoServer echo(socketPath);
        SoundRelay relay;
        QVERIFY(relay.listen());
        relay.setServerSocket(socketPath);

        OtherUserSocket other;
        QVERIFY2(other.connectTo(relay.port(), "load-module\n"), qPrintable(other.errorText()));
        QTRY_VERIFY2_WITH_TIMEOUT(other.ended(), qPrintable(other.errorText()), TestEnvironment::timeout(10000));
        QVERIFY2(!other.refused(), qPrintable(other.errorText()));
        QCOMPARE(other.received(), QByteArray());
        QCOMPARE(echo.connections, 0);
        QCOMPARE(LogCapture::count(QStringLiteral("Closed a connection to the sound port from user ")), 1);

        QTcpSocket own;
        own.connectToHost(QHostAddress::LocalHost, relay.port());
        own.write("still playing");
        QByteArray echoed;
        QTRY_COMPARE_WITH_TIMEOUT((echoed += own.readAll()), QByteArray("still playing"), TestEnvironment::timeout(10000));
    }

private:
    QTemporaryDir m_work;
};

ZEL_TEST_GUILESS_MAIN(TestSoundRelay)
#include "tst_soundrelay.moc"
