#pragma once

#include <functional>

class QProcess;

// Ends child programs without waiting for them. Closing or deleting a running QProcess waits
// for the program to go, on the thread that does it: for the window's thread, that is a window
// that stops answering. Instead the program is killed (or asked to end, and killed when it has
// not within a grace time), its QProcess is taken from its owner, who may go at once, and it is
// deleted once the program has ended.
class ProcessReaper
{
public:
    // Takes the process over: nothing its owner connected hears of it any more. graceMs 0 kills
    // the program at once; otherwise it is asked to end (SIGTERM on Unix) and killed after
    // graceMs. A process that is not running is deleted later, like the others. ended, when
    // given, runs once the program has ended (at once when it is not running).
    static void end(QProcess *process, int graceMs = 0, const std::function<void()> &ended = nullptr);
};
