#ifndef BASALT_MAPFILE_H
#define BASALT_MAPFILE_H
#include "basalt_api.h"
#endif
