// Helpers shared by the program's sources.
//
// reelhouse runs in one thread. A termination signal only marks the
// program as stopping (Shutdown, the signal's number, a byte on a pipe
// that wakes the wait for the next request); the request loop then
// closes the handle and ends the process, so the handler never waits on
// Rwlock, which the request it interrupted may hold.
#ifndef REELHOUSE_PRIVATE_H
#define REELHOUSE_PRIVATE_H

#include "kitbag.h"
#include "orbserve.h"
#include "reelhouse.h"

namespace reelhouse {

using orbserve::fail_reply;
using orbserve::load;
using orbserve::MutexLock;
using orbserve::peer_gone;
using orbserve::store;

// What the command line asks for the open.
struct Options {
    int reset = 0;                // unlink the operand before opening it
    int sync = 0;                 // paced replay
    int current = 0;              // paced replay with current times
    char representation[16] = "x";  // of written packets
};
extern Options options;

// Shutdown is set.
inline bool shutting_down() { return load(Shutdown) != 0; }
// A termination signal has arrived (its number, or 0).
int halt_signal();
// Makes the pipe the signal handler writes to; before the handler is
// installed.
void setup_halt_pipe();
// The signal handler's work: async-signal-safe.
void note_signal(int sig);
// After a termination signal: logs it, waits a second, closes the handle
// and ends the process (status 1).
[[noreturn]] void halt();

// Closes Torvikfd under Rwlock, once: what was written is flushed and the
// segment being written is finished.
void close_handle();

// Streams of the connection: the input reads with read, the output writes
// with send (no SIGPIPE; a send that cannot go on for the stream's
// time-out fails, and one interrupted by a termination signal gives up).
void setup_streams(int fd, Bns *in, Bns *out);
// Waits until the input stream has bytes (or end of file, or an error)
// to read: true; false when a termination signal came first.
bool wait_for_input(Bns *in);

// The current time (epoch seconds).
double now();

}  // namespace reelhouse

#endif
