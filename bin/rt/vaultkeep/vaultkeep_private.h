// Helpers shared by the server's sources.
//
// Flags that one thread writes and others poll (the shutdown flag, the
// verbosity, the message flag, each client's stop and reap flags) are
// always read and written atomically. A client record is written by its
// own client and reap threads and read by others under its state's
// client_mutex.
#ifndef VAULTKEEP_PRIVATE_H
#define VAULTKEEP_PRIVATE_H

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "kitbag.h"
#include "orbserve.h"
#include "vaultkeep.h"

namespace vaultkeep {

using orbserve::fail_reply;
using orbserve::load;
using orbserve::MutexLock;
using orbserve::peer_gone;
using orbserve::store;

inline bool shutting_down() { return load(Params.shutdown) != 0; }
inline bool verbose() { return load(Params.verbose) != 0; }
inline bool messages() { return load(Params.status.messages) != 0; }
inline bool stopped(const Orbclient_state *state) { return load(state->stop) != 0; }

// Holds a state's client_mutex for a scope.
class ClientLock {
  public:
    explicit ClientLock(Orbclient_state *state) : mutex_(&state->client_mutex) {
        pthread_mutex_lock(mutex_);
    }
    ~ClientLock() { pthread_mutex_unlock(mutex_); }
    ClientLock(const ClientLock &) = delete;
    ClientLock &operator=(const ClientLock &) = delete;

  private:
    pthread_mutex_t *mutex_;
};

// A new client thread number: 32 bits, never 0, not given twice in a
// process's first 2^31 connections.
int next_thread_number();

// Stops a client from another thread: sets its stop flag and shuts the
// reading side of its socket down, so that its client thread, blocked
// reading the next request, wakes and ends.
void drop_client(Orbclient_state *state);

// Stops the first client served by thread number `thread`.
void kill_thread(int thread);
// Whether thread number `thread` serves a client; *pktid then receives
// that client's packet id.
bool find_thread(int thread, int *pktid);

// Streams of a connection: reading with recv, writing with send; a send
// that cannot go on for the stream's time-out fails.
void setup_streams(int fd, Bns *in, Bns *out);

// Places the sync word and the response in the stream without sending
// them: 0, or -1 (nothing placed) when the response breaks a bound of the
// wire.
int append_response(Bns *out, Orbresponse *response);

// Sleeps up to `seconds`, in short steps, returning early once `done`
// says so.
template <typename Done>
void nap(double seconds, Done done);

// The current time (epoch seconds).
double now();

}  // namespace vaultkeep

#include <time.h>

template <typename Done>
void vaultkeep::nap(double seconds, Done done) {
    constexpr long kStepNanos = 50 * 1000 * 1000;
    const long steps = static_cast<long>(seconds * 1e9 / kStepNanos);
    for (long i = 0; i < steps && !done(); i++) {
        timespec step = {0, kStepNanos};
        nanosleep(&step, nullptr);
    }
}

#endif
