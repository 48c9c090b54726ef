#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "basalt.h"
#include "kitbag.h"

namespace {

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// The text strdbl writes, checked to stay inside a 32-byte buffer.
std::string text_of(double x) {
    char buf[40];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(strdbl(x, buf), buf);
    EXPECT_EQ(std::memchr(buf, '\0', 32) != nullptr, true) << "longer than 31 characters";
    for (std::size_t i = 32; i < sizeof buf; i++) EXPECT_EQ(buf[i], '#');
    return buf;
}

// What aprintstr prints.
std::string printed(const char *s, int n) {
    char *data = nullptr;
    std::size_t size = 0;
    FILE *f = open_memstream(&data, &size);
    aprintstr(f, s, n);
    std::fclose(f);
    std::string text(data, size);
    std::free(data);
    return text;
}

TEST(Strdbl, Texts) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double x;
        const char *text;
    };
    const Case cases[] = {
        {0.0, "0"},
        {0.5, ".5"},
        {-0.5, "-0.5"},
        {0.25, ".25"},
        {1.0, "1"},
        {-3.0, "-3"},
        {123.456, "123.456"},
        {0.001, ".001"},
        {1.0 / 3.0, ".333333333333333"},
        {1e10, "10000000000"},
        {9876543210.5, "9876543210.5"},
        {12345678901.0, "12.345678901e9"},
        {1.5e12, "1.5e12"},
        {-1.5e12, "-1.5e12"},
        {0.0005, "500e-6"},
        {-0.0005, "-500e-6"},
        {2e-7, "200e-9"},
        {1e300, "1e300"},
        {1e-99, "1e-99"},
        {DBL_MAX, "179.769313486232e306"},
        {inf, "Inf"},
        {-inf, "-Inf"},
        {std::nan(""), "Nan"},
        {-std::nan(""), "Nan"},
        {a_signaling_nan(), "Nan"},
    };
    for (const Case &c : cases) EXPECT_EQ(text_of(c.x), c.text) << "x = " << c.x;
}

TEST(Strdbl, ExtremesFitIn32Bytes) {
    const double values[] = {DBL_MIN, -DBL_MIN, from_bits(1), -from_bits(1), -DBL_MAX,
                             -0.00123456789012345, -1.23456789012345e-200, 5e-100,
                             -9.99999999999999e9};
    for (double x : values) {
        std::string t = text_of(x);
        EXPECT_FALSE(t.empty());
        EXPECT_LT(t.size(), 32u) << t;
    }
    // Plain decimal for the whole middle range, up to 15 digits.
    EXPECT_EQ(text_of(-0.00123456789012345), "-0.00123456789012345");
}

TEST(Strdbl, TextsReadBackClose) {
    const double values[] = {1.5e12, 2e-7, 12345678901.0, 0.0005, 7.25e-40, 3.5e200, 0.123};
    for (double x : values) {
        std::string t = text_of(x);
        double back = fix_strtod(t.c_str(), nullptr);
        EXPECT_NEAR(back, x, std::fabs(x) * 1e-14) << t;
    }
}

TEST(FixStrtod, Reads) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char *in;
        double value;  // NaN: a NaN is expected
        int consumed;
        int negative;  // expected sign bit
    };
    const Case cases[] = {
        {"  inf", inf, 5, 0},
        {"Inf", inf, 3, 0},
        {"INFINITY", inf, 3, 0},
        {"-inf", -inf, 4, 1},
        {" -InF rest", -inf, 5, 1},
        {"NaN", NAN, 3, 0},
        {"nan(123)", NAN, 3, 0},
        {"-nan", NAN, 4, 1},
        {"1.5x", 1.5, 3, 0},
        {"  -12.5e3 rest", -12500.0, 9, 1},
        {"+inf", inf, 4, 0},
        {"\t7", 7.0, 2, 0},
        {"42", 42.0, 2, 0},
    };
    for (const Case &c : cases) {
        char *end = nullptr;
        double v = fix_strtod(c.in, &end);
        if (std::isnan(c.value))
            EXPECT_TRUE(std::isnan(v)) << c.in;
        else
            EXPECT_EQ(v, c.value) << c.in;
        EXPECT_EQ(end, c.in + c.consumed) << c.in;
        EXPECT_EQ(std::signbit(v) ? 1 : 0, c.negative) << c.in;
    }
}

TEST(FixStrtod, NaNsAreTheQuietNaN) {
    EXPECT_EQ(bits(fix_strtod("nan", nullptr)), UINT64_C(0x7FFFFFFFFFFFFFFF));
    EXPECT_EQ(bits(fix_strtod("-NAN", nullptr)), UINT64_C(0xFFFFFFFFFFFFFFFF));
}

TEST(FixStrtod, NothingToRead) {
    for (const char *in : {"", "   ", "abc", "  -", "in", "-na"}) {
        char *end = reinterpret_cast<char *>(1);
        EXPECT_EQ(fix_strtod(in, &end), 0.0) << in;
        EXPECT_EQ(end, in) << in;
    }
    char *end = reinterpret_cast<char *>(1);
    EXPECT_EQ(fix_strtod(nullptr, &end), 0.0);
    EXPECT_EQ(end, nullptr);
    // Without an end pointer.
    EXPECT_EQ(fix_strtod("2.5", nullptr), 2.5);
}

TEST(SpecialValues, Images) {
    EXPECT_EQ(bits(an_infinity()), UINT64_C(0x7FF0000000000000));
    EXPECT_EQ(bits(a_signaling_nan()), UINT64_C(0x7FF0000000000001));
    EXPECT_EQ(bits(a_quiet_nan()), UINT64_C(0x7FFFFFFFFFFFFFFF));
    EXPECT_EQ(bits(a_nan()), UINT64_C(0x7FFFFFFFFFFFFFFF));
    EXPECT_TRUE(std::isinf(an_infinity()));
    EXPECT_GT(an_infinity(), 0);
    EXPECT_TRUE(std::isnan(a_signaling_nan()));
    EXPECT_TRUE(std::isnan(a_quiet_nan()));

    // The big-endian byte images.
    unsigned char image[8];
    unsigned char *cursor = image;
    double inf = an_infinity();
    hd2md(&inf, &cursor, 1);
    const unsigned char expected[8] = {0x7F, 0xF0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(image, expected, 8), 0);
}

TEST(SpecialValues, Tests) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char *name;
        double x;
        int infinity, negative_infinity, either, denormalized;
    };
    const Case cases[] = {
        {"+inf", inf, 1, 0, 1, 0},
        {"-inf", -inf, 0, 1, 1, 0},
        {"quiet nan", a_quiet_nan(), 0, 0, 0, 0},
        {"-quiet nan", -a_quiet_nan(), 0, 0, 0, 0},
        {"signalling nan", a_signaling_nan(), 0, 0, 0, 0},
        {"1.0", 1.0, 0, 0, 0, 0},
        {"DBL_MAX", DBL_MAX, 0, 0, 0, 0},
        {"-DBL_MAX", -DBL_MAX, 0, 0, 0, 0},
        {"DBL_MIN", DBL_MIN, 0, 0, 0, 0},
        {"0.0", 0.0, 0, 0, 0, 1},
        {"-0.0", -0.0, 0, 0, 0, 1},
        {"smallest subnormal", from_bits(1), 0, 0, 0, 1},
        {"largest subnormal", from_bits(UINT64_C(0x000FFFFFFFFFFFFF)), 0, 0, 0, 1},
        {"-subnormal", -from_bits(5), 0, 0, 0, 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(is_infinity(c.x), c.infinity) << c.name;
        EXPECT_EQ(is_negative_infinity(c.x), c.negative_infinity) << c.name;
        EXPECT_EQ(is_inf(c.x), c.either) << c.name;
        EXPECT_EQ(is_denormalized(c.x), c.denormalized) << c.name;
    }
}

TEST(Rounding, Dround) {
    struct Case {
        double x, rounded;
    };
    const Case cases[] = {{2.5, 3.0},  {-2.5, -2.0}, {2.4999, 2.0}, {-0.5, 0.0},
                          {-0.51, -1.0}, {0.0, 0.0},  {1e20, 1e20},  {-7.0, -7.0}};
    for (const Case &c : cases) EXPECT_EQ(dround(c.x), c.rounded) << c.x;
    EXPECT_TRUE(std::isnan(dround(a_nan())));
    EXPECT_EQ(dround(an_infinity()), an_infinity());
}

TEST(Rounding, FourAndSixDecimals) {
    // Multiplications by the reciprocal constants, exactly.
    EXPECT_EQ(d4round(1.23456789), 12346.0 * 0.0001);
    EXPECT_EQ(d4round(-1.23456789), -12346.0 * 0.0001);
    EXPECT_EQ(d4round(0.00005), 1.0 * 0.0001);
    EXPECT_EQ(d6round(1.23456789), 1234568.0 * 0.000001);
    EXPECT_EQ(d6round(2.0000004), 2000000.0 * 0.000001);
    EXPECT_NEAR(d4round(3.14159265), 3.1416, 1e-12);
    EXPECT_NEAR(d6round(3.14159265), 3.141593, 1e-12);
}

TEST(Align, IntAndDouble) {
    struct Case {
        int i, to4, to8;
    };
    const Case cases[] = {
        {0, 0, 0},   {1, 4, 8},    {3, 4, 8},    {4, 4, 8},   {5, 8, 8},
        {8, 8, 8},   {9, 12, 16},  {-1, 0, 0},   {-3, 0, 0},  {-4, -4, 0},
        {-5, -4, 0}, {-8, -8, -8}, {-9, -8, -8}, {1000001, 1000004, 1000008},
        {INT_MAX - 7, INT_MAX - 7, INT_MAX - 7}, {INT_MAX - 6, INT_MAX - 3, INT_MIN},
        {INT_MIN, INT_MIN, INT_MIN}, {INT_MIN + 1, INT_MIN + 4, INT_MIN + 8},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(align_int(c.i), c.to4) << c.i;
        EXPECT_EQ(align_double(c.i), c.to8) << c.i;
    }
    // No multiple of 4 above INT_MAX - 3 fits: the result wraps, without
    // overflowing along the way.
    EXPECT_EQ(align_int(INT_MAX), INT_MIN);
    EXPECT_EQ(align_double(INT_MAX - 3), INT_MIN);
}

TEST(Printable, Chars) {
    struct Case {
        int c;
        const char *text;
    };
    const Case cases[] = {
        {0, "\\x00"},   {9, "\t"},     {10, "\n"},    {13, "\\x0d"}, {31, "\\x1f"},
        {32, " "},      {65, "A"},     {126, "~"},    {127, "\x7f"}, {128, "\\x80"},
        {200, "\\xc8"}, {255, "\\xff"}, {256 + 65, "A"}, {-1, "\\xff"}, {-56, "\\xc8"},
    };
    for (const Case &c : cases) EXPECT_STREQ(aprintchar(c.c), c.text) << c.c;
    for (int c = 0; c < 256; c++) {
        const std::size_t n = std::strlen(aprintchar(c));
        const bool plain = (c >= 32 && c <= 127) || c == 9 || c == 10;
        EXPECT_EQ(n, plain ? 1u : 4u) << c;
    }
    // A shared constant: the same text every time.
    EXPECT_EQ(aprintchar(13), aprintchar(13 + 256));
}

TEST(Printable, Strings) {
    struct Case {
        const char *s;
        int n;
        const char *text;
    };
    const Case cases[] = {
        {"a\tb\x01", 10, "a\tb\\x01\n"},
        {"a\tb\x01", 2, "a\t\n"},
        {"ab\0cd", 5, "ab\n"},
        {"hello", 0, "\n"},
        {"hello", -3, "\n"},
        {"\xff\x7f\r\n", 4, "\\xff\x7f\\x0d\n\n"},
        {nullptr, 5, "\n"},
    };
    for (const Case &c : cases) EXPECT_EQ(printed(c.s, c.n), c.text) << (c.s ? c.s : "(null)");
}

TEST(Xlat, Lookups) {
    Xlat table[] = {{const_cast<char *>("get"), 1},
                    {const_cast<char *>("put"), 2},
                    {const_cast<char *>("stat"), 3},
                    {const_cast<char *>("again"), 2},
                    {const_cast<char *>("put"), 5}};
    const int n = 5;
    EXPECT_STREQ(xlatnum(1, table, n), "get");
    EXPECT_STREQ(xlatnum(2, table, n), "put");  // the first row with 2
    EXPECT_STREQ(xlatnum(5, table, n), "put");
    EXPECT_EQ(xlatnum(9, table, n), nullptr);
    EXPECT_EQ(xlatnum(1, table, 0), nullptr);
    EXPECT_EQ(xlatnum(5, table, 4), nullptr);  // only nxlat rows are looked at

    EXPECT_EQ(xlatname("stat", table, n), 3);
    EXPECT_EQ(xlatname("put", table, n), 2);  // the first row named put
    EXPECT_EQ(xlatname("STAT", table, n), -1);
    EXPECT_EQ(xlatname("sta", table, n), -1);
    EXPECT_EQ(xlatname("missing", table, n), -1);
    EXPECT_EQ(xlatname("", table, n), -1);
    EXPECT_EQ(xlatname(nullptr, table, n), -1);
    EXPECT_EQ(xlatname("again", table, 3), -1);
}

TEST(Yesno, Words) {
    struct Case {
        const char *s;
        int result;
    };
    const Case cases[] = {
        {"yes", -1},  {"Yes", -1},  {"ON", -1},    {"1", -1},    {"ok", -1},   {"OK", -1},
        {"y", -1},    {"true", -1}, {"TRUE", -1},  {"on", -1},   {"t", -1},    {"T", -1},
        {"no", 0},    {"NO", 0},    {"n", 0},      {"false", 0}, {"0", 0},     {"off", 0},
        {"Off", 0},   {"f", 0},     {"F", 0},      {"maybe", 1}, {"", 1},      {" yes", 1},
        {"yes ", 1},  {"yess", 1},  {"o", 1},      {"10", 1},    {"of", 1},    {"nope", 1},
        {"ye", 1},    {"tru", 1},   {"\xc3\xbf", 1},
    };
    for (const Case &c : cases) EXPECT_EQ(yesno(c.s), c.result) << "'" << c.s << "'";
    EXPECT_EQ(yesno(nullptr), 1);
}

}  // namespace
