#include "sftpserverprocess.h"

#include <QString>

SftpServerProcess::SftpServerProcess(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_folder(folder)
{
}

SftpServerProcess::~SftpServerProcess()
{
    end();
}

void SftpServerProcess::report(bool served, const QString &reason)
{
    if (m_reported)
        return;
    m_reported = true;
    if (served)
        emit serving();
    else
        emit failed(reason);
}

QStringList SftpServerProcess::windowsArguments(const QString &program, const QString &folder,
                                                const QString &logFile, const QString &socketRecordFile)
{
    return {program,
            QStringLiteral("-v"),
            QStringLiteral("-d"), folder,
            QStringLiteral("-L"), logFile,
            QStringLiteral("-F"), socketRecordFile};
}

QString SftpServerProcess::windowsCommandLine(const QStringList &arguments)
{
    QString commandLine;
    for (QString argument : arguments) {
        argument.replace(QLatin1Char('"'), QStringLiteral("\\\""));
        argument.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
        if (argument.contains(QLatin1Char(' ')) || argument.contains(QLatin1Char('\t')))
            commandLine += QLatin1Char('"') + argument + QStringLiteral("\" ");
        else
            commandLine += argument + QLatin1Char(' ');
    }
    return commandLine;
}
