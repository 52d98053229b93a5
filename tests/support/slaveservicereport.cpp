#include "slaveservicereport.h"

#include <QFile>
#include <QJsonDocument>

QList<QJsonObject> SlaveServiceReport::entries(const QString &path, const QString &event)
{
    QList<QJsonObject> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.value(QStringLiteral("event")).toString() == event)
            entries << entry;
    }
    return entries;
}
