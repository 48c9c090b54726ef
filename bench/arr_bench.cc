// Arr against std::map<std::string, void *> on the same keys: filling a new
// container ("set") and looking every key up in a full one ("get").
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "basalt.h"
#include "support/ratio_main.h"

namespace {

// n distinct keys in a fixed shuffled order; built once per size.
const std::vector<std::string> &keys_for(std::size_t n) {
    static std::map<std::size_t, std::vector<std::string>> cache;
    auto it = cache.find(n);
    if (it != cache.end()) return it->second;
    std::vector<std::string> keys;
    keys.reserve(n);
    char buf[32];
    for (std::size_t i = 0; i < n; i++) {
        std::snprintf(buf, sizeof buf, "station_%07zu", i * 7 + 3);
        keys.emplace_back(buf);
    }
    std::mt19937 rng(42);
    std::shuffle(keys.begin(), keys.end(), rng);
    return cache.emplace(n, std::move(keys)).first->second;
}

// The order in which "get" asks: the same keys, shuffled again.
const std::vector<std::string> &probes_for(std::size_t n) {
    static std::map<std::size_t, std::vector<std::string>> cache;
    auto it = cache.find(n);
    if (it != cache.end()) return it->second;
    std::vector<std::string> probes = keys_for(n);
    std::mt19937 rng(7);
    std::shuffle(probes.begin(), probes.end(), rng);
    return cache.emplace(n, std::move(probes)).first->second;
}

void *value_of(std::size_t i) { return reinterpret_cast<void *>(i + 1); }

void BM_SetArr(benchmark::State &state) {
    const auto &keys = keys_for(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        Arr *arr = newarr(nullptr);
        for (std::size_t i = 0; i < keys.size(); i++)
            setarr(arr, keys[i].c_str(), value_of(i));
        benchmark::DoNotOptimize(arr->rb_root);
        freearr(arr, nullptr);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_SetMap(benchmark::State &state) {
    const auto &keys = keys_for(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::map<std::string, void *> map;
        for (std::size_t i = 0; i < keys.size(); i++) map[keys[i]] = value_of(i);
        benchmark::DoNotOptimize(map.begin());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_GetArr(benchmark::State &state) {
    auto n = static_cast<std::size_t>(state.range(0));
    const auto &keys = keys_for(n);
    const auto &probes = probes_for(n);
    Arr *arr = newarr(nullptr);
    for (std::size_t i = 0; i < keys.size(); i++)
        setarr(arr, keys[i].c_str(), value_of(i));
    for (auto _ : state) {
        for (const std::string &k : probes)
            benchmark::DoNotOptimize(getarr(arr, k.c_str()));
    }
    freearr(arr, nullptr);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_GetMap(benchmark::State &state) {
    auto n = static_cast<std::size_t>(state.range(0));
    const auto &keys = keys_for(n);
    const auto &probes = probes_for(n);
    std::map<std::string, void *> map;
    for (std::size_t i = 0; i < keys.size(); i++) map[keys[i]] = value_of(i);
    for (auto _ : state) {
        for (const std::string &k : probes) {
            auto it = map.find(k);
            benchmark::DoNotOptimize(it == map.end() ? nullptr : it->second);
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_SetArr)->Name("set:Arr")->Arg(1 << 8)->Arg(1 << 12)->Arg(1 << 16);
BENCHMARK(BM_SetMap)->Name("set:std::map")->Arg(1 << 8)->Arg(1 << 12)->Arg(1 << 16);
BENCHMARK(BM_GetArr)->Name("get:Arr")->Arg(1 << 8)->Arg(1 << 12)->Arg(1 << 16);
BENCHMARK(BM_GetMap)->Name("get:std::map")->Arg(1 << 8)->Arg(1 << 12)->Arg(1 << 16);

}  // namespace

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"Arr"}); }
