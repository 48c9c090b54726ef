// Helpers the two ring servers share beside the connection state: flags
// written by one thread (or a signal handler) and polled elsewhere, a
// scoped mutex, failed replies and the errors of a peer that has gone.
#ifndef ORBSERVE_H
#define ORBSERVE_H

#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "kestrel.h"

namespace orbserve {

inline int load(const int &flag) {
    return std::atomic_ref<int>(const_cast<int &>(flag)).load(std::memory_order_acquire);
}
inline void store(int &flag, int value) {
    std::atomic_ref<int>(flag).store(value, std::memory_order_release);
}

// Holds a mutex for a scope.
class MutexLock {
  public:
    explicit MutexLock(pthread_mutex_t *mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~MutexLock() { pthread_mutex_unlock(mutex_); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

  private:
    pthread_mutex_t *mutex_;
};

// True for the errors of a send to a client that has gone away, which are
// expected and not logged.
inline bool peer_gone(int err) { return err == EPIPE || err == ECONNRESET; }

// A failed reply: result -1 and the text (nerr its length).
void fail_reply(Orbresponse *reply, const char *text);

// Fills a reply's packet record with a packet read from the ring: its id,
// time and at most maxbytes of its n bytes (all of them when maxbytes is
// negative); the record's buffer grows as needed. The source name is
// already in the record.
void fill_pkg(Pktpkg *pkg, int pktid, double time, const char *bytes, int n, int maxbytes);

// A send on fd blocks for at most timeout milliseconds (none when 0), so a
// client that stops reading cannot hold a server thread for ever.
void limit_send_time(int fd, int timeout);

}  // namespace orbserve

#endif
