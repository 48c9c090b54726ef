// The fake packet header (Fakepkt): its record, stream encoding, debugging
// display and terminal entry; the checker of fake bodies and the one-line
// display of a fake packet.
#include "_torvik.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "alloc_private.h"
#include "bns.h"
#include "dumps.h"
#include "elog.h"
#include "fake.h"
#include "randomfill.h"
#include "terminal.h"
#include "timefmt.h"

namespace {

constexpr char kMagic[6] = {'m', 'a', 'g', 'i', 'c', '\0'};
constexpr unsigned kSrcnameSize = 64;  // sizeof Fakepkt::srcname

// Bytes of the encoded header besides the source name: magic 6, sequence
// 4, nbytes 4, rep 6, nsrcname 4, time 8, seqid 4.
constexpr int kFixedHeaderBytes = 36;

// A decoded header never needs more than the fixed part and the name; a
// declared name longer than the record holds is skipped over, within this
// much of the packet.
constexpr int kMaxDecodeBytes = 64 * 1024;

// The source name of a decoded record: it fills the whole field (no
// terminator) when the name was 64 characters or more.
std::string name_of(const Fakepkt &pkt) {
    return std::string(pkt.srcname, strnlen(pkt.srcname, sizeof pkt.srcname));
}

std::string time_text(double t) {
    char *s = strtime(t);
    std::string text = s ? s : "";
    std::free(s);
    return text;
}

// A memory stream that never waits: a read past the loaded bytes fails at
// once.
Bns *new_memory_stream() {
    Bns *bns = bnsnew(-1, 256);
    bnstimeout(bns, 0);
    return bns;
}

enum class Decoded {
    kNotFake,  // does not begin with the recognition code
    kShort,    // begins with it but ends before the header does
    kFake,
};

// Decodes the header at the start of packet on the (empty) stream bns into
// pkt, which is zeroed first; *header_bytes receives the encoded header's
// size. The stream is left empty.
Decoded decode(Bns *bns, const char *packet, int nbytes, Fakepkt *pkt, int *header_bytes) {
    std::memset(pkt, 0, sizeof *pkt);
    *header_bytes = 0;
    if (packet == nullptr || nbytes <= 0) return Decoded::kNotFake;
    const int loaded = std::min(nbytes, kMaxDecodeBytes);
    bnsclr(bns);
    if (buf2bns(bns, const_cast<char *>(packet), loaded) < 0) {
        bnsclr(bns);
        return Decoded::kNotFake;
    }
    const int got = gbnsFakepkt(bns, pkt);
    *header_bytes = loaded - (bns->lp - bns->fp);
    bnsclr(bns);
    if (std::memcmp(pkt->magic, kMagic, sizeof kMagic) != 0) return Decoded::kNotFake;
    return got < 0 ? Decoded::kShort : Decoded::kFake;
}

// ---- The checker's state ----

struct Checker {
    std::mutex lock;
    Bns *bns = nullptr;
    // The sequence number expected next, by sender id (0: none yet).
    std::unordered_map<int, int> expected;
};

Checker &checker() {
    static Checker *c = new Checker;  // lives until the process ends
    return *c;
}

// ---- The display's state ----

struct Display {
    std::mutex lock;
    Bns *bns = nullptr;
};

Display &display() {
    static Display *d = new Display;
    return *d;
}

// The first blank-separated word of an answer on the terminal ("" when
// there is none).
std::string answer(const char *field) {
    char *line = ask(const_cast<char *>("%s->%s = "), "Fakepkt", field);
    std::string text = line ? line : "";
    std::free(line);
    std::string word(text.size() + 1, '\0');
    if (std::sscanf(text.c_str(), "%s", word.data()) != 1) return std::string();
    word.resize(std::strlen(word.c_str()));
    return word;
}

// Copies a word into a fixed field of n bytes, NUL-padded; the word is cut
// to n - 1 characters when terminated is set, else to n.
void set_field(char *field, std::size_t n, const std::string &word, bool terminated) {
    std::memset(field, 0, n);
    std::memcpy(field, word.data(), std::min(word.size(), terminated ? n - 1 : n));
}

}  // namespace

namespace torvik {

int fake_header_size(const char *srcname) {
    const std::size_t stored = srcname ? strnlen(srcname, kSrcnameSize - 1) : 0;
    return kFixedHeaderBytes + static_cast<int>(stored);
}

}  // namespace torvik

extern "C" {

Fakepkt *newFakepkt(void) {
    auto *s = static_cast<Fakepkt *>(std::calloc(1, sizeof(Fakepkt)));
    if (s == nullptr) torvik::out_of_memory(__FILE__, __LINE__, 1, "s");
    initFakepkt(s);
    return s;
}

void initFakepkt(Fakepkt *s) { std::memcpy(s->magic, kMagic, sizeof kMagic); }

void freeFakepkt(Fakepkt *s) { std::free(s); }

int pbnsFakepkt(Bns *bns, Fakepkt *s) {
    int result = 0;
    auto put = [&](void *data, int type, int n) {
        if (bnsput(bns, data, type, n) < 0) result = -1;
    };
    int sequence = s->sequence;
    int nbytes = static_cast<int>(s->nbytes);
    int nsrcname = static_cast<int>(s->nsrcname);
    double time = s->time;
    int seqid = s->seqid;

    put(s->magic, BNS_BYTES, 6);
    put(&sequence, BNS_INT, 1);
    put(&nbytes, BNS_INT, 1);
    put(s->rep, BNS_BYTES, 6);
    put(&nsrcname, BNS_INT, 1);
    // A name longer than the record can hold cannot be written as declared.
    if (s->nsrcname > kSrcnameSize)
        result = -1;
    else
        put(s->srcname, BNS_BYTES, static_cast<int>(s->nsrcname));
    put(&time, BNS_DOUBLE, 1);
    put(&seqid, BNS_INT, 1);
    return result;
}

int gbnsFakepkt(Bns *bns, Fakepkt *s) {
    int value;
    if (bnsget(bns, s->magic, BNS_BYTES, 6) < 0) return -1;
    if (bnsget(bns, &value, BNS_INT, 1) < 0) return -1;
    s->sequence = value;
    if (bnsget(bns, &value, BNS_INT, 1) < 0) return -1;
    s->nbytes = static_cast<unsigned>(value);
    if (bnsget(bns, s->rep, BNS_BYTES, 6) < 0) return -1;
    if (bnsget(bns, &value, BNS_INT, 1) < 0) return -1;
    s->nsrcname = static_cast<unsigned>(value);

    const unsigned stored = std::min(s->nsrcname, kSrcnameSize);
    if (bnsget(bns, s->srcname, BNS_BYTES, static_cast<int>(stored)) < 0) return -1;
    if (s->nsrcname < kSrcnameSize) s->srcname[s->nsrcname] = '\0';
    // The part of a longer name that the record cannot hold is passed over,
    // so that the fields after it are read from their own bytes.
    unsigned excess = s->nsrcname - stored;
    char scratch[256];
    while (excess > 0) {
        const unsigned n = std::min<unsigned>(excess, sizeof scratch);
        if (bnsget(bns, scratch, BNS_BYTES, static_cast<int>(n)) < 0) return -1;
        excess -= n;
    }

    double time;
    if (bnsget(bns, &time, BNS_DOUBLE, 1) < 0) return -1;
    s->time = time;
    if (bnsget(bns, &value, BNS_INT, 1) < 0) return -1;
    s->seqid = value;
    return 0;
}

void dbgFakepkt(Fakepkt *s, FILE *file, int flag) {
    Xchardump(file, "\tFakepkt->magic", "# recognition code for fake packets", s->magic, 6);
    std::fprintf(file, "\tFakepkt->sequence = %d # sequence # for checking\n", s->sequence);
    std::fprintf(file, "\tFakepkt->nbytes = %u # total #bytes in packet\n", s->nbytes);
    Xchardump(file, "\tFakepkt->rep", "# type of packet", s->rep, 6);
    std::fprintf(file, "\tFakepkt->nsrcname = %u # \n", s->nsrcname);
    Xchardump(file, "\tFakepkt->srcname", "# source name", s->srcname,
              static_cast<int>(std::min(s->nsrcname, kSrcnameSize)));
    std::fprintf(file, "\tFakepkt->time = %12g # packet time\n", s->time);
    std::fprintf(file, "\tFakepkt->seqid = %d # sequence id for checking\n", s->seqid);
}

void askFakepkt(Fakepkt *s) {
    int n;
    double t;
    std::string word = answer("magic");
    if (!word.empty()) set_field(s->magic, sizeof s->magic, word, true);
    if (std::sscanf(answer("sequence").c_str(), "%d", &n) == 1) s->sequence = n;
    if (std::sscanf(answer("nbytes").c_str(), "%d", &n) == 1) s->nbytes = static_cast<unsigned>(n);
    word = answer("rep");
    if (!word.empty()) set_field(s->rep, sizeof s->rep, word, false);
    if (std::sscanf(answer("nsrcname").c_str(), "%d", &n) == 1)
        s->nsrcname = static_cast<unsigned>(n);
    word = answer("srcname");
    if (!word.empty()) set_field(s->srcname, sizeof s->srcname, word, true);
    if (std::sscanf(answer("time").c_str(), "%lg", &t) == 1) s->time = t;
    if (std::sscanf(answer("seqid").c_str(), "%d", &n) == 1) s->seqid = n;
}

int fakecheck(char *srcname, double time, char *packet, int nbytes) {
    Checker &c = checker();
    std::lock_guard<std::mutex> lock(c.lock);
    if (c.bns == nullptr) c.bns = new_memory_stream();

    Fakepkt pkt;
    int header = 0;
    switch (decode(c.bns, packet, nbytes, &pkt, &header)) {
        case Decoded::kNotFake: return 0;
        case Decoded::kShort:
            elog_complain(0, "fake packet header cut short: %d bytes\n", nbytes);
            return 1;
        case Decoded::kFake: break;
    }

    int problems = 0;
    if (pkt.nsrcname > kSrcnameSize) {
        elog_complain(0, "nsrcname = %d > %d\n", static_cast<int>(pkt.nsrcname),
                      static_cast<int>(kSrcnameSize));
        hexdump(stderr, packet, nbytes);
        problems++;
    }
    const std::string decoded = name_of(pkt);
    const char *given = srcname ? srcname : "";
    if (decoded != given) {
        elog_complain(0, "srcnames don't match: '%s' != '%s'\n", decoded.c_str(), given);
        problems++;
    }
    if (pkt.time != time) {
        elog_complain(0, "times don't match: %s != %s\n", time_text(pkt.time).c_str(),
                      time_text(time).c_str());
        problems++;
    }
    if (static_cast<int>(pkt.nbytes) != nbytes) {
        elog_complain(0, "sizes don't match: %d != %d\n", static_cast<int>(pkt.nbytes), nbytes);
        problems++;
    }
    // The fill is looked at only when the header agrees with the caller.
    if (problems == 0 && check_random(packet + header, nbytes - header) != 0) {
        elog_complain(0, "fill portions don't match\n");
        problems++;
    }

    int &expected = c.expected[pkt.seqid];
    if (expected > 0 && expected != pkt.sequence) {
        elog_complain(0, "sequence numbers (for %d) wrong: wanted %d, got %d\n", pkt.seqid,
                      expected, pkt.sequence);
        problems++;
    }
    expected = static_cast<int>(static_cast<unsigned>(pkt.sequence) + 1u);
    return problems;
}

void showfakePkt(int pktid, char *srcname, double time, char *packet, int nbytes, FILE *file,
                 int mode) {
    Display &d = display();
    std::lock_guard<std::mutex> lock(d.lock);
    if (d.bns == nullptr) d.bns = new_memory_stream();

    Fakepkt pkt;
    int header = 0;
    if (decode(d.bns, packet, nbytes, &pkt, &header) != Decoded::kFake) {
        elog_complain(0, "not a fake packet\n");
        return;
    }
    std::fprintf(file, " %2d %-35s %s %3d %8d %8d\n", static_cast<int>(pkt.nsrcname),
                 name_of(pkt).c_str(), time_text(pkt.time).c_str(),
                 static_cast<int>(pkt.nbytes), pkt.seqid, pkt.sequence);
}

}  // extern "C"
