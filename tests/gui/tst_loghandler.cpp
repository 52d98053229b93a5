#include "loghandler.h"
#include "testenvironment.h"

#include <QtTest>
#include <QThread>

#include <sys/stat.h>

class TestLogHandler : public QObject
{
    Q_OBJECT

private slots:
    void lineFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("label");
        QTest::newRow("debug") << int(QtDebugMsg) << " DEBUG";
        QTest::newRow("info") << int(QtInfoMsg) << " INFO ";
        QTest::newRow("warning") << int(QtWarningMsg) << " WARN ";
        QTest::newRow("critical") << int(QtCriticalMsg) << " CRIT ";
        QTest::newRow("fatal") << int(QtFatalMsg) << " FATAL";
    }

    void lineFormat()
    {
        QFETCH(int, type);
        QFETCH(QString, label);
        const QMessageLogContext context("src/file.cpp", 42, "void f()", "default");
        const QString line = LogHandler::formatLine(QtMsgType(type), context, QStringLiteral("hello"));
        const QRegularExpression form(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(.{6}) "
                                                     "\\[src/file.cpp:42\\] hello\\n$"));
        const QRegularExpressionMatch match = form.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QCOMPARE(match.captured(1), label);
    }

    // However the build handed the path to the compiler, the line names the file as it is in
    // the source tree.
    void fileNamedAsInTheSourceTree_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("shown");
        QTest::newRow("tree path") << QByteArray("gui/mainwindow.cpp") << "gui/mainwindow.cpp";
        QTest::newRow("relative to a build folder") << QByteArray("../../gui/mainwindow.cpp") << "gui/mainwindow.cpp";
        QTest::newRow("relative, deeper") << QByteArray("./../../../libzelclient/backends/zelnxbackend.cpp")
                                          << "libzelclient/backends/zelnxbackend.cpp";
        QTest::newRow("file alone") << QByteArray("main.cpp") << "main.cpp";
    }

    void fileNamedAsInTheSourceTree()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, shown);
        const QMessageLogContext context(file.constData(), 7, "void f()", "default");
        const QString line = LogHandler::formatLine(QtInfoMsg, context, QStringLiteral("m"));
        QVERIFY2(line.endsWith(QStringLiteral(" [") + shown + QStringLiteral(":7] m\n")), qPrintable(line));
    }

    void missingFileIsWrittenAsNothing()
    {
        const QMessageLogContext context;
        QVERIFY(LogHandler::formatLine(QtInfoMsg, context, QStringLiteral("m")).endsWith(QStringLiteral(" [:0] m\n")));
    }

    // The log is the user's alone from its first line on, however loose the umask.
    void logIsPrivate()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString logDir = dir.filePath(QStringLiteral("data/ZEL Client Qt/Logs"));
        const mode_t previous = ::umask(0);
        LogHandler::install(logDir);
        ::umask(previous);
        qInfo() << "a line";
        qInstallMessageHandler(nullptr);

        QFile log(logDir + QStringLiteral("/client.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("a line"));
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                          | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(log.permissions() & others, QFile::Permissions());
        QCOMPARE(QFileInfo(logDir).permissions() & others, QFile::Permissions());
    }

    // Qt's own threads may log while the program does: lines must never interleave.
    void concurrentLinesStayWhole()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        LogHandler::install(dir.path());

        const int threads = 4;
        const int linesPerThread = 500;
        QList<QThread *> workers;
        for (int t = 0; t < threads; ++t) {
            workers << QThread::create([t] {
                for (int i = 0; i < linesPerThread; ++i)
                    qInfo().noquote() << QStringLiteral("thread-%1-line-%2-").arg(t).arg(i) + QString(200, QLatin1Char('x'));
            });
            workers.last()->start();
        }
        for (QThread *worker : workers) {
            QVERIFY(worker->wait(TestEnvironment::timeout(60000)));
            delete worker;
        }
        qInstallMessageHandler(nullptr);

        QFile log(dir.filePath(QStringLiteral("client.log")));
        QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
        const QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), threads * linesPerThread);
        const QRegularExpression whole(QStringLiteral("^\\S+ INFO  \\[.*:\\d+\\] thread-\\d-line-\\d+-x{200}$"));
        for (const QString &line : lines)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
