// MD4 behind the interface of RFC 1186. The message words are formed, and
// the finished state words stored, most significant byte first on every
// host: the digest is this system's own, not the RFC 1320 digest.
#include <cstring>

#include "byteload_private.h"
#include "digests.h"
#include "elog.h"
#include "kitbag_byteorder.h"

namespace {

inline uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

#define MD4_F(x, y, z) ((x & y) | (~x & z))
#define MD4_G(x, y, z) ((x & y) | (x & z) | (y & z))
#define MD4_H(x, y, z) (x ^ y ^ z)
#define MD4_FF(a, b, c, d, k, s) a = rotl(a + MD4_F(b, c, d) + X[k], s)
#define MD4_GG(a, b, c, d, k, s) a = rotl(a + MD4_G(b, c, d) + X[k] + 0x5A827999u, s)
#define MD4_HH(a, b, c, d, k, s) a = rotl(a + MD4_H(b, c, d) + X[k] + 0x6ED9EBA1u, s)

// Processes one 64-byte block.
void MDblock(MDptr MDp, const unsigned char *block) {
    uint32_t X[16];
    for (int j = 0; j < 16; j++) X[j] = basalt::load_be32(block + 4 * j);
    uint32_t A = MDp->buffer[0], B = MDp->buffer[1], C = MDp->buffer[2],
             D = MDp->buffer[3];

    for (int k = 0; k < 16; k += 4) {
        MD4_FF(A, B, C, D, k, 3);
        MD4_FF(D, A, B, C, k + 1, 7);
        MD4_FF(C, D, A, B, k + 2, 11);
        MD4_FF(B, C, D, A, k + 3, 19);
    }
    for (int k = 0; k < 4; k++) {
        MD4_GG(A, B, C, D, k, 3);
        MD4_GG(D, A, B, C, k + 4, 5);
        MD4_GG(C, D, A, B, k + 8, 9);
        MD4_GG(B, C, D, A, k + 12, 13);
    }
    static const int order[4] = {0, 2, 1, 3};
    for (int k : order) {
        MD4_HH(A, B, C, D, k, 3);
        MD4_HH(D, A, B, C, k + 8, 9);
        MD4_HH(C, D, A, B, k + 4, 11);
        MD4_HH(B, C, D, A, k + 12, 15);
    }
    MDp->buffer[0] += A;
    MDp->buffer[1] += B;
    MDp->buffer[2] += C;
    MDp->buffer[3] += D;
}

}  // namespace

extern "C" void MDbegin(MDptr MDp) {
    MDp->buffer[0] = 0x67452301;
    MDp->buffer[1] = 0xefcdab89;
    MDp->buffer[2] = 0x98badcfe;
    MDp->buffer[3] = 0x10325476;
    std::memset(MDp->count, 0, sizeof MDp->count);
    MDp->done = 0;
}

extern "C" void MDupdate(MDptr MDp, unsigned char *X, unsigned int count) {
    if (count == 0 && MDp->done) return;
    if (MDp->done) elog_die(0, "\nError: MDupdate MD already done.");

    // The 64-bit bit count, low byte first.
    unsigned int carry = count;
    for (int i = 0; i < 8 && carry != 0; i++) {
        carry += MDp->count[i];
        MDp->count[i] = static_cast<unsigned char>(carry);
        carry >>= 8;
    }

    if (count == 512) {
        MDblock(MDp, X);
        return;
    }
    if (count > 512)
        elog_die(0, "\nError: MDupdate called with illegal count value %d.",
                 static_cast<int>(count));

    // The last block: the message bits, a 1 bit after them, zeros, and the
    // bit count in the last eight bytes (a second block when it won't fit).
    unsigned char XX[64] = {};
    unsigned int byte = count >> 3, bit = count & 7;
    if (byte > 0) std::memcpy(XX, X, byte);
    unsigned char partial = bit ? X[byte] : 0;
    XX[byte] = static_cast<unsigned char>((partial & (0xFF00u >> bit)) | (0x80u >> bit));
    if (byte > 55) {
        MDblock(MDp, XX);
        std::memset(XX, 0, 56);
    }
    std::memcpy(XX + 56, MDp->count, 8);
    MDblock(MDp, XX);

    // The digest bytes: A, B, C, D, each most significant byte first.
    unsigned char *cursor = reinterpret_cast<unsigned char *>(MDp->buffer);
    int words[4];
    for (int i = 0; i < 4; i++) words[i] = static_cast<int>(MDp->buffer[i]);
    H2N4(cursor, words, 4);
    MDp->done = 1;
}
