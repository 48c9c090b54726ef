/* Numeric routines: the minimum or maximum of a function of one variable on
 * an interval (Brent's method), a root in a bracket (regula falsi with the
 * Illinois step), cubic spline interpolation and the least-squares straight
 * line with its residual statistics.
 *
 * None keeps state; all may run on any number of threads at once. The
 * function given to findmin, findmax and findzero gets the abscissa and the
 * caller's private pointer, which is passed along unchanged.
 *
 * Spline arrays hold floats and are indexed from 1 to n: element 0 is never
 * touched (pass the address of the element before the first). Fit arrays
 * hold doubles indexed from 0 to npts - 1.
 */
#ifndef BASALT_NUMERICS_H
#define BASALT_NUMERICS_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* The abscissa of the minimum (maximum) of f on [a, b] (ends in either
 * order), to the absolute tolerance tol (0 means 1e-16). */
BASALT_API double findmin(double a, double b, double (*f)(double x, void *pvt), double tol,
                          void *pvt);
BASALT_API double findmax(double a, double b, double (*f)(double x, void *pvt), double tol,
                          void *pvt);

/* A root of f between a and b; when f does not change sign there, the end
 * with the smaller |f| (b on a tie). */
BASALT_API double findzero(double a, double b, double (*f)(double x, void *pvt), double tol,
                           void *pvt);

/* Second derivatives y2[1..n] of the cubic spline through (x[i], y[i]),
 * x ascending; an end derivative above 9.9e29 makes that end natural. */
BASALT_API void spfit(float *x, float *y, int n, double yp1, double ypn, float *y2);

/* The spline's value at x, stored through y. */
BASALT_API void spinterp(float *xa, float *ya, float *y2a, int n, double x, float *y);

/* The least-squares line y = slope x + intercept through npts points;
 * returns 0. */
BASALT_API int lfit(double *x, double *y, int npts, double *slope, double *intercept);

/* The largest absolute deviation of the points from a line and the root of
 * the summed squared deviations over npts - 1. */
BASALT_API void lchi(double *x, double *y, int npts, double slope, double intercept,
                     double *ymaxdev, double *chisqr);

BASALT_END_DECLS

#endif
