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
    void answers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outStart");
        QTest::addColumn<QString>("lastLog");
        QTest::newRow("version") << QStringList{"--version"} << 0 << "0.1" << "Exit: version command";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: " << "Exit: help command";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 1 << "Unknown option 'bogus'.Usage: "
                                        << "Exit: command line parse error";
        QTest::newRow("bad connection type") << QStringList{"--connection-type", "fast"} << 1 << "Usage: "
                                             << "Exit: command line parse error";
        QTest::newRow("help and version") << QStringList{"-help", "-version"} << 0 << "0.1" << "Exit: version command";
    }

    void answers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, outStart);
        QFETCH(QString, lastLog);

        const Run result = run(arguments);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.out.startsWith(outStart), qPrintable(result.out));
        if (outStart == QLatin1String("0.1"))
            QCOMPARE(result.out, QStringLiteral("0.1"));
        const QStringList errLines = result.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(!errLines.isEmpty());
        QVERIFY2(errLines.last().endsWith(QStringLiteral("] ") + lastLog), qPrintable(result.err));
        // Each line names its source file inside the tree, not a path of the building machine.
        // (Qt's own messages carry no file.)
        const QRegularExpression treeFile(QStringLiteral("^\\S+ \\w+\\s+\\[((gui|libzelclient)/[\\w/]+\\.cpp)?:\\d+\\] "));
        for (const QString &line : errLines)
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
        QCOMPARE(options.size(), 24);
        QCOMPARE(options.first(), QStringLiteral("user"));
        QCOMPARE(options.at(20), QStringLiteral("display"));
        QCOMPARE(options.mid(21), (QStringList{"help", "help-all", "version"}));
    }

    void logLinesGoToFileAndStandardErrorAndAppend()
    {
        QFile::remove(logFile());
        const Run first = run({"--version"});
        const Run second = run({"--host", "example", "--version"});
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
        const Run result = run({"--version"}, env);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, QStringLiteral("0.1"));
        QVERIFY2(result.err.startsWith(QStringLiteral("Failed to open log file ") + blocker), qPrintable(result.err));
        QVERIFY(result.err.contains(QStringLiteral("Exit: version command")));
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
        QTest::newRow("VM listing") << "list" << 0 << "Exit: VM list 0";
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
        if (mode == QLatin1String("list"))
            QVERIFY2(result.out.contains(QStringLiteral("Demo desktop")), qPrintable(result.out));
    }

    void spanishTranslation()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("LC_ALL"));
        env.remove(QStringLiteral("LC_MESSAGES"));
        env.remove(QStringLiteral("LANGUAGE"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("es_ES.UTF-8"));

        // The build folder holds "translations/" as an installed program's working folder would.
        const Run result = run({"--help"}, env, QStringLiteral(ZEL_BINARY_DIR));
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.err.contains(QStringLiteral("Loaded translation for")), qPrintable(result.err));
        QVERIFY2(result.out.contains(QStringLiteral("Servidor al que conectarse.")), qPrintable(result.out));

        // Without a translation folder the program carries on in English.
        const Run english = run({"--help"}, env);
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
        const Run result = run({"--version"}, env, QStringLiteral(ZEL_BINARY_DIR));
        const QStringList tried = result.err.split(QLatin1Char('\n')).filter(QStringLiteral("Trying to load translation"));
        QCOMPARE(tried.size(), 1);
        QVERIFY(tried.first().endsWith(QStringLiteral("from \"translations\"")));
    }

private:
    TestEnvironment m_environment;
    QTemporaryDir m_workDir;
};

QTEST_GUILESS_MAIN(TestApplication)
#include "tst_application.moc"
