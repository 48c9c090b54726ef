// The one-shot alarm, waiting for a signal and ignoring SIGPIPE.
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "elog.h"
#include "kitbag.h"

namespace {

const char *base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Splits seconds into the timer's whole seconds and microseconds (the
// fraction truncated toward zero). False when the value cannot be a timer
// value: negative, not a number, or beyond time_t.
bool split_seconds(double seconds, struct timeval *tv) {
    constexpr double limit = static_cast<double>(std::numeric_limits<time_t>::max());
    if (!(seconds >= 0.0) || seconds >= limit) return false;
    time_t whole = static_cast<time_t>(seconds);  // truncation is floor here
    double usec = (seconds - static_cast<double>(whole)) * 1000000.0;
    tv->tv_sec = whole;
    tv->tv_usec = usec >= 999999.0 ? 999999 : static_cast<suseconds_t>(usec);
    return true;
}

}  // namespace

extern "C" int std_set_timer(void (*handler)(int), double seconds) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGALRM, &action, nullptr) != 0) elog_die(1, "sigaction fails for SIGALRM");

    struct itimerval current;
    if (getitimer(ITIMER_REAL, &current) != 0) {
        elog_log(1, "getitimer fails");
        return -1;
    }

    struct itimerval value;
    std::memset(&value, 0, sizeof value);  // no repetition
    if (!split_seconds(seconds, &value.it_value)) {
        errno = EINVAL;
        elog_log(1, "setitimer fails");
        return -1;
    }
    if (setitimer(ITIMER_REAL, &value, nullptr) != 0) {
        elog_log(1, "setitimer fails");
        return -1;
    }
    return 0;
}

extern "C" int std_sigwait(sigset_t *set) {
    if (set == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int sig = 0;
    int rc = sigwait(set, &sig);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return sig;
}

extern "C" void ignoreSIGPIPE(void) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGPIPE, &action, nullptr) != 0)
        elog_die(0, "Unexpected failure: file %s, line %d\n", base_name(__FILE__), __LINE__);
}
