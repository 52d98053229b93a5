#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

// The demo VM's slave service writes what it saw to a report file (ZEL_SLAVE_REPORT), one JSON
// object a line; tests read it while the service still runs.
class SlaveServiceReport
{
public:
    // The entries of the file at path whose "event" is event, in the order written; none when
    // the file does not exist yet.
    static QList<QJsonObject> entries(const QString &path, const QString &event);
};
