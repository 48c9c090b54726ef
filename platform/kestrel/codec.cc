// The stream codec of the protocol records: requests and responses in the
// layout of wire-format.md, both directions.
#include <cstdlib>
#include <cstring>

#include "kestrel.h"
#include "kestrel_alloc.h"
#include "wire.h"

namespace {

using kestrel::WireReader;
using kestrel::WireWriter;

// Smallest encoded client and source records (every text empty): a count
// of records is checked against what is left of the body before the array
// is grown.
constexpr std::size_t kClientMinBytes = 113;
constexpr std::size_t kSrcMinBytes = 40;

constexpr int kChallengeBytes = 12;

// ---- pieces shared by both directions ----

void read_pkt(WireReader &rd, Pktpkg *pkg, std::size_t max_packet) {
    pkg->pktid = rd.i32();
    pkg->time = rd.f64();
    const uint16_t s = rd.u16();
    if (s < 1 || s > sizeof pkg->srcname) rd.fail();
    const unsigned char *name = rd.take(s > 0 ? s - 1u : 0u);
    const uint32_t n = rd.u32();
    if (n > max_packet) rd.fail();
    const unsigned char *bytes = rd.take(n);
    if (!rd.ok() || name == nullptr || bytes == nullptr) return;
    // The name ends at its first NUL.
    const std::size_t length = strnlen(reinterpret_cast<const char *>(name), s - 1u);
    std::memcpy(pkg->srcname, name, length);
    std::memset(pkg->srcname + length, 0, sizeof pkg->srcname - length);
    pkg->srcnamesize = static_cast<uint16_t>(length + 1);
    if (pkg->packet == nullptr || pkg->sZpacket < 0 || static_cast<uint32_t>(pkg->sZpacket) < n) {
        pkg->packet = static_cast<char *>(KESTREL_REALLOC(pkg->packet, n, "pkg->packet"));
        pkg->sZpacket = static_cast<int>(n > 0 ? n : 1);
    }
    if (n > 0) std::memcpy(pkg->packet, bytes, n);
    pkg->packetsize = static_cast<int>(n);
}

void write_pkt(WireWriter &w, const Pktpkg *pkg, std::size_t max_packet) {
    if (pkg == nullptr) {
        w.fail();
        return;
    }
    const std::size_t name = strnlen(pkg->srcname, sizeof pkg->srcname);
    if (name >= sizeof pkg->srcname || pkg->packetsize < 0 ||
        static_cast<std::size_t>(pkg->packetsize) > max_packet ||
        (pkg->packetsize > 0 && pkg->packet == nullptr)) {
        w.fail();
        return;
    }
    w.i32(pkg->pktid);
    w.f64(pkg->time);
    w.u16(static_cast<uint16_t>(name + 1));
    w.raw(pkg->srcname, name);
    w.u32(static_cast<uint32_t>(pkg->packetsize));
    w.raw(pkg->packet, static_cast<std::size_t>(pkg->packetsize));
}

void read_hello(WireReader &rd, Orbrequest *r) {
    if (r->hello == nullptr) {
        r->hello = newOrbOpenString();
        r->sZhello = static_cast<int>(sizeof(OrbOpenString));
    }
    OrbOpenString *h = r->hello;
    rd.raw(&h->handshake, sizeof h->handshake);
    h->pid = rd.i32();
    h->perm = rd.u8();
    rd.text(h->what, sizeof h->what);
    rd.text(h->who, sizeof h->who);
}

void write_hello(WireWriter &w, const OrbOpenString *h) {
    if (h == nullptr) {
        w.fail();
        return;
    }
    w.raw(&h->handshake, sizeof h->handshake);
    w.i32(h->pid);
    w.u8(h->perm);
    w.text(h->what, sizeof h->what);
    w.text(h->who, sizeof h->who);
}

void read_stat(WireReader &rd, Orbstat *s) {
    s->when = rd.f64();
    s->started = rd.f64();
    s->orb_start = rd.f64();
    s->connections = rd.i32();
    s->messages = rd.i32();
    s->maxdata = rd.u32();
    s->errors = rd.i32();
    s->rejected = rd.i32();
    s->closes = rd.i32();
    s->opens = rd.i32();
    s->port = rd.i32();
    rd.raw(s->address, sizeof s->address);
    s->pid = rd.i32();
    s->nsources = rd.i32();
    s->nclients = rd.i32();
    s->maxsrc = rd.i32();
    s->maxpkts = rd.i32();
    rd.text(s->version, sizeof s->version);
    rd.text(s->who, sizeof s->who);
    rd.text(s->host, sizeof s->host);
}

void write_stat(WireWriter &w, const Orbstat *s) {
    w.f64(s->when);
    w.f64(s->started);
    w.f64(s->orb_start);
    w.i32(s->connections);
    w.i32(s->messages);
    w.u32(s->maxdata);
    w.i32(s->errors);
    w.i32(s->rejected);
    w.i32(s->closes);
    w.i32(s->opens);
    w.i32(s->port);
    w.raw(s->address, sizeof s->address);
    w.i32(s->pid);
    w.i32(s->nsources);
    w.i32(s->nclients);
    w.i32(s->maxsrc);
    w.i32(s->maxpkts);
    w.text(s->version, sizeof s->version);
    w.text(s->who, sizeof s->who);
    w.text(s->host, sizeof s->host);
}

void read_client(WireReader &rd, Orbclient *c) {
    c->lastpkt = rd.f64();
    c->started = rd.f64();
    c->read = rd.u32();
    c->pid = rd.i32();
    c->bytes = rd.u32();
    c->packets = rd.u32();
    c->pktid = rd.i32();
    c->port = rd.i32();
    rd.raw(c->address, sizeof c->address);
    c->thread = rd.i32();
    c->fd = rd.i32();
    c->nreject = rd.i32();
    c->nselect = rd.i32();
    c->errors = rd.i32();
    c->priority = rd.i32();
    c->lastrequest = rd.i32();
    c->mymessages = rd.i32();
    c->nrequests = rd.u32();
    c->nwrites = rd.u32();
    c->nreads = rd.u32();
    c->written = rd.u32();
    c->perm = rd.u8();
    rd.text(c->what, sizeof c->what);
    rd.text(c->host, sizeof c->host);
    rd.text(c->who, sizeof c->who);
    rd.text(c->select, sizeof c->select);
    rd.text(c->reject, sizeof c->reject);
}

void write_client(WireWriter &w, const Orbclient *c) {
    w.f64(c->lastpkt);
    w.f64(c->started);
    w.u32(c->read);
    w.i32(c->pid);
    w.u32(c->bytes);
    w.u32(c->packets);
    w.i32(c->pktid);
    w.i32(c->port);
    w.raw(c->address, sizeof c->address);
    w.i32(c->thread);
    w.i32(c->fd);
    w.i32(c->nreject);
    w.i32(c->nselect);
    w.i32(c->errors);
    w.i32(c->priority);
    w.i32(c->lastrequest);
    w.i32(c->mymessages);
    w.u32(c->nrequests);
    w.u32(c->nwrites);
    w.u32(c->nreads);
    w.u32(c->written);
    w.u8(c->perm);
    w.text(c->what, sizeof c->what);
    w.text(c->host, sizeof c->host);
    w.text(c->who, sizeof c->who);
    w.text(c->select, sizeof c->select);
    w.text(c->reject, sizeof c->reject);
}

void read_src(WireReader &rd, Orbsrc *s) {
    s->slatest_time = rd.f64();
    s->soldest_time = rd.f64();
    s->nbytes = rd.i32();
    s->npkts = rd.i32();
    s->slatest = rd.i32();
    s->soldest = rd.i32();
    s->active = rd.i32();
    rd.text(s->srcname, sizeof s->srcname);
}

void write_src(WireWriter &w, const Orbsrc *s) {
    w.f64(s->slatest_time);
    w.f64(s->soldest_time);
    w.i32(s->nbytes);
    w.i32(s->npkts);
    w.i32(s->slatest);
    w.i32(s->soldest);
    w.i32(s->active);
    w.text(s->srcname, sizeof s->srcname);
}

// Grows a caller-owned array of records to hold count of them.
template <typename T>
void grow_array(T **array, int *allocated, uint32_t count, const char *what) {
    if (count == 0 || (*array != nullptr && *allocated >= 0 &&
                       static_cast<uint32_t>(*allocated) >= count))
        return;
    *array = static_cast<T *>(KESTREL_REALLOC(*array, sizeof(T) * count, what));
    *allocated = static_cast<int>(count);
}

// ---- requests ----

// Reads the body of a known code; false for a code without a layout.
bool read_request_body(WireReader &rd, int32_t code, Orbrequest *r) {
    switch (code) {
        case ORBPUT:
        case ORBPUT2:
        case ORBPUTACK:
        case ORBPUTACK2:
            if (r->pkg == nullptr) {
                r->pkg = newPktpkg();
                r->sZpkg = static_cast<int>(sizeof(Pktpkg));
            }
            read_pkt(rd, r->pkg, KESTREL_MAX_REQUEST);
            return true;
        case ORBGET:
        case ORBGET2:
        case ORBSEEK:
            r->pktcode = rd.i32();
            return true;
        case ORBREAP:
        case ORBREAP2:
            r->reap_maxtime = rd.f64();
            r->reap_maxbytes = rd.i32();
            r->reap_maxpkts = rd.i32();
            return true;
        case ORBSELECT: {
            const int n = rd.text_grown(&r->select, &r->sZselect, KESTREL_MAX_EXPRESSION,
                                        "request->select");
            if (n >= 0) r->nselect = n + 1;
            return true;
        }
        case ORBREJECT: {
            const int n = rd.text_grown(&r->reject, &r->sZreject, KESTREL_MAX_EXPRESSION,
                                        "request->reject");
            if (n >= 0) r->nreject = n + 1;
            return true;
        }
        case ORBAFTER:
            r->time = rd.f64();
            return true;
        case ORBSETPRIO:
            r->thread = rd.i32();
            r->newpri = rd.i32();
            return true;
        case ORBLOGGING:
            r->logflag = rd.i32();
            return true;
        case ORBKILL:
            r->thread = rd.i32();
            return true;
        case ORBSTASHFLAG:
        case ORBSTASHPKT:
            r->stashflag = rd.i32();
            return true;
        case ORBOPEN:
            read_hello(rd, r);
            return true;
        case ORBRUP:
            r->athread = rd.i32();
            read_hello(rd, r);
            return true;
        case ORBSIGNEDOPEN:
            read_hello(rd, r);
            rd.text(r->signer, sizeof r->signer);
            rd.text(r->signature, sizeof r->signature);
            std::memset(r->challenge, 0, sizeof r->challenge);
            rd.raw(r->challenge, kChallengeBytes);
            return true;
        case ORBSTAT:
        case ORBCLIENTS:
        case ORBSOURCES:
        case ORBTELL:
        case ORBCLOSE:
        case ORBVERSION:
        case ORBHALT:
        case ORBMYTHREAD:
        case ORBSTASHOP:
        case ORBCHALLENGE:
            return true;
        default:
            return false;
    }
}

void write_request_body(WireWriter &w, const Orbrequest *r) {
    switch (r->what) {
        case ORBPUT:
        case ORBPUT2:
        case ORBPUTACK:
        case ORBPUTACK2:
            write_pkt(w, r->pkg, KESTREL_MAX_REQUEST);
            break;
        case ORBGET:
        case ORBGET2:
        case ORBSEEK:
            w.i32(r->pktcode);
            break;
        case ORBREAP:
        case ORBREAP2:
            w.f64(r->reap_maxtime);
            w.i32(r->reap_maxbytes);
            w.i32(r->reap_maxpkts);
            break;
        case ORBSELECT:
            w.text_bounded(r->select, KESTREL_MAX_EXPRESSION);
            break;
        case ORBREJECT:
            w.text_bounded(r->reject, KESTREL_MAX_EXPRESSION);
            break;
        case ORBAFTER:
            w.f64(r->time);
            break;
        case ORBSETPRIO:
            w.i32(r->thread);
            w.i32(r->newpri);
            break;
        case ORBLOGGING:
            w.i32(r->logflag);
            break;
        case ORBKILL:
            w.i32(r->thread);
            break;
        case ORBSTASHFLAG:
        case ORBSTASHPKT:
            w.i32(r->stashflag);
            break;
        case ORBOPEN:
            write_hello(w, r->hello);
            break;
        case ORBRUP:
            w.i32(r->athread);
            write_hello(w, r->hello);
            break;
        case ORBSIGNEDOPEN:
            write_hello(w, r->hello);
            w.text(r->signer, sizeof r->signer);
            w.text(r->signature, sizeof r->signature);
            w.raw(r->challenge, kChallengeBytes);
            break;
        default:
            break;
    }
}

// ---- responses ----

void read_response_body(WireReader &rd, int32_t code, Orbresponse *r) {
    r->result = rd.i32();
    if (r->result != 0) {
        r->nerr = rd.i32();
        rd.text(r->errmsg, sizeof r->errmsg);
        return;
    }
    switch (code) {
        case ORBGET:
        case ORBGET2:
        case ORBREAP:
        case ORBREAP2:
            if (r->pkg == nullptr) {
                r->pkg = newPktpkg();
                r->sZpkg = static_cast<int>(sizeof(Pktpkg));
            }
            read_pkt(rd, r->pkg, KESTREL_MAX_PACKET);
            break;
        case ORBPUT:
        case ORBPUT2:
        case ORBPUTACK:
        case ORBPUTACK2:
        case ORBSEEK:
        case ORBTELL:
        case ORBAFTER:
            r->pktid = rd.i32();
            break;
        case ORBSELECT:
        case ORBREJECT:
            r->nselections = rd.i32();
            break;
        case ORBVERSION:
            r->version = rd.i32();
            break;
        case ORBMYTHREAD:
            r->thread = rd.i32();
            break;
        case ORBSTASHFLAG:
        case ORBSTASHPKT:
            r->stashflag = rd.i32();
            break;
        case ORBCHALLENGE:
            std::memset(r->challenge, 0, sizeof r->challenge);
            rd.raw(r->challenge, kChallengeBytes);
            break;
        case ORBRUP:
            r->active = rd.i32();
            [[fallthrough]];
        case ORBOPEN:
        case ORBSIGNEDOPEN:
            r->orb_start = rd.f64();
            r->server_start = rd.f64();
            r->latest_pktid = rd.i32();
            break;
        case ORBSTAT:
            read_stat(rd, &r->orbstat);
            break;
        case ORBCLIENTS: {
            r->client_when = rd.f64();
            const uint32_t n = rd.u32();
            if (!rd.room_for(n, kClientMinBytes)) break;
            grow_array(&r->client, &r->sZclient, n, "response->client");
            for (uint32_t i = 0; i < n && rd.ok(); i++) read_client(rd, &r->client[i]);
            r->nclient = rd.ok() ? static_cast<int>(n) : 0;
            break;
        }
        case ORBSOURCES: {
            r->source_when = rd.f64();
            const uint32_t n = rd.u32();
            if (!rd.room_for(n, kSrcMinBytes)) break;
            grow_array(&r->source, &r->sZsource, n, "response->source");
            for (uint32_t i = 0; i < n && rd.ok(); i++) read_src(rd, &r->source[i]);
            r->nsource = rd.ok() ? static_cast<int>(n) : 0;
            break;
        }
        default:
            // Nothing more for this code; whatever else the body holds is
            // passed over.
            rd.take(rd.left());
            break;
    }
}

void write_response_body(WireWriter &w, const Orbresponse *r) {
    w.i32(r->result);
    if (r->result != 0) {
        w.i32(r->nerr);
        w.text(r->errmsg, sizeof r->errmsg);
        return;
    }
    switch (r->what) {
        case ORBGET:
        case ORBGET2:
        case ORBREAP:
        case ORBREAP2:
            write_pkt(w, r->pkg, KESTREL_MAX_PACKET);
            break;
        case ORBPUT:
        case ORBPUT2:
        case ORBPUTACK:
        case ORBPUTACK2:
        case ORBSEEK:
        case ORBTELL:
        case ORBAFTER:
            w.i32(r->pktid);
            break;
        case ORBSELECT:
        case ORBREJECT:
            w.i32(r->nselections);
            break;
        case ORBVERSION:
            w.i32(r->version);
            break;
        case ORBMYTHREAD:
            w.i32(r->thread);
            break;
        case ORBSTASHFLAG:
        case ORBSTASHPKT:
            w.i32(r->stashflag);
            break;
        case ORBCHALLENGE:
            w.raw(r->challenge, kChallengeBytes);
            break;
        case ORBRUP:
            w.i32(r->active);
            [[fallthrough]];
        case ORBOPEN:
        case ORBSIGNEDOPEN:
            w.f64(r->orb_start);
            w.f64(r->server_start);
            w.i32(r->latest_pktid);
            break;
        case ORBSTAT:
            write_stat(w, &r->orbstat);
            break;
        case ORBCLIENTS:
            if (r->nclient < 0 || (r->nclient > 0 && r->client == nullptr)) {
                w.fail();
                break;
            }
            w.f64(r->client_when);
            w.u32(static_cast<uint32_t>(r->nclient));
            for (int i = 0; i < r->nclient && w.ok(); i++) write_client(w, &r->client[i]);
            break;
        case ORBSOURCES:
            if (r->nsource < 0 || (r->nsource > 0 && r->source == nullptr)) {
                w.fail();
                break;
            }
            w.f64(r->source_when);
            w.u32(static_cast<uint32_t>(r->nsource));
            for (int i = 0; i < r->nsource && w.ok(); i++) write_src(w, &r->source[i]);
            break;
        default:
            break;
    }
}

}  // namespace

extern "C" {

int gbnsOrbrequest(Bns *in, Orbrequest *request) {
    int32_t code = 0;
    const unsigned char *body = nullptr;
    uint32_t length = 0;
    if (kestrel::read_record(in, KESTREL_MAX_REQUEST, &code, &body, &length) != 0) return -1;
    WireReader rd(body, length);
    const bool known = read_request_body(rd, code, request);
    kestrel::consume_record(in, length);
    if (known && (!rd.ok() || rd.left() != 0)) return -1;
    request->what = code;
    return 0;
}

int pbnsOrbrequest(Bns *out, Orbrequest *request) {
    WireWriter w(out, request->what);
    write_request_body(w, request);
    return w.finish(KESTREL_MAX_REQUEST);
}

int gbnsOrbresponse(Bns *in, Orbresponse *response) {
    int32_t code = 0;
    const unsigned char *body = nullptr;
    uint32_t length = 0;
    if (kestrel::read_record(in, KESTREL_MAX_RESPONSE, &code, &body, &length) != 0) return -1;
    WireReader rd(body, length);
    read_response_body(rd, code, response);
    kestrel::consume_record(in, length);
    if (!rd.ok() || rd.left() != 0) return -1;
    response->what = code;
    return 0;
}

int pbnsOrbresponse(Bns *out, Orbresponse *response) {
    WireWriter w(out, response->what);
    write_response_body(w, response);
    return w.finish(KESTREL_MAX_RESPONSE);
}

}  // extern "C"
