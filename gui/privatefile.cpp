#include "privatefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool PrivateFile::ensure(const QString &path)
{
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    QFile file(path);
    if (!file.exists()) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        // Created empty and restricted before anything is written into it, so that no secret
        // is ever readable by others, not even for a moment.
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return false;
        file.close();
    }
    return file.setPermissions(ownerOnly);
}
