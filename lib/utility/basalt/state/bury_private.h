// Shared between the state file and its termination handling.
#ifndef BASALT_BURY_PRIVATE_H
#define BASALT_BURY_PRIVATE_H

#include <pthread.h>

#include "bury.h"

namespace basalt::bury_detail {

// Serialises exhume, bury (the whole save) and relic registration.
extern pthread_mutex_t grave_mutex;
// The one grave of the process; null until the first exhume. Read with
// atomic loads (the signal handlers read it).
extern Grave *grave;

// The save of bury; the caller holds grave_mutex.
int bury_locked(Grave *g);

// Routes the termination signals to the grave's handler.
void install_grave_handlers();

}  // namespace basalt::bury_detail

#endif
