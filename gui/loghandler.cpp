#include "loghandler.h"

#include "helpers/privatefiles.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

void LogHandler::install(const QString &logDir)
{
    instance().openLogFile(logDir);
    qInstallMessageHandler(&LogHandler::handleMessage);
}

LogHandler &LogHandler::instance()
{
    // Never destroyed: Qt may still log while static objects are torn down at exit.
    static LogHandler *handler = new LogHandler;
    return *handler;
}

void LogHandler::openLogFile(const QString &logDir)
{
    const QMutexLocker locker(&m_mutex);
    m_logStream.setDevice(nullptr);
    m_logFile.close();
    // The log tells who connected where and when: for the user's eyes only, from its first byte
    // on, also a log that an earlier version left readable by others.
    PrivateFiles::makeFolder(logDir);
    m_logFile.setFileName(QDir(logDir).filePath(QStringLiteral("client.log")));
    PrivateFiles::ensureFile(m_logFile.fileName());
    if (!m_logFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        m_errorStream << "Failed to open log file " << QFileInfo(m_logFile).absoluteFilePath();
        m_errorStream.flush();
        return;
    }
    m_logStream.setDevice(&m_logFile);
}

QString LogHandler::sourcePath(const char *file)
{
    // The build maps the source tree's own folder away (gui/mainwindow.cpp); a compiler cache
    // may instead hand the compiler a path relative to the build folder (../../gui/...).
    QString path = QString::fromUtf8(file);
    while (path.startsWith(QLatin1String("../")) || path.startsWith(QLatin1String("./")))
        path.remove(0, path.indexOf(QLatin1Char('/')) + 1);
    return path;
}

QString LogHandler::formatLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QString label;
    switch (type) {
    case QtDebugMsg:
        label = QStringLiteral(" DEBUG");
        break;
    case QtInfoMsg:
        label = QStringLiteral(" INFO ");
        break;
    case QtWarningMsg:
        label = QStringLiteral(" WARN ");
        break;
    case QtCriticalMsg:
        label = QStringLiteral(" CRIT ");
        break;
    case QtFatalMsg:
        label = QStringLiteral(" FATAL");
        break;
    }

    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + label + QStringLiteral(" [")
        + sourcePath(context.file) + QLatin1Char(':') + QString::number(context.line)
        + QStringLiteral("] ") + message + QLatin1Char('\n');
}

void LogHandler::handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    instance().write(formatLine(type, context, message));
}

void LogHandler::write(const QString &line)
{
    const QMutexLocker locker(&m_mutex);
    if (m_logStream.device()) {
        m_logStream << line;
        m_logStream.flush();
    }
    m_errorStream << line;
    m_errorStream.flush();
}
