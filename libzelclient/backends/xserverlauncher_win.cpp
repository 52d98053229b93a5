#include "xserverlauncher.h"

#include "helpers/pathtools.h"

bool XServerLauncher::knownServer(QString &program)
{
    program = PathTools::findBin(QStringLiteral("vcxsrv"), {QStringLiteral("vcxsrv.zel"), QStringLiteral("vcxsrv")});
    return true;
}

void XServerLauncher::chooseServer()
{
    QString program;
    knownServer(program);
    serverChosen(program);
}

QProcess *XServerLauncher::createProcess(QObject *parent)
{
    return new QProcess(parent);
}

unsigned short XServerLauncher::chooseDisplay() const
{
    return m_display;
}

QStringList XServerLauncher::serverArguments()
{
    return vcxsrvArguments(m_display, PathTools::getLogDir());
}

QString XServerLauncher::clientDisplay() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_display);
}

void XServerLauncher::admitOwnUser()
{
    becomeRunning();
}

bool XServerLauncher::answeringServerIsOurs() const
{
    // The Windows server keeps no lock file; the display was checked free before the start.
    return true;
}
