/* kitbag: thread, mutex, condition and semaphore shims over POSIX threads. */
#ifndef KITBAG_THREADS_H
#define KITBAG_THREADS_H

#include "basalt_api.h"

BASALT_BEGIN_DECLS


BASALT_END_DECLS

#endif
