/* Time: calendar conversions, formatting, parsing and nice times. */
#ifndef BASALT_BASALTTIME_H
#define BASALT_BASALTTIME_H
#include "calendar.h"
#include "timefmt.h"
#include "timeparse.h"
#include "nicetime.h"
#endif
