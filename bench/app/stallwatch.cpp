// Loaded into ZEL_Client by the stall benchmark (LD_PRELOAD): a timer on the thread that makes
// the application object, the window's thread, that measures its own lateness. A timer due
// every 10 ms that fires much later tells that the thread was held up for that long: nothing
// else ran on it meanwhile, not the window, not a signal. Every lateness over 20 ms is appended
// to the file named by ZEL_STALL_REPORT as "late <wall-clock ms when it began> <ms>", followed
// by how the thread spent the time, as the kernel counts it: running, ready to run but waiting
// for a processor (the machine was busy), and blocked (it waited for something).

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

// What the kernel counts for this thread so far: time running, and time ready but waiting for
// a processor, in ms.
struct ThreadTimes
{
    double runningMs = 0;
    double queuedMs = 0;

    static ThreadTimes now()
    {
        ThreadTimes times;
        const int file = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
        if (file < 0)
            return times;
        char text[128] = {};
        const ssize_t length = ::read(file, text, sizeof text - 1);
        ::close(file);
        unsigned long long running = 0, queued = 0;
        if (length > 0 && std::sscanf(text, "%llu %llu", &running, &queued) == 2) {
            times.runningMs = double(running) / 1e6;
            times.queuedMs = double(queued) / 1e6;
        }
        return times;
    }
};

struct WatchState
{
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    ThreadTimes times = ThreadTimes::now();
};

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
    auto state = std::make_shared<WatchState>();
    QObject::connect(timer, &QTimer::timeout, [file, state] {
        const auto now = std::chrono::steady_clock::now();
        const ThreadTimes times = ThreadTimes::now();
        const double elapsed = std::chrono::duration<double, std::milli>(now - state->last).count();
        const double late = elapsed - TickMs;
        const double running = times.runningMs - state->times.runningMs;
        const double queued = times.queuedMs - state->times.queuedMs;
        state->last = now;
        state->times = times;
        if (late <= NotedAboveMs)
            return;
        char line[128];
        const int length = std::snprintf(line, sizeof line, "late %.1f %.1f %.1f %.1f %.1f\n", wallClockMs() - late, late,
                                         running, queued, elapsed - running - queued);
        if (length > 0 && ::write(file, line, size_t(length)) < 0)
            return;
    });
    timer->start();
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startWatch)
