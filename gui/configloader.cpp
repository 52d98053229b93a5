#include "configloader.h"

#include <QDebug>
#include <QSettings>

ZELConnectionParameters ConfigLoader::loadConnectionParameters()
{
    ZELConnectionParameters parameters;
    qDebug() << "Loading settings";

    QSettings settings;
    settings.beginGroup(QStringLiteral("Connection"));
    parameters.setHost(settings.value(QStringLiteral("host"), QString()).toString());
    parameters.setConnectionSpeed(static_cast<ZELConnectionParameters::ConnectionSpeed>(
        settings.value(QStringLiteral("speed"), 0).toInt()));
    parameters.setSharedFolders(settings.value(QStringLiteral("shared_folders"), QStringList()).toStringList());
    settings.endGroup();

    return parameters;
}
