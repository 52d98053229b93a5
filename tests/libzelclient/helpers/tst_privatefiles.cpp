#include "helpers/privatefiles.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

int modeOf(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 0777) : -1;
}

bool writeFile(const QString &path, const QByteArray &content, int mode)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

} // namespace

// What the client keeps under its data folder is its user's alone, whatever the umask.
class TestPrivateFiles : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_umask = ::umask(0); }
    void cleanup() { ::umask(m_umask); }

    void createdPrivate_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("folder and the folders above it") << QString();
        QTest::newRow("file in a new folder") << QStringLiteral("client.log");
    }

    void createdPrivate()
    {
        QFETCH(QString, file);
        QTemporaryDir root;
        const QString folder = root.filePath(QStringLiteral("data/ZEL Client Qt/Logs"));
        if (file.isEmpty())
            QVERIFY(PrivateFiles::makeFolder(folder));
        else
            QVERIFY(PrivateFiles::ensureFile(folder + QLatin1Char('/') + file));
        for (const QString &made : {root.filePath(QStringLiteral("data")), root.filePath(QStringLiteral("data/ZEL Client Qt")), folder})
            QCOMPARE(modeOf(made), 0700);
        if (!file.isEmpty())
            QCOMPARE(modeOf(folder + QLatin1Char('/') + file), 0600);
    }

    // An older version left the log open: it is closed to others, and whoever opened it before
    // reads nothing written from then on.
    void leftOpenIsTightened_data()
    {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("fileMode");
        QTest::newRow("folder and log readable by all") << 0755 << 0644;
        QTest::newRow("log writable by the group") << 0700 << 0620;
        QTest::newRow("already private") << 0700 << 0600;
    }

    void leftOpenIsTightened()
    {
        QFETCH(int, folderMode);
        QFETCH(int, fileMode);
        QTemporaryDir root;
        const QString folder = root.filePath(QStringLiteral("Logs"));
        const QString log = folder + QStringLiteral("/client.log");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), mode_t(folderMode)) == 0);
        QVERIFY(writeFile(log, "old line\n", fileMode));
        // A file outside, linked from inside: not the client's to change.
        const QString outside = root.filePath(QStringLiteral("outside.txt"));
        QVERIFY(writeFile(outside, "not ours\n", 0644));
        QVERIFY(QFile::link(outside, folder + QStringLiteral("/link")));
        QFile earlyReader(log);
        QVERIFY(earlyReader.open(QIODevice::ReadOnly));
        QCOMPARE(earlyReader.readAll(), QByteArray("old line\n"));

        PrivateFiles::tighten(folder);

        QCOMPARE(modeOf(folder), 0700);
        QCOMPARE(modeOf(log), 0600);
        QCOMPARE(modeOf(outside), 0644);
        QFile again(log);
        QVERIFY(again.open(QIODevice::Append));
        again.write("new line\n");
        again.close();
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), QByteArray("old line\nnew line\n"));
        // A reader of the private file is the user: only one that came while it was open is cut off.
        QCOMPARE(earlyReader.readAll(), QByteArray(fileMode == 0600 ? "new line\n" : ""));
    }

private:
    mode_t m_umask = 022;
};

QTEST_GUILESS_MAIN(TestPrivateFiles)
#include "tst_privatefiles.moc"
