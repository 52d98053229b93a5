#include "acceptedcertificatestore.h"
#include "demobrokerprocess.h"
#include "passwordstore.h"
#include "programrun.h"
#include "refusingport.h"
#include "secretservice.h"
#include "testenvironment.h"
#include "vmlister.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>

// The headless listing as a user runs it: ZEL_Client --list-vms against the demo broker.
class TestVMLister : public QObject
{
    Q_OBJECT

private:
    using Run = ProgramRun;

    Run list(const QStringList &arguments, const QString &user = QStringLiteral("demo"),
             const QString &password = QStringLiteral("demo"))
    {
        return ProgramRun::client(QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                                              QStringLiteral("--port"), QString::number(m_broker.port()),
                                              QStringLiteral("--user"), user, QStringLiteral("--password"), password,
                                              QStringLiteral("--list-vms"), QStringLiteral("1")}
                                  + arguments);
    }

    static QString lastErrorLine(const Run &run)
    {
        // The log lines carry a timestamp; the message for the user does not.
        const QStringList lines = run.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (int i = lines.size() - 1; i >= 0; --i) {
            if (!lines.at(i).startsWith(QStringLiteral("20")))
                return lines.at(i);
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        QJsonObject config = DemoBrokerProcess::simpleConfig();
        config[QStringLiteral("users")] = QJsonArray{
            QJsonObject{{QStringLiteral("name"), QStringLiteral("demo")}, {QStringLiteral("password"), QStringLiteral("demo")}},
            QJsonObject{{QStringLiteral("name"), QStringLiteral("blocked")},
                        {QStringLiteral("password"), QStringLiteral("demo")},
                        {QStringLiteral("statusOverrides"), QJsonObject{{QStringLiteral("/zel/list_of_vm"), 503}}}}};
        config[QStringLiteral("vms")] = QJsonArray{
            QJsonObject{{QStringLiteral("id"), 7}, {QStringLiteral("name"), QStringLiteral("Office")},
                        {QStringLiteral("state"), QStringLiteral("running")}, {QStringLiteral("endpoint"), QStringLiteral("127.0.0.1:1")}},
            QJsonObject{{QStringLiteral("id"), 12}, {QStringLiteral("name"), QStringLiteral("Old")},
                        {QStringLiteral("state"), QStringLiteral("stopped")}, {QStringLiteral("blocked"), true},
                        {QStringLiteral("endpoint"), QStringLiteral("127.0.0.1:1")}}};
        QVERIFY2(m_broker.start(config), qPrintable(m_broker.errorText()));
        QVERIFY2(m_secretService.start(), qPrintable(m_secretService.errorText()));
    }

    void table()
    {
        const Run run = list({QStringLiteral("--ssl-errors"), QStringLiteral("continue")});
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.at(0).simplified(), QStringLiteral("ID NAME STATE BLOCKED"));
        QCOMPARE(lines.at(1).simplified(), QStringLiteral("7 Office running no"));
        QCOMPARE(lines.at(2).simplified(), QStringLiteral("12 Old stopped yes"));
    }

    void tableWithoutHeader()
    {
        const Run run = list({QStringLiteral("--ssl-errors"), QStringLiteral("continue"), QStringLiteral("--no-header"),
                              QStringLiteral("1")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).first().simplified(),
                 QStringLiteral("7 Office running no"));
    }

    void json()
    {
        const Run run = list({QStringLiteral("--ssl-errors"), QStringLiteral("continue"), QStringLiteral("--json"),
                              QStringLiteral("yes")});
        QCOMPARE(run.exitCode, 0);
        QJsonParseError error;
        const QJsonArray vms = QJsonDocument::fromJson(run.out.toUtf8(), &error).array();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(vms.size(), 2);
        QCOMPARE(vms.at(0).toObject(), (QJsonObject{{QStringLiteral("id"), 7},
                                                    {QStringLiteral("name"), QStringLiteral("Office")},
                                                    {QStringLiteral("state"), QStringLiteral("running")},
                                                    {QStringLiteral("blocked"), false}}));
        QCOMPARE(vms.at(1).toObject().value(QStringLiteral("blocked")).toBool(), true);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QStringList trusting{QStringLiteral("--ssl-errors"), QStringLiteral("continue")};
        QTest::newRow("wrong password") << "demo" << "nope" << trusting << int(VMLister::Refused) << "Authentication error: ";
        QTest::newRow("blocked server") << "blocked" << "demo" << trusting << int(VMLister::Refused) << "Server blocked: ";
        QTest::newRow("certificate, ask") << "demo" << "demo" << QStringList() << int(VMLister::CertificateRefused)
                                          << "The server's certificate was not accepted: ";
        QTest::newRow("certificate, abort") << "demo" << "demo" << QStringList{QStringLiteral("--ssl-errors"), QStringLiteral("abort")}
                                            << int(VMLister::CertificateRefused) << "The server's certificate was not accepted: ";
    }

    void failures()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const Run run = list(arguments, user, password);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(lastErrorLine(run).startsWith(message), qPrintable(run.err));
    }

    // Nothing to talk to, or a server that takes the connection and never answers TLS: the
    // listing ends with a message and status 2 instead of waiting for ever.
    void unreachableServer_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("message");
        QTest::newRow("refused") << false << "Failed to connect to 127.0.0.1:%1: Connection refused";
        QTest::newRow("never answers TLS") << true << "Timeout: No connection to 127.0.0.1:%1 within 20 seconds";
    }

    void unreachableServer()
    {
        QFETCH(bool, silent);
        QFETCH(QString, message);
        QTcpServer silentServer;
        QVERIFY(silentServer.listen(QHostAddress::LocalHost));
        RefusingPort refusing;
        const quint16 port = silent ? silentServer.serverPort() : refusing.port();
        const Run run = ProgramRun::client({QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                            QString::number(port), QStringLiteral("--list-vms"), QStringLiteral("1")});
        QCOMPARE(run.exitCode, int(VMLister::ConnectionFailed));
        QVERIFY2(lastErrorLine(run) == message.arg(port), qPrintable(run.err));
    }

    // A certificate accepted for good in the window lets the listing through without asking,
    // but only for the broker it was accepted for.
    void permanentlyAcceptedCertificate_data()
    {
        QTest::addColumn<QString>("acceptedFor");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("this broker") << "127.0.0.1" << 0;
        QTest::newRow("another broker") << "broker.example" << int(VMLister::CertificateRefused);
    }

    void permanentlyAcceptedCertificate()
    {
        QFETCH(QString, acceptedFor);
        QFETCH(int, exitCode);
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::QueryPeer);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_broker.port());
        QVERIFY(socket.waitForEncrypted(TestEnvironment::timeout(10000)));
        AcceptedCertificateStore().acceptChain(socket.peerCertificateChain(), acceptedFor);
        socket.disconnectFromHost();

        const Run run = list({QStringLiteral("--verbose")});
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.out.contains(QStringLiteral("Office")), exitCode == 0);
        QCOMPARE(run.err.contains(QStringLiteral("All certs in the chain have been previously accepted")), exitCode == 0);

        QSettings settings;
        settings.remove(QStringLiteral("SSL"));
    }

    // Without a password on the command line the listing uses the one the window remembered in
    // the desktop keyring, for this server and user only.
    void rememberedPassword_data()
    {
        QTest::addColumn<QString>("rememberedFor");
        QTest::addColumn<QString>("rememberedUser");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("this server and user") << "127.0.0.1" << "demo" << 0;
        QTest::newRow("another server") << "broker.example" << "demo" << int(VMLister::Refused);
        QTest::newRow("another user") << "127.0.0.1" << "blocked" << int(VMLister::Refused);
    }

    void rememberedPassword()
    {
        QFETCH(QString, rememberedFor);
        QFETCH(QString, rememberedUser);
        QFETCH(int, exitCode);
        QSettings().remove(QStringLiteral("Connection"));
        PasswordStore store;
        QSignalSpy stored(&store, &PasswordStore::stored);
        store.remember(rememberedFor, rememberedUser, QStringLiteral("demo"));
        QVERIFY(stored.wait(TestEnvironment::timeout(20000)));
        QCOMPARE(stored.first().first().value<PasswordStore::Place>(), PasswordStore::Place::Keyring);

        const Run run = ProgramRun::client({QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                            QString::number(m_broker.port()), QStringLiteral("--user"),
                                            QStringLiteral("demo"), QStringLiteral("--list-vms"),
                                            QStringLiteral("--ssl-errors"), QStringLiteral("continue")});
        store.forget(rememberedFor, rememberedUser);
        store.finishPending(TestEnvironment::timeout(20000));
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.out.contains(QStringLiteral("Office")), exitCode == 0);
        if (exitCode == 0) {
            QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
        } else {
            QVERIFY2(run.err.startsWith(QStringLiteral("warning: no password remembered for demo at 127.0.0.1")),
                     qPrintable(run.err));
            QVERIFY2(lastErrorLine(run).startsWith(QStringLiteral("Authentication error: ")), qPrintable(run.err));
        }
    }

private:
    TestEnvironment m_environment;
    DemoBrokerProcess m_broker;
    SecretService m_secretService;
};

QTEST_GUILESS_MAIN(TestVMLister)
#include "tst_vmlister.moc"
