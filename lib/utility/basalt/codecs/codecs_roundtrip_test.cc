// Every codec on seeded random series of every length from 0 to 300: the
// decoded samples equal the encoded ones, and the encoded bytes are the same
// on every host (their running CRC is held against a fixed value).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "basalt.h"
#include "sample_series.h"

namespace {

using testsupport::sample_series;
using testsupport::Shape;

constexpr int kMaxLength = 300;

void sum_bytes(int *crc, const void *p, int n) {
    bt_crc32(crc, static_cast<unsigned char *>(const_cast<void *>(p)), n);
}

TEST(CodecRoundTrip, Canadian) {
    int crc = 0;
    unsigned char *buf = nullptr;
    int *out = nullptr, size = 0, outsize = 0;
    for (Shape shape : testsupport::kShapes) {
        for (int len = 1; len <= kMaxLength; len++) {
            int n = len / 20 * 20 + (len % 2);
            if (n == 0 || n == 1) continue;
            std::vector<int32_t> x = sample_series(shape, n, len);
            int nbytes = 0;
            ASSERT_EQ(ccanada(x.data(), n, &buf, &nbytes, &size), 0);
            sum_bytes(&crc, buf, nbytes);
            int count = 0;
            ASSERT_EQ(ucanada(buf, nbytes, &out, &count, &outsize), 0);
            ASSERT_EQ(count, n / 20 * 20);
            for (int i = 0; i < count; i++) ASSERT_EQ(out[i], x[i]) << shape_name(shape) << n;
            ASSERT_EQ(out[count], n % 20 ? x[n - 1] : INT32_MIN);
        }
    }
    std::free(buf);
    std::free(out);
    EXPECT_EQ(static_cast<uint32_t>(crc), 2467900713u);
}

TEST(CodecRoundTrip, Cm6) {
    int crc = 0;
    char *text = nullptr;
    int *out = nullptr, size = 0, outsize = 0;
    for (Shape shape : testsupport::kShapes) {
        for (int n = 0; n <= kMaxLength; n++) {
            std::vector<int32_t> x = sample_series(shape, n, n + 1000);
            int nbytes = 0;
            ASSERT_EQ(cm6(x.data(), n, &text, &nbytes, &size), 0);
            sum_bytes(&crc, text, nbytes);
            int count = -1;
            ASSERT_EQ(um6(text, nbytes, &out, &count, &outsize), n) << shape_name(shape) << n;
            for (int i = 0; i < n; i++) ASSERT_EQ(out[i], x[i]);
        }
    }
    std::free(text);
    std::free(out);
    EXPECT_EQ(static_cast<uint32_t>(crc), 669371355u);
}

TEST(CodecRoundTrip, BlockFormat) {
    int crc = 0;
    static const int lengths[] = {0, 1, 3, 25, 64, 255, 1000};
    for (Shape shape : testsupport::kShapes) {
        for (int n = 0; n <= kMaxLength; n++) {
            std::vector<int32_t> x = sample_series(shape, n, n + 2000);
            unsigned char *buf = nullptr;
            int nbytes = 0, size = 0;
            ASSERT_EQ(gencompress(&buf, &nbytes, &size, x.data(), n, lengths[n % 7]), 0);
            sum_bytes(&crc, buf, nbytes);
            int *out = nullptr, count = -1, outsize = 0;
            ASSERT_EQ(genuncompress(&out, &count, &outsize, buf, nbytes), 0);
            ASSERT_EQ(count, n > 0 ? n : 0) << shape_name(shape) << n;
            for (int i = 0; i < n; i++) ASSERT_EQ(out[i], x[i]);
            std::free(buf);
            std::free(out);
        }
    }
    EXPECT_EQ(static_cast<uint32_t>(crc), 2628801816u);
}

TEST(CodecRoundTrip, RunClass) {
    int crc = 0;
    unsigned char *buf = nullptr;
    int size = 0;
    for (Shape shape : testsupport::kShapes) {
        for (int n = 1; n <= kMaxLength; n++) {
            // Samples within 23 bits, so that every difference can be written.
            std::vector<int32_t> x = sample_series(shape, n, n + 3000);
            for (int32_t &v : x) v >>= 9;
            int nbytes = 0;
            ASSERT_EQ(cucsd(x.data(), n, &buf, &nbytes, &size), 0);
            sum_bytes(&crc, buf, nbytes);
            std::vector<int> out(n);
            unsigned char *cursor = buf;
            ASSERT_EQ(uucsd(out.data(), &cursor, nbytes, n), 0) << shape_name(shape) << n;
            ASSERT_EQ(cursor - buf, nbytes + (nbytes & 1));
            ASSERT_EQ(std::vector<int32_t>(out.begin(), out.end()), x);
        }
    }
    std::free(buf);
    EXPECT_EQ(static_cast<uint32_t>(crc), 3682894506u);
}

}  // namespace
