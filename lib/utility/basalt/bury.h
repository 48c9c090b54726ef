#ifndef BASALT_BURY_H
#define BASALT_BURY_H
#include "basalt_api.h"
#endif
