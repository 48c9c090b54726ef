#ifndef BASALT_HOOKS_H
#define BASALT_HOOKS_H
#include "basalt_api.h"
#endif
