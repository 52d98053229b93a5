#pragma once

#include <QString>
#include <QStringList>

#include "zelclient.h"

// What a session client reports, one readable line per signal, so that a test compares the
// whole sequence at once: "established", "list of 2", "vmConnected 5", "vmPoweredDown 5",
// "error Timeout: <text>", "terminated".
class SessionEvents
{
public:
    // Appends a line to events for every such signal of client, for as long as client lives.
    static void record(ZELClient &client, QStringList &events);
    // The enumeration's name, as the lines give it.
    static QString errorName(ZELClient::ConnectionError error);
};
