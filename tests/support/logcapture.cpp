#include "logcapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QStringList s_lines;
QMutex s_mutex;
QtMessageHandler s_previousHandler = nullptr;
bool s_installed = false;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        const QMutexLocker locker(&s_mutex);
        s_lines << message;
    }
    if (s_previousHandler)
        s_previousHandler(type, context, message);
}

} // namespace

void LogCapture::install()
{
    if (s_installed)
        return;
    s_installed = true;
    s_previousHandler = qInstallMessageHandler(captureMessage);
}

void LogCapture::clear()
{
    const QMutexLocker locker(&s_mutex);
    s_lines.clear();
}

QStringList &LogCapture::lines()
{
    return s_lines;
}

int LogCapture::count(const QString &text)
{
    const QMutexLocker locker(&s_mutex);
    int found = 0;
    for (const QString &line : qAsConst(s_lines))
        found += line.contains(text) ? 1 : 0;
    return found;
}
