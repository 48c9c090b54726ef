// Internals of the process services shared with their tests. Nothing here
// is exported: kitbag is built with hidden visibility, and the test
// binaries, which link kitbag whole, reach these directly.
#ifndef KITBAG_PROCESS_PRIVATE_H
#define KITBAG_PROCESS_PRIVATE_H

#include <pthread.h>

namespace kitbag {

// The clock behind std_now and now_. set_now_source replaces it (null
// restores the system clock) and returns the one it replaced.
using NowSource = double (*)();
NowSource set_now_source(NowSource source);

// How many spare stream slots hold an open stream.
int spare_files_open();

// Holds a POSIX mutex for the life of the guard. (std::mutex would pull in
// the C++ runtime through its error path.)
class MutexGuard {
  public:
    explicit MutexGuard(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~MutexGuard() { pthread_mutex_unlock(&m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

  private:
    pthread_mutex_t &m_;
};

}  // namespace kitbag

#endif
