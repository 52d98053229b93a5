#include "backends/zelnxbackend.h"
#include "helpers/portallocator.h"
#include "logcapture.h"
#include "nxagentprocess.h"
#include "otherusersocket.h"
#include "programrun.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QtTest>

#include <memory>

namespace {

// The name of an enumeration value; QTest::toString() hands over an array to be freed.
template <typename Enum>
QString enumName(Enum value)
{
    const std::unique_ptr<char[]> name(QTest::toString(value));
    return QString::fromLatin1(name.get());
}

// Every signal of a backend, in the order it came, as readable text.
class SignalLog
{
public:
    explicit SignalLog(ZELBackend *backend)
    {
        auto channel = [](ZELBackend::NXChannel value) { return enumName(value); };
        QObject::connect(backend, &ZELBackend::started, [this] { m_events << "started"; });
        QObject::connect(backend, &ZELBackend::forwardingRemoteConnectionsToTcpPort,
                         [this, channel](ZELBackend::NXChannel c, const QString &host, unsigned int port) {
                             m_events << QStringLiteral("forwardTcp %1 %2 %3").arg(channel(c), host).arg(port);
                         });
        QObject::connect(backend, &ZELBackend::forwardingRemoteConnectionsToUnixSocket,
                         [this, channel](ZELBackend::NXChannel c, const QString &path) {
                             m_events << QStringLiteral("forwardUnix %1 %2").arg(channel(c), path);
                         });
        QObject::connect(backend, &ZELBackend::forwardingRemoteConnectionsToDisplay,
                         [this, channel](ZELBackend::NXChannel c, const QString &host, unsigned int display) {
                             m_events << QStringLiteral("forwardDisplay %1 [%2] %3").arg(channel(c), host).arg(display);
                         });
        QObject::connect(backend, &ZELBackend::listeningOnTcpPort,
                         [this, channel](ZELBackend::NXChannel c, unsigned int port) {
                             m_events << QStringLiteral("listenTcp %1 %2").arg(channel(c)).arg(port);
                             m_listeningPorts.insert(c, port);
                         });
        QObject::connect(backend, &ZELBackend::listeningOnUnixSocket,
                         [this, channel](ZELBackend::NXChannel c, const QString &path) {
                             m_events << QStringLiteral("listenUnix %1 %2").arg(channel(c), path);
                         });
        QObject::connect(backend, &ZELBackend::connectionEstablished, [this] { m_events << "established"; });
        QObject::connect(backend, &ZELBackend::connectionTerminated, [this] { m_events << "terminated"; });
        QObject::connect(backend, &ZELBackend::failed,
                         [this](ZELBackend::BackendError error, const QString &description) {
                             m_events << QStringLiteral("failed %1 %2").arg(enumName(error), description);
                         });
        QObject::connect(backend, &ZELBackend::finished, [this] { m_events << "finished"; });
        QObject::connect(backend, &ZELBackend::standardError, [this](const QByteArray &) { ++m_stderrChunks; });
        QObject::connect(backend, &ZELBackend::standardOutput,
                         [this](const QByteArray &data) { m_stdout += data; });
        QObject::connect(backend, &ZELBackend::totalTrafficIncrement, [this](int64_t in, int64_t out) {
            m_in += in;
            m_out += out;
        });
    }

    QStringList events() const { return m_events; }
    // The events other than those that only say data went by.
    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &event : m_events)
            n += event.startsWith(prefix) ? 1 : 0;
        return n;
    }
    QString text() const { return m_events.join(QStringLiteral(" | ")); }

    QStringList m_events;
    QHash<ZELBackend::NXChannel, unsigned int> m_listeningPorts;
    int m_stderrChunks = 0;
    QByteArray m_stdout;
    int64_t m_in = 0;
    int64_t m_out = 0;
};

// The broker tunnel on loopback: the client's end, given to the backend, and the VM's end.
struct Tunnel {
    QTcpServer broker;
    QTcpSocket tunnel;
    QTcpSocket *vm = nullptr;

    bool open()
    {
        if (!broker.listen(QHostAddress::LocalHost, 0))
            return false;
        tunnel.connectToHost(QHostAddress::LocalHost, broker.serverPort());
        if (!tunnel.waitForConnected(TestEnvironment::timeout(5000)) || !broker.waitForNewConnection(5000))
            return false;
        vm = broker.nextPendingConnection();
        return vm != nullptr;
    }
};

// The arguments the fake proxy recorded, one a line; empty while it has recorded nothing.
QStringList recordedArguments(const QString &record)
{
    QFile file(record);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

// The port of the listener the backend told the proxy to connect to ("localhost:N" is 4000 + N).
quint16 listenerPort(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument.startsWith(QStringLiteral("localhost:")))
            return static_cast<quint16>(ZELNXBackend::portOffset + argument.mid(10).toInt());
    }
    return 0;
}

void setFakeEnvironment(const QMap<QByteArray, QByteArray> &values)
{
    for (const char *name : {"FAKE_PROXY_RECORD", "FAKE_PROXY_STDOUT", "FAKE_PROXY_STDERR", "FAKE_PROXY_CONNECT",
                             "FAKE_PROXY_WAIT", "FAKE_PROXY_SIGNAL", "FAKE_PROXY_EXIT"})
        qunsetenv(name);
    for (auto it = values.begin(); it != values.end(); ++it)
        qputenv(it.key().constData(), it.value());
}

} // namespace

class TestZELNXBackend : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;
    QString m_xvfb;

    // Runs the proxy step directly, as the X server's readiness would.
    static void startProxy(ZELNXBackend &backend)
    {
        QVERIFY(QMetaObject::invokeMethod(&backend, "XServerReady"));
    }

private slots:
    void initTestCase()
    {
        ZEL_REQUIRE("Xvfb", "nxagent", "nxproxy", "xlogo", "xwininfo");
        m_xvfb = TestEnvironment::program(QStringLiteral("Xvfb"));
        qunsetenv("DISPLAY");
        LogCapture::install();
    }

    void init()
    {
        LogCapture::clear();
    }

    void cleanup()
    {
        setFakeEnvironment({});
    }

    void proxyArguments_data()
    {
        QTest::addColumn<bool>("printing");
        QTest::addColumn<bool>("audio");
        QTest::addColumn<QString>("extra");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("plain") << false << false << QString() << QStringList{"-S", "slave=5000", "localhost:17"};
        QTest::newRow("printing") << true << false << QString()
                                  << QStringList{"-S", "slave=5000", "smb=445", "localhost:17"};
        QTest::newRow("sound") << false << true << QString()
                               << QStringList{"-S", "slave=5000", "media=4713", "localhost:17"};
        QTest::newRow("printing and sound") << true << true << QString()
                                            << QStringList{"-S", "slave=5000", "smb=445", "media=4713", "localhost:17"};
        QTest::newRow("extra") << false << false << "a=1,b=2"
                               << QStringList{"-S", "slave=5000", "a=1", "b=2", "localhost:17"};
        QTest::newRow("everything") << true << true << "a=1,b=2"
                                    << QStringList{"-S", "slave=5000", "smb=445", "media=4713", "a=1", "b=2",
                                                   "localhost:17"};
        QTest::newRow("empty part kept") << false << true << "a=1,,b=2"
                                         << QStringList{"-S", "slave=5000", "media=4713", "a=1", "", "b=2",
                                                        "localhost:17"};
        QTest::newRow("single extra") << true << false << "link=lan"
                                      << QStringList{"-S", "slave=5000", "smb=445", "link=lan", "localhost:17"};
    }

    void proxyArguments()
    {
        QFETCH(bool, printing);
        QFETCH(bool, audio);
        QFETCH(QString, extra);
        QFETCH(QStringList, expected);
        QCOMPARE(ZELNXBackend::proxyArguments(5000, printing, 445, audio, 4713, extra, 17), expected);
    }

    void portWorkaround()
    {
        QTcpServer low;
        const unsigned short lowPort = PortAllocator::listenInRange(low, 1024, 4000);
        QVERIFY2(lowPort != 0, "no free port between 1024 and 4000");
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("Tried listening on random port, got port %1, below for "
                                                       "nxproxy offset 4000, applying workaround")
                                            .arg(lowPort)));
        QVERIFY(ZELNXBackend::moveAboveOffset(low, 4000));
        QVERIFY(low.isListening());
        QVERIFY(low.serverPort() >= 4001);

        QTcpServer high;
        QVERIFY(high.listen(QHostAddress::LocalHost, 0));
        const quint16 highPort = high.serverPort();
        QVERIFY(highPort > 4000);
        QVERIFY(ZELNXBackend::moveAboveOffset(high, 4000));
        QCOMPARE(high.serverPort(), highPort);
    }

    void channelNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<ZELBackend::NXChannel>("channel");
        QTest::newRow("x11") << "X11" << ZELBackend::X11;
        QTest::newRow("auxiliary") << "auxiliary X11" << ZELBackend::X11Aux;
        QTest::newRow("cups") << "CUPS" << ZELBackend::CUPS;
        QTest::newRow("smb") << "smb" << ZELBackend::SMB;
        QTest::newRow("http") << "HTTP" << ZELBackend::HTTP;
        QTest::newRow("font") << "font" << ZELBackend::Font;
        QTest::newRow("file") << "File" << ZELBackend::File;
        QTest::newRow("slave with blanks") << "  SlAvE " << ZELBackend::Slave;
        QTest::newRow("multimedia") << "multimedia" << ZELBackend::Unknown;
        QTest::newRow("empty") << "" << ZELBackend::Unknown;
    }

    void channelNames()
    {
        QFETCH(QString, name);
        QFETCH(ZELBackend::NXChannel, channel);
        QCOMPARE(ZELNXBackend::channelFromName(name), channel);
    }

    void statusLines_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QStringList>("events");

        QTest::newRow("slave listening")
            << QList<QByteArray>{"Info: Listening to slave connections on port 'tcp:localhost:4555'.\n"}
            << QStringList{"listenTcp Slave 4555"};
        QTest::newRow("split over chunks")
            << QList<QByteArray>{"Info: Listening to sla", "ve connections on port 'tcp:local", "host:4555'.\n"}
            << QStringList{"listenTcp Slave 4555"};
        QTest::newRow("two actions in one line")
            << QList<QByteArray>{"Established X server connection; Session: Session terminated\n"}
            << QStringList{"established", "terminated"};
        QTest::newRow("several lines in one chunk")
            << QList<QByteArray>{"Info: Forwarding X11 connections to display '127.0.0.1:61'.\n"
                                 "Info: Forwarding auxiliary X11 connections to display ':0'.\n"
                                 "Info: Established X server connection.\n"}
            << QStringList{"forwardDisplay X11 [127.0.0.1] 61", "forwardDisplay X11Aux [] 0", "established"};
        QTest::newRow("cups over tcp")
            << QList<QByteArray>{"Info: Forwarding cups connections to port 'tcp:127.0.0.1:631'.\n"}
            << QStringList{"forwardTcp CUPS 127.0.0.1 631"};
        QTest::newRow("multimedia is unknown")
            << QList<QByteArray>{"Info: Forwarding multimedia connections to port 'tcp:localhost:4713'.\n"}
            << QStringList{"forwardTcp Unknown localhost 4713"};
        QTest::newRow("unix socket forwarding")
            << QList<QByteArray>{"Forwarding file connections to port 'unix:/tmp/f.sock'\n"}
            << QStringList{"forwardUnix File /tmp/f.sock"};
        QTest::newRow("unix socket listening")
            << QList<QByteArray>{"Listening to font connections on port 'unix:/tmp/font'\r\n"}
            << QStringList{"listenUnix Font /tmp/font"};
        QTest::newRow("unknown port type")
            << QList<QByteArray>{"Forwarding smb connections to port 'udp:localhost:445'\n"
                                 "Listening to slave connections on port 'udp:localhost:1'\n"}
            << QStringList{};
        QTest::newRow("tcp target without port")
            << QList<QByteArray>{"Listening to slave connections on port 'tcp:localhost'\n"
                                 "Forwarding cups connections to port 'tcp:localhost'\n"}
            << QStringList{};
        QTest::newRow("targets without parts")
            << QList<QByteArray>{"Forwarding cups connections to port 'tcp'\n"
                                 "Forwarding X11 connections to display 'nowhere'\n"
                                 "Listening to slave connections on port ''\n"
                                 "Forwarding file connections to port 'unix'\n"}
            << QStringList{};
        QTest::newRow("port that is no number")
            << QList<QByteArray>{"Listening to slave connections on port 'tcp:localhost:http'\n"
                                 "Listening to slave connections on port 'tcp:localhost:70000'\n"}
            << QStringList{"listenTcp Slave 0", "listenTcp Slave 0"};
        QTest::newRow("mixed case channel")
            << QList<QByteArray>{"Listening to  SLAVE  connections on port 'tcp:localhost:9'\n"}
            << QStringList{"listenTcp Slave 9"};
        QTest::newRow("unterminated line waits")
            << QList<QByteArray>{"Info: Established X server connection."} << QStringList{};
        QTest::newRow("unrelated lines")
            << QList<QByteArray>{"NXPROXY - Version 3.5.99.26\n\nInfo: Proxy running in server mode.\n"}
            << QStringList{};
    }

    void statusLines()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, events);

        ZELNXBackend backend;
        SignalLog log(&backend);
        for (const QByteArray &chunk : chunks)
            backend.parseStandardError(chunk);
        QCOMPARE(log.events(), events);
        QCOMPARE(log.m_stderrChunks, chunks.size());
    }

    void linkingErrorMarksRun()
    {
        ZELNXBackend backend;
        QTest::ignoreMessage(QtCriticalMsg, "Linking error detected in nxproxy");
        backend.parseStandardError("dyld: Library not loaded: libXcomp.dylib\n");
    }

    // How the proxy's end is reported: at most one failure, then exactly one finished().
    void proxyEnd_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("stderrText");
        QTest::addColumn<QByteArray>("exitCode");
        QTest::addColumn<QByteArray>("signal");
        QTest::addColumn<QStringList>("events");

        const QString fake = QStringLiteral(FAKE_NXPROXY);
        QTest::newRow("clean exit") << fake << QByteArray() << QByteArray("0") << QByteArray()
                                    << QStringList{"finished"};
        QTest::newRow("exit code") << fake << QByteArray("Error: something\n") << QByteArray("3") << QByteArray()
                                   << QStringList{"failed UnknownError Process exited with code 3", "finished"};
        QTest::newRow("linking error") << fake << QByteArray("dyld: Library not loaded: x\n") << QByteArray("1")
                                       << QByteArray()
                                       << QStringList{"failed LinkingError Linking error detected", "finished"};
        QTest::newRow("linking error, clean exit") << fake << QByteArray("dyld: Library not loaded: x\n")
                                                   << QByteArray("0") << QByteArray() << QStringList{"finished"};
        QTest::newRow("crash") << fake << QByteArray("Info: Established X server connection.\n") << QByteArray()
                               << QByteArray("9")
                               << QStringList{"established", "failed Crash Proxy process crashed", "finished"};
        QTest::newRow("crash after lines without end")
            << fake << QByteArray("Info: Listening to slave connections on port 'tcp:localhost:4555'.\npartial")
            << QByteArray() << QByteArray("6")
            << QStringList{"listenTcp Slave 4555", "failed Crash Proxy process crashed", "finished"};
        QTest::newRow("missing program") << "/nonexistent/nxproxy" << QByteArray() << QByteArray() << QByteArray()
                                         << QStringList{"failed StartFailure Proxy process failed to start", "finished"};
        QTest::newRow("no program found") << QString() << QByteArray() << QByteArray() << QByteArray()
                                          << QStringList{"failed StartFailure Proxy process failed to start", "finished"};
    }

    void proxyEnd()
    {
        QFETCH(QString, program);
        QFETCH(QByteArray, stderrText);
        QFETCH(QByteArray, exitCode);
        QFETCH(QByteArray, signal);
        QFETCH(QStringList, events);

        QMap<QByteArray, QByteArray> environment;
        if (!stderrText.isEmpty())
            environment.insert("FAKE_PROXY_STDERR", stderrText);
        if (!exitCode.isEmpty())
            environment.insert("FAKE_PROXY_EXIT", exitCode);
        if (!signal.isEmpty())
            environment.insert("FAKE_PROXY_SIGNAL", signal);
        setFakeEnvironment(environment);

        ZELNXBackend backend;
        backend.setNxproxyBinary(program);
        SignalLog log(&backend);
        QSignalSpy finished(&backend, &ZELBackend::finished);
        QVERIFY(finished.isValid());
        startProxy(backend);
        if (finished.isEmpty())
            QVERIFY2(finished.wait(TestEnvironment::timeout(10000)), qPrintable(log.text()));
        QCOMPARE(log.events(), events);

        // Nothing more arrives afterwards, and the listener is closed.
        QCoreApplication::processEvents();
        QCOMPARE(log.events(), events);
    }

    void argumentsAndEnvironment()
    {
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("record"));
        setFakeEnvironment({{"FAKE_PROXY_RECORD", QFile::encodeName(record)}, {"FAKE_PROXY_STDOUT", "hello"}});

        ZELNXBackend backend;
        backend.setNxproxyBinary(QStringLiteral(FAKE_NXPROXY));
        backend.xServerLauncher().setDisplay(42);
        ZELConnectionParameters base;
        base.setPrinting(true);
        base.setAudio(true);
        backend.ZELBackend::setParameters(base);
        ZELConnectionParameters own;
        own.setNxproxy_extra_args(QStringLiteral("link=lan,,x=1"));
        backend.setParameters(own);
        // The user's own sound server.
        QTcpServer sound;
        QVERIFY(sound.listen(QHostAddress::LocalHost));
        backend.setAudioPort(sound.serverPort());

        SignalLog log(&backend);
        QSignalSpy finished(&backend, &ZELBackend::finished);
        startProxy(backend);
        QVERIFY(finished.wait(TestEnvironment::timeout(10000)));
        QCOMPARE(log.events(), QStringList{"finished"});
        QCOMPARE(log.m_stdout, QByteArray("hello"));

        QFile file(record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(lines.takeLast(), QString());
        QCOMPARE(lines.size(), 12);
        // The link bound comes before the extra arguments, which may set another.
        QCOMPARE(lines.mid(0, 8), (QStringList{"-S", QStringLiteral("slave=%1").arg(backend.slavePort()), "smb=445",
                                               QStringLiteral("media=%1").arg(sound.serverPort()), "timeout=20",
                                               "link=lan", "", "x=1"}));
        QVERIFY(lines.at(8).startsWith(QStringLiteral("localhost:")));
        QVERIFY(lines.at(8).mid(10).toInt() >= 1);
        QCOMPARE(lines.at(9), QStringLiteral("NX_CLIENT=") + QCoreApplication::applicationFilePath());
        // The local socket: there the X server knows the session's user.
        QCOMPARE(lines.at(10), QStringLiteral("DISPLAY=:42"));
        const QString nxRoot = m_env.dataHome() + QStringLiteral("/ZEL Client Qt/nx");
        QCOMPARE(lines.at(11), QStringLiteral("NX_ROOT=") + nxRoot);
        QVERIFY(QFileInfo(nxRoot).isDir());
    }

    // nxproxy hands the VM's sound to the audio port: only to a sound server of the user's own.
    void soundPort_data()
    {
        QTest::addColumn<QString>("holder");
        QTest::addColumn<QString>("logged");
        QTest::newRow("the user's sound server") << "user" << QString();
        QTest::newRow("nothing listens") << "none" << "no sound server listens on port";
        QTest::newRow("another user's program") << "other" << "belongs to user";
    }

    void soundPort()
    {
        QFETCH(QString, holder);
        QFETCH(QString, logged);
        QTcpServer own;
        OtherUserSocket other;
        quint16 port = 0;
        if (holder == QLatin1String("other")) {
            if (!TestEnvironment::canRunAsOtherUser())
                ZEL_SKIP("needs root and setpriv to play a second local user");
            QVERIFY2(other.listen(QStringLiteral("127.0.0.1")), qPrintable(other.errorText()));
            port = other.port();
        } else {
            QVERIFY(own.listen(QHostAddress::LocalHost));
            port = own.serverPort();
            if (holder == QLatin1String("none"))
                own.close();
        }

        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("record"));
        setFakeEnvironment({{"FAKE_PROXY_RECORD", QFile::encodeName(record)}});
        ZELNXBackend backend;
        backend.setNxproxyBinary(QStringLiteral(FAKE_NXPROXY));
        ZELConnectionParameters base;
        base.setAudio(true);
        backend.ZELBackend::setParameters(base);
        backend.setAudioPort(port);
        QSignalSpy finished(&backend, &ZELBackend::finished);
        startProxy(backend);
        QVERIFY(finished.wait(TestEnvironment::timeout(10000)));

        const bool passed = recordedArguments(record).contains(QStringLiteral("media=%1").arg(port));
        QCOMPARE(passed, logged.isEmpty());
        QCOMPARE(LogCapture::count(QStringLiteral("The VM's sound is not passed on: ")), logged.isEmpty() ? 0 : 1);
        if (!logged.isEmpty())
            QVERIFY2(LogCapture::lines().join(QLatin1Char('\n')).contains(logged), qPrintable(LogCapture::lines().join('\n')));
    }

    void slavePortIsFree()
    {
        ZELNXBackend backend;
        QVERIFY(backend.slavePort() != 63640);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, backend.slavePort()));
    }

    void stopEndsProxyWithoutFailure()
    {
        setFakeEnvironment({{"FAKE_PROXY_WAIT", "1"}, {"FAKE_PROXY_STDERR", "Info: Established X server connection.\n"}});
        ZELNXBackend backend;
        backend.setNxproxyBinary(QStringLiteral(FAKE_NXPROXY));
        SignalLog log(&backend);
        QSignalSpy established(&backend, &ZELBackend::connectionEstablished);
        startProxy(backend);
        QVERIFY(established.wait(TestEnvironment::timeout(10000)));
        backend.stop();
        QCOMPARE(log.events(), (QStringList{"established", "finished"}));
        backend.stop();
        QCOMPARE(log.count(QStringLiteral("finished")), 1);
    }

    // nxproxy runs but never says that the session is established: after the bound the attempt
    // is given up with a message, once, and nxproxy is ended.
    void proxyNeverEstablishes()
    {
        setFakeEnvironment({{"FAKE_PROXY_WAIT", "1"},
                            {"FAKE_PROXY_STDERR", "Info: Listening to slave connections on port 'tcp:localhost:4711'.\n"}});
        ZELNXBackend backend;
        backend.setNxproxyBinary(QStringLiteral(FAKE_NXPROXY));
        backend.setEstablishTimeout(TestEnvironment::timeout(500));
        SignalLog log(&backend);
        QSignalSpy finished(&backend, &ZELBackend::finished);
        startProxy(backend);
        QVERIFY2(finished.wait(TestEnvironment::timeout(10000)), qPrintable(log.text()));
        const QString message = QStringLiteral("The remote desktop did not start within %1 seconds")
                                    .arg((backend.establishTimeout() + 999) / 1000);
        QCOMPARE(log.events(), (QStringList{"listenTcp Slave 4711", "failed CommunicationFailure " + message, "finished"}));
        QTRY_COMPARE_WITH_TIMEOUT(TestEnvironment::childProcess(QFileInfo(QStringLiteral(FAKE_NXPROXY)).fileName()),
                                  qint64(0), TestEnvironment::timeout(10000));
        QCOMPARE(log.count(QStringLiteral("finished")), 1);
    }

    void destroyingRunningBackendReportsNothing()
    {
        setFakeEnvironment({{"FAKE_PROXY_WAIT", "1"}, {"FAKE_PROXY_STDOUT", "up"}});
        auto backend = std::make_unique<ZELNXBackend>();
        backend->setNxproxyBinary(QStringLiteral(FAKE_NXPROXY));
        SignalLog log(backend.get());
        QSignalSpy output(backend.get(), &ZELBackend::standardOutput);
        startProxy(*backend);
        QVERIFY(output.wait(TestEnvironment::timeout(10000)));
        backend.reset();
        QCOMPARE(log.events(), QStringList{});
        // Nobody waited for it, and it ended all the same.
        QTRY_COMPARE_WITH_TIMEOUT(TestEnvironment::childProcess(QFileInfo(QStringLiteral(FAKE_NXPROXY)).fileName()),
                                  qint64(0), TestEnvironment::timeout(10000));
    }

    // With a real X server: the proxy's connection is pumped to the tunnel and counted.
    void forwardingAndTraffic()
    {
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("record"));
        setFakeEnvironment({{"FAKE_PROXY_CONNECT", "hello"}, {"FAKE_PROXY_RECORD", QFile::encodeName(record)}});

        Tunnel pair;
        QVERIFY(pair.open());
        QTcpSocket &tunnel = pair.tunnel;
        QTcpSocket *vm = pair.vm;

        ZELNXBackend backend;
        backend.setNxproxyBinary(QStringLiteral(FAKE_NXPROXY));
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        backend.xServerLauncher().setDisplay(static_cast<unsigned short>(display));
        SignalLog log(&backend);
        QSignalSpy started(&backend, &ZELBackend::started);
        QSignalSpy finished(&backend, &ZELBackend::finished);
        backend.start(&tunnel);
        QVERIFY2(started.wait(TestEnvironment::timeout(15000)), qPrintable(log.text()));

        QByteArray received;
        QTRY_COMPARE_WITH_TIMEOUT((received += vm->readAll()), QByteArray("hello"), TestEnvironment::timeout(10000));
        // The tunnel is nxproxy's alone: the listener closed behind its connection.
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, listenerPort(recordedArguments(record)));
        QVERIFY(!late.waitForConnected(TestEnvironment::timeout(5000)));
        QCOMPARE(late.error(), QAbstractSocket::ConnectionRefusedError);
        vm->write("world");
        QTRY_COMPARE_WITH_TIMEOUT((received += vm->readAll()), QByteArray("helloworld"),
                                  TestEnvironment::timeout(10000));

        QCOMPARE(log.m_out, int64_t(10));
        QCOMPARE(log.m_in, int64_t(5));
        QCOMPARE(backend.getStatistics().totalOut, int64_t(10));
        QCOMPARE(backend.getStatistics().totalIn, int64_t(5));
        QCOMPARE(backend.bytesRead(), int64_t(10));
        QCOMPARE(backend.bytesWritten(), int64_t(5));

        // The VM side goes away: the proxy's connection closes and the proxy ends.
        vm->close();
        QVERIFY2(finished.wait(TestEnvironment::timeout(10000)), qPrintable(log.text()));
        QCOMPARE(log.events(), (QStringList{"started", "finished"}));
    }

    // The broker gives up on the tunnel before nxproxy has connected: the attempt ends with a
    // clear failure instead of waiting, and the X server coming up later starts no proxy.
    void tunnelClosedBeforeProxyConnects()
    {
        Tunnel pair;
        QVERIFY(pair.open());
        QTcpSocket &tunnel = pair.tunnel;
        QTcpSocket *vm = pair.vm;

        ZELNXBackend backend;
        backend.setNxproxyBinary(QStringLiteral(FAKE_NXPROXY));
        backend.xServerLauncher().setPath(m_xvfb);
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        backend.xServerLauncher().setDisplay(static_cast<unsigned short>(display));
        SignalLog log(&backend);
        QSignalSpy finished(&backend, &ZELBackend::finished);
        QSignalSpy serverUp(&backend.xServerLauncher(), &XServerLauncher::running);
        backend.start(&tunnel);
        vm->close();
        QVERIFY2(finished.wait(TestEnvironment::timeout(15000)), qPrintable(log.text()));
        QCOMPARE(log.events(), (QStringList{"failed CommunicationFailure The broker closed the connection before the "
                                            "remote desktop started",
                                            "finished"}));
        QVERIFY(serverUp.count() == 1 || serverUp.wait(TestEnvironment::timeout(15000)));
        QCOMPARE(TestEnvironment::childProcess(QFileInfo(QStringLiteral(FAKE_NXPROXY)).fileName()), qint64(0));
        QCOMPARE(log.events().size(), 2);
    }

    void xServerFailure()
    {
        ZELNXBackend backend;
        backend.xServerLauncher().setPath(QString());
        SignalLog log(&backend);
        QTcpSocket tunnel;
        backend.start(&tunnel);
        QCOMPARE(log.events(), QStringList{"failed XServerFailed Failed to start X server, binary wasn't found"});
    }

    void missingProxyWithRealXServer()
    {
        // Nothing named nxproxy anywhere on the search path.
        QTemporaryDir emptyPath;
        const QByteArray previousPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(emptyPath.path()));
        ZELNXBackend backend;
        qputenv("PATH", previousPath);
        QVERIFY2(!QFileInfo::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/nxproxy")),
                 "an nxproxy sits next to the test, where the backend looks first");
        QCOMPARE(backend.nxproxyBinary(), QString());

        backend.xServerLauncher().setPath(m_xvfb);
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display >= 0);
        backend.xServerLauncher().setDisplay(static_cast<unsigned short>(display));
        SignalLog log(&backend);
        QSignalSpy finished(&backend, &ZELBackend::finished);
        QTcpSocket tunnel;
        backend.start(&tunnel);
        QVERIFY2(finished.wait(TestEnvironment::timeout(15000)), qPrintable(log.text()));
        QCOMPARE(log.events(), (QStringList{"failed StartFailure Proxy process failed to start", "finished"}));
    }

    // The whole local display path against a real nxagent on the VM side.
    void realSession()
    {
        const QString nxproxy = TestEnvironment::program(QStringLiteral("nxproxy"));
        const QString xlogo = TestEnvironment::program(QStringLiteral("xlogo"));
        const QString xwininfo = TestEnvironment::program(QStringLiteral("xwininfo"));

        const int localDisplay = TestEnvironment::freeDisplay();
        QVERIFY(localDisplay >= 0);
        NxAgentProcess agent;
        QVERIFY2(agent.start(QProcessEnvironment::systemEnvironment(), {QStringLiteral("-R")}, localDisplay + 1),
                 qPrintable(agent.errorText()));
        const int agentDisplay = agent.display();
        const quint16 agentPort = agent.port();

        QTcpSocket tunnel;
        tunnel.connectToHost(QHostAddress::LocalHost, agentPort);
        QVERIFY(tunnel.waitForConnected(TestEnvironment::timeout(5000)));

        ZELNXBackend backend;
        QCOMPARE(backend.nxproxyBinary(), nxproxy);
        backend.xServerLauncher().setDisplay(static_cast<unsigned short>(localDisplay));
        SignalLog log(&backend);
        QSignalSpy established(&backend, &ZELBackend::connectionEstablished);
        QSignalSpy finished(&backend, &ZELBackend::finished);
        backend.start(&tunnel);
        QVERIFY2(established.wait(TestEnvironment::timeout(30000)), qPrintable(log.text()));
        QCOMPARE(log.count(QStringLiteral("started")), 1);
        QCOMPARE(log.count(QStringLiteral("established")), 1);

        // The slave channel is announced with the port the backend chose, and it is open.
        QTRY_VERIFY_WITH_TIMEOUT(log.m_listeningPorts.contains(ZELBackend::Slave), TestEnvironment::timeout(10000));
        QCOMPARE(log.m_listeningPorts.value(ZELBackend::Slave), static_cast<unsigned int>(backend.slavePort()));
        {
            QTcpSocket slave;
            slave.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(backend.slavePort()));
            QVERIFY(slave.waitForConnected(TestEnvironment::timeout(5000)));
        }
        QVERIFY2(log.events().contains(QStringLiteral("forwardDisplay X11 [] %1").arg(localDisplay)),
                 qPrintable(log.text()));

        // An X program on the VM side shows its window on the local X server.
        QProcess program;
        QProcessEnvironment programEnvironment = QProcessEnvironment::systemEnvironment();
        programEnvironment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(agentDisplay));
        program.setProcessEnvironment(programEnvironment);
        program.start(xlogo, QStringList());
        QVERIFY(program.waitForStarted());
        QByteArray windows;
        auto localWindows = [&] {
            QProcess tree;
            tree.start(xwininfo, {QStringLiteral("-display"), QStringLiteral(":%1").arg(localDisplay),
                                  QStringLiteral("-root"), QStringLiteral("-tree")});
            tree.waitForFinished(TestEnvironment::timeout(10000));
            windows = tree.readAllStandardOutput();
            return windows;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(localWindows().contains("\"xlogo\""), windows.constData(),
                                  TestEnvironment::timeout(20000));

        QVERIFY(log.m_in > 0);
        QVERIFY(log.m_out > 0);
        QCOMPARE(backend.getStatistics().totalIn, log.m_in);
        QCOMPARE(backend.getStatistics().totalOut, log.m_out);

        // The VM side ends: the session ends.
        ProcessGuard::end(program);
        agent.stop();
        QVERIFY2(finished.wait(TestEnvironment::timeout(30000)), qPrintable(log.text()));
        QCOMPARE(log.count(QStringLiteral("finished")), 1);
        QVERIFY(log.count(QStringLiteral("failed")) <= 1);
        QCOMPARE(log.events().last(), QStringLiteral("finished"));
    }
};

ZEL_TEST_GUILESS_MAIN(TestZELNXBackend)
#include "tst_zelnxbackend.moc"
