#ifndef BASALT_TIMEFMT_H
#define BASALT_TIMEFMT_H
#include "basalt_api.h"
#endif
