// Runs the registered benchmarks and ends the output with one line per
// target: "RATIO <target> <measured> <limit>", the measured value being the
// time of a benchmark divided by the time of its reference in the same run,
// each taken as its best repetition.
#pragma once

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <vector>

struct RatioTarget {
    std::string target;     // e.g. screening_call_vs_raw_1t
    std::string measured;   // benchmark name as reported
    std::string reference;  // benchmark name as reported
    double limit;
};

// The best seconds per iteration of a benchmark as reported; negative when it
// did not run.
using SecondsOf = std::function<double(const std::string& name)>;

// A target that is not one time over another: a time against an absolute
// limit, or a memory figure. Computed after the run; false prints "n/a".
struct ComputedTarget {
    std::string target;
    std::function<bool(const SecondsOf& secondsOf, double* pMeasured, double* pLimit)> compute;
};

// A value that could not be measured: printed as n/a.
constexpr double kNotMeasured = std::numeric_limits<double>::quiet_NaN();

// Prints "RATIO <target> <measured> <limit>" with two decimals.
inline void PrintRatio(const char* szTarget, double measured, double limit) {
    char szMeasured[32] = "n/a", szLimit[32] = "n/a";
    if (!std::isnan(measured)) std::snprintf(szMeasured, sizeof(szMeasured), "%.2f", measured);
    if (!std::isnan(limit)) std::snprintf(szLimit, sizeof(szLimit), "%.2f", limit);
    std::printf("RATIO %s %s %s\n", szTarget, szMeasured, szLimit);
}

int RunBenchmarksWithRatios(int argc, char** argv, const std::vector<RatioTarget>& targets,
                            const std::vector<ComputedTarget>& computed = {});
