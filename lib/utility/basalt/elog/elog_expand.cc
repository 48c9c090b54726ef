// The error log: expansion of tag and debugger formats, and the debugger
// hook that starts a debugger on the running process or stops for it.
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "elog.h"
#include "elog_private.h"
#include "installroot.h"
#include "kitbag.h"

using namespace basalt::elog_detail;

namespace {

// `Debugger_running`: 0 until the first debugger was started.
std::atomic<int> debugger_running{0};

constexpr const char *kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The expansion under way: text in a buffer of `rmax` bytes, of which at
// most rmax - 1 are used, so that the terminator always fits.
class Expansion {
  public:
    Expansion(char *result, int rmax) : out_(result), capacity_(rmax > 0 ? rmax - 1 : 0) {}

    void add(const char *s) {
        while (*s != '\0' && length_ < capacity_) out_[length_++] = *s++;
    }
    void add(char c) {
        if (length_ < capacity_) out_[length_++] = c;
    }
    int length() const { return length_; }
    void finish() { out_[length_] = '\0'; }

  private:
    char *out_;
    int capacity_;
    int length_ = 0;
};

// Looks a program name up along PATH (with datafile); "???" when it is not
// found.
void search_path(const char *name, char *found, std::size_t size) {
    char *path = datafile("PATH", name);
    std::snprintf(found, size, "%s", path != nullptr ? path : "???");
    std::free(path);
}

// The executable for %r.
void executable(char *out, std::size_t size) {
    const char *name = getexecname();
    if (name == nullptr || name[0] == '\0') {
        char **argv = argv_copy.load();
        name = (argv != nullptr && argv[0] != nullptr) ? argv[0] : nullptr;
    }
    if (name == nullptr || name[0] == '\0') {
        if (Program_Name[0] != '\0' && std::strcmp(Program_Name, "***") != 0)
            name = Program_Name;
    }
    if (name == nullptr || name[0] == '\0') {
        std::snprintf(out, size, "* no argv *");
    } else if (name[0] == '/' || name[0] == '.') {
        std::snprintf(out, size, "%s", name);
    } else {
        search_path(name, out, size);
    }
}

void expand_item(char item, Expansion &x) {
    char buf[kProgramNameSize];
    switch (item) {
        case 'P':
            x.add(Program_Name);
            break;
        case 'T':
            std::snprintf(buf, sizeof buf, "%d", static_cast<int>(::syscall(SYS_gettid)));
            x.add(buf);
            break;
        case 'a': {
            char **argv = argv_copy.load();
            if (argv != nullptr && argv[0] != nullptr) {
                for (int i = 1; argv[i] != nullptr; i++) {
                    x.add(argv[i]);
                    x.add(' ');
                }
            }
            break;
        }
        case 'h':
            buf[0] = '\0';
            my_hostname(buf);
            x.add(buf);
            break;
        case 'p':
            std::snprintf(buf, sizeof buf, "%d", static_cast<int>(::getpid()));
            x.add(buf);
            break;
        case 'r':
            executable(buf, sizeof buf);
            x.add(buf);
            break;
        case 't': {
            time_t now = ::time(nullptr);
            struct tm tm;
            localtime_r(&now, &tm);
            std::snprintf(buf, sizeof buf, "%3s %3s %2d %2d:%02d:%02d %4d",
                          kWeekdays[tm.tm_wday], kMonths[tm.tm_mon], tm.tm_mday,
                          tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
            x.add(buf);
            break;
        }
        case 'u': {
            time_t now = ::time(nullptr);
            struct tm tm;
            gmtime_r(&now, &tm);
            std::snprintf(buf, sizeof buf, "%04d-%03d %2d:%02d:%02d", tm.tm_year + 1900,
                          tm.tm_yday + 1, tm.tm_hour, tm.tm_min, tm.tm_sec);
            x.add(buf);
            break;
        }
        default:
            x.add(item);
            break;
    }
}

}  // namespace

extern "C" void elog_expand(char *format, char *result, int rmax) {
    if (result == nullptr || rmax <= 0) return;
    Expansion x(result, rmax);
    for (const char *p = format ? format : ""; *p != '\0'; p++) {
        if (*p == '%') {
            if (*++p == '\0') break;
            expand_item(*p, x);
        } else {
            x.add(*p);
        }
        if (x.length() > rmax - 100) {
            if (x.length() < rmax - 5) x.add(" *...");
            break;
        }
    }
    x.finish();
}

extern "C" void _elog_debug(char *command) {
    if (debugger_running.exchange(1) == 0) {
        char expanded[kCommandLimit];
        {
            RegisterLock lock;
            elog_expand(command, expanded, kCommandLimit);
        }
        std::fprintf(stderr, "Running debugger: '%s'\n", expanded);
        std::fflush(stderr);
        errno = 0;
        if (std::system(expanded) != 0) {
            report_failure("Can't run debugger '%s'\n", expanded);
            std::exit(1);
        }
    } else {
        ::kill(::getpid(), SIGSTOP);
    }
    ::sleep(static_cast<unsigned>(elog_wait.load() > 0 ? elog_wait.load() : 0));
}

void elog_debugger(void) {
    char *command = setting_value(debug_setting[kFault]);
    if (command != nullptr && command[0] != '\0') _elog_debug(command);
}
