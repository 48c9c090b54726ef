// Minima, roots, spline values and straight-line fits on a table of
// functions, checked against GSL. The evaluation counts of both are printed.
#include "numerics.h"

#include <gtest/gtest.h>

#ifdef HAVE_GSL
#include <gsl/gsl_errno.h>
#include <gsl/gsl_fit.h>
#include <gsl/gsl_min.h>
#include <gsl/gsl_roots.h>
#include <gsl/gsl_spline.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct Function {
    const char *name;
    double (*f)(double);
    double a, b;
};

struct Counter {
    double (*f)(double);
    int calls = 0;
};

double ours(double x, void *pvt) {
    auto *c = static_cast<Counter *>(pvt);
    c->calls++;
    return c->f(x);
}

double theirs(double x, void *params) { return ours(x, params); }

// The best of a coarse grid: GSL's minimiser wants a starting point below
// both ends.
double grid_guess(const Function &fn) {
    double best = fn.a + (fn.b - fn.a) / 2;
    for (int i = 1; i < 200; i++) {
        double x = fn.a + (fn.b - fn.a) * i / 200;
        if (fn.f(x) < fn.f(best)) best = x;
    }
    return best;
}

TEST(NumericsOracle, MinimaAgreeWithGsl) {
    const Function functions[] = {
        {"(x-2)^2+1", [](double x) { return (x - 2) * (x - 2) + 1; }, 0, 5},
        {"cos x", [](double x) { return std::cos(x); }, 2, 4},
        {"x^4-3x^3+2", [](double x) { return x * x * x * x - 3 * x * x * x + 2; }, 1, 4},
        {"e^x-2x", [](double x) { return std::exp(x) - 2 * x; }, 0, 2},
        {"-x e^-x", [](double x) { return -x * std::exp(-x); }, 0, 5},
        {"x ln x", [](double x) { return x * std::log(x); }, 0.1, 2},
        {"cosh(x-0.3)", [](double x) { return std::cosh(x - 0.3); }, -7, 4},
    };
    std::printf("%-14s %-22s %-22s %5s %5s\n", "minimum of", "findmin", "GSL brent", "calls",
                "GSL");
    for (const Function &fn : functions) {
        Counter mine{fn.f};
        double x = findmin(fn.a, fn.b, ours, 1e-9, &mine);

        Counter gsl{fn.f};
        gsl_function g{theirs, &gsl};
        gsl_min_fminimizer *s = gsl_min_fminimizer_alloc(gsl_min_fminimizer_brent);
        ASSERT_EQ(gsl_min_fminimizer_set(s, &g, grid_guess(fn), fn.a, fn.b), GSL_SUCCESS);
        int status = GSL_CONTINUE;
        for (int i = 0; i < 200 && status == GSL_CONTINUE; i++) {
            gsl_min_fminimizer_iterate(s);
            status = gsl_min_test_interval(gsl_min_fminimizer_x_lower(s),
                                           gsl_min_fminimizer_x_upper(s), 1e-7, 0);
        }
        double y = gsl_min_fminimizer_x_minimum(s);
        gsl_min_fminimizer_free(s);
        std::printf("%-14s %-22.15g %-22.15g %5d %5d\n", fn.name, x, y, mine.calls, gsl.calls);
        // Near a minimum f is flat: abscissae agree to about the root of the
        // precision, values to the precision.
        EXPECT_NEAR(x, y, 1e-6) << fn.name;
        EXPECT_NEAR(fn.f(x), fn.f(y), 1e-12 * (1 + std::fabs(fn.f(y)))) << fn.name;
    }
}

TEST(NumericsOracle, RootsAgreeWithGsl) {
    const Function functions[] = {
        {"x^2-2", [](double x) { return x * x - 2; }, 0, 2},
        {"cos x - x", [](double x) { return std::cos(x) - x; }, 0, 1},
        {"e^x-3", [](double x) { return std::exp(x) - 3; }, 0, 2},
        {"x^3-2x-5", [](double x) { return x * x * x - 2 * x - 5; }, 2, 3},
        {"ln x", [](double x) { return std::log(x); }, 0.5, 3},
        {"atan(x-1)", [](double x) { return std::atan(x - 1); }, -4, 9},
        {"x^5-0.1", [](double x) { return x * x * x * x * x - 0.1; }, 0, 2},
    };
    std::printf("%-12s %-22s %-22s %5s %5s\n", "root of", "findzero", "GSL brent", "calls", "GSL");
    for (const Function &fn : functions) {
        Counter mine{fn.f};
        double x = findzero(fn.a, fn.b, ours, 1e-13, &mine);

        Counter gsl{fn.f};
        gsl_function g{theirs, &gsl};
        gsl_root_fsolver *s = gsl_root_fsolver_alloc(gsl_root_fsolver_brent);
        ASSERT_EQ(gsl_root_fsolver_set(s, &g, fn.a, fn.b), GSL_SUCCESS);
        int status = GSL_CONTINUE;
        for (int i = 0; i < 200 && status == GSL_CONTINUE; i++) {
            gsl_root_fsolver_iterate(s);
            status = gsl_root_test_interval(gsl_root_fsolver_x_lower(s),
                                            gsl_root_fsolver_x_upper(s), 0, 1e-13);
        }
        double y = gsl_root_fsolver_root(s);
        gsl_root_fsolver_free(s);
        std::printf("%-12s %-22.15g %-22.15g %5d %5d\n", fn.name, x, y, mine.calls, gsl.calls);
        EXPECT_NEAR(x, y, 1e-11 * (1 + std::fabs(y))) << fn.name;
    }
}

TEST(NumericsOracle, NaturalSplinesAgreeWithGsl) {
    struct Data {
        const char *name;
        double (*f)(double);
        std::vector<double> knots;
    } data[] = {
        {"sin", [](double x) { return std::sin(x); }, {0, 0.5, 1.1, 2, 2.2, 3, 4.5, 5, 6.3}},
        {"exp", [](double x) { return std::exp(x); }, {-1, -0.2, 0, 0.4, 1, 1.5, 2}},
        {"x^3", [](double x) { return x * x * x; }, {-2, -1.5, 0, 0.1, 1, 3}},
        {"1/(1+x^2)", [](double x) { return 1 / (1 + x * x); }, {-5, -3, -1, 0, 1, 3, 5}},
    };
    double worst = 0;
    int points = 0;
    for (const Data &d : data) {
        int n = static_cast<int>(d.knots.size());
        std::vector<float> x(n + 1), y(n + 1), y2(n + 1);
        std::vector<double> xd(n), yd(n);
        for (int i = 0; i < n; i++) {
            x[i + 1] = static_cast<float>(d.knots[i]);
            y[i + 1] = static_cast<float>(d.f(d.knots[i]));
            // GSL gets the same (single-precision) knots.
            xd[i] = x[i + 1];
            yd[i] = y[i + 1];
        }
        spfit(x.data(), y.data(), n, 1e30, 1e30, y2.data());
        gsl_interp_accel *acc = gsl_interp_accel_alloc();
        gsl_spline *spline = gsl_spline_alloc(gsl_interp_cspline, n);
        gsl_spline_init(spline, xd.data(), yd.data(), n);
        double range = 0;
        for (double v : yd) range = std::fmax(range, std::fabs(v));
        for (int i = 0; i <= 100; i++) {
            double at = xd[0] + (xd[n - 1] - xd[0]) * i / 100;
            float mine = 0;
            spinterp(x.data(), y.data(), y2.data(), n, at, &mine);
            double theirs = gsl_spline_eval(spline, at, acc);
            double error = std::fabs(mine - theirs) / range;
            worst = std::fmax(worst, error);
            points++;
            EXPECT_LT(error, 2e-6) << d.name << " at " << at;
        }
        gsl_spline_free(spline);
        gsl_interp_accel_free(acc);
    }
    std::printf("splines: %d points, largest difference %.3g of the data range "
                "(single-precision arrays)\n", points, worst);
}

TEST(NumericsOracle, StraightLinesAgreeWithGsl) {
    for (int set = 0; set < 4; set++) {
        int n = 10 + 17 * set;
        std::vector<double> x(n), y(n);
        for (int i = 0; i < n; i++) {
            x[i] = 0.37 * i - 2 + set;
            y[i] = (set - 1.5) * x[i] + 4 + std::sin(3.1 * i + set);  // scattered about a line
        }
        double slope, intercept, maxdev, chisqr;
        lfit(x.data(), y.data(), n, &slope, &intercept);
        lchi(x.data(), y.data(), n, slope, intercept, &maxdev, &chisqr);
        double c0, c1, cov00, cov01, cov11, sumsq;
        gsl_fit_linear(x.data(), 1, y.data(), 1, n, &c0, &c1, &cov00, &cov01, &cov11, &sumsq);
        std::printf("line %d: %d points, slope %.15g (GSL %.15g), intercept %.15g (GSL %.15g)\n",
                    set, n, slope, c1, intercept, c0);
        EXPECT_NEAR(slope, c1, 1e-12 * (1 + std::fabs(c1)));
        EXPECT_NEAR(intercept, c0, 1e-12 * (1 + std::fabs(c0)));
        EXPECT_NEAR(chisqr, std::sqrt(sumsq / (n - 1)), 1e-12);
        double largest = 0;
        for (int i = 0; i < n; i++) largest = std::fmax(largest, std::fabs(y[i] - (c1 * x[i] + c0)));
        EXPECT_NEAR(maxdev, largest, 1e-12);
    }
}

}  // namespace

#else

TEST(NumericsOracle, NeedsGsl) { GTEST_SKIP() << "GSL is not available to this build"; }

#endif
