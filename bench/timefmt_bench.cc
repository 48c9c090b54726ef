// strtime against the C library's strftime formatting the same epochs in
// UTC (with milliseconds added by hand, as strtime shows them).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "support/ratio_main.h"
#include "timefmt.h"

namespace {

std::vector<double> epochs(int n) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<double> dist(0.0, 2.0e9);
    std::vector<double> v(static_cast<size_t>(n));
    for (double &e : v) e = dist(rng);
    return v;
}

void BM_strtime(benchmark::State &state) {
    std::vector<double> input = epochs(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (double e : input) {
            char *s = strtime(e);
            benchmark::DoNotOptimize(s);
            std::free(s);
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_strftime(benchmark::State &state) {
    std::vector<double> input = epochs(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (double e : input) {
            double r = std::floor(e * 1000 + 0.5) / 1000;
            time_t whole = static_cast<time_t>(std::floor(r));
            struct tm tm;
            gmtime_r(&whole, &tm);
            char date[64];
            size_t n = strftime(date, sizeof date, "%m/%d/%Y  %H:%M:%S", &tm);
            char buf[80];
            std::snprintf(buf, sizeof buf, "%.*s.%03d", static_cast<int>(n), date,
                          static_cast<int>((r - std::floor(r)) * 1000 + 0.5) % 1000);
            char *s = ::strdup(buf);
            benchmark::DoNotOptimize(s);
            std::free(s);
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_strtime)->Name("format:strtime")->Arg(1000);
BENCHMARK(BM_strftime)->Name("format:strftime")->Arg(1000);

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"strtime"}); }
