#ifndef BASALT_FILETESTS_H
#define BASALT_FILETESTS_H
#include "basalt_api.h"
#endif
