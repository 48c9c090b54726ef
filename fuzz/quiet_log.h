// The error log of a fuzz target: bad input makes the libraries log at
// every turn, and a stream of messages on standard error slows the run and
// buries what matters. Messages of every severity that lets the process go
// on are delivered to /dev/null (those that end it still reach standard
// error), with no message limit: the target empties the register after
// each input.
#ifndef FUZZ_QUIET_LOG_H
#define FUZZ_QUIET_LOG_H

#include <cstdio>
#include <initializer_list>

#include "elog.h"

namespace fuzzing {

inline void quiet_log() {
    static const bool done = [] {
        elog_init(0, nullptr);
        elog_set(ELOG_MAXMSG, 0, nullptr);
        // log, notify, complain, debug and alert; not die and fault.
        for (int severity : {0, 1, 2, 5, 6})
            elog_set(ELOG_DELIVER, severity, const_cast<char *>("/dev/null"));
        return true;
    }();
    (void)done;
}

// Runs f with the standard error stream sent to /dev/null, for routines
// that dump what they found there beside the log. Only the stream is
// swapped: sanitizer reports write to the descriptor and still show.
template <class F>
void with_quiet_stderr(F &&f) {
    static FILE *const null_file = std::fopen("/dev/null", "w");
    FILE *const saved = stderr;
    if (null_file != nullptr) stderr = null_file;
    f();
    stderr = saved;
}

}  // namespace fuzzing

#endif
