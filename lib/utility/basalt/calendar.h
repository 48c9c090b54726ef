#ifndef BASALT_CALENDAR_H
#define BASALT_CALENDAR_H
#include "basalt_api.h"
#endif
