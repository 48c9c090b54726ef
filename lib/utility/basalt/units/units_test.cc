// Units of measure: the language, name lookup, loading the table,
// conversions, matching and printing. The table is loaded once per process,
// so each case runs in a child with a table of its own.
#include "units.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"
#include "tbl.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::ScratchDir;
using testsupport::write_file;

char *cstr(const std::string &s) { return const_cast<char *>(s.c_str()); }

// The table of the examples: one statement a line.
const char *const kExampleTable =
    "Primitive m\n"
    "Primitive s\n"
    "km = 1000 m\n"
    "inch = 0.0254 m\n"
    "min = 60 s\n"
    "Hz = / s\n";

// Runs body in a child whose units table is `table`.
ChildResult with_table(const std::string &table, const std::function<void()> &body) {
    ScratchDir dir;
    write_file(dir.file("units"), table);
    return in_child([&] {
        setenv("UNITS", dir.path().c_str(), 1);
        body();
    });
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl + 1 - start));
    return lines;
}

// Loads the table (a conversion that cannot fail to parse).
void load() {
    double x;
    char u[64];
    units_convert(1, cstr("1"), cstr("1"), &x, u);
}

// One conversion as text: "result value|out_units" (out_units between bars
// shows its blanks).
std::string convert(double in, const std::string &from, const std::string &to) {
    double value = -12345;
    char units[256] = "untouched";
    int result = units_convert(in, cstr(from), cstr(to), &value, units);
    char line[512];
    std::snprintf(line, sizeof line, "%d %.10g|%s|\n", result, value, units);
    return line;
}

TEST(Units, ConversionsOfTheExampleTable) {
    struct Case {
        double in;
        const char *from, *to, *expected;
    } cases[] = {
        {2, "km", "m", "0 2000| m|\n"},
        {3, "inches", "inch", "0 3| inch|\n"},
        {1, "m", "s", "1 1| s m s^-1 |\n"},
        {120, "/ min", "Hz", "0 2| Hz|\n"},
        {120, "min^-1", "Hz", "0 2| Hz|\n"},
        {1, "m^2", "km", "1 0.001| km m|\n"},
        {1, "/ m s", "Hz", "1 1| Hz m^-1 |\n"},
        // Number expressions.
        {1, "10^3", "1", "0 1000| 1|\n"},
        {1, "10^-2", "1", "0 0.01| 1|\n"},
        {1, "10^2.7", "1", "0 100| 1|\n"},
        {1, "2^0", "1", "0 1| 1|\n"},
        {1, "2 * 3 ^ 2", "1", "0 36| 1|\n"},
        {1, "12 / 2 * 3", "1", "0 2| 1|\n"},
        {1, "8 / 2 / 2", "1", "0 2| 1|\n"},
        {1, "e3", "1", "0 0| 1|\n"},  // no digits before the exponent: 0
        {1, "-2.5e-1 m", "m", "0 -0.25| m|\n"},
        // A number beside the units, on either side.
        {1, "5m", "m", "0 5| m|\n"},
        {1, "km 3", "m", "0 3000| m|\n"},
        {1, "km 12 / 2 * 3", "m", "0 2000| m|\n"},
        {1, "1000 / s", "Hz", "0 1000| Hz|\n"},
        {1, "1 / 1000 s", "s", "0 0.001| s|\n"},
        // Grouping of units: juxtaposition and "-" before "/".
        {1, "km / km m", "/ m", "0 1| / m|\n"},
        {1, "km / km - m", "/ m", "0 1| / m|\n"},
        {1, "m - km / km", "m", "0 1| m|\n"},
        {1, "km / m / km", "/ m", "0 1| / m|\n"},
        {1, "/ km m", "/ m m", "0 0.001| / m m|\n"},
        {1, "/ km / m", "/ m m", "0 0.001| / m m|\n"},
        {1, "km^2 / m", "m", "0 1000000| m|\n"},
    };
    auto r = with_table(kExampleTable, [&] {
        for (const Case &c : cases) out(convert(c.in, c.from, c.to));
    });
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), std::size(cases)) << r.out;
    for (std::size_t i = 0; i < lines.size(); i++)
        EXPECT_EQ(lines[i], cases[i].expected) << cases[i].in << " " << cases[i].from << " -> "
                                               << cases[i].to;
}

TEST(Units, PrefixesAfterTheWholeNameAndItsSingular) {
    auto without = with_table(kExampleTable, [] {
        out(convert(1, "kilometers", "m"));
        out(testsupport::elog_register_text());
    });
    EXPECT_THAT(without.out, HasSubstr("-1 -12345|untouched|"));
    EXPECT_THAT(without.out, HasSubstr("metrion : can't find unit 'kilometers' near line #-1"));

    auto with = with_table(std::string(kExampleTable) + "meter = m\n", [] {
        out(convert(1, "kilometers", "m"));
        out(convert(5, "centimeter", "m"));
        out(convert(1, "millimin", "s"));
    });
    EXPECT_EQ(with.out, "0 1000| m|\n0 0.05| m|\n0 0.06| s|\n");
}

TEST(Units, LookupLeavesTheNameAsItsLastSearch) {
    auto r = with_table(kExampleTable, [] {
        load();
        Basis *b;
        double prefix = 0;
        for (const char *name : {"inches", "km", "bogusses", "kilobogus", "kiloinches", "s"}) {
            char text[64];
            std::snprintf(text, sizeof text, "%s", name);
            int found = unit_found(text, &b, &prefix);
            std::printf("%s: %d %s %g '%s'\n", name, found, b->name, prefix, text);
        }
    });
    EXPECT_EQ(r.out,
              "inches: 1 inch 1 'inch'\n"
              "km: 1 km 1 'km'\n"
              "bogusses: 0 *NO*SUCH*UNIT* 1 'boguss'\n"
              "kilobogus: 0 *NO*SUCH*UNIT* 1000 'kilobogus'\n"
              "kiloinches: 1 inch 1000 'kiloinch'\n"
              "s: 1 s 1 's'\n");
    auto empty = with_table(kExampleTable, [] {
        load();
        Basis *b;
        double prefix;
        char nothing[] = "";
        unit_found(nothing, &b, &prefix);
    });
    EXPECT_EQ(empty.exit_code, 1);
    EXPECT_THAT(empty.err, HasSubstr("unit_found: name = 0"));
}

TEST(Units, FailedParses) {
    auto r = with_table(kExampleTable, [] {
        out(convert(1, "", "m"));
        out(convert(1, "   ", "m"));
        out(testsupport::elog_register_text() + "#\n");
        out(convert(1, "m", "furlong"));
        out(convert(1, "m )", "m"));
        out(convert(1, "m", "km / 3"));
        out(convert(1, "3 km 4", "m"));
        out(convert(1, "x = 3 m", "m"));
        out(testsupport::elog_register_text());
    });
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_GE(lines.size(), 8u) << r.out;
    EXPECT_EQ(lines[0], "-1 -12345|untouched|\n");
    EXPECT_EQ(lines[1], "-1 -12345|untouched|\n");
    EXPECT_EQ(lines[2], "#\n");  // blank input: no message
    for (int i = 3; i < 8; i++) EXPECT_EQ(lines[i], "-1 -12345|untouched|\n") << i;
    EXPECT_THAT(r.out, HasSubstr("metrion : can't find unit 'furlong' near line #-2"));
    EXPECT_THAT(r.out, HasSubstr("metrion : parse error near line #-1"));
    EXPECT_THAT(r.out, HasSubstr("metrion : parse error near line #-2"));
}

TEST(Units, MatchListsUnitsOfTheSameDimensions) {
    auto r = with_table(std::string(kExampleTable) + "meter = m\n", [] {
        for (const char *input : {"min", "m", "/ s", "m s", "bogus"}) {
            Tbl *names = units_match(cstr(input));
            out(std::string(input) + ":");
            for (int i = 0; i < maxtbl(names); i++) out(" " + std::string(static_cast<char *>(gettbl(names, i))));
            out("\n");
            freetbl(names, nullptr);
        }
    });
    EXPECT_EQ(r.out,
              "min: s\n"
              "m: inch km meter\n"
              "/ s: Hz\n"
              "m s:\n"
              "bogus:\n");
}

TEST(Units, LoadingStopsAtTheFirstErrorOrQuantity) {
    struct Case {
        const char *what;
        std::string table;
        const char *probe;     // converted to m
        const char *expected;  // result of the conversion
        const char *message;   // in the log, or ""
    } cases[] = {
        {"a quantity line", "Primitive m\n5 m\nkm = 1000 m\n", "km", "-1", ""},
        {"an undefined unit", "Primitive m\nx = 3 furlong\nkm = 1000 m\n", "km", "-1",
         "can't find unit 'furlong' near line #2"},
        {"nothing defined from it", "Primitive m\nx = 3 furlong\n", "x", "-1", ""},
        {"no final newline", "Primitive m\nkm = 1000 m", "km", "-1", "parse error near line #2"},
        {"comments and blank lines", "# units\n\nPrimitive m # the metre\n  \nkm = 1000 m\n", "km",
         "0", ""},
        {"a # with no newline after it", "Primitive m\nkm = 1000 m\n# end", "km", "0",
         "parse error near line #3"},
        {"a carriage return", "Primitive m\r\nkm = 1000 m\n", "km", "-1", "parse error near line #1"},
        {"a redefinition", "Primitive m\nkm = 1 m\nkm = 1000 m\n", "km", "0",
         "replacing definition for km"},
        {"Primitives is a name", "Primitive m\nPrimitives = 2 m\n", "Primitives", "0", ""},
        {"long names", "Primitive m\nabcdefghijklmnopqrstuvwxyzabcdefghijklmnop = 7 m\n",
         "abcdefghijklmnopqrstuvwxyzabcdefghijklmnop", "0", ""},
        {"a NUL byte", std::string("Primitive m\nkm = 1000 m\n\0\nx = m\n", 31), "x", "-1",
         "parse error near line #3"},
    };
    for (const Case &c : cases) {
        auto r = with_table(c.table, [&] {
            double x;
            char u[256];
            out(std::to_string(units_convert(1, cstr(c.probe), cstr("m"), &x, u)) + "\n");
            out(testsupport::elog_register_text());
        });
        EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.expected) << c.what << "\n" << r.out << r.err;
        EXPECT_THAT(r.out + r.err, HasSubstr(c.message)) << c.what;
    }
}

TEST(Units, SeventeenthPrimitiveIsRefused) {
    std::string table;
    for (char c = 'a'; c < 'a' + 17; c++) table += std::string("Primitive ") + c + "\n";
    table += "z = a p\n";
    auto r = with_table(table, [] {
        out(convert(1, "z", "a p"));
        out(convert(1, "q", "q"));
    });
    EXPECT_THAT(r.err, HasSubstr("too many basic units, ignoring new unit 'q'"));
    EXPECT_THAT(r.out, HasSubstr("0 1| a p|\n"));
    EXPECT_THAT(r.out, HasSubstr("-1 "));
}

TEST(Units, Printing) {
    auto r = with_table(kExampleTable, [] {
        show_unit(nullptr);
        show_all_units();
    });
    EXPECT_EQ(r.out,
              "unit=0\n"
              "\n2 basis units\n"
              "  m                    1                      1   0\n"
              "  s                    1                      0   1\n"
              "\n6 total units\n"
              "  Hz                   1                      0  -1\n"
              "  inch                 .0254                  1   0\n"
              "  km                   1000                   1   0\n"
              "  m                    1                      1   0\n"
              "  min                  60                     0   1\n"
              "  s                    1                      0   1\n"
              "\n");
}

TEST(Units, ScannerTokens) {
    struct Case {
        std::string text;
        const char *tokens;
    } cases[] = {
        {"5m", " 257 258"},   {"e3", " 257"},           {"Primitives", " 258"},
        {"Primitive", " 259"}, {"-5 - 5", " 257 45 257"}, {"a-b", " 258 45 258"},
        {"1.5e+", " 257 258 43"}, {"#x", " 35 258"},      {"#x\n", " 260"},
        {"\r", " 13"},         {"$%", " 258"},            {"", ""},
    };
    for (const Case &c : cases) {
        auto r = in_child([&] {
            std::string copy = c.text;
            Units_cp = copy.data();
            for (int t; (t = UX_lex()) != 0;) out(" " + std::to_string(t));
        });
        EXPECT_EQ(r.out, c.tokens) << c.text;
    }
    EXPECT_EQ(UX_wrap(), 1);
}

TEST(Units, NoTableIsFatal) {
    ScratchDir empty;
    auto r = in_child([&] {
        setenv("UNITS", empty.path().c_str(), 1);
        out(convert(1, "m", "m"));
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_THAT(r.err, HasSubstr("Can't find units table"));
    EXPECT_EQ(r.out, "");
}

int open_descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) n++;
        closedir(d);
    }
    return n;
}

TEST(Units, TableIsReadFromDescriptorZeroAndClosed) {
    auto r = with_table(kExampleTable, [] {
        close(0);  // the table's descriptor will be 0
        int before = open_descriptors();
        out(convert(2, "km", "m"));
        out(std::to_string(open_descriptors() - before) + "\n");
    });
    EXPECT_EQ(r.out, "0 2000| m|\n0\n");
}

TEST(Units, HugePowersNeitherHangNorOverflow) {
    auto r = with_table(kExampleTable, [] {
        out(convert(1, "2^1000000000", "1"));
        out(convert(1, "0.5^-99999999999", "1"));
        out(convert(1, "m^2000000000 m^2000000000", "m"));
        out(convert(1, "km^-3000000000", "m"));
    });
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out << r.err;
    EXPECT_EQ(lines[0], "0 inf| 1|\n");
    EXPECT_EQ(lines[1], "0 inf| 1|\n");
    EXPECT_THAT(lines[2], HasSubstr("1 1| m m^2147483646 |"));
    EXPECT_THAT(lines[3], HasSubstr("1 0| m m^"));
}

TEST(Units, ConversionsFromManyThreads) {
    auto r = with_table(kExampleTable, [] {
        std::vector<std::thread> threads;
        int wrong[4] = {};
        for (int t = 0; t < 4; t++)
            threads.emplace_back([t, &wrong] {
                for (int i = 0; i < 200; i++) {
                    double x = 0;
                    char u[64];
                    if (units_convert(i, cstr("km"), cstr("m"), &x, u) != 0 || x != i * 1000.0) wrong[t]++;
                    if (i % 50 == 0) {
                        Tbl *names = units_match(cstr("min"));
                        if (maxtbl(names) != 1) wrong[t]++;
                        freetbl(names, nullptr);
                    }
                }
            });
        for (auto &th : threads) th.join();
        out(std::to_string(wrong[0] + wrong[1] + wrong[2] + wrong[3]));
    });
    EXPECT_EQ(r.out, "0");
}

#ifdef UNITS_TABLE_DIR
// The table the installation carries.
TEST(Units, InstalledTable) {
    struct Case {
        double in;
        const char *from, *to;
        double expected;
    } cases[] = {
        {2.5, "kilometers", "meters", 2500},
        {1, "ms", "s", 0.001},
        {90, "minutes", "hours", 1.5},
        {3, "feet", "inches", 36},
        {1, "atmospheres", "hPa", 1013.25},
        {60, "rpm", "Hz", 6.283185307179586},
        {180, "degrees", "radians", 3.141592653589793},
        {1, "kg m / s^2", "newtons", 1},
        {1, "kWh", "joules", 3.6e6},
        {100, "km / hour", "m / s", 27.77777777777778},
        {1, "MHz", "kilohertz", 1000},
        {2, "milligrams", "g", 0.002},
        {1, "eV", "J", 1.602176634e-19},
        {1, "Hz", "/ s", 1},
    };
    ScratchDir none;
    auto r = in_child([&] {
        setenv("UNITS", UNITS_TABLE_DIR, 1);
        for (const Case &c : cases) {
            double x = 0;
            char u[256];
            int result = units_convert(c.in, cstr(c.from), cstr(c.to), &x, u);
            std::printf("%d %.15g\n", result, x);
        }
        std::printf("%s", testsupport::elog_register_text().c_str());
    });
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), std::size(cases)) << r.out << r.err;
    for (std::size_t i = 0; i < lines.size(); i++) {
        int result = -9;
        double x = 0;
        std::sscanf(lines[i].c_str(), "%d %lf", &result, &x);
        EXPECT_EQ(result, 0) << cases[i].from;
        EXPECT_NEAR(x, cases[i].expected, std::fabs(cases[i].expected) * 1e-13) << cases[i].from;
    }
}
#endif

}  // namespace
