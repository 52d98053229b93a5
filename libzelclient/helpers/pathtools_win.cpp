#include "pathtools.h"

QString PathTools::getClientDataDir()
{
    // An unset LOCALAPPDATA leaves the path starting with the backslash.
    return qEnvironmentVariable("LOCALAPPDATA") + QStringLiteral("\\ZEL Client Qt");
}

QString PathTools::getLogDir()
{
    return getClientDataDir() + QStringLiteral("\\Logs");
}
