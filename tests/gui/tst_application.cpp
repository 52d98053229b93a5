#include "demobrokerprocess.h"
#include "programrun.h"
#include "testenvironment.h"

#include <QProcess>
#include <QtTest>

// The program as a user starts it: exit statuses, printed answers, log file and translation.
class TestApplication : public QObject
{
    Q_OBJECT

private:
    using Run = ProgramRun;

    Run run(const QStringList &arguments, const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
            const QString &workingDirectory = QString())
    {
        return ProgramRun::client(arguments, environment, workingDirectory.isEmpty() ? m_workDir.path() : workingDirectory);
    }

    QString logFile() const { return m_environment.logDir() + QStringLiteral("/client.log"); }

    QString readLog() const
    {
        QFile file(logFile());
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_broker.start(DemoBrokerProcess::simpleConfig()), qPrintable(m_broker.errorText()));
    }

    // What a user reads in a terminal: the answer on standard output, on standard error only
    // what concerns them, the exit status; the log file keeps everything. "%port" stands for
    // the demo broker's port.
    void answers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("lastLog");
        const QStringList login{"--host", "127.0.0.1", "--port", "%port", "--user", "demo", "--ssl-errors", "continue"};
        const QStringList withPassword = login + QStringList{"--password", "demo"};
        const QString listed = QStringLiteral("^ID +NAME +STATE +BLOCKED\n1 +Demo desktop +running +no\n$");
        const QString usage = QStringLiteral("^Usage: ");
        const QString tryHelp = QStringLiteral("Try 'ZEL_Client --help' for the options.\n");
        const auto exactly = [](const QString &text) { return QLatin1Char('^') + QRegularExpression::escape(text) + QLatin1Char('$'); };

        QTest::newRow("version") << QStringList{"--version"} << QByteArray() << 0 << "^0\\.1\n$" << "^$"
                                 << "Exit: version command";
        QTest::newRow("help") << QStringList{"--help"} << QByteArray() << 0 << usage << "^$" << "Exit: help command";
        QTest::newRow("help and version") << QStringList{"-help", "-version"} << QByteArray() << 0 << "^0\\.1\n$" << "^$"
                                          << "Exit: version command";
        QTest::newRow("version, verbose") << QStringList{"--version", "--verbose"} << QByteArray() << 0 << "^0\\.1\n$"
                                          << " DEBUG \\[gui/application\\.cpp:\\d+\\] Exit: version command\n$"
                                          << "Exit: version command";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray() << 1 << "^$"
                                        << exactly("ZEL_Client: Unknown option 'bogus'.\n" + tryHelp)
                                        << "Exit: command line parse error";
        QTest::newRow("bad connection type")
            << QStringList{"--connection-type", "fast"} << QByteArray() << 1 << "^$"
            << exactly("ZEL_Client: Unknown connection type 'fast': use modem, isdn, adsl, wan, lan.\n" + tryHelp)
            << "Exit: command line parse error";
        QTest::newRow("port out of range")
            << QStringList{"--port", "70000"} << QByteArray() << 1 << "^$"
            << exactly("ZEL_Client: --port must be a number from 1 to 65535, not '70000'.\n" + tryHelp)
            << "Exit: command line parse error";
        QTest::newRow("port not a number")
            << QStringList{"--host", "h", "--port", "84x3"} << QByteArray() << 1 << "^$"
            << exactly("ZEL_Client: --port must be a number from 1 to 65535, not '84x3'.\n" + tryHelp)
            << "Exit: command line parse error";
        QTest::newRow("option as a value")
            << QStringList{"--user", "--host", "h", "--list-vms"} << QByteArray() << 1 << "^$"
            << exactly("ZEL_Client: --user needs a value, but the option --host follows it.\n" + tryHelp)
            << "Exit: command line parse error";
        QTest::newRow("switch with another value")
            << (QStringList{"--json=pretty", "--list-vms"} + withPassword) << QByteArray() << 1 << "^$"
            << exactly("ZEL_Client: --json is a switch: it takes no value but 1/0, yes/no or true/false, not 'pretty'.\n" + tryHelp)
            << "Exit: command line parse error";
        QTest::newRow("stray word")
            << QStringList{"--host", "h", "extra"} << QByteArray() << 1 << "^$"
            << exactly("ZEL_Client: Unexpected argument 'extra': every value follows the option it belongs to.\n" + tryHelp)
            << "Exit: command line parse error";
        // The listing's switches, written as flags and in the value forms scripts use.
        QTest::newRow("list flag before other options") << (QStringList{"--list-vms"} + withPassword) << QByteArray()
                                                        << 0 << listed << "^$" << "Exit: VM list 0";
        QTest::newRow("list =1") << (withPassword + QStringList{"--list-vms=1"}) << QByteArray() << 0 << listed << "^$"
                                 << "Exit: VM list 0";
        QTest::newRow("list yes, header 1")
            << (QStringList{"--list-vms", "yes", "--no-header", "1"} + withPassword) << QByteArray() << 0
            << "^1 +Demo desktop +running +no\n$" << "^$" << "Exit: VM list 0";
        QTest::newRow("list, json true, header 0")
            << (QStringList{"-list-vms", "-json", "true", "-no-header", "0"} + withPassword) << QByteArray() << 0
            << "^\\[\n +\\{\n" << "^$" << "Exit: VM list 0";
        QTest::newRow("token") << (QStringList{"--list-vms", "--token", "t0k3n"} + withPassword) << QByteArray() << 0
                               << listed
                               << exactly("ZEL_Client: warning: --token is not supported and is not sent: log in with "
                                          "--user and a password.\n")
                               << "Exit: VM list 0";
        QTest::newRow("password on standard input")
            << (QStringList{"--list-vms", "--password-stdin"} + login) << QByteArray("demo\n") << 0 << listed << "^$"
            << "Exit: VM list 0";
        QTest::newRow("wrong password on standard input")
            << (QStringList{"--list-vms", "--password-stdin"} + login) << QByteArray("nope") << 3 << "^$"
            << "^Authentication error: " << "Exit: VM list 3";
        QTest::newRow("password twice")
            << (QStringList{"--list-vms", "--password-stdin"} + withPassword) << QByteArray("demo\n") << 1 << "^$"
            << exactly("ZEL_Client: Give the password with --password or with --password-stdin, not with both.\n" + tryHelp)
            << "Exit: command line parse error";
    }

    void answers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QString, lastLog);

        arguments.replaceInStrings(QStringLiteral("%port"), QString::number(m_broker.port()));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("ZEL_DEBUG"));
        QFile::remove(logFile());
        const Run result = ProgramRun::client(arguments, environment, m_workDir.path(), input);
        const QString context = QStringLiteral("out:\n%1\nerr:\n%2").arg(result.out, result.err);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(QRegularExpression(out).match(result.out).hasMatch(), qPrintable(context));
        QVERIFY2(QRegularExpression(err).match(result.err).hasMatch(), qPrintable(context));
        // The log file has it all, the lines the terminal did not show included.
        const QStringList logLines = readLog().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(!logLines.isEmpty());
        QVERIFY2(logLines.last().endsWith(QStringLiteral("] ") + lastLog), qPrintable(readLog()));
        QVERIFY(logLines.first().endsWith(QStringLiteral("] Client started")));
        // Each line names its source file inside the tree, not a path of the building machine.
        // (Qt's own messages carry no file.)
        const QRegularExpression treeFile(QStringLiteral("^\\S+ \\w+\\s+\\[((gui|libzelclient)/[\\w/]+\\.cpp)?:\\d+\\] "));
        for (const QString &line : logLines)
            QVERIFY2(treeFile.match(line).hasMatch(), qPrintable(line));
    }

    void helpListsTheOptionsThenHelpAndVersion()
    {
        const Run result = run({"--help"});
        const QStringList lines = result.out.split(QLatin1Char('\n'));
        QStringList options;
        for (const QString &line : lines) {
            const QRegularExpressionMatch match =
                QRegularExpression(QStringLiteral("^  (?:-\\S+, )?--([a-z-]+)")).match(line);
            if (match.hasMatch())
                options << match.captured(1);
        }
        QCOMPARE(options.size(), 26);
        QCOMPARE(options.first(), QStringLiteral("user"));
        QCOMPARE(options.at(22), QStringLiteral("display"));
        QCOMPARE(options.mid(23), (QStringList{"help", "help-all", "version"}));
    }

    // With --verbose the terminal's answers show the log too: the same lines as the file.
    void logLinesGoToFileAndStandardErrorAndAppend()
    {
        QFile::remove(logFile());
        const Run first = run({"--version", "--verbose"});
        QProcessEnvironment debugging = QProcessEnvironment::systemEnvironment();
        debugging.insert(QStringLiteral("ZEL_DEBUG"), QStringLiteral("1"));
        const Run second = run({"--host", "example", "--version"}, debugging);
        QCOMPARE(first.exitCode, 0);
        QCOMPARE(second.exitCode, 0);

        // Both runs' lines, in order and identical to what each printed on standard error.
        QCOMPARE(readLog(), first.err + second.err);
        const QStringList lines = readLog().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.filter(QStringLiteral("] Client started")).size(), 2);
        const QRegularExpression form(QStringLiteral(
            "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}( DEBUG| INFO | WARN | CRIT | FATAL) \\[[^\\]]*:\\d+\\] .*$"));
        for (const QString &line : lines)
            QVERIFY2(form.match(line).hasMatch(), qPrintable(line));
        QVERIFY(lines.first().contains(QStringLiteral(" INFO  [")));
        QVERIFY(lines.first().contains(QStringLiteral("application.cpp:")));
    }

    // The log tells who connected where: the user's alone, also when an earlier version left
    // it readable by others.
    void logIsPrivate_data()
    {
        QTest::addColumn<bool>("existedReadable");
        QTest::newRow("new log") << false;
        QTest::newRow("log readable by others") << true;
    }

    void logIsPrivate()
    {
        QFETCH(bool, existedReadable);
        QFile::remove(logFile());
        if (existedReadable) {
            QDir().mkpath(m_environment.logDir());
            QFile old(logFile());
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("earlier line\n");
            old.close();
            QVERIFY(old.setPermissions(old.permissions() | QFile::ReadGroup | QFile::ReadOther));
        }
        QCOMPARE(run({"--version"}).exitCode, 0);
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
            | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(QFile::permissions(logFile()) & others, QFile::Permissions());
        QVERIFY(QFile::permissions(logFile()) & QFile::ReadOwner);
        QCOMPARE(readLog().startsWith(QStringLiteral("earlier line\n")), existedReadable);
        QVERIFY(readLog().contains(QStringLiteral("Exit: version command")));
    }

    void unwritableLogFolderDoesNotStopTheProgram()
    {
        QTemporaryDir dir;
        const QString blocker = dir.filePath(QStringLiteral("not-a-folder"));
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), blocker);
        const Run result = run({"--version", "--verbose"}, env);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, QStringLiteral("0.1\n"));
        QVERIFY2(result.err.startsWith(QStringLiteral("Failed to open log file ") + blocker), qPrintable(result.err));
        QVERIFY(result.err.contains(QStringLiteral("Exit: version command")));
        // Without the log on standard error the user still learns that no log is kept.
        const Run quiet = run({"--version"}, env);
        QCOMPARE(quiet.exitCode, 0);
        QVERIFY2(quiet.err.startsWith(QStringLiteral("Failed to open log file ") + blocker), qPrintable(quiet.err));
        QVERIFY2(quiet.err.endsWith(QStringLiteral("client.log\n")) && quiet.err.count(QLatin1Char('\n')) == 1,
                 qPrintable(quiet.err));
    }

    void noDisplayGivesAClearError()
    {
        const Run result = run({});
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(QStringLiteral("No display available")), qPrintable(result.err));
    }

    // A display that does not answer never aborts the program: the window mode says so and
    // exits 1, the NX notice is logged, and the headless listing needs no display at all.
    void deadDisplay_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("window") << "window" << 1 << "No display available (the X display :%1 does not answer)";
        QTest::newRow("NX dialog") << "dialog" << 0 << "No display to show the NX dialog on: \"NX\" \"Session over\"";
        QTest::newRow("VM listing") << "list" << 0 << "";
    }

    void deadDisplay()
    {
        QFETCH(QString, mode);
        QFETCH(int, exitCode);
        QFETCH(QString, message);

        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display > 0);
        const QString deadName = QStringLiteral(":%1").arg(display);
        QStringList arguments;
        DemoBrokerProcess broker;
        if (mode == QLatin1String("dialog")) {
            // As the NX proxy starts it after the session's X server has gone.
            arguments = QStringList{"--dialog", "ok", "--caption", "NX", "--message", "Session over", "--display", deadName};
        } else if (mode == QLatin1String("list")) {
            QVERIFY2(broker.start(DemoBrokerProcess::simpleConfig()), qPrintable(broker.errorText()));
            arguments = QStringList{"--host", "127.0.0.1", "--port", QString::number(broker.port()), "--user", "demo",
                                    "--password", "demo", "--list-vms", "1", "--ssl-errors", "continue"};
        }
        const Run result = ProgramRun::clientOnDisplay(deadName, arguments);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains(message.arg(display)), qPrintable(result.err));
        if (mode == QLatin1String("list")) {
            QVERIFY2(result.out.contains(QStringLiteral("Demo desktop")), qPrintable(result.out));
            // The display's trouble is the log's business: the listing needs none.
            QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
        }
    }

    void spanishTranslation()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("LC_ALL"));
        env.remove(QStringLiteral("LC_MESSAGES"));
        env.remove(QStringLiteral("LANGUAGE"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("es_ES.UTF-8"));

        // The build folder holds "translations/" as an installed program's working folder would.
        const Run result = run({"--help", "--verbose"}, env, QStringLiteral(ZEL_BINARY_DIR));
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.err.contains(QStringLiteral("Loaded translation for")), qPrintable(result.err));
        QVERIFY2(result.out.contains(QStringLiteral("Servidor al que conectarse.")), qPrintable(result.out));

        // Without a translation folder the program carries on in English.
        const Run english = run({"--help", "--verbose"}, env);
        QCOMPARE(english.exitCode, 0);
        QVERIFY(english.err.contains(QStringLiteral("Failed to load translation for \"es_ES\"")));
        QVERIFY(english.out.contains(QStringLiteral("Server to connect to.")));
    }

    void workingFolderTranslationWinsOverInstalled()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("LC_ALL"));
        env.remove(QStringLiteral("LC_MESSAGES"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("es_ES.UTF-8"));
        const Run result = run({"--version", "--verbose"}, env, QStringLiteral(ZEL_BINARY_DIR));
        const QStringList tried = result.err.split(QLatin1Char('\n')).filter(QStringLiteral("Trying to load translation"));
        QCOMPARE(tried.size(), 1);
        QVERIFY(tried.first().endsWith(QStringLiteral("from \"translations\"")));
    }

private:
    TestEnvironment m_environment;
    QTemporaryDir m_workDir;
    DemoBrokerProcess m_broker;
};

QTEST_GUILESS_MAIN(TestApplication)
#include "tst_application.moc"
