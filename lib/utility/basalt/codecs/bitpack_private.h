// Bit fields packed most significant bit first, shared by the Canadian and
// block codecs, and the growable buffers those two codecs hand back.
//
// A cursor is a byte index and the next free bit of that byte (7 = most
// significant); each stream starts at byte 0, bit 7.
#ifndef BASALT_BITPACK_PRIVATE_H
#define BASALT_BITPACK_PRIVATE_H

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "byteload_private.h"
#include "elog.h"

namespace basalt {

// Stores the low `length` bits of `in` at the cursor, most significant
// first, replacing the bits it covers and leaving the rest of each byte.
inline void cc_bitpack(unsigned char *out, int *n, int *msbit, int length, int in) {
    uint32_t v = static_cast<uint32_t>(in);
    int rem = length;
    while (rem > 0) {
        int room = *msbit + 1;
        int take = std::min(room, rem);
        uint32_t low = (1u << take) - 1;
        uint32_t chunk = (v >> (rem - take)) & low;
        int shift = room - take;
        unsigned char &byte = out[*n];
        byte = static_cast<unsigned char>((byte & ~(low << shift)) | (chunk << shift));
        rem -= take;
        *msbit -= take;
        if (*msbit < 0) {
            ++*n;
            *msbit = 7;
        }
    }
}

// ORs the next `length` bits at the cursor into *out, right-aligned and
// unsigned (the caller zeroes *out first).
inline void cc_bitunpack(int *out, int *n, int *msbit, int length, const unsigned char *in) {
    uint32_t v = 0;
    int rem = length;
    while (rem > 0) {
        int room = *msbit + 1;
        int take = std::min(room, rem);
        uint32_t chunk = (in[*n] >> (room - take)) & ((1u << take) - 1);
        v = (v << take) | chunk;
        rem -= take;
        *msbit -= take;
        if (*msbit < 0) {
            ++*n;
            *msbit = 7;
        }
    }
    *out = static_cast<int>(static_cast<uint32_t>(*out) | v);
}

// The w bits (1..32) starting `bit` bits into the 8 readable bytes at p.
inline uint32_t peek_bits(const unsigned char *p, unsigned bit, int w) {
    return static_cast<uint32_t>((load_be64(p) << bit) >> (64 - w));
}

// A w-bit two's-complement field (1..32 bits) widened to 32 bits.
inline int32_t sign_extend(uint32_t u, int w) {
    return static_cast<int32_t>(u << (32 - w)) >> (32 - w);
}

// Makes *bufp hold `needed` bytes for the codec `fn`: a null buffer or a
// capacity of 0 is allocated, a smaller one reallocated, to exactly that
// size; a larger one is used as it is. On failure logs "fn: malloc()
// error.\n" or "fn: realloc() error.\n" with the system error text, leaves
// the buffer pointer null (the old buffer freed) and the capacity as it was.
template <class T>
bool provide_exact(T **bufp, int *capacity, uint64_t needed, const char *fn) {
    if (*bufp != nullptr && *capacity != 0 && static_cast<uint64_t>(*capacity) >= needed)
        return true;
    bool fresh = *bufp == nullptr || *capacity == 0;
    void *p = nullptr;
    if (needed <= INT_MAX) {
        p = fresh ? std::malloc(needed ? needed : 1) : std::realloc(*bufp, needed);
    } else {
        errno = ENOMEM;
    }
    if (p == nullptr) {
        if (!fresh) std::free(*bufp);
        *bufp = nullptr;
        elog_log(1, fresh ? "%s: malloc() error.\n" : "%s: realloc() error.\n", fn);
        return false;
    }
    *bufp = static_cast<T *>(p);
    *capacity = static_cast<int>(needed);
    return true;
}

}  // namespace basalt

#endif
