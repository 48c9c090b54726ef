#ifndef BASALT_TERMINAL_H
#define BASALT_TERMINAL_H
#include "basalt_api.h"
#endif
