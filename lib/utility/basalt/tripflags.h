#ifndef BASALT_TRIPFLAGS_H
#define BASALT_TRIPFLAGS_H
#include "basalt_api.h"
#endif
