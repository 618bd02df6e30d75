#include "ratio.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

namespace {

// Console output as usual, and the mean time per iteration of every run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            Sample& s = m_samples[run.benchmark_name()];
            s.seconds += run.real_accumulated_time;
            s.iterations += static_cast<double>(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Seconds per iteration, or a negative value when the run is missing.
    double PerIteration(const std::string& name) const {
        auto it = m_samples.find(name);
        if (it == m_samples.end() || it->second.iterations == 0) return -1;
        return it->second.seconds / it->second.iterations;
    }

private:
    struct Sample {
        double seconds = 0;
        double iterations = 0;
    };
    std::map<std::string, Sample> m_samples;
};

}  // namespace

int RunBenchmarksWithRatios(int argc, char** argv, const std::vector<RatioTarget>& targets) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const RatioTarget& t : targets) {
        double m = reporter.PerIteration(t.measured);
        double r = reporter.PerIteration(t.reference);
        if (m < 0 || r <= 0) {
            std::printf("RATIO %s n/a %.2f\n", t.target.c_str(), t.limit);
            continue;
        }
        std::printf("RATIO %s %.2f %.2f\n", t.target.c_str(), m / r, t.limit);
    }
    std::fflush(stdout);
    return 0;
}
