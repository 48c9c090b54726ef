#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "basalt.h"
#include "elog_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;
const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

Bytes encode(std::vector<int> x, int *rc = nullptr) {
    unsigned char *buf = nullptr;
    int nbytes = -1, size = 0;
    int r = cucsd(x.data(), static_cast<int>(x.size()), &buf, &nbytes, &size);
    if (rc) *rc = r;
    else EXPECT_EQ(r, 0);
    EXPECT_LE(nbytes, size);
    Bytes b(buf, buf + nbytes);
    std::free(buf);
    return b;
}

TEST(RunClass, FourSamplesInOneNibbleRun) {
    Bytes b = encode({100, 101, 99, 99});
    EXPECT_EQ(b, (Bytes{0, 0, 0, 100, 0x10, 3, 0xF2, 0x00}));
    std::vector<int> out(4);
    unsigned char *cursor = b.data();
    ASSERT_EQ(uucsd(out.data(), &cursor, static_cast<int>(b.size()), 4), 0);
    EXPECT_EQ(out, (std::vector<int>{100, 101, 99, 99}));
    EXPECT_EQ(cursor, b.data() + 8);
}

TEST(RunClass, LongRunsSplitAt255) {
    std::vector<int> x(301);
    for (int i = 0; i < 301; i++) x[i] = 1000 * i;  // every difference -1000
    Bytes b = encode(x);
    ASSERT_EQ(b.size(), 4u + 2 + 255 * 3 / 2 + 1 + 2 + 45 * 3 / 2 + 2);
    EXPECT_EQ(b[4], 0x30);
    EXPECT_EQ(b[5], 255);
    std::size_t second = 4 + 2 + 383;
    second += second & 1;
    EXPECT_EQ(b[second], 0x30);
    EXPECT_EQ(b[second + 1], 45);
    std::vector<int> out(301);
    unsigned char *cursor = b.data();
    ASSERT_EQ(uucsd(out.data(), &cursor, static_cast<int>(b.size()), 301), 0);
    EXPECT_EQ(out, x);
}

TEST(RunClass, WideRunsCarrySamples) {
    std::vector<int> x = {0, 4000000, -4000000, -3999999, -3999998, 7};
    Bytes b = encode(x);
    EXPECT_EQ(b[4], 0x50);
    std::vector<int> out(x.size());
    unsigned char *cursor = b.data();
    ASSERT_EQ(uucsd(out.data(), &cursor, static_cast<int>(b.size()), 6), 0);
    EXPECT_EQ(out, x);
}

TEST(RunClass, OutOfRangeIsReported) {
    int rc = 0;
    encode({0, 2000000000}, &rc);  // a difference beyond 24 bits, a sample too
    EXPECT_EQ(rc, -1);
    encode({0, 100, 8388608}, &rc);
    EXPECT_EQ(rc, -1);
}

TEST(RunClass, BadInput) {
    Bytes b = encode({100, 101, 99, 99});
    std::vector<int> out(4);
    unsigned char *cursor = b.data();
    auto err = testsupport::in_child([&] {
        testsupport::out(std::to_string(uucsd(out.data(), &cursor, 8, 3)) + " ");
        for (int n : {7, 5, 3}) testsupport::out(std::to_string(uucsd(out.data(), &cursor, n, 4)));
        testsupport::out(cursor == b.data() ? " kept" : " moved");
    });
    EXPECT_EQ(err.out, "-1 -1-1-1 kept");
    const std::string used = P() + ": uucsd bad input data: used more than entire buffer\n";
    EXPECT_EQ(err.err, P() + ": uucsd bad input data: uncompresses to more than 3 samples\n" +
                           used + used + used);
    // The final alignment may stand one byte past the end.
    Bytes odd = encode({0, 1});
    ASSERT_EQ(odd.size(), 7u);
    cursor = odd.data();
    EXPECT_EQ(uucsd(out.data(), &cursor, 7, 2), 0);
    EXPECT_EQ(cursor, odd.data() + 8);
}

TEST(RunClass, EveryEncodedSeriesDecodes) {
    // Differences that jump between classes at every step, where the
    // look-ahead reaches the end of the data, and two-sample series.
    testsupport::elog_reset_register();
    uint64_t s = 12345;
    for (int trial = 0; trial < 3000; trial++) {
        int n = 1 + trial % 40;
        std::vector<int> x(n);
        int32_t v = 0;
        for (int i = 0; i < n; i++) {
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            static const int32_t width[] = {7, 127, 2047, 32767, 2000000};
            int32_t w = width[(s >> 33) % 5];
            v = static_cast<int32_t>((s >> 20) % (2 * w + 1)) - w + (v / 2);
            x[i] = v;
        }
        Bytes b = encode(x);
        ASSERT_LE(b.size(), 4u * n + 8);
        std::vector<int> out(n);
        unsigned char *cursor = b.data();
        ASSERT_EQ(uucsd(out.data(), &cursor, static_cast<int>(b.size()), n), 0) << trial;
        ASSERT_EQ(out, x) << trial;
    }
}

}  // namespace
