// The packet records, the packet type table, stuffing and unstuffing in
// the library's byte layout, and the packet display.
#include "gannet.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr char kTag[4] = {'G', 'N', 'T', '1'};
constexpr int kMaxChannels = 65535;

const Pkttype kPkttypes[] = {
    {"dbug", "dbug", "debugging waveform packets"},
    {"wfm", "wfm", "waveform packets"},
};

[[noreturn]] void out_of_memory(std::size_t bytes, const char *what) {
    std::fprintf(stderr, "libgannet: out of memory allocating %zu bytes for %s\n", bytes, what);
    std::abort();
}

void *checked_calloc(std::size_t bytes, const char *what) {
    void *p = std::calloc(1, bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(bytes, what);
    return p;
}

void *checked_realloc(void *old, std::size_t bytes, const char *what) {
    void *p = std::realloc(old, bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(bytes, what);
    return p;
}

// Copies at most GANNET_CODE_SIZE - 1 characters of src, NUL-padded.
void set_code(char *field, const char *src) {
    std::memset(field, 0, GANNET_CODE_SIZE);
    if (src != nullptr) std::memcpy(field, src, strnlen(src, GANNET_CODE_SIZE - 1));
}

// ---- Big-endian writing and reading ----

class Writer {
  public:
    explicit Writer(unsigned char *p) : p_(p) {}
    void u16(unsigned v) {
        p_[0] = static_cast<unsigned char>(v >> 8);
        p_[1] = static_cast<unsigned char>(v);
        p_ += 2;
    }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; i++) p_[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
        p_ += 4;
    }
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void f64(double d) {
        std::uint64_t v;
        std::memcpy(&v, &d, sizeof v);
        for (int i = 0; i < 8; i++) p_[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
        p_ += 8;
    }
    // n bytes of text, NUL-padded (cut to n).
    void text(const char *s, std::size_t n) {
        std::size_t len = s ? strnlen(s, n) : 0;
        if (len > 0) std::memcpy(p_, s, len);
        std::memset(p_ + len, 0, n - len);
        p_ += n;
    }
    void raw(const void *s, std::size_t n) {
        std::memcpy(p_, s, n);
        p_ += n;
    }

  private:
    unsigned char *p_;
};

class Reader {
  public:
    Reader(const unsigned char *p, std::size_t n) : p_(p), left_(n) {}
    bool take(std::size_t n) {
        if (n > left_) return false;
        left_ -= n;
        return true;
    }
    bool u16(unsigned &v) {
        if (!take(2)) return false;
        v = (static_cast<unsigned>(p_[0]) << 8) | p_[1];
        p_ += 2;
        return true;
    }
    bool u32(std::uint32_t &v) {
        if (!take(4)) return false;
        v = 0;
        for (int i = 0; i < 4; i++) v = (v << 8) | p_[i];
        p_ += 4;
        return true;
    }
    bool i32(std::int32_t &v) {
        std::uint32_t u;
        if (!u32(u)) return false;
        v = static_cast<std::int32_t>(u);
        return true;
    }
    bool f64(double &d) {
        if (!take(8)) return false;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; i++) v = (v << 8) | p_[i];
        std::memcpy(&d, &v, sizeof d);
        p_ += 8;
        return true;
    }
    // n bytes of NUL-padded text into field (size n + 1 at least).
    bool text(char *field, std::size_t n) {
        if (!take(n)) return false;
        std::memcpy(field, p_, n);
        field[n] = '\0';
        p_ += n;
        return true;
    }
    bool raw(void *out, std::size_t n) {
        if (!take(n)) return false;
        std::memcpy(out, p_, n);
        p_ += n;
        return true;
    }
    std::size_t left() const { return left_; }

  private:
    const unsigned char *p_;
    std::size_t left_;
};

std::string composed_name(const Packet *pkt) {
    const Srcname &s = pkt->parts;
    std::string name;
    name.append(s.src_net, strnlen(s.src_net, GANNET_CODE_SIZE));
    name += '_';
    name.append(s.src_sta, strnlen(s.src_sta, GANNET_CODE_SIZE));
    name += '_';
    name.append(s.src_chan, strnlen(s.src_chan, GANNET_CODE_SIZE));
    if (s.src_loc[0] != '\0') {
        name += '_';
        name.append(s.src_loc, strnlen(s.src_loc, GANNET_CODE_SIZE));
    }
    if (s.src_suffix[0] != '\0') {
        name += '/';
        name.append(s.src_suffix, strnlen(s.src_suffix, GANNET_CODE_SIZE));
    }
    return name;
}

std::string channel_name(const PktChannel *c) {
    std::string name;
    name.append(c->net, strnlen(c->net, GANNET_CODE_SIZE));
    name += '_';
    name.append(c->sta, strnlen(c->sta, GANNET_CODE_SIZE));
    name += '_';
    name.append(c->chan, strnlen(c->chan, GANNET_CODE_SIZE));
    if (c->loc[0] != '\0') {
        name += '_';
        name.append(c->loc, strnlen(c->loc, GANNET_CODE_SIZE));
    }
    return name;
}

// "yyyy-mm-dd hh:mm:ss.sss" in UTC, rounded to milliseconds.
std::string time_text(double t) {
    if (!std::isfinite(t) || std::fabs(t) > 1e14) {
        char b[40];
        std::snprintf(b, sizeof b, "%.3f", t);
        return b;
    }
    double ms_total = std::floor(t * 1000.0 + 0.5);
    auto whole = static_cast<std::int64_t>(std::floor(ms_total / 1000.0));
    auto ms = static_cast<int>(ms_total - static_cast<double>(whole) * 1000.0);
    std::time_t secs = static_cast<std::time_t>(whole);
    struct tm tm;
    if (static_cast<std::int64_t>(secs) != whole || gmtime_r(&secs, &tm) == nullptr) {
        char b[40];
        std::snprintf(b, sizeof b, "%.3f", t);
        return b;
    }
    char b[64];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return b;
}

}  // namespace

extern "C" {

Packet *newPkt(void) {
    auto *pkt = static_cast<Packet *>(checked_calloc(sizeof(Packet), "Packet"));
    return pkt;
}

void freePkt(Packet *pkt) {
    if (pkt == nullptr) return;
    for (int i = 0; i < pkt->nchannels; i++) freePktChannel(pkt->channels[i]);
    std::free(pkt->channels);
    std::free(pkt);
}

PktChannel *newPktChannel(void) {
    return static_cast<PktChannel *>(checked_calloc(sizeof(PktChannel), "PktChannel"));
}

void freePktChannel(PktChannel *pktchan) {
    if (pktchan == nullptr) return;
    if (pktchan->datasz > 0) std::free(pktchan->data);
    std::free(pktchan);
}

int setPktChannel(Packet *pkt, int index, PktChannel *pktchan) {
    if (pkt == nullptr || index < 0 || index >= kMaxChannels) return -1;
    if (index >= pkt->channelsz) {
        int size = pkt->channelsz > 0 ? pkt->channelsz : 4;
        while (size <= index) size *= 2;
        const std::size_t bytes = static_cast<std::size_t>(size) * sizeof(PktChannel *);
        pkt->channels = static_cast<PktChannel **>(
            checked_realloc(pkt->channels, bytes, "Packet channels"));
        for (int i = pkt->channelsz; i < size; i++) pkt->channels[i] = nullptr;
        pkt->channelsz = size;
    }
    if (index < pkt->nchannels && pkt->channels[index] != pktchan)
        freePktChannel(pkt->channels[index]);
    pkt->channels[index] = pktchan;
    if (index >= pkt->nchannels) pkt->nchannels = index + 1;
    return 0;
}

const Pkttype *suffix2pkttype(const char *suffix) {
    if (suffix == nullptr) return nullptr;
    for (const Pkttype &t : kPkttypes)
        if (std::strcmp(t.suffix, suffix) == 0) return &t;
    return nullptr;
}

int stuffPkt(Packet *pkt, char *srcname, double *time, char **packet, int *nbytes,
             int *bufsize) {
    if (pkt == nullptr || packet == nullptr || nbytes == nullptr || bufsize == nullptr)
        return -1;
    if (pkt->nchannels < 0 || pkt->nchannels > kMaxChannels) return -1;

    // The size, in 64 bits, before anything is allocated.
    std::uint64_t total = GANNET_HEADER_BYTES;
    for (int i = 0; i < pkt->nchannels; i++) {
        const PktChannel *c = pkt->channels[i];
        if (c == nullptr) continue;
        if (c->nsamp < 0 || c->nsamp > GANNET_MAX_SAMPLES) return -1;
        if (c->nsamp > 0 && c->data == nullptr) return -1;
        total += GANNET_CHANNEL_BYTES + 4 * static_cast<std::uint64_t>(c->nsamp);
        if (total > INT32_MAX) return -1;
    }
    const auto need = static_cast<int>(total);

    if (*packet == nullptr || *bufsize < need) {
        const int size = (*packet != nullptr && *bufsize > need) ? *bufsize : need;
        *packet = static_cast<char *>(
            checked_realloc(*packet, static_cast<std::size_t>(size), "packet"));
        *bufsize = size;
    }

    int present = 0;
    for (int i = 0; i < pkt->nchannels; i++)
        if (pkt->channels[i] != nullptr) present++;

    double first_time = 0.0;
    bool have_time = false;
    Writer w(reinterpret_cast<unsigned char *>(*packet));
    w.raw(kTag, sizeof kTag);
    w.u16(static_cast<unsigned>(pkt->version) & 0xffffu);
    w.u16(static_cast<unsigned>(present));
    w.text(pkt->pkttype ? pkt->pkttype->suffix : pkt->parts.src_suffix, 16);
    for (int i = 0; i < pkt->nchannels; i++) {
        const PktChannel *c = pkt->channels[i];
        if (c == nullptr) continue;
        if (!have_time) {
            first_time = c->time;
            have_time = true;
        }
        w.text(c->segtype, 2);
        w.text(c->net, GANNET_CODE_SIZE);
        w.text(c->sta, GANNET_CODE_SIZE);
        w.text(c->chan, GANNET_CODE_SIZE);
        w.text(c->loc, GANNET_CODE_SIZE);
        w.f64(c->time);
        w.f64(c->samprate);
        w.f64(c->calib);
        w.f64(c->calper);
        w.i32(c->nsamp);
        for (int k = 0; k < c->nsamp; k++) w.i32(c->data[k]);
    }
    *nbytes = need;

    pkt->time = first_time;
    if (time != nullptr) *time = first_time;
    if (srcname != nullptr) {
        const std::string name = composed_name(pkt);
        std::snprintf(srcname, GANNET_SRCNAME_SIZE, "%s", name.c_str());
    }
    return 0;
}

int unstuffPkt(const char *srcname, double time, const char *packet, int nbytes,
               Packet **pkt) {
    if (pkt == nullptr || packet == nullptr || nbytes < GANNET_HEADER_BYTES) return -1;
    Reader r(reinterpret_cast<const unsigned char *>(packet), static_cast<std::size_t>(nbytes));
    char tag[4];
    unsigned version = 0, count = 0;
    char suffix[17];
    if (!r.raw(tag, 4) || std::memcmp(tag, kTag, 4) != 0 || !r.u16(version) || !r.u16(count) ||
        !r.text(suffix, 16))
        return -1;

    Packet *fresh = newPkt();
    fresh->version = static_cast<int>(version);
    set_code(fresh->parts.src_suffix, suffix);
    fresh->pkttype = suffix2pkttype(suffix);
    bool ok = true;
    for (unsigned i = 0; ok && i < count; i++) {
        PktChannel *c = newPktChannel();
        char field[GANNET_CODE_SIZE + 1];
        std::int32_t n = 0;
        ok = r.text(field, 2);
        if (ok) std::memcpy(c->segtype, field, 2);
        char *codes[] = {c->net, c->sta, c->chan, c->loc};
        for (char *code : codes) {
            if (ok) ok = r.text(field, GANNET_CODE_SIZE);
            if (ok) set_code(code, field);
        }
        ok = ok && r.f64(c->time) && r.f64(c->samprate) && r.f64(c->calib) &&
             r.f64(c->calper) && r.i32(n);
        // The count is checked against the bytes left before the samples
        // are allocated.
        if (ok && (n < 0 || n > GANNET_MAX_SAMPLES ||
                   static_cast<std::uint64_t>(n) * 4 > r.left()))
            ok = false;
        if (ok) {
            c->nsamp = n;
            c->datasz = n;
            c->data = static_cast<int *>(
                checked_calloc(static_cast<std::size_t>(n) * sizeof(int), "channel samples"));
            for (std::int32_t k = 0; ok && k < n; k++) {
                std::int32_t v = 0;
                ok = r.i32(v);
                c->data[k] = v;
            }
        }
        setPktChannel(fresh, static_cast<int>(i), c);
    }
    if (!ok || r.left() != 0) {
        freePkt(fresh);
        return -1;
    }
    for (int i = 0; i < fresh->nchannels; i++) {
        const PktChannel *c = fresh->channels[i];
        if (i == 0) {
            fresh->time = c->time;
            set_code(fresh->parts.src_net, c->net);
            set_code(fresh->parts.src_sta, c->sta);
            set_code(fresh->parts.src_chan, c->chan);
            set_code(fresh->parts.src_loc, c->loc);
        }
    }
    freePkt(*pkt);
    *pkt = fresh;
    return 0;
}

void showPkt(int pktid, char *srcname, double time, char *packet, int nbytes, FILE *file,
             int mode) {
    if (file == nullptr) return;
    std::fprintf(file, "%d '%s' %s %d bytes\n", pktid, srcname ? srcname : "",
                 time_text(time).c_str(), nbytes);
    Packet *pkt = nullptr;
    if (packet == nullptr || unstuffPkt(srcname, time, packet, nbytes, &pkt) != 0) return;
    std::fprintf(file, "    %s version %d, %d channel%s\n", pkt->parts.src_suffix,
                 pkt->version, pkt->nchannels, pkt->nchannels == 1 ? "" : "s");
    if (mode > 0) {
        for (int i = 0; i < pkt->nchannels; i++) {
            const PktChannel *c = pkt->channels[i];
            std::fprintf(file, "    %s %.2s %s %g sps %d samples calib %g calper %g\n",
                         channel_name(c).c_str(), c->segtype, time_text(c->time).c_str(),
                         c->samprate, c->nsamp, c->calib, c->calper);
            if (mode > 3) {
                std::fprintf(file, "     ");
                for (int k = 0; k < c->nsamp && k < 8; k++) std::fprintf(file, " %d", c->data[k]);
                std::fprintf(file, "\n");
            }
        }
    }
    freePkt(pkt);
}

}  // extern "C"
