// The implementations behind the rows of the built-in function table that
// are not library calls of their own. Strings they return are new (the
// evaluator frees them with its temporaries).
#ifndef LEDGEFORM_EXPR_BUILTINS_H
#define LEDGEFORM_EXPR_BUILTINS_H

#include <cstdint>

#include "db.h"

namespace ledgeform {

// Mathematics (angles in degrees).
double exf_abs(double x);
double exf_ceil(double x);
double exf_floor(double x);
double exf_int(double x);
double exf_sqrt(double x);
double exf_cos(double x);
double exf_sin(double x);
double exf_tan(double x);
double exf_atan(double y, double x);
double exf_log(double x);
double exf_log10(double x);
double exf_sign(double x);
double exf_exp(double x);
double exf_min(double a, double b);
double exf_max(double a, double b);

// Positions and regions.
double exf_distance(double lat1, double lon1, double lat2, double lon2);
double exf_azimuth(double lat1, double lon1, double lat2, double lon2);
double exf_latitude(double lat, double lon, double delta, double azimuth);
double exf_longitude(double lat, double lon, double delta, double azimuth);
int32_t exf_grn(double lat, double lon);
char *exf_grname(double lat, double lon);
int32_t exf_srn(double lat, double lon);
char *exf_srname(double lat, double lon);

// Travel times: the phase name, distance and depth as texts.
double exf_phasetime(char *phase, char *delta, char *depth);
double exf_phase_slowness(char *phase, char *delta, char *depth);

// Times.
double exf_now(void);
double exf_date2e(double year, double month, double day, double seconds);
// The time itself (not its text) and a format, and a time zone.
char *exf_epoch2str(double time, char *format);
char *exf_zepoch2str(double time, char *format, char *zone);

// Strings and paths.
char *exf_dirname(char *path);
char *exf_basename(char *path);
char *exf_substr(char *s, char *start, char *length);
int32_t exf_strlen(char *s);
char *exf_concatpaths(char *a, char *b);
char *exf_patsub(char *s, regex_t *pattern, char *replacement);

// The record, counts and aggregates, null values, external files and
// arrival times: functions of the record db.
int32_t exf_record(Dbptr db);
int32_t exf_count_table(Dbptr db);
int32_t exf_count_group(Dbptr db);
double exf_sum_table(Dbptr db, Expression *arg);
double exf_max_table(Dbptr db, Expression *arg);
double exf_min_table(Dbptr db, Expression *arg);
double exf_sum_group(Dbptr db, Expression *arg);
double exf_max_group(Dbptr db, Expression *arg);
double exf_min_group(Dbptr db, Expression *arg);
char *exf_null(Dbptr db, char *name);
char *exf_dbfilename(Dbptr db);
char *exf_dbextfile(Dbptr db, char *table);
double exf_arrival(Dbptr db, char *phase);
double exf_parrival(Dbptr db);
double exf_sarrival(Dbptr db);
double exf_phase_arrival(Dbptr db, double speed);

}  // namespace ledgeform

#endif
