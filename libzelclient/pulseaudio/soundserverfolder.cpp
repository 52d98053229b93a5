#include "soundserverfolder.h"

#include "helpers/privatefiles.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

const char *const ClientStampFile = "client";
// Written by the server itself into its runtime folder.
const char *const ServerPidFile = "pid";

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(256).trimmed() : QByteArray();
}

} // namespace

QString SoundServerFolder::create(const QString &parent)
{
    // One process may run several sessions, one after the other.
    static int sessions = 0;
    const qint64 pid = QCoreApplication::applicationPid();
    const QString folder = QStringLiteral("%1/%2-%3").arg(parent).arg(pid).arg(++sessions);
    remove(folder);
    const QString stampPath = folder + QLatin1Char('/') + QLatin1String(ClientStampFile);
    QFile stamp(stampPath);
    if (!PrivateFiles::makeFolder(folder) || !PrivateFiles::ensureFile(stampPath) || !stamp.open(QIODevice::WriteOnly)
        || stamp.write(processStamp(pid).toUtf8()) < 0) {
        qWarning().nospace().noquote() << "Cannot make the sound server's folder " << folder;
        return QString();
    }
    return folder;
}

QString SoundServerFolder::serverSocket(const QString &folder)
{
    return folder + QStringLiteral("/native");
}

void SoundServerFolder::remove(const QString &folder)
{
    QDir(folder).removeRecursively();
}

void SoundServerFolder::endAbandoned(const QString &parent)
{
    static const QRegularExpression sessionName(QStringLiteral("^(\\d+)-\\d+$"));
    const QStringList entries = QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &entry : entries) {
        const QRegularExpressionMatch match = sessionName.match(entry);
        if (!match.hasMatch())
            continue;
        const QString folder = parent + QLatin1Char('/') + entry;
        const QString running = processStamp(match.captured(1).toLongLong());
        const QByteArray stamp = readSmallFile(folder + QLatin1Char('/') + QLatin1String(ClientStampFile));
        // A folder whose stamp is not written yet belongs to a client that is just starting.
        if (!running.isEmpty() && (stamp.isEmpty() || running == QString::fromUtf8(stamp)))
            continue;
        bool ok = false;
        const qint64 server = readSmallFile(folder + QLatin1Char('/') + QLatin1String(ServerPidFile)).toLongLong(&ok);
        qInfo().nospace().noquote() << "Ending the sound server left in " << folder << " by a client that is gone";
        if (ok && server > 0)
            endServer(server, folder);
        remove(folder);
    }
}
