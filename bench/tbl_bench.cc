// Lists against the standard containers: appending, reading by index and
// using the list as a queue.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "support/ratio_main.h"
#include "tbl.h"

namespace {

void *as_entry(int64_t i) { return reinterpret_cast<void *>(static_cast<intptr_t>(i)); }

std::vector<int> random_indices(int n) {
    std::mt19937 rng(42);
    std::vector<int> idx(static_cast<size_t>(n));
    for (int &i : idx) i = static_cast<int>(rng() % static_cast<unsigned>(n));
    return idx;
}

// ---- push: n appends to an empty container -------------------------------

void BM_push_Tbl(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Tbl *t = newtbl(0);
        for (int i = 0; i < n; i++) pushtbl(t, as_entry(i));
        benchmark::DoNotOptimize(t->base.pp);
        freetbl(t, nullptr);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_push_vector(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::vector<void *> v;
        for (int i = 0; i < n; i++) v.push_back(as_entry(i));
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_push_deque(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::deque<void *> d;
        for (int i = 0; i < n; i++) d.push_back(as_entry(i));
        benchmark::DoNotOptimize(d.back());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// ---- get: n reads at random indices --------------------------------------

void BM_get_Tbl(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    Tbl *t = newtbl(0);
    for (int i = 0; i < n; i++) pushtbl(t, as_entry(i));
    std::vector<int> idx = random_indices(n);
    for (auto _ : state) {
        intptr_t sum = 0;
        for (int i : idx) sum += reinterpret_cast<intptr_t>(gettbl(t, i));
        benchmark::DoNotOptimize(sum);
    }
    freetbl(t, nullptr);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_get_vector(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    std::vector<void *> v;
    for (int i = 0; i < n; i++) v.push_back(as_entry(i));
    std::vector<int> idx = random_indices(n);
    for (auto _ : state) {
        intptr_t sum = 0;
        for (int i : idx) sum += reinterpret_cast<intptr_t>(v[static_cast<size_t>(i)]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_get_deque(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    std::deque<void *> d;
    for (int i = 0; i < n; i++) d.push_back(as_entry(i));
    std::vector<int> idx = random_indices(n);
    for (auto _ : state) {
        intptr_t sum = 0;
        for (int i : idx) sum += reinterpret_cast<intptr_t>(d[static_cast<size_t>(i)]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// ---- shift: a queue, n appends at the back and n removals at the front ---

void BM_shift_Tbl(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    Tbl *t = newtbl(0);
    for (auto _ : state) {
        for (int i = 0; i < n; i++) pushtbl(t, as_entry(i));
        intptr_t sum = 0;
        for (int i = 0; i < n; i++) sum += reinterpret_cast<intptr_t>(shifttbl(t));
        benchmark::DoNotOptimize(sum);
    }
    freetbl(t, nullptr);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_shift_deque(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    std::deque<void *> d;
    for (auto _ : state) {
        for (int i = 0; i < n; i++) d.push_back(as_entry(i));
        intptr_t sum = 0;
        for (int i = 0; i < n; i++) {
            sum += reinterpret_cast<intptr_t>(d.front());
            d.pop_front();
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

#define SIZES ->Arg(1000)->Arg(100000)

BENCHMARK(BM_push_Tbl)->Name("push:Tbl") SIZES;
BENCHMARK(BM_push_vector)->Name("push:vector") SIZES;
BENCHMARK(BM_push_deque)->Name("push:deque") SIZES;
BENCHMARK(BM_get_Tbl)->Name("get:Tbl") SIZES;
BENCHMARK(BM_get_vector)->Name("get:vector") SIZES;
BENCHMARK(BM_get_deque)->Name("get:deque") SIZES;
BENCHMARK(BM_shift_Tbl)->Name("shift:Tbl") SIZES;
BENCHMARK(BM_shift_deque)->Name("shift:deque") SIZES;

}  // namespace

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"Tbl"}); }
