#ifndef BASALT_PF_H
#define BASALT_PF_H
#include "basalt_api.h"
#include "pfaccess.h"
#endif
