#pragma once

#include "zelclient.h"

#include <QString>

// The user's words for a session error, shared by the window's message boxes and the
// headless listing.
class ConnectionErrorText
{
public:
    static QString title(ZELClient::ConnectionError error);
};
