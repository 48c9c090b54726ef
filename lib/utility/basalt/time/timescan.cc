// The time-string parser's scanner: cuts the text into tokens by a fixed
// list of token forms and stores what each says into the parse state.
//
// At each position the longest text matching one of the forms is taken;
// among forms matching the same longest text the one listed first wins.
// The forms, in order:
//
//   1  N/N/N               2  dddd-dd-dd          3  dddd-ddd
//   4  N-N-N               5-16 month names       17 now
//   18-24 weekday names    25 N,                  26 (19|20)dd[0-3]dd
//   27 (N)                 28 :N:S                29 N:N:S
//   30 N:N:N:S             31 N:N:N:N:S           32 N:N:N:N:N:N
//   33-44 N:mon:N:N:N:S    45 :N                  46 N:N
//   47 -:N                 48 -N:N                49 -N:N:N
//   50 -Nday(s)            51 +:N                 52 +N:N
//   53 +N:N:N              54 -?d*.d*             55 -N
//   56 d.N[eE][+-]?N       57 N                   58 am
//   59 pm                  60-62 blank, newline, tab
//   63 zone word           64 any other character
//
// N is a run of digits, S seconds (N, N.N or .N); names match in any case.
#include <pthread.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "alloc.h"
#include "elog.h"
#include "kitbag.h"
#include "timeparse_private.h"

namespace basalt::timeparse {

char *Cp = nullptr;
int Retcode = 0;
int Year = 1970;
int Month = -1;
int Day = -1;
int Doy = 0;
int Dow = -1;
int Hour = 0;
int Minute = 0;
double Second = 0.0;
double Etime = kEtimeUnset;
int Am = -1;
double X1 = 0.0;
double X2 = 0.0;
char Timezone[256] = "";
int UsingTimezone = 0;
int Month_first_order = 1;

pthread_mutex_t EP_lock = PTHREAD_MUTEX_INITIALIZER;

void reset_state(char *s) {
    Cp = s;
    Retcode = 0;
    Year = 1970;
    Month = -1;
    Day = -1;
    Doy = 0;
    Dow = -1;
    Hour = 0;
    Minute = 0;
    Second = 0.0;
    Etime = kEtimeUnset;
    Am = -1;
    X1 = 0.0;
    X2 = 0.0;
    Timezone[0] = '\0';
    UsingTimezone = 0;
}

void report(const char *format, ...) {
    if (Retcode == 0) {
        va_list args;
        va_start(args, format);
        elog(0, 0, format, args);
        va_end(args);
    }
    Retcode++;
}

namespace {

locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

}  // namespace

double read_decimal(const char *text, std::size_t length) {
    double value = 0.0;
    auto [end, ec] = std::from_chars(text, text + length, value);
    if (ec == std::errc() && end == text + length) return value;
    // Out of range (or a form from_chars declines): the C library decides,
    // in the C locale, so that overflow gives HUGE_VAL and underflow a zero
    // or subnormal as strtod does.
    char small[64];
    char *copy = length < sizeof small ? small
                                       : static_cast<char *>(BASALT_MALLOC(length + 1, "number"));
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    int saved = errno;
    value = strtod_l(copy, nullptr, c_locale());
    errno = saved;
    if (copy != small) std::free(copy);
    return value;
}

int read_int(const char *text, std::size_t length) {
    long long v = 0;
    for (std::size_t i = 0; i < length; i++) {
        v = v * 10 + (text[i] - '0');
        if (v > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(v);
}

int trunc_to_int(double x) {
    if (!(x == x)) return 0;
    if (x >= 2147483647.0) return INT_MAX;
    if (x <= -2147483648.0) return INT_MIN;
    return static_cast<int>(x);
}

bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

namespace {

// Floor division for the calendar arithmetic.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) q--;
    return q;
}

}  // namespace

std::int64_t days_to_year(std::int64_t y) {
    std::int64_t p = y - 1;
    return 365 * (y - 1970) + (floor_div(p, 4) - floor_div(p, 100) + floor_div(p, 400)) -
           (492 - 19 + 4);  // leap days before 1970: 1969/4 - 1969/100 + 1969/400
}

void year_doy_of_day(std::int64_t day, std::int64_t *year, int *doy) {
    // 146097 days in 400 years; start from an estimate and correct it.
    std::int64_t y = 1970 + floor_div(day * 400, 146097);
    while (days_to_year(y) > day) y--;
    while (days_to_year(y + 1) <= day) y++;
    *year = y;
    *doy = static_cast<int>(day - days_to_year(y)) + 1;
}

// ---- The scanner -------------------------------------------------------

namespace {

// The scanner's input buffer and position: process-wide, used under EP_lock.
char *Buf = nullptr;
std::size_t Buf_size = 0;
std::size_t Buf_len = 0;
bool Fresh = true;

const char *const kMonths[12][2] = {
    {"jan", "january"}, {"feb", "february"}, {"mar", "march"},     {"apr", "april"},
    {"may", "may"},     {"jun", "june"},     {"jul", "july"},      {"aug", "august"},
    {"sep", "september"}, {"oct", "october"}, {"nov", "november"}, {"dec", "december"}};
// Forms 18-24 in order: Monday .. Sunday.
const char *const kWeekdays[7][2] = {{"mon", "monday"},   {"tue", "tuesday"}, {"wed", "wednesday"},
                                     {"thu", "thursday"}, {"fri", "friday"},  {"sat", "saturday"},
                                     {"sun", "sunday"}};

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::size_t digits(const char *p) {
    std::size_t n = 0;
    while (is_digit(p[n])) n++;
    return n;
}

// Length of the name at p in any case, or 0.
std::size_t name_at(const char *p, const char *name) {
    std::size_t i = 0;
    for (; name[i] != '\0'; i++)
        if (lower(p[i]) != name[i]) return 0;
    return i;
}

// The longer of a full name and its abbreviation at p.
std::size_t either_name(const char *p, const char *const names[2]) {
    std::size_t n = name_at(p, names[1]);
    return n ? n : name_at(p, names[0]);
}

// Seconds: N, N.N or .N.
std::size_t seconds_at(const char *p) {
    std::size_t n = digits(p);
    if (n > 0) {
        std::size_t m = p[n] == '.' ? digits(p + n + 1) : 0;
        return m ? n + 1 + m : n;
    }
    if (p[0] == '.') {
        std::size_t m = digits(p + 1);
        return m ? 1 + m : 0;
    }
    return 0;
}

// Matches a pattern of N (digits), D (one digit), S (seconds), M (three-
// letter month name; its number goes to *month) and literal characters.
std::size_t pattern_at(const char *p, const char *pattern, int *month = nullptr) {
    std::size_t at = 0;
    for (const char *q = pattern; *q != '\0'; q++) {
        std::size_t n = 0;
        switch (*q) {
        case 'N': n = digits(p + at); break;
        case 'D': n = is_digit(p[at]) ? 1 : 0; break;
        case 'S': n = seconds_at(p + at); break;
        case 'M':
            for (int i = 0; i < 12 && n == 0; i++)
                if ((n = name_at(p + at, kMonths[i][0])) != 0 && month) *month = i + 1;
            break;
        default: n = p[at] == *q ? 1 : 0; break;
        }
        if (n == 0) return 0;
        at += n;
    }
    return at;
}

// Form 26: "19" or "20", two digits, a digit 0-3, two digits.
std::size_t jdate_at(const char *p) {
    if (!((p[0] == '1' && p[1] == '9') || (p[0] == '2' && p[1] == '0'))) return 0;
    if (!is_digit(p[2]) || !is_digit(p[3])) return 0;
    if (p[4] < '0' || p[4] > '3') return 0;
    if (!is_digit(p[5]) || !is_digit(p[6])) return 0;
    return 7;
}

// Form 54: an optional '-', digits, '.', digits.
std::size_t decimal_at(const char *p) {
    std::size_t at = p[0] == '-' ? 1 : 0;
    at += digits(p + at);
    if (p[at] != '.') return 0;
    at++;
    return at + digits(p + at);
}

// Form 56: a digit, '.', digits, 'e', an optional sign, digits.
std::size_t exponent_at(const char *p) {
    std::size_t at = pattern_at(p, "D.N");
    if (at == 0 || (p[at] != 'e' && p[at] != 'E')) return 0;
    at++;
    if (p[at] == '+' || p[at] == '-') at++;
    std::size_t n = digits(p + at);
    return n ? at + n : 0;
}

// Form 50: '-', digits, "day" or "days".
std::size_t days_back_at(const char *p) {
    std::size_t at = pattern_at(p, "-N");
    if (at == 0) return 0;
    std::size_t n = name_at(p + at, "days");
    if (n == 0) n = name_at(p + at, "day");
    return n ? at + n : 0;
}

// Form 63: a letter, then one or more letters, digits, '/', '_', '+', '-'.
std::size_t word_at(const char *p) {
    if (!is_letter(p[0])) return 0;
    std::size_t n = 1;
    while (is_letter(p[n]) || is_digit(p[n]) || p[n] == '/' || p[n] == '_' || p[n] == '+' ||
           p[n] == '-')
        n++;
    return n >= 2 ? n : 0;
}

// The patterns of the forms that need no matcher of their own.
const char *const kPatterns[65] = {
    nullptr,       "N/N/N",       "DDDD-DD-DD", "DDDD-DDD",  "N-N-N",       // 1-4
    nullptr,       nullptr,       nullptr,      nullptr,     nullptr,       // 5-9
    nullptr,       nullptr,       nullptr,      nullptr,     nullptr,       // 10-14
    nullptr,       nullptr,       nullptr,      nullptr,     nullptr,       // 15-19
    nullptr,       nullptr,       nullptr,      nullptr,     nullptr,       // 20-24
    "N,",          nullptr,       "(N)",        ":N:S",      "N:N:S",       // 25-29
    "N:N:N:S",     "N:N:N:N:S",   "N:N:N:N:N:N", nullptr,    nullptr,       // 30-34
    nullptr,       nullptr,       nullptr,      nullptr,     nullptr,       // 35-39
    nullptr,       nullptr,       nullptr,      nullptr,     nullptr,       // 40-44
    ":N",          "N:N",         "-:N",        "-N:N",      "-N:N:N",      // 45-49
    nullptr,       "+:N",         "+N:N",       "+N:N:N",    nullptr,       // 50-54
    "-N",          nullptr,       "N",          nullptr,     nullptr,       // 55-59
    nullptr,       nullptr,       nullptr,      nullptr,     nullptr};      // 60-64

// Length of the text at p that form `form` matches (0: none).
std::size_t form_at(int form, const char *p) {
    if (form >= 5 && form <= 16) return either_name(p, kMonths[form - 5]);
    if (form >= 18 && form <= 24) return either_name(p, kWeekdays[form - 18]);
    if (form >= 33 && form <= 44) {
        int month = 0;
        std::size_t n = pattern_at(p, "N:M:N:N:N:S", &month);
        return month == form - 32 ? n : 0;
    }
    switch (form) {
    case 17: return name_at(p, "now");
    case 26: return jdate_at(p);
    case 50: return days_back_at(p);
    case 54: return decimal_at(p);
    case 56: return exponent_at(p);
    case 58: return name_at(p, "am");
    case 59: return name_at(p, "pm");
    case 60: return p[0] == ' ' ? 1 : 0;
    case 61: return p[0] == '\n' ? 1 : 0;
    case 62: return p[0] == '\t' ? 1 : 0;
    case 63: return word_at(p);
    case 64: return 1;
    default: return pattern_at(p, kPatterns[form]);
    }
}

// Reads the numbers of a token in order.
class Numbers {
  public:
    explicit Numbers(const char *p, const char *end) : p_(p), end_(end) {}
    // The next run of digits as an int.
    int next_int() {
        skip();
        std::size_t n = digits(p_);
        int v = read_int(p_, n);
        p_ += n;
        return v;
    }
    // The next run of digits as a double.
    double next_number() {
        skip();
        std::size_t n = digits(p_);
        double v = read_decimal(p_, n);
        p_ += n;
        return v;
    }
    // The next seconds value (N, N.N or .N).
    double next_seconds() {
        while (p_ < end_ && !is_digit(*p_) && !(*p_ == '.' && is_digit(p_[1]))) p_++;
        std::size_t n = seconds_at(p_);
        double v = read_decimal(p_, n);
        p_ += n;
        return v;
    }

  private:
    void skip() {
        while (p_ < end_ && !is_digit(*p_)) p_++;
    }
    const char *p_;
    const char *end_;
};

// A NUL-terminated copy of a token for the messages.
class TokenText {
  public:
    TokenText(const char *p, std::size_t n) {
        text_ = n < sizeof small_ ? small_ : static_cast<char *>(BASALT_MALLOC(n + 1, "token"));
        std::memcpy(text_, p, n);
        text_[n] = '\0';
    }
    ~TokenText() {
        if (text_ != small_) std::free(text_);
    }
    TokenText(const TokenText &) = delete;
    TokenText &operator=(const TokenText &) = delete;
    const char *c_str() const { return text_; }

  private:
    char small_[128];
    char *text_;
};

void bad_date(const char *p, std::size_t n) {
    if (Month > 12 || Day > 31) report("str2epoch: Bad date format:'%s'", TokenText(p, n).c_str());
}

// Forms 1 and 4: month, day, year; year first when the first number is
// above 31; otherwise day first when dates are not read month first.
void three_part_date(const char *p, std::size_t n) {
    Numbers num(p, p + n);
    int a = num.next_int(), b = num.next_int(), c = num.next_int();
    if (a > 31) {
        Year = a;
        Month = b;
        Day = c;
    } else {
        Month = a;
        Day = b;
        Year = c;
        if (Month_first_order == 0) {
            Month = b;
            Day = a;
        }
    }
    bad_date(p, n);
}

double now() { return std_now(); }

// Carries out the action of a token; false stops the scan.
bool act(int form, const char *p, std::size_t n) {
    Numbers num(p, p + n);
    switch (form) {
    case 1:
    case 4: three_part_date(p, n); break;
    case 2:
        Year = num.next_int();
        Month = num.next_int();
        Day = num.next_int();
        bad_date(p, n);
        break;
    case 3:
        Year = num.next_int();
        Doy = num.next_int();
        if (Doy > 366) report("str2epoch: Bad date format:'%s'", TokenText(p, n).c_str());
        break;
    case 17: Etime = now(); break;
    case 25: Day = num.next_int(); break;
    case 26:
        Year = read_int(p, 4);
        Doy = read_int(p + 4, 3);
        if (Doy > 366) report("str2epoch: Bad jdate format:'%s'", TokenText(p, n).c_str());
        break;
    case 27: Doy = num.next_int(); break;
    case 28:
        Minute = num.next_int();
        Second = num.next_seconds();
        break;
    case 29: {
        int a = num.next_int(), b = num.next_int();
        double c = num.next_seconds();
        if (a <= 24 && b <= 59 && c < 60) {
            Hour = a;
            Minute = b;
            Second = c;
        } else if (a > 1970000 && a <= 2099999 && b <= 24 && c < 60) {
            Year = a / 1000;
            Doy = a % 1000;
            Hour = b;
            Minute = trunc_to_int(c);
        } else {
            report("str2epoch: bad input '%s'", TokenText(p, n).c_str());
        }
        break;
    }
    case 30: {
        int a = num.next_int();
        Year = a / 1000;
        Doy = a % 1000;
        Hour = num.next_int();
        Minute = num.next_int();
        Second = num.next_seconds();
        break;
    }
    case 31:
        Year = num.next_int();
        Doy = num.next_int();
        Hour = num.next_int();
        Minute = num.next_int();
        Second = num.next_seconds();
        break;
    case 32: {
        Year = num.next_int();
        Doy = num.next_int();
        Hour = num.next_int();
        Minute = num.next_int();
        double e = num.next_number();
        double f = num.next_number();
        Second = e + f / 1000;
        break;
    }
    case 45: Minute = num.next_int(); break;
    case 46:
        Hour = num.next_int();
        Minute = num.next_int();
        break;
    case 47: Etime = now() - 60.0 * num.next_int(); break;
    case 48: {
        double a = num.next_int(), b = num.next_int();
        Etime = now() - (3600 * a + 60 * b);
        break;
    }
    case 49: {
        double a = num.next_int(), b = num.next_int(), c = num.next_int();
        Etime = now() - (3600 * a + 60 * b + c);
        break;
    }
    case 50: {
        double today = std::floor(now() / 86400);
        double day = today - num.next_int();
        // A clock beyond any calendar leaves the date alone.
        if (day > -1e15 && day < 1e15) {
            std::int64_t year;
            int doy;
            year_doy_of_day(static_cast<std::int64_t>(day), &year, &doy);
            Year = year > INT_MAX ? INT_MAX : year < INT_MIN ? INT_MIN : static_cast<int>(year);
            Doy = doy;
        }
        break;
    }
    case 51: Etime = now() + 60.0 * num.next_int(); break;
    case 52: {
        double a = num.next_int(), b = num.next_int();
        Etime = now() + (3600 * a + 60 * b);
        break;
    }
    case 53: {
        double a = num.next_int(), b = num.next_int(), c = num.next_int();
        Etime = now() + (3600 * a + 60 * b + c);
        break;
    }
    case 54:
        if (n > (p[0] == '-' ? 2u : 1u)) Etime = read_decimal(p, n);
        break;
    case 55:
    case 56: Etime = read_decimal(p, n); break;
    case 57: {
        double v = read_decimal(p, n);
        if (X1 == 0.0)
            X1 = v;
        else if (X2 == 0.0)
            X2 = v;
        else
            report("str2epoch: extra number '%s'", TokenText(p, n).c_str());
        break;
    }
    case 58: Am = 1; break;
    case 59: Am = 0; break;
    case 60:
    case 61:
    case 62: break;
    case 63:
        if (n == 5 && std::memcmp(p, "LOCAL", 5) == 0) {
            Timezone[0] = '\0';
            UsingTimezone = 1;
        } else if (n < sizeof Timezone) {
            std::memcpy(Timezone, p, n);
            Timezone[n] = '\0';
            if (is_timezone(Timezone)) {
                UsingTimezone = 1;
            } else {
                report("str2epoch: no timezone '%s'\n", Timezone);
                Timezone[0] = '\0';
                UsingTimezone = 0;
            }
        } else {
            // Longer than any zone name the state can hold: refused.
            report("str2epoch: no timezone '%s'\n", TokenText(p, n).c_str());
            Timezone[0] = '\0';
            UsingTimezone = 0;
        }
        break;
    case 64: {
        unsigned char c = static_cast<unsigned char>(p[0]);
        if (c >= 0x20 && c < 0x7f) {
            report("str2epoch: can't interpret '%s'\n", TokenText(p, 1).c_str());
        } else {
            report("str2epoch: can't interpret character 0x%x\n", static_cast<unsigned>(c));
            return false;
        }
        break;
    }
    default:
        if (form >= 5 && form <= 16) {
            Month = form - 4;
        } else if (form >= 18 && form <= 24) {
            Dow = form == 24 ? 0 : form - 17;
        } else if (form >= 33 && form <= 44) {
            Year = num.next_int();
            Month = form - 32;
            Day = num.next_int();
            Hour = num.next_int();
            Minute = num.next_int();
            Second = num.next_seconds();
        }
        break;
    }
    return true;
}

// The form that takes the text at p and its length: the longest match, the
// first listed among equals.
int longest_form(const char *p, std::size_t *length) {
    int best = 64;
    std::size_t best_n = 0;
    for (int form = 1; form <= 64; form++) {
        std::size_t n = form_at(form, p);
        if (n > best_n) {
            best = form;
            best_n = n;
        }
    }
    *length = best_n;
    return best;
}

}  // namespace

int EP_my_yyinput(char *buf, int max) {
    if (max <= 0 || Cp == nullptr) return 0;
    std::size_t n = std::strlen(Cp);
    if (n > static_cast<std::size_t>(max)) n = static_cast<std::size_t>(max);
    std::memcpy(buf, Cp, n);
    Cp += n;
    return static_cast<int>(n);
}

int EP_wrap() { return 1; }

void EP_restart() {
    Buf_len = 0;
    Fresh = true;
}

int EP_lex() {
    if (Fresh) {
        // Take the whole input through the input routine.
        for (;;) {
            if (Buf_size - Buf_len < 4096 + 1) {
                Buf_size = Buf_size ? Buf_size * 2 : 8192;
                Buf = static_cast<char *>(BASALT_REALLOC(Buf, Buf_size, "scanner buffer"));
            }
            int got = EP_my_yyinput(Buf + Buf_len, 4096);
            if (got <= 0 && EP_wrap()) break;
            Buf_len += static_cast<std::size_t>(got);
        }
        Buf[Buf_len] = '\0';
        Fresh = false;
    }
    const char *p = Buf;
    const char *end = Buf + Buf_len;
    while (p < end) {
        std::size_t n;
        int form = longest_form(p, &n);
        if (!act(form, p, n)) break;
        p += n;
    }
    Buf_len = 0;
    return 0;
}

}  // namespace basalt::timeparse
