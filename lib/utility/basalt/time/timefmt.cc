// Time formatting: the %-letter format language, the named formats of the
// installation, special values, and durations in words.
#include <pthread.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "alloc.h"
#include "calendar.h"
#include "elog.h"
#include "pf.h"
#include "timefmt.h"
#include "timezone_private.h"

extern "C" {

const char *Strtime_format = "%m/%d/%Y  %H:%M:%S.%s";
const char *Strydtime_format = "%m/%d/%Y  (%j) %H:%M:%S.%s";
const char *UStrydtime_format = "%m/%d/%Y  (%j) %H:%M:%S.%u";
const char *Strdate_format = "%m/%d/%Y";
const char *ZStrtime_format = "%m/%d/%Y  %H:%M:%S.%s %z";
const char *ZStrydtime_format = "%m/%d/%Y  (%j) %H:%M:%S.%s %z";
const char *UZStrydtime_format = "%m/%d/%Y  (%j) %H:%M:%S.%u %z";
const char *ZStrdate_format = "%m/%d/%Y %z";
const char *MDtime_format = "%Y-%m-%d %T";
const char *ZMDtime_format = "%Y-%m-%d %T %z";
const char *YDtime_format = "%Y-%j %T";
const char *ZYDtime_format = "%Y-%j %T %z";
const char *MD_format = "%Y-%m-%d";
const char *ZMD_format = "%Y-%m-%d %z";
const char *YD_format = "%Y-%j";
const char *ZYD_format = "%Y-%j %z";

int Unset_formats = 1;
int Month_first = 1;

const char *const Month[12] = {"January", "February", "March",     "April",
                               "May",     "June",     "July",      "August",
                               "September", "October", "November", "December"};
const char *const Week[7] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                             "Friday", "Saturday", "Sunday"};

const double millennium = 253244534400.0;

}  // extern "C"

namespace {

namespace tz = basalt::tz_detail;

constexpr std::size_t kCompose = 1024;   // composition buffer, with its NUL
constexpr std::size_t kZoneName = 64;
constexpr std::size_t kDelta = 50;       // duration buffer
constexpr const char *kFormatsFile = "time_formats.pf";

// ---- The named formats ----

pthread_once_t formats_once = PTHREAD_ONCE_INIT;

char *read_format(Pf *pf, const char *location, const char *key) {
    char path[512];
    if (location != nullptr)
        std::snprintf(path, sizeof path, "%s{%s}", location, key);
    else
        std::snprintf(path, sizeof path, "%s", key);
    char *value = pfget_string(pf, path);
    if (value == nullptr) elog_die(0, "Could not read '%s' from %s", path, kFormatsFile);
    return BASALT_STRDUP(value, "format");
}

char *with_zone_label(const char *format) {
    std::size_t n = std::strlen(format);
    char *labelled = static_cast<char *>(BASALT_MALLOC(n + 4, "format"));
    std::memcpy(labelled, format, n);
    std::memcpy(labelled + n, " %z", 4);
    return labelled;
}

void set_time_formats() {
    bool european = std::getenv("EUROPEAN_DATE") != nullptr;
    Pf *pf = nullptr;
    if (pfread(kFormatsFile, &pf) != 0) {
        if (european) {
            Strtime_format = "%d/%m/%Y  %H:%M:%S.%s";
            Strydtime_format = "%d/%m/%Y  (%j) %H:%M:%S.%s";
            UStrydtime_format = "%d/%m/%Y  (%j) %H:%M:%S.%u";
            Strdate_format = "%d/%m/%Y";
            ZStrtime_format = "%d/%m/%Y  %H:%M:%S.%s %z";
            ZStrydtime_format = "%d/%m/%Y  (%j) %H:%M:%S.%s %z";
            UZStrydtime_format = "%d/%m/%Y  (%j) %H:%M:%S.%u %z";
            ZStrdate_format = "%d/%m/%Y %z";
            Month_first = 0;
        } else {
            Month_first = 1;
        }
    } else {
        char *location = nullptr;
        if (european) {
            location = BASALT_STRDUP("european", "location");
        } else {
            char *found = pfget_string(pf, "location");
            if (found != nullptr) location = BASALT_STRDUP(found, "location");
        }
        Strtime_format = read_format(pf, location, "time");
        Strydtime_format = read_format(pf, location, "ydtime");
        UStrydtime_format = read_format(pf, location, "uydtime");
        Strdate_format = read_format(pf, location, "date");
        char key[512];
        if (location != nullptr)
            std::snprintf(key, sizeof key, "%s{month_first}", location);
        else
            std::snprintf(key, sizeof key, "month_first");
        Month_first = pfget_boolean(pf, key) != 0 ? 1 : 0;
        ZStrtime_format = with_zone_label(Strtime_format);
        ZStrydtime_format = with_zone_label(Strydtime_format);
        UZStrydtime_format = with_zone_label(UStrydtime_format);
        ZStrdate_format = with_zone_label(Strdate_format);
        std::free(location);
    }
    if (pf != nullptr) pffree(pf);
    Unset_formats = 0;
}

// Chooses the named formats once per process, whichever thread comes first.
void ensure_formats() { pthread_once(&formats_once, set_time_formats); }

// ---- Special values ----

int outside_range(double e, char *p, std::size_t size) {
    if (std::isnan(e)) {
        std::snprintf(p, size, "** Nan **");
    } else if (std::isinf(e)) {
        std::snprintf(p, size, e > 0 ? "** The End of Time (+infinity) **"
                                     : "** The Beginning of Time (-infinity) **");
    } else if (e < 0 && -e > millennium) {
        std::snprintf(p, size, "** %6g years ago ** ", std::floor(std::floor(e / 86400) / 365));
    } else if (e >= 0 && e > millennium) {
        std::snprintf(p, size, "** %6g years ahead ** ", std::floor(std::floor(e / 86400) / 365));
    } else {
        return 0;
    }
    return 1;
}

char *copy_text(const char *text) { return BASALT_STRDUP(text, "result"); }

// ---- Breaking a time down ----

struct Broken {
    int year = 1970, doy = 1, month = 1, mday = 1, hour = 0, minute = 0;
    double second = 0;
    char zonename[kZoneName] = "UTC";
};

void utc_fields(double epoch, Broken *b) {
    e2h(epoch, &b->year, &b->doy, &b->hour, &b->minute, &b->second);
    doy2mday(b->doy, b->year, &b->month, &b->mday);
    std::snprintf(b->zonename, sizeof b->zonename, "UTC");
}

// Whether the whole-second count s fits time_t.
bool fits_time_t(double s) {
    constexpr double lo = static_cast<double>(std::numeric_limits<time_t>::min());
    return s >= lo && s < -lo;
}

// Breaks epoch down in timezone: null or "UTC" for UTC, "" or "LOCAL" for
// the process's own zone, else a named zone. 0, or -1 for an unrecognised
// zone (logged when `log`), which is then broken down in the process's own
// zone. Seconds beyond the range of the system's conversion are broken
// down in UTC.
int e2hz(double epoch, const char *timezone, Broken *b, bool log) {
    if (tz::is_utc(timezone)) {
        utc_fields(epoch, b);
        return 0;
    }
    double s = std::floor(epoch);
    double fraction = epoch - s;
    if (!fits_time_t(s)) {
        utc_fields(epoch, b);
        return 0;
    }
    time_t whole = static_cast<time_t>(s);
    bool converted = false;
    bool recognised = tz::with_zone(timezone, [&](bool ok) {
        struct tm tm;
        if (localtime_r(&whole, &tm) != nullptr) {
            converted = true;
            b->year = tm.tm_year + 1900;
            b->doy = tm.tm_yday + 1;
            b->month = tm.tm_mon + 1;
            b->mday = tm.tm_mday;
            b->hour = tm.tm_hour;
            b->minute = tm.tm_min;
            b->second = tm.tm_sec + fraction;
            const char *name = tzname[tm.tm_isdst > 0 ? 1 : 0];
            std::snprintf(b->zonename, sizeof b->zonename, "%s", name != nullptr ? name : "");
        }
        return ok;
    });
    if (!converted) utc_fields(epoch, b);
    if (!recognised) {
        if (log) {
            errno = 0;
            elog_log(0, "Unrecognized timezone '%s'\n", timezone);
        }
        return -1;
    }
    return 0;
}

// ---- The format language ----

const char *ordinal(int i) {
    int r = i % 100;
    if (r < 0) r = -r;
    if (r >= 4 && r <= 20) return "th";
    switch (r % 10) {
        case 1: return "st";
        case 2: return "nd";
        case 3: return "rd";
        default: return "th";
    }
}

// The composition buffer: text beyond its 1023 characters is cut.
class Composer {
  public:
    void put(const char *s, std::size_t n) {
        std::size_t room = kCompose - 1 - length_;
        if (n > room) n = room;
        std::memcpy(buf_ + length_, s, n);
        length_ += n;
        buf_[length_] = '\0';
    }
    void put(const char *s) { put(s, std::strlen(s)); }
    void put(char c) { put(&c, 1); }
    __attribute__((format(printf, 2, 3))) void putf(const char *format, ...) {
        char piece[kCompose];
        va_list ap;
        va_start(ap, format);
        int n = std::vsnprintf(piece, sizeof piece, format, ap);
        va_end(ap);
        if (n > 0) put(piece, static_cast<std::size_t>(n) < sizeof piece ? n : sizeof piece - 1);
    }
    const char *text() const { return buf_; }

  private:
    char buf_[kCompose] = "";
    std::size_t length_ = 0;
};

int weekday(const Broken &b) {
    double days = std::floor(dtoepoch(static_cast<long>(b.year) * 1000 + b.doy) / 86400);
    double r = std::fmod(days + 3, 7);
    if (r < 0) r += 7;
    return static_cast<int>(r);
}

char *ztime2str(const char *f, double e, const Broken &b) {
    Composer out;
    int hour12 = b.hour % 12 == 0 ? 12 : b.hour % 12;
    int whole = static_cast<int>(b.second);
    for (const char *p = f; *p != '\0'; ++p) {
        if (*p != '%') {
            out.put(*p);
            continue;
        }
        ++p;
        if (*p == '\0') break;
        switch (*p) {
            case 'a': out.put(Week[weekday(b)], 3); break;
            case 'A': out.put(Week[weekday(b)]); break;
            case 'b': out.put(Month[(b.month + 11) % 12], 3); break;
            case 'B': out.put(Month[(b.month + 11) % 12]); break;
            case 'D':
                if (is_month_first())
                    out.putf("%2d/%02d/%02d", b.month, b.mday, b.year % 100);
                else
                    out.putf("%2d/%02d/%02d", b.mday, b.month, b.year % 100);
                break;
            case 'd': out.putf("%02d", b.mday); break;
            case 'e': out.putf("%2d", b.mday); break;
            case 'E': out.putf("%15.3f", e); break;
            case 'g': out.putf("%04d-%03d", b.year, b.doy); break;
            case 'G': out.putf("%04d-%02d-%02d", b.year, b.month, b.mday); break;
            case 'H': out.putf("%02d", b.hour); break;
            case 'I': out.putf("%02d", hour12); break;
            case 'j': out.putf("%03d", b.doy); break;
            case 'k': out.putf("%2d", b.hour); break;
            case 'l': out.putf("%2d", hour12); break;
            case 'L': out.putf("%2d", b.month); break;
            case 'm': out.putf("%02d", b.month); break;
            case 'M': out.putf("%02d", b.minute); break;
            case 'n': out.put('\n'); break;
            case 'o': out.putf("%d%s", b.mday, ordinal(b.mday)); break;
            case 'O': out.putf("%d%s", b.doy, ordinal(b.doy)); break;
            case 'p': out.put(b.hour < 12 ? "AM" : "PM"); break;
            case 'S': out.putf("%02d", whole); break;
            case 's': {
                int frac = static_cast<int>((b.second - whole) * 1000 + 0.5);
                out.putf("%03d", frac > 999 ? 999 : frac);
                break;
            }
            case 'u': {
                int frac = static_cast<int>((b.second - whole) * 100000 + 0.5);
                out.putf("%05d", frac > 99999 ? 99999 : frac);
                break;
            }
            case 't': out.put('\t'); break;
            case 'T': out.putf("%02d:%02d:%06.3f", b.hour, b.minute, b.second); break;
            case 'y': out.putf("%02d", b.year % 100); break;
            case 'Y': out.putf("%4d", b.year); break;
            case 'Z':
            case 'z': out.put(b.zonename); break;
            default: out.put(*p); break;
        }
    }
    return copy_text(out.text());
}

// Whether "%06.3f" of the seconds would show 60.
bool shows_sixty(double second) {
    if (second < 59) return false;
    char text[32];
    std::snprintf(text, sizeof text, "%06.3f", second);
    return std::strncmp(text, "60", 2) == 0;
}

// epoch formatted by f in timezone. Times outside the calendar's range
// give the special-value texts. A "%T" whose seconds round up to 60
// carries into the minute: the whole text is made for the next second.
char *format_epoch(double epoch, const char *f, const char *timezone) {
    char special[kCompose];
    if (outside_range(epoch, special, sizeof special)) return copy_text(special);
    if (f == nullptr) f = "";
    Broken b;
    e2hz(epoch, timezone, &b, true);
    if (std::strstr(f, "%T") != nullptr && shows_sixty(b.second))
        e2hz(std::floor(epoch) + 1, timezone, &b, false);
    return ztime2str(f, epoch, b);
}

double round_ms(double e) { return std::floor(e * 1000 + 0.5) / 1000; }

// A named format in UTC (zone null) or the process's own zone ("LOCAL").
char *named(double e, const char *const &format, const char *timezone, bool round) {
    ensure_formats();
    char special[kCompose];
    if (outside_range(e, special, sizeof special)) return copy_text(special);
    if (round) e = round_ms(e);
    return format_epoch(e, format, timezone);
}

}  // namespace

extern "C" {

char *strtime(double e) { return named(e, Strtime_format, nullptr, true); }
char *strydtime(double e) { return named(e, Strydtime_format, nullptr, true); }
char *strdate(double e) { return named(e, Strdate_format, nullptr, false); }
char *strlocaltime(double e) { return named(e, ZStrtime_format, "LOCAL", true); }
char *strlocalydtime(double e) { return named(e, ZStrydtime_format, "LOCAL", true); }
char *strlocaldate(double e) { return named(e, ZStrdate_format, "LOCAL", false); }

char *epoch2str(double epoch, const char *f) { return format_epoch(epoch, f, nullptr); }

char *zepoch2str(double epoch, const char *f, const char *timezone) {
    return format_epoch(epoch, f, timezone);
}

int fmttime(double epoch, char *result, int fmt, const char *timezone) {
    ensure_formats();
    if (outside_range(epoch, result, kCompose)) return 0;
    epoch = fmt == 8 ? std::floor(epoch * 100000 + 0.5) / 100000 : round_ms(epoch);
    const char *plain;
    const char *zoned;
    switch (fmt) {
        case 1: plain = MDtime_format; zoned = ZMDtime_format; break;
        case 3: plain = MD_format; zoned = ZMD_format; break;
        case 4: plain = YD_format; zoned = ZYD_format; break;
        case 5: plain = Strtime_format; zoned = ZStrtime_format; break;
        case 6: plain = Strdate_format; zoned = ZStrdate_format; break;
        case 7: plain = Strydtime_format; zoned = ZStrydtime_format; break;
        case 8: plain = UStrydtime_format; zoned = UZStrydtime_format; break;
        default: plain = YDtime_format; zoned = ZYDtime_format; break;
    }
    char *text = tz::is_utc(timezone) ? epoch2str(epoch, plain)
                                      : zepoch2str(epoch, zoned, timezone);
    std::strcpy(result, text);
    std::free(text);
    return 0;
}

char *strtdelta(double e) {
    char buf[kDelta];
    buf[0] = ' ';
    if (e < 0) {
        buf[0] = '-';
        e = -e;
    }
    char *words = buf + 1;
    std::size_t room = sizeof buf - 1;
    if (e >= 31536000) {
        double y = std::floor(e / 31536000);
        e = e - y * 31536000;
        if (e > 31536000) e = 0;
        double d = std::floor(e / 86400);
        if (d == 0) {
            if (y < 1000000)
                std::snprintf(words, room, "%.0f years", y);
            else
                std::snprintf(words, room, "%.6g years", y);
        } else if (y > 1000000) {
            std::snprintf(words, room, "%.6g years %.0f days", y, d);
        } else {
            std::snprintf(words, room, "%.0f years %.0f days", y, d);
        }
    } else if (e >= 86400) {
        double d = std::floor(e / 86400);
        double r = e - d * 86400;
        double h = std::floor(r * 10 / 3600) / 10;
        if (h != 0)
            std::snprintf(words, room, "%.0f days %.1f hours", d, h);
        else
            std::snprintf(words, room, "%.0f days", d);
    } else if (e >= 3600) {
        e = std::floor(e / 60 + 0.5) * 60;
        double h = std::floor(e / 3600);
        double m = std::floor((e - h * 3600) / 60);
        std::snprintf(words, room, "%2.0f:%02.0f hours", h, m);
    } else if (e >= 60) {
        e = std::floor(e + 0.5);
        double m = std::floor(e / 60);
        double s = std::floor(e - m * 60 + 0.5);
        std::snprintf(words, room, "%2.0f:%02.0f minutes", m, s);
    } else if (e >= 1) {
        std::snprintf(words, room, "%6.3f seconds", e);
    } else if (e >= 0.001) {
        std::snprintf(words, room, "%7.3f milliseconds", e * 1000);
    } else if (e >= 0.000001) {
        std::snprintf(words, room, "%7.3f microseconds", e * 1000000);
    } else {
        std::snprintf(words, room, "%.5g microseconds", e * 1000000);
    }
    std::size_t n = std::strlen(buf);
    while (n < 21) buf[n++] = ' ';
    buf[n] = '\0';
    if (buf[0] == '-') {
        std::size_t k = 1;
        while (buf[k] == ' ') ++k;
        if (k > 1) {
            buf[0] = ' ';
            buf[k - 1] = '-';
        }
    }
    return copy_text(buf);
}

double epoch(int yd) { return h2e(yd / 1000, yd % 1000, 0, 0, 0.0); }

int yearday(double e) {
    // Beyond the calendar's range (and for NaN) there is no year-day date.
    if (!(std::fabs(e) <= millennium)) return 0;
    int year, doy, hour, minute;
    double second;
    e2h(e, &year, &doy, &hour, &minute, &second);
    return year * 1000 + doy;
}

int is_month_first(void) {
    ensure_formats();
    return Month_first;
}

}  // extern "C"
