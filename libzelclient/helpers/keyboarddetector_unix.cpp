#include "keyboarddetector.h"

#include "helpers/pathtools.h"

#include <QDebug>
#include <QProcess>

QString KeyboardDetector::getKeyboardLayout()
{
    QString result = QStringLiteral("pc105/en");

    const QString display = qEnvironmentVariable("DISPLAY");
    const QString xprop = display.isEmpty() ? QString() : PathTools::findBin(QStringLiteral("xprop"), {});
    if (display.isEmpty()) {
        qWarning() << "No X display to read the keyboard layout from";
    } else if (xprop.isEmpty()) {
        qWarning() << "xprop not found, can't determine keyboard layout.";
    } else {
        QProcess process;
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(xprop, {QStringLiteral("-display"), display, QStringLiteral("-root"),
                              QStringLiteral("_XKB_RULES_NAMES")});
        if (!process.waitForFinished(5000)) {
            qCritical() << "Reading the XKB names failed:" << process.errorString();
            process.kill();
            process.waitForFinished(1000);
        } else {
            const QByteArray output = process.readAllStandardOutput();
            qDebug().noquote().nospace() << "Keyboard layout: " << QString::fromUtf8(output).trimmed();
            if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
                result = layoutFromXkbRulesNames(output);
            else
                qCritical().noquote() << "xprop failed:" << QString::fromUtf8(process.readAllStandardError()).trimmed();
        }
    }

    qInfo().noquote().nospace() << "Final keyboard layout: " << result;
    return result;
}
