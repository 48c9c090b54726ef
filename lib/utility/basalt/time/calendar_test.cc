#include "calendar.h"

#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "elog_capture.h"
#include "process_private.h"

#include "timeparse.h"

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date, worked out
// independently of the library (era arithmetic).
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

double civil_epoch(int64_t y, int m, int d, int hh = 0, int mm = 0,
                   double ss = 0) {
    return static_cast<double>(days_from_civil(y, m, d)) * 86400.0 +
           hh * 3600.0 + mm * 60.0 + ss;
}

date_time broken_down(double epoch) {
    date_time dt;
    std::memset(&dt, 0, sizeof dt);
    dt.epoch = epoch;
    EXPECT_EQ(0, etoh(&dt));
    return dt;
}

TEST(Calendar, IsLeap) {
    struct {
        int year, leap;
    } cases[] = {{1900, 0}, {2000, 1}, {2004, 1}, {2100, 0}, {0, 1},
                 {2001, 0}, {1600, 1}, {-4, 1},   {-100, 0}, {-400, 1}};
    for (auto &c : cases) EXPECT_EQ(c.leap, isleap(c.year)) << c.year;
}

TEST(Calendar, DateToEpoch) {
    struct {
        long date;
        double epoch;
    } cases[] = {
        {1970001, 0.0},
        {2001252, 999993600.0},
        {2000000, 946598400.0},
        {1999366, 946684800.0},
        {2000001, 946684800.0},
        {1969365, -86400.0},
        {1900001, -2208988800.0},
        {2100001, 4102444800.0},
        {2001366, civil_epoch(2002, 1, 1)},
        {462001, civil_epoch(462, 1, 1)},
        {1001, civil_epoch(1, 1, 1)},
    };
    for (auto &c : cases) EXPECT_EQ(c.epoch, dtoepoch(c.date)) << c.date;
}

TEST(Calendar, EtohKnownEpochs) {
    struct {
        double epoch;
        int32_t date;
        int year, month;
        const char *mname;
        int day, doy, hour, minute;
        double second;
    } cases[] = {
        {1000000000.0, 2001252, 2001, 9, "Sep", 9, 252, 1, 46, 40.0},
        {-1.0, 1969365, 1969, 12, "Dec", 31, 365, 23, 59, 59.0},
        {0.0, 1970001, 1970, 1, "Jan", 1, 1, 0, 0, 0.0},
        {civil_epoch(2000, 2, 29, 12, 0, 0.25), 2000060, 2000, 2, "Feb", 29,
         60, 12, 0, 0.25},
        {civil_epoch(2000, 12, 31, 23, 59, 59.5), 2000366, 2000, 12, "Dec",
         31, 366, 23, 59, 59.5},
        {civil_epoch(1900, 3, 1), 1900060, 1900, 3, "Mar", 1, 60, 0, 0, 0.0},
        // The ends of the exact span.
        {civil_epoch(462, 1, 1), 462001, 462, 1, "Jan", 1, 1, 0, 0, 0.0},
        {civil_epoch(3476, 12, 30, 23, 59, 59), 3476365, 3476, 12, "Dec", 30,
         365, 23, 59, 59.0},
        // Just outside it the single correction falls short.
        {civil_epoch(3476, 12, 31), 3477000, 3477, 1, "Jan", 0, 0, 0, 0, 0.0},
        {civil_epoch(461, 12, 31), 460001, 460, 1, "Jan", 1, 1, 0, 0, 0.0},
        // Within 2^-37 s before zero: carried into 1970-01-01.
        {-1e-12, 1970001, 1970, 1, "Jan", 1, 1, 0, 0, 0.0},
    };
    for (auto &c : cases) {
        date_time dt = broken_down(c.epoch);
        SCOPED_TRACE(c.epoch);
        EXPECT_EQ(c.epoch, dt.epoch);
        EXPECT_EQ(c.date, dt.date);
        EXPECT_EQ(c.year, dt.year);
        EXPECT_EQ(c.month, dt.month);
        EXPECT_STREQ(c.mname, dt.mname);
        EXPECT_EQ(c.day, dt.day);
        EXPECT_EQ(c.doy, dt.doy);
        EXPECT_EQ(c.hour, dt.hour);
        EXPECT_EQ(c.minute, dt.minute);
        EXPECT_DOUBLE_EQ(c.second, dt.second);
    }
}

TEST(Calendar, EtohExtremeInputsStayDefined) {
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {std::nan(""), inf, -inf, 1e300, -1e300,
                             1e18, -1e18, 1e15};
    for (double v : values) {
        date_time dt = broken_down(v);
        EXPECT_LE(dt.year, 214748) << v;
        EXPECT_GE(dt.year, -214748) << v;
        EXPECT_GE(dt.month, 1) << v;
        EXPECT_LE(dt.month, 12) << v;
        EXPECT_EQ(3u, std::strlen(dt.mname)) << v;
    }
    EXPECT_EQ(214748, broken_down(1e18).year);
    EXPECT_EQ(-214748, broken_down(-1e18).year);
}

TEST(Calendar, EtohAgreesWithSystemCalendar) {
#if defined(__arm__)
    const int count = 5000;
#else
    const int count = 100000;
#endif
    const double lo = civil_epoch(1900, 1, 1);
    const double hi = civil_epoch(2101, 1, 1);
    std::mt19937_64 gen(20010909);
    std::uniform_real_distribution<double> pick(lo, hi);
    int compared = 0;
    for (int i = 0; i < count; ++i) {
        double epoch = pick(gen);
        if (i % 4 == 0) epoch = std::floor(epoch);
        double whole = std::floor(epoch);
        if (whole < static_cast<double>(std::numeric_limits<time_t>::min()) ||
            whole > static_cast<double>(std::numeric_limits<time_t>::max()))
            continue;
        time_t t = static_cast<time_t>(whole);
        struct tm tm;
        std::memset(&tm, 0, sizeof tm);
        ASSERT_NE(nullptr, gmtime_r(&t, &tm));
        date_time dt = broken_down(epoch);
        SCOPED_TRACE(epoch);
        ASSERT_EQ(tm.tm_year + 1900, dt.year);
        ASSERT_EQ(tm.tm_yday + 1, dt.doy);
        ASSERT_EQ(tm.tm_mon + 1, dt.month);
        ASSERT_EQ(tm.tm_mday, dt.day);
        ASSERT_EQ(tm.tm_hour, dt.hour);
        ASSERT_EQ(tm.tm_min, dt.minute);
        ASSERT_NEAR(tm.tm_sec + (epoch - whole), dt.second, 1e-6);
        ASSERT_EQ(dt.year * 1000 + dt.doy, dt.date);

        // Back again: htoe, timegm and h2e.
        date_time back = dt;
        back.epoch = 0;
        ASSERT_EQ(0, htoe(&back));
        ASSERT_NEAR(epoch, back.epoch, 1e-6);
        ASSERT_EQ(t, timegm(&tm));
        ASSERT_NEAR(epoch, h2e(dt.year, dt.doy, dt.hour, dt.minute, dt.second),
                    1e-6);
        ++compared;
    }
    EXPECT_GT(compared, count / 2);
}

TEST(Calendar, HtoeReadsOnlyDateAndTime) {
    date_time dt;
    std::memset(&dt, 0x5a, sizeof dt);
    dt.date = 2001252;
    dt.hour = 1;
    dt.minute = 46;
    dt.second = 40.0;
    ASSERT_EQ(0, htoe(&dt));
    EXPECT_EQ(1000000000.0, dt.epoch);
    EXPECT_EQ(0x5a5a5a5a, dt.year);
    EXPECT_EQ(0x5a5a5a5a, dt.doy);
}

TEST(Calendar, MonthDayToDate) {
    struct {
        int year, month, day, doy;
        int32_t date;
    } cases[] = {
        {2000, 3, 1, 61, 2000061},   {2001, 3, 1, 60, 2001060},
        {2001, 1, 15, 15, 2001015},  {2001, 0, 15, 15, 2001015},
        {2001, -3, 7, 7, 2001007},   {2001, 12, 31, 365, 2001365},
        {2000, 12, 31, 366, 2000366}, {2001, 13, 1, 366, 2001366},
        {2000, 13, 1, 367, 2000367}, {2001, 14, 1, 397, 2001397},
        {2001, 2, 40, 71, 2001071},  // the day is not checked
        // Beyond the table: counted as the whole table.
        {2001, 99, 1, 397, 2001397},
    };
    for (auto &c : cases) {
        date_time dt;
        std::memset(&dt, 0, sizeof dt);
        dt.year = c.year;
        dt.month = c.month;
        dt.day = c.day;
        ASSERT_EQ(0, mdtodate(&dt));
        EXPECT_EQ(c.doy, dt.doy) << c.year << "-" << c.month << "-" << c.day;
        EXPECT_EQ(c.date, dt.date);
        EXPECT_EQ(c.doy, mday2doy(c.year, c.month, c.day));
    }
}

TEST(Calendar, DayOfYearToMonthDay) {
    struct {
        int year, doy, month, day;
        const char *mname;
    } cases[] = {
        {2001, 0, 1, 0, "Jan"},    {2001, 1, 1, 1, "Jan"},
        {2001, 400, 12, 35, "Dec"}, {2001, 60, 3, 1, "Mar"},
        {2000, 60, 2, 29, "Feb"},  {2000, 61, 3, 1, "Mar"},
        {2001, 59, 2, 28, "Feb"},  {2001, 365, 12, 31, "Dec"},
        {2000, 366, 12, 31, "Dec"}, {2001, 366, 12, 1, "Dec"},
        {2001, -5, 1, -5, "Jan"},  {2001, 252, 9, 9, "Sep"},
    };
    for (auto &c : cases) {
        date_time dt;
        std::memset(&dt, 0, sizeof dt);
        dt.year = c.year;
        dt.doy = c.doy;
        ASSERT_EQ(0, month_day(&dt));
        EXPECT_EQ(c.month, dt.month) << c.year << " " << c.doy;
        EXPECT_EQ(c.day, dt.day) << c.year << " " << c.doy;
        EXPECT_STREQ(c.mname, dt.mname);
        int month = -1, day = -1;
        doy2mday(c.doy, c.year, &month, &day);
        EXPECT_EQ(c.month, month);
        EXPECT_EQ(c.day, day);
    }
}

TEST(Calendar, HourFieldsToEpochAndBack) {
    EXPECT_EQ(1000000000.0, h2e(2001, 252, 1, 46, 40.0));
    EXPECT_EQ(h2e(2002, 1, 0, 0, 0), h2e(2001, 366, 0, 0, 0));
    EXPECT_EQ(h2e(2001, 0, 0, 0, 0), h2e(2000, 366, 0, 0, 0));
    // A day count past 999 runs into the year part.
    EXPECT_EQ(h2e(1971, 0, 0, 0, 0), h2e(1970, 1000, 0, 0, 0));
    EXPECT_EQ(1000000000.0 + 25 * 3600.0, h2e(2001, 252, 26, 46, 40.0));
    // A combined date wider than 32 bits does not wrap.
    EXPECT_EQ(civil_epoch(3000000, 1, 1), h2e(3000000, 1, 0, 0, 0));

    int year, doy, hour, minute;
    double sec;
    e2h(1000000000.25, &year, &doy, &hour, &minute, &sec);
    EXPECT_EQ(2001, year);
    EXPECT_EQ(252, doy);
    EXPECT_EQ(1, hour);
    EXPECT_EQ(46, minute);
    EXPECT_DOUBLE_EQ(40.25, sec);
}

TEST(Calendar, TodaysDate) {
    auto utc_date = [] {
        time_t now = time(nullptr);
        struct tm tm;
        gmtime_r(&now, &tm);
        return (tm.tm_year + 1900L) * 1000 + tm.tm_yday + 1;
    };
    long before = utc_date();
    long today = todaysdate();
    long after = utc_date();
    EXPECT_TRUE(today == before || today == after) << today;

    date_time dt;
    std::memset(&dt, 0, sizeof dt);
    ASSERT_EQ(0, zh_today(&dt));
    EXPECT_EQ(dtoepoch(dt.date), dt.epoch);
    EXPECT_TRUE(dt.date == before || dt.date == after);
    EXPECT_EQ(0, dt.hour);
    EXPECT_EQ(0, dt.minute);
    EXPECT_EQ(0.0, dt.second);
}

TEST(Calendar, TimePrint) {
    struct {
        double epoch;
        const char *line;
    } cases[] = {
        {1000000000.0, " 1000000000.000  2001252 Sep  9,2001  1:46:40.000\n"},
        {civil_epoch(1999, 12, 31, 23, 5, 7.125),
         "  946681507.125  1999365 Dec 31,1999 23:05:7.125\n"},
    };
    for (auto &c : cases) {
        auto result = testsupport::run_in_child([&] {
            date_time dt = broken_down(c.epoch);
            timeprint(&dt);
        });
        EXPECT_EQ(c.line, result.out);
    }
}

TEST(Calendar, TimeStringToEpoch) {
    auto result = testsupport::in_child([] {
        double t = -1;
        char good[] = "2001-09-09 01:46:40";
        char bad[] = "certainly no time";
        if (time_string2epoch(good, &t) != 1) _exit(2);
        if (t != 1000000000.0) _exit(3);
        if (time_string2epoch(bad, &t) != 1) _exit(4);
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(0, result.exit_code) << result.err;
}

TEST(Calendar, Durations) {
    struct {
        const char *text;
        double seconds;
    } cases[] = {
        {"", 0},           {"2", 7200},       {"90", 324000},
        {"1:30", 5400},    {"1:30:15.5", 5415.5}, {"12::30", 43230},
        {"0:0:0.25", 0.25}, {":5", 300},      {"1:", 3600},
        {"1h", 3600},      {"-1", 60},         {"1:2:3xyz", 3723},
        {"1:2:3.5.7", 3723.5}, {"0:0:1e3", 1},
        // Longer than twenty characters: read whole.
        {"0000000000000001:00:00.5", 3600.5},
    };
    for (auto &c : cases) EXPECT_DOUBLE_EQ(c.seconds, timecon(c.text)) << c.text;
    // Digit runs too long for an int saturate instead of overflowing.
    EXPECT_DOUBLE_EQ(2147483647.0 * 3600, timecon("99999999999"));
}

TEST(Calendar, BcdStamps) {
    unsigned char bcd[6] = {};
    epoch2bcd(bcd, 1000000000.57);
    const unsigned char want[6] = {0x25, 0x20, 0x14, 0x64, 0x00, 0x57};
    EXPECT_EQ(0, std::memcmp(want, bcd, 6));

    epoch2bcd(bcd, civil_epoch(2000, 12, 31, 23, 59, 59.99));
    const unsigned char want2[6] = {0x36, 0x62, 0x35, 0x95, 0x90, 0x99};
    EXPECT_EQ(0, std::memcmp(want2, bcd, 6));

    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    const int year = tm.tm_year + 1900;

    date_time dt;
    std::memset(&dt, 0, sizeof dt);
    dt.month = 77;
    bcdtime(want, &dt);
    EXPECT_EQ(year, dt.year);
    EXPECT_EQ(252, dt.doy);
    EXPECT_EQ(1, dt.hour);
    EXPECT_EQ(46, dt.minute);
    EXPECT_DOUBLE_EQ(40.57, dt.second);
    EXPECT_EQ(year * 1000 + 252, dt.date);
    EXPECT_DOUBLE_EQ(h2e(year, 252, 1, 46, 40.57), dt.epoch);
    EXPECT_EQ(77, dt.month);  // not set

    // Hexadecimal letters stop the fields; those not read count 0.
    const unsigned char bad[6] = {0x12, 0x3a, 0x45, 0x67, 0x89, 0x01};
    bcdtime(bad, &dt);
    EXPECT_EQ(123, dt.doy);
    EXPECT_EQ(0, dt.hour);
    EXPECT_EQ(0, dt.minute);
    EXPECT_EQ(0.0, dt.second);
}

double fixed_clock() { return 1000000000.0; }

TEST(Calendar, WaitForTime) {
    struct {
        double time;
        const char *err;
    } cases[] = {
        {999999999.0, ""},
        {1000000000.0, ""},
        {std::nan(""), ""},
        {1000000000.002, "waiting 0.002 seconds\n"},
    };
    for (auto &c : cases) {
        auto result = testsupport::run_in_child([&] {
            kitbag::set_now_source(fixed_clock);
            wait_for_time(c.time, 1);
        });
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(c.err, result.err) << c.time;
        EXPECT_EQ("", result.out);
    }
}

}  // namespace
