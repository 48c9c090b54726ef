// A root of a function in a bracket by regula falsi, halving the function
// value kept for the end that stays after every step (Illinois).
#include <cmath>

#include "numerics.h"

namespace {

constexpr double EPSILON = 1e-16;

// A function whose bracket never narrows below the width test (a jump
// instead of a root, or a tolerance below the resolution of doubles) would
// otherwise be stepped for ever.
constexpr int kMaxIterations = 10000;

}  // namespace

extern "C" double findzero(double a, double b, double (*f)(double, void *), double tol, void *pvt) {
    double eps = (std::fabs(a) + std::fabs(b)) * (tol + EPSILON);
    double fa = f(a, pvt);
    double fb = f(b, pvt);
    if (fa * fb > 0) return std::fabs(fa) < std::fabs(fb) ? a : b;
    if (fa == 0) return a;
    if (fb == 0) return b;
    // The values of f itself at the two ends (fa and fb are scaled down).
    double f_at_a = fa, f_at_b = fb;
    for (int i = 0; i < kMaxIterations; i++) {
        double x = (a * fb - b * fa) / (fb - fa);
        double fx = f(x, pvt);
        if (std::fabs(a - b) < eps) return x;
        if (fa * fx < 0) {
            b = x;
            fb = f_at_b = fx;
            fa = fa / 2;
        } else if (fa * fx > 0) {
            a = x;
            fa = f_at_a = fx;
            fb = fb / 2;
        } else {
            return x;
        }
    }
    // No convergence: the better end of the bracket, as for no sign change.
    return std::fabs(f_at_a) < std::fabs(f_at_b) ? a : b;
}
