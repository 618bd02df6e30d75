#include "ratio.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>

namespace {

// Console output as usual, and the mean time per iteration of every run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            double perIteration = run.real_accumulated_time / static_cast<double>(run.iterations);
            auto it = m_best.find(run.benchmark_name());
            if (it == m_best.end() || perIteration < it->second) m_best[run.benchmark_name()] = perIteration;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The best (lowest) seconds per iteration over the repetitions of a
    // benchmark: the least disturbed by the rest of the machine. Negative
    // when the benchmark did not run.
    double PerIteration(const std::string& name) const {
        auto it = m_best.find(name);
        return it == m_best.end() ? -1 : it->second;
    }

private:
    std::map<std::string, double> m_best;
};

}  // namespace

int RunBenchmarksWithRatios(int argc, char** argv, const std::vector<RatioTarget>& targets,
                            const std::vector<ComputedTarget>& computed) {
    // Repetitions of the benchmarks are interleaved at random, so that a drift
    // of the machine's speed during the run does not favour one side.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    args.push_back(nullptr);
    argc = static_cast<int>(args.size()) - 1;
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Colours only on a terminal, so that piped output stays plain text.
    RatioReporter reporter(isatty(fileno(stdout)) ? benchmark::ConsoleReporter::OO_Defaults
                                                  : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const RatioTarget& t : targets) {
        double m = reporter.PerIteration(t.measured);
        double r = reporter.PerIteration(t.reference);
        PrintRatio(t.target.c_str(), m < 0 || r <= 0 ? kNotMeasured : m / r, t.limit);
    }
    const SecondsOf secondsOf = [&reporter](const std::string& name) { return reporter.PerIteration(name); };
    for (const ComputedTarget& t : computed) {
        double measured = 0, limit = 0;
        if (!t.compute(secondsOf, &measured, &limit)) measured = limit = kNotMeasured;
        PrintRatio(t.target.c_str(), measured, limit);
    }
    std::fflush(stdout);
    return 0;
}
