#ifndef BASALT_FDIO_H
#define BASALT_FDIO_H
#include "basalt_api.h"
#endif
