#include "keyboarddetector.h"

#include "helpers/pathtools.h"

#include <QCoreApplication>
#include <QDebug>
#include <QPointer>
#include <QProcess>
#include <QTimer>

namespace {

// The query must never hold up the window: it runs in the background, and its answer serves
// the next connection. A query that is still running after this long is given up.
constexpr int QueryLimitMs = 5000;
// The longest a caller waits for a first answer.
constexpr int FirstAnswerWaitMs = 100;

struct LayoutCache {
    QString display;
    QString layout;
    QPointer<QProcess> query;
    QString queryDisplay;
};

LayoutCache &cache()
{
    static LayoutCache instance;
    return instance;
}

void queryFinished(QProcess *process, const QString &display)
{
    QString layout = QStringLiteral("pc105/en");
    const QByteArray output = process->readAllStandardOutput();
    qDebug().noquote().nospace() << "Keyboard layout: " << QString::fromUtf8(output).trimmed();
    if (process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0)
        layout = KeyboardDetector::layoutFromXkbRulesNames(output);
    else
        qCritical().noquote() << "xprop failed:" << QString::fromUtf8(process->readAllStandardError()).trimmed();
    cache().display = display;
    cache().layout = layout;
    process->deleteLater();
}

// Starts reading the XKB names of the display, unless a query for it is already running.
void startQuery(const QString &display, const QString &xprop)
{
    LayoutCache &state = cache();
    if (state.query && state.queryDisplay == display)
        return;
    auto *process = new QProcess(QCoreApplication::instance());
    state.query = process;
    state.queryDisplay = display;
    process->setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process,
                     [process, display] { queryFinished(process, display); });
    QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        qCritical() << "Reading the XKB names failed:" << process->errorString();
        process->deleteLater();
    });
    QTimer::singleShot(QueryLimitMs, process, [process] {
        qCritical() << "Reading the XKB names takes too long, giving up";
        process->kill();
    });
    process->start(xprop, {QStringLiteral("-display"), display, QStringLiteral("-root"),
                           QStringLiteral("_XKB_RULES_NAMES")});
}

} // namespace

void KeyboardDetector::detectInBackground()
{
    const QString display = qEnvironmentVariable("DISPLAY");
    const QString xprop = display.isEmpty() ? QString() : PathTools::findBin(QStringLiteral("xprop"), {});
    if (!xprop.isEmpty())
        startQuery(display, xprop);
}

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
        LayoutCache &state = cache();
        const bool known = state.display == display;
        // A known answer is used as it is; a first one is waited for briefly. The caller is a
        // connection being set up, which a new helper program would slow down: starting one
        // copies the whole process, and it then pays for every page it writes to. Answers are
        // refreshed by detectInBackground() while nothing else goes on.
        if (!known) {
            startQuery(display, xprop);
            if (state.query)
                state.query->waitForFinished(FirstAnswerWaitMs);
        }
        if (state.display == display)
            result = state.layout;
        else
            qWarning() << "The keyboard layout is not known yet";
    }

    qInfo().noquote().nospace() << "Final keyboard layout: " << result;
    return result;
}
