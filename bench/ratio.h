// Runs the registered benchmarks and ends the output with one line per
// target: "RATIO <target> <measured> <limit>", the measured value being the
// time of a benchmark divided by the time of its reference in the same run,
// each taken as its best repetition.
#pragma once

#include <string>
#include <vector>

struct RatioTarget {
    std::string target;     // e.g. screening_call_vs_raw_1t
    std::string measured;   // benchmark name as reported
    std::string reference;  // benchmark name as reported
    double limit;
};

int RunBenchmarksWithRatios(int argc, char** argv, const std::vector<RatioTarget>& targets);
