#pragma once

#include "zelclient_export.h"

#include <QByteArray>
#include <QString>

// Tells which keyboard layout the user types with, as "pc105/" followed by the layout's code
// (for example pc105/es); "pc105/en" when it cannot be found out.
class ZELCLIENT_EXPORT KeyboardDetector
{
public:
    KeyboardDetector() = default;

    // Never holds the caller up for more than about 100 ms: where finding out takes a helper
    // program, its last answer is used.
    static QString getKeyboardLayout();
    // Starts finding out (again) in the background, so that the next getKeyboardLayout() has
    // a fresh answer.
    static void detectInBackground();

    // The layout of the X server's XKB names as xprop prints the root window's
    // _XKB_RULES_NAMES property (rules, model, layout, variant, options): "pc105/" and the
    // first layout in lower case, or "pc105/en" when the text holds none.
    static QString layoutFromXkbRulesNames(const QByteArray &xpropOutput);

    // A Windows keyboard layout identifier (eight hexadecimal digits) read as the locale
    // number of its last six digits; false when they are not hexadecimal.
    static bool localeFromLayoutName(const QString &layoutName, unsigned int *locale);
};
