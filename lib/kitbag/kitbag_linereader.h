/* kitbag: line readers over mapped files and command output. */
#ifndef KITBAG_LINEREADER_H
#define KITBAG_LINEREADER_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS


BASALT_END_DECLS

#endif
