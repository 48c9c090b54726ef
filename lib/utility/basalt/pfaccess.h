#ifndef BASALT_PFACCESS_H
#define BASALT_PFACCESS_H
#include "basalt_api.h"
#endif
