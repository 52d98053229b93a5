#pragma once

#include "zelclient_export.h"

#include <QString>
#include <QStringList>

// Where the client finds its folders, data files and the outside programs it starts.
// Every call looks at the file system and the environment afresh and logs what it tries.
// An empty string means "not found". The folder operations only build paths; they neither
// check nor create the folders.
class ZELCLIENT_EXPORT PathTools
{
public:
    // Per-user data folder of the client ("ZEL Client Qt" under the platform's data root).
    static QString getClientDataDir();
    static QString getLogDir();
    static QString getPulseaudioHome();
    static QString getPulseaudioStateDir();
    // Folder in which nxproxy keeps its session folders (NX_ROOT).
    static QString getNxRoot();

    // The PulseAudio configuration shipped with the client, in native separators.
    static QString getPulseaudioBaseConfig();
    // The folder that holds the PulseAudio modules.
    static QString getPulseaudioModuleDir();
    // Full path of an outside program, searched in the client's own folders first.
    static QString findBin(const QString &name, QStringList subdirs);
    static QString getUsbDatabase();

    // The search rules themselves, the same on every platform; the operations above feed them
    // the platform's folders.

    // Finds name + suffix in: ownDir; then, for every subfolder (the given ones followed by
    // the client's installation folders) and every root, root/subfolder and its "bin" folder
    // when they exist; then systemDirs. Empty roots and folders are skipped (they would stand
    // for the current folder).
    static QString findBinIn(const QString &name, const QStringList &subdirs, const QString &ownDir,
                             const QStringList &roots, const QStringList &systemDirs,
                             const QString &suffix);
    // The first entry of dirs that is an existing folder and, unless files is empty, holds at
    // least one of files.
    static QString findFirstExistingDir(const QStringList &dirs, const QStringList &files);
    // Appends the value of the environment variable name to list if it is set (even empty).
    static bool addFromEnv(QStringList &list, const QString &name);
    // The first of files that exists as a regular file.
    static QString findFirstExistingFile(const QStringList &files);
};
