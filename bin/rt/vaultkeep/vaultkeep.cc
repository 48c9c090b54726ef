// vaultkeep: the disk ring server. Start-up, the accept loop and the
// orderly shutdown on a termination signal.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vaultkeep.h"
#include "vaultkeep_private.h"

namespace {

constexpr char kRevision[] = "$Revision: 1.7 $ $Date: 2006/07/13 22:57:38 $\n";
constexpr int kBacklog = 150;
constexpr int kExtraSize = 65;
// The shutdown thread waits this long before ending the process.
constexpr unsigned kShutdownDelay = 3;
constexpr double kDieSoonDelay = 5.0;
// Pauses after a failed accept: the first, and the longest.
constexpr int kFirstBackoffMillis = 50;
constexpr int kLongestBackoffMillis = 2000;
constexpr double kReportInterval = 1.0;
// The error log's severity of elog_die.
constexpr int kDieSeverity = 3;
constexpr int kTerminationSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Stack of the connection, client, reap and shutdown threads: enough for
// the library calls they make, small enough for hundreds of clients in
// the address space of a 32-bit board.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kThreadStack = 4u << 20;
#else
constexpr std::size_t kThreadStack = 512u << 10;
#endif

// As elog_die, but the process ends at once: other threads are still
// serving, and the destructors of static objects they use must not run
// under them.
[[noreturn]] __attribute__((format(printf, 2, 3))) void die_now(int flag, const char *format,
                                                                ...) {
    va_list args;
    va_start(args, format);
    elog(kDieSeverity, flag, format, args);
    va_end(args);
    std::fflush(nullptr);
    _exit(1);
}

[[noreturn]] void usage() {
    elog_notify(0, "Usage: %s [-p pf] [-v] dir[:port]\n", Program_Name);
    banner(Program_Name, const_cast<char *>(kRevision));
    std::exit(1);
}

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kTerminationSignals) sigaddset(&set, sig);
    return set;
}

// Takes the termination signals, which every other thread blocks.
void *signal_thread(void *) {
    const sigset_t set = termination_signals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0) haltbysignal(sig);
    }
    return nullptr;
}

int listen_on(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) elog_die(1, "Can't open stream socket\n");
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        elog_die(1, "Couldn't set socket to reuse an address\n");
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        elog_die(1, "Can't bind local address #%d", port);
    (void)listen(fd, kBacklog);
    return fd;
}

void pause_millis(int millis) {
    timespec t = {millis / 1000, (millis % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

[[noreturn]] void accept_loop(int listener) {
    int backoff = 0;
    double reported = 0.0;
    for (;;) {
        sockaddr_in peer;
        socklen_t len = sizeof peer;
        const int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            {
                vaultkeep::MutexLock hold(&Params.status_mutex);
                Params.status.errors++;
            }
            // Reported, and idle clients looked for, once a second at most.
            const double now = vaultkeep::now();
            if (now - reported >= kReportInterval) {
                elog_complain(1, "accept error: fd = %d\n", fd);
                cleanup_threads();
                reported = now;
            }
            // Whatever failed (descriptors, memory) is given time to come
            // back: the pause grows with each failure and shrinks with each
            // success.
            backoff = std::clamp(2 * backoff, kFirstBackoffMillis, kLongestBackoffMillis);
            pause_millis(backoff);
            continue;
        }
        backoff /= 2;
        // Replies and batches of packets go out whole; holding back the
        // last small one until the previous is acknowledged only delays it.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (vaultkeep::verbose()) elog_notify(0, "accepted a new socket %d\n", fd);
        if (vaultkeep::shutting_down()) {
            if (vaultkeep::verbose()) elog_complain(0, "not accepting new connections\n");
            ::close(fd);
            continue;
        }
        const int rc = thr_create(nullptr, 0, launch, reinterpret_cast<void *>(static_cast<intptr_t>(fd)),
                                  THR_DETACHED, nullptr);
        if (rc != 0) {
            errno = rc;
            elog_complain(1, "failed to create client thread\n");
            ::close(fd);
        }
    }
}

}  // namespace

extern "C" {

void *death_thread(void *arg) {
    const int sig = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    const Signal_info *info = signal_bysig(sig);
    elog_notify(0, "received signal #%d=%s: %s\n\tShutting down\n", sig, info->name,
                info->description);
    sleep(kShutdownDelay);
    die_now(1, "halted by signal #%d\n", sig);
}

void haltbysignal(int sig) {
    if (vaultkeep::shutting_down()) return;
    vaultkeep::store(Params.shutdown, 1);
    const int rc = thr_create(nullptr, 0, death_thread, reinterpret_cast<void *>(static_cast<intptr_t>(sig)),
                              THR_DETACHED, nullptr);
    if (rc != 0) {
        errno = rc;
        elog_complain(1, "failed to create the shutdown thread\n");
        die_soon(kDieSoonDelay);
    }
}

}  // extern "C"

int main(int argc, char **argv) {
    elog_init(argc, argv);
    elog_notify(0, "%s : $Revision: 1.7 $ $Date: 2006/07/13 22:57:38 $\n", argv[0]);

    static char default_pf[] = "vaultkeep";
    Params.pfname = default_pf;
    Params.port = ORB_DEFAULT_PORT;
    Params.verbose = 0;
    Params.server_start = vaultkeep::now();
    Params.status.started = Params.server_start;

    int errors = 0;
    int c;
    while ((c = getopt(argc, argv, "+p:vV")) != -1) {
        switch (c) {
            case 'p': Params.pfname = optarg; break;
            case 'v': Params.verbose++; break;
            case 'V': usage();
            default: errors++; break;
        }
    }
    if (errors > 0 || argc - optind != 1) usage();

    char *operand = argv[optind];
    char extra[kExtraSize];
    if (torvikportnum(operand, Params.torvikdir, &Params.port, extra) != 0)
        elog_die(0, "Don't understand vaultkeep name: '%s'", operand);

    const int listener = listen_on(Params.port);
    setup_status(Params.port);
    show_vaultkeep();

    Pf *pf = nullptr;
    if (pfread(Params.pfname, &pf) != 0) elog_die(1, "Can't read parameter file\n");
    pffree(pf);

    Params.clients = newtbl(25);
    // Every thread from here on blocks the termination signals; one thread
    // takes them with sigwait.
    const sigset_t signals = termination_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    pthread_attr_t defaults;
    pthread_attr_init(&defaults);
    pthread_attr_setstacksize(&defaults, kThreadStack);
    pthread_setattr_default_np(&defaults);
    pthread_attr_destroy(&defaults);
    if (thr_create(nullptr, 0, signal_thread, nullptr, THR_DETACHED, nullptr) != 0)
        elog_die(1, "Can't start the signal thread\n");
    ignoreSIGPIPE();

    if (vaultkeep::verbose()) elog_notify(0, "waiting for connections on port %d", Params.port);
    accept_loop(listener);
}
