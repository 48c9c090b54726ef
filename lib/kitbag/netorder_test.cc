// The network-order wrappers, byte swapping and the cursorless conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "kitbag.h"

namespace {

std::vector<unsigned char> bytes(std::initializer_list<int> list) {
    std::vector<unsigned char> out;
    for (int b : list) out.push_back(static_cast<unsigned char>(b));
    return out;
}

// Bit patterns that make interesting values of every width: limits, values
// just out of range of the narrower types, NaNs (quiet, negative, with a
// payload, signalling) and infinities of both floating widths, ones and
// fractions.
const uint64_t kPatterns[] = {
    0, 1, ~uint64_t{0}, 0x7f, 0x80, 0xff, 300, static_cast<uint64_t>(-300), 0x7fff, 0x8000,
    0xffff, 0x10000, static_cast<uint64_t>(-40000), 0x7fffffff, 0x80000000u, 0xffffffffu,
    0x0102030405060708ull, 0x8000000000000000ull, 0x7fffffffffffffffull,
    0x3f800000u, 0x3fc00000u, 0xbfc00000u, 0x4f000000u, 0x7f800000u, 0xff800000u, 0x7fc00000u,
    0xffc00000u, 0x7fc12345u, 0x7f800001u, 0x3ff0000000000000ull, 0x3ff8000000000000ull,
    0x41dfffffffc00000ull, 0x7ff0000000000000ull, 0x7ff8000000000000ull,
    0xfff8000000000000ull, 0x7ff8123456789abcull, 0x7ff0000000000001ull,
    0x0000000100000000ull, 0x4b80000000000000ull,
};
constexpr int kCount = static_cast<int>(std::size(kPatterns));

template <class T> std::vector<T> sample_values() {
    std::vector<T> out(kCount);
    for (int k = 0; k < kCount; ++k) std::memcpy(&out[k], &kPatterns[k], sizeof(T));
    return out;
}

// Bytes as found on the wire: every pattern, in both byte orders.
std::vector<unsigned char> sample_bytes(size_t width) {
    std::vector<unsigned char> out;
    for (uint64_t p : kPatterns) {
        for (size_t k = 0; k < width; ++k) out.push_back(static_cast<unsigned char>(p >> (8 * k)));
        for (size_t k = 0; k < width; ++k)
            out.push_back(static_cast<unsigned char>(p >> (8 * (width - 1 - k))));
    }
    return out;
}

template <class T> bool same_bits(const T &a, const T &b) { return std::memcmp(&a, &b, sizeof(T)) == 0; }

// Each wrapper is checked against the member it names, called directly with
// a cursor, on the same values: same bytes or values, same result.

template <class T>
void check_put(const char *name, int (*wrapper)(void *, const T *, int),
               int (*member)(const T *, unsigned char **, int), size_t width) {
    std::vector<T> values = sample_values<T>();
    std::vector<unsigned char> a(1 + kCount * width + 4, 0xa5), b = a;
    unsigned char *cursor = &b[1];
    int expected = member(values.data(), &cursor, kCount);
    EXPECT_EQ(wrapper(&a[1], values.data(), kCount), expected) << name;
    EXPECT_EQ(a, b) << name;
    for (int k = 0; k < kCount; ++k) {
        unsigned char one[8], two[8];
        unsigned char *c = two;
        EXPECT_EQ(wrapper(one, &values[k], 1), member(&values[k], &c, 1)) << name << " #" << k;
        EXPECT_EQ(std::memcmp(one, two, width), 0) << name << " #" << k;
    }
    std::vector<unsigned char> before = a;
    EXPECT_EQ(wrapper(&a[1], values.data(), 0), 0) << name;
    EXPECT_EQ(a, before) << name;
}

template <class T>
void check_get(const char *name, int (*wrapper)(T *, const void *, int),
               int (*member)(unsigned char **, T *, int), size_t width) {
    std::vector<unsigned char> wire = sample_bytes(width);
    wire.insert(wire.begin(), 0xa5);  // unaligned
    const int n = static_cast<int>((wire.size() - 1) / width);
    std::vector<T> got(n), want(n);
    unsigned char *cursor = &wire[1];
    int expected = member(&cursor, want.data(), n);
    EXPECT_EQ(wrapper(got.data(), &wire[1], n), expected) << name;
    for (int k = 0; k < n; ++k) EXPECT_TRUE(same_bits(got[k], want[k])) << name << " #" << k;
    for (int k = 0; k < n; ++k) {
        T one, two;
        unsigned char *c = &wire[1 + k * width];
        EXPECT_EQ(wrapper(&one, &wire[1 + k * width], 1), member(&c, &two, 1)) << name << " #" << k;
        EXPECT_TRUE(same_bits(one, two)) << name << " #" << k;
    }
    T untouched;
    std::memset(static_cast<void *>(&untouched), 0x5a, sizeof untouched);
    EXPECT_EQ(wrapper(&untouched, &wire[1], 0), 0) << name;
    EXPECT_EQ(reinterpret_cast<unsigned char *>(&untouched)[0], 0x5a) << name;
}

template <class T>
void check_putp(const char *name, int (*wrapper)(const T *, void *),
                int (*member)(const T *, unsigned char **, int), size_t width) {
    for (const T &v : sample_values<T>()) {
        unsigned char one[9] = {}, two[9] = {};
        unsigned char *c = two + 1;
        EXPECT_EQ(wrapper(&v, one + 1), member(&v, &c, 1)) << name;
        EXPECT_EQ(std::memcmp(one, two, sizeof one), 0) << name;
    }
}

template <class T>
void check_getp(const char *name, int (*wrapper)(const void *, T *),
                int (*member)(unsigned char **, T *, int), size_t width) {
    std::vector<unsigned char> wire = sample_bytes(width);
    wire.insert(wire.begin(), 0xa5);
    for (size_t at = 1; at + width <= wire.size(); at += width) {
        T one, two;
        unsigned char *c = &wire[at];
        EXPECT_EQ(wrapper(&wire[at], &one), member(&c, &two, 1)) << name;
        EXPECT_TRUE(same_bits(one, two)) << name;
    }
}

template <class T>
void check_putv(const char *name, T (*wrapper)(T), int (*member)(const T *, unsigned char **, int),
                size_t width) {
    for (const T &v : sample_values<T>()) {
        T want;
        unsigned char *c = reinterpret_cast<unsigned char *>(&want);
        member(&v, &c, 1);
        T got = wrapper(v);
        EXPECT_TRUE(same_bits(got, want)) << name;
    }
}

template <class T>
void check_getv(const char *name, T (*wrapper)(T), int (*member)(unsigned char **, T *, int),
                size_t width) {
    for (const T &v : sample_values<T>()) {
        T want, copy = v;
        unsigned char *c = reinterpret_cast<unsigned char *>(&copy);
        member(&c, &want, 1);
        T got = wrapper(v);
        EXPECT_TRUE(same_bits(got, want)) << name;
    }
}

struct Wrapper {
    const char *name, *form, *member;
    void (*check)();
};

// External width of the member a wrapper calls: its external type letter
// is the one before "2h" in a reader and the last one in a writer.
size_t width_of_member(const std::string &member) {
    size_t two = member.find('2');
    char ext = member.compare(two, 2, "2h") == 0 ? member[two - 1] : member.back();
    switch (ext) {
        case 'b': return 1;
        case 's': return 2;
        case 'i': case 'f': return 4;
        default: return 8;
    }
}

#define TEST_WRAPPER_(name, form, member, T) \
    Wrapper{#name, #form, #member, [] { check_##form<T>(#name, name, member, width_of_member(#member)); }},

const Wrapper kWrappers[] = {KITBAG_NETORDER_WRAPPERS(TEST_WRAPPER_)};

TEST(NetworkOrderWrappers, TableHasEveryWrapper) {
    EXPECT_EQ(std::size(kWrappers), size_t{KITBAG_NETORDER_WRAPPERS_SIZE});
    EXPECT_EQ(std::size(kWrappers), size_t{42});
    // Every documented wrapper and the member it calls.
    const char *const documented[][2] = {
        {"H2N2", "hs2ms"},   {"H2NS", "hs2ms"},   {"H2N4", "hi2mi"},   {"H2NI", "hi2mi"},
        {"H2N8", "hd2md"},   {"H2ND", "hd2md"},   {"H2NL", "hl2ml"},   {"N2H2", "ms2hs"},
        {"N2HS", "ms2hs"},   {"N2H4", "mi2hi"},   {"N2HI", "mi2hi"},   {"N2H8", "md2hd"},
        {"N2HD", "md2hd"},   {"N2HL", "ml2hl"},   {"UH2N2", "uhs2ms"}, {"UH2NS", "uhs2ms"},
        {"UH2N4", "uhi2mi"}, {"UH2NI", "uhi2mi"}, {"UH2N8", "uhl2ml"}, {"UH2NL", "uhl2ml"},
        {"UN2H2", "ums2hs"}, {"UN2HS", "ums2hs"}, {"UN2H4", "umi2hi"}, {"UN2HI", "umi2hi"},
        {"UN2H8", "uml2hl"}, {"UN2HL", "uml2hl"}, {"htond", "hd2md"},  {"ntohd", "md2hd"},
        {"htonf", "hf2mf"},  {"ntohf", "mf2hf"},  {"htondp", "hd2md"}, {"ntohdp", "md2hd"},
        {"htonfp", "hf2mf"}, {"ntohfp", "mf2hf"}, {"hton8p", "hl2ml"}, {"ntoh8p", "ml2hl"},
        {"HI2NC", "hi2mb"},  {"HI2NS", "hi2ms"},  {"HI2NF", "hi2mf"},  {"NC2HI", "mb2hi"},
        {"NS2HI", "ms2hi"},  {"NF2HI", "mf2hi"},
    };
    ASSERT_EQ(std::size(documented), std::size(kWrappers));
    for (size_t k = 0; k < std::size(documented); ++k) {
        EXPECT_STREQ(kWrappers[k].name, documented[k][0]);
        EXPECT_STREQ(kWrappers[k].member, documented[k][1]) << documented[k][0];
    }
}

TEST(NetworkOrderWrappers, EachAgreesWithItsMember) {
    for (const Wrapper &w : kWrappers) {
        SCOPED_TRACE(w.name);
        w.check();
    }
}

TEST(NetworkOrderWrappers, DocumentedExamples) {
    double one = 1.0;
    double be = htond(one);
    unsigned char image[8];
    std::memcpy(image, &be, 8);
    EXPECT_EQ(std::vector<unsigned char>(image, image + 8), bytes({0x3f, 0xf0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ntohd(be), 1.0);

    float fbe = htonf(1.5f);
    unsigned char fimage[4];
    std::memcpy(fimage, &fbe, 4);
    EXPECT_EQ(std::vector<unsigned char>(fimage, fimage + 4), bytes({0x3f, 0xc0, 0, 0}));
    EXPECT_EQ(ntohf(fbe), 1.5f);

    // The result of the member comes through: a NaN read as a double is
    // flagged, an int never is.
    auto nan = bytes({0x7f, 0xf8, 0, 0, 0, 0, 0, 0});
    double d;
    EXPECT_EQ(N2H8(&d, nan.data(), 1), -1);
    EXPECT_TRUE(std::isnan(d));
    int i;
    EXPECT_EQ(N2H4(&i, nan.data(), 1), 0);
    EXPECT_EQ(i, 0x7ff80000);

    // Size 8: a double in the signed wrappers, a 64-bit integer unsigned.
    uint64_t u = 0x0102030405060708ull;
    unsigned char out[8];
    EXPECT_EQ(UH2N8(out, &u, 1), 0);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 8), bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    uint64_t back = 0;
    EXPECT_EQ(UN2H8(&back, out, 1), 0);
    EXPECT_EQ(back, u);
    EXPECT_EQ(H2N8(out, &one, 1), 0);
    EXPECT_EQ(out[0], 0x3f);

    int ints[] = {300, -300, 5};
    unsigned char c3[3];
    EXPECT_EQ(HI2NC(c3, ints, 3), -1);
    EXPECT_EQ(std::vector<unsigned char>(c3, c3 + 3), bytes({0x7f, 0x80, 5}));
    unsigned char s6[6];
    EXPECT_EQ(HI2NS(s6, ints, 3), 0);
    EXPECT_EQ(std::vector<unsigned char>(s6, s6 + 6), bytes({1, 0x2c, 0xfe, 0xd4, 0, 5}));
    auto ff = bytes({0xff});
    EXPECT_EQ(NC2HI(&i, ff.data(), 1), 0);
    EXPECT_EQ(i, -1);
    auto onehalf = bytes({0x3f, 0xc0, 0, 0});
    EXPECT_EQ(NF2HI(&i, onehalf.data(), 1), -1);  // fraction dropped
    EXPECT_EQ(i, 1);

    int64_t l = -2;
    EXPECT_EQ(hton8p(&l, out), 0);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 8),
              bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}));
    int64_t l2 = 0;
    EXPECT_EQ(ntoh8p(out, &l2), 0);
    EXPECT_EQ(l2, -2);
}

// ---------------------------------------------------------------------------
// Byte swapping.

std::vector<unsigned char> reversed_items(const std::vector<unsigned char> &in, size_t width) {
    std::vector<unsigned char> out(in.size());
    for (size_t item = 0; item + width <= in.size(); item += width)
        for (size_t k = 0; k < width; ++k) out[item + k] = in[item + width - 1 - k];
    return out;
}

TEST(ByteSwapping, ReversesEachItem) {
    struct Case {
        const char *name;
        void (*fn)(const void *, void *, int);
        size_t width;
    } cases[] = {{"swap2", swap2, 2}, {"swap4", swap4, 4}, {"swap8", swap8, 8}};
    for (const Case &t : cases) {
        const int n = 37;
        std::vector<unsigned char> src(1 + n * t.width);
        for (size_t k = 0; k < src.size(); ++k) src[k] = static_cast<unsigned char>(k * 7 + 1);
        std::vector<unsigned char> body(src.begin() + 1, src.end());
        std::vector<unsigned char> want = reversed_items(body, t.width);

        // From an unaligned source into another array.
        std::vector<unsigned char> dst(n * t.width + 2, 0xa5);
        t.fn(&src[1], &dst[1], n);
        EXPECT_EQ(std::vector<unsigned char>(dst.begin() + 1, dst.end() - 1), want) << t.name;
        EXPECT_EQ(dst.front(), 0xa5) << t.name;
        EXPECT_EQ(dst.back(), 0xa5) << t.name;

        // In place.
        std::vector<unsigned char> same = body;
        t.fn(same.data(), same.data(), n);
        EXPECT_EQ(same, want) << t.name;

        // Nothing for an empty run.
        std::vector<unsigned char> before = dst;
        t.fn(&src[1], &dst[1], 0);
        EXPECT_EQ(dst, before) << t.name;
    }
    auto item = bytes({1, 2, 3, 4});
    swap4(item.data(), item.data(), 1);
    EXPECT_EQ(item, bytes({4, 3, 2, 1}));
    auto eight = bytes({1, 2, 3, 4, 5, 6, 7, 8});
    swap8(eight.data(), eight.data(), 1);
    EXPECT_EQ(eight, bytes({8, 7, 6, 5, 4, 3, 2, 1}));
}

// ---------------------------------------------------------------------------
// The cursorless 24-bit and float-word conversions.

TEST(TwentyFourBit, ReadWithoutCursor) {
    auto wire = bytes({0xa5, 0xff, 0xff, 0xfe, 0x7f, 0xff, 0xff, 0x80, 0, 0, 0x12, 0x34, 0x56});
    int got[4] = {};
    N32H4(got, &wire[1], 4);
    EXPECT_EQ(got[0], -2);
    EXPECT_EQ(got[1], MAX_t);
    EXPECT_EQ(got[2], MIN_t);
    EXPECT_EQ(got[3], 0x123456);
    int untouched = 9;
    N32H4(&untouched, &wire[1], 0);
    EXPECT_EQ(untouched, 9);
}

TEST(TwentyFourBit, WriteWithoutClipping) {
    struct Case {
        int value;
        std::vector<unsigned char> out;
    } cases[] = {
        {1 << 23, bytes({0x80, 0, 0})},          // not clipped: the low 24 bits
        {-1, bytes({0xff, 0xff, 0xff})},
        {0x12345678, bytes({0x34, 0x56, 0x78})},
        {MIN_t, bytes({0x80, 0, 0})},
        {-(1 << 23) - 1, bytes({0x7f, 0xff, 0xff})},
    };
    for (const Case &t : cases) {
        unsigned char out[5] = {0xa5, 0xa5, 0xa5, 0xa5, 0xa5};
        H42N3(out + 1, &t.value, 1);
        EXPECT_EQ(std::vector<unsigned char>(out + 1, out + 4), t.out) << t.value;
        EXPECT_EQ(out[0], 0xa5);
        EXPECT_EQ(out[4], 0xa5);
    }
    int values[] = {1, 2};
    unsigned char out[6] = {};
    H42N3(out, values, 2);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 6), bytes({0, 0, 1, 0, 0, 2}));
    H42N3(out, values, 0);
    EXPECT_EQ(out[2], 1);
}

TEST(FloatWords, ReadWidened) {
    auto wire = bytes({0xa5, 0x3f, 0xc0, 0, 0, 0xc0, 0, 0, 0, 0x7f, 0x80, 0, 0, 0x7f, 0xc0, 0, 0,
                       0x3d, 0xcc, 0xcc, 0xcd});
    double got[5];
    NF2HD(got, &wire[1], 5);
    EXPECT_EQ(got[0], 1.5);
    EXPECT_EQ(got[1], -2.0);
    EXPECT_TRUE(std::isinf(got[2]) && got[2] > 0);
    EXPECT_TRUE(std::isnan(got[3]));
    EXPECT_EQ(got[4], static_cast<double>(0.1f));
    double untouched = 7;
    NF2HD(&untouched, &wire[1], 0);
    EXPECT_EQ(untouched, 7);
}

TEST(FloatWords, WriteRoundedToFloat) {
    const double values[] = {1.5, 0.1, 1e300, -1e300, 0x1.fffffefp127, -0.0};
    unsigned char out[1 + 4 * std::size(values) + 1];
    std::memset(out, 0xa5, sizeof out);
    HD2NF(out + 1, values, static_cast<int>(std::size(values)));
    EXPECT_EQ(std::vector<unsigned char>(out + 1, out + sizeof out - 1),
              bytes({0x3f, 0xc0, 0, 0, 0x3d, 0xcc, 0xcc, 0xcd, 0x7f, 0x80, 0, 0, 0xff, 0x80, 0, 0,
                     0x7f, 0x7f, 0xff, 0xff, 0x80, 0, 0, 0}));
    EXPECT_EQ(out[0], 0xa5);
    EXPECT_EQ(out[sizeof out - 1], 0xa5);
    HD2NF(out + 1, values, 0);
    EXPECT_EQ(out[1], 0x3f);
}

}  // namespace
