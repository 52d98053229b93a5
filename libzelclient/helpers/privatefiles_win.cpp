#include "privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

// The user's profile folders are the user's alone by their access lists; files made in them
// inherit that.
bool PrivateFiles::makeFolder(const QString &path)
{
    return QDir().mkpath(path);
}

bool PrivateFiles::ensureFile(const QString &path)
{
    if (!makeFolder(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append);
}

void PrivateFiles::tighten(const QString &root)
{
    Q_UNUSED(root)
}
