// A benchmark main that prints, after the usual table, each benchmark's time as a ratio of its
// peer's time in the same run.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tavro::bench {

// One line of the ratio table: the project's benchmark and the peer it is
// measured against, by their full run names ("BM_Name/arg/real_time").
struct PeerPair {
    std::string project;
    std::string peer;
};

// The console reporter, keeping the real time per iteration of each run
// (the mean of repetitions when a run is repeated, aggregates left out).
class PeerRatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that a saved run reads plainly.
    PeerRatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate || run.error_occurred || run.iterations == 0)
                continue;
            Sum& sum = times_[run.run_name.str()];
            sum.seconds += run.real_accumulated_time / static_cast<double>(run.iterations);
            ++sum.count;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Prints "project / peer = R" for each pair whose two runs were measured.
    void PrintRatios(const std::vector<PeerPair>& pairs) const {
        for (const PeerPair& pair : pairs) {
            auto project = times_.find(pair.project);
            auto peer = times_.find(pair.peer);
            if (project == times_.end() || peer == times_.end() || peer->second.seconds <= 0)
                continue;
            std::printf("ratio %-44s / %-36s = %.2f\n", pair.project.c_str(), pair.peer.c_str(),
                        project->second.Mean() / peer->second.Mean());
        }
        std::fflush(stdout);
    }

private:
    struct Sum {
        double seconds = 0;
        int count = 0;
        double Mean() const { return seconds / count; }
    };
    std::map<std::string, Sum> times_;
};

// Runs the registered benchmarks with the command line's options, then
// prints the ratios of the pairs.
inline int RunWithRatios(int argc, char** argv, const std::vector<PeerPair>& pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    PeerRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios(pairs);
    benchmark::Shutdown();
    return 0;
}

}  // namespace tavro::bench
