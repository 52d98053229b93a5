#pragma once

#include <string>
#include <vector>

// The targets one benchmark checks: each figure with its measured value, its target and
// whether it is met. Printed as the benchmark's last lines, and appended to the file named
// by ZEL_BENCH_SUMMARY (one tab-separated line per target) so that bench/run-all.sh can show
// every benchmark in one table.
class BenchTargets
{
public:
    explicit BenchTargets(std::string benchmark);

    void add(const std::string &figure, const std::string &measured, const std::string &target, bool met);
    bool allMet() const;
    // Prints the targets and writes them to the summary file; returns the exit status: 0 when
    // all are met, 2 otherwise.
    int report() const;

    static std::string number(double value, int decimals = 1);

private:
    struct Target
    {
        std::string figure;
        std::string measured;
        std::string target;
        bool met;
    };

    std::string m_benchmark;
    std::vector<Target> m_targets;
};
