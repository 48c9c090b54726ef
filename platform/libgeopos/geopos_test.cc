// The position library stand-in: distances, azimuths, points along a great
// circle, kilometres and the region numbering.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "geopos.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRad = kPi / 180.0;

TEST(Geopos, DistanceAndAzimuthOnTheSphere) {
    struct Case {
        double lat1, lon1, lat2, lon2, delta, azimuth;  // degrees
    } cases[] = {
        {0, 0, 0, 90, 90, 90},     {0, 0, 10, 0, 10, 0},      {0, 0, -10, 0, 10, 180},
        {0, 0, 0, -30, 30, 270},   {10, 20, 10, 20, 0, 0},    {0, 0, 0, 180, 180, 90},
        {45, 0, 45, 180, 90, 0},   {0, 170, 0, -170, 20, 90},
    };
    for (const Case &c : cases) {
        double delta = -1, azimuth = -1;
        dist(c.lat1 * kRad, c.lon1 * kRad, c.lat2 * kRad, c.lon2 * kRad, &delta, &azimuth);
        EXPECT_NEAR(delta / kRad, c.delta, 1e-9) << c.lat1 << " " << c.lon1 << " " << c.lat2;
        EXPECT_NEAR(azimuth / kRad, c.azimuth, 1e-9) << c.lat1 << " " << c.lon1 << " " << c.lat2;
    }
}

TEST(Geopos, LatlonGoesWhereDistTells) {
    double lat = 0, lon = 0;
    latlon(0, 0, 90 * kRad, 90 * kRad, &lat, &lon);
    EXPECT_NEAR(lat / kRad, 0, 1e-9);
    EXPECT_NEAR(lon / kRad, 90, 1e-9);
    // A point, a distance and an azimuth from dist, back through latlon.
    double delta = 0, azimuth = 0;
    dist(35 * kRad, -120 * kRad, -12 * kRad, 77 * kRad, &delta, &azimuth);
    latlon(35 * kRad, -120 * kRad, delta, azimuth, &lat, &lon);
    EXPECT_NEAR(lat / kRad, -12, 1e-9);
    EXPECT_NEAR(lon / kRad, 77, 1e-9);
    // Across the date line the longitude comes back into -180..180.
    latlon(0, 170 * kRad, 20 * kRad, 90 * kRad, &lat, &lon);
    EXPECT_NEAR(lon / kRad, -170, 1e-9);
}

TEST(Geopos, DegreesAndKilometres) {
    EXPECT_NEAR(deg2km(1.0), 111.19492664455873, 1e-9);
    EXPECT_NEAR(km2deg(deg2km(37.5)), 37.5, 1e-12);
    EXPECT_NEAR(deg2km(180.0), kPi * GEOPOS_EARTH_RADIUS, 1e-9);
}

TEST(Geopos, RegionNumbersAndNames) {
    struct Case {
        double lat, lon;
        int grn, srn;
        const char *gname, *sname;
    } cases[] = {
        {45, 15, 488, 28, "N40-50 E010-020", "Northern mid-latitudes, 0-60E"},
        {-90, -180, 1, 1, "S80-90 W170-180", "Southern polar, 180W-120W"},
        {90, 179.5, 648, 36, "N80-90 E170-180", "Northern polar, 120E-180E"},
        {0, 0, 343, 22, "N00-10 E000-010", "Northern tropics, 0-60E"},
        {-0.5, 359.5, 306, 15, "S00-10 W000-010", "Southern tropics, 60W-0"},
        {-33.9, 151.2, 214, 12, "S30-40 E150-160", "Southern mid-latitudes, 120E-180E"},
    };
    for (const Case &c : cases) {
        int grn = grnumber(c.lat, c.lon);
        EXPECT_EQ(grn, c.grn) << c.lat << " " << c.lon;
        EXPECT_EQ(srnumber(grn), c.srn) << c.lat << " " << c.lon;
        char name[GEOPOS_NAME_SIZE];
        EXPECT_EQ(grname(grn, name), 0);
        EXPECT_STREQ(name, c.gname);
        EXPECT_EQ(srname(srnumber(grn), name), 0);
        EXPECT_STREQ(name, c.sname);
    }
}

TEST(Geopos, PositionsWithoutARegion) {
    EXPECT_EQ(grnumber(91, 0), 0);
    EXPECT_EQ(grnumber(-90.5, 0), 0);
    EXPECT_EQ(grnumber(std::nan(""), 0), 0);
    EXPECT_EQ(grnumber(0, INFINITY), 0);
    EXPECT_EQ(srnumber(0), 0);
    EXPECT_EQ(srnumber(649), 0);
    char name[GEOPOS_NAME_SIZE];
    EXPECT_EQ(grname(0, name), -1);
    EXPECT_STREQ(name, "Unknown region 0");
    EXPECT_EQ(srname(37, name), -1);
    EXPECT_STREQ(name, "Unknown region 37");
    EXPECT_EQ(grname(-2147483647 - 1, name), -1);
    EXPECT_STREQ(name, "Unknown region -2147483648");
}

}  // namespace
