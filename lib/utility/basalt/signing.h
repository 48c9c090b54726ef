#ifndef BASALT_SIGNING_H
#define BASALT_SIGNING_H
#include "basalt_api.h"
#endif
