// Request dispatch: what the server does for each request code of its one
// client, and the thin back end over the served handle. Every libtorvik
// call is made under Rwlock.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fdio.h"
#include "kestrel_alloc.h"
#include "reelhouse.h"
#include "reelhouse_private.h"
#include "torvik.h"

namespace {

// Requests with codes this server does not serve that a client may make
// before it is ended.
constexpr int kMaxErrors = 10;

// Counts a request against the client; the twelfth ends the client.
void count_error(Orbclient_state *state) {
    const int before = state->aclient->errors++;
    if (before > kMaxErrors) {
        elog_complain(1, "terminating thread #%d on fd #%d: more than %d errors\n",
                      state->aclient->thread, state->aclient->fd, kMaxErrors);
        reelhouse::store(state->stop, 1);
    }
}

// The position a get or seek asks for; -15 tries the next packet once.
int position(int pktcode) {
    reelhouse::MutexLock hold(&Rwlock);
    int p = _orbseek(pktcode);
    if (p < 0 && pktcode == ORBNEXT_WAIT) p = _orbnext();
    return p;
}

// True when nothing of the handle's current file is left queued in
// memory: every byte put has been written (segment files are opened for
// synchronous writes, so written is on disk). One more flush is tried.
bool all_written(int handle) {
    const int fd = torvikfd(handle);
    if (fd < 0) return false;
    if (Fds == nullptr || fd >= maxtbl(Fds)) return true;
    const Fdbuf *queued = static_cast<Fdbuf *>(gettbl(Fds, fd));
    if (queued == nullptr || queued->onbytes == 0) return true;
    fdflush(fd);
    return queued->onbytes == 0;
}

void record_packet(Orbclient *client, const Pktpkg *pkg) {
    client->packets++;
    client->bytes += static_cast<unsigned int>(pkg->packetsize);
    client->lastpkt = pkg->time;
}

void serve_get(Orbrequest *request, Orbresponse *reply, Orbclient_state *state) {
    if (request->pktcode != ORBCURRENT) state->landed = 0;
    const int p = position(request->pktcode);
    if (p < 0) {
        reelhouse::fail_reply(reply, "");
        return;
    }
    Pktpkg *pkg = reply->pkg;
    int copied;
    {
        reelhouse::MutexLock hold(&Rwlock);
        copied = orb2pkg(p, &state->packet, &state->sZpacket, pkg, -1);
    }
    if (copied != 0) {
        elog_complain(1, "End of file");
        reelhouse::fail_reply(reply, "");
        reelhouse::store(state->stop, 1);
        return;
    }
    state->bytesWritten += pkg->packetsize;
    state->packetsWritten++;
    state->aclient->pktid = p;
    record_packet(state->aclient, pkg);
}

void serve_seek(Orbrequest *request, Orbresponse *reply, Orbclient_state *state) {
    const int p = position(request->pktcode);
    if (p >= 0) {
        state->aclient->pktid = p;
        if (request->pktcode != ORBCURRENT) state->landed = 1;
    }
    reply->pktid = p;
}

void serve_after(Orbrequest *request, Orbresponse *reply, Orbclient_state *state) {
    int p;
    {
        reelhouse::MutexLock hold(&Rwlock);
        p = _orbafter(request->time);
    }
    if (p < 0) {
        reelhouse::fail_reply(reply, "");
        return;
    }
    reply->pktid = p;
    state->aclient->pktid = p;
    state->landed = 1;
}

// A put; with ack the reply carries the client's pktid (a packet that
// could not be stored is answered as a failure).
int serve_put(Orbrequest *request, Orbresponse *reply, Orbclient_state *state, bool ack) {
    Orbclient *client = state->aclient;
    int pktid = client->pktid;
    const int stored = request->pkg != nullptr ? save_packet(client->thread, &pktid, request->pkg)
                                               : -1;
    if (stored == 0) {
        client->pktid = pktid;
        record_packet(client, request->pkg);
    } else {
        reelhouse::store(state->stop, 1);
        client->errors++;
    }
    if (!ack) return 0;
    if (stored != 0) reelhouse::fail_reply(reply, "packet not stored");
    reply->pktid = client->pktid;
    return 1;
}

// The packet a positioning request landed on, when it passes the
// selection in force now: copied into pkg.
bool landed_packet(Orbclient_state *state, Pktpkg *pkg) {
    state->landed = 0;
    reelhouse::MutexLock hold(&Rwlock);
    if (torvikget(Torvikfd, ORBCURRENT, &pkg->pktid, pkg->srcname, &pkg->time, &pkg->packet,
                  &pkg->packetsize, &pkg->sZpacket) != 0)
        return false;
    Torvikfile *handle = fd2torvik(Torvikfd, nullptr);
    return handle != nullptr && selected(handle, pkg->srcname);
}

// Streams every following selected packet, once; at the end of the data
// the connection ends. No count, no terminator, no wait for new data.
void serve_reap(Orbresponse *reply, Orbclient_state *state) {
    Pktpkg *pkg = reply->pkg;
    Orbclient *client = state->aclient;
    bool have = state->landed && landed_packet(state, pkg);
    for (;;) {
        if (reelhouse::halt_signal() != 0) return;
        if (!have) {
            reelhouse::MutexLock hold(&Rwlock);
            have = torvikreap(Torvikfd, &pkg->pktid, pkg->srcname, &pkg->time, &pkg->packet,
                              &pkg->packetsize, &pkg->sZpacket) == 0;
        }
        if (!have) {
            reelhouse::store(state->stop, 1);
            reelhouse::store(Shutdown, 1);
            return;
        }
        pkg->srcnamesize = static_cast<uint16_t>(std::strlen(pkg->srcname) + 1);
        if (sendOrbresponse(state->out, reply) != 0) {
            reelhouse::store(state->stop, 1);
            return;
        }
        state->bytesWritten += pkg->packetsize;
        state->packetsWritten++;
        client->pktid = pkg->pktid;
        record_packet(client, pkg);
        client->written = static_cast<unsigned int>(state->out->nbytes);
        client->nwrites = static_cast<unsigned int>(state->out->nsys);
        have = false;
    }
}

}  // namespace

extern "C" {

int _orbseek(int code) { return torvikseek(Torvikfd, code); }

int _orbnext(void) { return torvikseek(Torvikfd, ORBNEXT); }

// The client's packet id counts the packets it stored, from 0.
int _orblatest(void) { return 0; }

int _orbafter(double time) { return torvikafter(Torvikfd, time); }

int _orbget(int code, int *pktid, char *srcname, double *time, char **packet, int *nbytes,
            int *bufsize) {
    if (fd2torvik(Torvikfd, nullptr) == nullptr) return -1;
    return torvikget(Torvikfd, code, pktid, srcname, time, packet, nbytes, bufsize) == 0 ? 0 : -1;
}

int _orbput(char *srcname, double time, char *packet, int nbytes) {
    return torvikput(Torvikfd, srcname, time, packet, nbytes);
}

int _orbselect(char *expression) {
    torvikselect(Torvikfd, expression);
    return 0;
}

int _orbclose(void) { return torvikclose(Torvikfd); }

int _orbsources(Orbsrc **sources, int *count, int *size) {
    *count = 0;
    return 0;
}

int _orbsrcidbyname(char *srcname) { return -1; }

int _orbsrcidbypktid(int pktid) { return -1; }

int _orbget_stash(char *srcname) { return -1; }

int _orb_valid_srcid(int srcid) { return 0; }

int _orbclose_connection(void) { return 0; }

int orb2pkg(int pktid, char **buffer, int *bufsize, Pktpkg *pkg, int maxbytes) {
    int id = 0, n = 0;
    double time = 0.0;
    if (_orbget(pktid, &id, pkg->srcname, &time, buffer, &n, bufsize) != 0) return -1;
    orbserve::fill_pkg(pkg, pktid, time, *buffer, n, maxbytes);
    return 0;
}

int save_packet(int thread, int *pktid, Pktpkg *pkg) {
    int result;
    {
        reelhouse::MutexLock hold(&Rwlock);
        const Torvikfile *handle = fd2torvik(Torvikfd, nullptr);
        // Only a handle opened for writing takes packets; a put is stored
        // once every byte of it has been written.
        if (handle == nullptr || !handle->flags.write)
            result = -1;
        else
            result = _orbput(pkg->srcname, pkg->time, pkg->packet, pkg->packetsize);
        if (result == 0 && !all_written(Torvikfd)) result = -1;
    }
    if (result == 0) (*pktid)++;
    return result;
}

int setlogging(int flag) {
    switch (flag) {
        case 1:
        case -1: {
            reelhouse::MutexLock hold(&Status_mutex);
            reelhouse::store(Status.messages, flag == 1 ? 1 : 0);
            return 0;
        }
        case 3:
        case -3: {
            reelhouse::MutexLock hold(&Status_mutex);
            reelhouse::store(Status.connections, flag == 3 ? 1 : 0);
            return 0;
        }
        default:
            return -1;
    }
}

int service_request(Orbrequest *request, Orbresponse *reply, Orbclient_state *state) {
    reply->what = request->what;
    reply->result = 0;
    Orbclient *c = state->aclient;
    c->nrequests++;
    c->lastrequest = request->what;
    c->read = static_cast<unsigned int>(state->in->nbytes);
    c->nreads = static_cast<unsigned int>(state->in->nsys);
    c->written = static_cast<unsigned int>(state->out->nbytes);
    c->nwrites = static_cast<unsigned int>(state->out->nsys);
    switch (request->what) {
        case ORBPUT:
        case ORBPUT2:
            return serve_put(request, reply, state, false);
        case ORBPUTACK:
        case ORBPUTACK2:
            return serve_put(request, reply, state, true);
        case ORBGET:
            serve_get(request, reply, state);
            break;
        case ORBREAP:
            state->reap_maxtime = request->reap_maxtime;
            state->reap_maxbytes = request->reap_maxbytes;
            state->reap_maxpkts = request->reap_maxpkts;
            serve_reap(reply, state);
            return 0;
        case ORBSEEK:
            serve_seek(request, reply, state);
            break;
        case ORBTELL:
            reply->pktid = c->pktid;
            break;
        case ORBSELECT:
        case ORBREJECT: {
            char empty[] = "";
            char *text = request->what == ORBSELECT ? request->select : request->reject;
            if (text == nullptr) text = empty;
            reelhouse::MutexLock hold(&Rwlock);
            if (request->what == ORBSELECT)
                torvikselect(Torvikfd, text);
            else
                torvikreject(Torvikfd, text);
            reply->nselections = 0;
            break;
        }
        case ORBAFTER:
            serve_after(request, reply, state);
            break;
        case ORBVERSION:
            reply->version = REELHOUSE_VERSION;
            break;
        default:
            count_error(state);
            break;
    }
    return 1;
}

}  // extern "C"
