// Shared state and helpers of the error log's own files. Not part of the
// public interface: everything here has hidden visibility.
#ifndef BASALT_ELOG_PRIVATE_H
#define BASALT_ELOG_PRIVATE_H

#include <signal.h>

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <cstddef>

#include "elog.h"
#include "tbl.h"

namespace basalt::elog_detail {

constexpr int kSeverities = 7;
enum Severity {
    kLog = 0,
    kNotify = 1,
    kComplain = 2,
    kDie = 3,
    kFault = 4,
    kDebug = 5,
    kAlert = 6,
};

// Text limits of one message and of an expanded tag or command.
constexpr int kMessageBuffer = 10240;
constexpr int kTagBuffer = 1024;
constexpr int kTagLimit = 1023;
constexpr int kCommandLimit = 1024;
constexpr int kProgramNameSize = 4096;

using Callback = int (*)(int severity, char *text, Tbl *tbl);

// One setting of one severity: a built-in default or a string the log owns
// (both freed never / only during initialisation), or a caller's string
// stored by elog_set. The value is read without the register lock by the
// logging path, so it is atomic; `owned` is touched under the lock only.
struct Setting {
    std::atomic<char *> value{nullptr};
    bool owned = false;
};

extern const char *const kSeverityNames[kSeverities];
extern const char *const kDefaultTag[kSeverities];
extern const char *const kDefaultDeliver[kSeverities];
extern const char *const kDefaultDebug[kSeverities];
extern const char kDefaultSignals[];

extern Setting tag_setting[kSeverities];
extern Setting deliver_setting[kSeverities];
extern Setting debug_setting[kSeverities];

// The register lock `Lock`: guards the register, the printers, the one-time
// initialisation and the expansion of the debugger command.
extern std::mutex register_mutex;
// The register `Elog_tbl`: a direct list of Elog_msg. Guarded by the lock.
extern Tbl *register_tbl;
// `Elog_init`: set (with release) once elog_init has done its one-time work.
extern std::atomic<bool> initialised;
extern std::atomic<int> max_msg;                  // Max_msg
extern std::atomic<int> elog_wait;                // Elog_wait
extern std::atomic<char *> faults;                // Faults
extern std::atomic<Callback> callback;            // elog_callback
extern std::atomic<int> argc_copy;                // Argc
extern std::atomic<char **> argv_copy;            // Argv

// True while the calling thread holds the register lock; a message logged
// then (an out-of-memory death inside a printer, a complaint while
// elog_init runs) must not wait on the lock and goes to standard error.
extern thread_local bool holding_register;

// Takes the register lock unless the calling thread already holds it, so
// that the log's own nested calls cannot deadlock on the plain mutex.
class RegisterLock {
  public:
    RegisterLock() : owns_(!holding_register) {
        if (owns_) {
            register_mutex.lock();
            holding_register = true;
        }
    }
    ~RegisterLock() {
        if (owns_) {
            holding_register = false;
            register_mutex.unlock();
        }
    }
    RegisterLock(const RegisterLock &) = delete;
    RegisterLock &operator=(const RegisterLock &) = delete;

  private:
    bool owns_;
};

// Setting values are read as they stand; an unset setting reads as null.
inline char *setting_value(const Setting &s) { return s.value.load(); }

// Changes of a setting; the caller holds the register lock. A replaced
// owned string is freed only during initialisation (`free_old`); otherwise
// it is kept reachable, since another thread may still be reading it.
void set_owned_copy(Setting &s, const char *text, bool free_old);
void set_default(Setting &s, const char *text, bool free_old);
void set_callers(Setting &s, char *text);

// Keeps a replaced string (or array) alive for the rest of the process.
void retire(void *p);

// The system's text for an error number, or "Unknown error: %d", written
// into buf (no allocation, so that it serves an out-of-memory death too).
void system_error_text(int err, char *buf, std::size_t size);

// Failure of the log's own work: the message on standard error, the
// system-error line (as perror prints it with the prefix "\t") when errno
// is not 0, then the whole register on standard error, which is emptied;
// errno becomes 0.
void report_failure(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Drops the register's messages from index n on (lock held or taken).
void truncate_register(int n);

// Expansion of a tag setting into `out` (kTagBuffer bytes): empty for an
// unset tag.
void expand_tag(int severity, char *out);

}  // namespace basalt::elog_detail

#endif
