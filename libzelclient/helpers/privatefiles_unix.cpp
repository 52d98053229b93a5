#include "privatefiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const mode_t OthersMask = S_IRWXG | S_IRWXO;

// A file that group or others could open, copied into a new private file that takes its place.
bool replaceWithPrivateCopy(const QString &path)
{
    const QString copyPath = path + QStringLiteral(".private");
    ::unlink(QFile::encodeName(copyPath).constData());
    const int copy = ::open(QFile::encodeName(copyPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (copy < 0)
        return false;
    QFile original(path);
    bool ok = original.open(QIODevice::ReadOnly);
    char buffer[65536];
    while (ok) {
        const qint64 got = original.read(buffer, sizeof(buffer));
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = ::write(copy, buffer, size_t(got)) == got;
    }
    ::close(copy);
    if (!ok || ::rename(QFile::encodeName(copyPath).constData(), QFile::encodeName(path).constData()) != 0) {
        ::unlink(QFile::encodeName(copyPath).constData());
        return false;
    }
    return true;
}

} // namespace

bool PrivateFiles::makeFolder(const QString &path)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QStringList parts = absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current;
    for (const QString &part : parts) {
        current += QLatin1Char('/') + part;
        if (::mkdir(QFile::encodeName(current).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return QFileInfo(absolute).isDir();
}

bool PrivateFiles::ensureFile(const QString &path)
{
    if (!makeFolder(QFileInfo(path).absolutePath()))
        return false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    tighten(path);
    return true;
}

void PrivateFiles::tighten(const QString &root)
{
    struct stat status;
    const QByteArray name = QFile::encodeName(root);
    if (::lstat(name.constData(), &status) != 0 || S_ISLNK(status.st_mode))
        return;
    if (status.st_mode & OthersMask) {
        const bool replaced = S_ISREG(status.st_mode) && replaceWithPrivateCopy(root);
        if (!replaced && ::chmod(name.constData(), status.st_mode & 07777 & ~OthersMask) != 0)
            qWarning().nospace().noquote() << "Cannot make " << root << " private: " << std::strerror(errno);
        else
            qInfo().nospace().noquote() << "Made " << root << " private; it was open to other users";
    }
    if (!S_ISDIR(status.st_mode))
        return;
    const QStringList entries =
        QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &entry : entries)
        tighten(root + QLatin1Char('/') + entry);
}
