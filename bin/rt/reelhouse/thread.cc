// The client's request loop, in the main thread, the client table and
// its counters, the notices and the termination-signal handler.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrel_alloc.h"
#include "reelhouse.h"
#include "reelhouse_private.h"

namespace {

bool connections() { return reelhouse::load(Status.connections) != 0; }

// Reads the next request, going on past time-outs and bytes that are not
// a record; false at end of file, on an input error, when the client is
// stopped or a termination signal came.
bool next_request(Orbclient_state *state) {
    Bns *in = state->in;
    for (;;) {
        if (!reelhouse::wait_for_input(in)) return false;
        if (recvOrbrequest(in, state->request) == 0) return true;
        if (in->eof || in->err || reelhouse::load(state->stop) || reelhouse::shutting_down())
            return false;
    }
}

void report_input_end(Orbclient_state *state) {
    const Bns *in = state->in;
    const Orbclient *c = state->aclient;
    if (in->eof) {
        if (connections()) elog_notify(1, "thread #%d has eof on input\n", c->thread);
    } else if (in->err) {
        elog_complain(0, "thread #%d (%s@%s:%s) has error #%d on input\n", c->thread, c->who,
                      c->host, c->what, in->err);
    }
}

// Messages the library left in the error log's register go out now,
// so that a long connection never fills the register.
void deliver_log() {
    if (elog_mark() > 0) elog_clear_register(1);
}

}  // namespace

extern "C" {

void thread_message(char *text, Orbclient_state *state, int force) {
    if (!connections() && force == 0) return;
    const Orbclient *c = state->aclient;
    const char *host = std::strcmp(c->host, "?") == 0 ? state->ip_address : c->host;
    elog_notify(0, "*%-10s* thr#%3d fd#%3d %-8s %5d@%-15s port#%5d => %s\n", text, c->thread,
                c->fd, c->who, c->pid, host, c->port, c->what);
}

void open_client(Orbclient_state *state) {
    {
        reelhouse::MutexLock hold(&Clients_mutex);
        settbl(Clients, state->aclient->fd, state);
    }
    reelhouse::MutexLock hold(&Status_mutex);
    Status.opens++;
    Status.nclients++;
}

void close_client(Orbclient_state *state) {
    const int fd = state->aclient->fd;
    {
        reelhouse::MutexLock hold(&Clients_mutex);
        if (gettbl(Clients, fd) == state) settbl(Clients, fd, nullptr);
    }
    {
        reelhouse::MutexLock hold(&Status_mutex);
        Status.closes++;
        Status.nclients--;
        if (state->aclient->errors != 0) Status.errors++;
    }
    // Everything written is on disk, and the segment finished, before the
    // client sees its connection end.
    reelhouse::close_handle();
    if (::close(fd) != 0) elog_complain(1, "problem closing fd #%d\n", fd);
    freeOrbclient_state(state);
    deliver_log();
    std::exit(0);
}

void getclients(Orbclient **array, int *count, int *allocated) {
    int copied = 0;
    {
        reelhouse::MutexLock hold(&Clients_mutex);
        const int n = maxtbl(Clients);
        if (*array == nullptr || *allocated < n) {
            *array = static_cast<Orbclient *>(KESTREL_REALLOC(
                *array, sizeof(Orbclient) * static_cast<std::size_t>(n), "*client"));
            *allocated = n;
        }
        for (int i = 0; i < n; i++) {
            const Orbclient_state *s = static_cast<Orbclient_state *>(gettbl(Clients, i));
            if (s != nullptr) (*array)[copied++] = *s->aclient;
        }
    }
    *count = copied;
}

void haltbysignal(int sig) {
    const int saved = errno;
    reelhouse::note_signal(sig);
    errno = saved;
}

void *client_thread(void *arg) {
    Orbclient_state *state = static_cast<Orbclient_state *>(arg);
    // The main thread serves: its id is the process id.
    state->aclient->thread = static_cast<int>(getpid());
    open_client(state);
    thread_message(const_cast<char *>("start"), state, 0);

    while (!reelhouse::load(state->stop) && !reelhouse::shutting_down()) {
        if (!next_request(state)) {
            if (reelhouse::halt_signal() == 0) report_input_end(state);
            reelhouse::store(state->stop, 1);
            break;
        }
        const int answer = service_request(state->request, state->reply, state);
        deliver_log();
        if (answer == 1 && sendOrbresponse(state->out, state->reply) != 0) {
            if (reelhouse::halt_signal() != 0) break;
            reelhouse::close_handle();
            elog_die(1, "failed to send reply\n");
        }
    }

    if (reelhouse::halt_signal() != 0) reelhouse::halt();
    thread_message(const_cast<char *>("stop"), state, 0);
    close_client(state);
    return nullptr;
}

}  // extern "C"
