#include "slaveclient/commands/sftpserverprocess.h"

#include <QTest>

class TestSftpServerProcess : public QObject
{
    Q_OBJECT

private slots:
    void windowsCommandLine_data();
    void windowsCommandLine();
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

QTEST_GUILESS_MAIN(TestSftpServerProcess)
#include "tst_sftpserverprocess.moc"
