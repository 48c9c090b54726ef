#ifndef BASALT_RANDOMFILL_H
#define BASALT_RANDOMFILL_H
#include "basalt_api.h"
#endif
