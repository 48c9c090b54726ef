// Internals of the time-string parser shared by its scanner (timescan.cc),
// its completion stage (timeparse.cc) and their tests. Hidden: nothing here
// is part of the library's interface.
#ifndef BASALT_TIMEPARSE_PRIVATE_H
#define BASALT_TIMEPARSE_PRIVATE_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace basalt::timeparse {

// The parse state, reset before each scan (reset_state) and read after it.
// All of it belongs to the parse holding EP_lock.
extern char *Cp;           // read position of the input
extern int Retcode;        // errors found so far
extern int Year;           // 1970
extern int Month;          // -1: not given
extern int Day;            // -1: not given
extern int Doy;            // 0: not given
extern int Dow;            // -1: not given (recorded only)
extern int Hour;           // 0
extern int Minute;         // 0
extern double Second;      // 0.0
extern double Etime;       // kEtimeUnset: no epoch given
extern int Am;             // 1 am, 0 pm, -1 neither
extern double X1, X2;      // loose numbers; 0.0: none
extern char Timezone[256]; // zone named by the text
extern int UsingTimezone;  // nonzero when the text named a zone
// is_month_first() as the parse found it before taking EP_lock (choosing
// the named formats may read a parameter file, which has a lock of its own).
extern int Month_first_order;

constexpr double kEtimeUnset = 0.000000001;

// The parser's lock, held for the whole of a parse.
extern pthread_mutex_t EP_lock;

// Puts every variable above back to its reset value, the input at s.
void reset_state(char *s);

// Counts an error; the first of a parse is logged with elog_log.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The scanner: runs over the input from Cp to its end, carrying out the
// action of each token; returns 0. EP_restart readies it for fresh input.
int EP_lex();
void EP_restart();
int EP_my_yyinput(char *buf, int max);
int EP_wrap();

// A decimal number (optional '-', digits, optional '.', digits, optional
// exponent) read exactly as the C library reads it, whatever the locale.
// Out-of-range values give +-HUGE_VAL or a (signed) zero/subnormal.
double read_decimal(const char *text, std::size_t length);

// A run of decimal digits as an int, saturating at INT_MAX.
int read_int(const char *text, std::size_t length);

// A double truncated toward zero to an int, saturating (NaN gives 0).
int trunc_to_int(double x);

// Proleptic Gregorian calendar in 64 bits.
bool is_leap(std::int64_t year);
// Days from 1970-01-01 to January 1 of year.
std::int64_t days_to_year(std::int64_t year);
// Year and day of year (1-based) of a day number counted from 1970-01-01.
void year_doy_of_day(std::int64_t day, std::int64_t *year, int *doy);

}  // namespace basalt::timeparse

#endif
