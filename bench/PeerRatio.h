// A benchmark main that prints, after the usual table, each benchmark's time as a ratio of its
// peer's time in the same run.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tavro::bench {

// One line of the ratio table: the project's benchmark and the peer it is
// measured against, by their full run names ("BM_Name/arg/real_time"), and
// the goal for their ratio when there is one (0: none).
struct PeerPair {
    std::string project;
    std::string peer;
    double goal = 0;
};

// The console reporter, keeping the real time per iteration of each run
// (the median of repetitions when a run is repeated, aggregates left out:
// with --benchmark_enable_random_interleaving a burst of load elsewhere then
// sways one repetition rather than the ratio).
class PeerRatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that a saved run reads plainly.
    PeerRatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate || run.error_occurred || run.iterations == 0)
                continue;
            times_[run.run_name.str()].push_back(run.real_accumulated_time /
                                                 static_cast<double>(run.iterations));
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Prints "project / peer = R" for each pair whose two runs were measured,
    // and beside it the goal, met or not.
    void PrintRatios(const std::vector<PeerPair>& pairs) const {
        for (const PeerPair& pair : pairs) {
            auto project = times_.find(pair.project);
            auto peer = times_.find(pair.peer);
            if (project == times_.end() || peer == times_.end()) continue;
            const double peerTime = Median(peer->second);
            if (peerTime <= 0) continue;
            const double ratio = Median(project->second) / peerTime;
            std::printf("ratio %-44s / %-36s = %.2f", pair.project.c_str(), pair.peer.c_str(),
                        ratio);
            if (pair.goal > 0)
                std::printf("  (goal <= %.2f, %s)", pair.goal,
                            ratio <= pair.goal ? "met" : "not met");
            std::printf("\n");
        }
        std::fflush(stdout);
    }

private:
    static double Median(std::vector<double> times) {
        std::sort(times.begin(), times.end());
        const size_t n = times.size();
        return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    }
    std::map<std::string, std::vector<double>> times_;
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
