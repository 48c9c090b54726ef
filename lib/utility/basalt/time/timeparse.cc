// The time-string parser's entry points and its second stage: completing
// the fields the scanner left unset, checking them, converting them to
// epoch seconds in UTC and, when the text named a zone, reading them as the
// wall-clock time of that zone.
#include <pthread.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "elog.h"
#include "strtools.h"
#include "timefmt.h"
#include "timeparse.h"
#include "timeparse_private.h"
#include "timezone_private.h"

namespace basalt::timeparse {
namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A plain decimal number: an optional '-', digits, and optionally '.' and
// digits, with at least one digit and nothing else. The full parser gives
// such a text the number's own value (a decimal or negative number is an
// epoch value of the scanner; a lone positive integer is an epoch time),
// except for a seven-digit year-day date, a lone integer 0 and the
// scanner's own "no epoch given" value, which go through the full parser. Sets *value and returns true for the others.
bool plain_decimal(const char *s, double *value) {
    const char *p = s;
    bool negative = *p == '-';
    if (negative) p++;
    const char *int_start = p;
    while (is_digit(*p)) p++;
    std::size_t int_digits = static_cast<std::size_t>(p - int_start);
    std::size_t frac_digits = 0;
    bool point = *p == '.';
    if (point) {
        p++;
        const char *frac_start = p;
        while (is_digit(*p)) p++;
        frac_digits = static_cast<std::size_t>(p - frac_start);
    }
    if (*p != '\0' || int_digits + frac_digits == 0) return false;
    if (!point && !negative) {
        if (int_digits == 7 && ((s[0] == '1' && s[1] == '9') || (s[0] == '2' && s[1] == '0')) &&
            s[4] >= '0' && s[4] <= '3')
            return false;
    }
    double v = read_decimal(s, static_cast<std::size_t>(p - s));
    if (!point && !negative && v == 0.0) return false;
    // The scanner's "no epoch given" value is read as nothing given.
    if (v == kEtimeUnset) return false;
    *value = v;
    return true;
}

bool fields_at_reset() {
    return Year == 1970 && Month == -1 && Day == -1 && Hour == 0 && Minute == 0 && Doy == 0 &&
           Second == 0.0 && Etime == kEtimeUnset && X1 == 0.0 && X2 == 0.0;
}

// Day of year of a month and day (months past December count as December).
int doy_of(int year, int month, int day) {
    static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    long long doy = 0;
    for (int m = 1; m < month && m <= 12; m++) doy += lengths[m - 1] + (m == 2 && is_leap(year));
    doy += day;
    return doy > 2147483647LL ? 2147483647 : static_cast<int>(doy);
}

// Epoch of a year, day of year, hour, minute and seconds, read as UTC. The
// day of year, hours and minutes run on past their ranges.
double utc_epoch(int year, int doy, int hour, int minute, double second) {
    double e = static_cast<double>(days_to_year(year) + (static_cast<std::int64_t>(doy) - 1)) * 86400.0;
    e += hour * 3600.0;
    e += minute * 60.0;
    e += second;
    return e;
}

void complete_date() {
    if (X1 != 0.0 && X2 != 0.0) {
        double larger = X1 > X2 ? X1 : X2;
        double smaller = X1 > X2 ? X2 : X1;
        Year = trunc_to_int(larger);
        Day = trunc_to_int(smaller);
        if (Day > 31) report("str2epoch: number %d not understood", Day);
    } else if (X1 != 0.0) {
        double x = X1;
        if (x < 32) {
            Day = trunc_to_int(x);
        } else if (x > 1900000 && x < 2200001) {
            Year = trunc_to_int(x / 1000);
            Doy = trunc_to_int(x - 1000.0 * Year);
        } else if (x < 2200) {
            Year = trunc_to_int(x);
        } else {
            report("str2epoch: number %f not understood", x);
        }
    }

    if (Year >= 69 && Year <= 99)
        Year += 1900;
    else if (Year <= 68)
        Year += 2000;
    if (Month <= 0) Month = 1;
    if (Day <= 0) Day = 1;

    if (Am == 1 && Hour == 12)
        Hour = 0;
    else if (Am == 0 && Hour >= 0 && Hour <= 11)
        Hour += 12;

    bool no_date = Doy == 0 && Month == 1 && Day == 1 && Year == 1970;
    if (Day > 31)
        report("str2epoch: day = %d is too large", Day);
    else if (Month > 12)
        report("str2epoch: Month = %d is too large", Month);
    else if (Minute > 60)
        report("str2epoch: Minute = %d is too large", Minute);
    else if (Second > 60.0)
        report("str2epoch: Second = %.5f is too large", Second);
    else if (Hour > (no_date ? 168 : 24))
        report("str2epoch: Hour = %d is too large", Hour);

    if (Doy == 0)
        Doy = doy_of(Year, Month, Day);
    else if (Doy > 366)
        report("str2epoch: Doy = %d is too large", Doy);

    Etime = utc_epoch(Year, Doy, Hour, Minute, Second);
}

// Reads the UTC fields of Etime as the wall-clock time of the zone now in
// force (under the zone lock).
void to_zone() {
    constexpr double kLimit = 1e15;  // far beyond any calendar the C library keeps
    time_t t = -1;
    if (std::isfinite(Etime) && Etime > -kLimit && Etime < kLimit) {
        double days = std::floor(Etime / 86400);
        double of_day = Etime - days * 86400;
        std::int64_t year;
        int doy;
        year_doy_of_day(static_cast<std::int64_t>(days), &year, &doy);
        int whole = static_cast<int>(std::floor(of_day));
        int month = 1;
        int mday = doy;
        static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        while (month < 12 && mday > lengths[month - 1] + (month == 2 && is_leap(year))) {
            mday -= lengths[month - 1] + (month == 2 && is_leap(year));
            month++;
        }
        struct tm tm {};
        tm.tm_year = static_cast<int>(year - 1900);
        tm.tm_mon = month - 1;
        tm.tm_mday = mday;
        tm.tm_hour = whole / 3600;
        tm.tm_min = whole / 60 % 60;
        tm.tm_sec = whole % 60;
        tm.tm_isdst = -1;
        t = mktime(&tm);
    }
    if (t == static_cast<time_t>(-1)) {
        report("str2epoch: Can't convert to local timezone before 1970\n");
        return;
    }
    double difference = static_cast<double>(t) - Etime;
    if (difference < -86400 || difference > 86400) {
        if (Retcode == 0) {
            char *text = strtdelta(difference);
            report("str2epoch: invalid timezone difference = %s", text);
            std::free(text);
        } else {
            Retcode++;
        }
        return;
    }
    Etime = static_cast<double>(t) + (Etime - std::floor(Etime));
}

void apply_zone() {
    // UTC fields read as UTC are the time itself: nothing to switch.
    if (tz_detail::is_utc(Timezone)) return;
    tz_detail::lock_zone();
    // An empty name (from "LOCAL") is the process's own zone: no switch.
    bool switched = Timezone[0] != '\0';
    if (switched && !tz_detail::switch_zone(Timezone))
        report("str2epoch: no timezone '%s'\n", Timezone);
    else
        to_zone();
    if (switched) tz_detail::restore_zone();
    tz_detail::unlock_zone();
}

int parse(char *s, double *e) {
    int month_first = is_month_first();
    pthread_mutex_lock(&EP_lock);
    char empty[] = "";
    if (s == nullptr) s = empty;
    reset_state(s);
    Month_first_order = month_first;
    if (whitespace(s)) Retcode++;
    EP_restart();
    EP_lex();

    if (fields_at_reset()) Retcode++;
    if (Etime == kEtimeUnset && X1 != 0.0 && X2 == 0.0 && Month < 0 && Hour == 0 && Minute == 0 &&
        Second == 0.0 && Doy == 0)
        Etime = X1;
    if (Etime == kEtimeUnset) complete_date();
    if (UsingTimezone) apply_zone();

    double value = Etime;
    int result = -Retcode;
    pthread_mutex_unlock(&EP_lock);
    if (e != nullptr) *e = value;
    return result;
}

}  // namespace
}  // namespace basalt::timeparse

using basalt::timeparse::parse;
using basalt::timeparse::plain_decimal;

extern "C" int zstr2epoch(char *s, double *e) {
    double value;
    if (s != nullptr && plain_decimal(s, &value)) {
        if (e != nullptr) *e = value;
        return 0;
    }
    return parse(s, e);
}

extern "C" double str2epoch(char *s) {
    double value;
    if (s != nullptr && plain_decimal(s, &value)) return value;
    int mark = elog_mark();
    parse(s, &value);
    elog_flush(1, mark);
    return value;
}

extern "C" int is_epoch_string(char *s, double *e) {
    double value;
    if (s != nullptr && plain_decimal(s, &value)) {
        if (e != nullptr) *e = value;
        return 1;
    }
    int mark = elog_mark();
    int result = parse(s, &value);
    elog_flush(0, mark);
    if (e != nullptr) *e = value;
    return result == 0 ? 1 : 0;
}
