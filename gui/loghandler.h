#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QTextStream>

// The process-wide log: every message becomes one line in "client.log" and the same line
// on standard error. Qt's own threads may log too, so a line is written under a lock.
class LogHandler
{
public:
    // Opens (appending) the log file in logDir; on failure lines still reach standard error.
    static void install(const QString &logDir);
    static QString formatLine(QtMsgType type, const QMessageLogContext &context, const QString &message);
    // The source file of a log statement as it is named in the source tree.
    static QString sourcePath(const char *file);

private:
    static void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);
    static LogHandler &instance();

    void openLogFile(const QString &logDir);
    void write(const QString &line);

    QMutex m_mutex;
    QFile m_logFile;
    QTextStream m_logStream;
    QTextStream m_errorStream{stderr, QIODevice::WriteOnly};
};
