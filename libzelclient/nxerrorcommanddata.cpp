#include "nxerrorcommanddata.h"

#include <QStringList>

bool NXErrorCommandData::setTypeFromQString(const QString &text)
{
    // Index in this list is the type number minus one.
    static const QStringList names = {
        QStringLiteral("ok"),    QStringLiteral("error"),    QStringLiteral("yesno"), QStringLiteral("yesnosuspend"),
        QStringLiteral("panic"), QStringLiteral("pulldown"), QStringLiteral("quit"),
    };

    const int index = names.indexOf(text.trimmed().toLower());
    if (index < 0)
        return false;
    type = index + 1;
    return true;
}

bool NXErrorCommandData::isComplete() const
{
    return !message.isEmpty() && type != NoDialog;
}
