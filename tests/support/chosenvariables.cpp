#include "chosenvariables.h"

#include <QSettings>

void ChosenVariables::store(const QStringList &names)
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("Params"));
    settings.remove(QStringLiteral("ZELEnvVar"));
    settings.beginWriteArray(QStringLiteral("ZELEnvVar"));
    for (int i = 0; i < names.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("envvar"), names.at(i));
    }
    settings.endArray();
    settings.endGroup();
}
