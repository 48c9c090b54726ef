// Reap streaming: a thread per streaming client sends every following
// selected packet as a response until the client's next request, the end
// of a counted reap, a stop or a failed send.
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "reap_batch.h"
#include "torvik.h"
#include "vaultkeep.h"
#include "vaultkeep_private.h"

namespace {

// Seconds between looks for a new packet at the end of the data.
constexpr double kEndOfDataPause = 1.0;
// Result of thr_join for a thread that does not exist, and for a deadlock.
constexpr int kNoSuchThread = 3;
constexpr int kDeadlock = 35;
// Room a record needs beside its packet's bytes.
constexpr int64_t kRecordOverhead = 256;

unsigned int thread_number(pthread_t tid) { return static_cast<unsigned int>(tid); }

bool keep_reaping(const Orbclient_state *state) {
    return vaultkeep::load(state->reap) != 0 && !vaultkeep::stopped(state) &&
           !vaultkeep::shutting_down();
}

// Records placed in the output stream and not yet sent, with what they add
// to the client's counts once they are.
struct Batch {
    int records = 0;
    int packets = 0;  // data packets among the records
    double bytes = 0.0;
    int pktid = 0;
    double time = 0.0;
};

// The counts of the records just sent, in the state (data packets) and in
// the client record.
void count_sent(Orbclient_state *state, Batch *batch) {
    if (batch->records == 0) return;
    state->bytesWritten += batch->bytes;
    state->packetsWritten += batch->packets;
    vaultkeep::ClientLock hold(state);
    Orbclient *c = state->aclient;
    c->bytes += static_cast<unsigned int>(batch->bytes);
    c->packets += static_cast<unsigned int>(batch->records);
    c->lastpkt = batch->time;
    c->pktid = batch->pktid;
    c->written = static_cast<unsigned int>(state->out->nbytes);
    c->nwrites = static_cast<unsigned int>(state->out->nsys);
    *batch = Batch{};
}

// Sends what waits in the output stream. A send that the time-out cuts
// short after some bytes went out is carried on: only a client that takes
// nothing for the whole time-out fails it, and is then dropped. `format`
// and `notice` name the packet in the failure messages.
bool send_batch(Orbclient_state *state, Batch *batch, const char *format, const char *notice) {
    Bns *out = state->out;
    for (;;) {
        const int32_t waiting = out->lp - out->fp;
        if (waiting <= 0 || bnsflush(out) == 0) break;
        if (out->lp - out->fp < waiting && out->lp - out->fp > 0) continue;
        const Orbclient *c = state->aclient;
        if (!vaultkeep::peer_gone(errno))
            elog_complain(1, format, static_cast<unsigned int>(c->thread), c->who,
                          state->ip_address, c->what);
        vaultkeep::drop_client(state);
        if (vaultkeep::messages()) thread_message(const_cast<char *>(notice), state, 1);
        return false;
    }
    count_sent(state, batch);
    return true;
}

constexpr const char *kPacketFailure = "thread #%u failed to send reap packet to (%s@%s:%s)\n";
constexpr const char *kPacketNotice = "reap thread stopping due to send failure";

// Places the reply's packet in the output stream, sending what waits there
// first when the batch is full or the packet would not fit beside it.
bool queue_packet(Orbclient_state *state, Batch *batch, bool data) {
    Pktpkg *pkg = state->reply->pkg;
    Bns *out = state->out;
    const int64_t waiting = out->lp - out->fp;
    if (waiting > 0 && (waiting >= vaultkeep::kReapBatchBytes ||
                        waiting + pkg->packetsize + kRecordOverhead > out->sz - out->fp) &&
        !send_batch(state, batch, kPacketFailure, kPacketNotice))
        return false;
    pkg->srcnamesize = static_cast<uint16_t>(std::strlen(pkg->srcname) + 1);
    if (vaultkeep::append_response(out, state->reply) != 0) {
        // A record the wire cannot carry: what came before it still goes
        // out, then the client is dropped as for a failed send.
        send_batch(state, batch, kPacketFailure, kPacketNotice);
        errno = EINVAL;
        const Orbclient *c = state->aclient;
        elog_complain(1, kPacketFailure, static_cast<unsigned int>(c->thread), c->who,
                      state->ip_address, c->what);
        vaultkeep::drop_client(state);
        return false;
    }
    batch->records++;
    if (data) {
        batch->packets++;
        batch->bytes += pkg->packetsize;
    }
    batch->pktid = pkg->pktid;
    batch->time = pkg->time;
    return true;
}

// One packet streamed; false when the loop is to end (failed send, or the
// count ran out, which *counted_out tells).
bool stream(Orbclient_state *state, Batch *batch, bool *counted_out) {
    if (!queue_packet(state, batch, true)) return false;
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

// Forgets records that will not be sent (the client is being dropped or
// the server is ending).
void discard_batch(Orbclient_state *state, Batch *batch) {
    Bns *out = state->out;
    out->outcount -= out->lp - out->fp;
    out->lp = out->fp;
    *batch = Batch{};
}

}  // namespace

extern "C" {

void *reap_thread(void *arg) {
    Orbclient_state *state = static_cast<Orbclient_state *>(arg);
    Pktpkg *pkg = state->reply->pkg;
    Batch batch;
    bool counted_out = false;
    bool going = true;
    bool failed = false;
    if (state->landed && keep_reaping(state) && landed_packet(state)) {
        going = stream(state, &batch, &counted_out);
        failed = !going && !counted_out;
    }
    while (going && keep_reaping(state)) {
        if (torvikreap(state->torvik, &pkg->pktid, pkg->srcname, &pkg->time, &pkg->packet,
                       &pkg->packetsize, &pkg->sZpacket) != 0) {
            // Nothing more for now: what was gathered goes out before the wait.
            if (!send_batch(state, &batch, kPacketFailure, kPacketNotice)) {
                failed = true;
                break;
            }
            vaultkeep::nap(kEndOfDataPause, [state] { return !keep_reaping(state); });
            continue;
        }
        going = stream(state, &batch, &counted_out);
        failed = !going && !counted_out;
    }
    if (!failed) {
        if (vaultkeep::stopped(state) || vaultkeep::shutting_down()) {
            discard_batch(state, &batch);
        } else if (counted_out && keep_reaping(state)) {
            pkg->pktid = ORBREAPEND;
            pkg->packetsize = 0;
            pkg->srcname[0] = '\0';
            pkg->time = 0.0;
            if (queue_packet(state, &batch, false))
                send_batch(state, &batch, "thread #%u failed to send packet to (%s@%s:%s)\n",
                           "reap thread stopping due to send failure for termination");
        } else {
            send_batch(state, &batch, kPacketFailure, kPacketNotice);
        }
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
