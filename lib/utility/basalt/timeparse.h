#ifndef BASALT_TIMEPARSE_H
#define BASALT_TIMEPARSE_H
#include "basalt_api.h"
#endif
