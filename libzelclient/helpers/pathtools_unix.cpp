#include "pathtools.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

// XDG_DATA_HOME, else ~/.local/share.
QString dataRoot()
{
    const QString xdgDataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (!xdgDataHome.isEmpty())
        return xdgDataHome;
    return QDir::homePath() + QStringLiteral("/.local/share");
}

QString ownDir()
{
    return QCoreApplication::applicationDirPath();
}

// Folders where the system keeps the programs the client starts, after the client's own.
QStringList systemProgramDirs()
{
    // The helpers the client ships: beside an installation under any prefix, then the system's.
    QStringList dirs{QDir::cleanPath(ownDir() + QStringLiteral("/../lib/zel/bin")), QStringLiteral("/usr/lib/zel/bin")};
    // Empty PATH entries stand for the current folder; programs are never taken from there.
    dirs << qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    dirs << QStringLiteral("/usr/lib/openssh") << QStringLiteral("/usr/libexec/openssh")
         << QStringLiteral("/usr/sbin") << QStringLiteral("/sbin");
    dirs.removeDuplicates();
    return dirs;
}

} // namespace

QString PathTools::getClientDataDir()
{
    return dataRoot() + QStringLiteral("/ZEL Client Qt");
}

QString PathTools::getLogDir()
{
    return getClientDataDir() + QStringLiteral("/Logs");
}

QString PathTools::getPulseaudioHome()
{
    return getClientDataDir() + QStringLiteral("/PulseAudio/Home");
}

QString PathTools::getPulseaudioStateDir()
{
    return getClientDataDir() + QStringLiteral("/PulseAudio/State");
}

QString PathTools::getNxRoot()
{
    return getClientDataDir() + QStringLiteral("/nx");
}

QString PathTools::getPulseaudioBaseConfig()
{
    const QString dir = ownDir();
    qDebug().noquote().nospace() << "Trying to find default.pa under " << dir;
    const QString found = findFirstExistingFile({
        dir + QStringLiteral("/pulseaudio/default.pa"),
        dir + QStringLiteral("/ZEL Client Qt/pulseaudio/default.pa"),
        dir + QStringLiteral("/ZEL Client/pulseaudio/default.pa"),
        dir + QStringLiteral("/../share/zel-client/pulseaudio/default.pa"),
        QStringLiteral("/usr/share/zel-client/pulseaudio/default.pa"),
    });
    if (found.isEmpty()) {
        qCritical() << "Failed to find default.pa";
        return QString();
    }
    qDebug().noquote().nospace() << "default.pa found in " << QFileInfo(found).absolutePath();
    return QDir::toNativeSeparators(QDir::cleanPath(found));
}

QString PathTools::getPulseaudioModuleDir()
{
    QStringList dirs;
    addFromEnv(dirs, QStringLiteral("ZEL_PULSE_MODULES_DIR"));
    dirs << ownDir() + QStringLiteral("/../pulseaudio");
    // The system's modules live in a folder named after the PulseAudio version.
    for (const QString &lib : {QStringLiteral("/usr/lib"), QStringLiteral("/usr/lib64")}) {
        const QStringList versions =
            QDir(lib).entryList({QStringLiteral("pulse-*")}, QDir::Dirs, QDir::Name | QDir::Reversed);
        for (const QString &version : versions)
            dirs << lib + QLatin1Char('/') + version + QStringLiteral("/modules");
    }
    return findFirstExistingDir(dirs, {QStringLiteral("module-cli.so")});
}

QString PathTools::findBin(const QString &name, QStringList subdirs)
{
    const QString dir = ownDir();
    return findBinIn(name, subdirs, dir, {dir}, systemProgramDirs(), QString());
}

QString PathTools::getUsbDatabase()
{
    return findFirstExistingFile({
        ownDir() + QStringLiteral("/usb.ids"),
        QStringLiteral("/usr/share/misc/usb.ids"),
        QStringLiteral("/usr/share/hwdata/usb.ids"),
        QStringLiteral("/var/lib/usbutils/usb.ids"),
    });
}
