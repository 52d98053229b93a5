#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A program started by the benchmark. Its standard output and error either come back through
// one pipe, read line by line with the time each line arrived, or go to a file.
class ChildProcess
{
public:
    struct Line
    {
        double arrivedMs;
        std::string text;
    };

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Environment entries "NAME=value" replace or add to the benchmark's own environment.
    // outputFile empty: output through the pipe. Returns false when fork fails; a program that
    // cannot be executed ends at once with status 127.
    bool start(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
               const std::string &workingDirectory, const std::string &outputFile = std::string());

    pid_t pid() const { return m_pid; }
    int outputFd() const { return m_fd; }
    double startedMs() const { return m_startedMs; }
    bool running();
    int exitStatus() const { return m_status; }

    // Reads what the pipe has now; complete lines are appended to lines().
    void readAvailable();
    std::vector<Line> &lines() { return m_lines; }

    // SIGTERM, then SIGKILL after graceMs; waits for the end.
    void stop(double graceMs = 5000);

    // Runs a short helper program to its end (at most timeoutMs); its exit status or -1.
    static int runToEnd(const std::vector<std::string> &argv, double timeoutMs = 10000);
    // Orphaned descendants of the programs started here come back to this process.
    static void becomeSubreaper();
    // Processes whose parent is the given process.
    static std::vector<pid_t> childrenOf(pid_t parent);
    // Ends every child of this process except the ones listed (SIGTERM, SIGKILL after graceMs),
    // and reaps them. Returns how many there were.
    static int endOtherChildren(const std::vector<pid_t> &keep, double graceMs = 5000);

private:
    pid_t m_pid = -1;
    int m_fd = -1;
    int m_status = -1;
    double m_startedMs = 0;
    std::string m_partial;
    std::vector<Line> m_lines;
};
