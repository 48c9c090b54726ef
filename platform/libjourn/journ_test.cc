// The travel-time library stand-in: straight rays at constant velocity.
#include <gtest/gtest.h>

#include <cmath>

#include "journ.h"

namespace {

constexpr double kR = JOURN_EARTH_RADIUS;

TEST(Journ, TravelTimesAlongTheChord) {
    EXPECT_DOUBLE_EQ(pphasetime(0, 0), 0.0);
    EXPECT_DOUBLE_EQ(pphasetime(180, 0), 2 * kR / JOURN_VP);
    EXPECT_DOUBLE_EQ(sphasetime(180, 0), 2 * kR / JOURN_VS);
    EXPECT_DOUBLE_EQ(pphasetime(0, 33), 33 / JOURN_VP);
    // 60 degrees at the surface: the chord is one radius long.
    EXPECT_NEAR(pphasetime(60, 0), kR / JOURN_VP, 1e-9);
    char p[] = "Pn", s[] = "sS", x[] = "LR";
    EXPECT_DOUBLE_EQ(phasetime(p, 60, 10), pphasetime(60, 10));
    EXPECT_DOUBLE_EQ(phasetime(s, 60, 10), sphasetime(60, 10));
    EXPECT_EQ(phasetime(x, 60, 10), -1.0);
    EXPECT_EQ(phasetime(nullptr, 60, 10), -1.0);
}

TEST(Journ, SlownessIsTheSlopeOfTheTime) {
    for (double delta : {1.0, 10.0, 45.0, 120.0}) {
        for (double depth : {0.0, 100.0}) {
            double h = 1e-5;
            double slope = (pphasetime(delta + h, depth) - pphasetime(delta - h, depth)) / (2 * h);
            EXPECT_NEAR(pphase_slowness(delta, depth), slope, 1e-6) << delta << " " << depth;
            slope = (sphasetime(delta + h, depth) - sphasetime(delta - h, depth)) / (2 * h);
            EXPECT_NEAR(sphase_slowness(delta, depth), slope, 1e-6) << delta << " " << depth;
        }
    }
    char p[] = "P";
    EXPECT_DOUBLE_EQ(phase_slowness(p, 30, 5), pphase_slowness(30, 5));
    EXPECT_EQ(pphase_slowness(0, 0), 0.0);
}

TEST(Journ, NoTimeWithoutARay) {
    EXPECT_EQ(pphasetime(10, kR), -1.0);
    EXPECT_EQ(sphasetime(10, kR + 1), -1.0);
    EXPECT_EQ(pphasetime(std::nan(""), 0), -1.0);
    EXPECT_EQ(pphase_slowness(10, INFINITY), -1.0);
}

}  // namespace
