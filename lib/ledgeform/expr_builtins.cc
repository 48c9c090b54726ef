// Built-in functions of the expression language that need no database:
// mathematics (angles in degrees), positions and regions, travel times,
// times, strings and paths.
#include <climits>
#include <cmath>

#include "expr_builtins.h"
#include "expr_private.h"
#include "geopos.h"
#include "journ.h"
#include "kitbag.h"

namespace ledgeform {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kToRadians = kPi / 180.0;
constexpr double kToDegrees = 180.0 / kPi;
constexpr std::size_t kPathRoom = 4096;
constexpr std::size_t kPatsubRoom = 1024;
constexpr std::size_t kPatsubMaxRoom = std::size_t{1} << 24;

char *copy(const char *s) { return LF_STRDUP(s != nullptr ? s : "", "text"); }

// The int of a text, clamped to the int range (atoi without its undefined
// overflow).
int int_of(const char *s) {
    long long v = std::strtoll(s, nullptr, 10);
    return v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : static_cast<int>(v));
}

// A real as an int, truncated; false when it does not fit.
bool truncated(double d, int *out) {
    double t = std::trunc(d);
    if (!fits_int(t)) return false;
    *out = static_cast<int>(t);
    return true;
}

// A number passed on as text, as the travel-time calls take it.
double number_text(const char *s) { return std::atof(s); }

}  // namespace

// ---- Mathematics ----

double exf_abs(double x) { return std::fabs(x); }
double exf_ceil(double x) { return std::ceil(x); }
double exf_floor(double x) { return std::floor(x); }
double exf_int(double x) { return x >= 0 ? std::floor(x) : std::ceil(x); }
double exf_sqrt(double x) { return std::sqrt(x); }
double exf_cos(double x) { return std::cos(x * kToRadians); }
double exf_sin(double x) { return std::sin(x * kToRadians); }
double exf_tan(double x) { return std::tan(x * kToRadians); }
double exf_atan(double y, double x) { return std::atan2(y, x) * kToDegrees; }
double exf_log(double x) { return std::log(x); }
double exf_log10(double x) { return std::log10(x); }
double exf_sign(double x) { return x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0); }
double exf_exp(double x) { return std::exp(x); }
double exf_min(double a, double b) { return a > b ? b : a; }
double exf_max(double a, double b) { return a > b ? a : b; }

// ---- Positions and regions ----

namespace {

// The distance (part 0) or azimuth (part 1) in degrees from the first
// point to the second.
double between(double lat1, double lon1, double lat2, double lon2, int part) {
    double delta = 0, azimuth = 0;
    dist(lat1 * kToRadians, lon1 * kToRadians, lat2 * kToRadians, lon2 * kToRadians, &delta,
         &azimuth);
    return (part == 0 ? delta : azimuth) * kToDegrees;
}

// The latitude (part 0) or longitude (part 1) in degrees of the point a
// distance away along an azimuth.
double reached(double lat, double lon, double delta, double azimuth, int part) {
    double lat2 = 0, lon2 = 0;
    latlon(lat * kToRadians, lon * kToRadians, delta * kToRadians, azimuth * kToRadians, &lat2,
           &lon2);
    return (part == 0 ? lat2 : lon2) * kToDegrees;
}

}  // namespace

double exf_distance(double lat1, double lon1, double lat2, double lon2) {
    return between(lat1, lon1, lat2, lon2, 0);
}
double exf_azimuth(double lat1, double lon1, double lat2, double lon2) {
    return between(lat1, lon1, lat2, lon2, 1);
}
double exf_latitude(double lat, double lon, double delta, double azimuth) {
    return reached(lat, lon, delta, azimuth, 0);
}
double exf_longitude(double lat, double lon, double delta, double azimuth) {
    return reached(lat, lon, delta, azimuth, 1);
}

int32_t exf_grn(double lat, double lon) { return grnumber(lat, lon); }

char *exf_grname(double lat, double lon) {
    char name[GEOPOS_NAME_SIZE] = "";
    grname(grnumber(lat, lon), name);
    name[sizeof name - 1] = '\0';
    return copy(name);
}

int32_t exf_srn(double lat, double lon) { return srnumber(grnumber(lat, lon)); }

char *exf_srname(double lat, double lon) {
    char name[GEOPOS_NAME_SIZE] = "";
    srname(srnumber(grnumber(lat, lon)), name);
    name[sizeof name - 1] = '\0';
    return copy(name);
}

// ---- Travel times ----

double exf_phasetime(char *phase, char *delta, char *depth) {
    return phasetime(phase, number_text(delta), number_text(depth));
}

double exf_phase_slowness(char *phase, char *delta, char *depth) {
    return phase_slowness(phase, number_text(delta), number_text(depth));
}

// ---- Times ----

double exf_now(void) { return std_now(); }

double exf_date2e(double year, double month, double day, double seconds) {
    int y = 0, m = 0, d = 0;
    if (!truncated(year, &y) || !truncated(month, &m) || !truncated(day, &d)) {
        Db_ex_err++;
        return an_infinity();
    }
    return h2e(y, mday2doy(y, m, d), 0, 0, 0.0) + seconds;
}

char *exf_epoch2str(double time, char *format) { return epoch2str(time, format); }

char *exf_zepoch2str(double time, char *format, char *zone) {
    return zepoch2str(time, format, zone);
}

// ---- Strings and paths ----

namespace {

// The directory (part 0) or base (part 1) of a path.
char *path_part(const char *path, int part) {
    if (std::strlen(path) >= kPathRoom) {
        elog_log(0, "path too long for dirname or basename: %.64s...\n", path);
        Db_ex_err++;
        return copy("");
    }
    char dir[kPathRoom], base[kPathRoom];
    dirbase(path, dir, base);
    return copy(part == 0 ? dir : base);
}

}  // namespace

char *exf_dirname(char *path) { return path_part(path, 0); }
char *exf_basename(char *path) { return path_part(path, 1); }

char *exf_substr(char *s, char *start_text, char *length_text) {
    long long n = static_cast<long long>(std::strlen(s));
    long long start = int_of(start_text), length = int_of(length_text);
    if (start < 0) start = start + n < 0 ? 0 : start + n;
    if (start > n) start = n;
    char *result = copy(s + start);
    long long have = n - start;
    if (length > 0 && length < have)
        result[length] = '\0';
    else if (length < 0 && -length < have)
        result[have + length] = '\0';
    return result;
}

int32_t exf_strlen(char *s) {
    std::size_t n = std::strlen(s);
    return n > INT_MAX ? INT_MAX : static_cast<int32_t>(n);
}

char *exf_concatpaths(char *a, char *b) { return concatpaths(a, b, static_cast<char *>(nullptr)); }

char *exf_patsub(char *s, regex_t *pattern, char *replacement) {
    for (std::size_t room = kPatsubRoom; room <= kPatsubMaxRoom; room *= 2) {
        auto *out = static_cast<char *>(LF_MALLOC(room, "patsub"));
        if (patsub_n(s, pattern, replacement, out, room) >= 0) return out;
        std::free(out);
    }
    elog_log(0, "patsub result too long\n");
    Db_ex_err++;
    return copy("");
}

}  // namespace ledgeform
