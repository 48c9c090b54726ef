/* Time formatting: epoch seconds (double, since 1970-01-01 00:00 UTC, no
 * leap seconds) written through a small %-letter format language, in UTC,
 * in the process's own zone or in any named zone of the zone database;
 * the named formats of the installation; durations in words.
 *
 * Format letters: %a %A weekday (short, full), %b %B month (short, full),
 * %D short date (month or day first), %d %e day of month ("%02d", "%2d"),
 * %E the epoch ("%15.3f"), %g yyyy-ddd, %G yyyy-mm-dd, %H %k hour 0-23,
 * %I %l hour 1-12, %j day of year, %L %m month number, %M minute,
 * %n newline, %o %O day of month / of year as ordinals ("5th"),
 * %p AM or PM, %S whole seconds, %s milliseconds, %u hundred-thousandths,
 * %t tab, %T hh:mm:ss.sss, %y two-digit year, %Y year, %Z %z zone name.
 * A "%" before any other character writes that character.
 *
 * Every routine that returns text returns a new malloc'd string that the
 * caller frees; fmttime writes into the caller's buffer instead.
 *
 * Named formats are chosen once per process, at their first use: from the
 * parameter file "time_formats.pf" when there is one, else built in
 * (day first when EUROPEAN_DATE is set).
 *
 * Threads. Formatting in UTC touches no shared state. Formatting in the
 * process's own zone or in a named zone holds the library's process-wide
 * zone lock while it converts, so that a zone switched for one thread is
 * never seen by another.
 */
#ifndef BASALT_TIMEFMT_H
#define BASALT_TIMEFMT_H
#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Named formats (set at first use; see above). */
BASALT_API extern const char *Strtime_format;
BASALT_API extern const char *Strydtime_format;
BASALT_API extern const char *UStrydtime_format;
BASALT_API extern const char *Strdate_format;
BASALT_API extern const char *ZStrtime_format;
BASALT_API extern const char *ZStrydtime_format;
BASALT_API extern const char *UZStrydtime_format;
BASALT_API extern const char *ZStrdate_format;
BASALT_API extern const char *MDtime_format;
BASALT_API extern const char *ZMDtime_format;
BASALT_API extern const char *YDtime_format;
BASALT_API extern const char *ZYDtime_format;
BASALT_API extern const char *MD_format;
BASALT_API extern const char *ZMD_format;
BASALT_API extern const char *YD_format;
BASALT_API extern const char *ZYD_format;

/* Nonzero until the named formats have been chosen. */
BASALT_API extern int Unset_formats;
/* Nonzero when dates are written and read month first. */
BASALT_API extern int Month_first;
/* "January" .. "December"; "Monday" .. "Sunday" (index 0 is Monday). */
BASALT_API extern const char *const Month[12];
BASALT_API extern const char *const Week[7];
/* 9995-01-01 00:00 UTC: times of larger magnitude are not broken down. */
BASALT_API extern const double millennium;

/* e rounded to milliseconds in Strtime_format / Strydtime_format, UTC. */
BASALT_API char *strtime(double e);
BASALT_API char *strydtime(double e);
/* e in Strdate_format, UTC, unrounded. */
BASALT_API char *strdate(double e);
/* The same in the process's own zone, with the zone-labelled formats. */
BASALT_API char *strlocaltime(double e);
BASALT_API char *strlocalydtime(double e);
BASALT_API char *strlocaldate(double e);

/* epoch formatted by f in UTC (zone name "UTC"). */
BASALT_API char *epoch2str(double epoch, const char *f);
/* epoch formatted by f in timezone: null (or "UTC") for UTC, "" or "LOCAL"
 * for the process's own zone, else a zone of the zone database. An
 * unrecognised zone is logged ("Unrecognized timezone '%s'") and the text
 * is made in the process's own zone. */
BASALT_API char *zepoch2str(double epoch, const char *f, const char *timezone);

/* Writes epoch in the named format chosen by fmt (1 MDtime, 2 YDtime,
 * 3 MD, 4 YD, 5 Strtime, 6 Strdate, 7 Strydtime, 8 UStrydtime, any other
 * value YDtime) into result, which must hold the text (1024 bytes always
 * suffice). A timezone other than null and "UTC" selects the zone-labelled
 * variant in that zone. Returns 0. */
BASALT_API int fmttime(double epoch, char *result, int fmt, const char *timezone);

/* The duration e seconds in words, at least 21 characters. */
BASALT_API char *strtdelta(double e);

/* Epoch of 00:00 UTC of the year-day date yd (yyyyddd). */
BASALT_API double epoch(int yd);
/* yyyyddd of e in UTC. */
BASALT_API int yearday(double e);
/* Month_first, choosing the named formats first when needed. */
BASALT_API int is_month_first(void);

/* Switches the process to the zone timezone ("" : the system default
 * zone); errno is left nonzero when the zone cannot be loaded. The switch
 * holds the process-wide zone lock until restoreTZ, in the calling thread.
 * restoreTZ puts the process's own zone back exactly as it was. */
BASALT_API void switchTZ(const char *timezone);
BASALT_API void restoreTZ(void);

BASALT_END_DECLS

#endif
