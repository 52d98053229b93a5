#include "zelclient.h"

#include <QDebug>

QString speedToString(ZELConnectionParameters::ConnectionSpeed speed)
{
    switch (speed) {
    case ZELConnectionParameters::Modem:
        return QStringLiteral("modem");
    case ZELConnectionParameters::ISDN:
        return QStringLiteral("isdn");
    case ZELConnectionParameters::ADSL:
        return QStringLiteral("adsl");
    case ZELConnectionParameters::WAN:
        return QStringLiteral("wan");
    case ZELConnectionParameters::LAN:
        return QStringLiteral("lan");
    case ZELConnectionParameters::Local:
        return QStringLiteral("local");
    }
    qCritical() << "Can't convert speed " << static_cast<int>(speed)
                << " to string, new constant? Please fix me! Assuming ADSL.";
    return QStringLiteral("adsl");
}
