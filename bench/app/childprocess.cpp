#include "childprocess.h"

#include "benchclock.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && running())
        stop(2000);
    if (m_fd >= 0)
        close(m_fd);
}

bool ChildProcess::start(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
                         const std::string &workingDirectory, const std::string &outputFile)
{
    int pipeFds[2] = {-1, -1};
    if (outputFile.empty() && pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;

    m_startedMs = BenchClock::nowMs();
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // Nothing but async-signal-safe work would be strictly right here; the benchmark is
        // single-threaded, so plain library calls are fine.
        signal(SIGPIPE, SIG_DFL);
        for (const std::string &entry : environment) {
            const size_t equals = entry.find('=');
            if (equals == std::string::npos)
                unsetenv(entry.c_str());
            else
                setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
        if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0)
            _exit(127);
        int out = -1;
        if (outputFile.empty())
            out = pipeFds[1];
        else
            out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out < 0)
            _exit(127);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0)
            dup2(devNull, STDIN_FILENO);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    m_pid = pid;
    if (outputFile.empty()) {
        close(pipeFds[1]);
        m_fd = pipeFds[0];
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    }
    return true;
}

bool ChildProcess::running()
{
    if (m_pid <= 0 || m_status >= 0)
        return false;
    int status = 0;
    const pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return done == 0;
}

void ChildProcess::readAvailable()
{
    if (m_fd < 0)
        return;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(m_fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        const double now = BenchClock::nowMs();
        m_partial.append(buffer, size_t(got));
        size_t newline;
        while ((newline = m_partial.find('\n')) != std::string::npos) {
            m_lines.push_back({now, m_partial.substr(0, newline)});
            m_partial.erase(0, newline + 1);
        }
    }
}

void ChildProcess::stop(double graceMs)
{
    if (!running())
        return;
    kill(m_pid, SIGTERM);
    const double deadline = BenchClock::nowMs() + graceMs;
    while (running() && BenchClock::nowMs() < deadline)
        BenchClock::sleepMs(5);
    if (running()) {
        kill(m_pid, SIGKILL);
        while (running())
            BenchClock::sleepMs(5);
    }
    readAvailable();
}

int ChildProcess::runToEnd(const std::vector<std::string> &argv, double timeoutMs)
{
    ChildProcess helper;
    if (!helper.start(argv, {}, std::string(), "/dev/null"))
        return -1;
    const double deadline = BenchClock::nowMs() + timeoutMs;
    while (helper.running() && BenchClock::nowMs() < deadline)
        BenchClock::sleepMs(1);
    if (helper.running()) {
        helper.stop(500);
        return -1;
    }
    return helper.exitStatus();
}

void ChildProcess::becomeSubreaper()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

std::vector<pid_t> ChildProcess::childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    DIR *proc = opendir("/proc");
    if (!proc)
        return children;
    while (dirent *entry = readdir(proc)) {
        const pid_t pid = pid_t(std::atoi(entry->d_name));
        if (pid <= 0)
            continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text;
        std::getline(stat, text);
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
        const size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            children.push_back(pid);
    }
    closedir(proc);
    return children;
}

int ChildProcess::endOtherChildren(const std::vector<pid_t> &keep, double graceMs)
{
    auto others = [&keep] {
        std::vector<pid_t> list = childrenOf(getpid());
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&keep](pid_t pid) { return std::find(keep.begin(), keep.end(), pid) != keep.end(); }),
                   list.end());
        return list;
    };
    auto reap = [&others] {
        for (pid_t pid : others()) {
            int status = 0;
            waitpid(pid, &status, WNOHANG);
        }
    };

    std::vector<pid_t> found = others();
    const int count = int(found.size());
    for (pid_t pid : found)
        kill(pid, SIGTERM);
    const double deadline = BenchClock::nowMs() + graceMs;
    for (;;) {
        reap();
        found = others();
        if (found.empty())
            return count;
        if (BenchClock::nowMs() >= deadline)
            break;
        BenchClock::sleepMs(5);
    }
    for (pid_t pid : found)
        kill(pid, SIGKILL);
    while (!(found = others()).empty()) {
        reap();
        BenchClock::sleepMs(5);
    }
    return count;
}
