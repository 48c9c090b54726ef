// Samples per second of each sample codec against libmseed's Steim-2 on one
// seeded series of 32-bit samples (a random walk like digitised ground
// motion), encoding and decoding.
#include <benchmark/benchmark.h>
#include <libmseed.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs.h"
#include "sample_series.h"
#include "support/ratio_main.h"

namespace {

constexpr int kSamples = 100000;  // a multiple of 20 for the Canadian codec

const std::vector<int> &series() {
    static const std::vector<int> x = testsupport::waveform(kSamples, 2024);
    return x;
}

void items(benchmark::State &state) {
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSamples));
}

// Steim-2 through libmseed's record packer and unpacker: 4096-byte records.
struct Steim2 {
    std::vector<std::vector<char>> records;

    static void collect(char *record, int reclen, void *self) {
        static_cast<Steim2 *>(self)->records.emplace_back(record, record + reclen);
    }

    void encode(const std::vector<int> &x) {
        records.clear();
        MSRecord *msr = msr_init(nullptr);
        std::strcpy(msr->network, "XX");
        std::strcpy(msr->station, "BENCH");
        std::strcpy(msr->channel, "BHZ");
        msr->samprate = 100;
        msr->reclen = 4096;
        msr->encoding = DE_STEIM2;
        msr->byteorder = 1;
        msr->sampletype = 'i';
        msr->datasamples = const_cast<int *>(x.data());
        msr->numsamples = static_cast<int64_t>(x.size());
        int64_t packed = 0;
        msr_pack(msr, collect, this, &packed, 1, 0);
        msr->datasamples = nullptr;
        msr_free(&msr);
    }
};

void encode_steim2(benchmark::State &state) {
    Steim2 s;
    for (auto _ : state) {
        s.encode(series());
        benchmark::DoNotOptimize(s.records.data());
    }
    items(state);
}

void decode_steim2(benchmark::State &state) {
    Steim2 s;
    s.encode(series());
    MSRecord *msr = nullptr;
    for (auto _ : state) {
        int64_t n = 0;
        for (auto &r : s.records) {
            msr_unpack(r.data(), static_cast<int>(r.size()), &msr, 1, 0);
            n += msr->numsamples;
        }
        if (n != kSamples) state.SkipWithError("Steim-2 lost samples");
    }
    msr_free(&msr);
    items(state);
}

void encode_canada(benchmark::State &state) {
    unsigned char *buf = nullptr;
    int n = 0, size = 0;
    for (auto _ : state) ccanada(const_cast<int *>(series().data()), kSamples, &buf, &n, &size);
    std::free(buf);
    items(state);
}

void decode_canada(benchmark::State &state) {
    unsigned char *buf = nullptr;
    int n = 0, size = 0, *out = nullptr, outsize = 0;
    ccanada(const_cast<int *>(series().data()), kSamples, &buf, &n, &size);
    for (auto _ : state) {
        int count = kSamples;
        if (ucanada(buf, n, &out, &count, &outsize) != 0) state.SkipWithError("decode failed");
    }
    std::free(buf);
    std::free(out);
    items(state);
}

void encode_cm6(benchmark::State &state) {
    char *buf = nullptr;
    int n = 0, size = 0;
    for (auto _ : state) cm6(const_cast<int *>(series().data()), kSamples, &buf, &n, &size);
    std::free(buf);
    items(state);
}

void decode_cm6(benchmark::State &state) {
    char *buf = nullptr;
    int n = 0, size = 0, *out = nullptr, count = 0, outsize = 0;
    cm6(const_cast<int *>(series().data()), kSamples, &buf, &n, &size);
    for (auto _ : state)
        if (um6(buf, n, &out, &count, &outsize) != kSamples) state.SkipWithError("decode failed");
    std::free(buf);
    std::free(out);
    items(state);
}

void encode_block(benchmark::State &state) {
    unsigned char *buf = nullptr;
    int n = 0, size = 0;
    for (auto _ : state)
        gencompress(&buf, &n, &size, const_cast<int *>(series().data()), kSamples, 0);
    std::free(buf);
    items(state);
}

void decode_block(benchmark::State &state) {
    unsigned char *buf = nullptr;
    int n = 0, size = 0, *out = nullptr, count = 0, outsize = 0;
    gencompress(&buf, &n, &size, const_cast<int *>(series().data()), kSamples, 0);
    for (auto _ : state)
        if (genuncompress(&out, &count, &outsize, buf, n) != 0 || count != kSamples)
            state.SkipWithError("decode failed");
    std::free(buf);
    std::free(out);
    items(state);
}

void encode_runclass(benchmark::State &state) {
    unsigned char *buf = nullptr;
    int n = 0, size = 0;
    for (auto _ : state) cucsd(const_cast<int *>(series().data()), kSamples, &buf, &n, &size);
    std::free(buf);
    items(state);
}

void decode_runclass(benchmark::State &state) {
    unsigned char *buf = nullptr;
    int n = 0, size = 0;
    cucsd(const_cast<int *>(series().data()), kSamples, &buf, &n, &size);
    std::vector<int> out(kSamples);
    for (auto _ : state) {
        unsigned char *cursor = buf;
        if (uucsd(out.data(), &cursor, n, kSamples) != 0) state.SkipWithError("decode failed");
    }
    std::free(buf);
    items(state);
}

BENCHMARK(encode_steim2)->Name("encode:steim2");
BENCHMARK(decode_steim2)->Name("decode:steim2");
BENCHMARK(encode_canada)->Name("encode:canada");
BENCHMARK(decode_canada)->Name("decode:canada");
BENCHMARK(encode_cm6)->Name("encode:cm6");
BENCHMARK(decode_cm6)->Name("decode:cm6");
BENCHMARK(encode_block)->Name("encode:block");
BENCHMARK(decode_block)->Name("decode:block");
BENCHMARK(encode_runclass)->Name("encode:runclass");
BENCHMARK(decode_runclass)->Name("decode:runclass");

}  // namespace

int main(int argc, char **argv) {
    return benchsupport::ratio_main(argc, argv, {"canada", "cm6", "block", "runclass"});
}
