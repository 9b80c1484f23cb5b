#pragma once
// Console reporter that also prints, at the end, each benchmark's time as a ratio
// to a reference benchmark of the same run (the median when repetitions are used,
// and also the ratio of the fastest repetitions for benchmarks that register the
// "min" statistic with QM_MIN_STAT: on a loaded machine the minimum moves less).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

inline double qmMinOf(const std::vector<double>& v)
{
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}
#define QM_MIN_STAT ComputeStatistics("min", qmMinOf)

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // pairs of (benchmark name, reference name), e.g. {"BM_Rdft/512", "BM_Fftw/512"}
    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs)
        : pairs_(std::move(pairs))
    {
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            const std::string name = r.run_name.str();
            const double t = r.GetAdjustedRealTime();
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "median")
                    median_[name] = t;
                else if (r.aggregate_name == "min")
                    min_[name] = t;
            } else if (!single_.count(name)) {
                single_[name] = t;
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const auto& p : pairs_) {
            double a = 0, b = 0;
            if (!lookup(p.first, a) || !lookup(p.second, b) || b <= 0)
                continue;
            char line[160];
            auto ma = min_.find(p.first), mb = min_.find(p.second);
            if (ma != min_.end() && mb != min_.end() && mb->second > 0)
                std::snprintf(line, sizeof line, "ratio %-32s / %-28s = %.2f  (fastest repetitions %.2f)\n",
                              p.first.c_str(), p.second.c_str(), a / b, ma->second / mb->second);
            else
                std::snprintf(line, sizeof line, "ratio %-32s / %-28s = %.2f\n", p.first.c_str(), p.second.c_str(), a / b);
            GetOutputStream() << line;
        }
    }

private:
    bool lookup(const std::string& name, double& t) const
    {
        auto m = median_.find(name);
        if (m != median_.end()) {
            t = m->second;
            return true;
        }
        auto s = single_.find(name);
        if (s != single_.end()) {
            t = s->second;
            return true;
        }
        return false;
    }

    std::vector<std::pair<std::string, std::string>> pairs_;
    std::map<std::string, double> median_, min_, single_;
};

inline int runWithRatios(int argc, char** argv, std::vector<std::pair<std::string, std::string>> pairs)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter(std::move(pairs));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
