#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>

// What the benchmarks that run a session of the library in their own process share: their log,
// how they give up, waiting on the event loop, and a free display for the local X server.
class BenchLoop
{
public:
    // The longest a step may take before a benchmark gives up.
    static constexpr int StepLimitMs = 120000;

    // Names the program in failure messages and sends Qt's log to logFile, and also to standard
    // error when verbose.
    static void start(const char *program, const QString &logFile, bool verbose);
    // Says why the benchmark cannot go on and ends it with exit status 1, after running the
    // cleanups still registered.
    [[noreturn]] static void fail(const QString &text);
    // What fail() must still do for owner (end a child process), until owner removes it.
    static void addCleanup(const void *owner, const std::function<void()> &cleanup);
    static void removeCleanup(const void *owner);
    // Runs the event loop until done() holds, looking every lookMs; false when limitMs passed first.
    static bool waitFor(const std::function<bool()> &done, int limitMs = StepLimitMs, int lookMs = 5);
    // The options of a command line ("--name value" for those in valued, "--name" alone for
    // those in switches, with "" as value), by name without dashes; fails with usage on
    // anything else or when one in required is missing.
    static QHash<QString, QString> options(const QStringList &arguments, const QStringList &valued,
                                           const QStringList &switches, const QStringList &required,
                                           const QString &usage);
    // A display number with neither an X server nor its lock file; -1 when there is none.
    static int freeDisplay();
};
