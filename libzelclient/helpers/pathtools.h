#pragma once

#include "zelclient_export.h"

#include <QString>

// Where the client finds its folders, data files and the outside programs it starts.
// Every call looks at the file system and the environment afresh.
class ZELCLIENT_EXPORT PathTools
{
public:
    // Per-user data folder of the client ("ZEL Client Qt" under the platform's data root).
    static QString getClientDataDir();
    static QString getLogDir();
};
