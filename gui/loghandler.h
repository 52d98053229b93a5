#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QTextStream>

// The process-wide log: every message becomes one line in "client.log" and, where the program
// shows a window, the same line on standard error. Qt's own threads may log too, so a line is
// written under a lock.
class LogHandler
{
public:
    // Opens (appending) the log file in logDir; on failure lines still reach standard error.
    // Lines for standard error are held until setLogOnStandardError() says where they go: the
    // program logs before it knows whether it answers in a terminal.
    static void install(const QString &logDir);
    // In a terminal's answers (version, help, listing, command-line errors) standard error is
    // for what the user must read, and the log stays in its file unless asked for.
    static void setLogOnStandardError(bool show);
    static bool logOnStandardError();
    static QString formatLine(QtMsgType type, const QMessageLogContext &context, const QString &message);
    // The source file of a log statement as it is named in the source tree.
    static QString sourcePath(const char *file);

private:
    static void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);
    static LogHandler &instance();

    void openLogFile(const QString &logDir);
    void write(QtMsgType type, const QString &line);
    void writeHeld();

    QMutex m_mutex;
    bool m_holding = false;
    bool m_toStandardError = true;
    QStringList m_held;
    // Why the log file could not be opened: the user learns it however the log is shown.
    QString m_openFailure;
    QFile m_logFile;
    QTextStream m_logStream;
    QTextStream m_errorStream{stderr, QIODevice::WriteOnly};
};
