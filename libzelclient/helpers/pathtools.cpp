#include "pathtools.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

// Where an installation of the client keeps the programs it ships, below each root.
const QStringList &installationSubdirs()
{
    static const QStringList subdirs{QStringLiteral("ZEL Client Qt"), QStringLiteral("ZEL Client Qt/pulseaudio"),
                                     QStringLiteral("ZEL Client"), QStringLiteral("ZEL Client/pulseaudio")};
    return subdirs;
}

} // namespace

QString PathTools::findBinIn(const QString &name, const QStringList &subdirs, const QString &ownDir,
                             const QStringList &roots, const QStringList &systemDirs, const QString &suffix)
{
    qInfo().noquote().nospace() << "Searching for " << name << " in " << subdirs.join(QStringLiteral(", "));

    QStringList candidates;
    if (!ownDir.isEmpty())
        candidates << ownDir;

    const QStringList names = subdirs + installationSubdirs();
    for (const QString &subdir : names) {
        if (subdir.isEmpty())
            continue;
        for (const QString &root : roots) {
            if (root.isEmpty())
                continue;
            qDebug().noquote().nospace() << "Trying " << root << "/" << subdir;
            const QString dir = QDir(root).filePath(subdir);
            if (!QFileInfo(dir).isDir())
                continue;
            qDebug().noquote().nospace() << "Found dir " << dir;
            candidates << dir;

            qDebug().noquote().nospace() << "Trying " << dir << "/bin";
            const QString bin = QDir(dir).filePath(QStringLiteral("bin"));
            if (QFileInfo(bin).isDir()) {
                qDebug().noquote().nospace() << "Found dir " << bin;
                candidates << bin;
            }
        }
    }

    for (const QString &dir : systemDirs) {
        if (!dir.isEmpty())
            candidates << dir;
    }

    for (const QString &dir : qAsConst(candidates)) {
        const QString path = QDir(dir).filePath(name + suffix);
        qDebug().noquote().nospace() << "Checking for " << path;
        const QFileInfo info(path);
        if (info.isFile() && info.isExecutable()) {
            qInfo().noquote().nospace() << "Found at " << path;
            return path;
        }
    }

    qCritical().noquote().nospace() << "Failed to find " << name << "; looked in "
                                    << candidates.join(QStringLiteral(", "));
    return QString();
}

QString PathTools::findFirstExistingDir(const QStringList &dirs, const QStringList &files)
{
    for (const QString &dir : dirs) {
        const QFileInfo info(dir);
        if (!info.exists()) {
            qDebug().noquote() << "Testing" << info.absoluteFilePath() << ": Doesn't exist, failed.";
            continue;
        }
        if (!info.isDir()) {
            qDebug().noquote() << "Testing" << info.absoluteFilePath() << ": not a directory, failed.";
            continue;
        }
        if (files.isEmpty()) {
            qDebug().noquote() << "Testing" << info.absoluteFilePath() << ": Success, no file check.";
            return dir;
        }
        for (const QString &file : files) {
            const QFileInfo fileInfo(QDir(dir).filePath(file));
            if (fileInfo.exists()) {
                qDebug().noquote() << "Testing" << fileInfo.absoluteFilePath() << ": success, file found.";
                return dir;
            }
            qDebug().noquote() << "Testing" << fileInfo.absoluteFilePath() << ": failure, not found.";
        }
    }
    qWarning() << "Failed to find any of" << dirs << "with files" << files;
    return QString();
}

bool PathTools::addFromEnv(QStringList &list, const QString &name)
{
    const QByteArray key = name.toLocal8Bit();
    if (!qEnvironmentVariableIsSet(key.constData())) {
        qDebug().noquote().nospace() << name << " is not set";
        return false;
    }
    const QString value = qEnvironmentVariable(key.constData());
    list << value;
    qDebug().noquote().nospace() << "Adding value from " << name << ": '" << value << "'";
    return true;
}

QString PathTools::findFirstExistingFile(const QStringList &files)
{
    for (const QString &file : files) {
        const QFileInfo info(file);
        if (info.isFile()) {
            qDebug().noquote().nospace() << "Testing " << info.absoluteFilePath() << ": success, file found.";
            return info.absoluteFilePath();
        }
        qDebug().noquote().nospace() << "Testing " << info.absoluteFilePath() << ": failure, not found.";
    }
    qWarning() << "Failed to find any of" << files;
    return QString();
}
