// The stream codec of the protocol records: requests and responses in the
// layout of wire-format.md, both directions.
//
// Each record's layout is written once, as a list of its fields handed to
// an IO object: Reading fills the record from a body, Writing appends the
// record's fields to a stream. Both present the same calls, so the two
// directions cannot disagree.
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

// ---- a packet, the one field with bounds and storage of its own ----

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

// ---- the two directions ----

class Reading {
  public:
    explicit Reading(WireReader &rd) : rd_(rd) {}

    void i32(int &v) { v = rd_.i32(); }
    void u32(unsigned int &v) { v = rd_.u32(); }
    void f64(double &v) { v = rd_.f64(); }
    void u8(char &v) { v = rd_.u8(); }
    void raw(void *p, std::size_t n) { rd_.raw(p, n); }
    template <std::size_t N>
    void text(char (&field)[N]) {
        rd_.text(field, N);
    }
    void challenge(char (&field)[14]) {
        std::memset(field, 0, sizeof field);
        rd_.raw(field, kChallengeBytes);
    }
    // An expression of its own length: count becomes its length plus one.
    void expression(char *&text, int &allocated, int &count, const char *what) {
        const int n = rd_.text_grown(&text, &allocated, KESTREL_MAX_EXPRESSION, what);
        if (n >= 0) count = n + 1;
    }
    void pkt(Pktpkg *&pkg, int &allocated, std::size_t bound) {
        if (pkg == nullptr) {
            pkg = newPktpkg();
            allocated = static_cast<int>(sizeof(Pktpkg));
        }
        read_pkt(rd_, pkg, bound);
    }
    // The open string a request owns, made when missing; true when there
    // is one to fill.
    bool hello(OrbOpenString *&h, int &allocated) {
        if (h == nullptr) {
            h = newOrbOpenString();
            allocated = static_cast<int>(sizeof(OrbOpenString));
        }
        return true;
    }
    // A count and that many records, each read by fields.
    template <typename T, typename Fields>
    void records(T *&array, int &allocated, int &count, std::size_t min_bytes, const char *what,
                 Fields fields) {
        const uint32_t n = rd_.u32();
        if (!rd_.room_for(n, min_bytes)) return;
        if (n > 0 && (array == nullptr || allocated < 0 || static_cast<uint32_t>(allocated) < n)) {
            array = static_cast<T *>(KESTREL_REALLOC(array, sizeof(T) * n, what));
            allocated = static_cast<int>(n);
        }
        for (uint32_t i = 0; i < n && rd_.ok(); i++) fields(*this, &array[i]);
        count = rd_.ok() ? static_cast<int>(n) : 0;
    }
    // Whatever else a body holds is passed over.
    void rest() { rd_.take(rd_.left()); }

  private:
    WireReader &rd_;
};

class Writing {
  public:
    explicit Writing(WireWriter &w) : w_(w) {}

    void i32(const int &v) { w_.i32(v); }
    void u32(const unsigned int &v) { w_.u32(v); }
    void f64(const double &v) { w_.f64(v); }
    void u8(const char &v) { w_.u8(v); }
    void raw(const void *p, std::size_t n) { w_.raw(p, n); }
    template <std::size_t N>
    void text(const char (&field)[N]) {
        w_.text(field, N);
    }
    void challenge(const char (&field)[14]) { w_.raw(field, kChallengeBytes); }
    void expression(char *const &text, int &, int &, const char *) {
        w_.text_bounded(text, KESTREL_MAX_EXPRESSION);
    }
    void pkt(Pktpkg *const &pkg, int &, std::size_t bound) { write_pkt(w_, pkg, bound); }
    bool hello(OrbOpenString *const &h, int &) {
        if (h == nullptr) w_.fail();
        return h != nullptr;
    }
    template <typename T, typename Fields>
    void records(T *const &array, int &, const int &count, std::size_t, const char *,
                 Fields fields) {
        if (count < 0 || (count > 0 && array == nullptr)) {
            w_.fail();
            return;
        }
        w_.u32(static_cast<uint32_t>(count));
        for (int i = 0; i < count && w_.ok(); i++) fields(*this, &array[i]);
    }
    void rest() {}

  private:
    WireWriter &w_;
};

// ---- the records ----

template <typename IO>
void hello_fields(IO &io, OrbOpenString *h) {
    io.raw(&h->handshake, sizeof h->handshake);
    io.i32(h->pid);
    io.u8(h->perm);
    io.text(h->what);
    io.text(h->who);
}

template <typename IO>
void stat_fields(IO &io, Orbstat *s) {
    io.f64(s->when);
    io.f64(s->started);
    io.f64(s->orb_start);
    io.i32(s->connections);
    io.i32(s->messages);
    io.u32(s->maxdata);
    io.i32(s->errors);
    io.i32(s->rejected);
    io.i32(s->closes);
    io.i32(s->opens);
    io.i32(s->port);
    io.raw(s->address, sizeof s->address);
    io.i32(s->pid);
    io.i32(s->nsources);
    io.i32(s->nclients);
    io.i32(s->maxsrc);
    io.i32(s->maxpkts);
    io.text(s->version);
    io.text(s->who);
    io.text(s->host);
}

template <typename IO>
void client_fields(IO &io, Orbclient *c) {
    io.f64(c->lastpkt);
    io.f64(c->started);
    io.u32(c->read);
    io.i32(c->pid);
    io.u32(c->bytes);
    io.u32(c->packets);
    io.i32(c->pktid);
    io.i32(c->port);
    io.raw(c->address, sizeof c->address);
    io.i32(c->thread);
    io.i32(c->fd);
    io.i32(c->nreject);
    io.i32(c->nselect);
    io.i32(c->errors);
    io.i32(c->priority);
    io.i32(c->lastrequest);
    io.i32(c->mymessages);
    io.u32(c->nrequests);
    io.u32(c->nwrites);
    io.u32(c->nreads);
    io.u32(c->written);
    io.u8(c->perm);
    io.text(c->what);
    io.text(c->host);
    io.text(c->who);
    io.text(c->select);
    io.text(c->reject);
}

template <typename IO>
void src_fields(IO &io, Orbsrc *s) {
    io.f64(s->slatest_time);
    io.f64(s->soldest_time);
    io.i32(s->nbytes);
    io.i32(s->npkts);
    io.i32(s->slatest);
    io.i32(s->soldest);
    io.i32(s->active);
    io.text(s->srcname);
}

template <typename IO>
void hello_of(IO &io, Orbrequest *r) {
    if (io.hello(r->hello, r->sZhello)) hello_fields(io, r->hello);
}

// The body of a request of a known code; false for a code without a layout.
template <typename IO>
bool request_fields(IO &io, int code, Orbrequest *r) {
    switch (code) {
        case ORBPUT:
        case ORBPUT2:
        case ORBPUTACK:
        case ORBPUTACK2:
            io.pkt(r->pkg, r->sZpkg, KESTREL_MAX_REQUEST);
            return true;
        case ORBGET:
        case ORBGET2:
        case ORBSEEK:
            io.i32(r->pktcode);
            return true;
        case ORBREAP:
        case ORBREAP2:
            io.f64(r->reap_maxtime);
            io.i32(r->reap_maxbytes);
            io.i32(r->reap_maxpkts);
            return true;
        case ORBSELECT:
            io.expression(r->select, r->sZselect, r->nselect, "request->select");
            return true;
        case ORBREJECT:
            io.expression(r->reject, r->sZreject, r->nreject, "request->reject");
            return true;
        case ORBAFTER:
            io.f64(r->time);
            return true;
        case ORBSETPRIO:
            io.i32(r->thread);
            io.i32(r->newpri);
            return true;
        case ORBLOGGING:
            io.i32(r->logflag);
            return true;
        case ORBKILL:
            io.i32(r->thread);
            return true;
        case ORBSTASHFLAG:
        case ORBSTASHPKT:
            io.i32(r->stashflag);
            return true;
        case ORBOPEN:
            hello_of(io, r);
            return true;
        case ORBRUP:
            io.i32(r->athread);
            hello_of(io, r);
            return true;
        case ORBSIGNEDOPEN:
            hello_of(io, r);
            io.text(r->signer);
            io.text(r->signature);
            io.challenge(r->challenge);
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

template <typename IO>
void response_fields(IO &io, int code, Orbresponse *r) {
    io.i32(r->result);
    if (r->result != 0) {
        io.i32(r->nerr);
        io.text(r->errmsg);
        return;
    }
    switch (code) {
        case ORBGET:
        case ORBGET2:
        case ORBREAP:
        case ORBREAP2:
            io.pkt(r->pkg, r->sZpkg, KESTREL_MAX_PACKET);
            break;
        case ORBPUT:
        case ORBPUT2:
        case ORBPUTACK:
        case ORBPUTACK2:
        case ORBSEEK:
        case ORBTELL:
        case ORBAFTER:
            io.i32(r->pktid);
            break;
        case ORBSELECT:
        case ORBREJECT:
            io.i32(r->nselections);
            break;
        case ORBVERSION:
            io.i32(r->version);
            break;
        case ORBMYTHREAD:
            io.i32(r->thread);
            break;
        case ORBSTASHFLAG:
        case ORBSTASHPKT:
            io.i32(r->stashflag);
            break;
        case ORBCHALLENGE:
            io.challenge(r->challenge);
            break;
        case ORBRUP:
            io.i32(r->active);
            [[fallthrough]];
        case ORBOPEN:
        case ORBSIGNEDOPEN:
            io.f64(r->orb_start);
            io.f64(r->server_start);
            io.i32(r->latest_pktid);
            break;
        case ORBSTAT:
            stat_fields(io, &r->orbstat);
            break;
        case ORBCLIENTS:
            io.f64(r->client_when);
            io.records(r->client, r->sZclient, r->nclient, kClientMinBytes, "response->client",
                       [](IO &each, Orbclient *c) { client_fields(each, c); });
            break;
        case ORBSOURCES:
            io.f64(r->source_when);
            io.records(r->source, r->sZsource, r->nsource, kSrcMinBytes, "response->source",
                       [](IO &each, Orbsrc *s) { src_fields(each, s); });
            break;
        default:
            io.rest();
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
    Reading io(rd);
    const bool known = request_fields(io, code, request);
    kestrel::consume_record(in, length);
    if (known && (!rd.ok() || rd.left() != 0)) return -1;
    request->what = code;
    return 0;
}

int pbnsOrbrequest(Bns *out, Orbrequest *request) {
    WireWriter w(out, request->what);
    Writing io(w);
    request_fields(io, request->what, request);
    return w.finish(KESTREL_MAX_REQUEST);
}

int gbnsOrbresponse(Bns *in, Orbresponse *response) {
    int32_t code = 0;
    const unsigned char *body = nullptr;
    uint32_t length = 0;
    if (kestrel::read_record(in, KESTREL_MAX_RESPONSE, &code, &body, &length) != 0) return -1;
    WireReader rd(body, length);
    Reading io(rd);
    response_fields(io, code, response);
    kestrel::consume_record(in, length);
    if (!rd.ok() || rd.left() != 0) return -1;
    response->what = code;
    return 0;
}

int pbnsOrbresponse(Bns *out, Orbresponse *response) {
    WireWriter w(out, response->what);
    Writing io(w);
    response_fields(io, response->what, response);
    return w.finish(KESTREL_MAX_RESPONSE);
}

}  // extern "C"
