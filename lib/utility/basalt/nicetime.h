#ifndef BASALT_NICETIME_H
#define BASALT_NICETIME_H
#include "basalt_api.h"
#endif
