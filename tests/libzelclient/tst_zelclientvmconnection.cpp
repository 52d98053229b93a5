#include "chosenvariables.h"
#include "helpers/peercheck.h"
#include "logcapture.h"
#include "sessionevents.h"
#include "testenvironment.h"
#include "tlstestserver.h"
#include "zelbackend.h"
#include "zelclient.h"
#include "zelnetworkreply.h"

#include <QCoreApplication>
#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QSysInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// A backend that takes the tunnel socket and keeps every byte that arrives on it, so that a
// test sees exactly what the display side would get.
class TunnelBackend : public ZELBackend
{
    Q_OBJECT
public:
    using ZELBackend::ZELBackend;

    void start(QTcpSocket *socket) override
    {
        ++starts;
        tunnel = socket;
        connect(socket, &QIODevice::readyRead, this, [this]() { received += tunnel->readAll(); });
        received += socket->readAll();
    }
    void stop() override {}

    int starts = 0;
    QTcpSocket *tunnel = nullptr;
    QByteArray received;
};


// Stands in for the proxy's slave port: every connection is one slave client.
struct SlavePort
{
    SlavePort()
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this]() {
            while (QTcpSocket *socket = server.nextPendingConnection())
                connections << socket;
        });
        server.listen(QHostAddress::LocalHost);
    }
    ~SlavePort() { qDeleteAll(connections); }

    QTcpServer server;
    QList<QTcpSocket *> connections;
};

const QByteArray Processing = "HTTP/1.1 102 Processing\r\n\r\n";

QByteArray switching(const QByteArray &extraHeaders = QByteArray())
{
    return "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: ZEL/1.0\r\n" + extraHeaders + "\r\n";
}

} // namespace

Q_DECLARE_METATYPE(ZELConnectionParameters)

class TestZELClientVMConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void connectRequestBytes_data();
    void connectRequestBytes();
    void processingThenTunnel();
    void slaveKeyNameIsExact();
    void slaveKeyEndsWithTheSession();
    void refusal_data();
    void refusal();
    void slaveChannelStart_data();
    void slaveChannelStart();
    void slaveClientsEndWithTheSession();
    void repeatedAnnouncementStartsOneSoundServer();
    void slaveServiceDoesNotServe_data();
    void slaveServiceDoesNotServe();
    void stopVM_data();
    void stopVM();
    void printerRequest();

private:

    TestEnvironment m_environment;
    TlsTestServer m_server;
    QStringList m_events;
};

void TestZELClientVMConnection::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.errorText()));
    LogCapture::install();
}

void TestZELClientVMConnection::init()
{
    LogCapture::clear();
    m_events.clear();
    QSettings().remove(QStringLiteral("Params"));
}

void TestZELClientVMConnection::cleanup()
{
    const QList<QSslSocket *> peers = m_server.findChildren<QSslSocket *>();
    for (QSslSocket *peer : peers)
        peer->deleteLater();
    QSettings().remove(QStringLiteral("Params"));
}


void TestZELClientVMConnection::connectRequestBytes_data()
{
    QTest::addColumn<ZELConnectionParameters>("parameters");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray os = QSysInfo::kernelType().toUtf8();

    QTest::newRow("defaults") << ZELConnectionParameters() << 7 << QString()
                              << QByteArray("GET /zel/connect_to_vm?id=7&zel.client.type=qt"
                                            "&zel.client.keyboard=empty/empty&zel.client.os=" + os
                                            + "&zel.client.nxagent.extra_args=&zel.client.geometry=1024x768"
                                              "&zel.client.fullscreen=0&zel.client.printing.enabled=0"
                                              "&zel.client.usb.enabled=0&zel.client.usb.implementation=usbip"
                                              "&zel.client.link=adsl&zel.client.audio.sound.enable=0"
                                              "&zel.client.audio.microphone.enable=0"
                                              "&zel.client.audio.compression.enable=1&zel.client.timezone="
                                              " HTTP/1.1\n"
                                              "Authorization: Basic Og==\n"
                                              "User-Agent: ZELClient Qt/0.01 (Linux)\n"
                                              "Connection: Upgrade\n"
                                              "Upgrade: ZEL/1.0\n"
                                              "\n");

    ZELConnectionParameters every;
    every.setUsername(QStringLiteral("bob"));
    every.setPassword(QStringLiteral("pw"));
    every.setKeyboard(QStringLiteral("pc105/de"));
    every.setNxagent_extra_args(QStringLiteral("-dpi 96"));
    every.setGeometry(QSize(1920, 1080));
    every.setFullscreen(true);
    every.setPrinting(true);
    every.setUsb_forwarding(true);
    every.setConnectionSpeed(ZELConnectionParameters::LAN);
    every.setAudio(true);
    every.setMicrophone(true);
    every.setAudioCompression(true);
    every.setTimezone(QStringLiteral("Europe/Madrid"));
    // Folders and devices travel over the slave channel, never in the query.
    every.setSharedFolders({QStringLiteral("/home/bob/Documents")});
    QTest::newRow("every flag") << every << 12 << QStringLiteral("ZEL_VM_TEST_VARIABLE")
                                << QByteArray("GET /zel/connect_to_vm?id=12&zel.client.type=qt"
                                              "&zel.client.keyboard=pc105/de&zel.client.os=" + os
                                              + "&zel.client.nxagent.extra_args=-dpi 96"
                                                "&zel.client.geometry=1920x1080"
                                                "&zel.client.fullscreen=1&zel.client.printing.enabled=1"
                                                "&zel.client.usb.enabled=1&zel.client.usb.implementation=usbip"
                                                "&zel.client.link=lan&zel.client.audio.sound.enable=1"
                                                "&zel.client.audio.microphone.enable=1"
                                                "&zel.client.audio.compression.enable=1"
                                                "&zel.client.timezone=Europe/Madrid"
                                                " HTTP/1.1\n"
                                                "Authorization: Basic " + QByteArray("bob:pw").toBase64() + "\n"
                                              "User-Agent: ZELClient Qt/0.01 (Linux)\n"
                                              "Auth-" + QByteArray("ZEL_VM_TEST_VARIABLE").toHex() + ": "
                                              + QByteArray("on").toBase64() + "\n"
                                              "Connection: Upgrade\n"
                                              "Upgrade: ZEL/1.0\n"
                                              "\n");

    ZELConnectionParameters off;
    off.setAudioCompression(false);
    off.setConnectionSpeed(ZELConnectionParameters::Modem);
    QTest::newRow("compression off") << off << 0 << QString()
                                     << QByteArray("GET /zel/connect_to_vm?id=0&zel.client.type=qt"
                                                   "&zel.client.keyboard=empty/empty&zel.client.os=" + os
                                                   + "&zel.client.nxagent.extra_args=&zel.client.geometry=1024x768"
                                                     "&zel.client.fullscreen=0&zel.client.printing.enabled=0"
                                                     "&zel.client.usb.enabled=0&zel.client.usb.implementation=usbip"
                                                     "&zel.client.link=modem&zel.client.audio.sound.enable=0"
                                                     "&zel.client.audio.microphone.enable=0"
                                                     "&zel.client.audio.compression.enable=0&zel.client.timezone="
                                                     " HTTP/1.1\n"
                                                     "Authorization: Basic Og==\n"
                                                     "User-Agent: ZELClient Qt/0.01 (Linux)\n"
                                                     "Connection: Upgrade\n"
                                                     "Upgrade: ZEL/1.0\n"
                                                     "\n");
}

void TestZELClientVMConnection::connectRequestBytes()
{
    QFETCH(ZELConnectionParameters, parameters);
    QFETCH(int, id);
    QFETCH(QString, variable);
    QFETCH(QByteArray, expected);

    if (!variable.isEmpty()) {
        qputenv(variable.toLatin1().constData(), "on");
        ChosenVariables::store({variable});
    }

    TunnelBackend backend;
    ZELClient client;
    client.setBackend(&backend);
    QSslSocket *peer = m_server.establish(client, parameters);
    QVERIFY(peer);
    client.connectToVM(id);
    const QByteArray request = TlsTestServer::readRequestHead(peer);
    QCOMPARE(request, expected);
    QCOMPARE(LogCapture::count(QStringLiteral("Making request, url ")), 1);
    if (!variable.isEmpty())
        qunsetenv(variable.toLatin1().constData());
}

void TestZELClientVMConnection::processingThenTunnel()
{
    TunnelBackend backend;
    ZELClient client;
    client.setBackend(&backend);
    SessionEvents::record(client, m_events);
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    QCOMPARE(m_events.takeFirst(), QStringLiteral("established"));
    client.connectToVM(7);
    QVERIFY(!TlsTestServer::readRequestHead(peer).isEmpty());

    // Each interim answer on its own, as a starting VM sends them.
    for (int i = 1; i <= 3; ++i) {
        peer->write(Processing);
        QTRY_COMPARE(LogCapture::count(QStringLiteral("Processing...")), i);
    }
    QCOMPARE(backend.starts, 0);

    // The first tunnel bytes come in the same packet as the switch; none may be lost.
    const QByteArray first = "NXPROXY-3.5.0\n";
    peer->write(switching("X-ZEL-Slave-Key: s3cr3t-k3y\r\n") + first);
    QTRY_COMPARE(backend.starts, 1);
    QCOMPARE(backend.tunnel, client.getSocket());
    QTRY_COMPARE(backend.received, first);
    const QByteArray more(70000, 'x');
    peer->write(more);
    QTRY_COMPARE(backend.received.size(), first.size() + more.size());
    QVERIFY(backend.received == first + more);

    // The finished reply is gone: nothing but the backend reads the tunnel.
    QTRY_COMPARE(client.findChildren<ZELNetworkReply *>().size(), 0);
    QCOMPARE(LogCapture::count(QStringLiteral("VM connected! Status 101")), 1);
    QCOMPARE(LogCapture::count(QStringLiteral("Server provided a slave channel key: ")), 1);
    QCOMPARE(LogCapture::count(QStringLiteral("when not expecting any")), 0);
    // The key is the VM service's credential: the session client announces it without
    // writing it out.
    for (const QString &line : qAsConst(LogCapture::lines())) {
        if (line.startsWith(QStringLiteral("Server provided a slave channel key: ")))
            QVERIFY2(!line.contains(QStringLiteral("s3cr3t-k3y")), qPrintable(line));
    }
    QVERIFY2(m_events.isEmpty(), qPrintable(m_events.join(QLatin1Char('|'))));

    emit backend.connectionEstablished();
    QCOMPARE(m_events, QStringList{QStringLiteral("vmConnected 0")});
    // The display session ends: the broker session ends with it.
    emit backend.finished();
    QCOMPARE(m_events, (QStringList{QStringLiteral("vmConnected 0"), QStringLiteral("terminated")}));
    QCOMPARE(client.getSocket(), nullptr);
}

void TestZELClientVMConnection::slaveKeyNameIsExact()
{
    TunnelBackend backend;
    ZELClient client;
    client.setBackend(&backend);
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    client.connectToVM(1);
    QVERIFY(!TlsTestServer::readRequestHead(peer).isEmpty());
    peer->write(switching("x-zel-slave-key: lower\r\n"));
    QTRY_COMPARE(backend.starts, 1);
    QCOMPARE(LogCapture::count(QStringLiteral("Server provided a slave channel key")), 0);
}

// A VM whose answer carries no key is never sent the key of the VM before it.
void TestZELClientVMConnection::slaveKeyEndsWithTheSession()
{
    QTcpServer slavePort;
    QVERIFY(slavePort.listen(QHostAddress::LocalHost));
    QTemporaryDir folder;
    ZELConnectionParameters parameters;
    parameters.setSharedFolders({folder.path()});
    parameters.setAudio(false);
    TunnelBackend backend;
    ZELClient client;
    client.setBackend(&backend);

    QByteArray requests;
    for (const QByteArray &keyHeader : {QByteArray("X-ZEL-Slave-Key: first-vm-key\r\n"), QByteArray()}) {
        QSslSocket *peer = m_server.establish(client, parameters);
        QVERIFY(peer);
        client.connectToVM(1);
        QVERIFY(!TlsTestServer::readRequestHead(peer).isEmpty());
        const int starts = backend.starts;
        peer->write(switching(keyHeader));
        QTRY_COMPARE(backend.starts, starts + 1);
        emit backend.listeningOnTcpPort(ZELBackend::Slave, slavePort.serverPort());
        QVERIFY(slavePort.waitForNewConnection(TestEnvironment::timeout(10000)));
        std::unique_ptr<QTcpSocket> slave(slavePort.nextPendingConnection());
        QByteArray request;
        QTRY_VERIFY_WITH_TIMEOUT((request += slave->readAll()).endsWith("\n\n"), TestEnvironment::timeout(10000));
        requests += request;
        client.disconnectFromZEL();
    }
    QCOMPARE(requests.count("Authorization: Basic first-vm-key\n"), 1);
    QCOMPARE(requests.count("Authorization: Basic \n"), 1);
}

void TestZELClientVMConnection::refusal_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QString>("expected");

    const QByteArray body = "VM 7 cannot be connected\n";
    const QByteArray length = "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    QTest::newRow("502 after 102s") << Processing + Processing + "HTTP/1.1 502 Bad Gateway\r\n" + length + body
                                    << false << "error ProtocolError: Server failure.";
    QTest::newRow("401") << "HTTP/1.1 401 Unauthorized\r\n" + length + body << false
                         << "error AuthenticationError: Nombre de usuario o contraseña incorrecta.";
    QTest::newRow("503") << "HTTP/1.1 503 Service Unavailable\r\n" + length + body << false
                         << "error ServerBlocked: Server blocked";
    QTest::newRow("404") << "HTTP/1.1 404 Not Found\r\n" + length + body << false
                         << "error ProtocolError: VM list command unrecognized. This may not be a ZEL server.";
    QTest::newRow("403") << "HTTP/1.1 403 Forbidden\r\n" + length + body << false
                         << "error ProtocolError: Unexpected HTTP code 403";
    QTest::newRow("200 is no tunnel") << "HTTP/1.1 200 OK\r\n" + length + body << false
                                      << "error ProtocolError: Unexpected HTTP code 200";
    // The proxy's first bytes are no answer.
    QTest::newRow("closed while starting") << Processing << true
                                           << "error ProtocolError: The server's answer is not HTTP/1.1";
    QTest::newRow("not HTTP") << QByteArray("SSH-2.0-OpenSSH\r\n") << false
                              << "error ProtocolError: The server's answer is not HTTP/1.1";
}

void TestZELClientVMConnection::refusal()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, closeAfter);
    QFETCH(QString, expected);

    TunnelBackend backend;
    ZELClient client;
    client.setBackend(&backend);
    SessionEvents::record(client, m_events);
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    QCOMPARE(m_events.takeFirst(), QStringLiteral("established"));
    client.connectToVM(7);
    QVERIFY(!TlsTestServer::readRequestHead(peer).isEmpty());
    // Bytes after the refusal must not end up in a backend either.
    peer->write(answer + "NXPROXY-3.5.0\n");
    if (closeAfter)
        peer->disconnectFromHost();

    QTRY_COMPARE(m_events.size(), 2);
    QCOMPARE(m_events, (QStringList{expected, QStringLiteral("terminated")}));
    QCOMPARE(backend.starts, 0);
    QCOMPARE(client.getSocket(), nullptr);
}

void TestZELClientVMConnection::slaveChannelStart_data()
{
    QTest::addColumn<ZELBackend::NXChannel>("channel");
    QTest::addColumn<bool>("usb");
    QTest::addColumn<bool>("compression");
    QTest::addColumn<QStringList>("expected");
    // Commands this build cannot run yet: each says so, none is reported as done.
    QTest::addColumn<int>("unavailable");

    const QStringList folders{QStringLiteral("Sharing folder \"/srv/one\" with VM"),
                              QStringLiteral("Sharing folder \"/srv/two words\" with VM")};
    QTest::newRow("folders and audio, USB off")
        << ZELBackend::Slave << false << true << (folders + QStringList{QStringLiteral("Starting compressed audio")})
        << 0;
    QTest::newRow("folders, device and audio")
        << ZELBackend::Slave << true << true
        << (folders + QStringList{QStringLiteral("Sharing USB device "), QStringLiteral("Starting compressed audio")})
        << 0;
    QTest::newRow("another channel") << ZELBackend::CUPS << true << true << QStringList() << 0;
}

void TestZELClientVMConnection::slaveChannelStart()
{
    QFETCH(ZELBackend::NXChannel, channel);
    QFETCH(bool, usb);
    QFETCH(bool, compression);
    QFETCH(QStringList, expected);
    QFETCH(int, unavailable);

    SlavePort slavePort;
    QVERIFY(slavePort.server.isListening());
    QList<QTcpSocket *> &connections = slavePort.connections;

    ZELConnectionParameters parameters;
    parameters.setSharedFolders({QStringLiteral("/srv/one"), QStringLiteral("/srv/two words")});
    USBDevice device;
    parameters.setSharedUsbDevices({device});
    parameters.setUsb_forwarding(usb);
    parameters.setAudio(true);
    parameters.setAudioCompression(compression);

    TunnelBackend backend;
    ZELClient client;
    client.setBackend(&backend);
    // The session opens its sound port, one of its own, before the display starts.
    QVERIFY(m_server.establish(client, parameters));
    const quint16 soundPort = backend.audioPort();
    if (compression)
        QVERIFY(PeerCheck::isOwnListener(soundPort));
    emit backend.listeningOnTcpPort(channel, slavePort.server.serverPort());

    QTRY_COMPARE(connections.size(), expected.size());
    QStringList started;
    for (const QString &line : qAsConst(LogCapture::lines())) {
        if (line.startsWith(QStringLiteral("Sharing ")) || line.startsWith(QStringLiteral("Starting compressed")))
            started << line;
    }
    QCOMPARE(started.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(started.at(i).startsWith(expected.at(i)), qPrintable(started.at(i)));
    QCOMPARE(LogCapture::count(QStringLiteral(" is not available in this build")), unavailable);
    // Nothing unavailable reports done; the sound server may have come up already.
    QVERIFY(LogCapture::count(QStringLiteral("completed")) <= (compression && channel == ZELBackend::Slave ? 1 : 0));

    // The slave clients and the sound port go with the session.
    client.disconnectFromZEL();
    for (QTcpSocket *socket : qAsConst(connections))
        QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(PeerCheck::listenerOwner(soundPort), QString());
}

void TestZELClientVMConnection::slaveClientsEndWithTheSession()
{
    QTcpServer slavePort;
    QVERIFY(slavePort.listen(QHostAddress::LocalHost));
    ZELConnectionParameters parameters;
    parameters.setSharedFolders({QStringLiteral("/srv/a")});
    parameters.setAudio(true);

    TunnelBackend backend;
    QList<QTcpSocket *> connections;
    {
        ZELClient client;
        client.setBackend(&backend);
        QVERIFY(m_server.establish(client, parameters));
        // Announced twice: the set starts once.
        emit backend.listeningOnTcpPort(ZELBackend::Slave, slavePort.serverPort());
        emit backend.listeningOnTcpPort(ZELBackend::Slave, slavePort.serverPort());
        QCOMPARE(LogCapture::count(QStringLiteral("Sharing folder ")), 1);
        QTRY_VERIFY(slavePort.hasPendingConnections());
        while (connections.size() < 1) {
            while (QTcpSocket *socket = slavePort.nextPendingConnection())
                connections << socket;
            if (connections.size() < 1)
                QVERIFY(QSignalSpy(&slavePort, &QTcpServer::newConnection).wait(TestEnvironment::timeout(10000)));
        }
    }
    // A client destroyed without a session end takes its slave connections along.
    for (QTcpSocket *socket : qAsConst(connections))
        QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
    qDeleteAll(connections);
}

// A slave channel announced again (as nxproxy may) runs no sharing command a second time: a
// second sound server would fail beside the first and leave the session without sound. Real
// sound servers.
void TestZELClientVMConnection::repeatedAnnouncementStartsOneSoundServer()
{
    ZEL_REQUIRE("pulseaudio");
    QTcpServer slavePort;
    QVERIFY(slavePort.listen(QHostAddress::LocalHost));
    QTcpServer otherPort;
    QVERIFY(otherPort.listen(QHostAddress::LocalHost));
    ZELConnectionParameters parameters;
    parameters.setAudio(true);
    parameters.setAudioCompression(true);

    TunnelBackend backend;
    ZELClient client;
    client.setBackend(&backend);
    QSignalSpy noSound(&client, &ZELClient::audioNotAvailable);
    QVERIFY(m_server.establish(client, parameters));
    emit backend.listeningOnTcpPort(ZELBackend::Slave, slavePort.serverPort());
    emit backend.listeningOnTcpPort(ZELBackend::Slave, slavePort.serverPort());
    emit backend.listeningOnTcpPort(ZELBackend::Slave, otherPort.serverPort());
    QCOMPARE(LogCapture::count(QStringLiteral("Starting compressed audio")), 1);
    QCOMPARE(LogCapture::count(QStringLiteral("The slave channel was announced again")), 2);

    QTRY_COMPARE_WITH_TIMEOUT(LogCapture::count(QStringLiteral("completed")) + noSound.count(), 1,
                              TestEnvironment::timeout(30000));
    QCOMPARE(noSound.count(), 0);
    QCOMPARE(LogCapture::count(QStringLiteral("Starting pulseaudio at ")), 1);
    QVERIFY(!otherPort.hasPendingConnections());
    client.disconnectFromZEL();
}

// A slave service that does not serve a request fails its command, within the bound, and the
// session says which folder was not shared and why; the display session goes on.
void TestZELClientVMConnection::slaveServiceDoesNotServe_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("reason");
    QTest::newRow("never answers") << true << QStringLiteral("the VM did not answer within 1 seconds");
    QTest::newRow("nothing listens") << false << QStringLiteral("the connection to the VM's slave service failed");
}

void TestZELClientVMConnection::slaveServiceDoesNotServe()
{
    QFETCH(bool, listening);
    QFETCH(QString, reason);
    ZEL_REQUIRE("bwrap", "sftp-server");

    // A slave port that takes the connection and the request, and then says nothing.
    SlavePort slavePort;
    QVERIFY(slavePort.server.isListening());
    const quint16 port = slavePort.server.serverPort();
    if (!listening)
        slavePort.server.close();

    QTemporaryDir folder;
    ZELConnectionParameters parameters;
    parameters.setSharedFolders({folder.path()});
    TunnelBackend backend;
    ZELClient client;
    client.setBackend(&backend);
    client.setSlaveRequestTimeout(1000);
    SessionEvents::record(client, m_events);
    QSignalSpy notShared(&client, &ZELClient::folderNotShared);
    QVERIFY(m_server.establish(client, parameters));
    emit backend.listeningOnTcpPort(ZELBackend::Slave, port);

    QVERIFY(notShared.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(notShared.first().at(0).toString(), folder.path());
    QVERIFY2(notShared.first().at(1).toString().startsWith(reason), qPrintable(notShared.first().at(1).toString()));
    // The session goes on.
    QCOMPARE(m_events, QStringList{QStringLiteral("established")});
    client.disconnectFromZEL();
}

// Only a confirmed stop goes on as if the VM had stopped; a refusal ends the session.
void TestZELClientVMConnection::stopVM_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("200") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}")
                         << QStringList{"vmPoweredDown 3"};
    QTest::newRow("204 after 102") << Processing + "HTTP/1.1 204 No Content\r\n\r\n" << QStringList{"vmPoweredDown 3"};
    QTest::newRow("500 after 102") << Processing + "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\nfail"
                                   << QStringList{"error ProtocolError: Server failure.", "terminated"};
    QTest::newRow("503") << QByteArray("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n")
                         << QStringList{"error ServerBlocked: Server blocked", "terminated"};
    QTest::newRow("101") << switching() << QStringList{"error ProtocolError: Unexpected HTTP code 101", "terminated"};
}

void TestZELClientVMConnection::stopVM()
{
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, events);

    TunnelBackend backend;
    ZELClient client;
    client.setBackend(&backend);
    SessionEvents::record(client, m_events);
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    QCOMPARE(m_events.takeFirst(), QStringLiteral("established"));
    client.stopVM(3);
    QCOMPARE(TlsTestServer::readRequestHead(peer), QByteArray("GET /zel/stop_vm?id=3 HTTP/1.1\n"
                                                              "Authorization: Basic Og==\n"
                                                              "User-Agent: ZELClient Qt/0.01 (Linux)\n"
                                                              "Connection: Upgrade\n"
                                                              "Upgrade: ZEL/1.0\n"
                                                              "\n"));
    peer->write(answer);
    QTRY_COMPARE(m_events, events);
    QCOMPARE(LogCapture::count(QStringLiteral("Powerdown completed")), 1);
    QCOMPARE(backend.starts, 0);
    QTRY_COMPARE(client.findChildren<ZELNetworkReply *>().size(), 0);
    if (events.contains(QStringLiteral("terminated"))) {
        QVERIFY(!client.isConnected());
        return;
    }

    // The answered stop request does not take the next answer for itself.
    QSignalSpy listed(&client, &ZELClient::vmListReceived);
    QVERIFY(listed.isValid());
    client.requestVMList();
    QVERIFY(!TlsTestServer::readRequestHead(peer).isEmpty());
    peer->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n[]");
    QVERIFY(listed.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(LogCapture::count(QStringLiteral("when not expecting any")), 0);
}

void TestZELClientVMConnection::printerRequest()
{
    ZELClient client;
    QSslSocket *peer = m_server.establish(client, ZELConnectionParameters());
    QVERIFY(peer);
    client.handle_printer();
    QCOMPARE(TlsTestServer::readRequestHead(peer), QByteArray("GET /printer HTTP/1.1\n"
                                                              "Authorization: Basic Og==\n"
                                                              "User-Agent: ZELClient Qt/0.01 (Linux)\n"
                                                              "\n"));
    peer->write("HTTP/1.1 501 Not Implemented\r\nContent-Length: 3\r\n\r\nno\n");
    QTRY_COMPARE(LogCapture::count(QStringLiteral("HTTP download complete")), 1);

    QSignalSpy listed(&client, &ZELClient::vmListReceived);
    client.requestVMList();
    QVERIFY(!TlsTestServer::readRequestHead(peer).isEmpty());
    peer->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n[]");
    QVERIFY(listed.wait(TestEnvironment::timeout(10000)));
    QCOMPARE(LogCapture::count(QStringLiteral("when not expecting any")), 0);
}

QTEST_GUILESS_MAIN(TestZELClientVMConnection)
#include "tst_zelclientvmconnection.moc"
