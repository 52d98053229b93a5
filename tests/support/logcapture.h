#pragma once

#include <QString>
#include <QStringList>

// Keeps every log message of the test program (and still passes it on to the previous
// handler), so that tests can check what was logged and what never was.
class LogCapture
{
public:
    // Installs the capturing handler once; later calls change nothing.
    static void install();
    static void clear();
    static QStringList &lines();
    // The number of messages that contain the text.
    static int count(const QString &text);
};
