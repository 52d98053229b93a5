#include "runresult.h"

#include <algorithm>

void RunResult::set(const std::string &name, double ms)
{
    for (Figure &figure : m_figures) {
        if (figure.name == name) {
            figure.ms = ms;
            return;
        }
    }
    m_figures.push_back({name, ms});
}

void RunResult::setSpan(const std::string &name, double startMs, double endMs)
{
    if (startMs >= 0 && endMs >= 0)
        set(name, endMs - startMs);
}

bool RunResult::has(const std::string &name) const
{
    return std::any_of(m_figures.begin(), m_figures.end(), [&name](const Figure &f) { return f.name == name; });
}

double RunResult::value(const std::string &name) const
{
    for (const Figure &figure : m_figures) {
        if (figure.name == name)
            return figure.ms;
    }
    return -1;
}

std::vector<RunResult::Summary> RunResult::summarize(const std::vector<RunResult> &runs)
{
    std::vector<std::string> names;
    for (const RunResult &run : runs) {
        for (const Figure &figure : run.figures()) {
            if (std::find(names.begin(), names.end(), figure.name) == names.end())
                names.push_back(figure.name);
        }
    }
    std::vector<Summary> summaries;
    for (const std::string &name : names) {
        std::vector<double> values;
        for (const RunResult &run : runs) {
            if (run.has(name))
                values.push_back(run.value(name));
        }
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
        summaries.push_back({name, median, values.back(), int(n)});
    }
    return summaries;
}

const RunResult::Summary *RunResult::find(const std::vector<Summary> &summaries, const std::string &name)
{
    for (const Summary &summary : summaries) {
        if (summary.name == name)
            return &summary;
    }
    return nullptr;
}
