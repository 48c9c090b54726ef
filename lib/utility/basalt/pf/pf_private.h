// Parameter files: helpers shared by the library's own parameter-file
// modules. Not part of the public interface (hidden visibility).
#ifndef BASALT_PF_PRIVATE_H
#define BASALT_PF_PRIVATE_H

namespace basalt::pf_detail {

// Raise and lower Pf_busy (atomically) together with the calling thread's
// own count. A parse raises it for its whole length; the path resolver
// raises it while it walks.
void busy_raise() noexcept;
void busy_lower() noexcept;

// True while the calling thread is inside a parse or a path walk: the
// error log must not read its parameter file from there (it would wait on
// a lock the thread already holds).
bool busy_here() noexcept;

// Messages of the parameter-file modules. While the calling thread runs a
// parse they are held and logged once the parser lock has been released,
// so that the parser never waits on the error log's lock while holding its
// own (the log may be waiting for the parser to read "elog"); otherwise
// they are logged at once. flag adds the system's error text (of errno at
// the call).
enum Severity { kLog = 0, kComplain = 2 };
void report(Severity severity, int flag, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Raises Pf_busy for the life of the scope.
class BusyScope {
  public:
    BusyScope() noexcept { busy_raise(); }
    ~BusyScope() { busy_lower(); }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;
};

}  // namespace basalt::pf_detail

#endif
