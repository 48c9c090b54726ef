#ifndef BASALT_PATHTOOLS_H
#define BASALT_PATHTOOLS_H
#include "basalt_api.h"
#endif
