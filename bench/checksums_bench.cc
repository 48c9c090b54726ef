// Checksums in bytes per second against zlib's adler32 and crc32, and the
// MD5 and SHA-1 digests against OpenSSL's, on one 1 MiB buffer.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <vector>

#include "crc.h"
#include "digests.h"
#include "sample_series.h"
#include "support/ratio_main.h"

namespace {

constexpr int kBytes = 1 << 20;

const std::vector<unsigned char> &buffer() {
    static const std::vector<unsigned char> b = [] {
        testsupport::SeededRandom r(99);
        std::vector<unsigned char> v(kBytes);
        for (auto &c : v) c = static_cast<unsigned char>(r.next() >> 56);
        return v;
    }();
    return b;
}

unsigned char *data() { return const_cast<unsigned char *>(buffer().data()); }

void bytes(benchmark::State &state) { state.SetBytesProcessed(state.iterations() * kBytes); }

void adler(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(bt_adler32(1, data(), kBytes));
    bytes(state);
}
void crc32_ours(benchmark::State &state) {
    for (auto _ : state) {
        int r = -1;
        bt_crc32(&r, data(), kBytes);
        benchmark::DoNotOptimize(r);
    }
    bytes(state);
}
void crc16_ours(benchmark::State &state) {
    for (auto _ : state) {
        short r = 0;
        bt_crc16(&r, data(), kBytes);
        benchmark::DoNotOptimize(r);
    }
    bytes(state);
}
void qtcrc_ours(benchmark::State &state) {
    for (auto _ : state) {
        int r = 0;
        qtcrc(&r, data(), kBytes);
        benchmark::DoNotOptimize(r);
    }
    bytes(state);
}
void zlib_adler(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(adler32(1, data(), kBytes));
    bytes(state);
}
void zlib_crc(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0, data(), kBytes));
    bytes(state);
}

void md5_ours(benchmark::State &state) {
    unsigned char d[16];
    for (auto _ : state) {
        MD5Context ctx;
        MD5Init(&ctx);
        MD5Update(&ctx, data(), kBytes);
        MD5Final(d, &ctx);
    }
    bytes(state);
}
void sha1_ours(benchmark::State &state) {
    unsigned char d[20];
    for (auto _ : state) {
        sha_ctx ctx;
        sha_init(&ctx);
        sha_update(&ctx, data(), kBytes);
        sha_final(&ctx);
        sha_digest(&ctx, d);
    }
    bytes(state);
}
void openssl(benchmark::State &state, const EVP_MD *md) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned n;
    for (auto _ : state) EVP_Digest(data(), kBytes, d, &n, md, nullptr);
    bytes(state);
}
void md5_openssl(benchmark::State &state) { openssl(state, EVP_md5()); }
void sha1_openssl(benchmark::State &state) { openssl(state, EVP_sha1()); }

BENCHMARK(adler)->Name("checksum:bt_adler32");
BENCHMARK(crc32_ours)->Name("checksum:bt_crc32");
BENCHMARK(crc16_ours)->Name("checksum:bt_crc16");
BENCHMARK(qtcrc_ours)->Name("checksum:qtcrc");
BENCHMARK(zlib_adler)->Name("checksum:zlib_adler32");
BENCHMARK(zlib_crc)->Name("checksum:zlib_crc32");
BENCHMARK(md5_ours)->Name("md5:ours");
BENCHMARK(md5_openssl)->Name("md5:openssl");
BENCHMARK(sha1_ours)->Name("sha1:ours");
BENCHMARK(sha1_openssl)->Name("sha1:openssl");

}  // namespace

int main(int argc, char **argv) {
    return benchsupport::ratio_main(argc, argv,
                                    {"bt_adler32", "bt_crc32", "bt_crc16", "qtcrc", "ours"});
}
