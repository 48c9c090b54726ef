// Reap streaming: a thread per streaming client sends every following
// selected packet as a response until the client's next request, the end
// of a counted reap, a stop or a failed send.
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "torvik.h"
#include "vaultkeep.h"
#include "vaultkeep_private.h"

namespace {

// Seconds between looks for a new packet at the end of the data.
constexpr double kEndOfDataPause = 1.0;
// Result of thr_join for a thread that does not exist, and for a deadlock.
constexpr int kNoSuchThread = 3;
constexpr int kDeadlock = 35;

unsigned int thread_number(pthread_t tid) { return static_cast<unsigned int>(tid); }

bool keep_reaping(const Orbclient_state *state) {
    return vaultkeep::load(state->reap) != 0 && !vaultkeep::stopped(state) &&
           !vaultkeep::shutting_down();
}

// Sends the packet in the reply; on failure the client is dropped. `what`
// names the packet in the failure message.
bool send_packet(Orbclient_state *state, const char *format, const char *notice) {
    Pktpkg *pkg = state->reply->pkg;
    pkg->srcnamesize = static_cast<uint16_t>(std::strlen(pkg->srcname) + 1);
    if (sendOrbresponse(state->out, state->reply) == 0) return true;
    const Orbclient *c = state->aclient;
    if (!vaultkeep::peer_gone(errno))
        elog_complain(1, format, static_cast<unsigned int>(c->thread), c->who, state->ip_address,
                      c->what);
    vaultkeep::drop_client(state);
    if (vaultkeep::messages()) thread_message(const_cast<char *>(notice), state, 1);
    return false;
}

// Counts a sent packet in the state (data packets only) and the client
// record.
void count_sent(Orbclient_state *state, bool data) {
    const Pktpkg *pkg = state->reply->pkg;
    if (data) {
        state->bytesWritten += pkg->packetsize;
        state->packetsWritten++;
    }
    vaultkeep::ClientLock hold(state);
    Orbclient *c = state->aclient;
    c->bytes += static_cast<unsigned int>(pkg->packetsize);
    c->packets++;
    c->lastpkt = pkg->time;
    c->pktid = pkg->pktid;
    c->written = static_cast<unsigned int>(state->out->nbytes);
    c->nwrites = static_cast<unsigned int>(state->out->nsys);
}

// One packet streamed; false when the loop is to end (failed send, or the
// count ran out, which *counted_out tells).
bool stream(Orbclient_state *state, bool *counted_out) {
    if (!send_packet(state, "thread #%u failed to send reap packet to (%s@%s:%s)\n",
                     "reap thread stopping due to send failure"))
        return false;
    count_sent(state, true);
    if (state->reap_maxpkts > 0 && --state->reap_maxpkts == 0) {
        *counted_out = true;
        return false;
    }
    if (vaultkeep::messages()) {
        char text[32];
        std::snprintf(text, sizeof text, "pktid #%d", state->reply->pkg->pktid);
        thread_message(text, state, 1);
    }
    return true;
}

// The packet a positioning request landed on, when it passes the
// selection in force now: copied into the reply's packet.
bool landed_packet(Orbclient_state *state) {
    state->landed = 0;
    Pktpkg *pkg = state->reply->pkg;
    if (torvikget(state->torvik, ORBCURRENT, &pkg->pktid, pkg->srcname, &pkg->time, &pkg->packet,
                  &pkg->packetsize, &pkg->sZpacket) != 0)
        return false;
    Torvikfile *handle = fd2torvik(state->torvik, nullptr);
    return handle != nullptr && selected(handle, pkg->srcname);
}

}  // namespace

extern "C" {

void *reap_thread(void *arg) {
    Orbclient_state *state = static_cast<Orbclient_state *>(arg);
    Pktpkg *pkg = state->reply->pkg;
    bool counted_out = false;
    bool going = true;
    if (state->landed && keep_reaping(state) && landed_packet(state))
        going = stream(state, &counted_out);
    while (going && keep_reaping(state)) {
        if (torvikreap(state->torvik, &pkg->pktid, pkg->srcname, &pkg->time, &pkg->packet,
                       &pkg->packetsize, &pkg->sZpacket) != 0) {
            vaultkeep::nap(kEndOfDataPause, [state] { return !keep_reaping(state); });
            continue;
        }
        going = stream(state, &counted_out);
    }
    if (counted_out && keep_reaping(state)) {
        pkg->pktid = ORBREAPEND;
        pkg->packetsize = 0;
        pkg->srcname[0] = '\0';
        pkg->time = 0.0;
        if (send_packet(state, "thread #%u failed to send packet to (%s@%s:%s)\n",
                        "reap thread stopping due to send failure for termination"))
            count_sent(state, false);
    }
    vaultkeep::store(state->reap, 0);
    return nullptr;
}

void start_reap(Orbclient_state *state) {
    pthread_t tid;
    const int rc = thr_create(nullptr, 0, reap_thread, state, 0, &tid);
    if (rc != 0) {
        errno = rc;
        elog_complain(1, "Thread #%u failed to create reap thread\n",
                      static_cast<unsigned int>(state->aclient->thread));
        vaultkeep::store(state->reap, 0);
        return;
    }
    {
        vaultkeep::ClientLock hold(state);
        state->reap_tid = tid;
    }
    state->reap_joinable = 1;
    if (vaultkeep::verbose())
        elog_notify(0, "reap thread #%u under thread #%u created\n", thread_number(tid),
                    static_cast<unsigned int>(state->aclient->thread));
}

void stop_reap(Orbclient_state *state, char *why) {
    vaultkeep::store(state->reap, 0);
    if (!state->reap_joinable) return;
    const unsigned int self = static_cast<unsigned int>(state->aclient->thread);
    if (vaultkeep::verbose())
        elog_notify(0, "thread #%u %s, waiting for reap thread %u to terminate\n", self, why,
                    thread_number(state->reap_tid));
    const int rc = thr_join(state->reap_tid, nullptr, nullptr);
    state->reap_joinable = 0;
    if (rc == kDeadlock) {
        errno = rc;
        elog_complain(1, "thr_join complains about deadlock\n");
    } else if (rc != 0 && rc != kNoSuchThread) {
        errno = rc;
        elog_complain(1, "thr_join returned error #%d\n", rc);
    }
    if (vaultkeep::verbose())
        elog_notify(0, "reap thread under thread #%u has terminated\n", self);
}

}  // extern "C"
