#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "basalt.h"
#include "sample_series.h"

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

using testsupport::random_bytes;

unsigned char *ptr(const char *s) {
    return reinterpret_cast<unsigned char *>(const_cast<char *>(s));
}

// The CRCs written out from their definitions, one bit at a time.
uint32_t crc_msb_reference(uint32_t poly, uint32_t r, const Bytes &b) {
    for (unsigned char c : b) {
        r ^= static_cast<uint32_t>(c) << 24;
        for (int k = 0; k < 8; k++) r = (r & 0x80000000u) ? (r << 1) ^ poly : r << 1;
    }
    return r;
}

uint16_t crc16_reference(uint16_t r, const Bytes &b) {
    for (unsigned char c : b) {
        r ^= c;
        for (int k = 0; k < 8; k++) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
    }
    return r;
}

TEST(Checksums, CheckValues) {
    const char *check = "123456789";
    short c16 = 0;
    bt_crc16(&c16, ptr(check), 9);
    EXPECT_EQ(static_cast<uint16_t>(c16), 0xBB3D);  // CRC-16/ARC
    c16 = static_cast<short>(0xFFFF);
    bt_crc16(&c16, ptr(check), 9);
    EXPECT_EQ(static_cast<uint16_t>(c16), 0x4B37);  // the same from 0xFFFF

    int c32 = -1;
    bt_crc32(&c32, ptr(check), 9);
    EXPECT_EQ(static_cast<uint32_t>(c32), 0x0376E6E7u);  // CRC-32/MPEG-2
    c32 = 0;
    bt_crc32(&c32, ptr(check), 9);
    EXPECT_EQ(~static_cast<uint32_t>(c32), 0x765E7680u);  // cksum's CRC

    int q = 12345;
    qtcrc(&q, ptr("abc"), 3);
    EXPECT_EQ(static_cast<uint32_t>(q), 0xB0DC1C60u);
    short s = 99;
    qtchecksum(&s, ptr("abc"), 3);
    EXPECT_EQ(s, 294);

    EXPECT_EQ(bt_adler32(1, ptr(check), 0), 1u);
    EXPECT_EQ(bt_adler32(12345, nullptr, 10), 1u);
    EXPECT_EQ(bt_adler32(1, ptr("Wikipedia"), 9), 0x11E60398u);
}

TEST(Checksums, NothingToSum) {
    short c16 = 0x1234;
    int c32 = 0x12345678;
    bt_crc16(&c16, ptr("x"), 0);
    bt_crc32(&c32, ptr("x"), -3);
    EXPECT_EQ(c16, 0x1234);
    EXPECT_EQ(c32, 0x12345678);
    int q = 5;
    short s = 5;
    qtcrc(&q, ptr("x"), 0);
    qtchecksum(&s, ptr("x"), -1);
    EXPECT_EQ(q, 0);
    EXPECT_EQ(s, 0);
}

TEST(Checksums, AgreeWithTheirDefinitionsWholeAndInPieces) {
    for (std::size_t n = 0; n <= 300; n++) {
        Bytes b = random_bytes(n, n);
        uint32_t start = static_cast<uint32_t>(n * 2654435761u);
        int c32 = static_cast<int>(start);
        bt_crc32(&c32, b.data(), static_cast<int>(n));
        ASSERT_EQ(static_cast<uint32_t>(c32), crc_msb_reference(0x04C11DB7, start, b)) << n;
        short c16 = static_cast<short>(start);
        bt_crc16(&c16, b.data(), static_cast<int>(n));
        ASSERT_EQ(static_cast<uint16_t>(c16), crc16_reference(static_cast<uint16_t>(start), b));
        int q = 0;
        qtcrc(&q, b.data(), static_cast<int>(n));
        ASSERT_EQ(static_cast<uint32_t>(q), crc_msb_reference(0x56070368, 0, b));
        short sum = 0;
        qtchecksum(&sum, b.data(), static_cast<int>(n));
        uint32_t want = 0;
        for (unsigned char c : b) want += c;
        ASSERT_EQ(static_cast<uint16_t>(sum), static_cast<uint16_t>(want));

        // Split anywhere: the same as one call.
        std::size_t cut = n / 3;
        int p32 = static_cast<int>(start);
        short p16 = static_cast<short>(start);
        bt_crc32(&p32, b.data(), static_cast<int>(cut));
        bt_crc32(&p32, b.data() + cut, static_cast<int>(n - cut));
        bt_crc16(&p16, b.data(), static_cast<int>(cut));
        bt_crc16(&p16, b.data() + cut, static_cast<int>(n - cut));
        ASSERT_EQ(p32, c32);
        ASSERT_EQ(p16, c16);
    }
}

TEST(Checksums, AdlerInPiecesAndOverLongRuns) {
    // 0xFF bytes push the sums to their bounds between reductions.
    Bytes ones(100000, 0xFF);
    Bytes b = random_bytes(70001, 7);
    for (const Bytes *buf : {&ones, &b}) {
        unsigned long whole = bt_adler32(1, const_cast<unsigned char *>(buf->data()),
                                         static_cast<unsigned>(buf->size()));
        unsigned long piece = 1;
        for (std::size_t at = 0; at < buf->size(); at += 5551)
            piece = bt_adler32(piece, const_cast<unsigned char *>(buf->data()) + at,
                               static_cast<unsigned>(std::min<std::size_t>(5551, buf->size() - at)));
        EXPECT_EQ(piece, whole);
#ifdef HAVE_ZLIB
        EXPECT_EQ(whole, adler32(1, buf->data(), static_cast<uInt>(buf->size())));
#endif
    }
}

#ifdef HAVE_ZLIB
TEST(Checksums, AdlerAgreesWithZlib) {
    for (std::size_t n = 0; n <= 300; n++) {
        Bytes b = random_bytes(n, n + 77);
        unsigned long start = (n * 40503u) % 65521 | ((n * 7u % 65521) << 16);
        ASSERT_EQ(bt_adler32(start, b.data(), static_cast<unsigned>(n)),
                  adler32(start, b.data(), static_cast<uInt>(n)))
            << n;
    }
}
#endif

}  // namespace
