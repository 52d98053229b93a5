#include "keyboarddetector.h"

#include <QDebug>
#include <QRegularExpression>

namespace {

const char fallbackLayout[] = "pc105/en";

} // namespace

QString KeyboardDetector::layoutFromXkbRulesNames(const QByteArray &xpropOutput)
{
    // _XKB_RULES_NAMES(STRING) = "evdev", "pc105", "us,de", "", ""
    const int equals = xpropOutput.indexOf('=');
    if (equals < 0)
        return QString::fromLatin1(fallbackLayout);

    static const QRegularExpression quoted(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\""));
    QStringList values;
    auto it = quoted.globalMatch(QString::fromUtf8(xpropOutput.mid(equals + 1)));
    while (it.hasNext())
        values << it.next().captured(1);
    if (values.size() < 3)
        return QString::fromLatin1(fallbackLayout);

    const QString layout = values.at(2).section(QLatin1Char(','), 0, 0).trimmed().toLower();
    // Only a plain layout name may travel on to the broker.
    static const QRegularExpression plain(QStringLiteral("^[a-z0-9_-]+$"));
    if (!plain.match(layout).hasMatch())
        return QString::fromLatin1(fallbackLayout);
    return QStringLiteral("pc105/") + layout;
}

bool KeyboardDetector::localeFromLayoutName(const QString &layoutName, unsigned int *locale)
{
    const QString digits = layoutName.mid(2);
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{1,6}$"));
    if (!hex.match(digits).hasMatch())
        return false;
    if (locale)
        *locale = digits.toUInt(nullptr, 16);
    return true;
}
