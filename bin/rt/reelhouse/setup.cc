// Start-up and the connection: the process-wide state, the status
// record, the streams on the connected socket, the first request, the
// open of the served file or directory, and the way a termination signal
// reaches the request loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "reelhouse.h"
#include "reelhouse_private.h"
#include "torvik.h"

namespace {

constexpr char kVersion[] = "$Date: 2006/08/05 22:38:55 $";
// Host name given to the client record: the connection comes through the
// launcher on this host.
constexpr char kLoopbackName[] = "localhost";
constexpr int kDottedSize = 32;

std::atomic<int> received_signal{0};
int halt_pipe[2] = {-1, -1};

int read_routine(int fd, void *buffer, int count, int flags) {
    const ssize_t n = ::read(fd, buffer, static_cast<size_t>(count));
    if (n < 0 && errno == EINTR && reelhouse::halt_signal() != 0) errno = ECANCELED;
    return static_cast<int>(n);
}

int send_routine(int fd, void *buffer, int count, int flags) {
    const ssize_t n = ::send(fd, buffer, static_cast<size_t>(count), flags | MSG_NOSIGNAL);
    // A termination signal ends a send that waits for a client that does
    // not read: the stream gives up instead of trying again.
    if (n < 0 && errno == EINTR && reelhouse::halt_signal() != 0) errno = ECANCELED;
    return static_cast<int>(n);
}

enum class Input { kReady, kTimedOut, kHalt };

// Waits up to timeout_ms (negative: without limit) for input on the
// stream or a termination signal.
Input await(Bns *in, int timeout_ms) {
    if (in->lp > in->fp) return Input::kReady;
    for (;;) {
        if (reelhouse::halt_signal() != 0) return Input::kHalt;
        pollfd p[2] = {{in->fd, POLLIN, 0}, {halt_pipe[0], POLLIN, 0}};
        const int n = ::poll(p, halt_pipe[0] >= 0 ? 2 : 1, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        if (reelhouse::halt_signal() != 0) return Input::kHalt;
        if (n == 0) return Input::kTimedOut;
        return Input::kReady;  // input, end of file or an error: the read tells
    }
}

void fill_who(char *who, std::size_t size) {
    const passwd *entry = getpwuid(getuid());
    if (entry != nullptr && entry->pw_name != nullptr)
        std::snprintf(who, size, "%.*s", static_cast<int>(size - 1), entry->pw_name);
    else  // no entry in the password database: the number
        std::snprintf(who, size, "%u", static_cast<unsigned>(getuid()));
}

// The first IPv4 address of the host name, or four bytes 0xff.
void fill_address(const char *host, char *address) {
    std::memset(address, 0xff, 4);
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0) return;
    for (const addrinfo *a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        const sockaddr_in *sa = reinterpret_cast<const sockaddr_in *>(a->ai_addr);
        std::memcpy(address, &sa->sin_addr.s_addr, 4);
        break;
    }
    freeaddrinfo(found);
}

// The client record of an open: from the open string and the peer.
Orbclient *new_client(int fd, const Orbrequest *request, const sockaddr_in &peer) {
    Orbclient *client = newOrbclient();
    const OrbOpenString *hello = request->hello;
    client->fd = fd;
    std::memcpy(client->who, hello->who, sizeof client->who);
    client->who[sizeof client->who - 1] = '\0';
    std::memcpy(client->what, hello->what, sizeof client->what);
    client->what[sizeof client->what - 1] = '\0';
    client->pid = hello->pid;
    std::snprintf(client->host, sizeof client->host, "%s", kLoopbackName);
    std::memcpy(client->address, &peer.sin_addr.s_addr, sizeof client->address);
    client->port = ntohs(peer.sin_port);
    client->perm = hello->perm;
    client->started = reelhouse::now();
    client->bytes = 0;
    client->packets = 0;
    return client;
}

void count_rejected() {
    reelhouse::MutexLock hold(&Status_mutex);
    Status.rejected++;
}

}  // namespace

namespace reelhouse {

Options options;

double now() { return std_now(); }

int halt_signal() { return received_signal.load(std::memory_order_acquire); }

void setup_halt_pipe() {
    if (pipe2(halt_pipe, O_CLOEXEC | O_NONBLOCK) != 0) halt_pipe[0] = halt_pipe[1] = -1;
}

void note_signal(int sig) {
    int none = 0;
    received_signal.compare_exchange_strong(none, sig, std::memory_order_acq_rel);
    store(Shutdown, 1);
    if (halt_pipe[1] >= 0) {
        const char byte = 's';
        (void)!::write(halt_pipe[1], &byte, 1);
    }
}

void close_handle() {
    MutexLock hold(&Rwlock);
    if (Torvikfd >= 0) {
        torvikclose(Torvikfd);
        Torvikfd = -1;
    }
}

void halt() {
    const int sig = halt_signal();
    const Signal_info *info = signal_bysig(sig);
    elog_notify(1, "received signal #%d=%s: %s\n\tShutting down\n", sig, info->name,
                info->description);
    sleep(1);
    close_handle();
    elog_die(1, "halted by signal #%d\n", sig);
}

void setup_streams(int fd, Bns *in, Bns *out) {
    for (Bns *b : {in, out}) {
        b->read_routine = read_routine;
        b->write_routine = send_routine;
    }
    // A client that stops reading blocks a send for the stream time-out at
    // most; then the send fails and the connection ends.
    orbserve::limit_send_time(fd, out->timeout);
}

bool wait_for_input(Bns *in) { return await(in, -1) != Input::kHalt; }

}  // namespace reelhouse

extern "C" {

int Torvikfd = -1;
Orbstat Status;
pthread_mutex_t Status_mutex = PTHREAD_MUTEX_INITIALIZER;
Tbl *Clients = nullptr;
pthread_mutex_t Clients_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t Rwlock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t Added = PTHREAD_COND_INITIALIZER;
pthread_mutex_t Added_mutex = PTHREAD_MUTEX_INITIALIZER;
int Shutdown = 0;

void setup_Status(int port) {
    reelhouse::MutexLock hold(&Status_mutex);
    Orbstat &s = Status;
    s.started = reelhouse::now();
    s.errors = 0;
    s.closes = 0;
    s.opens = 0;
    std::snprintf(s.version, sizeof s.version, "%s", kVersion);
    s.port = port;
    fill_who(s.who, sizeof s.who);
    s.pid = static_cast<int>(getpid());
    utsname host;
    if (uname(&host) != 0) std::strcpy(host.nodename, "");
    std::snprintf(s.host, sizeof s.host, "%.*s", static_cast<int>(sizeof s.host - 1),
                  host.nodename);
    fill_address(s.host, s.address);
}

void setup_mutexes(void) {
    if (mutex_init(&Rwlock, USYNC_THREAD, nullptr) != 0)
        elog_die(0, "failed to initialize reader/writer lock\n");
    if (cond_init(&Added, USYNC_THREAD, nullptr) != 0)
        elog_die(0, "failed to initialize additions condition variable\n");
    if (mutex_init(&Added_mutex, USYNC_THREAD, nullptr) != 0)
        elog_die(0, "failed to initialize additions mutex\n");
}

int setup_orb(char *name, int perm, int reset, int sync, int current) {
    if (perm != 'r' && perm != 'w') return -2;
    if (reset) {
        elog_notify(0, "resetting ring buffer at open\n");
        unlink(name);
    }
    reelhouse::MutexLock hold(&Rwlock);
    Torvikfd = torvikopen(name, const_cast<char *>(perm == 'r' ? "r" : "x"));
    if (Torvikfd < 0) {
        Torvikfd = -1;
        return -1;
    }
    if (current)
        torvikset(Torvikfd, TORVIK_SYNCHRONOUS, 1, TORVIK_CURRENT, 1, 0);
    else if (sync)
        torvikset(Torvikfd, TORVIK_SYNCHRONOUS, 1, 0);
    torvikset(Torvikfd, TORVIK_REPRESENTATION, reelhouse::options.representation, 0);
    return Torvikfd;
}

Orbclient_state *setup_state(int fd, char *name) {
    Bns *in = bnsnew(fd, 0);
    Bns *out = bnsnew(fd, 0);
    reelhouse::setup_streams(fd, in, out);
    Orbrequest *request = newOrbrequest();
    request->what = -1;

    const Input waited = await(in, in->timeout);
    if (waited == Input::kHalt) reelhouse::halt();
    const bool received = waited == Input::kReady && recvOrbrequest(in, request) == 0;
    const int code = received ? request->what : -1;
    if (!received || (code != ORBOPEN && code != ORBRUP) || request->hello == nullptr) {
        if (!received)
            elog_complain(1, "couldn't read initial open sequence\n");
        else
            elog_complain(1, "initial request not ORBOPEN\n");
        count_rejected();
        bnsfree(in);
        bnsfree(out);
        freeOrbrequest(request);
        return nullptr;
    }

    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET) {
        elog_complain(1, "Couldn't get peername\n");
        std::memset(&peer, 0, sizeof peer);
    }
    Orbclient_state *state = newOrbclient_state();
    inet_ntop(AF_INET, &peer.sin_addr, state->ip_address, kDottedSize);
    state->in = in;
    state->out = out;
    state->aclient = new_client(fd, request, peer);
    state->request = request;
    if (request->pkg == nullptr) {
        request->pkg = newPktpkg();
        request->sZpkg = static_cast<int>(sizeof(Pktpkg));
    }
    Orbresponse *reply = newOrbresponse();
    reply->pkg = newPktpkg();
    reply->sZpkg = static_cast<int>(sizeof(Pktpkg));
    state->reply = reply;
    Orbclient *client = state->aclient;
    client->nrequests++;
    client->lastrequest = code;
    client->read = static_cast<unsigned int>(in->nbytes);
    client->nreads = static_cast<unsigned int>(in->nsys);
    client->written = static_cast<unsigned int>(out->nbytes);
    client->nwrites = static_cast<unsigned int>(out->nsys);
    {
        reelhouse::MutexLock hold(&Rwlock);
        client->pktid = _orblatest();
    }

    reply->what = code;
    reply->result = 0;
    reply->server_start = Status.started;
    reply->latest_pktid = client->pktid;
    if (code == ORBRUP) {
        reply->active = 0;
        {
            reelhouse::MutexLock hold(&Clients_mutex);
            const int n = maxtbl(Clients);
            for (int i = 0; i < n; i++) {
                const Orbclient_state *s = static_cast<Orbclient_state *>(gettbl(Clients, i));
                if (s != nullptr && s->aclient->thread == request->athread) reply->active = 1;
            }
        }
        if (reelhouse::load(Status.connections))
            elog_notify(0, "Returning %d to rup for thread #%d\n", reply->active,
                        request->athread);
    } else {
        // The file or directory is opened before the client hears that the
        // open succeeded; a failed open is refused and ends the program.
        const char perm = request->hello->perm;
        const int opened = setup_orb(name, perm, reelhouse::options.reset,
                                     reelhouse::options.sync, reelhouse::options.current);
        if (opened < 0) {
            char text[512];
            if (opened == -2)
                std::snprintf(text, sizeof text, "unrecognized permission code '%c'", perm);
            else
                std::snprintf(text, sizeof text, "Can't open reelhouse %s", name);
            reelhouse::fail_reply(reply, text);
            count_rejected();
            sendOrbresponse(out, reply);
            freeOrbclient_state(state);
            elog_die(opened == -2 ? 0 : 1, "%s", text);
        }
    }

    if (sendOrbresponse(out, reply) != 0) {
        elog_complain(1, "failed to send %s reply\n", code == ORBRUP ? "orbrup" : "orbopen");
        freeOrbclient_state(state);
        return nullptr;
    }
    if (code == ORBRUP) {
        freeOrbclient_state(state);
        return nullptr;
    }
    return state;
}

}  // extern "C"
