// MD5 (RFC 1321) and its hexadecimal forms.
#include <cstdarg>
#include <cstring>

#include "byteload_private.h"
#include "digests.h"
#include "md5_private.h"

namespace {

using basalt::load_le32;
using basalt::store_le32;

inline uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

#define MD5_F1(x, y, z) (z ^ (x & (y ^ z)))
#define MD5_F2(x, y, z) MD5_F1(z, x, y)
#define MD5_F3(x, y, z) (x ^ y ^ z)
#define MD5_F4(x, y, z) (y ^ (x | ~z))
#define MD5_STEP(f, w, x, y, z, data, s) \
    (w += f(x, y, z) + (data), w = rotl(w, s) + x)

// Rewrites longs 4-byte groups in place as host words read least
// significant byte first (nothing to do on a little-endian host).
void byteReverse(unsigned char *buf, unsigned longs) {
    if constexpr (std::endian::native == std::endian::little) return;
    for (unsigned i = 0; i < longs; i++, buf += 4) {
        uint32_t w = load_le32(buf);
        std::memcpy(buf, &w, 4);
    }
}

// The MD5 compression of one block of 16 host words into the state words.
void MD5Transform(uint32_t buf[4], const uint32_t in[16]) {
    uint32_t a = buf[0], b = buf[1], c = buf[2], d = buf[3];

    MD5_STEP(MD5_F1, a, b, c, d, in[0] + 0xd76aa478, 7);
    MD5_STEP(MD5_F1, d, a, b, c, in[1] + 0xe8c7b756, 12);
    MD5_STEP(MD5_F1, c, d, a, b, in[2] + 0x242070db, 17);
    MD5_STEP(MD5_F1, b, c, d, a, in[3] + 0xc1bdceee, 22);
    MD5_STEP(MD5_F1, a, b, c, d, in[4] + 0xf57c0faf, 7);
    MD5_STEP(MD5_F1, d, a, b, c, in[5] + 0x4787c62a, 12);
    MD5_STEP(MD5_F1, c, d, a, b, in[6] + 0xa8304613, 17);
    MD5_STEP(MD5_F1, b, c, d, a, in[7] + 0xfd469501, 22);
    MD5_STEP(MD5_F1, a, b, c, d, in[8] + 0x698098d8, 7);
    MD5_STEP(MD5_F1, d, a, b, c, in[9] + 0x8b44f7af, 12);
    MD5_STEP(MD5_F1, c, d, a, b, in[10] + 0xffff5bb1, 17);
    MD5_STEP(MD5_F1, b, c, d, a, in[11] + 0x895cd7be, 22);
    MD5_STEP(MD5_F1, a, b, c, d, in[12] + 0x6b901122, 7);
    MD5_STEP(MD5_F1, d, a, b, c, in[13] + 0xfd987193, 12);
    MD5_STEP(MD5_F1, c, d, a, b, in[14] + 0xa679438e, 17);
    MD5_STEP(MD5_F1, b, c, d, a, in[15] + 0x49b40821, 22);

    MD5_STEP(MD5_F2, a, b, c, d, in[1] + 0xf61e2562, 5);
    MD5_STEP(MD5_F2, d, a, b, c, in[6] + 0xc040b340, 9);
    MD5_STEP(MD5_F2, c, d, a, b, in[11] + 0x265e5a51, 14);
    MD5_STEP(MD5_F2, b, c, d, a, in[0] + 0xe9b6c7aa, 20);
    MD5_STEP(MD5_F2, a, b, c, d, in[5] + 0xd62f105d, 5);
    MD5_STEP(MD5_F2, d, a, b, c, in[10] + 0x02441453, 9);
    MD5_STEP(MD5_F2, c, d, a, b, in[15] + 0xd8a1e681, 14);
    MD5_STEP(MD5_F2, b, c, d, a, in[4] + 0xe7d3fbc8, 20);
    MD5_STEP(MD5_F2, a, b, c, d, in[9] + 0x21e1cde6, 5);
    MD5_STEP(MD5_F2, d, a, b, c, in[14] + 0xc33707d6, 9);
    MD5_STEP(MD5_F2, c, d, a, b, in[3] + 0xf4d50d87, 14);
    MD5_STEP(MD5_F2, b, c, d, a, in[8] + 0x455a14ed, 20);
    MD5_STEP(MD5_F2, a, b, c, d, in[13] + 0xa9e3e905, 5);
    MD5_STEP(MD5_F2, d, a, b, c, in[2] + 0xfcefa3f8, 9);
    MD5_STEP(MD5_F2, c, d, a, b, in[7] + 0x676f02d9, 14);
    MD5_STEP(MD5_F2, b, c, d, a, in[12] + 0x8d2a4c8a, 20);

    MD5_STEP(MD5_F3, a, b, c, d, in[5] + 0xfffa3942, 4);
    MD5_STEP(MD5_F3, d, a, b, c, in[8] + 0x8771f681, 11);
    MD5_STEP(MD5_F3, c, d, a, b, in[11] + 0x6d9d6122, 16);
    MD5_STEP(MD5_F3, b, c, d, a, in[14] + 0xfde5380c, 23);
    MD5_STEP(MD5_F3, a, b, c, d, in[1] + 0xa4beea44, 4);
    MD5_STEP(MD5_F3, d, a, b, c, in[4] + 0x4bdecfa9, 11);
    MD5_STEP(MD5_F3, c, d, a, b, in[7] + 0xf6bb4b60, 16);
    MD5_STEP(MD5_F3, b, c, d, a, in[10] + 0xbebfbc70, 23);
    MD5_STEP(MD5_F3, a, b, c, d, in[13] + 0x289b7ec6, 4);
    MD5_STEP(MD5_F3, d, a, b, c, in[0] + 0xeaa127fa, 11);
    MD5_STEP(MD5_F3, c, d, a, b, in[3] + 0xd4ef3085, 16);
    MD5_STEP(MD5_F3, b, c, d, a, in[6] + 0x04881d05, 23);
    MD5_STEP(MD5_F3, a, b, c, d, in[9] + 0xd9d4d039, 4);
    MD5_STEP(MD5_F3, d, a, b, c, in[12] + 0xe6db99e5, 11);
    MD5_STEP(MD5_F3, c, d, a, b, in[15] + 0x1fa27cf8, 16);
    MD5_STEP(MD5_F3, b, c, d, a, in[2] + 0xc4ac5665, 23);

    MD5_STEP(MD5_F4, a, b, c, d, in[0] + 0xf4292244, 6);
    MD5_STEP(MD5_F4, d, a, b, c, in[7] + 0x432aff97, 10);
    MD5_STEP(MD5_F4, c, d, a, b, in[14] + 0xab9423a7, 15);
    MD5_STEP(MD5_F4, b, c, d, a, in[5] + 0xfc93a039, 21);
    MD5_STEP(MD5_F4, a, b, c, d, in[12] + 0x655b59c3, 6);
    MD5_STEP(MD5_F4, d, a, b, c, in[3] + 0x8f0ccc92, 10);
    MD5_STEP(MD5_F4, c, d, a, b, in[10] + 0xffeff47d, 15);
    MD5_STEP(MD5_F4, b, c, d, a, in[1] + 0x85845dd1, 21);
    MD5_STEP(MD5_F4, a, b, c, d, in[8] + 0x6fa87e4f, 6);
    MD5_STEP(MD5_F4, d, a, b, c, in[15] + 0xfe2ce6e0, 10);
    MD5_STEP(MD5_F4, c, d, a, b, in[6] + 0xa3014314, 15);
    MD5_STEP(MD5_F4, b, c, d, a, in[13] + 0x4e0811a1, 21);
    MD5_STEP(MD5_F4, a, b, c, d, in[4] + 0xf7537e82, 6);
    MD5_STEP(MD5_F4, d, a, b, c, in[11] + 0xbd3af235, 10);
    MD5_STEP(MD5_F4, c, d, a, b, in[2] + 0x2ad7d2bb, 15);
    MD5_STEP(MD5_F4, b, c, d, a, in[9] + 0xeb86d391, 21);

    buf[0] += a;
    buf[1] += b;
    buf[2] += c;
    buf[3] += d;
}

void final_block(uint32_t buf[4], const uint32_t bits[2], unsigned char in[64],
                 unsigned char digest[16]) {
    unsigned count = (bits[0] >> 3) & 0x3F;
    unsigned char *p = in + count;
    *p++ = 0x80;
    count = 63 - count;
    if (count < 8) {
        std::memset(p, 0, count);
        basalt::md5::blocks(buf, in, 1);
        std::memset(in, 0, 56);
    } else {
        std::memset(p, 0, count - 8);
    }
    store_le32(in + 56, bits[0]);
    store_le32(in + 60, bits[1]);
    basalt::md5::blocks(buf, in, 1);
    for (int i = 0; i < 4; i++) store_le32(digest + 4 * i, buf[i]);
}

}  // namespace

namespace basalt::md5 {

void blocks(uint32_t buf[4], const unsigned char *p, std::size_t nblocks) {
    uint32_t x[16];
    for (; nblocks > 0; nblocks--, p += 64) {
        std::memcpy(x, p, 64);
        byteReverse(reinterpret_cast<unsigned char *>(x), 16);
        MD5Transform(buf, x);
    }
}

std::size_t count_bits(uint32_t bits[2], std::size_t len) {
    uint32_t t = bits[0];
    bits[0] = t + (static_cast<uint32_t>(len) << 3);
    if (bits[0] < t) bits[1]++;
    bits[1] += static_cast<uint32_t>(static_cast<uint64_t>(len) >> 29);
    return (t >> 3) & 0x3F;
}

void absorb(uint32_t buf[4], unsigned char in[64], std::size_t pending,
            const unsigned char *data, std::size_t len) {
    if (len == 0) return;
    if (pending > 0) {
        std::size_t room = 64 - pending;
        if (len < room) {
            std::memcpy(in + pending, data, len);
            return;
        }
        std::memcpy(in + pending, data, room);
        blocks(buf, in, 1);
        data += room;
        len -= room;
    }
    if (len == 0) return;  // what follows a filled block
    blocks(buf, data, len / 64);
    data += len / 64 * 64;
    std::memcpy(in, data, len % 64);
}

void hex(char *out, const unsigned char digest[16]) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; i++) {
        *out++ = digits[digest[i] >> 4];
        *out++ = digits[digest[i] & 0xF];
    }
    *out = '\0';
}

}  // namespace basalt::md5

extern "C" void MD5Init(MD5Context *ctx) {
    basalt::md5::init_state(ctx->buf);
    ctx->bits[0] = ctx->bits[1] = 0;
}

extern "C" void MD5Update(MD5Context *ctx, const unsigned char *buf, unsigned len) {
    std::size_t pending = basalt::md5::count_bits(ctx->bits, len);
    basalt::md5::absorb(ctx->buf, ctx->in, pending, buf, len);
}

extern "C" void MD5Final(unsigned char digest[16], MD5Context *ctx) {
    final_block(ctx->buf, ctx->bits, ctx->in, digest);
    std::memset(ctx, 0, sizeof *ctx);
}

extern "C" void mdhex(char *hex, const char *in, int n) {
    MD5Context ctx;
    unsigned char digest[16];
    MD5Init(&ctx);
    if (n > 0) MD5Update(&ctx, reinterpret_cast<const unsigned char *>(in), n);
    MD5Final(digest, &ctx);
    basalt::md5::hex(hex, digest);
}

extern "C" void mdhexlist(char *result, ...) {
    MD5Context ctx;
    unsigned char digest[16];
    MD5Init(&ctx);
    va_list ap;
    va_start(ap, result);
    while (const char *buf = va_arg(ap, const char *)) {
        int n = va_arg(ap, int);
        if (n > 0) MD5Update(&ctx, reinterpret_cast<const unsigned char *>(buf), n);
    }
    va_end(ap);
    MD5Final(digest, &ctx);
    basalt::md5::hex(result, digest);
}
