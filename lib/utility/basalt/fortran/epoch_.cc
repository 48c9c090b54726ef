// Bindings of the time conversions.
#include "basalttime.h"
#include "fortran.h"
#include "fortran_private.h"

using basalt::fortran::CString;
using basalt::fortran::put_new;

extern "C" {

double epoch_(int *yd) { return epoch(*yd); }

int yearday_(double *e) { return yearday(*e); }

void strtime_(char *result, double *e, size_t result_len) {
    put_new(result, strtime(*e), result_len);
}

void strdate_(char *result, double *e, size_t result_len) {
    put_new(result, strdate(*e), result_len);
}

void epoch2str_(char *result, double *e, char *format, size_t result_len, size_t format_len) {
    CString f(format, format_len);
    put_new(result, epoch2str(*e, f), result_len);
}

double str2epoch_(char *text, size_t text_len) {
    CString s(text, text_len);
    return str2epoch(s);
}

void doy2mday_(int *doy, int *year, int *month, int *day) { doy2mday(*doy, *year, month, day); }

int mday2doy_(int *year, int *month, int *day) { return mday2doy(*year, *month, *day); }

double h2e_(int *year, int *doy, int *hour, int *minute, double *second) {
    return h2e(*year, *doy, *hour, *minute, *second);
}

void e2h_(double *e, int *year, int *doy, int *hour, int *minute, double *second) {
    e2h(*e, year, doy, hour, minute, second);
}

void htoe_(int *year, int *doy, int *hour, int *minute, double *seconds, double *e) {
    *e = dtoepoch(static_cast<long>(*year) * 1000 + *doy) +
         ((*hour * 3600.0 + *minute * 60.0) + *seconds);
}

void etoh_(double *e, int *year, int *doy, int *hour, int *minute, double *seconds) {
    date_time dt{};
    dt.epoch = *e;
    etoh(&dt);
    *year = dt.year;
    *doy = dt.doy;
    *hour = dt.hour;
    *minute = dt.minute;
    *seconds = dt.second;
}

}  // extern "C"
