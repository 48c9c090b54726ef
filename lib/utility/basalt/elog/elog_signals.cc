// The error log: fault-signal handlers, and naming signals by number and
// by name.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "elog.h"
#include "elog_private.h"
#include "kitbag.h"
#include "strtools.h"
#include "tbl.h"

using namespace basalt::elog_detail;

namespace {

Signal_info bysig_info;
char bysig_name[64];
Signal_info byname_info;

constexpr char kNoDescription[] = "no description for signal";
constexpr char kUnrecognized[] = "no description for unrecognized signal";

// The system's description of a signal, or none.
const char *signal_description(int sig) {
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 32)
    return sigdescr_np(sig);
#else
    const char *d = strsignal(sig);
    if (d == nullptr || std::strncmp(d, "Unknown signal", 14) == 0) return nullptr;
    return d;
#endif
}

char *without_sig_prefix(char *name) {
    return std::strncmp(name, "SIG", 3) == 0 ? name + 3 : name;
}

}  // namespace

Signal_info *signal_bysig(int sig) {
    bysig_info.sig = sig;
    char name[64];
    if (sig2str(sig, name) == 0) {
        std::snprintf(bysig_name, sizeof bysig_name, "%s", without_sig_prefix(name));
    } else {
        std::snprintf(bysig_name, sizeof bysig_name, "%d", sig);
    }
    bysig_info.name = bysig_name;
    const char *description = signal_description(sig);
    bysig_info.description = const_cast<char *>(description ? description : kNoDescription);
    return &bysig_info;
}

Signal_info *signal_byname(char *name) {
    byname_info.name = name;
    int sig = -1;
    if (name == nullptr || str2sig(name, &sig) != 0) {
        byname_info.sig = -1;
        byname_info.description = const_cast<char *>(kUnrecognized);
        return &byname_info;
    }
    byname_info.sig = sig;
    const char *description = signal_description(sig);
    byname_info.description = const_cast<char *>(description ? description : kNoDescription);
    return &byname_info;
}

namespace {

// Whether the register lock could be taken at once. The fault handler runs
// in a signal context and must never wait: the fault may have struck while
// this thread, or another one, held the lock.
bool register_free_now() {
    using namespace basalt::elog_detail;
    if (holding_register) return false;
    if (!register_mutex.try_lock()) return false;
    register_mutex.unlock();
    return true;
}

void append(char *buf, std::size_t size, const char *s) {
    std::size_t used = std::strlen(buf);
    while (*s != '\0' && used + 1 < size) buf[used++] = *s++;
    buf[used] = '\0';
}

// Writes "<program> *fault*: Signal <name> : <description>" on standard
// error with write(2) alone and aborts.
[[noreturn]] void fault_without_register(const char *name, const char *description) {
    char buf[1024] = "";
    append(buf, sizeof buf, Program_Name != nullptr ? Program_Name : "");
    append(buf, sizeof buf, " *fault*: Signal ");
    append(buf, sizeof buf, name);
    append(buf, sizeof buf, " : ");
    append(buf, sizeof buf, description);
    append(buf, sizeof buf, "\n");
    std::size_t len = std::strlen(buf);
    const char *p = buf;
    while (len > 0) {
        ssize_t w = ::write(STDERR_FILENO, p, len);
        if (w <= 0) break;
        p += w;
        len -= static_cast<std::size_t>(w);
    }
    std::abort();
}

}  // namespace

extern "C" void _elog_fault(int sig, siginfo_t *info, void *context) {
    Signal_info *s = signal_bysig(sig);
    if (!register_free_now()) fault_without_register(s->name, s->description);
    elog_log(0, "\n%s\n", s->description);
    elog_fault(1, "Signal %s : %s", s->name, s->description);
}

extern "C" void elog_setup_fault_handler(char *signals) {
    if (signals == nullptr) {
        faults.store(const_cast<char *>(""));
        return;
    }
    faults.store(signals);
    char *copy = BASALT_STRDUP(signals, "signals");
    Tbl *names = split(copy, ':');
    for (int i = 0; i < maxtbl(names); i++) {
        char *name = without_sig_prefix(static_cast<char *>(gettbl(names, i)));
        Signal_info *s = signal_byname(name);
        if (s->sig < 0) {
            report_failure("Unrecognized signal name '%s'\n", name);
            continue;
        }
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = _elog_fault;
        action.sa_flags = SA_SIGINFO | SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        if (sigaction(s->sig, &action, nullptr) != 0)
            report_failure("Couldn't intercept signal %s\n", name);
    }
    freetbl(names, nullptr);
    std::free(copy);
}
