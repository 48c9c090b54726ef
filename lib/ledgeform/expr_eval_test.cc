// The expression evaluator: operators, conversions, every built-in
// function, NULL, assignments, aggregates and counts, commands, and the
// values given where arithmetic would leave the range of its type.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "costly_patterns.h"
#include "expr_testing.h"
#include "geopos.h"
#include "journ.h"
#include "kitbag.h"

namespace {

using expr_testing::at;
using expr_testing::compile;
using expr_testing::Compiled;
using expr_testing::evaluate;
using expr_testing::kOriginTime;
using expr_testing::kTime;
using expr_testing::QuakeTest;
using expr_testing::Value;
using testing::HasSubstr;

using namespace ledgeform;

class EvalTest : public QuakeTest {
  protected:
    void SetUp() override {
        QuakeTest::SetUp();
        ASSERT_NO_FATAL_FAILURE();
        std::fill(std::begin(called_), std::end(called_), false);
    }

    // Evaluates and notes the built-in rows the expression calls.
    Value eval(Dbptr record, const std::string &text, int type = 0, int flag = 0) {
        Compiled c = compile(record, text, type);
        if (c.tree != nullptr) expr_testing::rows_called(c.tree, called_);
        return evaluate(record, text, type, flag);
    }

    // A view of the origin and the first station: one record.
    Dbptr origin_and_site() {
        Tbl *names = strtbl(const_cast<char *>("origin"), const_cast<char *>("site"), nullptr);
        Dbptr view = dbtbl2view(db_, "os", names);
        freetbl(names, nullptr);
        Dbptr slots[2] = {at(origin_, 0), at(site_, 0)};
        slots[0].field = slots[1].field = dbALL;
        EXPECT_EQ(dbadd(view, reinterpret_cast<char *>(slots)), 0) << log();
        return at(view, 0);
    }

    bool called_[74];
};

std::string text_of_time(char *(*f)(double), double t) {
    char *s = f(t);
    std::string r = s;
    std::free(s);
    return r;
}

TEST_F(EvalTest, IntegerValues) {
    const struct {
        const char *text;
        int32_t value;
    } cases[] = {
        {"7 % 3", 1},
        {"-7 % 3", -1},
        {"7 % -3", 1},
        {"a + b * c", 7},
        {"2 * 3 | 4", 14},
        {"1 + 2 . 3", 24},
        {"1 || 0", -1},
        {"0 || 5", 5},
        {"1 && 5", 5},
        {"0 && 5", 0},
        {"a == '1'", 1},
        {"a == '1.0'", 1},
        {"r > '2'", 1},
        {"r > '2.6'", 0},
        {"s =~ /b/", 0},
        {"'b' =~ /b/", 1},
        {"s =~ /a.c/", 1},
        {"s =~ /b.*/", 0},
        {"s !~ /b/", 1},
        {"s == 'abc'", 1},
        {"s < 'abd'", 1},
        {"time > 1234567890.4", 1},
        {"jdate == 2004123", 1},
        {"5 & 3", 1},
        {"5 | 3", 7},
        {"1 << 31", INT_MIN},
        {"1 << 32", 0},
        {"a << 100", 0},
        {"-8 >> 1", -4},
        {"-8 >> 40", -1},
        {"8 >> 40", 0},
        {"1 << -1", 0},
        {"8 >> -1", 16},
        {"2147483647 + 1", INT_MIN},
        {"2147483647 * 2", -2},
        {"-(-2147483647 - 1)", INT_MIN},
        {"(-2147483647 - 1) / -1", INT_MIN},
        {"(-2147483647 - 1) % -1", 0},
        {"-7 / 2", -3},
        {"a ? 10 : 20", 10},
        {"0 ? 10 : 20", 20},
        {"(a > 0) * (b > 0)", 1},
        {"x := 9", 9},
        {"strlen(s)", 3},
        {"grn(45, 15)", 488},
        {"srn(45, 15)", 28},
        {"yearday(time)", 2009044},
        {"record()", 0},
        {"count()", 1},
        {"count_table()", 1},
        {"jdate", 2004123},
        {"-y", 3},
    };
    for (const auto &c : cases) {
        Value v = eval(at(plain_, 0), c.text);
        ASSERT_GT(v.compiled, 0) << c.text << "\n" << log();
        ASSERT_TRUE(is_int_type(v.type)) << c.text;
        EXPECT_EQ(v.i, c.value) << c.text;
        EXPECT_EQ(v.rc, c.value != 0 ? 1 : 0) << c.text;
    }
    EXPECT_EQ(log(), "");
}

TEST_F(EvalTest, OrdinaryPatternsMatchWhole) {
    // A slash in the pattern is written with a backslash before it.
    auto literal = [](const char *pattern) {
        std::string text;
        for (const char *p = pattern; *p != '\0'; p++) {
            if (*p == '/') text += '\\';
            text += *p;
        }
        return "/" + text + "/";
    };
    for (const auto &p : testsupport::ordinary_patterns()) {
        Value hit = eval(at(plain_, 0), std::string("'") + p.matches + "' =~ " + literal(p.pattern));
        ASSERT_GT(hit.compiled, 0) << p.pattern << "\n" << log();
        EXPECT_EQ(hit.i, 1) << p.pattern;
        Value miss = eval(at(plain_, 0), std::string("'") + p.misses + "' =~ " + literal(p.pattern));
        EXPECT_EQ(miss.i, 0) << p.pattern;
    }
    EXPECT_EQ(log(), "");
}

TEST_F(EvalTest, RealValues) {
    double delta = 0, azimuth = 0;
    const double r = 3.141592653589793 / 180.0;
    dist(40 * r, 70 * r, 42.639 * r, 74.494 * r, &delta, &azimuth);
    delta /= r;
    const struct {
        const char *text;
        double value;
        double tolerance;
    } cases[] = {
        {"7.5 % -2", -0.5, 0},
        {"2 ^ 10", 1024.0, 0},
        {"2 ^ 3 ^ 2", 64.0, 0},
        {"r * 2", 5.0, 0},
        {"a + r", 3.5, 0},
        {"time - time", 0.0, 0},
        {"abs(-2)", 2, 0},
        {"ceil(1.2)", 2, 0},
        {"floor(-1.2)", -2, 0},
        {"int(-1.7)", -1, 0},
        {"int(1.7)", 1, 0},
        {"sqrt(16)", 4, 0},
        {"cos(60)", 0.5, 1e-12},
        {"sin(30)", 0.5, 1e-12},
        {"tan(45)", 1, 1e-12},
        {"atan(1, 1)", 45, 1e-12},
        {"log(exp(2))", 2, 1e-12},
        {"log10(1000)", 3, 1e-12},
        {"sign(-3)", -1, 0},
        {"sign(0)", 0, 0},
        {"exp(0)", 1, 0},
        {"min(3, 4)", 3, 0},
        {"max(3, 4)", 4, 0},
        {"deg2km(1)", 111.19492664455873, 1e-9},
        {"km2deg(deg2km(2))", 2, 1e-12},
        {"distance(0, 0, 0, 90)", 90, 1e-9},
        {"azimuth(0, 0, 0, 90)", 90, 1e-9},
        {"latitude(0, 0, 30, 0)", 30, 1e-9},
        {"longitude(0, 0, 90, 90)", 90, 1e-9},
        {"ptime(10, 0)", pphasetime(10, 0), 0},
        {"pphasetime(10, 5)", pphasetime(10, 5), 0},
        {"pphase_slowness(10, 5)", pphase_slowness(10, 5), 0},
        {"stime(10, 0)", sphasetime(10, 0), 0},
        {"sphasetime(10, 5)", sphasetime(10, 5), 0},
        {"sphase_slowness(10, 5)", sphase_slowness(10, 5), 0},
        {"phase_slowness('S', 10, 5)", sphase_slowness(10, 5), 0},
        {"phasetime('P', 12.5, 3)", pphasetime(12.5, 3), 0},
        {"epoch(jdate)", epoch(2004123), 0},
        {"date2e(2009, 2, 13, 84690.5)", kTime, 0},
        {"str2epoch('2009-02-13 23:31:30.5')", kTime, 0},
        {"time", kTime, 0},
        {"r / 0", INFINITY, 0},
    };
    for (const auto &c : cases) {
        Value v = eval(at(plain_, 0), c.text);
        ASSERT_GT(v.compiled, 0) << c.text << "\n" << log();
        ASSERT_TRUE(is_real_type(v.type)) << c.text;
        if (std::isinf(c.value))
            EXPECT_EQ(v.d, c.value) << c.text;
        else
            EXPECT_NEAR(v.d, c.value, c.tolerance) << c.text;
        EXPECT_EQ(v.rc, c.value != 0 ? 1 : 0) << c.text;
    }
    Value now = eval(at(plain_, 0), "now()");
    EXPECT_NEAR(now.d, std_now(), 60);
    EXPECT_EQ(now.type, dbTIME);
    EXPECT_EQ(eval(at(packed_, 0), "gain * 2").d, 5.0);
    // Arrival times from an origin and a station.
    Dbptr os = origin_and_site();
    EXPECT_NEAR(eval(os, "distance(origin.lat, origin.lon, site.lat, site.lon)").d, delta, 1e-9);
    EXPECT_NEAR(eval(os, "parrival()").d, kOriginTime + pphasetime(delta, 10), 1e-6);
    EXPECT_NEAR(eval(os, "sarrival()").d, kOriginTime + sphasetime(delta, 10), 1e-6);
    EXPECT_NEAR(eval(os, "arrival('S')").d, kOriginTime + sphasetime(delta, 10), 1e-6);
    EXPECT_NEAR(eval(os, "phase_arrival(0.1)").d, kOriginTime + delta / 0.1, 1e-6);
    EXPECT_EQ(log(), "");
}

TEST_F(EvalTest, StringValues) {
    char dir[4096];
    ASSERT_EQ(cleanpath(dir_.path().c_str(), 0, dir), 0);
    std::string file = std::string(dir) + "/dir1/f1";
    const struct {
        Dbptr record;
        const char *text;
        std::string value;
    } cases[] = {
        {at(plain_, 0), "s", "abc"},
        {at(plain_, 0), "s . 'x'", "abcx"},
        // More strings made in one evaluation than it keeps at hand.
        {at(plain_, 0), "s . 1 . s . 2 . s . 3 . s . 4 . s . 5 . s . 6", "abc1abc2abc3abc4abc5abc6"},
        {at(plain_, 0), "substr('abcdef', -2, 0)", "ef"},
        {at(plain_, 0), "substr('abcdef', 1, 2)", "bc"},
        {at(plain_, 0), "substr('abcdef', 0, -5)", "a"},
        {at(plain_, 0), "substr('abcdef', 0, -6)", "abcdef"},
        {at(plain_, 0), "substr('abcdef', 10, 1)", ""},
        {at(plain_, 0), "substr('abcdef', -10, 2)", "ab"},
        {at(plain_, 0), "substr('abcdef', '99999999999', 2)", ""},
        {at(plain_, 0), "dirname('/a/b/c')", "/a/b"},
        {at(plain_, 0), "basename('/a/b/c')", "c"},
        {at(plain_, 0), "concatpaths('/a', 'b')", "/a/b"},
        {at(plain_, 0), "patsub(s, 'b', 'X')", "aXc"},
        {at(plain_, 0), "grname(45, 15)", "N40-50 E010-020"},
        {at(plain_, 0), "gregion(45, 15)", "N40-50 E010-020"},
        {at(plain_, 0), "srname(45, 15)", "Northern mid-latitudes, 0-60E"},
        {at(plain_, 0), "sregion(45, 15)", "Northern mid-latitudes, 0-60E"},
        {at(plain_, 0), "strdate(time)", text_of_time(strdate, kTime)},
        {at(plain_, 0), "strtime(time)", text_of_time(strtime, kTime)},
        {at(plain_, 0), "strydtime(time)", text_of_time(strydtime, kTime)},
        {at(plain_, 0), "strtdelta(90)", text_of_time(strtdelta, 90)},
        {at(plain_, 0), "epoch2str(1234567890.5, '%Y-%m-%d %H:%M:%S')", "2009-02-13 23:31:30"},
        {at(plain_, 0), "epoch2str(time, '%H:%M:%S.%s')", "23:31:30.500"},
        {at(plain_, 0), "epoch2str(time, '%H:%M', 'UTC')", "23:31"},
        {at(plain_, 0), "epoch2str('2009-02-13 23:31:30.5', '%S')", "30"},
        {at(plain_, 0), "epoch2str(jdate, '%Y-%j')", "2004-123"},
        {at(plain_, 0), "null('s')", "-"},
        {at(plain_, 0), "null('nsamp')", "-1"},
        {at(plain_, 0), "null('nosuch')", ""},
        {at(wave_, 0), "extfile()", file},
        {at(wave_, 0), "extfile('wave')", file},
        {at(plain_, 0), "['echo' 'hello']", "hello"},
        {at(plain_, 0), "'x' . ['echo' s]", "xabc"},
    };
    for (const auto &c : cases) {
        Value v = eval(c.record, c.text);
        ASSERT_GT(v.compiled, 0) << c.text << "\n" << log();
        ASSERT_EQ(v.type, dbSTRING) << c.text;
        EXPECT_EQ(v.s, c.value) << c.text;
        EXPECT_EQ(v.rc, c.value.empty() ? 0 : 1) << c.text;
    }
    EXPECT_EQ(log(), "");
}

TEST_F(EvalTest, Conversions) {
    const struct {
        const char *text;
        int type;
        int rc;
        int32_t i;
        double d;
        const char *s;
    } cases[] = {
        {"'12   '", dbINTEGER, 1, 12, 0, nullptr},
        {"''", dbINTEGER, 0, 0, 0, nullptr},
        {"'-2.5'", dbINTEGER, 1, -2, 0, nullptr},
        {"-2.5", dbINTEGER, 1, -3, 0, nullptr},
        {"r", dbINTEGER, 1, 2, 0, nullptr},
        {"r", dbYEARDAY, 1, 2, 0, nullptr},
        {"'12abc'", dbINTEGER, -102, INT_MIN, 0, nullptr},
        {"1e20", dbINTEGER, -102, INT_MIN, 0, nullptr},
        {"0.0 / 0.0", dbINTEGER, -102, INT_MIN, 0, nullptr},
        {"'nan'", dbINTEGER, -102, INT_MIN, 0, nullptr},
        {"'1e12'", dbINTEGER, -102, INT_MIN, 0, nullptr},
        {"r", dbBOOLEAN, 1, 1, 0, nullptr},
        {"0.0", dbBOOLEAN, 0, 0, 0, nullptr},
        {"''", dbBOOLEAN, 0, 0, 0, nullptr},
        {"'x'", dbBOOLEAN, 1, 1, 0, nullptr},
        {"a", dbREAL, 1, 0, 1.0, nullptr},
        {"' 2.5 '", dbREAL, 1, 0, 2.5, nullptr},
        {"'2.5x'", dbREAL, -102, 0, INFINITY, nullptr},
        {"jdate", dbTIME, 1, 0, epoch(2004123), nullptr},
        {"a", dbTIME, 1, 0, 1.0, nullptr},
        {"'2009-02-13 23:31:30.5'", dbTIME, 1, 0, kTime, nullptr},
        {"'no such time'", dbTIME, -102, 0, INFINITY, nullptr},
        {"r", dbSTRING, 1, 0, 0, "2.5"},
        {"1234567890.5", dbSTRING, 1, 0, 0, "1.23457e+09"},
        {"a", dbSTRING, 1, 0, 0, "1"},
        {"a > 0", dbSTRING, 1, 0, 0, "true"},
        {"a < 0", dbSTRING, 1, 0, 0, "false"},
    };
    for (const auto &c : cases) {
        clear_log();
        Value v = eval(at(plain_, 0), c.text, c.type);
        ASSERT_GT(v.compiled, 0) << c.text << "\n" << log();
        ASSERT_EQ(v.type, c.type) << c.text;
        EXPECT_EQ(v.rc, c.rc) << c.text;
        if (c.s != nullptr)
            EXPECT_EQ(v.s, c.s) << c.text;
        else if (is_real_type(c.type))
            EXPECT_EQ(v.d, c.d) << c.text;
        else
            EXPECT_EQ(v.i, c.i) << c.text;
    }
    // A time becomes text through the time formatter.
    Value t = eval(at(plain_, 0), "time", dbSTRING);
    EXPECT_EQ(t.s, text_of_time(strtime, kTime));
}

TEST_F(EvalTest, FailedEvaluationsStoreTheFailureValueOfTheirType) {
    clear_log();
    Value div = eval(at(plain_, 0), "a / 0");
    EXPECT_EQ(div.rc, dbINVALID);
    EXPECT_EQ(div.i, INT_MIN);
    EXPECT_THAT(log(), HasSubstr("integer division by zero"));
    EXPECT_EQ(eval(at(plain_, 0), "a % (b - 2)").rc, dbINVALID);
    clear_log();
    // A boolean has no real value.
    Value product = eval(at(plain_, 0), "r * (a > 0)");
    EXPECT_EQ(product.rc, dbINVALID);
    EXPECT_EQ(product.d, INFINITY);
    EXPECT_THAT(log(), HasSubstr("Bad conversion (compile error) from dbBOOLEAN to dbREAL\n"));
    // A string that failed.
    Value text = eval(at(plain_, 0), "s . (1 / 0)");
    EXPECT_EQ(text.rc, dbINVALID);
    EXPECT_EQ(text.s, "**evaluation failed**");
    // NULL anywhere but beside a field has no value.
    EXPECT_EQ(eval(at(plain_, 0), "NULL == time").rc, dbINVALID);
    // A field of a record that does not exist.
    EXPECT_EQ(eval(at(plain_, 5), "a + 1").rc, dbINVALID);
    EXPECT_EQ(eval(at(plain_, 5), "a + 1").i, INT_MIN);
    // A pipe has no value and stores nothing.
    Value pipe = eval(at(plain_, 0), "[| 'echo' 'x' ]");
    EXPECT_EQ(pipe.rc, dbINVALID);
    EXPECT_FALSE(pipe.stored);
}

TEST_F(EvalTest, NullValuesAndFieldTexts) {
    EXPECT_EQ(eval(at(plain_, 0), "time == NULL").i, 0);
    EXPECT_EQ(eval(at(plain_, 0), "s != NULL").i, 1);
    ASSERT_EQ(dbaddnull(plain_), 1);
    EXPECT_EQ(eval(at(plain_, 1), "time == NULL").i, 1);
    EXPECT_EQ(eval(at(plain_, 1), "s == NULL && a == NULL && jdate == NULL").rc, 1);
    // The text of a field carries no blanks at either end.
    EXPECT_EQ(eval(at(plain_, 1), "s").s, "-");
    EXPECT_EQ(eval(at(plain_, 1), "strlen(s)").i, 1);
    // Assigning NULL gives the null value.
    EXPECT_EQ(eval(at(plain_, 0), "x := NULL", 0, 1).i, -1);
    int x = 0;
    dbgetv(at(plain_, 0), nullptr, "x", &x, nullptr);
    EXPECT_EQ(x, -1);
    // A field wider than any work area.
    std::string remark(4500, 'r');
    ASSERT_EQ(dbputv(at(wave_, 0), nullptr, "remark", remark.c_str(), nullptr), 0);
    EXPECT_EQ(eval(at(wave_, 0), "strlen(remark)").i, 4500);
    EXPECT_EQ(eval(at(wave_, 0), "strlen(remark . remark)").i, 9000);
    EXPECT_EQ(eval(at(wave_, 0), "remark").s, remark);
}

TEST_F(EvalTest, Assignments) {
    // Without the flag nothing is written.
    EXPECT_EQ(eval(at(wave_, 1), "nsamp := nsamp * 2").i, 40);
    EXPECT_EQ(eval(at(wave_, 1), "nsamp").i, 20);
    EXPECT_EQ(eval(at(wave_, 1), "nsamp := nsamp * 2", 0, 1).i, 40);
    EXPECT_EQ(eval(at(wave_, 1), "nsamp").i, 40);
    EXPECT_EQ(eval(at(wave_, 1), "samprate := 2", 0, 1).d, 2.0);
    EXPECT_EQ(eval(at(wave_, 1), "dir := 'd' . 2", 0, 1).s, "d2");
    EXPECT_EQ(eval(at(wave_, 1), "dir").s, "d2");
    EXPECT_EQ(eval(at(packed_, 0), "total := total + 1", 0, 1).i, 8);
    EXPECT_EQ(eval(at(packed_, 0), "total").i, 8);
    // A value converted to the field's type.
    EXPECT_EQ(eval(at(wave_, 1), "nsamp := '17'", 0, 1).i, 17);
}

TEST_F(EvalTest, AFieldReadAfterItsAssignmentHasTheNewValue) {
    int nsamp = 0;
    double samprate = 0;
    ASSERT_EQ(dbgetv(at(wave_, 1), nullptr, "nsamp", &nsamp, "samprate", &samprate, nullptr), 0);
    const std::string n = std::to_string(nsamp), n5 = std::to_string(nsamp + 5);
    const std::string text = "nsamp == " + n + " && (nsamp := nsamp + 5) > 0 && nsamp == " + n5;
    // Without the flag the record keeps its value.
    EXPECT_EQ(eval(at(wave_, 1), text).i, 0);
    EXPECT_EQ(eval(at(wave_, 1), text, 0, 1).i, 1);
    EXPECT_EQ(eval(at(wave_, 1), "nsamp").i, nsamp + 5);
    const std::string real = "samprate * 2 + (samprate := samprate + 1) * 0 + samprate";
    EXPECT_EQ(eval(at(wave_, 1), real, 0, 1).d, samprate * 2 + samprate + 1);
}

TEST_F(EvalTest, RefusedAssignmentIsAnError) {
    ASSERT_EQ(close(db_), 0);
    Dbptr ro = open(path("quake"), "r");
    Dbptr wave = at(table(ro, "wave"), 0);
    Value v = eval(wave, "nsamp := 5", 0, 1);
    EXPECT_EQ(v.rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("can't ASSIGN 5 to nsamp\n"));
    clear_log();
    eval(wave, "samprate := 5", 0, 1);
    EXPECT_THAT(log(), HasSubstr("can't ASSIGN    5.00000 to samprate\n"));
    clear_log();
    eval(wave, "dir := 'x'", 0, 1);
    EXPECT_THAT(log(), HasSubstr("can't ASSIGN x to dir\n"));
}

TEST_F(EvalTest, AggregatesOverTheTableAndTheGroup) {
    const struct {
        Dbptr record;
        const char *text;
        double value;
    } cases[] = {
        {at(wave_, 0), "sum(nsamp)", 60},         {at(wave_, 1), "max(nsamp)", 30},
        {at(wave_, 2), "min(nsamp)", 10},         {at(wave_, 0), "sum_table(nsamp)", 60},
        {at(wave_, 0), "max_table(nsamp)", 30},   {at(wave_, 0), "min_table(nsamp)", 10},
        {at(wave_, 0), "sum(nsamp * 2) / count()", 40},
        {at(group_, 0), "sum(nsamp)", 30},        {at(group_, 1), "sum(nsamp)", 30},
        {at(group_, 0), "max(nsamp)", 20},        {at(group_, 0), "min(nsamp)", 10},
        {at(group_, 0), "count()", 2},            {at(group_, 1), "count()", 1},
        {at(group_, 0), "sum(nsamp) / count()", 15},
    };
    for (const auto &c : cases) {
        Value v = eval(c.record, c.text);
        ASSERT_GT(v.compiled, 0) << c.text << "\n" << log();
        if (is_real_type(v.type))
            EXPECT_EQ(v.d, c.value) << c.text;
        else
            EXPECT_EQ(v.i, static_cast<int>(c.value)) << c.text;
        EXPECT_EQ(v.rc, 1) << c.text;
    }
    EXPECT_EQ(log(), "");
    // Over an empty table a sum is 0 and a maximum has no first value.
    Dbptr empty = at(table(db_, "lastid"), 0);
    EXPECT_EQ(eval(empty, "sum(keyvalue)").d, 0.0);
    EXPECT_EQ(eval(empty, "sum(keyvalue)").rc, 0);
    EXPECT_EQ(eval(empty, "max(keyvalue)").rc, dbINVALID);
}

TEST_F(EvalTest, AnAggregateKeepsTheErrorsCountedBeforeIt) {
    Value v = eval(at(wave_, 0), "('x' + 0) + sum(nsamp)");
    EXPECT_EQ(v.rc, dbINVALID);
    EXPECT_EQ(v.d, INFINITY);
    // And a record that fails inside it (the last: 30 / 0) fails the whole.
    EXPECT_EQ(eval(at(wave_, 0), "sum(nsamp / (nsamp - 30))").rc, dbINVALID);
    EXPECT_EQ(eval(at(wave_, 0), "sum(nsamp)").rc, 1);
}

TEST_F(EvalTest, CountsSeeAppends) {
    EXPECT_EQ(eval(at(wave_, 0), "count()").i, 3);
    ASSERT_EQ(dbaddv(wave_, nullptr, "sta", "CCC", "time", kOriginTime, "nsamp", 1, nullptr), 3);
    EXPECT_EQ(eval(at(wave_, 0), "count()").i, 4);
    EXPECT_EQ(eval(at(wave_, 0), "sum(nsamp)").d, 61);
    // A group's count follows its bundle.
    EXPECT_EQ(eval(at(group_, 0), "count()").i, 2);
    Dbptr wide = wave_;
    wide.record = 0;
    wide.field = 4;
    ASSERT_EQ(dbputv(at(group_, 0), nullptr, "bundle", wide, nullptr), 0);
    ASSERT_EQ(dbaddv(group_, nullptr, "sta", "CCC", "bundle", wide, nullptr), 2);
    EXPECT_EQ(eval(at(group_, 0), "count()").i, 4);
}

TEST_F(EvalTest, OnlyTheChosenBranchRuns) {
    std::string marker = path("ran");
    std::string text = "a > 5 ? ['touch' '" + marker + "'] : 'skipped'";
    EXPECT_EQ(eval(at(plain_, 0), text).s, "skipped");
    struct stat st;
    EXPECT_NE(stat(marker.c_str(), &st), 0);
    // "&&" and "||" do not evaluate a right operand they do not need.
    EXPECT_EQ(eval(at(plain_, 0), "a < 0 && ['touch' '" + marker + "'] == ''").i, 0);
    EXPECT_EQ(eval(at(plain_, 0), "a > 0 || ['touch' '" + marker + "'] == ''").i, -1);
    EXPECT_NE(stat(marker.c_str(), &st), 0);
    EXPECT_EQ(eval(at(plain_, 0), "a > 0 ? ['touch' '" + marker + "'] : 'no'").s, "");
    EXPECT_EQ(stat(marker.c_str(), &st), 0);
}

TEST_F(EvalTest, Commands) {
    // The standard input is empty: a program that reads it ends.
    EXPECT_EQ(eval(at(plain_, 0), "['cat']").s, "");
    // Everything is read; the first 1,024 bytes are kept.
    Value big = eval(at(plain_, 0), "['sh' '-c' 'i=0; while [ $i -lt 3000 ]; do echo 0123456789; "
                                    "i=$((i+1)); done']");
    ASSERT_EQ(big.rc, 1) << log();
    ASSERT_EQ(big.s.size(), 1024u);
    EXPECT_EQ(big.s.substr(0, 21), "0123456789\n0123456789");
    // Standard error is part of the output; one trailing newline goes.
    EXPECT_EQ(eval(at(plain_, 0), "['sh' '-c' 'echo out; echo err >&2']").s, "out\nerr");
    EXPECT_EQ(eval(at(plain_, 0), "['printf' 'a\\n\\n']").s, "a\n");
    // A program that cannot be started is an error, not a value.
    clear_log();
    Value missing = eval(at(plain_, 0), "['no-such-program-anywhere' 'x']");
    EXPECT_EQ(missing.rc, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Couldn't exec no-such-program-anywhere\n"));
}

TEST_F(EvalTest, FieldsAreFoundInAnyTableThatHasThem) {
    // Compiled for the wave table, evaluated for a view that holds it.
    Compiled c = compile(wave_, "nsamp * 2");
    ASSERT_NE(c.tree, nullptr);
    Tbl *names = strtbl(const_cast<char *>("site"), const_cast<char *>("wave"), nullptr);
    Dbptr view = dbtbl2view(db_, "sw", names);
    freetbl(names, nullptr);
    Dbptr slots[2] = {at(site_, 1), at(wave_, 2)};
    slots[0].field = slots[1].field = dbALL;
    ASSERT_EQ(dbadd(view, reinterpret_cast<char *>(slots)), 0);
    int n = 0;
    EXPECT_EQ(dbex_eval(at(view, 0), c.tree, 0, &n), 1);
    EXPECT_EQ(n, 60);
    EXPECT_EQ(dbex_eval(at(wave_, 1), c.tree, 0, &n), 1);
    EXPECT_EQ(n, 40);
    // A table without the field.
    EXPECT_EQ(dbex_eval(at(plain_, 0), c.tree, 0, &n), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("no field nsamp in table plain.\n"));
}

TEST_F(EvalTest, EveryBuiltInIsEvaluated) {
    // Gathered by the tests above (run here again in one fixture).
    const char *all[] = {
        "distance(0,0,1,1)", "deg2km(1)", "km2deg(1)", "azimuth(0,0,1,1)", "latitude(0,0,1,1)",
        "longitude(0,0,1,1)", "abs(1)", "ceil(1)", "floor(1)", "int(1)", "sqrt(1)", "cos(1)",
        "sin(1)", "tan(1)", "atan(1,1)", "log(1)", "log10(1)", "sign(1)", "exp(1)", "epoch(jdate)",
        "ptime(1,1)", "pphasetime(1,1)", "pphase_slowness(1,1)", "stime(1,1)", "sphasetime(1,1)",
        "sphase_slowness(1,1)", "phase_slowness('P',1,1)", "phasetime('P',1,1)", "min(1,2)",
        "max(1,2)", "grn(1,1)", "grname(1,1)", "gregion(1,1)", "srn(1,1)", "srname(1,1)",
        "sregion(1,1)", "now()", "null('a')", "date2e(2000,1,1,0)", "yearday(time)",
        "strdate(time)", "strtime(time)", "strydtime(time)", "dirname('a/b')", "basename('a/b')",
        "substr('ab',0,1)", "strlen('ab')", "concatpaths('a','b')", "epoch2str(time,'%Y')",
        "epoch2str(time,'%Y','UTC')", "strtdelta(1)", "str2epoch('2000-001')",
        "patsub('a','a','b')", "record()", "count()", "count_table()", "sum(a)", "sum_table(a)",
        "max(a)", "max_table(a)", "min(a)", "min_table(a)",
    };
    for (const char *text : all) {
        Value v = eval(at(plain_, 0), text);
        EXPECT_NE(v.rc, dbINVALID) << text << "\n" << log();
    }
    const char *grouped[] = {"count()", "sum(nsamp)", "max(nsamp)", "min(nsamp)"};
    for (const char *text : grouped) EXPECT_EQ(eval(at(group_, 0), text).rc, 1) << text;
    EXPECT_EQ(eval(at(wave_, 0), "extfile()").rc, 1);
    EXPECT_EQ(eval(at(wave_, 0), "extfile('wave')").rc, 1);
    Dbptr os = origin_and_site();
    for (const char *text : {"arrival('P')", "parrival()", "sarrival()", "phase_arrival(1)"})
        EXPECT_EQ(eval(os, text).rc, 1) << text;
    // Every row but those only reached by renaming ("epoch2str" with its
    // two forms, the context rows) was called.
    for (int row = 0; row < nfunctions; row++) {
        bool renamed = functions[row].kind == kContextAggregate || row == eqfunct("epoch2str");
        EXPECT_EQ(called_[row], !renamed) << functions[row].name;
    }
}

TEST_F(EvalTest, EvaluationsInSeveralThreads) {
    // Each thread works on a database of its own.
    Dbptr other = create("other", "r+", "quake1.0");
    Dbptr other_plain = table(other, "plain");
    ASSERT_EQ(dbaddv(other_plain, nullptr, "a", 5, "s", "zz", nullptr), 0);
    auto work = [](Dbptr record, int a, const char *s, int *failures) {
        for (int i = 0; i < 200; i++) {
            Compiled c = compile(record, "(a * 2) . s . count()");
            char *text = nullptr;
            if (c.tree == nullptr || dbex_eval(record, c.tree, 0, &text) != 1 ||
                std::string(text) != std::to_string(a * 2) + s + "1")
                (*failures)++;
            std::free(text);
        }
    };
    int f1 = 0, f2 = 0;
    std::thread t1(work, at(plain_, 0), 1, "abc", &f1);
    std::thread t2(work, at(other_plain, 0), 5, "zz", &f2);
    t1.join();
    t2.join();
    EXPECT_EQ(f1, 0);
    EXPECT_EQ(f2, 0);
}

TEST_F(EvalTest, DeepTreesEvaluate) {
    std::string chain = "a";
    for (int i = 0; i < 1900; i++) chain += " + a";
    Value v = eval(at(plain_, 0), chain);
    EXPECT_EQ(v.i, 1901);
}

}  // namespace
