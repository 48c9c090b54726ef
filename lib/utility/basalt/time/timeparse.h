/* Reading times from text: the time-string parser.
 *
 * Free-form time text ("1/5/2004 12:30", "2004-005", "jan 5 2004 US/Mountain",
 * "1073305845.25", "now", "-1:30", ...) becomes epoch seconds (a double,
 * seconds since 1970-01-01 00:00 UTC). Parses run one at a time under the
 * parser's process-wide lock; a plain decimal number is converted without it.
 */
#ifndef BASALT_TIMEPARSE_H
#define BASALT_TIMEPARSE_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Parses s and always stores a value in *e. Returns 0 when the text held no
 * error, otherwise minus the number of errors found; the first error is
 * logged with elog_log. */
BASALT_API int zstr2epoch(char *s, double *e);

/* The epoch time of s, whatever the errors; what the parse logged is
 * delivered as complaints. */
BASALT_API double str2epoch(char *s);

/* 1 when s parses without error, else 0; nothing is logged. *e holds the
 * value either way. */
BASALT_API int is_epoch_string(char *s, double *e);

BASALT_END_DECLS

#endif
