#ifndef BASALT_INSTALLROOT_H
#define BASALT_INSTALLROOT_H
#include "basalt_api.h"
#endif
