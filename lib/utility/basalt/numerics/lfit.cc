// The least-squares straight line through points, and the residuals of a
// line.
#include <cmath>

#include "numerics.h"

extern "C" int lfit(double *x, double *y, int npts, double *slope, double *intercept) {
    double sx = 0, sy = 0;
    for (int i = 0; i < npts; i++) {
        sx += x[i];
        sy += y[i];
    }
    double xavg = sx / npts;
    double stt = 0, sty = 0;
    for (int i = 0; i < npts; i++) {
        double t = x[i] - xavg;
        stt += t * t;
        sty += t * y[i];
    }
    *slope = sty / stt;
    *intercept = (sy - sx * (*slope)) / npts;
    return 0;
}

extern "C" void lchi(double *x, double *y, int npts, double slope, double intercept,
                     double *ymaxdev, double *chisqr) {
    double sum = 0, maxdev = 0;
    for (int i = 0; i < npts; i++) {
        double ydev = y[i] - (slope * x[i] + intercept);
        sum += ydev * ydev;
        if (std::fabs(ydev) > maxdev) maxdev = std::fabs(ydev);
    }
    *ymaxdev = maxdev;
    *chisqr = std::sqrt(sum / (npts - 1));
}
