#include "loghandler.h"

#include "helpers/privatefiles.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

namespace {
// More than a start-up logs before the program knows where its log goes.
constexpr int heldLineLimit = 1000;
}

void LogHandler::install(const QString &logDir)
{
    LogHandler &handler = instance();
    {
        const QMutexLocker locker(&handler.m_mutex);
        handler.m_holding = true;
    }
    handler.openLogFile(logDir);
    qInstallMessageHandler(&LogHandler::handleMessage);
}

void LogHandler::setLogOnStandardError(bool show)
{
    LogHandler &handler = instance();
    const QMutexLocker locker(&handler.m_mutex);
    handler.m_toStandardError = show;
    if (!handler.m_openFailure.isEmpty()) {
        // As a log line's prefix when the log follows; a line of its own when it does not.
        handler.m_errorStream << handler.m_openFailure << (show ? "" : "\n");
        handler.m_openFailure.clear();
    }
    if (show)
        handler.writeHeld();
    handler.m_held.clear();
    handler.m_holding = false;
    handler.m_errorStream.flush();
}

bool LogHandler::logOnStandardError()
{
    LogHandler &handler = instance();
    const QMutexLocker locker(&handler.m_mutex);
    return handler.m_toStandardError;
}

void LogHandler::writeHeld()
{
    for (const QString &line : qAsConst(m_held))
        m_errorStream << line;
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
        m_openFailure = QStringLiteral("Failed to open log file ") + QFileInfo(m_logFile).absoluteFilePath();
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
    instance().write(type, formatLine(type, context, message));
}

void LogHandler::write(QtMsgType type, const QString &line)
{
    const QMutexLocker locker(&m_mutex);
    if (m_logStream.device()) {
        m_logStream << line;
        m_logStream.flush();
    }
    if (m_holding && type != QtFatalMsg) {
        if (m_held.size() < heldLineLimit)
            m_held << line;
        return;
    }
    // The program is about to abort: whatever was held tells why.
    if (m_holding) {
        m_errorStream << m_openFailure;
        m_openFailure.clear();
        writeHeld();
        m_held.clear();
    }
    if (m_toStandardError || type == QtFatalMsg) {
        m_errorStream << line;
        m_errorStream.flush();
    }
}
