// Buffered streams: typed values, delimited reads, the sync search and
// memory streams.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "bns.h"
#include "bns_private.h"
#include "dumps.h"
#include "elog.h"
#include "kitbag_byteorder.h"

namespace {

using basalt::bnsimpl::refuse_size;
using basalt::bnsimpl::wrap_add;

// Skipped bytes reach this count and the lenient sync search gives up.
constexpr int kMaxSkipped = 32;

// Wire width of a type code, or -1 for an unknown code.
int width_of(int type) {
    switch (type) {
        case BNS_BYTES: return 1;
        case BNS_SHORT: return 2;
        case BNS_INT: return 4;
        case BNS_INT64: return 8;
        case BNS_FLOAT: return 4;
        case BNS_DOUBLE: return 8;
        default: return -1;
    }
}

// Checks the type and the count of a typed call and gives the byte count,
// or -1 (logged) when the call is to fail.
int64_t wire_bytes(const char *who, int type, int n) {
    const int width = width_of(type);
    if (width < 0) {
        elog_log(0, "unrecognized type %d\n", type);
        return -1;
    }
    if (n < 0) {
        elog_log(0, "%s: negative count\n", who);
        return -1;
    }
    const int64_t bytes = static_cast<int64_t>(n) * width;
    if (bytes > BNS_MAX_SIZE) {
        refuse_size(who);
        return -1;
    }
    return bytes;
}

void from_wire(int type, unsigned char *wire, void *host, int n) {
    unsigned char *cursor = wire;
    switch (type) {
        case BNS_BYTES: std::memcpy(host, wire, static_cast<size_t>(n)); break;
        case BNS_SHORT: ms2hs(&cursor, static_cast<short *>(host), n); break;
        case BNS_INT: mi2hi(&cursor, static_cast<int *>(host), n); break;
        case BNS_INT64: ml2hl(&cursor, static_cast<int64_t *>(host), n); break;
        case BNS_FLOAT: mf2hf(&cursor, static_cast<float *>(host), n); break;
        case BNS_DOUBLE: md2hd(&cursor, static_cast<double *>(host), n); break;
        default: break;
    }
}

void to_wire(int type, const void *host, unsigned char *wire, int n) {
    unsigned char *cursor = wire;
    switch (type) {
        case BNS_BYTES: std::memcpy(wire, host, static_cast<size_t>(n)); break;
        case BNS_SHORT: hs2ms(static_cast<const short *>(host), &cursor, n); break;
        case BNS_INT: hi2mi(static_cast<const int *>(host), &cursor, n); break;
        case BNS_INT64: hl2ml(static_cast<const int64_t *>(host), &cursor, n); break;
        case BNS_FLOAT: hf2mf(static_cast<const float *>(host), &cursor, n); break;
        case BNS_DOUBLE: hd2md(static_cast<const double *>(host), &cursor, n); break;
        default: break;
    }
}

// The bytes the lenient sync search has skipped, kept for its report.
class Skipped {
  public:
    Skipped() = default;
    Skipped(const Skipped &) = delete;
    Skipped &operator=(const Skipped &) = delete;
    ~Skipped() { std::free(bytes_); }

    void add(const char *from, int n) {
        if (n <= 0) return;
        const int64_t need = static_cast<int64_t>(count_) + n;
        if (need > capacity_) {
            int64_t capacity = capacity_ > 0 ? capacity_ : 64;
            while (capacity < need) capacity *= 2;
            bytes_ = static_cast<char *>(
                BASALT_REALLOC(bytes_, static_cast<size_t>(capacity), "skipped"));
            capacity_ = capacity;
        }
        std::memcpy(bytes_ + count_, from, static_cast<size_t>(n));
        count_ += n;
    }
    int count() const { return count_; }
    const char *bytes() const { return bytes_; }

  private:
    char *bytes_ = nullptr;
    int64_t capacity_ = 0;
    int count_ = 0;
};

}  // namespace

extern "C" {

int bnsget(Bns *bns, void *data, int type, int n) {
    const int64_t n2get = wire_bytes("bnsget", type, n);
    if (n2get < 0) return -1;
    while (bns->lp - bns->fp < n2get) {
        if (bnsmore(bns, static_cast<int>(n2get - (bns->lp - bns->fp))) <= 0) break;
    }
    if (bns->lp - bns->fp < n2get) return -1;
    if (n2get > 0)
        from_wire(type, reinterpret_cast<unsigned char *>(bns->data + bns->fp), data, n);
    bns->fp += static_cast<int32_t>(n2get);
    bns->incount = wrap_add(bns->incount, n2get);
    return 0;
}

int bnsgetc(Bns *bns, void *data, int mx, int c) {
    if (mx < 0) mx = 0;
    // Bytes from fp on already scanned in vain; compaction moves fp and
    // the bytes alike, so the count stays good across reads.
    int32_t scanned = 0;
    int more;
    for (;;) {
        const char *start = bns->data + bns->fp;
        const int32_t unread = bns->lp - bns->fp;
        const void *hit = std::memchr(start + scanned, c, static_cast<size_t>(unread - scanned));
        if (hit != nullptr) {
            const int32_t i = static_cast<int32_t>(static_cast<const char *>(hit) - start);
            const int32_t given = i < mx ? i : mx;
            if (given > 0) std::memcpy(data, start, static_cast<size_t>(given));
            bns->fp += i;
            bns->incount = wrap_add(bns->incount, i);
            return given;
        }
        scanned = unread;
        more = bnsmore(bns, 1);
        if (more <= 0) break;
    }
    const int32_t unread = bns->lp - bns->fp;
    const int32_t given = unread < mx ? unread : mx;
    if (given > 0) std::memcpy(data, bns->data + bns->fp, static_cast<size_t>(given));
    // After a time-out the bytes stay unread: the next call sees them again.
    if (more == 0) return -1;
    bns->fp = bns->lp;
    bns->incount = wrap_add(bns->incount, unread);
    return -1;
}

int bnsput(Bns *bns, void *data, int type, int n2send) {
    const int64_t nbytes = wire_bytes("bnsput", type, n2send);
    if (nbytes < 0) return -1;
    const int64_t room = static_cast<int64_t>(bns->sz) - bns->lp;
    if (nbytes > room &&
        !basalt::bnsimpl::grow(bns, nbytes - room, bns->lp + nbytes, "bnsput"))
        return -1;
    if (nbytes > 0)
        to_wire(type, data, reinterpret_cast<unsigned char *>(bns->data + bns->lp), n2send);
    bns->lp += static_cast<int32_t>(nbytes);
    bns->outcount = wrap_add(bns->outcount, nbytes);
    return 0;
}

int gbnsSync(Bns *bns, char *sync, int nsync, int strict) {
    if (nsync < 1) return 0;
    Skipped skipped;
    int i = 0;
    int result = 0;
    while (i < nsync) {
        char byte;
        if (bnsget(bns, &byte, BNS_BYTES, 1) < 0) {
            result = -1;
            break;
        }
        if (byte == sync[i]) {
            i++;
            continue;
        }
        if (strict) {
            result = -2;
            break;
        }
        // The partial match and the byte that broke it are skipped; the
        // search starts over with the byte after it.
        skipped.add(sync, i);
        skipped.add(&byte, 1);
        i = 0;
        if (skipped.count() >= kMaxSkipped) {
            result = -2;
            break;
        }
    }
    if (skipped.count() > 0) {
        char shown[256];
        printable_string(shown, static_cast<int>(sizeof shown), sync, nsync);
        elog_complain(0, "skipped %d bytes looking for sync '%s'\n", skipped.count(), shown);
        hexdump(stderr, skipped.bytes(), skipped.count());
    }
    return result;
}

int bns2buf(Bns *bns, char *buf, int maxbuf) {
    int32_t n = bns->lp - bns->fp;
    if (maxbuf < 0) maxbuf = 0;
    if (n > maxbuf) n = maxbuf;
    if (n > 0) std::memcpy(buf, bns->data + bns->fp, static_cast<size_t>(n));
    bns->fp = bns->lp = 0;
    // Kept bytes went with the rest.
    if (bns->mark >= 0) {
        bns->mark = 0;
        if (bns->marktbl != nullptr) clrtbl(bns->marktbl, nullptr);
    }
    return n;
}

int buf2bns(Bns *bns, char *buf, int nbytes) { return bnsput(bns, buf, BNS_BYTES, nbytes); }

int bnsin(Bns *bns) {
    const int n = bns->incount;
    bns->incount = 0;
    return n;
}

int bnsout(Bns *bns) {
    const int n = bns->outcount;
    bns->outcount = 0;
    return n;
}

}  // extern "C"
