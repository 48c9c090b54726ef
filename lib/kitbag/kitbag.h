/* kitbag: the portability layer. Linked statically into every program and
 * exported from it; libbasalt takes these functions from the program. This
 * header declares all of it. */
#ifndef KITBAG_H
#define KITBAG_H

#include "kitbag_byteorder.h"
#include "kitbag_process.h"
#include "kitbag_threads.h"
#include "kitbag_host.h"
#include "kitbag_linereader.h"

#endif
