#include "benchloop.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QTcpServer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

const char *s_program = nullptr;
QHash<const void *, std::function<void()>> s_cleanups;
QFile *s_log = nullptr;
bool s_verbose = false;

void logMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' '
                            + message.toUtf8() + '\n';
    if (s_log)
        s_log->write(line), s_log->flush();
    if (s_verbose)
        std::fputs(line.constData(), stderr);
}

} // namespace

void BenchLoop::start(const char *program, const QString &logFile, bool verbose)
{
    s_program = program;
    s_verbose = verbose;
    auto *log = new QFile(logFile);
    if (!log->open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(QStringLiteral("cannot write %1").arg(logFile));
    s_log = log;
    qInstallMessageHandler(logMessage);
}

void BenchLoop::fail(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", s_program ? s_program : qPrintable(QCoreApplication::applicationName()),
                 qPrintable(text));
    const auto cleanups = s_cleanups;
    for (const std::function<void()> &cleanup : cleanups)
        cleanup();
    std::exit(1);
}

void BenchLoop::addCleanup(const void *owner, const std::function<void()> &cleanup)
{
    s_cleanups.insert(owner, cleanup);
}

void BenchLoop::removeCleanup(const void *owner)
{
    s_cleanups.remove(owner);
}

// The loop sleeps between two looks: a benchmark that measures its own CPU time must not spin.
bool BenchLoop::waitFor(const std::function<bool()> &done, int limitMs, int lookMs)
{
    if (done())
        return true;
    const QDeadlineTimer deadline(limitMs);
    bool met = false;
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&]() {
        met = done();
        if (met || deadline.hasExpired())
            loop.quit();
    });
    look.start(lookMs);
    loop.exec();
    return met;
}

QHash<QString, QString> BenchLoop::options(const QStringList &arguments, const QStringList &valued,
                                           const QStringList &switches, const QStringList &required,
                                           const QString &usage)
{
    QHash<QString, QString> found;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString name = arguments.at(i).mid(2);
        if (!arguments.at(i).startsWith(QLatin1String("--")))
            fail(usage);
        else if (valued.contains(name) && i + 1 < arguments.size())
            found.insert(name, arguments.at(++i));
        else if (switches.contains(name))
            found.insert(name, QString());
        else
            fail(usage);
    }
    for (const QString &name : required) {
        if (found.value(name).isEmpty())
            fail(usage);
    }
    return found;
}

int BenchLoop::freeDisplay()
{
    for (int display = 1700; display < 2700; ++display) {
        QTcpServer probe;
        if (!QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display))
            && !QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display))
            && probe.listen(QHostAddress::Any, static_cast<quint16>(6000 + display)))
            return display;
    }
    return -1;
}
