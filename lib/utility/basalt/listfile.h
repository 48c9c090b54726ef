#ifndef BASALT_LISTFILE_H
#define BASALT_LISTFILE_H
#include "basalt_api.h"
#endif
