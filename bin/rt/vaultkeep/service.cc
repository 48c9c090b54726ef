// Request dispatch: what the server does for each request code, and the
// thin back end over libtorvik through which it reaches the directory.
#include <poll.h>
#include <regex.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kestrel_alloc.h"
#include "pattern_cost_private.h"
#include "torvik.h"
#include "vaultkeep.h"
#include "vaultkeep_private.h"

namespace {

// Characters of a selection kept in the client record.
constexpr int kExpressionKept = 95;
// Requests with unknown codes a client may make before it is ended.
constexpr int kMaxErrors = 10;
constexpr int kMaxStashflag = 2;
// Pause between tries while a get waits for the next packet.
constexpr int kWaitPollMillis = 200;

// Counts a bad request against the client; the twelfth ends the client.
void count_error(Orbclient_state *state) {
    int before;
    {
        vaultkeep::ClientLock hold(state);
        before = state->aclient->errors++;
    }
    if (before > kMaxErrors) {
        elog_complain(1, "terminating thread #%d on fd #%d: more than %d errors\n",
                      state->aclient->thread, state->aclient->fd, kMaxErrors);
        vaultkeep::store(state->stop, 1);
    }
}

// True when the client has shut its end of the connection; waits up to
// the poll interval for that to happen.
bool client_gone(const Orbclient_state *state) {
    pollfd p = {state->in->fd, POLLRDHUP, 0};
    return poll(&p, 1, kWaitPollMillis) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// The position a get or seek asks for, waiting for -15.
int position(Orbclient_state *state, int pktcode) {
    int p = _orbseek(state->torvik, pktcode);
    if (p < 0 && pktcode == ORBNEXT_WAIT) {
        int current;
        {
            vaultkeep::ClientLock hold(state);
            current = state->aclient->pktid;
        }
        p = wait_for_next(current, state);
    }
    return p;
}

void serve_get(Orbrequest *request, Orbresponse *reply, Orbclient_state *state) {
    if (request->pktcode == ORBSTASHPKT) {
        vaultkeep::fail_reply(reply, "no get stash");
        return;
    }
    if (request->pktcode != ORBCURRENT) state->landed = 0;
    const int p = position(state, request->pktcode);
    Pktpkg *pkg = reply->pkg;
    if (p < 0 || orb2pkg(state->torvik, p, &state->packet, &state->sZpacket, pkg, -1) != 0) {
        vaultkeep::fail_reply(reply, "");
        return;
    }
    state->bytesWritten += pkg->packetsize;
    state->packetsWritten++;
    vaultkeep::ClientLock hold(state);
    state->aclient->pktid = p;
    state->aclient->packets++;
    state->aclient->bytes += static_cast<unsigned int>(pkg->packetsize);
    state->aclient->lastpkt = pkg->time;
}

void serve_seek(Orbrequest *request, Orbresponse *reply, Orbclient_state *state) {
    const int p = position(state, request->pktcode);
    if (p >= 0) {
        vaultkeep::ClientLock hold(state);
        state->aclient->pktid = p;
    }
    if (p >= 0 && request->pktcode != ORBCURRENT) state->landed = 1;
    reply->pktid = p;
}

void serve_after(Orbrequest *request, Orbresponse *reply, Orbclient_state *state) {
    const int p = _orbafter(state->torvik, request->time);
    if (p < 0) {
        vaultkeep::fail_reply(reply, "");
        return;
    }
    reply->pktid = p;
    state->landed = 1;
    vaultkeep::ClientLock hold(state);
    state->aclient->pktid = p;
}

// Selection (select true) or rejection of source names.
void serve_expression(Orbrequest *request, Orbresponse *reply, Orbclient_state *state,
                      bool select) {
    const char *text = select ? request->select : request->reject;
    if (text == nullptr) text = "";
    {
        vaultkeep::ClientLock hold(state);
        char *kept = select ? state->aclient->select : state->aclient->reject;
        int &count = select ? state->aclient->nselect : state->aclient->nreject;
        count = std::min(static_cast<int>(std::strlen(text)), kExpressionKept);
        std::memcpy(kept, text, static_cast<std::size_t>(count));
        kept[count] = '\0';
    }
    // An expression that does not compile clears the library's one (as the
    // library itself would) without a message, and counts against the client.
    // One the cost check refuses goes the same way, with the reason logged.
    regex_t check;
    const char *why = nullptr;
    const bool valid = text[0] == '\0' ||
                       basalt::regcomp_checked(&check, text, REG_EXTENDED | REG_NOSUB, &why) == 0;
    if (text[0] != '\0' && valid) regfree(&check);
    if (why != nullptr)
        elog_complain(0, "%s: %s expression '%s' refused: %s", state->ip_address,
                      select ? "selection" : "rejection", text, why);
    char *expression = const_cast<char *>(valid ? text : "");
    const int result = select ? torvikselect(state->torvik, expression)
                              : torvikreject(state->torvik, expression);
    reply->nselections = valid ? result : -1;
    if (!valid) count_error(state);
}

void serve_status(Orbresponse *reply, Orbclient_state *state) {
    double oldest = 0.0, newest = 0.0;
    if (update_Params(&oldest, &newest) != 0) {
        elog_complain(0, "failed to open vaultkeep on %s", Params.torvikdir);
        const std::string text = std::string("failed to open vaultkeep on ") + Params.torvikdir;
        vaultkeep::fail_reply(reply, text.c_str());
        return;
    }
    const double now = vaultkeep::now();
    {
        vaultkeep::MutexLock hold(&Params.status_mutex);
        reply->orbstat = Params.status;
    }
    reply->orbstat.when = now;
    vaultkeep::ClientLock hold(state);
    state->aclient->lastpkt = now;
}

void serve_halt(Orbclient_state *state) {
    if (state->readonly) {
        vaultkeep::store(state->stop, 1);
        {
            vaultkeep::ClientLock hold(state);
            state->aclient->errors++;
        }
        thread_message(const_cast<char *>("halt failed due to permissions"), state, 1);
        return;
    }
    thread_message(const_cast<char *>("halt"), state, 1);
    vaultkeep::store(Params.shutdown, 1);
    state->halt = 1;
}

}  // namespace

namespace vaultkeep {

double now() { return std_now(); }

}  // namespace vaultkeep

extern "C" {

int _orbseek(int handle, int code) { return torvikseek(handle, code); }

int _orbnext(int handle) { return torvikseek(handle, ORBNEXT); }

int _orblatest(int handle) { return torvikseek(handle, ORBNEWEST); }

int _orbafter(int handle, double time) { return torvikafter(handle, time); }

int _orbget(int handle, int code, int *pktid, char *srcname, double *time, char **packet,
            int *nbytes, int *bufsize) {
    return torvikget(handle, code, pktid, srcname, time, packet, nbytes, bufsize) == 0 ? 0 : -1;
}

int _orbput(int handle, char *srcname, double time, char *packet, int nbytes) {
    return torvikput(handle, srcname, time, packet, nbytes);
}

int _orbselect(int handle, char *expression) {
    torvikselect(handle, expression);
    return 0;
}

int _orbclose(int handle) { return torvikclose(handle); }

int _orbsources(int handle, Orbsrc **sources, int *count, int *size) {
    *count = 0;
    return 0;
}

int _orbsrcidbyname(int handle, char *srcname) { return -1; }

int _orbsrcidbypktid(int handle, int pktid) { return -1; }

int _orbget_stash(int handle, char *srcname) { return -1; }

int _orb_valid_srcid(int handle, int srcid) { return 0; }

int _orbclose_connection(int handle) { return 0; }

int orb2pkg(int handle, int pktid, char **buffer, int *bufsize, Pktpkg *pkg, int maxbytes) {
    int id = 0, n = 0;
    double time = 0.0;
    if (_orbget(handle, pktid, &id, pkg->srcname, &time, buffer, &n, bufsize) != 0) return -1;
    orbserve::fill_pkg(pkg, pktid, time, *buffer, n, maxbytes);
    return 0;
}

int wait_for_next(int pktid, Orbclient_state *state) {
    for (;;) {
        const int p = _orbnext(state->torvik);
        if (p >= 0) return p;
        _orblatest(state->torvik);
        if (vaultkeep::stopped(state) || vaultkeep::shutting_down()) return p;
        if (client_gone(state)) {
            vaultkeep::store(state->stop, 1);
            return -1;
        }
    }
}

int setlogging(int flag) {
    switch (flag) {
        case 1:
        case -1: {
            vaultkeep::MutexLock hold(&Params.status_mutex);
            vaultkeep::store(Params.status.messages, flag == 1 ? 1 : 0);
            return 0;
        }
        case 3:
        case -3:
            vaultkeep::store(Params.verbose, flag == 3 ? 1 : 0);
            return 0;
        default:
            return -1;
    }
}

int service_request(Orbrequest *request, Orbresponse *reply, Orbclient_state *state) {
    reply->what = request->what;
    reply->result = 0;
    {
        vaultkeep::ClientLock hold(state);
        Orbclient *c = state->aclient;
        c->nrequests++;
        c->lastrequest = request->what;
        c->read = static_cast<unsigned int>(state->in->nbytes);
        c->nreads = static_cast<unsigned int>(state->in->nsys);
        c->written = static_cast<unsigned int>(state->out->nbytes);
        c->nwrites = static_cast<unsigned int>(state->out->nsys);
    }
    switch (request->what) {
        case ORBPUT:
        case ORBPUT2:
            vaultkeep::fail_reply(reply, "no writing to vaultkeep");
            break;
        case ORBGET:
        case ORBGET2:
            serve_get(request, reply, state);
            break;
        case ORBREAP:
        case ORBREAP2:
            state->reap_maxtime = request->reap_maxtime;
            state->reap_maxbytes = request->reap_maxbytes;
            state->reap_maxpkts = request->reap_maxpkts;
            vaultkeep::store(state->reap, 1);
            return 0;
        case ORBSTAT:
            serve_status(reply, state);
            break;
        case ORBCLIENTS: {
            const double now = vaultkeep::now();
            reply->client_when = now;
            {
                vaultkeep::ClientLock hold(state);
                state->aclient->lastpkt = now;
            }
            getclients(&reply->client, &reply->nclient, &reply->sZclient);
            break;
        }
        case ORBSOURCES: {
            const double now = vaultkeep::now();
            reply->source_when = now;
            {
                vaultkeep::ClientLock hold(state);
                state->aclient->lastpkt = now;
            }
            _orbsources(state->torvik, &reply->source, &reply->nsource, &reply->sZsource);
            break;
        }
        case ORBSEEK:
            serve_seek(request, reply, state);
            break;
        case ORBTELL: {
            vaultkeep::ClientLock hold(state);
            reply->pktid = state->aclient->pktid;
            break;
        }
        case ORBSELECT:
            serve_expression(request, reply, state, true);
            break;
        case ORBREJECT:
            serve_expression(request, reply, state, false);
            break;
        case ORBCLOSE:
            vaultkeep::store(state->stop, 1);
            break;
        case ORBAFTER:
            serve_after(request, reply, state);
            break;
        case ORBVERSION:
            reply->version = VAULTKEEP_VERSION;
            break;
        case ORBSETPRIO:
            thr_setprio(pthread_self(), request->newpri);
            break;
        case ORBHALT:
            serve_halt(state);
            break;
        case ORBLOGGING:
            if (setlogging(request->logflag) != 0) vaultkeep::fail_reply(reply, "unknown logging flag");
            break;
        case ORBKILL: {
            char text[64];
            std::snprintf(text, sizeof text, "kill %d", request->thread);
            thread_message(text, state, 1);
            vaultkeep::kill_thread(request->thread);
            break;
        }
        case ORBMYTHREAD:
            reply->thread = state->aclient->thread;
            break;
        case ORBSTASHFLAG:
            if (request->stashflag >= 0 && request->stashflag <= kMaxStashflag)
                state->stashflag = request->stashflag;
            reply->stashflag = state->stashflag;
            break;
        case ORBSTASHOP:
            vaultkeep::fail_reply(reply, "no stash operations");
            break;
        default:
            vaultkeep::fail_reply(reply, "unknown command");
            count_error(state);
            break;
    }
    return 1;
}

}  // extern "C"
