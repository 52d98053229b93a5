#include "pathtools.h"

#include <QDir>

namespace {

// XDG_DATA_HOME, else ~/.local/share.
QString dataRoot()
{
    const QString xdgDataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (!xdgDataHome.isEmpty())
        return xdgDataHome;
    return QDir::homePath() + QStringLiteral("/.local/share");
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
