// The library's sorts against std::sort and the C library's qsort on
// random integers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "support/ratio_main.h"
#include "sort.h"

namespace {

std::vector<int> random_ints(int n) {
    std::mt19937 rng(1234);
    std::vector<int> v(static_cast<size_t>(n));
    for (int &x : v) x = static_cast<int>(rng());
    return v;
}

int compare_ints(void *a, void *b, void *) {
    int x = *static_cast<int *>(a), y = *static_cast<int *>(b);
    return x < y ? -1 : x > y;
}

int compare_ints_c(const void *a, const void *b) {
    int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return x < y ? -1 : x > y;
}

template <typename Sort>
void run_sort(benchmark::State &state, Sort sort) {
    std::vector<int> input = random_ints(static_cast<int>(state.range(0)));
    std::vector<int> work;
    for (auto _ : state) {
        state.PauseTiming();
        work = input;
        state.ResumeTiming();
        sort(work);
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_quicksort(benchmark::State &state) {
    run_sort(state, [](std::vector<int> &v) {
        quicksort(v.data(), static_cast<int>(v.size()), sizeof(int), compare_ints, nullptr);
    });
}

void BM_shellsort(benchmark::State &state) {
    run_sort(state, [](std::vector<int> &v) {
        shellsort(v.data(), static_cast<int>(v.size()), sizeof(int), compare_ints, nullptr);
    });
}

void BM_std_sort(benchmark::State &state) {
    run_sort(state, [](std::vector<int> &v) { std::sort(v.begin(), v.end()); });
}

void BM_qsort(benchmark::State &state) {
    run_sort(state,
             [](std::vector<int> &v) { std::qsort(v.data(), v.size(), sizeof(int), compare_ints_c); });
}

#define SIZES ->Arg(1000)->Arg(100000)

BENCHMARK(BM_quicksort)->Name("sort:quicksort") SIZES;
BENCHMARK(BM_shellsort)->Name("sort:shellsort") SIZES;
BENCHMARK(BM_std_sort)->Name("sort:std::sort") SIZES;
BENCHMARK(BM_qsort)->Name("sort:qsort") SIZES;

}  // namespace

int main(int argc, char **argv) {
    return benchsupport::ratio_main(argc, argv, {"quicksort", "shellsort"});
}
