#pragma once

#include <string>
#include <vector>

// The figures of one run, in milliseconds, by name; a figure that could not be measured is
// left out. summarize() turns several runs into median and maximum per figure.
class RunResult
{
public:
    struct Figure
    {
        std::string name;
        double ms;
    };
    struct Summary
    {
        std::string name;
        double median;
        double max;
        int count;
    };

    void set(const std::string &name, double ms);
    // end - start when both are known (not negative); otherwise nothing.
    void setSpan(const std::string &name, double startMs, double endMs);
    bool has(const std::string &name) const;
    double value(const std::string &name) const;
    const std::vector<Figure> &figures() const { return m_figures; }

    // In the order the names first appear in the runs.
    static std::vector<Summary> summarize(const std::vector<RunResult> &runs);
    static const Summary *find(const std::vector<Summary> &summaries, const std::string &name);

private:
    std::vector<Figure> m_figures;
};
