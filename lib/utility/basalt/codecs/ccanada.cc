// Canadian compression: blocks of 20 samples, second differences, a width
// class per group of four differences, bit packing.
#include <cstring>

#include "bitpack_private.h"
#include "codecs.h"
#include "elog.h"

namespace {

using basalt::cc_bitpack;
using basalt::cc_bitunpack;

constexpr int kBlock = 20;
constexpr int kGroups = 5;
constexpr int32_t kNoCheck = INT32_MIN;

// Field width of a group by code + 8 * flag.
constexpr int kWidth[16] = {4, 6, 8, 10, 12, 14, 16, 18, 4, 8, 12, 16, 20, 24, 28, 32};

// The narrowest width that holds m, the largest one's-complement magnitude
// of a group.
int width_for(uint32_t m) {
    static const uint32_t limit[11] = {7,     31,     127,    511,     2047,     8191,
                                       32767, 131071, 524287, 8388607, 134217727};
    static const int width[11] = {4, 6, 8, 10, 12, 14, 16, 18, 20, 24, 28};
    for (int i = 0; i < 11; i++)
        if (m <= limit[i]) return width[i];
    return 32;
}

inline uint32_t wrap_sub(int32_t a, int32_t b) {
    return static_cast<uint32_t>(a) - static_cast<uint32_t>(b);
}

// The index entry of block b: the flag and five codes.
inline unsigned index_entry(const unsigned char *compressed, int64_t b) {
    return basalt::load_be16(compressed + 2 * b);
}

// Reads one group of four w-bit fields starting at byte `pos` (groups are
// whole bytes) into out.
inline void read_group(const unsigned char *in, int64_t pos, int64_t nbytes, int w,
                       int32_t *out) {
    // The last field starts at most 12 bytes in and is read as 8 bytes.
    if (pos + 20 <= nbytes) {
        const unsigned char *p = in + pos;
        if (w <= 16) {
            // All four fields in one 64-bit word, each sign-extended by an
            // arithmetic shift.
            uint64_t word = basalt::load_be64(p);
            for (int k = 0; k < 4; k++)
                out[k] = static_cast<int32_t>(static_cast<int64_t>(word << (k * w)) >> (64 - w));
            return;
        }
        for (int k = 0; k < 4; k++) {
            unsigned bit = static_cast<unsigned>(k * w);
            out[k] = basalt::sign_extend(basalt::peek_bits(p + bit / 8, bit % 8, w), w);
        }
        return;
    }
    int n = static_cast<int>(pos), msbit = 7;
    for (int k = 0; k < 4; k++) {
        int v = 0;
        cc_bitunpack(&v, &n, &msbit, w, in);
        out[k] = basalt::sign_extend(static_cast<uint32_t>(v), w);
    }
}

}  // namespace

extern "C" int ccanada(int *data, int nsamp, unsigned char **compressedp, int *nbytes,
                       int *compressedsz) {
    *nbytes = 0;
    int32_t check = kNoCheck;
    int count = nsamp;
    if (nsamp >= 1 && (nsamp - 1) % kBlock == 0) {
        check = data[nsamp - 1];
        count = nsamp - 1;
    }
    if (nsamp < 1 || count % kBlock != 0) {
        elog_log(0, "ccanada: nsamp not a multiple of 20.\n");
        return -1;
    }
    const int64_t index_size = count / 10;
    const uint64_t needed = static_cast<uint64_t>(count) * 4 + index_size + 4;
    if (!basalt::provide_exact(compressedp, compressedsz, needed, "ccanada")) return -1;
    unsigned char *out = *compressedp;
    std::memset(out, 0, needed);
    basalt::store_be32(out + index_size, static_cast<uint32_t>(data[0]));

    int in = 0, inbit = 7;                                   // index writer
    int dn = static_cast<int>(index_size) + 4, dbit = 7;     // data writer
    const int data_start = dn;
    uint32_t prev_d1 = 0;
    const int nblks = count / kBlock;
    for (int b = 0; b < nblks; b++) {
        const int32_t *x = data + b * kBlock;
        uint32_t d2[kBlock];
        for (int k = 0; k < kBlock; k++) {
            int32_t next = (b == nblks - 1 && k == kBlock - 1) ? check : x[k + 1];
            uint32_t d1 = wrap_sub(next, x[k]);
            d2[k] = d1 - prev_d1;
            prev_d1 = d1;
        }
        int width[kGroups];
        int flag = 0;
        for (int g = 0; g < kGroups; g++) {
            uint32_t m = 0;
            for (int k = 0; k < 4; k++) {
                int32_t v = static_cast<int32_t>(d2[4 * g + k]);
                uint32_t mag = static_cast<uint32_t>(v ^ (v >> 31));
                m = std::max(m, mag);
            }
            width[g] = width_for(m);
            if (width[g] >= 20) flag = 1;
        }
        cc_bitpack(out, &in, &inbit, 1, flag);
        for (int g = 0; g < kGroups; g++) {
            int w = width[g];
            int code;
            if (flag) {
                if (w == 6 || w == 10 || w == 14 || w == 18) w += 2;
                code = w / 4 - 1;
            } else {
                code = (w - 4) / 2;
            }
            cc_bitpack(out, &in, &inbit, 3, code);
            for (int k = 0; k < 4; k++)
                cc_bitpack(out, &dn, &dbit, w, static_cast<int>(d2[4 * g + k]));
        }
    }
    *nbytes += static_cast<int>(index_size) + 4 + (dn - data_start);
    return 0;
}

extern "C" int ucanada(unsigned char *compressed, int nbytes, int **datap, int *nsamp,
                       int *datasz) {
    if (compressed == nullptr || nbytes <= 5) {
        elog_log(0, "ucanada: Illegal input data: compressed buffer too small\n");
        return -1;
    }
    int64_t count;
    if (*nsamp <= 0) {
        // Count mode: as many blocks as the index and data bits can hold.
        count = 0;
        *nsamp = 0;
        int64_t budget = static_cast<int64_t>(nbytes) * 8 - 32;
        for (int64_t b = 0;; b++) {
            budget -= 16;
            if (budget <= 0) break;
            unsigned entry = index_entry(compressed, b);
            int flag = entry >> 15;
            for (int g = 0; g < kGroups && budget >= 0; g++)
                budget -= 4 * kWidth[((entry >> (12 - 3 * g)) & 7) + 8 * flag];
            count += kBlock;
        }
        *nsamp = static_cast<int>(count);
    } else {
        count = *nsamp;
        if (count % kBlock != 0) {
            elog_log(0, "ucanada: nsamp not a multiple of 20.\n");
            return -1;
        }
    }
    if (count == 0) return 0;

    const int64_t index_size = count / 10;
    // The index and the first sample must lie inside the stream before
    // anything is allocated for the count.
    if (index_size + 4 > nbytes) {
        elog_log(0, "ucanada: Illegal input data: compressed buffer too small.\n");
        return -1;
    }
    if (!basalt::provide_exact(datap, datasz, static_cast<uint64_t>(count) * 4 + 4,
                               "ucanada"))
        return -1;
    int32_t *out = *datap;
    out[0] = static_cast<int32_t>(basalt::load_be32(compressed + index_size));

    int64_t pos = index_size + 4;
    const int64_t nblks = count / kBlock;
    int32_t *o = out + 1;
    for (int64_t b = 0; b < nblks; b++) {
        unsigned entry = index_entry(compressed, b);
        int flag = entry >> 15;
        for (int g = 0; g < kGroups; g++) {
            int w = kWidth[((entry >> (12 - 3 * g)) & 7) + 8 * flag];
            if (pos + w / 2 > nbytes) {
                elog_log(0, "ucanada: Illegal input data: compressed buffer too small.\n");
                return -1;
            }
            read_group(compressed, pos, nbytes, w, o);
            o += 4;
            pos += w / 2;
        }
    }
    if (pos + 4 < nbytes) {
        elog_log(0, "ucanada: Illegal input data: compressed buffer too big.\n");
        return -1;
    }
    // Values 1..count hold second differences: summed once they are the
    // first differences, summed again the samples, with the check sample
    // last.
    uint32_t d1 = 0, x = static_cast<uint32_t>(out[0]);
    for (int64_t k = 1; k <= count; k++) {
        d1 += static_cast<uint32_t>(out[k]);
        x += d1;
        out[k] = static_cast<int32_t>(x);
    }
    return 0;
}
