#include "keyboarddetector.h"

#include <QDebug>

#include <windows.h>

namespace {

QString systemErrorText(DWORD error)
{
    LPSTR buffer = nullptr;
    const DWORD size = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                          | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<LPSTR>(&buffer), 1024, nullptr);
    const QString text = size ? QString::fromUtf8(buffer, static_cast<int>(size)) : QString();
    if (buffer)
        LocalFree(buffer);
    return text;
}

} // namespace

// The system answers at once: nothing to start ahead.
void KeyboardDetector::detectInBackground()
{
}

QString KeyboardDetector::getKeyboardLayout()
{
    QString result = QStringLiteral("pc105/en");

    char layoutName[KL_NAMELENGTH] = {};
    GetKeyboardLayoutNameA(layoutName);
    const QString layout = QString::fromUtf8(layoutName);
    qDebug().noquote().nospace() << "Keyboard layout: " << layout;

    unsigned int locale = 0;
    if (!localeFromLayoutName(layout, &locale)) {
        qCritical().noquote().nospace() << "Failed to convert layout ID " << layout.mid(2) << " to uint";
    } else {
        qDebug().nospace() << "Numeric id: " << locale;
        char language[255] = {};
        if (GetLocaleInfoA(locale, LOCALE_SISO639LANGNAME, language, sizeof(language)) == 0) {
            const DWORD error = GetLastError();
            qCritical().noquote().nospace() << "GetLocaleInfo failed with error '" << error << "("
                                            << systemErrorText(error) << "'. Can't determine keyboard layout.";
        } else {
            const QString name = QString::fromUtf8(language);
            qDebug().noquote().nospace() << "GetLocaleInfo returned '" << name << "'";
            result = QStringLiteral("pc105/") + name.toLower();
        }
    }

    qInfo().noquote().nospace() << "Final keyboard layout: " << result;
    return result;
}
