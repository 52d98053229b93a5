#include "pathtools.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

QString localAppData()
{
    // An unset LOCALAPPDATA leaves the path starting with the backslash.
    return qEnvironmentVariable("LOCALAPPDATA");
}

QString ownDir()
{
    return QCoreApplication::applicationDirPath();
}

QStringList roots()
{
    return {qEnvironmentVariable("PROGRAMFILES"), qEnvironmentVariable("PROGRAMFILES(x86)"), ownDir()};
}

} // namespace

QString PathTools::getClientDataDir()
{
    return localAppData() + QStringLiteral("\\ZEL Client Qt");
}

QString PathTools::getLogDir()
{
    return getClientDataDir() + QStringLiteral("\\Logs");
}

QString PathTools::getPulseaudioHome()
{
    return getClientDataDir() + QStringLiteral("\\PulseAudio\\Home");
}

QString PathTools::getPulseaudioStateDir()
{
    return getClientDataDir() + QStringLiteral("\\PulseAudio\\State");
}

QString PathTools::getNxRoot()
{
    return localAppData();
}

QString PathTools::getPulseaudioBaseConfig()
{
    const QString dir = ownDir();
    qDebug().noquote().nospace() << "Trying to find default.pa under " << dir;
    if (QFileInfo::exists(dir + QStringLiteral("/pulseaudio/default.pa"))) {
        qDebug().noquote().nospace() << "default.pa found in " << dir;
        return QDir::toNativeSeparators(QFileInfo(dir + QStringLiteral("/pulseaudio/default.pa")).absoluteFilePath());
    }

    for (const QString &root : roots()) {
        if (root.isEmpty())
            continue;
        qDebug().noquote().nospace() << "Trying to find default.pa under " << root;
        for (const QString &sub : {QStringLiteral("/ZEL Client Qt/pulseaudio/default.pa"),
                                   QStringLiteral("/ZEL Client/pulseaudio/default.pa")}) {
            if (QFileInfo::exists(root + sub)) {
                qDebug().noquote().nospace() << "default.pa found in " << root;
                return QDir::toNativeSeparators(QFileInfo(root + sub).absoluteFilePath());
            }
        }
    }
    qCritical() << "Failed to find default.pa";
    return QString();
}

QString PathTools::getPulseaudioModuleDir()
{
    QStringList dirs;
    addFromEnv(dirs, QStringLiteral("ZEL_PULSE_MODULES_DIR"));
    dirs << ownDir() + QStringLiteral("/../pulseaudio");
    return findFirstExistingDir(dirs, {QStringLiteral("module-cli.dll")});
}

QString PathTools::findBin(const QString &name, QStringList subdirs)
{
    return findBinIn(name, subdirs, ownDir(), roots(), QStringList(), QStringLiteral(".exe"));
}

QString PathTools::getUsbDatabase()
{
    return ownDir() + QStringLiteral("\\usb.ids");
}
