#include "commandlineparser.h"
#include "testenvironment.h"

#include <QtTest>

class TestCommandLineParser : public QObject
{
    Q_OBJECT

private:
    struct Outcome {
        CommandLineParser::Result result;
        ZELConnectionParameters parameters;
        NXErrorCommandData nx;
        CommandLineParser::MiscParameters misc;
    };

    static Outcome parse(const QStringList &arguments)
    {
        Outcome outcome;
        outcome.result = CommandLineParser::instance().parse(QStringList{QStringLiteral("ZEL_Client")} + arguments,
                                                              outcome.parameters, outcome.nx, outcome.misc);
        return outcome;
    }

private slots:
    void results_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("hasErrorText");
        QTest::newRow("nothing") << QStringList() << int(CommandLineParser::Ok) << false;
        QTest::newRow("unknown option") << QStringList{"--bogus"} << int(CommandLineParser::Error) << true;
        QTest::newRow("list-vms is a flag") << QStringList{"--list-vms"} << int(CommandLineParser::Ok) << false;
        QTest::newRow("list-vms with value") << QStringList{"--list-vms", "1"} << int(CommandLineParser::Ok) << false;
        QTest::newRow("list-vms with another value") << QStringList{"--list-vms=maybe"} << int(CommandLineParser::Error)
                                                     << true;
        QTest::newRow("version and help") << QStringList{"--help", "--version"} << int(CommandLineParser::VersionRequested)
                                          << false;
        QTest::newRow("help") << QStringList{"-help"} << int(CommandLineParser::HelpRequested) << false;
        // Every error says what was wrong.
        QTest::newRow("bad connection type") << QStringList{"--connection-type", "fast"} << int(CommandLineParser::Error)
                                             << true;
        QTest::newRow("bad dialog type") << QStringList{"--dialog", "maybe"} << int(CommandLineParser::Error) << true;
        QTest::newRow("port out of range") << QStringList{"--port", "70000"} << int(CommandLineParser::Error) << true;
        QTest::newRow("port zero") << QStringList{"--port", "0"} << int(CommandLineParser::Error) << true;
        QTest::newRow("port not a number") << QStringList{"--port", "abc"} << int(CommandLineParser::Error) << true;
        QTest::newRow("option as a value") << QStringList{"--password", "-json"} << int(CommandLineParser::Error) << true;
        QTest::newRow("help as a value") << QStringList{"--host", "--help"} << int(CommandLineParser::Error) << true;
    }

    void results()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, result);
        QFETCH(bool, hasErrorText);
        const Outcome outcome = parse(arguments);
        QCOMPARE(int(outcome.result), result);
        QCOMPARE(!CommandLineParser::instance().errorText().isEmpty(), hasErrorText);
    }

    void connectionOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("speed");
        QTest::newRow("single dash") << QStringList{"-host", "h1"} << "h1" << 8443 << 2;
        QTest::newRow("double dash") << QStringList{"--host", "h2", "--port", "9000"} << "h2" << 9000 << 2;
        QTest::newRow("highest port") << QStringList{"--port", "65535"} << "" << 65535 << 2;
        QTest::newRow("type in capitals with blanks") << QStringList{"--connection-type", " ADSL "} << "" << 8443 << 2;
        QTest::newRow("type lan") << QStringList{"--connection-type", "lan"} << "" << 8443 << 4;
        QTest::newRow("ssl options change nothing")
            << QStringList{"--ssl", "false", "--ssl-errors", "continue"} << "" << 8443 << 2;
    }

    void connectionOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(int, speed);
        const Outcome outcome = parse(arguments);
        QCOMPARE(outcome.result, CommandLineParser::Ok);
        QCOMPARE(outcome.parameters.host(), host);
        QCOMPARE(int(outcome.parameters.port()), port);
        QCOMPARE(int(outcome.parameters.connectionSpeed()), speed);
    }

    void credentialsAndExperimental()
    {
        const Outcome outcome = parse({"--user", "alice", "--password", "pw", "--token", "t", "--experimental"});
        QCOMPARE(outcome.parameters.username(), QStringLiteral("alice"));
        QCOMPARE(outcome.parameters.password(), QStringLiteral("pw"));
        QCOMPARE(outcome.parameters.token(), QStringLiteral("t"));
        QVERIFY(outcome.misc.experimental);
        QVERIFY(outcome.misc.passwordGiven);
        // The token is carried but nothing sends it: the user is told so.
        QCOMPARE(CommandLineParser::instance().warnings().size(), 1);
        QVERIFY(CommandLineParser::instance().warnings().first().contains(QStringLiteral("--token")));
        const Outcome plain = parse({});
        QVERIFY(!plain.misc.experimental);
        QVERIFY(!plain.misc.passwordGiven);
        QVERIFY(CommandLineParser::instance().warnings().isEmpty());
    }

    void listingOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("listVms");
        QTest::addColumn<bool>("noHeader");
        QTest::addColumn<bool>("json");
        QTest::addColumn<QString>("sslErrors");
        QTest::newRow("none") << QStringList() << false << false << false << "";
        QTest::newRow("list") << QStringList{"--list-vms", "1"} << true << false << false << "";
        QTest::newRow("list off") << QStringList{"--list-vms", "no"} << false << false << false << "";
        QTest::newRow("json, no header")
            << QStringList{"--list-vms", "yes", "--json", "1", "--no-header", "true"} << true << true << true << "";
        QTest::newRow("flags") << QStringList{"--list-vms", "--json", "--no-header"} << true << true << true << "";
        QTest::newRow("value after =") << QStringList{"--list-vms=1", "-json=FALSE", "--no-header=yes"} << true << true
                                       << false << "";
        // Only those words are the switch's value; anything else is the next option's business.
        QTest::newRow("flag before another option") << QStringList{"--list-vms", "--host", "h"} << true << false << false
                                                    << "";
        QTest::newRow("policy in capitals") << QStringList{"--ssl-errors", " Continue "} << false << false << false
                                            << "continue";
    }

    void listingOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, listVms);
        QFETCH(bool, noHeader);
        QFETCH(bool, json);
        QFETCH(QString, sslErrors);
        const Outcome outcome = parse(arguments);
        QCOMPARE(outcome.result, CommandLineParser::Ok);
        QCOMPARE(outcome.misc.listVms, listVms);
        QCOMPARE(outcome.misc.noHeader, noHeader);
        QCOMPARE(outcome.misc.json, json);
        QCOMPARE(outcome.misc.sslErrors, sslErrors);
    }

    void unknownCertificatePolicyIsAnError()
    {
        const Outcome outcome = parse({"--ssl-errors", "maybe"});
        QCOMPARE(outcome.result, CommandLineParser::Error);
        QVERIFY(CommandLineParser::instance().errorText().contains(QStringLiteral("maybe")));
    }

    void dialogOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("local");
        QTest::addColumn<int>("pid");
        QTest::newRow("yesno any case") << QStringList{"--dialog", " YesNo ", "--message", "m"} << 3 << false << 0;
        QTest::newRow("local 1") << QStringList{"--dialog", "ok", "--local", "1", "--parent", "77"} << 1 << true << 77;
        QTest::newRow("local true is not 1") << QStringList{"--dialog", "ok", "--local", "true"} << 1 << false << 0;
        QTest::newRow("parent not a number") << QStringList{"--dialog", "ok", "--parent", "x"} << 1 << false << 0;
        // The NX proxy passes --local without a value, straight before --parent.
        QTest::newRow("bare local before parent")
            << QStringList{"--dialog", "ok", "--local", "--parent", "6011", "--display", ":7"} << 1 << true << 6011;
        QTest::newRow("bare local last") << QStringList{"--dialog", "error", "--local"} << 2 << true << 0;
    }

    void dialogOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, type);
        QFETCH(bool, local);
        QFETCH(int, pid);
        const Outcome outcome = parse(arguments);
        QCOMPARE(outcome.result, CommandLineParser::Ok);
        QCOMPARE(outcome.nx.type, type);
        QCOMPARE(outcome.nx.local, local);
        QCOMPARE(outcome.nx.pid, pid);
    }

    void nxInvocationFillsTheRecord()
    {
        const QString message = QStringLiteral("The connection with the remote server was shut down.\n"
                                               "Please check the state of your network connection.\n");
        const Outcome outcome = parse({"--dialog", "ok", "--caption", "NX - 8", "--message", message, "--local",
                                       "--parent", "6011", "--display", "127.0.0.1:57", "--window", "0x2a"});
        QCOMPARE(outcome.result, CommandLineParser::Ok);
        QVERIFY(outcome.nx.isComplete());
        QCOMPARE(outcome.nx.caption, QStringLiteral("NX - 8"));
        QCOMPARE(outcome.nx.message, message);
        QCOMPARE(outcome.nx.display, QStringLiteral("127.0.0.1:57"));
        QCOMPARE(outcome.nx.window, QStringLiteral("0x2a"));
    }

    void helpListsOptionsInOrder()
    {
        parse({});
        const QString help = CommandLineParser::instance().helpText();
        const QStringList names = {"--user", "--password <", "--password-stdin", "--token", "--host", "--port",
                                   "--file", "--ssl <", "--ssl-errors", "--list-vms", "--list-apps", "--no-header",
                                   "--json", "--connection-type", "--experimental", "--verbose", "--dialog",
                                   "--caption", "--window",
                                   "--message", "--local", "--parent", "--display", "--help", "--version"};
        int position = 0;
        for (const QString &name : names) {
            const int found = help.indexOf(name, position);
            QVERIFY2(found >= 0, qPrintable(name + QStringLiteral(" missing or out of order in:\n") + help));
            position = found;
        }
        QVERIFY(help.simplified().contains(QStringLiteral("Type of connection to use: modem, isdn, adsl, wan, lan")));
    }

private:
    TestEnvironment m_environment;
};

QTEST_GUILESS_MAIN(TestCommandLineParser)
#include "tst_commandlineparser.moc"
