// Positions on a spherical Earth: great-circle distance and azimuth, the
// point at a distance and azimuth, degrees and kilometres, and a region
// numbering of our own by cells of latitude and longitude.
#include "geopos.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kCell = 10;           // degrees of one geographic region
constexpr int kLonCells = 360 / kCell;
constexpr int kLatCells = 180 / kCell;
constexpr int kSeismicLat = 3;      // geographic cells per seismic cell
constexpr int kSeismicLon = 6;
constexpr int kSeismicLonCells = kLonCells / kSeismicLon;

// Latitude and longitude band indexes of a position; false when it has
// none.
bool bands(double lat, double lon, int *lat_band, int *lon_band) {
    if (!std::isfinite(lat) || !std::isfinite(lon) || lat < -90.0 || lat > 90.0) return false;
    lon = std::fmod(lon + 180.0, 360.0);
    if (lon < 0.0) lon += 360.0;
    int row = static_cast<int>(std::floor((lat + 90.0) / kCell));
    int col = static_cast<int>(std::floor(lon / kCell));
    *lat_band = row < kLatCells ? row : kLatCells - 1;
    *lon_band = col < kLonCells ? col : kLonCells - 1;
    return true;
}

double clamp_unit(double x) { return x > 1.0 ? 1.0 : (x < -1.0 ? -1.0 : x); }

}  // namespace

extern "C" {

void dist(double lat1, double lon1, double lat2, double lon2, double *delta, double *azimuth) {
    double dlon = lon2 - lon1;
    // The haversine form keeps short distances exact; atan2 gives the
    // azimuth in every quadrant.
    double a = std::sin((lat2 - lat1) / 2.0);
    double b = std::sin(dlon / 2.0);
    double h = clamp_unit(a * a + std::cos(lat1) * std::cos(lat2) * b * b);
    double d = 2.0 * std::asin(std::sqrt(h));
    double y = std::sin(dlon) * std::cos(lat2);
    double x = std::cos(lat1) * std::sin(lat2) - std::sin(lat1) * std::cos(lat2) * std::cos(dlon);
    double az = (d == 0.0) ? 0.0 : std::atan2(y, x);
    if (az < 0.0) az += 2.0 * kPi;
    *delta = d;
    *azimuth = az;
}

void latlon(double lat1, double lon1, double delta, double azimuth, double *lat2, double *lon2) {
    double s = clamp_unit(std::sin(lat1) * std::cos(delta) +
                          std::cos(lat1) * std::sin(delta) * std::cos(azimuth));
    double lat = std::asin(s);
    double lon = lon1 + std::atan2(std::sin(azimuth) * std::sin(delta) * std::cos(lat1),
                                   std::cos(delta) - std::sin(lat1) * s);
    lon = std::remainder(lon, 2.0 * kPi);
    *lat2 = lat;
    *lon2 = lon;
}

int grnumber(double lat, double lon) {
    int row = 0, col = 0;
    if (!bands(lat, lon, &row, &col)) return 0;
    return 1 + row * kLonCells + col;
}

int grname(int grn, char *name) {
    if (grn < 1 || grn > GEOPOS_NGREGIONS) {
        std::snprintf(name, GEOPOS_NAME_SIZE, "Unknown region %d", grn);
        return -1;
    }
    int row = (grn - 1) / kLonCells, col = (grn - 1) % kLonCells;
    int lat0 = row * kCell - 90, lon0 = col * kCell - 180;
    char lat[16], lon[16];
    if (lat0 >= 0)
        std::snprintf(lat, sizeof lat, "N%02d-%02d", lat0, lat0 + kCell);
    else
        std::snprintf(lat, sizeof lat, "S%02d-%02d", -(lat0 + kCell), -lat0);
    if (lon0 >= 0)
        std::snprintf(lon, sizeof lon, "E%03d-%03d", lon0, lon0 + kCell);
    else
        std::snprintf(lon, sizeof lon, "W%03d-%03d", -(lon0 + kCell), -lon0);
    std::snprintf(name, GEOPOS_NAME_SIZE, "%s %s", lat, lon);
    return 0;
}

int srnumber(int grn) {
    if (grn < 1 || grn > GEOPOS_NGREGIONS) return 0;
    int row = (grn - 1) / kLonCells, col = (grn - 1) % kLonCells;
    return 1 + (row / kSeismicLat) * kSeismicLonCells + col / kSeismicLon;
}

int srname(int srn, char *name) {
    static const char *const kLatitudes[] = {
        "Southern polar",  "Southern mid-latitudes", "Southern tropics",
        "Northern tropics", "Northern mid-latitudes", "Northern polar"};
    static const char *const kLongitudes[] = {"180W-120W", "120W-60W", "60W-0",
                                              "0-60E",     "60E-120E", "120E-180E"};
    if (srn < 1 || srn > GEOPOS_NSREGIONS) {
        std::snprintf(name, GEOPOS_NAME_SIZE, "Unknown region %d", srn);
        return -1;
    }
    std::snprintf(name, GEOPOS_NAME_SIZE, "%s, %s", kLatitudes[(srn - 1) / kSeismicLonCells],
                  kLongitudes[(srn - 1) % kSeismicLonCells]);
    return 0;
}

double deg2km(double degrees) { return degrees * (kPi * GEOPOS_EARTH_RADIUS / 180.0); }

double km2deg(double km) { return km / (kPi * GEOPOS_EARTH_RADIUS / 180.0); }

}  // extern "C"
