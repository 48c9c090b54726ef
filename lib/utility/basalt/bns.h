#ifndef BASALT_BNS_H
#define BASALT_BNS_H
#include "basalt_api.h"
#endif
