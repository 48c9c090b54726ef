#ifndef BASALT_DUMPS_H
#define BASALT_DUMPS_H
#include "basalt_api.h"
#endif
