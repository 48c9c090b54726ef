// Travel times and slownesses of straight rays through a sphere of
// constant velocity.
#include "journ.h"

#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kNoTime = -1.0;

// The velocity of a phase by its first letter, or 0 for none.
double velocity(const char *phase) {
    if (phase == nullptr) return 0.0;
    switch (phase[0]) {
        case 'P':
        case 'p': return JOURN_VP;
        case 'S':
        case 's': return JOURN_VS;
        default: return 0.0;
    }
}

// The ray from the source at radius r to the receiver at the surface
// radius R, delta degrees away: its length, and the rate at which the
// length changes with delta (kilometres per degree).
bool ray(double delta, double depth, double *length, double *rate) {
    if (!std::isfinite(delta) || !std::isfinite(depth)) return false;
    double r = JOURN_EARTH_RADIUS - depth;
    if (r <= 0.0) return false;
    double R = JOURN_EARTH_RADIUS;
    double a = delta * kPi / 180.0;
    double l2 = r * r + R * R - 2.0 * r * R * std::cos(a);
    double l = std::sqrt(l2 > 0.0 ? l2 : 0.0);
    *length = l;
    *rate = l > 0.0 ? r * R * std::sin(a) / l * (kPi / 180.0) : 0.0;
    return true;
}

double time_of(double v, double delta, double depth) {
    double l = 0.0, rate = 0.0;
    if (v <= 0.0 || !ray(delta, depth, &l, &rate)) return kNoTime;
    return l / v;
}

double slowness_of(double v, double delta, double depth) {
    double l = 0.0, rate = 0.0;
    if (v <= 0.0 || !ray(delta, depth, &l, &rate)) return kNoTime;
    return rate / v;
}

}  // namespace

extern "C" {

double phasetime(char *phase, double delta, double depth) {
    return time_of(velocity(phase), delta, depth);
}

double phase_slowness(char *phase, double delta, double depth) {
    return slowness_of(velocity(phase), delta, depth);
}

double pphasetime(double delta, double depth) { return time_of(JOURN_VP, delta, depth); }
double sphasetime(double delta, double depth) { return time_of(JOURN_VS, delta, depth); }
double pphase_slowness(double delta, double depth) { return slowness_of(JOURN_VP, delta, depth); }
double sphase_slowness(double delta, double depth) { return slowness_of(JOURN_VS, delta, depth); }

}  // extern "C"
