// Nice increments and start times: 1 s and its decimal fractions, 2 to 60 s
// aligned to the minute, 2 to 60 min aligned to the hour, 2 to 24 h aligned
// to the day, and 2, 5, 10, 20, 50 ... days aligned to the day of the year.
#include "nicetime.h"

#include <cmath>
#include <cstring>

#include "calendar.h"

namespace {

// k = trunc(r / inc - 0.0001) + 1 and t = k * inc: the next multiple of inc
// above r, or r itself when r lies at (or a hair past) a multiple k >= 1.
double standard_offset(double r, double inc) {
    double k = std::trunc(r / inc - 0.0001) + 1.0;
    return k * inc;
}

struct Row {
    double bound;  // window at most this many seconds
    int unit;      // 0: aligned to the minute, 1: to the hour, 2: to the day
    bool whole;    // the 60 s and 3600 s rows: 0 when r is exactly 0, else inc
};

const Row rows[] = {
    {2, 0, false},     {5, 0, false},     {10, 0, false},    {15, 0, false},
    {20, 0, false},    {30, 0, false},    {60, 0, true},     {120, 1, false},
    {300, 1, false},   {600, 1, false},   {900, 1, false},   {1200, 1, false},
    {1800, 1, false},  {3600, 1, true},   {7200, 2, false},  {14400, 2, false},
    {21600, 2, false}, {28800, 2, false}, {43200, 2, false}, {86400, 2, false},
};

}  // namespace

extern "C" int get_nice_times(double tstart, double tend, int maxincs,
                              double *nstart, double *ninc) {
    double window = std::fabs(tend - tstart);
    *nstart = 0.0;
    // An infinite or undefined span has no nice increment; the ladders below
    // would never end.
    if (!std::isfinite(window)) return -1;
    if (window == 0.0 || maxincs <= 0) return 0;

    date_time dt;
    std::memset(&dt, 0, sizeof dt);
    dt.epoch = tstart;
    etoh(&dt);
    const double second = dt.second;
    const double minute = dt.minute;
    const double hour = dt.hour;
    const double doy = dt.doy;

    window = window / maxincs;

    double inc = 0.0, r = 0.0, t = 0.0;
    if (window <= 1.0) {
        r = second;
        double exp = 1.0;
        for (;;) {
            if (window > 0.5) {
                inc = exp;
                t = (std::trunc(r / exp - 0.0001) + 1.0) * exp;
                break;
            }
            if (window > 0.2) {
                inc = exp * 0.5;
                t = ((std::trunc((r + r) / exp - 0.0001) + 1.0) * 0.5) * exp;
                break;
            }
            if (window > 0.1) {
                inc = exp * 0.2;
                t = ((std::trunc((r * 5) / exp - 0.0001) + 1.0) * 0.2) * exp;
                break;
            }
            exp = exp * 0.1;
            window = window * 10;
            // Spans so short that the step underflows have no nice increment.
            if (exp == 0.0) return -1;
        }
    } else if (window <= 86400.0) {
        for (const Row &row : rows) {
            if (window > row.bound) continue;
            inc = row.bound;
            if (row.unit == 0)
                r = second;
            else if (row.unit == 1)
                r = minute * 60 + second;
            else
                r = (hour * 60 + minute) * 60 + second;
            if (row.whole)
                t = (r == 0.0) ? 0.0 : inc;
            else
                t = standard_offset(r, inc);
            break;
        }
    } else {
        r = ((doy * 24 + hour) * 60 + minute) * 60 + second;
        double exp = 1.0;
        double w = window / 86400;
        for (;;) {
            if (w <= 2) {
                inc = (exp + exp) * 86400;
                break;
            }
            if (w <= 5) {
                inc = (exp * 5) * 86400;
                break;
            }
            if (w <= 10) {
                inc = (exp * 10) * 86400;
                break;
            }
            exp = exp * 10;
            w = w * 0.1;
        }
        t = standard_offset(r, inc);
    }

    if (!(inc > 0.0) || !std::isfinite(t)) return -1;
    *ninc = inc;
    *nstart = (tstart + t) - r;
    return 0;
}
