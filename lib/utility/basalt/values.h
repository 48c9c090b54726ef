#ifndef BASALT_VALUES_H
#define BASALT_VALUES_H
#include "basalt_api.h"
#endif
