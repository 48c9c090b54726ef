// Cubic spline interpolation: the second derivatives at the knots, then the
// value between them. Arrays are indexed from 1 to n.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "alloc.h"
#include "elog.h"
#include "numerics.h"

namespace {

// An end derivative above this makes that end natural.
constexpr double kNaturalEnd = 0.99e30;

}  // namespace

extern "C" void spfit(float *x, float *y, int n, double yp1, double ypn, float *y2) {
    if (n < 2) {
        if (n == 1) y2[1] = 0;
        return;
    }
    // u[1 .. n-1]
    auto *u = static_cast<double *>(BASALT_MALLOC(static_cast<std::size_t>(n) * sizeof(double), "u"));
    if (yp1 > kNaturalEnd) {
        y2[1] = 0;
        u[1] = 0;
    } else {
        y2[1] = -0.5f;
        float dx = x[2] - x[1];
        u[1] = (3 / dx) * ((y[2] - y[1]) / dx - yp1);
    }
    for (int i = 2; i <= n - 1; i++) {
        double sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
        double p = sig * y2[i - 1] + 2;
        y2[i] = static_cast<float>((sig - 1) / p);
        u[i] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
        u[i] = (6 * u[i] / (x[i + 1] - x[i - 1]) - sig * u[i - 1]) / p;
    }
    double qn, un;
    if (ypn > kNaturalEnd) {
        qn = un = 0;
    } else {
        qn = 0.5;
        float dx = x[n] - x[n - 1];
        un = (3 / dx) * (ypn - (y[n] - y[n - 1]) / dx);
    }
    y2[n] = static_cast<float>((un - qn * u[n - 1]) / (qn * y2[n - 1] + 1));
    for (int k = n - 1; k >= 1; k--) y2[k] = static_cast<float>(y2[k] * y2[k + 1] + u[k]);
    std::free(u);
}

extern "C" void spinterp(float *xa, float *ya, float *y2a, int n, double x, float *y) {
    if (n < 1) {
        elog_log(0, "Bad input to routine spinterp");
        *y = std::numeric_limits<float>::quiet_NaN();
        return;
    }
    int klo = 1, khi = n;
    while (khi - klo > 1) {
        int k = (khi + klo) / 2;
        if (xa[k] > x)
            khi = k;
        else
            klo = k;
    }
    float h = xa[khi] - xa[klo];
    if (h == 0) {
        // Two knots at one abscissa: there is no value to give.
        elog_log(0, "Bad input to routine spinterp");
        *y = std::numeric_limits<float>::quiet_NaN();
        return;
    }
    double a = (xa[khi] - x) / h;
    double b = (x - xa[klo]) / h;
    double value = a * ya[klo] + b * ya[khi] +
                   ((a * a * a - a) * y2a[klo] + (b * b * b - b) * y2a[khi]) * (static_cast<double>(h) * h) / 6.0;
    *y = static_cast<float>(value);
}
