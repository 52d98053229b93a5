#pragma once

#include "zelclient.h"

#include <QString>

// The user's words for a session error, shared by the window's message boxes and the
// headless listing.
class ConnectionErrorText
{
public:
    static QString title(ZELClient::ConnectionError error);
    // The session's description of an error, in the user's language where the window knows
    // what the session means.
    static QString description(ZELClient::ConnectionError error, const QString &sessionText);
};
