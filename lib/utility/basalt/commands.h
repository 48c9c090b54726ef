#ifndef BASALT_COMMANDS_H
#define BASALT_COMMANDS_H
#include "basalt_api.h"
#endif
