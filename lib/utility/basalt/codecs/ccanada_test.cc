#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "basalt.h"
#include "elog_capture.h"

namespace {

using testsupport::elog_register_text;
using testsupport::elog_reset_register;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

std::string logged() {
    std::string s = elog_register_text();
    elog_reset_register();
    return s;
}

struct Compressed {
    unsigned char *buf = nullptr;
    int nbytes = -1, size = 0;
    ~Compressed() { std::free(buf); }
    std::vector<unsigned char> bytes() const { return {buf, buf + nbytes}; }
};

struct Decoded {
    int *data = nullptr;
    int nsamp = 0, size = 0;
    ~Decoded() { std::free(data); }
};

TEST(Canada, TwentyOneEqualSamplesMakeSixteenBytes) {
    std::vector<int> x(21, 5);
    Compressed c;
    ASSERT_EQ(ccanada(x.data(), 21, &c.buf, &c.nbytes, &c.size), 0);
    std::vector<unsigned char> want = {0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(c.bytes(), want);
    EXPECT_EQ(c.size, 20 * 4 + 2 + 4);  // room for the widest fields

    Decoded d;
    ASSERT_EQ(ucanada(c.buf, c.nbytes, &d.data, &d.nsamp, &d.size), 0);
    ASSERT_EQ(d.nsamp, 20);
    for (int i = 0; i <= 20; i++) EXPECT_EQ(d.data[i], 5) << i;
    EXPECT_EQ(logged(), "");
}

TEST(Canada, TwentyEqualSamplesCarryTheMissingCheckSample) {
    std::vector<int> x(20, 5);
    Compressed c;
    ASSERT_EQ(ccanada(x.data(), 20, &c.buf, &c.nbytes, &c.size), 0);
    ASSERT_EQ(c.nbytes, 30);
    std::vector<unsigned char> b = c.bytes();
    EXPECT_EQ(b[0], 0x80);
    EXPECT_EQ(b[1], 0x07);
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + 2, b.begin() + 6),
              (std::vector<unsigned char>{0, 0, 0, 5}));
    for (int i = 6; i < 26; i++) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + 26, b.end()),
              (std::vector<unsigned char>{0x7F, 0xFF, 0xFF, 0xFB}));

    Decoded d;
    ASSERT_EQ(ucanada(c.buf, c.nbytes, &d.data, &d.nsamp, &d.size), 0);
    ASSERT_EQ(d.nsamp, 20);
    for (int i = 0; i < 20; i++) EXPECT_EQ(d.data[i], 5);
    EXPECT_EQ(d.data[20], INT32_MIN);
}

TEST(Canada, CountsThatAreNotBlocksAreRefused) {
    std::vector<int> x(30, 1);
    for (int n : {30, 0, 19}) {
        Compressed c;
        c.nbytes = 99;
        EXPECT_EQ(ccanada(x.data(), n, &c.buf, &c.nbytes, &c.size), -1) << n;
        EXPECT_EQ(c.nbytes, 0);
        EXPECT_EQ(c.buf, nullptr);
        EXPECT_EQ(logged(), P() + ": ccanada: nsamp not a multiple of 20.\n");
    }
    Decoded d;
    d.nsamp = 30;
    unsigned char junk[40] = {};
    EXPECT_EQ(ucanada(junk, 40, &d.data, &d.nsamp, &d.size), -1);
    EXPECT_EQ(logged(), P() + ": ucanada: nsamp not a multiple of 20.\n");
}

TEST(Canada, ASingleSampleIsTheFirstSampleAlone) {
    int x = -7;
    Compressed c;
    ASSERT_EQ(ccanada(&x, 1, &c.buf, &c.nbytes, &c.size), 0);
    EXPECT_EQ(c.bytes(), (std::vector<unsigned char>{0xFF, 0xFF, 0xFF, 0xF9}));
    Decoded d;
    EXPECT_EQ(ucanada(c.buf, c.nbytes, &d.data, &d.nsamp, &d.size), -1);
    EXPECT_EQ(logged(), P() + ": ucanada: Illegal input data: compressed buffer too small\n");
    EXPECT_EQ(ucanada(nullptr, 100, &d.data, &d.nsamp, &d.size), -1);
    EXPECT_EQ(logged(), P() + ": ucanada: Illegal input data: compressed buffer too small\n");
}

TEST(Canada, TrailingBytesAndTruncation) {
    std::vector<int> x(41);
    for (int i = 0; i < 41; i++) x[i] = i * i * 37 - 5000;
    Compressed c;
    ASSERT_EQ(ccanada(x.data(), 41, &c.buf, &c.nbytes, &c.size), 0);
    std::vector<unsigned char> s = c.bytes();
    struct Case {
        int extra;
        int cut;
        int rc;
        std::string message;
    } cases[] = {
        {4, 0, 0, ""},
        {5, 0, -1, "ucanada: Illegal input data: compressed buffer too big.\n"},
        {0, 1, -1, "ucanada: Illegal input data: compressed buffer too small.\n"},
        {0, static_cast<int>(s.size()) - 12, -1,
         "ucanada: Illegal input data: compressed buffer too small.\n"},
    };
    for (const Case &k : cases) {
        std::vector<unsigned char> in = s;
        in.resize(s.size() + k.extra - k.cut, 0xAB);
        Decoded d;
        d.nsamp = 40;
        EXPECT_EQ(ucanada(in.data(), static_cast<int>(in.size()), &d.data, &d.nsamp, &d.size),
                  k.rc)
            << k.extra << " " << k.cut;
        EXPECT_EQ(logged(), k.message.empty() ? "" : P() + ": " + k.message);
        if (k.rc == 0) {
            for (int i = 0; i <= 40; i++) EXPECT_EQ(d.data[i], x[i]);
        }
    }
}

TEST(Canada, AGivenCountMustFitTheStreamBeforeAnythingIsAllocated) {
    unsigned char in[12] = {};
    Decoded d;
    d.nsamp = 2000000000;  // an index alone of 200 MB
    EXPECT_EQ(ucanada(in, 12, &d.data, &d.nsamp, &d.size), -1);
    EXPECT_EQ(d.data, nullptr);
    EXPECT_EQ(logged(), P() + ": ucanada: Illegal input data: compressed buffer too small.\n");
}

TEST(Canada, BuffersLargeEnoughAreKept) {
    std::vector<int> x(81);
    for (int i = 0; i < 81; i++) x[i] = (i % 7) * 1000003;
    Compressed c;
    c.size = 4096;
    c.buf = static_cast<unsigned char *>(std::malloc(4096));
    unsigned char *before = c.buf;
    ASSERT_EQ(ccanada(x.data(), 81, &c.buf, &c.nbytes, &c.size), 0);
    EXPECT_EQ(c.buf, before);
    EXPECT_EQ(c.size, 4096);

    Decoded d;
    ASSERT_EQ(ucanada(c.buf, c.nbytes, &d.data, &d.nsamp, &d.size), 0);
    EXPECT_EQ(d.size, 80 * 4 + 4);
    int *kept = d.data;
    // A shorter run in the same buffers reallocates nothing.
    ASSERT_EQ(ccanada(x.data(), 21, &c.buf, &c.nbytes, &c.size), 0);
    d.nsamp = 0;
    ASSERT_EQ(ucanada(c.buf, c.nbytes, &d.data, &d.nsamp, &d.size), 0);
    EXPECT_EQ(d.data, kept);
    EXPECT_EQ(d.nsamp, 20);
    for (int i = 0; i <= 20; i++) EXPECT_EQ(d.data[i], x[i]);
}

TEST(Canada, WideDifferencesUseTheFlaggedWidths) {
    // Steps that need 20 and 32 bits next to steps of 4 bits.
    std::vector<int> x(21);
    for (int i = 0; i < 21; i++) x[i] = (i % 2) ? 300000 : 0;
    x[10] = INT32_MAX;
    x[11] = INT32_MIN;
    Compressed c;
    ASSERT_EQ(ccanada(x.data(), 21, &c.buf, &c.nbytes, &c.size), 0);
    EXPECT_EQ(c.buf[0] & 0x80, 0x80);
    Decoded d;
    ASSERT_EQ(ucanada(c.buf, c.nbytes, &d.data, &d.nsamp, &d.size), 0);
    for (int i = 0; i <= 20; i++) EXPECT_EQ(d.data[i], x[i]) << i;
}

}  // namespace
