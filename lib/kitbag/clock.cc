// The current time, the clock of the whole system.
#include <sys/time.h>

#include "kitbag.h"
#include "process_private.h"

namespace {

double system_now() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

// Replaced only by tests; read by every thread.
kitbag::NowSource now_source = nullptr;

}  // namespace

kitbag::NowSource kitbag::set_now_source(NowSource source) {
    return __atomic_exchange_n(&now_source, source, __ATOMIC_ACQ_REL);
}

extern "C" double std_now(void) {
    kitbag::NowSource source = __atomic_load_n(&now_source, __ATOMIC_ACQUIRE);
    return source != nullptr ? source() : system_now();
}

extern "C" double now_(void) { return std_now(); }
