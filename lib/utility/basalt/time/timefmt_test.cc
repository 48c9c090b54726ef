// Time formatting: the format language, named formats and their
// configuration, special values, zones and durations in words.
#include "timefmt.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"

namespace {

using testsupport::in_child;
using testsupport::out;
using testsupport::ScratchDir;

constexpr double kJan5_2004 = 1073260800.0;  // Monday 2004-01-05 00:00 UTC
constexpr double kJan1_2004 = 1072915200.0;
constexpr double kJul1_2004 = 1088640000.0;  // 2004-07-01 00:00 UTC

std::string take(char *s) {
    std::string text = s != nullptr ? s : "(null)";
    std::free(s);
    return text;
}

// The named formats are chosen once per process: configurations are tried
// in a fresh run of this binary (exec'd in a child) with TIMEFMT_PROBE set,
// which prints the named formats at work and exits before any test.
void probe() {
    const char *dir = std::getenv("PFPATH");
    if (dir != nullptr && chdir(dir) != 0) std::exit(2);
    std::string text = take(strtime(kJan5_2004 + 3661.5)) + "|" + take(strydtime(kJan5_2004)) +
                       "|" + take(strdate(kJan5_2004)) + "|" +
                       take(epoch2str(kJan5_2004, "%D")) + "|" + ZStrydtime_format + "|" +
                       std::to_string(is_month_first());
    std::fputs(("PROBE:" + text).c_str(), stdout);
    std::fflush(stdout);
    std::exit(0);
}

// Runs the probe under the given "time_formats.pf" (none when null).
testsupport::ChildResult run_probe(const char *file, const char *european) {
    ScratchDir dir;
    if (file != nullptr) testsupport::write_file(dir.file("time_formats.pf"), file);
    return in_child([&] {
        setenv("PFPATH", dir.path().c_str(), 1);
        setenv("TIMEFMT_PROBE", "1", 1);
        if (european != nullptr) setenv("EUROPEAN_DATE", european, 1);
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) std::exit(3);
        self[n] = '\0';
        execl(self, self, "--gtest_filter=TimeFmtProbe.Run", static_cast<char *>(nullptr));
        std::exit(4);
    });
}

// The whole test binary runs in a scratch directory that is also the only
// directory of the parameter-file path, so no stray "time_formats.pf" is
// read, and with the process's zone pinned to UTC.
class Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (std::getenv("TIMEFMT_PROBE") != nullptr) probe();
        dir_ = new ScratchDir;
        ASSERT_EQ(chdir(dir_->path().c_str()), 0);
        setenv("PFPATH", dir_->path().c_str(), 1);
        unsetenv("EUROPEAN_DATE");
        unsetenv("TZ");
        tzset();
    }
    void TearDown() override {
        if (dir_ != nullptr && chdir("/") != 0) ADD_FAILURE() << "chdir";
        delete dir_;
        dir_ = nullptr;
    }
    ScratchDir *dir_ = nullptr;
};
Environment *const env = static_cast<Environment *>(
    ::testing::AddGlobalTestEnvironment(new Environment));

// ---- Named formats ----

TEST(TimeFmtNamed, BuiltInMonthFirst) {
    struct Case { char *(*fn)(double); double e; const char *want; };
    const Case cases[] = {
        {strtime, 0.0, "01/01/1970  00:00:00.000"},
        {strtime, 1000000000.1234, "09/09/2001  01:46:40.123"},
        {strtime, 59.9996, "01/01/1970  00:01:00.000"},
        {strtime, -0.25, "12/31/1969  23:59:59.750"},
        {strydtime, 0.9995, "01/01/1970  (001) 00:00:01.000"},
        {strydtime, kJul1_2004, "07/01/2004  (183) 00:00:00.000"},
        {strdate, 0.0, "01/01/1970"},
        {strdate, 86399.9999, "01/01/1970"},
        {strdate, kJan5_2004, "01/05/2004"},
    };
    for (const Case &c : cases) EXPECT_EQ(take(c.fn(c.e)), c.want) << c.e;
    EXPECT_EQ(is_month_first(), 1);
    EXPECT_EQ(Unset_formats, 0);
}

TEST(TimeFmtNamed, SpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case { double e; const char *want; };
    const Case cases[] = {
        {inf, "** The End of Time (+infinity) **"},
        {-inf, "** The Beginning of Time (-infinity) **"},
        {std::nan(""), "** Nan **"},
        {253244534401.0, "**   8030 years ahead ** "},
        {-253244534401.0, "**  -8031 years ago ** "},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(take(strtime(c.e)), c.want);
        EXPECT_EQ(take(strydtime(c.e)), c.want);
        EXPECT_EQ(take(strdate(c.e)), c.want);
        EXPECT_EQ(take(strlocaltime(c.e)), c.want);
        EXPECT_EQ(take(epoch2str(c.e, "%Y")), c.want);
        EXPECT_EQ(take(zepoch2str(c.e, "%Y", "US/Mountain")), c.want);
        char buf[1024];
        EXPECT_EQ(fmttime(c.e, buf, 1, nullptr), 0);
        EXPECT_STREQ(buf, c.want);
    }
}

// Only there to be selected in a probe run (see run_probe).
TEST(TimeFmtProbe, Run) {}

TEST(TimeFmtNamed, Configurations) {
    struct Case { const char *file; const char *european; const char *want; };
    const Case cases[] = {
        {nullptr, nullptr,
         "01/05/2004  01:01:01.500|01/05/2004  (005) 00:00:00.000|01/05/2004| 1/05/04|"
         "%m/%d/%Y  (%j) %H:%M:%S.%s %z|1"},
        {nullptr, "",
         "05/01/2004  01:01:01.500|05/01/2004  (005) 00:00:00.000|05/01/2004| 5/01/04|"
         "%d/%m/%Y  (%j) %H:%M:%S.%s %z|0"},
        // A file without keys counts as none.
        {"# nothing\n", nullptr,
         "01/05/2004  01:01:01.500|01/05/2004  (005) 00:00:00.000|01/05/2004| 1/05/04|"
         "%m/%d/%Y  (%j) %H:%M:%S.%s %z|1"},
        {"time %Y.%j %T\nydtime %g\nuydtime %G %u\ndate %B %o\nmonth_first no\n", nullptr,
         "2004.005 01:01:01.500|2004-005|January 5th| 5/01/04|%g %z|0"},
        {"time %Y.%j %T\nydtime %g\nuydtime %G %u\ndate %B %o\n", nullptr,
         "2004.005 01:01:01.500|2004-005|January 5th| 5/01/04|%g %z|0"},
        {"location japan\njapan &Arr{\n time %Y/%m/%d %H:%M\n ydtime %j\n uydtime %u\n"
         " date %Y/%m/%d\n month_first yes\n}\n",
         nullptr, "2004/01/05 01:01|005|2004/01/05| 1/05/04|%j %z|1"},
        // EUROPEAN_DATE picks the "european" array whatever the file says.
        {"location japan\njapan &Arr{\n time a\n ydtime b\n uydtime c\n date d\n}\n"
         "european &Arr{\n time %d.%m.%Y %H\n ydtime %j\n uydtime %u\n date %d.%m.%Y\n}\n",
         "1", "05.01.2004 01|005|05.01.2004| 5/01/04|%j %z|0"},
    };
    for (const Case &c : cases) {
        auto r = run_probe(c.file, c.european);
        std::size_t at = r.out.find("PROBE:");
        EXPECT_EQ(at == std::string::npos ? r.out : r.out.substr(at + 6), c.want) << (c.file ? c.file : "no file");
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
}

TEST(TimeFmtNamed, MissingFormatKeyIsFatal) {
    struct Case { const char *file; const char *european; const char *message; };
    const Case cases[] = {
        {"ydtime x\nuydtime x\ndate x\n", nullptr, "Could not read 'time' from time_formats.pf"},
        {"location european\neuropean &Arr{\n time x\n ydtime x\n date x\n}\n", nullptr,
         "Could not read 'european{uydtime}' from time_formats.pf"},
        {"time x\nydtime x\nuydtime x\ndate x\n", "1",
         "Could not read 'european{time}' from time_formats.pf"},
    };
    for (const Case &c : cases) {
        auto r = run_probe(c.file, c.european);
        EXPECT_TRUE(r.exited);
        EXPECT_NE(r.exit_code, 0);
        EXPECT_EQ(r.out.find("PROBE:"), std::string::npos);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// ---- The format language ----

TEST(TimeFmtLanguage, Letters) {
    struct Case { double e; const char *f; const char *want; };
    const Case cases[] = {
        {kJan5_2004, "%a %A %b %B %D %e %j %o %O", "Mon Monday Jan January  1/05/04  5 005 5th 5th"},
        {kJan5_2004 + 13 * 3600 + 5 * 60 + 7.25,
         "%d|%E|%g|%G|%H|%I|%k|%l|%L|%m|%M|%p|%S|%s|%u|%T|%y|%Y|%Z|%z",
         "05| 1073307907.250|2004-005|2004-01-05|13|01|13| 1| 1|01|05|PM|07|250|25000|"
         "13:05:07.250|04|2004|UTC|UTC"},
        {kJan5_2004 + 5 * 86400, "%a %A", "Sat Saturday"},
        {kJan5_2004 + 6 * 86400, "%a %A", "Sun Sunday"},
        {0.0, "%a %I %l %p", "Thu 12 12 AM"},
        {-86400.0, "%A %Y-%m-%d", "Wednesday 1969-12-31"},
        {kJan1_2004, "%n%t%%", "\n\t%"},
        {12.0, "%q%%%", "q%"},
        {0.9996, "%S.%s", "00.999"},
        {0.9996, "%T", "00:00:01.000"},
        {0.123456, "%u", "12346"},
        {0.999996, "%S.%u", "00.99999"},
        // A "%T" never shows 60 seconds: the rounding carries on.
        {59.9996, "%T", "00:01:00.000"},
        {86399.9996, "%Y-%j %T %A", "1970-002 00:00:00.000 Friday"},
        {86399.9994, "%Y-%j %T", "1970-001 23:59:59.999"},
        {-0.25, "%T", "23:59:59.750"},
        {1e9, "%E", " 1000000000.000"},
        {0.0, "", ""},
    };
    for (const Case &c : cases) EXPECT_EQ(take(epoch2str(c.e, c.f)), c.want) << c.f;
}

TEST(TimeFmtLanguage, Ordinals) {
    const int days[] = {1, 2, 3, 4, 11, 12, 13, 20, 21, 22, 23, 31};
    const char *month_days[] = {"1st", "2nd", "3rd", "4th", "11th", "12th", "13th",
                                "20th", "21st", "22nd", "23rd", "31st"};
    for (std::size_t i = 0; i < std::size(days); ++i)
        EXPECT_EQ(take(epoch2str(kJan1_2004 + (days[i] - 1) * 86400.0, "%o")), month_days[i]);
    const int doys[] = {100, 101, 102, 111, 112, 113, 121, 366};
    const char *year_days[] = {"100th", "101st", "102nd", "111th", "112th", "113th", "121st", "366th"};
    for (std::size_t i = 0; i < std::size(doys); ++i)
        EXPECT_EQ(take(epoch2str(kJan1_2004 + (doys[i] - 1) * 86400.0, "%O")), year_days[i]);
}

TEST(TimeFmtLanguage, LongResultIsCut) {
    std::string f(2000, 'x');
    EXPECT_EQ(take(epoch2str(0.0, f.c_str())), std::string(1023, 'x'));
    std::string g;
    for (int i = 0; i < 100; ++i) g += "%A";
    std::string want;
    for (int i = 0; i < 100; ++i) want += "Thursday";
    EXPECT_EQ(take(epoch2str(0.0, g.c_str())), want.substr(0, 1023));
}

// ---- fmttime ----

TEST(TimeFmtFmttime, Codes) {
    struct Case { int fmt; const char *zone; double e; const char *want; };
    const Case cases[] = {
        {1, nullptr, 0.0, "1970-01-01 00:00:00.000"},
        {2, nullptr, 0.0, "1970-001 00:00:00.000"},
        {3, nullptr, kJan5_2004, "2004-01-05"},
        {4, nullptr, kJan5_2004, "2004-005"},
        {5, nullptr, 0.0, "01/01/1970  00:00:00.000"},
        {6, nullptr, kJan5_2004, "01/05/2004"},
        {7, nullptr, 0.9995, "01/01/1970  (001) 00:00:01.000"},
        {8, nullptr, 1.123456, "01/01/1970  (001) 00:00:01.12346"},
        {8, nullptr, 0.999996, "01/01/1970  (001) 00:00:01.00000"},
        {9, nullptr, 0.0, "1970-001 00:00:00.000"},
        {0, nullptr, 0.0, "1970-001 00:00:00.000"},
        {-3, "UTC", 0.0, "1970-001 00:00:00.000"},
        {1, "UTC", 59.9996, "1970-01-01 00:01:00.000"},
        {1, "US/Mountain", 0.0, "1969-12-31 17:00:00.000 MST"},
        {2, "US/Mountain", kJul1_2004, "2004-182 18:00:00.000 MDT"},
        {6, "US/Mountain", kJan5_2004, "01/04/2004 MST"},
        {8, "US/Mountain", 0.5, "12/31/1969  (365) 17:00:00.50000 MST"},
    };
    for (const Case &c : cases) {
        char buf[1024];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(fmttime(c.e, buf, c.fmt, c.zone), 0);
        EXPECT_STREQ(buf, c.want) << c.fmt << " " << (c.zone ? c.zone : "null");
    }
}

// ---- Zones ----

TEST(TimeFmtZone, NamedZones) {
    struct Case { double e; const char *f; const char *zone; const char *want; };
    const Case cases[] = {
        {0.0, "%Y-%m-%d %T %Z", nullptr, "1970-01-01 00:00:00.000 UTC"},
        {0.0, "%Y-%m-%d %T %Z", "UTC", "1970-01-01 00:00:00.000 UTC"},
        {0.0, "%Y-%m-%d %T %Z", "US/Mountain", "1969-12-31 17:00:00.000 MST"},
        {kJul1_2004, "%G %T %z %A", "US/Mountain", "2004-06-30 18:00:00.000 MDT Wednesday"},
        {-0.25, "%T", "US/Mountain", "16:59:59.750"},
        {-0.25, "%S.%s", "US/Mountain", "59.750"},
        {7 * 3600 - 0.0004, "%G %T", "US/Mountain", "1970-01-01 00:00:00.000"},
        {0.0, "%H %Z", "Asia/Kolkata", "05 IST"},
        // Past 2038-01-19 03:14:07 UTC, the last second of a 32-bit time_t.
        {2147483648.0, "%Y-%m-%d %H:%M:%S %Z", "US/Pacific", "2038-01-18 19:14:08 PST"},
        {2224713600.0, "%Y-%m-%d %H:%M:%S %Z", "US/Pacific", "2040-06-30 17:00:00 PDT"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(take(zepoch2str(c.e, c.f, c.zone)), c.want) << (c.zone ? c.zone : "null");
    // The process's own zone is untouched afterwards.
    EXPECT_EQ(std::getenv("TZ"), nullptr);
}

TEST(TimeFmtZone, LocalZone) {
    auto r = in_child([] {
        setenv("TZ", "US/Mountain", 1);
        tzset();
        out(take(zepoch2str(0.0, "%T %Z", "LOCAL")) + "|" + take(zepoch2str(0.0, "%T %Z", "")) +
            "|" + take(strlocaltime(0.0)) + "|" + take(strlocalydtime(kJul1_2004)) + "|" +
            take(strlocaldate(0.0)) + "|" + take(zepoch2str(0.0, "%T %Z", nullptr)) + "|" +
            take(zepoch2str(0.0, "%T %Z", "Asia/Kolkata")) + "|" +
            take(zepoch2str(0.0, "%T %Z", "LOCAL")) + "|" + std::getenv("TZ"));
    });
    EXPECT_EQ(r.out, "17:00:00.000 MST|17:00:00.000 MST|12/31/1969  17:00:00.000 MST|"
                     "06/30/2004  (182) 18:00:00.000 MDT|12/31/1969 MST|00:00:00.000 UTC|"
                     "05:30:00.000 IST|17:00:00.000 MST|US/Mountain");
}

TEST(TimeFmtZone, UnrecognisedZone) {
    auto r = in_child([] {
        setenv("TZ", "US/Mountain", 1);
        tzset();
        testsupport::elog_reset_register();
        std::string text = take(zepoch2str(0.0, "%T %Z", "Nowhere/Bogus"));
        std::string log = testsupport::elog_register_text();
        out(text + "|" + std::to_string(log.find("Unrecognized timezone 'Nowhere/Bogus'\n") !=
                                        std::string::npos) +
            "|" + std::to_string(errno) + "|" + std::getenv("TZ"));
        char buf[1024];
        fmttime(0.0, buf, 1, "Nowhere/Bogus");
        out(std::string("|") + buf);
        std::string longname(80, 'A');
        out("|" + take(zepoch2str(0.0, "%T %Z", longname.c_str())));
    });
    EXPECT_EQ(r.out, "17:00:00.000 MST|1|0|US/Mountain|1969-12-31 17:00:00.000 MST|"
                     "17:00:00.000 MST");
}

TEST(TimeFmtZone, ProcessZoneRestoredExactly) {
    auto r = in_child([] {
        // Unset stays unset.
        unsetenv("TZ");
        take(zepoch2str(0.0, "%T", "US/Mountain"));
        out(std::getenv("TZ") == nullptr ? "unset" : "set");
        // Empty stays empty (and means UTC).
        setenv("TZ", "", 1);
        tzset();
        take(zepoch2str(0.0, "%T", "US/Mountain"));
        const char *v = std::getenv("TZ");
        out(v == nullptr ? "|unset" : std::string("|[") + v + "]");
        out("|" + take(zepoch2str(0.0, "%H %Z", "LOCAL")));
        // A set entry is put back itself.
        static char entry[] = "TZ=Asia/Kolkata";
        putenv(entry);
        tzset();
        take(zepoch2str(0.0, "%T", "US/Mountain"));
        out(std::string("|") + (std::getenv("TZ") == entry + 3 ? "same" : "other"));
        out("|" + take(zepoch2str(0.0, "%H %Z", "LOCAL")));
    });
    EXPECT_EQ(r.out, "unset|[]|00 UTC|same|05 IST");
}

TEST(TimeFmtZone, PublicSwitch) {
    auto r = in_child([] {
        unsetenv("TZ");
        switchTZ("US/Mountain");
        out(std::to_string(errno) + "|" + std::getenv("TZ"));
        switchTZ("Asia/Kolkata");  // a second switch replaces the first
        out(std::string("|") + std::getenv("TZ"));
        switchTZ("Nowhere/Bogus");
        out(std::string("|") + (errno != 0 ? "bad" : "ok"));
        restoreTZ();
        out(std::string("|") + (std::getenv("TZ") == nullptr ? "unset" : "set"));
        restoreTZ();  // nothing to undo
        out("|" + take(zepoch2str(0.0, "%H %Z", "US/Mountain")));
    });
    EXPECT_EQ(r.out, "0|US/Mountain|Asia/Kolkata|bad|unset|17 MST");
}

// Formatting in different zones from several threads: each sees its own.
TEST(TimeFmtZone, ThreadsSeeTheirOwnZone) {
    struct Job { const char *zone; const char *want; };
    const Job jobs[] = {
        {"US/Mountain", "17 MST"}, {"Asia/Kolkata", "05 IST"}, {nullptr, "00 UTC"},
        {"LOCAL", "00 UTC"},       {"UTC", "00 UTC"},
    };
    std::vector<std::thread> threads;
    std::vector<int> failures(std::size(jobs), 0);
    for (std::size_t i = 0; i < std::size(jobs); ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 200; ++n) {
                std::string text = take(zepoch2str(0.0, "%H %Z", jobs[i].zone));
                if (text != jobs[i].want) ++failures[i];
            }
        });
    }
    for (auto &t : threads) t.join();
    for (std::size_t i = 0; i < std::size(jobs); ++i) EXPECT_EQ(failures[i], 0) << i;
}

// ---- Durations, year-day dates ----

TEST(TimeFmtDelta, Words) {
    struct Case { double e; std::string want; };
    auto pad = [](std::string s) { s.resize(std::max<std::size_t>(s.size(), 21), ' '); return s; };
    const Case cases[] = {
        {-303.0, pad(" -5:03 minutes")},
        {0.0, pad(" 0 microseconds")},
        {86399.6, pad(" 24:00 hours")},
        {2 * 31536000.0 + 3 * 86400, pad(" 2 years 3 days")},
        {2 * 31536000.0, pad(" 2 years")},
        {31536000.0 * 2e6, pad(" 2e+06 years")},
        {31536000.0 * 2e6 + 86400, pad(" 2e+06 years 1 days")},
        {90000.0, pad(" 1 days 1.0 hours")},
        {86400.0, pad(" 1 days")},
        {0.0042, pad("   4.200 milliseconds")},
        {-0.0042, pad("  -4.200 milliseconds")},
        {0.0000042, pad("   4.200 microseconds")},
        {1.5e-9, pad(" 0.0015 microseconds")},
        {1.5, pad("  1.500 seconds")},
        {-3600.0 * 5 - 29, pad(" -5:00 hours")},
        {119.5, pad("  2:00 minutes")},
    };
    for (const Case &c : cases) EXPECT_EQ(take(strtdelta(c.e)), c.want) << c.e;
    EXPECT_EQ(take(strtdelta(std::nan(""))), pad(" nan microseconds"));
}

TEST(TimeFmtYearday, EpochAndYearday) {
    EXPECT_EQ(epoch(2004005), kJan5_2004);
    EXPECT_EQ(epoch(1970001), 0.0);
    EXPECT_EQ(yearday(1073260800.5), 2004005);
    EXPECT_EQ(yearday(-1.0), 1969365);
    EXPECT_EQ(yearday(kJul1_2004), 2004183);
    EXPECT_EQ(yearday(std::nan("")), 0);
}

}  // namespace
