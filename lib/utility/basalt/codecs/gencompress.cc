// The block format: segments of samples cut into blocks, each block stored
// with the smallest two's-complement width that holds all its samples.
#include <bit>
#include <cstring>

#include "bitpack_private.h"
#include "codecs.h"
#include "elog.h"
#include "kitbag_byteorder.h"

namespace {

using bitpack_fn = void (*)(unsigned char *, int *, int *, int, int);
constexpr bitpack_fn bitpack = basalt::cc_bitpack;

constexpr int kDefaultLength = 25;
constexpr int kMaxLength = 255;

// The bit length of |x|: the smallest l with |x| < 2^l, at most 31 (a
// sample of -2147483648 gets 31 too: a 32-bit field holds it).
inline int magnitude_bits(int32_t x) {
    uint32_t m = x < 0 ? 0u - static_cast<uint32_t>(x) : static_cast<uint32_t>(x);
    int l = 32 - std::countl_zero(m);
    return l > 31 ? 31 : l;
}

// Reallocates *buf to `bytes` bytes and stores the capacity; on failure
// logs "fn: realloc() error.\n" with the system error text, frees the
// buffer and leaves the pointer null.
template <class T>
bool resize_to(T **buf, int *size, int64_t bytes, const char *fn) {
    void *p = bytes <= INT32_MAX ? std::realloc(*buf, static_cast<std::size_t>(bytes)) : nullptr;
    if (p == nullptr) {
        if (bytes > INT32_MAX) errno = ENOMEM;
        std::free(*buf);
        *buf = nullptr;
        elog_log(1, "%s: realloc() error.\n", fn);
        return false;
    }
    *buf = static_cast<T *>(p);
    *size = static_cast<int>(bytes);
    return true;
}

// Grows the encoder's buffer when the cursor comes within 8 bytes of its
// end; the new part is zeroed.
bool room_for_more(unsigned char **out, int *size, int offset) {
    if (offset + 8 < *size) return true;
    int old = *size;
    if (!resize_to(out, size, static_cast<int64_t>(offset) + 1008, "gencompress")) return false;
    std::memset(*out + old, 0, static_cast<std::size_t>(*size - old));
    return true;
}

// The decoder's output buffer, grown after each stored sample when the
// next one would come within 4 bytes of its end.
struct Samples {
    int **out;
    int *size;
    int64_t stored = 0;

    bool store(int32_t v) {
        (*out)[stored++] = v;
        return 4 * (stored + 1) < *size || resize_to(out, size, 6 * (stored + 1), "genuncompress");
    }
};

enum class Segment { complete, truncated, no_memory };

// Decodes one segment of N >= 2 samples whose blocks start at `pos`: every
// block header and field is checked against the bytes left.
Segment blocks(const unsigned char *in, int64_t nbytes, int64_t &pos, int64_t nsamp,
               int length, Samples &samples) {
    int64_t done = 0;
    while (done < nsamp) {
        if (pos >= nbytes) return Segment::truncated;
        int width = in[pos++] + 1;
        if (width > 32) return Segment::truncated;
        int64_t nfields = std::min<int64_t>(length, nsamp - done);
        int64_t nbits = nfields * width;
        if (pos + (nbits + 7) / 8 > nbytes) return Segment::truncated;
        int64_t k = 0;
        // While the buffer has room for the whole block (no store would
        // enlarge it), the fields whose 8-byte window lies inside the input
        // go straight in.
        const int64_t avail = nbytes - pos;
        if (avail >= 8 && 4 * (samples.stored + nfields + 1) < *samples.size) {
            int64_t inside = std::min(nfields, ((avail - 8) * 8 + 7) / width + 1);
            int32_t *o = *samples.out + samples.stored;
            const unsigned char *block = in + pos;
            for (; k < inside; k++) {
                uint64_t bit = static_cast<uint64_t>(k) * width;
                uint64_t word = basalt::load_be64(block + bit / 8) << (bit % 8);
                o[k] = static_cast<int32_t>(static_cast<int64_t>(word) >> (64 - width));
            }
            samples.stored += inside;
        }
        for (; k < nfields; k++) {
            int64_t bit = k * width;
            const unsigned char *p = in + pos + bit / 8;
            uint32_t u;
            if (p + 8 <= in + nbytes) {
                u = basalt::peek_bits(p, static_cast<unsigned>(bit % 8), width);
            } else {
                int v = 0, n = 0, msbit = 7 - static_cast<int>(bit % 8);
                basalt::cc_bitunpack(&v, &n, &msbit, width, p);
                u = static_cast<uint32_t>(v);
            }
            if (!samples.store(basalt::sign_extend(u, width))) return Segment::no_memory;
        }
        pos += (nbits + 7) / 8;
        done += nfields;
    }
    return Segment::complete;
}

}  // namespace

extern "C" int gencompress(unsigned char **out, int *nout, int *size, int *in, int nsamp,
                           int length) {
    int L = length <= 0 ? kDefaultLength : length > kMaxLength ? kMaxLength : length;
    if (*out == nullptr) {
        int64_t want = 2 * static_cast<int64_t>(nsamp);
        if (nsamp <= 0 && want < 4) want = 4;
        if (nsamp > 0 && want < 8) want = 8;
        void *p = want <= INT32_MAX ? std::calloc(1, want) : nullptr;
        if (p == nullptr) {
            if (want > INT32_MAX) errno = ENOMEM;
            elog_log(1, "gencompress: malloc() error.\n");
            return -1;
        }
        *out = static_cast<unsigned char *>(p);
        *size = static_cast<int>(want);
    } else if (*size <= 7) {
        if (!resize_to(out, size, (nsamp <= 0 && *size <= 3) ? 4 : 8, "gencompress")) return -1;
    }
    unsigned char *buf = *out;
    H2N4(buf, &nsamp, 1);
    if (nsamp <= 0) {
        *nout = 4;
        return 0;
    }
    if (nsamp == 1) {
        H2N4(buf + 4, in, 1);
        *nout = 8;
        return 0;
    }
    buf[4] = static_cast<unsigned char>(L);
    int n = 5, msbit = 7;
    for (int start = 0; start < nsamp; start += L) {
        int count = std::min(L, nsamp - start);
        int h = 0;
        for (int k = 0; k < count; k++) h = std::max(h, magnitude_bits(in[start + k]));
        (*out)[n++] = static_cast<unsigned char>(h);
        if (!room_for_more(out, size, n)) return -1;
        for (int k = 0; k < count; k++) {
            bitpack(*out, &n, &msbit, h + 1, in[start + k]);
            if (!room_for_more(out, size, n)) return -1;
        }
        if (msbit != 7) {
            n++;
            msbit = 7;
        }
        if (start + count < nsamp && !room_for_more(out, size, n)) return -1;
    }
    *nout = n;
    return 0;
}

extern "C" int genuncompress(int **out, int *nout, int *size, unsigned char *in, int nbytes) {
    if (*out == nullptr) {
        int64_t want = 5 * static_cast<int64_t>(nbytes > 0 ? nbytes : 0);
        if (want < 8) want = 8;
        void *p = want <= INT32_MAX ? std::malloc(want) : nullptr;
        if (p == nullptr) {
            if (want > INT32_MAX) errno = ENOMEM;
            elog_log(1, "genuncompress: malloc() error.\n");
            return -1;
        }
        *out = static_cast<int *>(p);
        *size = static_cast<int>(want);
    } else if (*size < 8) {
        if (!resize_to(out, size, 8, "genuncompress")) return -1;
    }
    *nout = 0;
    Samples samples{out, size};
    int64_t pos = 0;
    const int64_t end = nbytes > 0 ? nbytes : 0;
    bool first = true;
    while (pos + 4 <= end) {
        int32_t nsamp = static_cast<int32_t>(basalt::load_be32(in + pos));
        if (nsamp <= 0) {
            // An empty segment ends the data.
            if (first) return 0;
            break;
        }
        if (nsamp == 1) {
            if (pos + 8 > end) break;
            if (!samples.store(static_cast<int32_t>(basalt::load_be32(in + pos + 4))))
                return -1;
            pos += 8;
        } else {
            if (pos + 5 > end) break;
            int length = in[pos + 4];
            if (length == 0) break;
            pos += 5;
            Segment s = blocks(in, end, pos, nsamp, length, samples);
            if (s == Segment::no_memory) return -1;
            if (s == Segment::truncated) break;
        }
        *nout += nsamp;
        first = false;
    }
    return 0;
}
