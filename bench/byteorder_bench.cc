// The byte-order family on 1 MiB arrays: members whose external layout is
// the host's own against memcpy, reordering members against a plain
// __builtin_bswap loop over the same data.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kitbag.h"
#include "support/ratio_main.h"

namespace {

constexpr int64_t kBytes = 1 << 20;

template <class T> std::vector<T> filled(size_t n) {
    std::vector<T> v(n);
    for (size_t k = 0; k < n; ++k) v[k] = static_cast<T>(k * 37 % 1000 + 0.5);
    return v;
}

void finish(benchmark::State &state, const void *out) {
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
    (void)state;
}

// A write member: host array to bytes.
template <class H, int (*Fn)(const H *, unsigned char **, int)>
void write_member(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0)) / sizeof(H);
    std::vector<H> from = filled<H>(n);
    std::vector<unsigned char> to(n * sizeof(H));
    for (auto _ : state) {
        unsigned char *cursor = to.data();
        benchmark::DoNotOptimize(Fn(from.data(), &cursor, static_cast<int>(n)));
        finish(state, to.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// A read member: bytes to host array.
template <class H, int (*Fn)(unsigned char **, H *, int)>
void read_member(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0)) / sizeof(H);
    std::vector<H> values = filled<H>(n);
    std::vector<unsigned char> from(n * sizeof(H));
    std::memcpy(from.data(), values.data(), from.size());
    std::vector<H> to(n);
    for (auto _ : state) {
        unsigned char *cursor = from.data();
        benchmark::DoNotOptimize(Fn(&cursor, to.data(), static_cast<int>(n)));
        finish(state, to.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

template <void (*Fn)(const void *, void *, int), size_t W> void swap_fn(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0)) / W;
    std::vector<unsigned char> from(n * W, 0x5a), to(n * W);
    for (auto _ : state) {
        Fn(from.data(), to.data(), static_cast<int>(n));
        finish(state, to.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void swap4_h2n4(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0)) / 4;
    std::vector<int> from = filled<int>(n);
    std::vector<unsigned char> to(n * 4);
    for (auto _ : state) {
        benchmark::DoNotOptimize(H2N4(to.data(), from.data(), static_cast<int>(n)));
        finish(state, to.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The peers.

void copy_memcpy(benchmark::State &state) {
    const size_t bytes = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> from(bytes, 0x5a), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        finish(state, to.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

template <class U> U bswap(U x) {
    if constexpr (sizeof(U) == 2) return __builtin_bswap16(x);
    else if constexpr (sizeof(U) == 4) return __builtin_bswap32(x);
    else return __builtin_bswap64(x);
}

template <class U> void bswap_loop(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0)) / sizeof(U);
    std::vector<U> from = filled<U>(n), to(n);
    for (auto _ : state) {
        for (size_t k = 0; k < n; ++k) to[k] = bswap(from[k]);
        finish(state, to.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

// Same layout: one block move.
BENCHMARK(write_member<short, hs2vs>)->Name("copy2:hs2vs")->Arg(kBytes);
BENCHMARK(copy_memcpy)->Name("copy2:memcpy")->Arg(kBytes);
BENCHMARK(write_member<int, hi2ai>)->Name("copy4:hi2ai")->Arg(kBytes);
BENCHMARK(write_member<int, hi2vi>)->Name("copy4:hi2vi")->Arg(kBytes);
BENCHMARK(read_member<float, vf2hf>)->Name("copy4:vf2hf")->Arg(kBytes);
BENCHMARK(copy_memcpy)->Name("copy4:memcpy")->Arg(kBytes);
BENCHMARK(write_member<double, hd2ad>)->Name("copy8:hd2ad")->Arg(kBytes);
BENCHMARK(read_member<double, vd2hd>)->Name("copy8:vd2hd")->Arg(kBytes);
BENCHMARK(copy_memcpy)->Name("copy8:memcpy")->Arg(kBytes);

// Reordering: bytes reversed per value.
BENCHMARK(write_member<short, hs2ms>)->Name("swap2:hs2ms")->Arg(kBytes);
BENCHMARK(read_member<short, ms2hs>)->Name("swap2:ms2hs")->Arg(kBytes);
BENCHMARK(swap_fn<swap2, 2>)->Name("swap2:swap2")->Arg(kBytes);
BENCHMARK(bswap_loop<uint16_t>)->Name("swap2:bswap")->Arg(kBytes);
BENCHMARK(write_member<int, hi2mi>)->Name("swap4:hi2mi")->Arg(kBytes);
BENCHMARK(read_member<int, mi2hi>)->Name("swap4:mi2hi")->Arg(kBytes);
BENCHMARK(write_member<float, hf2mf>)->Name("swap4:hf2mf")->Arg(kBytes);
BENCHMARK(read_member<float, mf2hf>)->Name("swap4:mf2hf")->Arg(kBytes);
BENCHMARK(swap4_h2n4)->Name("swap4:H2N4")->Arg(kBytes);
BENCHMARK(swap_fn<swap4, 4>)->Name("swap4:swap4")->Arg(kBytes);
BENCHMARK(bswap_loop<uint32_t>)->Name("swap4:bswap")->Arg(kBytes);
BENCHMARK(write_member<double, hd2md>)->Name("swap8:hd2md")->Arg(kBytes);
BENCHMARK(read_member<double, md2hd>)->Name("swap8:md2hd")->Arg(kBytes);
BENCHMARK(write_member<int64_t, hl2ml>)->Name("swap8:hl2ml")->Arg(kBytes);
BENCHMARK(swap_fn<swap8, 8>)->Name("swap8:swap8")->Arg(kBytes);
BENCHMARK(bswap_loop<uint64_t>)->Name("swap8:bswap")->Arg(kBytes);

int main(int argc, char **argv) {
    return benchsupport::ratio_main(
        argc, argv,
        {"hs2vs", "hi2ai", "hi2vi", "vf2hf", "hd2ad", "vd2hd", "hs2ms", "ms2hs", "swap2",
         "hi2mi", "mi2hi", "hf2mf", "mf2hf", "H2N4", "swap4", "hd2md", "md2hd", "hl2ml",
         "swap8"});
}
