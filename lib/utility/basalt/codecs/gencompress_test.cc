#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "basalt.h"
#include "elog_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes encode(std::vector<int> x, int length) {
    unsigned char *out = nullptr;
    int nout = -1, size = 0;
    EXPECT_EQ(gencompress(&out, &nout, &size, x.data(), static_cast<int>(x.size()), length), 0);
    Bytes b(out, out + nout);
    std::free(out);
    return b;
}

struct Decoded {
    int rc, n;
    std::vector<int> samples;
};

Decoded decode(Bytes in) {
    int *out = nullptr, nout = -1, size = 0;
    Decoded d;
    d.rc = genuncompress(&out, &nout, &size, in.data(), static_cast<int>(in.size()));
    d.n = nout;
    if (out) d.samples.assign(out, out + nout);
    std::free(out);
    return d;
}

TEST(BlockFormat, TwoSamples) {
    Bytes b = encode({1, -1}, 0);
    EXPECT_EQ(b, (Bytes{0, 0, 0, 2, 25, 1, 0x70}));
    Decoded d = decode(b);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.samples, (std::vector<int>{1, -1}));
}

TEST(BlockFormat, OneAndNoSamples) {
    EXPECT_EQ(encode({-2}, 10), (Bytes{0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(encode({}, 10), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(decode({0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE}).samples, std::vector<int>{-2});
    Decoded d = decode({0, 0, 0, 0});
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.n, 0);
}

TEST(BlockFormat, BlockLengthsAndWidths) {
    std::vector<int> x(600);
    for (int i = 0; i < 600; i++) x[i] = (i % 3) - 1;
    Bytes b = encode(x, 1000);
    EXPECT_EQ(b[4], 255);
    // Blocks of 255 samples of 2 bits: 64 bytes each after the width byte.
    EXPECT_EQ(b[5], 1);
    EXPECT_EQ(b.size(), 5u + 2 * (1 + 64) + (1 + (90 * 2 + 7) / 8));
    EXPECT_EQ(decode(b).samples, x);
    EXPECT_EQ(encode(x, 255), b);

    std::vector<int> zeros(10, 0);
    EXPECT_EQ(encode(zeros, 0), (Bytes{0, 0, 0, 10, 25, 0, 0, 0}));
    std::vector<int> big = {1073741824, -5, INT_MIN, INT_MAX};
    Bytes w = encode(big, 0);
    EXPECT_EQ(w[5], 31);
    EXPECT_EQ(decode(w).samples, big);
}

TEST(BlockFormat, SegmentsBackToBack) {
    Bytes a = encode({5, 6, 7}, 2), b = encode({-100, 100000}, 0), c = encode({9}, 0);
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    Decoded d = decode(all);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.samples, (std::vector<int>{5, 6, 7, -100, 100000, 9}));
}

TEST(BlockFormat, TruncatedOrCraftedInputCountsTheCompleteSegments) {
    Bytes a = encode({5, 6, 7}, 2), b = encode({-100, 100000, 3, 4, 5}, 0);
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    for (std::size_t cut = 1; cut < b.size(); cut++) {
        Bytes in(all.begin(), all.end() - static_cast<long>(cut));
        Decoded d = decode(in);
        EXPECT_EQ(d.rc, 0);
        EXPECT_EQ(d.n, 3) << cut;
    }
    Bytes wide = a;
    wide[5] = 32;  // a 33-bit field
    EXPECT_EQ(decode(wide).n, 0);
    Bytes zero_length = b;
    zero_length[4] = 0;
    EXPECT_EQ(decode(zero_length).n, 0);
    // A huge count in a few bytes allocates no more than the data hold.
    Decoded d = decode({0x7F, 0xFF, 0xFF, 0xFF, 1, 0, 0});
    EXPECT_EQ(d.n, 0);
}

TEST(BlockFormat, DecoderBufferGrowsHalfAgainAsNeeded) {
    std::vector<int> x(100, 3);
    Bytes b = encode(x, 0);
    int *out = static_cast<int *>(std::malloc(8)), nout = 0, size = 8;
    ASSERT_EQ(genuncompress(&out, &nout, &size, b.data(), static_cast<int>(b.size())), 0);
    EXPECT_EQ(nout, 100);
    EXPECT_GE(size, 4 * 101);
    for (int i = 0; i < 100; i++) EXPECT_EQ(out[i], 3);
    std::free(out);
}

}  // namespace
