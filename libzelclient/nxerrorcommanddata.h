#pragma once

#include "zelclient_export.h"

#include <QString>

// One dialog request of the NX software, as its dialog program options give it.
class ZELCLIENT_EXPORT NXErrorCommandData
{
public:
    enum DialogType {
        NoDialog = 0,
        Ok = 1,
        Error = 2,
        YesNo = 3,
        YesNoSuspend = 4,
        Panic = 5,
        Pulldown = 6,
        Quit = 7
    };

    QString caption;
    QString message;
    QString window;
    bool local = false;
    int pid = 0;
    QString display;
    int type = NoDialog;

    // Sets type from its name ("yesno", ...); unknown names leave it unchanged.
    bool setTypeFromQString(const QString &text);
    // A dialog needs a type and something to say; the caption is optional.
    bool isComplete() const;
};
