// Numeric routines: the end tests, evaluation counts and edge cases.
#include "numerics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "elog_capture.h"

namespace {

using ::testing::HasSubstr;

// A function with a counter of its calls, passed through pvt.
struct Counted {
    double (*f)(double);
    int calls = 0;
};

double counted(double x, void *pvt) {
    auto *c = static_cast<Counted *>(pvt);
    c->calls++;
    return c->f(x);
}

double parabola(double x) { return (x - 2) * (x - 2) + 1; }
double negated_parabola(double x) { return -parabola(x); }
double cubic(double x) { return x * x * x - 2 * x - 5; }

TEST(Findmin, EndsInEitherOrderAndTolerances) {
    Counted a{parabola}, b{parabola};
    double forward = findmin(0, 5, counted, 1e-8, &a);
    double backward = findmin(5, 0, counted, 1e-8, &b);
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(a.calls, b.calls);
    EXPECT_NEAR(forward, 2, 1e-6);

    Counted zero{parabola}, tiny{parabola}, negative{parabola}, positive{parabola};
    double at_zero = findmin(0, 5, counted, 0, &zero);
    EXPECT_EQ(at_zero, findmin(0, 5, counted, 1e-16, &tiny));
    EXPECT_EQ(zero.calls, tiny.calls);
    EXPECT_EQ(findmin(0, 5, counted, -1e-3, &negative), findmin(0, 5, counted, 1e-3, &positive));
    EXPECT_EQ(negative.calls, positive.calls);
}

TEST(Findmin, EmptyIntervalCallsOnce) {
    Counted c{parabola};
    EXPECT_EQ(findmin(3, 3, counted, 1e-8, &c), 3);
    EXPECT_EQ(c.calls, 1);
}

TEST(Findmax, IsFindminOfTheNegation) {
    Counted max{negated_parabola}, min{parabola};
    EXPECT_EQ(findmax(-1, 4, counted, 1e-9, &max), findmin(-1, 4, counted, 1e-9, &min));
    EXPECT_EQ(max.calls, min.calls);
}

TEST(Findzero, NoSignChangeGivesTheBetterEndAfterTwoCalls) {
    struct Case {
        double (*f)(double);
        double a, b, expected;
    } cases[] = {
        {[](double x) { return x * x + 1; }, -3, 1, 1},
        {[](double x) { return x * x + 1; }, 1, -3, 1},
        {[](double x) { return x * x + 1; }, -2, 2, 2},  // a tie gives b
        {[](double x) { return -x * x - 1; }, 0.5, 4, 0.5},
    };
    for (const Case &c : cases) {
        Counted f{c.f};
        EXPECT_EQ(findzero(c.a, c.b, counted, 1e-10, &f), c.expected);
        EXPECT_EQ(f.calls, 2);
    }
}

TEST(Findzero, RootAtAnEnd) {
    Counted both{[](double x) { return x * (x - 1); }};
    EXPECT_EQ(findzero(0, 1, counted, 1e-10, &both), 0);
    Counted right{[](double x) { return x - 1; }};
    EXPECT_EQ(findzero(-4, 1, counted, 1e-10, &right), 1);
    EXPECT_EQ(right.calls, 2);
}

TEST(Findzero, ConvergesAndReturnsTheNewestPoint) {
    Counted c{cubic};
    double x = findzero(2, 3, counted, 1e-12, &c);
    EXPECT_NEAR(x, 2.0945514815423265, 1e-10);
    EXPECT_LT(c.calls, 40);
}

TEST(Findzero, JumpWithoutARootEnds) {
    // A sign change but no root, and a width test it cannot meet.
    Counted jump{[](double x) { return x < 0.3 ? -1.0 : 1.0; }};
    double x = findzero(0, 1, counted, 0, &jump);
    EXPECT_NEAR(x, 0.3, 1e-9);
    EXPECT_LE(jump.calls, 10002);
}

// Spline arrays indexed from 1: element 0 and the element after n hold NaN
// and must stay untouched.
struct Knots {
    std::vector<float> x, y, y2;
    explicit Knots(const std::vector<float> &xs, double (*f)(double)) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        x = {nan};
        y = {nan};
        for (float v : xs) {
            x.push_back(v);
            y.push_back(static_cast<float>(f(v)));
        }
        x.push_back(nan);
        y.push_back(nan);
        y2.assign(x.size(), nan);
    }
    int n() const { return static_cast<int>(x.size()) - 2; }
    float at(double where) {
        float v = -1;
        spinterp(x.data(), y.data(), y2.data(), n(), where, &v);
        return v;
    }
};

double line(double x) { return 3 * x - 1; }

TEST(Spline, NaturalEndsOnALineReproduceIt) {
    Knots k({0, 1, 2.5, 3, 5}, line);
    spfit(k.x.data(), k.y.data(), k.n(), 1e30, 1e30, k.y2.data());
    EXPECT_EQ(k.y2[1], 0);
    EXPECT_EQ(k.y2[k.n()], 0);
    for (int i = 1; i <= k.n(); i++) EXPECT_NEAR(k.y2[i], 0, 1e-5);
    EXPECT_TRUE(std::isnan(k.y2[0]));
    EXPECT_TRUE(std::isnan(k.y2[k.n() + 1]));
    for (double x : {-2.0, 0.0, 0.7, 2.5, 4.2, 7.0}) EXPECT_NEAR(k.at(x), line(x), 1e-4) << x;
}

TEST(Spline, InteriorKnotGivesItsValue) {
    Knots k({0, 1, 2, 4, 5}, [](double x) { return std::sin(x); });
    spfit(k.x.data(), k.y.data(), k.n(), 1e30, 1e30, k.y2.data());
    for (int i = 2; i < k.n(); i++) EXPECT_NEAR(k.at(k.x[i]), k.y[i], 1e-6);
}

TEST(Spline, ClampedEndsTakeTheirDerivatives) {
    // A cubic with its true end derivatives is reproduced exactly.
    auto f = [](double x) { return x * x * x - x; };
    Knots k({-1, 0, 0.5, 1, 2}, f);
    spfit(k.x.data(), k.y.data(), k.n(), 2, 11, k.y2.data());
    for (double x : {-0.5, 0.25, 0.75, 1.5}) EXPECT_NEAR(k.at(x), f(x), 1e-4) << x;
    // 9.9e29 is a derivative, not a natural end.
    spfit(k.x.data(), k.y.data(), k.n(), 0.99e30, 1e30, k.y2.data());
    EXPECT_NE(k.y2[1], 0);
    EXPECT_EQ(k.y2[k.n()], 0);
}

TEST(Spline, KnotsAtOneAbscissaAreReported) {
    testsupport::elog_reset_register();
    // Element 0 is not used; the two knots share the abscissa 1.
    std::vector<float> x = {-9, 1, 1}, y = {-9, 1, 2}, y2 = {-9, 0, 0};
    for (int n : {2, 1, 0}) {
        float v = 7;
        spinterp(x.data(), y.data(), y2.data(), n, 1.0, &v);
        EXPECT_TRUE(std::isnan(v)) << n;
        EXPECT_THAT(testsupport::elog_register_text(), HasSubstr("Bad input to routine spinterp"));
        testsupport::elog_reset_register();
    }
    testsupport::elog_reset_register();
}

TEST(Lfit, LineAndResiduals) {
    std::vector<double> x = {0, 1, 2, 3, 4}, y;
    for (double v : x) y.push_back(2.5 * v - 4);
    double slope = 1e9, intercept = -7;
    EXPECT_EQ(lfit(x.data(), y.data(), 5, &slope, &intercept), 0);
    EXPECT_NEAR(slope, 2.5, 1e-14);
    EXPECT_NEAR(intercept, -4, 1e-14);
    double slope2 = -3;
    lfit(x.data(), y.data(), 5, &slope2, &intercept);
    EXPECT_EQ(slope, slope2);
    double maxdev = -1, chi = -1;
    lchi(x.data(), y.data(), 5, 2.5, -4, &maxdev, &chi);
    EXPECT_EQ(maxdev, 0);
    EXPECT_EQ(chi, 0);
    y[2] += 1;
    y[4] -= 2;
    lchi(x.data(), y.data(), 5, 2.5, -4, &maxdev, &chi);
    EXPECT_EQ(maxdev, 2);
    EXPECT_DOUBLE_EQ(chi, std::sqrt(5.0 / 4));
}

}  // namespace
