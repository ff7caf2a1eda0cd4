#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Keeps each benchmark's CPU time per frame in ms: the median when repeated, else the single run.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const std::string name = run.run_name.function_name;
            const double ms = run.GetAdjustedCPUTime()
                * (run.time_unit == benchmark::kMillisecond ? 1.0 : 1e-3);
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[name] = ms;
            else if (run.run_type == Run::RT_Iteration && !medians.count(name))
                singles[name] = ms;
        }
    }

    double timeOf(const std::string &name) const
    {
        const auto median = medians.find(name);
        if (median != medians.end())
            return median->second;
        const auto single = singles.find(name);
        return single != singles.end() ? single->second : 0.0;
    }

private:
    std::map<std::string, double> medians, singles;
};
