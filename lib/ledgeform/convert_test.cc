// Conversion between stored fields, program values and printable text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::same;
using ledgeform_testing::show;
using testing::HasSubstr;

class ConvertTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::elog_reset_register(); }
    void TearDown() override { testsupport::elog_reset_register(); }
    static std::string log() { return testsupport::elog_register_text(); }
};

// What dbc2d stores for a value, as text of the width.
std::string stored_int(int v, int width, const char *format, int type = dbINTEGER) {
    std::string out(static_cast<std::size_t>(width), '#');
    EXPECT_EQ(dbc2d(&v, out.data(), width, format, type), 0);
    return out;
}
std::string stored_real(double v, int width, const char *format, int type = dbREAL) {
    std::string out(static_cast<std::size_t>(width), '#');
    EXPECT_EQ(dbc2d(&v, out.data(), width, format, type), 0);
    return out;
}

TEST_F(ConvertTest, ValuesToStoredText) {
    EXPECT_EQ(stored_int(42, 8, "%8d"), "      42");
    EXPECT_EQ(stored_int(42, 8, ""), "42      ");  // the default format
    EXPECT_EQ(stored_int(42, 8, nullptr, dbYEARDAY), "42      ");
    EXPECT_EQ(stored_int(123456789, 4, "%d"), "1234");  // cut to the width
    EXPECT_EQ(stored_int(7, 6, "%ld"), "7     ");        // length modifiers dropped
    EXPECT_EQ(stored_int(7, 6, "%s"), "7     ");         // a format for another kind
    EXPECT_EQ(stored_int(7, 6, "%d%d"), "7     ");       // more than one conversion
    EXPECT_EQ(stored_int(7, 6, "%n"), "7     ");
    EXPECT_EQ(stored_int(7, 6, "%*d"), "7     ");
    EXPECT_EQ(stored_int(7, 8, "%99999d"), "7       ");
    EXPECT_EQ(stored_int(7, 8, "<%03d%%>"), "<007%>  ");
    EXPECT_EQ(stored_real(2.5, 10, "%10.3f"), "     2.500");
    EXPECT_EQ(stored_real(2.5, 13, ""), "2.500000e+00 ");
    EXPECT_EQ(stored_real(2.5, 6, "%lf", dbTIME), "2.5000");
    const char *s = "station";
    std::string out(5, '#');
    EXPECT_EQ(dbc2d(&s, out.data(), 5, nullptr, dbSTRING), 0);
    EXPECT_EQ(out, "stati");
    s = "ab";
    EXPECT_EQ(dbc2d(&s, out.data(), 5, nullptr, dbSTRING), 0);
    EXPECT_EQ(out, "ab   ");
}

TEST_F(ConvertTest, StoredTextToValues) {
    int i = 0;
    EXPECT_EQ(dbd2c("  42xyz", 4, &i, dbINTEGER), 0);
    EXPECT_EQ(i, 42);
    EXPECT_EQ(dbd2c("2001001 ", 8, &i, -357), 0);
    EXPECT_EQ(i, 2001001);
    double d = 0;
    EXPECT_EQ(dbd2c("  1.5e3  ", 9, &d, dbREAL), 0);
    EXPECT_EQ(d, 1500.0);
    EXPECT_EQ(dbd2c("  1.5e3 x", 9, &d, dbREAL), dbINVALID);
    EXPECT_EQ(dbd2c("         ", 9, &d, dbREAL), dbINVALID);
    EXPECT_EQ(dbd2c("  -Inf   ", 9, &d, dbREAL), 0);
    EXPECT_TRUE(std::isinf(d) && d < 0);
    EXPECT_EQ(dbd2c("  -   ", 6, &d, dbTIME), 0);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(dbd2c("      ", 6, &d, dbTIME), 0);
    EXPECT_EQ(d, 0.0);
    char text[8];
    EXPECT_EQ(dbd2c("  ab  xx", 6, text, dbSTRING), 0);
    EXPECT_STREQ(text, "ab");
}

// Numbers are read from the stored bytes in place where the text is plain;
// whatever the text, the value is that of atoi of the whole width (integers)
// or of strtod of the text without its blanks (reals and times).
TEST_F(ConvertTest, StoredNumbersAreTheValuesOfTheirWholeText) {
    const std::string ints[] = {
        "42",         "  -7   ",    "+15",       "\t\n 9",    "- 5",        "-",
        "",           "      ",     "12ab",      "123456789", "-123456789", "1234567890",
        "2147483647", "-2147483648", "0000000000012", std::string("12\0 99", 6), "7 8",
    };
    for (const std::string &text : ints) {
        int v = 12345;
        ASSERT_EQ(dbd2c(text.data(), static_cast<int>(text.size()), &v, dbINTEGER), 0) << text;
        EXPECT_EQ(v, std::atoi(text.c_str())) << text;
    }
    const std::string reals[] = {
        "1700012345.67000", "  -0.5  ",         "+3",   "1.",  ".5",  "-.25",
        "123456789012345",  "1234567890123456", "0.1",  "-0",  "1e3", "0.000000000000001",
        "99999.9999999999", std::string("2.5\0 1", 6), "12.5.1", "1 2",
    };
    for (const std::string &text : reals) {
        std::string clean = text.c_str();
        clean.erase(0, clean.find_first_not_of(' '));
        clean.erase(clean.find_last_not_of(' ') + 1);
        char *end = nullptr;
        double want = std::strtod(clean.c_str(), &end);
        bool whole = end != clean.c_str() && *end == '\0';
        for (int type : {dbREAL, dbTIME}) {
            double v = -1;
            int rc = dbd2c(text.data(), static_cast<int>(text.size()), &v, type);
            if (!whole) {
                if (type == dbREAL) {
                    EXPECT_EQ(rc, dbINVALID) << text;
                }
                continue;
            }
            EXPECT_EQ(rc, 0) << text;
            EXPECT_EQ(std::memcmp(&v, &want, sizeof v), 0) << text << " " << v << " " << want;
        }
    }
}

TEST_F(ConvertTest, BinaryValuesRoundTrip) {
    struct Case {
        int type;
        int width;
    } cases[] = {{138, 4}, {139, 8}, {140, 2}, {141, 4}, {142, 16}};
    for (const Case &c : cases) {
        // Stored at an odd offset: binary fields need not be aligned.
        char field[40];
        std::memset(field, 0, sizeof field);
        char *at = field + 3;
        if (c.type == 138 || c.type == 139) {
            double v = -0.375, back = 0;
            EXPECT_EQ(dbc2d(&v, at, c.width, nullptr, c.type), 0);
            EXPECT_EQ(dbd2c(at, c.width, &back, c.type), 0);
            EXPECT_EQ(back, v) << c.type;
        } else if (c.type == 142) {
            Dbptr v = {1, 2, -501, -505}, back = dbinvalid();
            EXPECT_EQ(dbc2d(&v, at, c.width, nullptr, c.type), 0);
            EXPECT_EQ(dbd2c(at, c.width, &back, c.type), 0);
            EXPECT_TRUE(same(back, v));
        } else {
            int v = -1234, back = 0;
            EXPECT_EQ(dbc2d(&v, at, c.width, nullptr, c.type), 0);
            EXPECT_EQ(dbd2c(at, c.width, &back, c.type), 0);
            EXPECT_EQ(back, v) << c.type;
        }
        // A field too narrow for the type is refused.
        double unused = 0;
        EXPECT_EQ(dbc2d(&unused, at, c.width - 1, nullptr, c.type), dbINVALID);
    }
    int v = 40000, back = 0;
    char two[2];
    dbc2d(&v, two, 2, nullptr, 140);
    dbd2c(two, 2, &back, 140);
    EXPECT_EQ(back, -25536);
    v = 70000;
    dbc2d(&v, two, 2, nullptr, 140);
    dbd2c(two, 2, &back, 140);
    EXPECT_EQ(back, 4464);
    EXPECT_EQ(static_cast<unsigned char>(two[0]), 0x70);
    EXPECT_EQ(static_cast<unsigned char>(two[1]), 0x11);
    // A double beyond single precision is stored as its largest value.
    double huge = 1e300, small = 0;
    char four[4];
    EXPECT_EQ(dbc2d(&huge, four, 4, nullptr, 138), 0);
    dbd2c(four, 4, &small, 138);
    EXPECT_GT(small, 3.4e38);
}

TEST_F(ConvertTest, PrintableText) {
    char text[32];
    int i = 12;
    EXPECT_EQ(dbc2p(&i, text, 6, "%4d", dbINTEGER), 0);
    EXPECT_EQ(std::string(text, 6), "  12  ");
    EXPECT_EQ(dbc2p(&i, text, 4, "", dbINTEGER), 0);  // no default here
    EXPECT_EQ(std::string(text, 4), "    ");
    EXPECT_EQ(dbc2p(&i, text, 6, "", 141), 0);
    EXPECT_EQ(std::string(text, 6), "12    ");
    double d = 0.25;
    EXPECT_EQ(dbc2p(&d, text, 6, "%.3f", 138), 0);
    EXPECT_EQ(std::string(text, 6), "0.250 ");
    Dbptr p = {1, 2, 3, 4};
    EXPECT_EQ(dbc2p(&p, text, 12, nullptr, 142), 0);
    EXPECT_EQ(std::string(text, 12), "1 2 3 4     ");
    Dbptr back = dbinvalid();
    EXPECT_EQ(dbp2c("5 6", 3, &back, 142), 0);
    EXPECT_TRUE(same(back, {5, 6, -102, -102})) << show(back);
    EXPECT_EQ(dbp2c("40000", 5, &i, 140), 0);
    EXPECT_EQ(i, 40000);
    EXPECT_EQ(dbp2c(" 2.5 ", 5, &d, 139), 0);
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(dbp2c("-", 1, &d, dbTIME), 0);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(dbp2c("abc", 3, &d, dbREAL), dbINVALID);
    EXPECT_EQ(dbp2c(" ab ", 4, text, dbSTRING), 0);
    EXPECT_STREQ(text, "ab");
}

TEST_F(ConvertTest, UnknownTypesAreReported) {
    double v = 0;
    char field[16];
    struct Case {
        int type;
        const char *store;
        const char *load;
    } cases[] = {
        {136, "Waveform not implemented yet.\n", "Waveform not implemented yet.\n"},
        {137, "Response not implemented yet.\n", "Response not implemented yet.\n"},
        {99, "bad type 99\n", "invalid type code 99"},
        {dbBOOLEAN, "bad type 1\n", "invalid type code 1"},
    };
    for (const Case &c : cases) {
        testsupport::elog_reset_register();
        EXPECT_EQ(dbc2d(&v, field, 8, nullptr, c.type), dbINVALID);
        EXPECT_EQ(dbc2p(&v, field, 8, nullptr, c.type), dbINVALID);
        EXPECT_EQ(dbd2c(field, 8, &v, c.type), dbINVALID);
        EXPECT_EQ(dbp2c(field, 8, &v, c.type), dbINVALID);
        EXPECT_THAT(log(), HasSubstr(c.store));
        EXPECT_THAT(log(), HasSubstr(c.load));
    }
}

}  // namespace
