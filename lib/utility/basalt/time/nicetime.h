/* Nice increments and start times for stepping across a span of time. */
#ifndef BASALT_NICETIME_H
#define BASALT_NICETIME_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Chooses for the span tstart..tend (either may be the larger) a nice
   increment giving at most `maxincs` steps, stored through `ninc`, and the
   first nice time at or after `tstart`, stored through `nstart`. An empty
   span or a `maxincs` of zero or less stores 0 through `nstart`, leaves
   `ninc` alone and returns 0. Returns 0, or -1 (with `nstart` 0 and `ninc`
   untouched) for a span that is infinite or not a number. */
BASALT_API int get_nice_times(double tstart, double tend, int maxincs,
                              double *nstart, double *ninc);

BASALT_END_DECLS

#endif
