#include "sessionevents.h"

#include <QMetaEnum>

void SessionEvents::record(ZELClient &client, QStringList &events)
{
    QStringList *lines = &events;
    QObject::connect(&client, &ZELClient::connectionEstablished, &client, [lines]() { *lines << QStringLiteral("established"); });
    QObject::connect(&client, &ZELClient::vmListReceived, &client, [lines](const QList<ZELClient::VMInfo> &list) {
        *lines << QStringLiteral("list of %1").arg(list.size());
    });
    QObject::connect(&client, &ZELClient::vmConnected, &client,
                     [lines](int id) { *lines << QStringLiteral("vmConnected %1").arg(id); });
    QObject::connect(&client, &ZELClient::vmPoweredDown, &client,
                     [lines](int id) { *lines << QStringLiteral("vmPoweredDown %1").arg(id); });
    QObject::connect(&client, &ZELClient::connectionError, &client,
                     [lines](ZELClient::ConnectionError error, const QString &text) {
                         *lines << QStringLiteral("error %1: %2").arg(errorName(error), text);
                     });
    QObject::connect(&client, &ZELClient::connectionTerminated, &client, [lines]() { *lines << QStringLiteral("terminated"); });
}

QString SessionEvents::errorName(ZELClient::ConnectionError error)
{
    return QString::fromLatin1(QMetaEnum::fromType<ZELClient::ConnectionError>().valueToKey(error));
}
