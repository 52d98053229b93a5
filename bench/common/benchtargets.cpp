#include "benchtargets.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

BenchTargets::BenchTargets(std::string benchmark)
    : m_benchmark(std::move(benchmark))
{
}

void BenchTargets::add(const std::string &figure, const std::string &measured, const std::string &target, bool met)
{
    m_targets.push_back({figure, measured, target, met});
}

bool BenchTargets::allMet() const
{
    for (const Target &target : m_targets) {
        if (!target.met)
            return false;
    }
    return true;
}

int BenchTargets::report() const
{
    std::printf("\nTargets\n");
    for (const Target &target : m_targets) {
        std::printf("  %-48s %14s  target %-22s %s\n", target.figure.c_str(), target.measured.c_str(),
                    target.target.c_str(), target.met ? "met" : "MISSED");
    }
    if (const char *path = std::getenv("ZEL_BENCH_SUMMARY")) {
        if (FILE *file = std::fopen(path, "a")) {
            for (const Target &target : m_targets) {
                std::fprintf(file, "%s\t%s\t%s\t%s\t%s\n", m_benchmark.c_str(), target.figure.c_str(),
                             target.measured.c_str(), target.target.c_str(), target.met ? "met" : "MISSED");
            }
            std::fclose(file);
        }
    }
    return allMet() ? 0 : 2;
}

std::string BenchTargets::number(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}
