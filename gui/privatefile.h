#pragma once

#include <QString>

// Files that may hold secrets (the log, the settings with a remembered password) are kept
// readable and writable by their owner alone.
class PrivateFile
{
public:
    // Creates the file, empty, when it is missing, and takes every permission from group and
    // others. False when the file cannot be created or its permissions cannot be changed; the
    // caller reports that when it matters (the log handler may not be installed yet).
    static bool ensure(const QString &path);
};
