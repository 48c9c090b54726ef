// Calendar conversions in UTC on the proleptic Gregorian calendar.
#include "calendar.h"

#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kitbag_process.h"
#include "timeparse.h"

namespace {

const int days_in_month[13] = {31, 28, 31, 30, 31, 30, 31,
                               31, 30, 31, 30, 31, 31};

const char *const month_name[12] = {"Jan", "Feb", "Mar", "Apr",
                                    "May", "Jun", "Jul", "Aug",
                                    "Sep", "Oct", "Nov", "Dec"};

// A double cut toward zero to an int, clamped to the int range; NaN gives 0.
// Every double-to-int conversion here goes through this.
int to_int(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return INT32_MAX;
    if (x <= -2147483648.0) return INT32_MIN;
    return static_cast<int>(x);
}

// Leap days between 1970-01-01 and January 1 of year y.
double leap_days(double y) {
    return std::floor((y - 1969.0) / 4.0) - std::floor((y - 1901.0) / 100.0) +
           std::floor((y - 1601.0) / 400.0);
}

// Days from 1970-01-01 to January 1 of year y.
double year2days(double y) { return (y - 1970.0) * 365.0 + leap_days(y); }

// dtoepoch on a 64-bit date, so that combined dates never wrap where long
// has 32 bits.
double date_to_epoch(int64_t date) {
    int64_t year = date / 1000;
    int64_t day = date % 1000;
    double days = static_cast<double>(365 * year + day - 719051);
    days += std::floor(static_cast<double>(year - 1969) / 4.0) -
            std::floor(static_cast<double>(year - 1901) / 100.0) +
            std::floor(static_cast<double>(year - 1601) / 400.0);
    return days * 86400.0;
}

int month_length(int month_index, bool leap) {
    return days_in_month[month_index] + ((month_index == 1 && leap) ? 1 : 0);
}

int current_utc_year_and_yday(int *yday) {
    time_t now = time(nullptr);
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    gmtime_r(&now, &tm);
    if (yday) *yday = tm.tm_yday;
    return tm.tm_year + 1900;
}

// A run of decimal digits as an int, saturating at INT_MAX.
int digits_to_int(const char *begin, const char *end) {
    int64_t v = 0;
    for (const char *p = begin; p < end; ++p) {
        v = v * 10 + (*p - '0');
        if (v > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int>(v);
}

const char *skip_digits(const char *p) {
    while (*p >= '0' && *p <= '9') ++p;
    return p;
}

}  // namespace

extern "C" {

int isleap(int year) {
    return ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0) ? 1 : 0;
}

double dtoepoch(long date) { return date_to_epoch(date); }

int etoh(date_time *dt) {
    double epoch = dt->epoch;
    double rdays = std::floor(epoch / 86400.0);
    double remainder = epoch - rdays * 86400.0;
    // A negative epoch within 2^-37 s of zero leaves exactly 86400: that is
    // the start of the next day.
    if (remainder >= 86400.0) {
        rdays += 1.0;
        remainder -= 86400.0;
    }

    dt->hour = to_int(std::floor(remainder / 3600.0));
    remainder -= dt->hour * 3600.0;
    dt->minute = to_int(std::floor(remainder / 60.0));
    remainder -= dt->minute * 60.0;
    dt->second = remainder;

    double year = std::floor(rdays / 365.0) + 1970.0;
    double doy = rdays - year2days(year);
    if (doy < -366.0) doy = 0.0;
    if (doy < 0.0) {
        year -= 1.0;
        doy += isleap(to_int(year)) ? 366.0 : 365.0;
    } else if (doy >= 730.0) {
        doy = 0.0;
    } else if (isleap(to_int(year))) {
        if (doy > 365.0) {
            year += 1.0;
            doy -= 366.0;
        }
    } else if (doy > 364.0) {
        year += 1.0;
        doy -= 365.0;
    }
    dt->doy = to_int(doy + 1.0);

    if (year >= 214748.3647)
        dt->year = 214748;
    else if (year <= -214748.3648)
        dt->year = -214748;
    else
        dt->year = to_int(year);

    dt->date = static_cast<int32_t>(dt->year * 1000 + dt->doy);
    month_day(dt);
    return 0;
}

int htoe(date_time *dt) {
    dt->epoch = ((dtoepoch(dt->date) + dt->hour * 3600.0) + dt->minute * 60.0) +
                dt->second;
    return 0;
}

int mdtodate(date_time *dt) {
    bool leap = isleap(dt->year) != 0;
    // Months beyond the fourteenth would read past the table: they count
    // the whole table.
    int months = dt->month - 1;
    if (months > 13) months = 13;
    int64_t doy = 0;
    for (int i = 0; i < months; ++i) doy += month_length(i, leap);
    doy += dt->day;
    dt->doy = static_cast<int>(doy);
    dt->date = static_cast<int32_t>(static_cast<int64_t>(dt->year) * 1000 + doy);
    return 0;
}

int month_day(date_time *dt) {
    bool leap = isleap(dt->year) != 0;
    int day = dt->doy;
    int subtracted = 0;
    while (subtracted < 12 && day > month_length(subtracted, leap)) {
        day -= month_length(subtracted, leap);
        ++subtracted;
    }
    int month = subtracted + 1;
    if (month > 12) month = 12;
    dt->month = month;
    dt->day = day;
    std::memcpy(dt->mname, month_name[month - 1], 4);
    return 0;
}

long todaysdate(void) {
    int yday = 0;
    int year = current_utc_year_and_yday(&yday);
    return static_cast<long>(year) * 1000 + yday + 1;
}

int zh_today(date_time *dt) {
    dt->epoch = dtoepoch(todaysdate());
    return etoh(dt);
}

int timeprint(date_time *dt) {
    std::printf("%15.3f %8d %s %2d,%4d %2d:%02d:%02.3f\n", dt->epoch,
                static_cast<int>(dt->date), dt->mname, dt->day, dt->year,
                dt->hour, dt->minute, dt->second);
    return 0;
}

int time_string2epoch(char *string, double *time) {
    *time = str2epoch(string);
    return 1;
}

double timecon(const char *timstr) {
    // Read straight from the caller's text: no length limit applies.
    const char *p = timstr;
    const char *end = skip_digits(p);
    double seconds = digits_to_int(p, end) * 3600.0;
    if (*end == '\0') return seconds;

    p = end + 1;  // the separator, whatever it is
    end = skip_digits(p);
    seconds += digits_to_int(p, end) * 60.0;
    if (*end == '\0') return seconds;

    p = end + 1;
    end = p;
    while ((*end >= '0' && *end <= '9') || *end == '.') ++end;
    std::string field(p, end);
    seconds += std::atof(field.c_str());
    return seconds;
}

double h2e(int iyear, int iday, int ihour, int imin, double sec) {
    double epoch = date_to_epoch(static_cast<int64_t>(iyear) * 1000 + iday);
    epoch += ihour * 3600.0;
    epoch += imin * 60.0;
    epoch += sec;
    return epoch;
}

void e2h(double epoch, int *iyear, int *iday, int *ihour, int *imin,
         double *sec) {
    date_time dt;
    std::memset(&dt, 0, sizeof dt);
    dt.epoch = epoch;
    etoh(&dt);
    *iyear = dt.year;
    *iday = dt.doy;
    *ihour = dt.hour;
    *imin = dt.minute;
    *sec = dt.second;
}

void doy2mday(int doy, int year, int *month, int *day) {
    date_time dt;
    std::memset(&dt, 0, sizeof dt);
    dt.year = year;
    dt.doy = doy;
    month_day(&dt);
    *month = dt.month;
    *day = dt.day;
}

int mday2doy(int year, int month, int day) {
    date_time dt;
    std::memset(&dt, 0, sizeof dt);
    dt.year = year;
    dt.month = month;
    dt.day = day;
    mdtodate(&dt);
    return dt.doy;
}

void epoch2bcd(unsigned char *bcd, double epoch) {
    int year, doy, hour, minute;
    double sec;
    e2h(epoch, &year, &doy, &hour, &minute, &sec);
    int whole = to_int(sec);
    int hundredths = to_int((sec - whole) * 100.0);
    char digits[96];
    std::memset(digits, '0', sizeof digits);
    std::snprintf(digits, sizeof digits, "%03d%02d%02d%02d%03d", doy, hour,
                  minute, whole, hundredths);
    for (int i = 0; i < 6; ++i) {
        int hi = (digits[2 * i] - '0') & 0x0f;
        int lo = (digits[2 * i + 1] - '0') & 0x0f;
        bcd[i] = static_cast<unsigned char>((hi << 4) | lo);
    }
}

void bcdtime(const unsigned char *bcd, date_time *tstr) {
    tstr->year = current_utc_year_and_yday(nullptr);
    char hex[13];
    for (int i = 0; i < 6; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned>(bcd[i]));
    // Fields that a hexadecimal letter keeps from being read stay 0.
    int doy = 0, hour = 0, minute = 0, whole = 0, fraction = 0;
    std::sscanf(hex, "%3d%2d%2d%2d%3d", &doy, &hour, &minute, &whole,
                &fraction);
    tstr->doy = doy;
    tstr->hour = hour;
    tstr->minute = minute;
    tstr->second = whole + fraction / 100.0;
    tstr->date = static_cast<int32_t>(static_cast<int64_t>(tstr->year) * 1000 + doy);
    tstr->epoch = ((dtoepoch(tstr->date) + tstr->hour * 3600.0) +
                   tstr->minute * 60.0) +
                  tstr->second;
}

void wait_for_time(double time, int verbose) {
    double delta = time - std_now();
    if (!(delta > 0.0)) return;  // past, or not a number
    int whole = to_int(delta);
    double ns = (delta - whole) * 1000000000.0 + 0.5;
    long nanos = ns >= 1000000000.0 ? 1000000000L : static_cast<long>(ns);
    if (nanos >= 1000000000L) {
        // A fraction that rounds up to a whole second: nanosleep would refuse it.
        if (whole < INT32_MAX) ++whole;
        nanos = 0;
    }
    if (verbose) std::fprintf(stderr, "waiting %.3f seconds\n", delta);
    if (whole > 0) sleep(static_cast<unsigned>(whole));
    if (nanos > 0) {
        struct timespec ts;
        ts.tv_sec = 0;
        ts.tv_nsec = nanos;
        nanosleep(&ts, nullptr);
    }
}

}  // extern "C"
