// The client thread: one per accepted client, reading its requests one at
// a time, serving each and sending the reply, with streaming handed to a
// reap thread between requests.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "torvik.h"
#include "vaultkeep.h"
#include "vaultkeep_private.h"

namespace {

// Input errors that only say the client went away.
constexpr int kConnectionReset = 104;
constexpr int kTimedOut = 110;
// Seconds between a halt and the end of the process.
constexpr unsigned kHaltDelay = 3;

// Reads the next request, going on past time-outs and bytes that are not a
// record; false at end of file, on an input error or when the client is
// stopped.
bool next_request(Orbclient_state *state) {
    Bns *in = state->in;
    for (;;) {
        if (recvOrbrequest(in, state->request) == 0) return true;
        if (in->eof || in->err || vaultkeep::stopped(state) || vaultkeep::shutting_down())
            return false;
    }
}

// Why the input ended, logged as the client's end.
void report_input_end(Orbclient_state *state) {
    const Bns *in = state->in;
    const Orbclient *c = state->aclient;
    if (in->eof) {
        if (vaultkeep::verbose())
            elog_notify(1, "#%d:%s@%s %s closed its connection\n", c->thread, c->who, c->host,
                        c->what);
    } else if (in->err && in->syserrno != 0 && in->syserrno != kConnectionReset &&
               in->syserrno != kTimedOut) {
        elog_complain(0, "thread #%d (%s@%s:%s) has error #%d on input\n", c->thread, c->who,
                      state->ip_address, c->what, in->syserrno);
    }
    if (vaultkeep::messages() && !vaultkeep::stopped(state)) {
        char text[96];
        std::snprintf(text, sizeof text, "client thread stopping due to recv failure eof=%d err=%d",
                      in->eof, in->syserrno);
        thread_message(text, state, 1);
    }
}

}  // namespace

extern "C" {

void thread_message(char *text, Orbclient_state *state, int force) {
    if (!vaultkeep::verbose() && force == 0) return;
    const Orbclient *c = state->aclient;
    elog_notify(0, "*%-10s* thr#%u %s@%s:%s (%u)", text, static_cast<unsigned int>(c->thread),
                c->who, state->ip_address, c->what, static_cast<unsigned int>(c->pid));
}

void *client_thread(void *arg) {
    Orbclient_state *state = static_cast<Orbclient_state *>(arg);
    state->aclient->thread = vaultkeep::next_thread_number();
    state->torvik = torvikopen(Params.torvikdir, const_cast<char *>("r"));
    // Without a handle every position, get and select request fails; the
    // library's reason is delivered now rather than left in the log.
    if (state->torvik < 0)
        elog_complain(0, "thread #%d can't open %s\n", state->aclient->thread, Params.torvikdir);
    open_client(state);
    if (vaultkeep::verbose()) thread_message(const_cast<char *>("start"), state, 0);

    while (!vaultkeep::stopped(state) && !vaultkeep::shutting_down()) {
        if (vaultkeep::load(state->reap)) start_reap(state);
        if (!next_request(state)) {
            report_input_end(state);
            vaultkeep::store(state->stop, 1);
            break;
        }
        if (state->reap_joinable) stop_reap(state, const_cast<char *>("has new request"));
        if (service_request(state->request, state->reply, state) == 1 &&
            sendOrbresponse(state->out, state->reply) != 0) {
            if (!vaultkeep::peer_gone(errno)) elog_complain(1, "failed to send reply\n");
            if (vaultkeep::messages())
                thread_message(const_cast<char *>("client thread stopping due to response send failure"),
                               state, 1);
            vaultkeep::store(state->stop, 1);
        }
    }

    stop_reap(state, const_cast<char *>("is terminating"));
    if (vaultkeep::verbose()) thread_message(const_cast<char *>("stop"), state, 0);
    const bool halt = state->halt != 0;
    if (state->torvik > 0) torvikclose(state->torvik);
    close_client(state);
    if (halt) {
        vaultkeep::store(Params.shutdown, 1);
        std::fputs("Exiting due to halt\n", stderr);
        sleep(kHaltDelay);
        std::fflush(nullptr);
        _exit(0);
    }
    return nullptr;
}

}  // extern "C"
