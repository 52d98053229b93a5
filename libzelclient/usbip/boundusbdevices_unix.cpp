#include "boundusbdevices.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool BoundUsbDevices::makePrivateFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    QDir().mkpath(QFileInfo(folder).path());
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        qWarning().noquote() << "Cannot create" << folder << ":" << qt_error_string(errno);
        return false;
    }
    // A folder that was there already must be the user's own, and is made private again.
    struct stat status {};
    if (::lstat(path.constData(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
        qWarning().noquote() << folder << "is not a folder of this user's own";
        return false;
    }
    if ((status.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0) {
        qWarning().noquote() << "Cannot make" << folder << "private:" << qt_error_string(errno);
        return false;
    }
    return true;
}

int BoundUsbDevices::createLockedFile(const QString &folder, QString &path)
{
    // mkostemp creates the file for its owner alone (0600), under a name nobody had.
    QByteArray name = QFile::encodeName(folder) + "/bound-XXXXXX";
    const int file = ::mkostemp(name.data(), O_CLOEXEC | O_APPEND);
    if (file < 0) {
        qWarning().noquote() << "Cannot create a file in" << folder << ":" << qt_error_string(errno);
        return -1;
    }
    path = QFile::decodeName(name);
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        qWarning().noquote() << "Cannot lock" << path << ":" << qt_error_string(errno);
        ::close(file);
        ::unlink(name.constData());
        return -1;
    }
    return file;
}

int BoundUsbDevices::lockLeftover(const QString &path)
{
    const int file = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0)
        return -1;
    // The lock of a client goes with its end, however it ends.
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        ::close(file);
        return -1;
    }
    return file;
}

bool BoundUsbDevices::appendLine(int file, const QByteArray &line)
{
    // One write per line, at the end: a line is there whole or, when the client dies in the
    // middle, cut short and skipped when read.
    return ::write(file, line.constData(), size_t(line.size())) == line.size() && ::fdatasync(file) == 0;
}

QByteArray BoundUsbDevices::readAll(int file)
{
    QByteArray content;
    char buffer[4096];
    ssize_t length = 0;
    // A record of a few bus ids; more than this is not one.
    while (content.size() < 65536 && (length = ::pread(file, buffer, sizeof buffer, content.size())) > 0)
        content.append(buffer, int(length));
    return content;
}

void BoundUsbDevices::closeFile(int file)
{
    ::close(file);
}
