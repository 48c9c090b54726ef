// A main for comparison benchmarks that prints, after the usual table, how
// our structure's time compares with each standard peer run on the same data.
//
// Benchmarks are named "<operation>:<implementation>" (Google Benchmark adds
// "/<argument>"); the implementations named in `subjects` are ours, every
// other implementation of the same operation and argument is a peer.
#ifndef BENCH_RATIO_MAIN_H
#define BENCH_RATIO_MAIN_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace benchsupport {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
    }

    // Prints "<operation>/<argument>: <ours> / <peer> = <ratio>" lines and
    // returns the largest ratio seen.
    double PrintRatios(const std::set<std::string> &subjects) const {
        struct Key {
            std::string op, impl, arg;
        };
        std::vector<std::pair<Key, double>> rows;
        for (const auto &[name, t] : times_) {
            auto colon = name.find(':');
            if (colon == std::string::npos) continue;
            auto slash = name.find('/', colon);
            Key k{name.substr(0, colon),
                  name.substr(colon + 1, slash == std::string::npos ? std::string::npos
                                                                     : slash - colon - 1),
                  slash == std::string::npos ? "" : name.substr(slash)};
            rows.push_back({k, t});
        }
        double worst = 0;
        std::printf("\nRatios (time of ours / time of the standard peer):\n");
        for (const auto &[ours, t_ours] : rows) {
            if (!subjects.count(ours.impl)) continue;
            for (const auto &[peer, t_peer] : rows) {
                if (subjects.count(peer.impl) || peer.op != ours.op || peer.arg != ours.arg)
                    continue;
                double ratio = t_peer > 0 ? t_ours / t_peer : 0;
                if (ratio > worst) worst = ratio;
                std::printf("  %s%s: %s / %s = %.2f\n", ours.op.c_str(), ours.arg.c_str(),
                            ours.impl.c_str(), peer.impl.c_str(), ratio);
            }
        }
        return worst;
    }

  private:
    std::map<std::string, double> times_;
};

inline int ratio_main(int argc, char **argv, const std::set<std::string> &subjects) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios(subjects);
    benchmark::Shutdown();
    return 0;
}

}  // namespace benchsupport

#endif
