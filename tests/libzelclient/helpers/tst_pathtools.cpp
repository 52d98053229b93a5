#include "helpers/pathtools.h"
#include "logcapture.h"
#include "testenvironment.h"

#include <QtTest>

namespace {

// Creates an executable file (and its folders) below root.
void makeProgram(const QString &root, const QString &relativePath, bool executable = true)
{
    const QString path = root + QLatin1Char('/') + relativePath;
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        permissions |= QFile::ExeOwner;
    QVERIFY(file.setPermissions(permissions));
}

class EnvironmentGuard
{
public:
    explicit EnvironmentGuard(const char *name)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_value(qgetenv(name))
    {
    }
    ~EnvironmentGuard()
    {
        if (m_wasSet)
            qputenv(m_name, m_value);
        else
            qunsetenv(m_name);
    }

private:
    const char *m_name;
    bool m_wasSet;
    QByteArray m_value;
};

} // namespace

class TestPathTools : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;

private slots:
    void initTestCase()
    {
        LogCapture::install();
    }

    void init()
    {
        LogCapture::clear();
    }

    // The search order, with the folders of both platforms laid out in a temporary tree:
    // "own" is the program's folder, "pf" and "pf86" the two program roots, "sys1"/"sys2" the
    // system folders searched last.
    void searchOrder_data()
    {
        QTest::addColumn<QStringList>("programs");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("expected");

        const QString exe = QStringLiteral(".exe");
        QTest::newRow("own folder beats program files")
            << QStringList{"own/nxproxy.exe", "pf/ZEL Client Qt/nxproxy.exe"} << exe << "own/nxproxy.exe";
        QTest::newRow("given subfolder beats installation folder")
            << QStringList{"pf/ZEL Client Qt/vcxsrv.exe", "pf86/vcxsrv.zel/vcxsrv.exe"} << exe
            << "pf86/vcxsrv.zel/vcxsrv.exe";
        QTest::newRow("subfolder order first, then roots")
            << QStringList{"own/vcxsrv/vcxsrv.exe", "pf86/vcxsrv.zel/vcxsrv.exe"} << exe
            << "pf86/vcxsrv.zel/vcxsrv.exe";
        QTest::newRow("program files before program files x86")
            << QStringList{"pf86/vcxsrv/vcxsrv.exe", "pf/vcxsrv/vcxsrv.exe"} << exe << "pf/vcxsrv/vcxsrv.exe";
        QTest::newRow("folder before its bin folder")
            << QStringList{"pf/vcxsrv/bin/vcxsrv.exe", "pf/vcxsrv/vcxsrv.exe"} << exe << "pf/vcxsrv/vcxsrv.exe";
        QTest::newRow("bin folder found")
            << QStringList{"pf/ZEL Client/bin/vcxsrv.exe"} << exe << "pf/ZEL Client/bin/vcxsrv.exe";
        QTest::newRow("pulseaudio folder of the installation")
            << QStringList{"pf86/ZEL Client Qt/pulseaudio/vcxsrv.exe"} << exe
            << "pf86/ZEL Client Qt/pulseaudio/vcxsrv.exe";
        QTest::newRow("suffix is required")
            << QStringList{"own/vcxsrv", "pf/vcxsrv/vcxsrv.exe"} << exe << "pf/vcxsrv/vcxsrv.exe";
        QTest::newRow("installation beats system folders")
            << QStringList{"sys1/vcxsrv", "own/ZEL Client/vcxsrv"} << QString() << "own/ZEL Client/vcxsrv";
        QTest::newRow("system folders in order")
            << QStringList{"sys2/vcxsrv", "sys1/vcxsrv"} << QString() << "sys1/vcxsrv";
        QTest::newRow("not executable is passed over")
            << QStringList{"own/vcxsrv!", "sys2/vcxsrv"} << QString() << "sys2/vcxsrv";
        QTest::newRow("a folder of that name is passed over")
            << QStringList{"own/vcxsrv/keep", "sys1/vcxsrv"} << QString() << "sys1/vcxsrv";
        QTest::newRow("nowhere") << QStringList{"own/other.exe"} << exe << "";
    }

    void searchOrder()
    {
        QFETCH(QStringList, programs);
        QFETCH(QString, suffix);
        QFETCH(QString, expected);

        QTemporaryDir tree;
        QVERIFY(tree.isValid());
        const QString root = tree.path();
        for (QString program : programs) {
            const bool executable = !program.endsWith(QLatin1Char('!'));
            program.remove(QLatin1Char('!'));
            makeProgram(root, program, executable);
        }

        const QString name = programs.first().contains(QStringLiteral("nxproxy")) ? QStringLiteral("nxproxy")
                                                                                   : QStringLiteral("vcxsrv");
        const QString found = PathTools::findBinIn(
            name, {QStringLiteral("vcxsrv.zel"), QStringLiteral("vcxsrv")}, root + QStringLiteral("/own"),
            {root + QStringLiteral("/pf"), root + QStringLiteral("/pf86"), root + QStringLiteral("/own")},
            {root + QStringLiteral("/sys1"), root + QStringLiteral("/sys2")}, suffix);
        QCOMPARE(found, expected.isEmpty() ? QString() : root + QLatin1Char('/') + expected);
    }

    void failedSearchLogsEveryCandidate()
    {
        QTemporaryDir tree;
        const QString root = tree.path();
        QVERIFY(QDir().mkpath(root + QStringLiteral("/pf/ZEL Client Qt/bin")));
        QVERIFY(PathTools::findBinIn(QStringLiteral("missing"), {}, root + QStringLiteral("/own"),
                                     {root + QStringLiteral("/pf")}, {root + QStringLiteral("/sys")},
                                     QStringLiteral(".exe"))
                    .isEmpty());
        const QString last = LogCapture::lines().last();
        QVERIFY2(last.startsWith(QStringLiteral("Failed to find missing; looked in ")), qPrintable(last));
        for (const QString &dir : {QStringLiteral("/own"), QStringLiteral("/pf/ZEL Client Qt"),
                                   QStringLiteral("/pf/ZEL Client Qt/bin"), QStringLiteral("/sys")})
            QVERIFY2(last.contains(root + dir), qPrintable(last));
        QVERIFY(LogCapture::lines().contains(QStringLiteral("Checking for ") + root + QStringLiteral("/own/missing.exe")));
    }

    // An unset program root must not turn into the current folder.
    void emptyRootIsNotCurrentFolder()
    {
        QTemporaryDir tree;
        makeProgram(tree.path(), QStringLiteral("ZEL Client Qt/nxproxy.exe"));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(tree.path()));
        const QString found = PathTools::findBinIn(QStringLiteral("nxproxy"), {}, QString(), {QString(), QString()},
                                                   {QString()}, QStringLiteral(".exe"));
        QDir::setCurrent(previous);
        QCOMPARE(found, QString());
    }

    void pathFoldersInOrder()
    {
        EnvironmentGuard path("PATH");
        QTemporaryDir tree;
        const QString root = tree.path();
        makeProgram(root, QStringLiteral("first/zel-test-program"));
        makeProgram(root, QStringLiteral("second/zel-test-program"));
        makeProgram(root, QStringLiteral("second/sftp-server"));
        qputenv("PATH", QFile::encodeName(root + QStringLiteral("/missing::") + root + QStringLiteral("/first:")
                                          + root + QStringLiteral("/second")));

        QCOMPARE(PathTools::findBin(QStringLiteral("zel-test-program"), {}),
                 root + QStringLiteral("/first/zel-test-program"));
        // PATH comes before the OpenSSH folders.
        QCOMPARE(PathTools::findBin(QStringLiteral("sftp-server"), {}), root + QStringLiteral("/second/sftp-server"));
    }

    void systemFoldersAfterPath()
    {
        // Debian puts the server in one of them, and keeps it off PATH.
        QString installed;
        for (const QString &folder : {QStringLiteral("/usr/lib/openssh"), QStringLiteral("/usr/libexec/openssh"),
                                      QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")}) {
            if (installed.isEmpty() && QFileInfo(folder + QStringLiteral("/sftp-server")).isExecutable())
                installed = folder + QStringLiteral("/sftp-server");
        }
        QVERIFY2(!installed.isEmpty(), "sftp-server is not installed (scripts/install-deps installs it)");
        EnvironmentGuard path("PATH");
        QTemporaryDir tree;
        qputenv("PATH", QFile::encodeName(tree.path()));
        QCOMPARE(PathTools::findBin(QStringLiteral("sftp-server"), {}), installed);
        QVERIFY(LogCapture::lines().contains(QStringLiteral("Checking for ") + tree.path() + QStringLiteral("/sftp-server")));
    }

    void emptyPathEntryIsNotCurrentFolder()
    {
        EnvironmentGuard path("PATH");
        QTemporaryDir tree;
        makeProgram(tree.path(), QStringLiteral("zel-test-program"));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(tree.path()));
        qputenv("PATH", ":");
        const QString found = PathTools::findBin(QStringLiteral("zel-test-program"), {});
        QDir::setCurrent(previous);
        QCOMPARE(found, QString());
    }

    void findFirstExistingDir()
    {
        QTemporaryDir tree;
        const QString root = tree.path();
        makeProgram(root, QStringLiteral("regular"));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/without")));
        makeProgram(root, QStringLiteral("with/module-cli.so"));

        const QStringList dirs{root + QStringLiteral("/absent"), root + QStringLiteral("/regular"),
                               root + QStringLiteral("/without"), root + QStringLiteral("/with")};
        QCOMPARE(PathTools::findFirstExistingDir(dirs, {QStringLiteral("module-cli.so")}),
                 root + QStringLiteral("/with"));
        QVERIFY(LogCapture::lines().contains(QStringLiteral("Testing ") + root + QStringLiteral("/absent : Doesn't exist, failed.")));
        QVERIFY(LogCapture::lines().contains(QStringLiteral("Testing ") + root + QStringLiteral("/regular : not a directory, failed.")));
        QVERIFY(LogCapture::lines().contains(QStringLiteral("Testing ") + root
                                    + QStringLiteral("/without/module-cli.so : failure, not found.")));

        QCOMPARE(PathTools::findFirstExistingDir(dirs, {}), root + QStringLiteral("/without"));
        QCOMPARE(PathTools::findFirstExistingDir(dirs.mid(0, 3), {QStringLiteral("module-cli.so")}), QString());
        QVERIFY(LogCapture::lines().last().startsWith(QStringLiteral("Failed to find any of")));
    }

    void addFromEnv()
    {
        EnvironmentGuard guard("ZEL_TEST_VARIABLE");
        QStringList list{QStringLiteral("a")};
        qunsetenv("ZEL_TEST_VARIABLE");
        QVERIFY(!PathTools::addFromEnv(list, QStringLiteral("ZEL_TEST_VARIABLE")));
        QCOMPARE(list, QStringList{QStringLiteral("a")});
        QCOMPARE(LogCapture::lines().last(), QStringLiteral("ZEL_TEST_VARIABLE is not set"));

        qputenv("ZEL_TEST_VARIABLE", "");
        QVERIFY(PathTools::addFromEnv(list, QStringLiteral("ZEL_TEST_VARIABLE")));
        QCOMPARE(list, (QStringList{QStringLiteral("a"), QString()}));
    }

    void moduleDirFromEnvironment()
    {
        EnvironmentGuard guard("ZEL_PULSE_MODULES_DIR");
        QTemporaryDir tree;
        makeProgram(tree.path(), QStringLiteral("module-cli.so"));
        qputenv("ZEL_PULSE_MODULES_DIR", QFile::encodeName(tree.path()));
        QCOMPARE(PathTools::getPulseaudioModuleDir(), tree.path());
    }

    void moduleDirWithoutModulesIsPassedOver()
    {
        EnvironmentGuard guard("ZEL_PULSE_MODULES_DIR");
        QTemporaryDir tree;
        qputenv("ZEL_PULSE_MODULES_DIR", QFile::encodeName(tree.path()));
        const QString found = PathTools::getPulseaudioModuleDir();
        QVERIFY(found != tree.path());
        if (!found.isEmpty())
            QVERIFY(QFileInfo::exists(found + QStringLiteral("/module-cli.so")));
    }

    void dataFolders()
    {
        const QString base = m_env.dataHome() + QStringLiteral("/ZEL Client Qt");
        QCOMPARE(PathTools::getClientDataDir(), base);
        QCOMPARE(PathTools::getLogDir(), m_env.logDir());
        QCOMPARE(PathTools::getPulseaudioHome(), base + QStringLiteral("/PulseAudio/Home"));
        QCOMPARE(PathTools::getPulseaudioStateDir(), base + QStringLiteral("/PulseAudio/State"));
        QCOMPARE(PathTools::getNxRoot(), base + QStringLiteral("/nx"));
        QVERIFY(!QFileInfo::exists(PathTools::getNxRoot()));
    }

    void dataFoldersWithoutXdgDataHome()
    {
        EnvironmentGuard guard("XDG_DATA_HOME");
        qunsetenv("XDG_DATA_HOME");
        QCOMPARE(PathTools::getLogDir(), m_env.home() + QStringLiteral("/.local/share/ZEL Client Qt/Logs"));
    }

    void usbDatabase()
    {
        const QString found = PathTools::getUsbDatabase();
        if (QFileInfo::exists(QStringLiteral("/usr/share/misc/usb.ids")))
            QCOMPARE(found, QStringLiteral("/usr/share/misc/usb.ids"));
        else if (!found.isEmpty())
            QVERIFY(QFileInfo(found).isFile());
    }
};

QTEST_GUILESS_MAIN(TestPathTools)
#include "tst_pathtools.moc"
