// The minimum, or maximum, of a function of one variable on an interval by
// Brent's method: golden-section steps combined with parabolic interpolation.
#include <cmath>

#include "numerics.h"

namespace {

constexpr double EPSILON = 1e-16;

// Minimises sign * f.
double brent(double a, double b, double (*f)(double, void *), double tol, void *pvt,
             double sign) {
    const double SQRT_EPSILON = std::sqrt(EPSILON);
    const double r = (3.0 - std::sqrt(5.0)) / 2;
    if (tol < 0) tol = -tol;
    if (tol == 0) tol = EPSILON;
    if (b < a) {
        double swap = a;
        a = b;
        b = swap;
    }
    // x: the best point so far; w: the second best; v: the previous w.
    double v = a + r * (b - a);
    double fv = sign * f(v, pvt);
    double x = v, w = v;
    double fx = fv, fw = fv;
    for (;;) {
        double range = b - a;
        double middle = (a + b) / 2;
        double tol_act = SQRT_EPSILON * std::fabs(x) + tol / 3;
        if (std::fabs(x - middle) + range / 2 <= 2 * tol_act) return x;

        double new_step = x < middle ? r * (b - x) : r * (a - x);
        if (std::fabs(x - w) >= tol_act) {
            double t = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * t;
            q = 2 * (q - t);
            if (q > 0)
                p = -p;
            else
                q = -q;
            if (std::fabs(p) < std::fabs(new_step * q) && p > q * (a - x + 2 * tol_act) &&
                p < q * (b - x - 2 * tol_act))
                new_step = p / q;
        }
        if (std::fabs(new_step) < tol_act) new_step = new_step > 0 ? tol_act : -tol_act;

        double t = x + new_step;
        double ft = sign * f(t, pvt);
        if (ft <= fx) {
            if (t < x)
                b = x;
            else
                a = x;
            v = w;
            w = x;
            x = t;
            fv = fw;
            fw = fx;
            fx = ft;
        } else {
            if (t < x)
                a = t;
            else
                b = t;
            if (ft <= fw || w == x) {
                v = w;
                w = t;
                fv = fw;
                fw = ft;
            } else if (ft <= fv || v == x || v == w) {
                v = t;
                fv = ft;
            }
        }
    }
}

}  // namespace

extern "C" double findmin(double a, double b, double (*f)(double, void *), double tol, void *pvt) {
    return brent(a, b, f, tol, pvt, 1.0);
}

extern "C" double findmax(double a, double b, double (*f)(double, void *), double tol, void *pvt) {
    return brent(a, b, f, tol, pvt, -1.0);
}
