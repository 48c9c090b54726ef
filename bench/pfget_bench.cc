// Parameter-file lookups against a standard map: pfget_string of top-level
// keys of a parsed tree, and std::map<std::string, std::string>::find of
// the same keys, in the same shuffled order.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pf.h"
#include "support/ratio_main.h"

namespace {

std::string key_of(int i) { return "key_" + std::to_string(i * 7919 % 100003); }

std::vector<std::string> shuffled_keys(int n) {
    std::vector<std::string> keys;
    for (int i = 0; i < n; i++) keys.push_back(key_of(i));
    std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
    return keys;
}

void BM_lookup_pfget_string(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    std::string text;
    for (int i = 0; i < n; i++) text += key_of(i) + " value " + std::to_string(i) + "\n";
    Pf *pf = nullptr;
    if (pfcompile(text.c_str(), &pf) != 0) {
        state.SkipWithError("pfcompile failed");
        return;
    }
    const std::vector<std::string> keys = shuffled_keys(n);
    std::size_t next = 0;
    for (auto _ : state) {
        char *v = pfget_string(pf, keys[next].c_str());
        benchmark::DoNotOptimize(v);
        if (++next == keys.size()) next = 0;
    }
    state.SetItemsProcessed(state.iterations());
    pffree(pf);
}

void BM_lookup_map(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    std::map<std::string, std::string> map;
    for (int i = 0; i < n; i++) map[key_of(i)] = "value " + std::to_string(i);
    const std::vector<std::string> keys = shuffled_keys(n);
    std::size_t next = 0;
    for (auto _ : state) {
        auto it = map.find(keys[next]);
        benchmark::DoNotOptimize(it);
        if (++next == keys.size()) next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_lookup_pfget_string)->Name("lookup:pfget_string")->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(BM_lookup_map)->Name("lookup:std::map")->Arg(16)->Arg(256)->Arg(4096);

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"pfget_string"}); }
