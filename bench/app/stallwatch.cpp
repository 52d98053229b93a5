// Loaded into ZEL_Client by the stall benchmark (LD_PRELOAD): a timer on the thread that makes
// the application object, the window's thread, that measures its own lateness. A timer due
// every 10 ms that fires much later tells that the thread was held up for that long: nothing
// else ran on it meanwhile, not the window, not a signal. Every lateness over 20 ms is appended
// to the file named by ZEL_STALL_REPORT as "late <wall-clock ms when it began> <ms>".

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr int TickMs = 10;
constexpr double NotedAboveMs = 20;

double wallClockMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

void startWatch()
{
    // The programs the client starts are not watched.
    ::unsetenv("LD_PRELOAD");
    const char *report = std::getenv("ZEL_STALL_REPORT");
    if (!report || !*report)
        return;
    const int file = ::open(report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (file < 0)
        return;

    auto *timer = new QTimer(QCoreApplication::instance());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(TickMs);
    auto last = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    QObject::connect(timer, &QTimer::timeout, [file, last] {
        const auto now = std::chrono::steady_clock::now();
        const double late = std::chrono::duration<double, std::milli>(now - *last).count() - TickMs;
        *last = now;
        if (late <= NotedAboveMs)
            return;
        char line[80];
        const int length = std::snprintf(line, sizeof line, "late %.1f %.1f\n", wallClockMs() - late, late);
        if (length > 0 && ::write(file, line, size_t(length)) < 0)
            return;
    });
    timer->start();
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startWatch)
