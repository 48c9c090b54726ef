#include "nicetime.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "calendar.h"

namespace {

constexpr double kUntouched = -12345.0;

struct Case {
    double tstart, tend;
    int maxincs;
    double inc, start;
};

void expect_case(const Case &c, double tolerance = 0.0) {
    double nstart = -1, ninc = kUntouched;
    EXPECT_EQ(0, get_nice_times(c.tstart, c.tend, c.maxincs, &nstart, &ninc));
    SCOPED_TRACE(::testing::Message() << c.tstart << " .. " << c.tend << " / "
                                      << c.maxincs);
    EXPECT_DOUBLE_EQ(c.inc, ninc);
    if (tolerance == 0.0)
        EXPECT_EQ(c.start, nstart);
    else
        EXPECT_NEAR(c.start, nstart, tolerance);
}

TEST(NiceTimes, NothingChosen) {
    const Case cases[] = {
        {1000000000.0, 1000000000.0, 10, 0, 0},
        {1000000000.0, 1000000100.0, 0, 0, 0},
        {1000000000.0, 1000000100.0, -3, 0, 0},
    };
    for (const Case &c : cases) {
        double nstart = -1, ninc = kUntouched;
        EXPECT_EQ(0, get_nice_times(c.tstart, c.tend, c.maxincs, &nstart, &ninc));
        EXPECT_EQ(0.0, nstart);
        EXPECT_EQ(kUntouched, ninc);
    }
}

TEST(NiceTimes, EndlessSpansAreRefused) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    const double spans[][2] = {{0, inf},   {-inf, 0},  {nan, 10},
                               {10, nan},  {inf, inf}, {-1.7e308, 1.7e308}};
    for (auto &s : spans) {
        double nstart = -1, ninc = kUntouched;
        EXPECT_EQ(-1, get_nice_times(s[0], s[1], 10, &nstart, &ninc))
            << s[0] << " " << s[1];
        EXPECT_EQ(0.0, nstart);
        EXPECT_EQ(kUntouched, ninc);
    }
}

TEST(NiceTimes, SecondsMinutesHoursAndDays) {
    const Case cases[] = {
        {1000000000.5, 1000000100.5, 10, 10, 1000000010.0},
        {1000000020.0, 1000000120.0, 10, 10, 1000000030.0},
        {1000000020.0, 1000000080.0, 1, 60, 1000000020.0},
        {1000000000.0, 1000000060.0, 1, 60, 1000000020.0},
        {1000000000.0, 1000007200.0, 10, 900, 1000000800.0},
        {1000000000.0, 1000000000.0 + 30 * 86400.0, 10, 432000, 1000252800.0},
        {1000000000.0, 1000000000.0 + 300 * 86400.0, 10, 4320000,
         1004140800.0},
        // Reversed span: same increment, still from tstart on.
        {1000000100.5, 1000000000.5, 10, 10, 1000000110.0},
        {1000000000.0, 999992800.0, 10, 900, 1000000800.0},
        // Rows of the ladder, from 2 s to a day.
        // 01:46:40 lies on the 2, 5 and 20 s boundaries: the start itself.
        {1000000000.0, 1000000020.0, 10, 2, 1000000000.0},
        {1000000000.0, 1000000050.0, 10, 5, 1000000000.0},
        {1000000000.0, 1000000150.0, 10, 15, 1000000005.0},
        {1000000000.0, 1000000200.0, 10, 20, 1000000000.0},
        {1000000000.0, 1000000300.0, 10, 30, 1000000020.0},
        {1000000000.0, 1000001200.0, 10, 120, 1000000080.0},
        {1000000000.0, 1000003000.0, 10, 300, 1000000200.0},
        {1000000000.0, 1000006000.0, 10, 600, 1000000200.0},
        {1000000000.0, 1000012000.0, 10, 1200, 1000000800.0},
        {1000000000.0, 1000018000.0, 10, 1800, 1000000800.0},
        {1000000000.0, 1000036000.0, 10, 3600, 1000000000.0 + 800.0},
        {1000000000.0, 1000072000.0, 10, 7200, 1000000000.0 + 800.0},
        {1000000000.0, 1000144000.0, 10, 14400, 1000000000.0 + 8000.0},
        {1000000000.0, 1000216000.0, 10, 21600, 1000000000.0 + 15200.0},
        {1000000000.0, 1000288000.0, 10, 28800, 1000000000.0 + 22400.0},
        {1000000000.0, 1000432000.0, 10, 43200, 1000000000.0 + 36800.0},
        {1000000000.0, 1000864000.0, 10, 86400, 1000000000.0 + 80000.0},
        // The whole-hour row at a whole hour takes the start itself.
        {999997200.0, 1000033200.0, 10, 3600, 999997200.0},
        // 2 days: day of year 252 is already even.
        {1000000000.0, 1000000000.0 + 15 * 86400.0, 10, 172800,
         1000000000.0 - 6400.0 + 2 * 86400.0},
        // 10 and 20 days.
        {1000000000.0, 1000000000.0 + 100 * 86400.0, 10, 864000,
         1000000000.0 - 6400.0 + 8 * 86400.0},
        {1000000000.0, 1000000000.0 + 200 * 86400.0, 10, 1728000,
         1000000000.0 - 6400.0 + 8 * 86400.0},
    };
    for (const Case &c : cases) expect_case(c);
}

TEST(NiceTimes, FractionsOfASecond) {
    const Case cases[] = {
        {1000000020.3, 1000000020.8, 10, 0.05, 1000000020.3},
        {1000000020.3, 1000000030.3, 10, 1, 1000000021.0},
        {1000000020.3, 1000000025.3, 10, 0.5, 1000000020.5},
        {1000000020.3, 1000000022.3, 10, 0.2, 1000000020.4},
        {1000000020.3, 1000000021.3, 10, 0.1, 1000000020.3},
        {1000000020.3, 1000000020.45, 10, 0.02, 1000000020.3},
        {1000000020.3, 1000000020.38, 10, 0.01, 1000000020.3},
        {1000000020.37, 1000000020.45, 10, 0.01, 1000000020.37},
        {1000000020.37, 1000000020.52, 10, 0.02, 1000000020.38},
    };
    for (const Case &c : cases) expect_case(c, 1e-6);
    // 0.05 is made as 0.1 * 0.5.
    double nstart, ninc;
    get_nice_times(1000000020.3, 1000000020.8, 10, &nstart, &ninc);
    EXPECT_EQ(0.1 * 0.5, ninc);
}

TEST(NiceTimes, TolerancePastABoundary) {
    // 0.0005 s past 01:46:50 with a 10 s step: the boundary itself.
    double nstart, ninc;
    const double tstart = 1000000010.0005;
    ASSERT_EQ(0, get_nice_times(tstart, tstart + 100, 10, &nstart, &ninc));
    EXPECT_EQ(10.0, ninc);
    EXPECT_NEAR(tstart - 0.0005, nstart, 1e-6);
    EXPECT_LT(nstart, tstart);
}

TEST(NiceTimes, TinyAndHugeSpansEnd) {
    double nstart, ninc;
    ASSERT_EQ(0, get_nice_times(0.0, 1e-9, 1, &nstart, &ninc));
    EXPECT_NEAR(1e-9, ninc, 1e-20);
    // The smallest span there is still ends with a usable step.
    ASSERT_EQ(0, get_nice_times(0.0, 5e-324, 1, &nstart, &ninc));
    EXPECT_GT(ninc, 0.0);
    EXPECT_TRUE(std::isfinite(nstart));
    ASSERT_EQ(0, get_nice_times(0.0, 1e30, 1, &nstart, &ninc));
    EXPECT_GE(ninc, 1e30);
    EXPECT_TRUE(std::isfinite(nstart));
}

TEST(NiceTimes, StartsAreAlignedAndNotEarly) {
    // Across many starts, the nice start lies at or after tstart (within the
    // tolerance) and less than one increment plus the tolerance after it.
    const double incs_for[] = {10, 100, 1000, 10000, 100000, 3e6};
    for (double span : incs_for) {
        for (int i = 0; i < 500; ++i) {
            const double tstart = 999000000.0 + i * 7919.37;
            double nstart, ninc;
            ASSERT_EQ(0, get_nice_times(tstart, tstart + span, 10, &nstart, &ninc));
            ASSERT_GE(nstart, tstart - 0.0001 * ninc - 1e-6) << tstart << " " << span;
            ASSERT_LE(nstart, tstart + ninc + 1e-6) << tstart << " " << span;
            if (ninc >= 1.0 && ninc <= 86400.0) {
                ASSERT_NEAR(0.0, std::fmod(std::round(nstart * 1000) / 1000, ninc), 1e-3)
                    << tstart << " " << span;
            }
        }
    }
}

}  // namespace
