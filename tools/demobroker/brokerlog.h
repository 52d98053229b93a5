#pragma once

#include <QString>

// Writes every log line, with a timestamp and its level, to standard error and, when asked,
// appends it to a log file as well.
class BrokerLog
{
public:
    static bool install(const QString &logFile, QString *error);
    static void uninstall();
};
