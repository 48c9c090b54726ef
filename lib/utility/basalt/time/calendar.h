/* Calendar conversions: epoch seconds (double, UTC, no leap seconds) to
   broken-down UTC fields and back, year-day dates (yyyyddd), month and day,
   the current date, durations, BCD time stamps and waiting for a time. The
   calendar is the proleptic Gregorian calendar throughout. */
#ifndef BASALT_CALENDAR_H
#define BASALT_CALENDAR_H

#include <stdint.h>

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Broken-down UTC time. */
typedef struct date_time {
    double epoch;   /* seconds since 1970-01-01 00:00:00 UTC */
    int32_t date;   /* year-day date yyyyddd: year * 1000 + day of year */
    int year;       /* calendar year */
    int month;      /* 1..12 */
    char mname[4];  /* "Jan" .. "Dec", NUL-terminated */
    int day;        /* day of the month, 1..31 */
    int doy;        /* day of the year, 1..366 */
    int hour;       /* 0..23 */
    int minute;     /* 0..59 */
    double second;  /* seconds within the minute, with fraction */
} date_time;

/* 1 for a Gregorian leap year (any year, negative ones too), else 0. */
BASALT_API int isleap(int year);

/* Epoch of 00:00:00 UTC of the year-day date yyyyddd. Day 0 is December 31
   of the year before; days past the year's end run into the next year. */
BASALT_API double dtoepoch(long date);

/* Fills every field but `epoch` from `epoch`; returns 0. Exact for epochs
   from 0462-01-01 through 3476-12-30 UTC. */
BASALT_API int etoh(date_time *dt);

/* Sets `epoch` from `date`, `hour`, `minute` and `second`; returns 0. */
BASALT_API int htoe(date_time *dt);

/* Sets `doy` and `date` from `year`, `month` and `day`; returns 0. */
BASALT_API int mdtodate(date_time *dt);

/* Sets `month`, `day` and `mname` from `year` and `doy`; returns 0. */
BASALT_API int month_day(date_time *dt);

/* yyyyddd of the current UTC date. */
BASALT_API long todaysdate(void);

/* Fills the record with 00:00:00 UTC of the current day; returns 0. */
BASALT_API int zh_today(date_time *dt);

/* Prints the record on one line to standard output; returns 0. */
BASALT_API int timeprint(date_time *dt);

/* Stores str2epoch(string) through `time`; returns 1 whatever the parser
   made of the text. */
BASALT_API int time_string2epoch(char *string, double *time);

/* Seconds of a duration written hours[:minutes[:seconds]]. */
BASALT_API double timecon(const char *timstr);

/* Epoch of a year, day of year, hour, minute and second. */
BASALT_API double h2e(int iyear, int iday, int ihour, int imin, double sec);

/* Year, day of year, hour, minute and second of an epoch. */
BASALT_API void e2h(double epoch, int *iyear, int *iday, int *ihour,
                    int *imin, double *sec);

/* Month and day of the month of a day of the year. */
BASALT_API void doy2mday(int doy, int year, int *month, int *day);

/* Day of the year of a year, month and day. */
BASALT_API int mday2doy(int year, int month, int day);

/* Writes the 6-byte BCD time stamp (day of year, hour, minute, second,
   hundredths; no year) of the epoch to the six bytes at `bcd`. */
BASALT_API void epoch2bcd(unsigned char *bcd, double epoch);

/* Reads the 6-byte BCD time stamp at `bcd` into `tstr`, taking the year from
   the clock. `month`, `mname` and `day` are not set. */
BASALT_API void bcdtime(const unsigned char *bcd, date_time *tstr);

/* Sleeps until the epoch time `time`; with `verbose` says how long. */
BASALT_API void wait_for_time(double time, int verbose);

BASALT_END_DECLS

#endif
