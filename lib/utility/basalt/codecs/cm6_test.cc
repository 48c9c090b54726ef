#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "basalt.h"

namespace {

struct Text {
    char *buf = nullptr;
    int nbytes = -1, size = 0;
    ~Text() { std::free(buf); }
    std::string str() const { return std::string(buf, static_cast<std::size_t>(nbytes)); }
};

std::string encode(std::vector<int> x) {
    Text t;
    EXPECT_EQ(cm6(x.data(), static_cast<int>(x.size()), &t.buf, &t.nbytes, &t.size), 0);
    EXPECT_EQ(t.buf[t.nbytes], '\0');
    return t.str();
}

struct Decoded {
    int rc = 0, nsamp = -1;
    std::vector<int> samples;
};

Decoded decode(const std::string &text) {
    int *data = nullptr, nsamp = -1, size = 0;
    std::string copy = text;
    Decoded d;
    d.rc = um6(copy.data(), static_cast<int>(copy.size()), &data, &nsamp, &size);
    d.nsamp = nsamp;
    d.samples.assign(data, data + (nsamp > 0 ? nsamp : 0));
    std::free(data);
    return d;
}

TEST(Cm6, ThreeSamples) {
    EXPECT_EQ(encode({1, 2, 3}), "-++\nCHK2 6\n");
    Decoded d = decode("WID2 2024/01/01 station header\nDAT2\n-++\nCHK2 6\n");
    EXPECT_EQ(d.rc, 3);
    EXPECT_EQ(d.samples, (std::vector<int>{1, 2, 3}));
    d = decode("WID2 x\nDAT2\n-++\nCHK2 7\n");
    EXPECT_EQ(d.rc, -1);
    EXPECT_EQ(d.nsamp, 3);
}

TEST(Cm6, CharactersOfSingleValues) {
    struct Case {
        int value;
        std::string text;
    } cases[] = {{16, "UE"}, {512, "Uk+"}, {-1, "F"}, {0, "+"}, {15, "D"}, {-15, "T"}};
    for (const Case &c : cases) {
        // One sample: its value is the sample itself.
        std::string t = encode({c.value});
        EXPECT_EQ(t.substr(0, t.find('\n')), c.text) << c.value;
        Decoded d = decode(t);
        EXPECT_EQ(d.rc, 1) << c.value;
        EXPECT_EQ(d.samples, std::vector<int>{c.value});
    }
}

TEST(Cm6, LinesBreakAfterEightyCharacters) {
    // 0, 0, then second differences of 16 (two characters each).
    std::vector<int> x(60);
    int64_t v = 0, slope = 0;
    for (int i = 2; i < 60; i++) {
        slope += 16;
        v += slope;
        x[i] = static_cast<int>(v);
    }
    std::string t = encode(x);
    std::string data = t.substr(0, t.find("\nCHK2 "));
    std::size_t nl = data.find('\n');
    EXPECT_EQ(nl, 80u);
    EXPECT_EQ(data.substr(0, 4), "++UE");
    EXPECT_EQ(data.substr(nl + 1).size(), 2 + 58 * 2 - 80u);
    EXPECT_EQ(decode(t).samples, x);

    // Exactly 80 characters: one full line, no empty line after it.
    std::vector<int> y(80, 0);
    std::string u = encode(y);
    EXPECT_EQ(u, std::string(80, '+') + "\nCHK2 0\n");
    EXPECT_EQ(decode(u).rc, 80);
}

TEST(Cm6, ABlankEndsTheData) {
    Decoded d = decode("-++ junk\nCHK2 6\n");
    EXPECT_EQ(d.rc, 3);
    d = decode("-+ +\nCHK2 3\n");  // samples 1, 2
    EXPECT_EQ(d.rc, 2);
    EXPECT_EQ(d.samples, (std::vector<int>{1, 2}));
    // A blank starting one of the first two values is bad.
    EXPECT_EQ(decode(" ++\nCHK2 0\n").rc, -1);
}

TEST(Cm6, BadText) {
    EXPECT_EQ(decode("-++\n").rc, -1);         // no checksum line
    EXPECT_EQ(decode("-+!\nCHK2 6\n").rc, -1);  // outside the alphabet
    EXPECT_EQ(decode("-+\xc3\nCHK2 6\n").rc, -1);
    EXPECT_EQ(decode("-U!\nCHK2 6\n").rc, -1);
}

TEST(Cm6, NoOrOneSampleDecodes) {
    EXPECT_EQ(encode({}), "\nCHK2 0\n");
    Decoded d = decode(encode({}));
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.nsamp, 0);
    d = decode(encode({-123456}));
    EXPECT_EQ(d.rc, 1);
    EXPECT_EQ(d.samples, std::vector<int>{-123456});
    // Data that end in a tab add no sample for the missing value.
    d = decode("-+\t\nCHK2 3\n");
    EXPECT_EQ(d.rc, 2);
}

TEST(Cm6, TabsNewlinesAndReturnsArePassedOverAnywhere) {
    // Values of one to seven characters: mostly small second differences,
    // now and then a large jump.
    std::vector<int> x(700);
    uint32_t seed = 7;
    int64_t v = 0, slope = 0;
    for (int &s : x) {
        seed = seed * 1103515245u + 12345u;
        int r = static_cast<int>(seed >> 8);
        slope += r % 41 - 20;
        v += slope + (r % 97 == 0 ? (r % 2 ? 1 : -1) * (r % 300000000) : 0);
        s = static_cast<int>(v);
    }
    std::string t = encode(x);
    std::size_t chk = t.find("\nCHK2 ");
    std::string data, tail = t.substr(chk);
    for (char c : t.substr(0, chk))
        if (c != '\n') data += c;
    struct Case {
        std::size_t every;
        std::string gap;
    } cases[] = {{1, "\n"},  {2, "\t"},    {3, "\r\n"}, {5, "\n\n"}, {31, "\t"},
                 {63, "\n"}, {64, "\r\n"}, {65, "\n"},   {80, "\r"},  {200, "\t\n"},
                 {data.size(), ""}};
    for (const Case &c : cases) {
        std::string text;
        for (std::size_t i = 0; i < data.size(); i += c.every)
            text += data.substr(i, c.every) + c.gap;
        Decoded d = decode(text + tail);
        EXPECT_EQ(d.rc, 700) << c.every;
        EXPECT_EQ(d.samples, x) << c.every;
    }
}

TEST(Cm6, ExtremeSecondDifferencesRoundTrip) {
    std::vector<int> x = {INT_MIN, INT_MAX, INT_MIN, 0, INT_MAX, INT_MAX, INT_MIN, -1, 1};
    EXPECT_EQ(decode(encode(x)).samples, x);
}

TEST(Cm6, NothingIsReadPastTheGivenLength) {
    std::string t = encode({5, 6, 7, 8});
    std::vector<char> cut(t.begin(), t.end() - 3);  // "CHK2 " and one digit, no NUL
    int *data = nullptr, nsamp = 0, size = 0;
    EXPECT_EQ(um6(cut.data(), static_cast<int>(cut.size()), &data, &nsamp, &size), -1);
    std::free(data);
}

TEST(Cm6, DecodersInManyThreadsAgree) {
    std::vector<int> x(500);
    for (int i = 0; i < 500; i++) x[i] = i * i - 300 * i;
    std::string t = encode(x);
    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    for (int k = 0; k < 8; k++)
        threads.emplace_back([&, k] { ok[k] = decode(t).samples == x; });
    for (auto &th : threads) th.join();
    EXPECT_EQ(ok, std::vector<int>(8, 1));
}

TEST(GseChecksum, Examples) {
    struct Case {
        std::vector<int> x;
        int start, want;
    } cases[] = {
        {{150000000, 60000000}, 0, 10000000},
        {{-5}, 0, 5},
        {{}, 42, 42},
        {{INT_MIN, INT_MIN}, 0, 94967296},
        {{1, 2, 3}, 0, 6},
    };
    for (Case &c : cases) {
        int sum = c.start;
        gse_checksum(c.x.data(), static_cast<int>(c.x.size()), &sum);
        EXPECT_EQ(sum, c.want);
    }
}

TEST(GseChecksum, LongRunsNearTheModulusMatchTheStepwiseSum) {
    // The sum taken one sample at a time: each sample, then the running sum,
    // reduced towards zero once it reaches 10^8 in magnitude.
    auto stepwise = [](const std::vector<int> &x, int start) {
        int64_t sum = start;
        for (int s : x) {
            int64_t v = s;
            if (v >= 100000000 || v <= -100000000) v %= 100000000;
            sum += v;
            if (sum >= 100000000 || sum <= -100000000) sum %= 100000000;
        }
        return static_cast<int>(sum < 0 ? -sum : sum);
    };
    uint32_t seed = 11;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    const int scales[] = {1000, 3000000, 99999999, 2000000000};
    for (int scale : scales) {
        for (int n : {0, 1, 31, 32, 33, 64, 100, 1000, 5000}) {
            std::vector<int> x(n);
            for (int &s : x)
                s = static_cast<int>(
                    static_cast<int64_t>(next() % (2u * static_cast<uint32_t>(scale))) - scale);
            for (int start : {0, 99999990, -99999990, INT_MAX, INT_MIN}) {
                int sum = start;
                gse_checksum(x.data(), n, &sum);
                EXPECT_EQ(sum, stepwise(x, start)) << scale << " " << n << " " << start;
            }
        }
    }
}

}  // namespace
