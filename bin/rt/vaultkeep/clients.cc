// The client table: entering and removing clients, scans of it (client
// lists, liveness, kill requests) and the recovery that stops idle clients
// after a failed accept.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "kestrel_alloc.h"
#include "vaultkeep.h"
#include "vaultkeep_private.h"

namespace {

// A client that has received nothing, asked for nothing and never reaped
// for this long is ended by the recovery after a failed accept.
constexpr double kIdleSeconds = 600.0;

std::atomic<int> thread_numbers{0};

Orbclient_state *entry(int i) { return static_cast<Orbclient_state *>(gettbl(Params.clients, i)); }

}  // namespace

namespace vaultkeep {

int next_thread_number() {
    for (;;) {
        const int n = thread_numbers.fetch_add(1, std::memory_order_relaxed) + 1;
        if (n > 0) return n;
        thread_numbers.store(0);  // wrapped: start again at 1
    }
}

void drop_client(Orbclient_state *state) {
    store(state->stop, 1);
    // Its client thread's read ends at once; a reply may still be sent.
    ::shutdown(state->in->fd, SHUT_RD);
}

// Stops the first client served by thread number `thread`.
void kill_thread(int thread) {
    MutexLock hold(&Params.clients_mutex);
    const int n = maxtbl(Params.clients);
    for (int i = 0; i < n; i++) {
        Orbclient_state *s = entry(i);
        if (s != nullptr && s->aclient->thread == thread) {
            drop_client(s);
            break;
        }
    }
}

// Whether thread number `thread` serves a client; its pktid when it does.
bool find_thread(int thread, int *pktid) {
    MutexLock hold(&Params.clients_mutex);
    const int n = maxtbl(Params.clients);
    for (int i = 0; i < n; i++) {
        Orbclient_state *s = entry(i);
        if (s == nullptr || s->aclient->thread != thread) continue;
        ClientLock client(s);
        *pktid = s->aclient->pktid;
        return true;
    }
    return false;
}

}  // namespace vaultkeep

extern "C" {

void open_client(Orbclient_state *state) {
    {
        vaultkeep::MutexLock hold(&Params.clients_mutex);
        settbl(Params.clients, state->aclient->fd, state);
    }
    vaultkeep::MutexLock hold(&Params.status_mutex);
    Params.status.opens++;
    Params.status.nclients++;
}

void close_client(Orbclient_state *state) {
    const int fd = state->aclient->fd;
    {
        vaultkeep::MutexLock hold(&Params.clients_mutex);
        if (gettbl(Params.clients, fd) == state) settbl(Params.clients, fd, nullptr);
    }
    {
        vaultkeep::MutexLock hold(&Params.status_mutex);
        Params.status.closes++;
        Params.status.nclients--;
        if (state->aclient->errors != 0) Params.status.errors++;
    }
    if (::close(fd) != 0) elog_complain(1, "problem closing fd #%d\n", fd);
    freeOrbclient_state(state);
}

void getclients(Orbclient **array, int *count, int *allocated) {
    int copied = 0;
    {
        vaultkeep::MutexLock hold(&Params.clients_mutex);
        const int n = maxtbl(Params.clients);
        if (*array == nullptr || *allocated < n) {
            *array = static_cast<Orbclient *>(
                KESTREL_REALLOC(*array, sizeof(Orbclient) * static_cast<std::size_t>(n), "*client"));
            *allocated = n;
        }
        for (int i = 0; i < n; i++) {
            Orbclient_state *s = entry(i);
            if (s == nullptr) continue;
            vaultkeep::ClientLock client(s);
            (*array)[copied++] = *s->aclient;
        }
    }
    *count = copied;
}

void cleanup_threads(void) {
    vaultkeep::MutexLock hold(&Params.clients_mutex);
    const int n = maxtbl(Params.clients);
    elog_complain(0, "cleanup_threads with %d clients", n);
    const double now = vaultkeep::now();
    int ended = 0;
    for (int i = 0; i < n; i++) {
        Orbclient_state *s = entry(i);
        if (s == nullptr) continue;
        bool idle;
        {
            vaultkeep::ClientLock client(s);
            idle = s->reap_tid == 0 && s->aclient->lastpkt == -1.0 &&
                   now - s->aclient->started > kIdleSeconds;
        }
        if (idle) {
            vaultkeep::drop_client(s);
            ended++;
        }
    }
    if (ended > 0)
        elog_complain(0, "ending %d evidently inactive threads", ended);
    else
        elog_complain(0, "no inactive threads to end");
}

}  // extern "C"
