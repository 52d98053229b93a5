#pragma once

#include "zelclient_export.h"

#include <QString>

// Files and folders that only their owner can open (folders 0700, files 0600), made so from the
// start: what the client logs and keeps is never readable by another user of the machine, not
// even for a moment while a file is new and empty.
class ZELCLIENT_EXPORT PrivateFiles
{
public:
    // Creates the folder, and every missing folder above it, for the owner alone. True when the
    // folder exists afterwards; the caller tells of a failure where it matters.
    static bool makeFolder(const QString &path);
    // Creates an empty file for the owner alone (and its folder as makeFolder does) when it is
    // missing, and makes an existing one private (see tighten). True when the file exists
    // afterwards.
    static bool ensureFile(const QString &path);
    // Takes every permission of group and others from root and everything below it: what an
    // older version left open. A file that others could open is replaced by a private copy, so
    // that whoever opened it before sees nothing written from now on. Links are not followed.
    static void tighten(const QString &root);
};
