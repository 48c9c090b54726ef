// Termination signals of programs that keep a state file, the halt variant
// and die_soon.
//
// The handlers only set flags and wake a helper thread through a pipe; the
// thread arms the timers, saves the state and ends the program, so nothing
// that may lock or allocate runs inside a handler. Where the thread is
// missing (it could not be started, or the process is a forked child of the
// one that started it) the work is done in the handler itself, never
// waiting for the state's mutex.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "bury.h"
#include "bury_private.h"
#include "elog.h"
#include "kitbag_process.h"

namespace {

using basalt::bury_detail::grave;
using basalt::bury_detail::grave_mutex;

enum Wakeup : unsigned char {
    kGraveSignal = 'S',  // a termination signal with a state file
    kGraveAlarm = 'A',   // the state file's alarm
    kHaltSignal = 'H',   // a termination signal of the halt variant
    kHaltAlarm = 'h',    // the halt variant's alarm
    kDieNow = 'D',       // the die_soon alarm
};

pthread_mutex_t watcher_mutex = PTHREAD_MUTEX_INITIALIZER;
int wake_read = -1;
int wake_write = -1;  // read by the handlers: atomic access only
bool atfork_registered = false;

// Statics of the halt variant.
int *Halt_flag = nullptr;
void (*Halt_Mortician)(int) = nullptr;
int Halt_In_Seconds = 0;

void alarm_handler(int sig);
void halt_alarm_handler(int sig);
void die_now(int sig);

// Saves the state unless the mutex is held; in a handler it must not wait.
void save(bool in_handler, bool only_if_alarm_set) {
    Grave *g = __atomic_load_n(&grave, __ATOMIC_ACQUIRE);
    if (g == nullptr) return;
    if (in_handler) {
        if (pthread_mutex_trylock(&grave_mutex) != 0) return;
    } else {
        pthread_mutex_lock(&grave_mutex);
    }
    if (!only_if_alarm_set || __atomic_load_n(&g->alarm_set, __ATOMIC_RELAXED) == 1)
        basalt::bury_detail::bury_locked(g);
    pthread_mutex_unlock(&grave_mutex);
}

void dispatch(unsigned char kind, int sig, bool in_handler) {
    Grave *g = __atomic_load_n(&grave, __ATOMIC_ACQUIRE);
    switch (kind) {
        case kGraveSignal:
            if (g == nullptr) return;
            if (g->sec > 0) {
                if (std_set_timer(alarm_handler, g->sec) < 0) elog_die(0, "failed to set timer");
            } else if (g->sec == 0) {
                save(in_handler, false);
                std::exit(1);
            }
            return;
        case kGraveAlarm:
            // No bury since the signal: save and end the program.
            if (g == nullptr || __atomic_load_n(&g->alarm_set, __ATOMIC_RELAXED) != 1) return;
            save(in_handler, true);
            elog_die(1, "quitting from resurrection alarm\n");
        case kHaltSignal:
            if (std_set_timer(halt_alarm_handler, Halt_In_Seconds) < 0)
                elog_die(0, "received signal #%d but failed to set alarm timer", sig);
            return;
        case kHaltAlarm:
            if (Halt_Mortician != nullptr) Halt_Mortician(sig);
            elog_die(1, "quitting from resurrection alarm\n");
        case kDieNow:
            elog_die(1, "quitting from die_soon alarm\n");
        default:
            return;
    }
}

// From a handler: hand the work to the helper thread.
void wake(unsigned char kind, int sig) {
    int fd = __atomic_load_n(&wake_write, __ATOMIC_ACQUIRE);
    if (fd < 0) {
        dispatch(kind, sig, true);
        return;
    }
    unsigned char msg[2] = {kind, static_cast<unsigned char>(sig)};
    ssize_t n;
    do {
        n = write(fd, msg, sizeof msg);
    } while (n < 0 && errno == EINTR);
}

void *watch(void *arg) {
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    for (;;) {
        unsigned char msg[2];
        std::size_t got = 0;
        while (got < sizeof msg) {
            ssize_t n = read(fd, msg + got, sizeof msg - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return nullptr;
            got += static_cast<std::size_t>(n);
        }
        errno = 0;
        dispatch(msg[0], msg[1], false);
    }
}

// A forked child has no helper thread: its handlers do the work themselves.
void forget_watcher_in_child() {
    int w = __atomic_exchange_n(&wake_write, -1, __ATOMIC_ACQ_REL);
    if (w >= 0) close(w);
    if (wake_read >= 0) close(wake_read);
    wake_read = -1;
}

void start_watcher() {
    pthread_mutex_lock(&watcher_mutex);
    if (__atomic_load_n(&wake_write, __ATOMIC_ACQUIRE) >= 0) {
        pthread_mutex_unlock(&watcher_mutex);
        return;
    }
    if (!atfork_registered) {
        pthread_atfork(nullptr, nullptr, forget_watcher_in_child);
        atfork_registered = true;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        errno = 0;
        pthread_mutex_unlock(&watcher_mutex);
        return;
    }
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);

    // The thread takes no signals: they go to the program's threads.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, watch, reinterpret_cast<void *>(static_cast<intptr_t>(fds[0])));
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    if (rc != 0) {
        close(fds[0]);
        close(fds[1]);
    } else {
        wake_read = fds[0];
        __atomic_store_n(&wake_write, fds[1], __ATOMIC_RELEASE);
    }
    errno = 0;
    pthread_mutex_unlock(&watcher_mutex);
}

void signal_handler(int sig) {
    int saved = errno;
    Grave *g = __atomic_load_n(&grave, __ATOMIC_ACQUIRE);
    if (g != nullptr) {
        __atomic_store_n(&g->alarm_set, 1, __ATOMIC_RELAXED);
        if (g->signal_stop != nullptr) __atomic_store_n(g->signal_stop, sig, __ATOMIC_RELAXED);
        if (g->sec >= 0) wake(kGraveSignal, sig);
    }
    errno = saved;
}

void alarm_handler(int sig) {
    int saved = errno;
    wake(kGraveAlarm, sig);
    errno = saved;
}

void halt_signal_handler(int sig) {
    int saved = errno;
    int *flag = __atomic_load_n(&Halt_flag, __ATOMIC_ACQUIRE);
    if (flag != nullptr) __atomic_store_n(flag, 1, __ATOMIC_RELAXED);
    if (__atomic_load_n(&Halt_In_Seconds, __ATOMIC_RELAXED) > 0) wake(kHaltSignal, sig);
    errno = saved;
}

void halt_alarm_handler(int sig) {
    int saved = errno;
    wake(kHaltAlarm, sig);
    errno = saved;
}

void die_now(int sig) {
    int saved = errno;
    wake(kDieNow, sig);
    errno = saved;
}

}  // namespace

namespace basalt::bury_detail {

void install_grave_handlers() {
    start_watcher();
    setup_signal_handlers(signal_handler);
}

}  // namespace basalt::bury_detail

extern "C" {

BASALT_API void setup_signal_handlers(void (*handler)(int)) {
    static const struct {
        int sig;
        const char *message;
    } signals[] = {
        {SIGHUP, "Couldn't intercept signal SIGHUP\n"},
        {SIGINT, "Couldn't intercept signal SIGINT\n"},
        {SIGQUIT, "Couldn't intercept signal SIGQUIT\n"},
        {SIGTERM, "Couldn't intercept signal SIGTERM\n"},
    };
    for (const auto &s : signals) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        if (sigaction(s.sig, &action, nullptr) != 0) elog_die(1, "%s", s.message);
    }
}

BASALT_API void setup_signals(int *haltflag, void (*mortician)(int), int timeout) {
    Halt_Mortician = mortician;
    __atomic_store_n(&Halt_In_Seconds, timeout, __ATOMIC_RELAXED);
    __atomic_store_n(&Halt_flag, haltflag, __ATOMIC_RELEASE);
    start_watcher();
    setup_signal_handlers(halt_signal_handler);
}

BASALT_API void die_soon(double seconds) {
    start_watcher();
    if (std_set_timer(die_now, seconds) < 0) {
        sleep(static_cast<unsigned>(seconds));
        elog_die(0, "failed to setup timer to die");
    }
}

}  // extern "C"
