#include "slaveclient/commands/sftpserverprocess.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// The opening packet of an SFTP client: length 5, SSH_FXP_INIT, version 3.
const QByteArray SftpInit("\0\0\0\5\1\0\0\0\3", 9);
const char SftpVersion = 2;

} // namespace

class TestSftpServerProcess : public QObject
{
    Q_OBJECT

private slots:
    void windowsCommandLine_data();
    void windowsCommandLine();
    void serverOutcome_data();
    void serverOutcome();
    void noSandboxNoServer();

private:
    TestEnvironment m_environment;
};

void TestSftpServerProcess::windowsCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("commandLine");

    QTest::newRow("paths keep no single backslash")
        << QStringList{QStringLiteral(R"(C:\bin\sftp-server.exe)"), QStringLiteral("-v"), QStringLiteral("-d"),
                       QStringLiteral(R"(C:\Data)"), QStringLiteral("-L"), QStringLiteral(R"(C:\L\sftp.log)"),
                       QStringLiteral("-F"), QStringLiteral(R"(C:\T\zelsocket-1)")}
        << QStringLiteral(R"(C:\\bin\\sftp-server.exe -v -d C:\\Data -L C:\\L\\sftp.log -F C:\\T\\zelsocket-1 )");
    QTest::newRow("blank encloses in quotes")
        << QStringList{QStringLiteral(R"(C:\My Files)"), QStringLiteral("-v")}
        << QStringLiteral(R"("C:\\My Files" -v )");
    QTest::newRow("tab encloses in quotes") << QStringList{QStringLiteral("a\tb")} << QStringLiteral("\"a\tb\" ");
    QTest::newRow("quote gets two backslashes")
        << QStringList{QStringLiteral(R"(a"b)")} << QStringLiteral(R"(a\\"b )");
    QTest::newRow("quote and blank")
        << QStringList{QStringLiteral(R"(say "hi")")} << QStringLiteral(R"("say \\"hi\\"" )");
    QTest::newRow("nothing") << QStringList() << QString();
}

void TestSftpServerProcess::windowsCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, commandLine);
    QCOMPARE(SftpServerProcess::windowsCommandLine(arguments), commandLine);
}

// A share counts once the confined server answers; one that never got to serve is reported
// with the reason, from the sandbox's status and the server's end rather than after a wait.
void TestSftpServerProcess::serverOutcome_data()
{
    QTest::addColumn<bool>("vmSpeaks");
    QTest::addColumn<bool>("folderThere");
    QTest::addColumn<QString>("failure");

    QTest::newRow("VM speaks SFTP") << true << true << QString();
    QTest::newRow("VM closes the connection at once") << false << true << QString();
    QTest::newRow("folder gone before the sandbox starts") << true << false << "Can't find source path";
}

void TestSftpServerProcess::serverOutcome()
{
    QFETCH(bool, vmSpeaks);
    QFETCH(bool, folderThere);
    QFETCH(QString, failure);
    ZEL_REQUIRE("bwrap", "sftp-server");

    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("Shared Folder"));
    const QString log = dir.filePath(QStringLiteral("Logs/sftp.log"));
    QVERIFY(folderThere ? QDir().mkpath(folder) : !QFileInfo::exists(folder));
    int pair[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);

    SftpServerProcess server(folder);
    QSignalSpy serving(&server, &SftpServerProcess::serving);
    QSignalSpy failed(&server, &SftpServerProcess::failed);
    QSignalSpy finished(&server, &SftpServerProcess::finished);
    QVERIFY2(server.start(TestEnvironment::sftpServer(), pair[0], log), qPrintable(server.errorString()));
    // The server holds the connection; the client's copy goes.
    ::close(pair[0]);
    QLocalSocket vm;
    QVERIFY(vm.setSocketDescriptor(pair[1]));
    if (vmSpeaks)
        vm.write(SftpInit);
    else
        vm.close();

    QTRY_COMPARE_WITH_TIMEOUT(serving.count() + failed.count(), 1, TestEnvironment::timeout(10000));
    QCOMPARE(failed.count(), failure.isEmpty() ? 0 : 1);
    if (!failure.isEmpty()) {
        const QString reason = failed.first().first().toString();
        QVERIFY2(reason.contains(failure), qPrintable(reason));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, TestEnvironment::timeout(10000));
        return;
    }
    if (vmSpeaks) {
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += vm.readAll()).size() >= 5, TestEnvironment::timeout(10000));
        QCOMPARE(answer.at(4), SftpVersion);
        vm.close();
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, TestEnvironment::timeout(10000));
    QCOMPARE(failed.count(), 0);
    // The log says what the VM did, and only the user can read it.
    QFile logFile(log);
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    QVERIFY(logFile.readAll().contains("session opened"));
    QCOMPARE(logFile.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
             QFile::Permissions());
}

// Where the sandbox cannot start, nothing is served: no server runs unconfined.
void TestSftpServerProcess::noSandboxNoServer()
{
    QTemporaryDir dir;
    QTemporaryDir emptyPath;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(emptyPath.path()));
    const QString missing = SftpServerProcess::missingConfinement();
    SftpServerProcess server(dir.path());
    const bool started = server.start(TestEnvironment::sftpServer(), -1, dir.filePath(QStringLiteral("sftp.log")));
    qputenv("PATH", path);
    QVERIFY(missing.contains(QStringLiteral("bwrap")));
    QVERIFY(!started);
    QCOMPARE(server.errorString(), missing);
    QVERIFY(!server.isRunning());
}

QTEST_GUILESS_MAIN(TestSftpServerProcess)
#include "tst_sftpserverprocess.moc"
