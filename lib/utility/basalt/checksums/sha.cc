// SHA-1 (FIPS 180-1). Whole blocks go through the processor's SHA
// instructions where it has them, else through the portable compression.
#include <cstring>

#include "byteload_private.h"
#include "crc.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

inline uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

// The SHA-1 compression of one block of 16 words into the state words.
void sha_transform(uint32_t state[5], const uint32_t data[16]) {
    uint32_t W[80];
    std::memcpy(W, data, sizeof(uint32_t) * 16);
    for (int t = 16; t < 80; t++) W[t] = rotl(W[t - 3] ^ W[t - 8] ^ W[t - 14] ^ W[t - 16], 1);
    uint32_t A = state[0], B = state[1], C = state[2], D = state[3], E = state[4];
    auto round = [&](uint32_t f, uint32_t k, uint32_t w) {
        uint32_t temp = rotl(A, 5) + f + E + w + k;
        E = D;
        D = C;
        C = rotl(B, 30);
        B = A;
        A = temp;
    };
    int t = 0;
    for (; t < 20; t++) round((B & C) | (~B & D), 0x5A827999, W[t]);
    for (; t < 40; t++) round(B ^ C ^ D, 0x6ED9EBA1, W[t]);
    for (; t < 60; t++) round((B & C) | (B & D) | (C & D), 0x8F1BBCDC, W[t]);
    for (; t < 80; t++) round(B ^ C ^ D, 0xCA62C1D6, W[t]);
    state[0] += A;
    state[1] += B;
    state[2] += C;
    state[3] += D;
    state[4] += E;
}

void portable_blocks(uint32_t state[5], const unsigned char *p, std::size_t n) {
    uint32_t words[16];
    for (; n > 0; n--, p += 64) {
        for (int j = 0; j < 16; j++) words[j] = basalt::load_be32(p + 4 * j);
        sha_transform(state, words);
    }
}

#if defined(__x86_64__)

// One group of four rounds: I is the group (0..19), the message words of
// the group are in M[I % 4], the E values alternate between E0 and E1.
#define SHA_NI_GROUP(I, Ecur, Enext)                                               \
    do {                                                                           \
        if (I == 0)                                                                \
            Ecur = _mm_add_epi32(Ecur, M[0]);                                      \
        else                                                                       \
            Ecur = _mm_sha1nexte_epu32(Ecur, M[(I) % 4]);                          \
        Enext = ABCD;                                                              \
        if ((I) >= 3 && (I) <= 18)                                                 \
            M[((I) + 1) % 4] = _mm_sha1msg2_epu32(M[((I) + 1) % 4], M[(I) % 4]);   \
        ABCD = _mm_sha1rnds4_epu32(ABCD, Ecur, (I) / 5);                           \
        if ((I) >= 1 && (I) <= 16)                                                 \
            M[((I) + 3) % 4] = _mm_sha1msg1_epu32(M[((I) + 3) % 4], M[(I) % 4]);   \
        if ((I) >= 2 && (I) <= 17)                                                 \
            M[((I) + 2) % 4] = _mm_xor_si128(M[((I) + 2) % 4], M[(I) % 4]);       \
    } while (0)

__attribute__((target("sha,sse4.1,ssse3"))) void sha_ni_blocks(uint32_t state[5],
                                                                const unsigned char *p,
                                                                std::size_t n) {
    const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i ABCD = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
    ABCD = _mm_shuffle_epi32(ABCD, 0x1B);
    __m128i E0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0), E1;
    for (; n > 0; n--, p += 64) {
        __m128i abcd_save = ABCD, e_save = E0;
        __m128i M[4];
        for (int j = 0; j < 4; j++)
            M[j] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * j)), mask);
        SHA_NI_GROUP(0, E0, E1);
        SHA_NI_GROUP(1, E1, E0);
        SHA_NI_GROUP(2, E0, E1);
        SHA_NI_GROUP(3, E1, E0);
        SHA_NI_GROUP(4, E0, E1);
        SHA_NI_GROUP(5, E1, E0);
        SHA_NI_GROUP(6, E0, E1);
        SHA_NI_GROUP(7, E1, E0);
        SHA_NI_GROUP(8, E0, E1);
        SHA_NI_GROUP(9, E1, E0);
        SHA_NI_GROUP(10, E0, E1);
        SHA_NI_GROUP(11, E1, E0);
        SHA_NI_GROUP(12, E0, E1);
        SHA_NI_GROUP(13, E1, E0);
        SHA_NI_GROUP(14, E0, E1);
        SHA_NI_GROUP(15, E1, E0);
        SHA_NI_GROUP(16, E0, E1);
        SHA_NI_GROUP(17, E1, E0);
        SHA_NI_GROUP(18, E0, E1);
        SHA_NI_GROUP(19, E1, E0);
        E0 = _mm_sha1nexte_epu32(E0, e_save);
        ABCD = _mm_add_epi32(ABCD, abcd_save);
    }
    ABCD = _mm_shuffle_epi32(ABCD, 0x1B);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), ABCD);
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(E0, 3));
}

bool cpu_has_sha() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29));
}

#endif

// Runs the compression over n whole blocks at p.
void blocks(uint32_t state[5], const unsigned char *p, std::size_t n) {
#if defined(__x86_64__)
    static const bool has_sha = cpu_has_sha();
    if (has_sha) {
        sha_ni_blocks(state, p, n);
        return;
    }
#endif
    portable_blocks(state, p, n);
}

// Counts n more whole blocks in the 64-bit block count.
void add_blocks(sha_ctx *ctx, uint32_t n) {
    uint32_t before = ctx->count_l;
    ctx->count_l += n;
    if (ctx->count_l < before) ctx->count_h++;
}

// Processes one block and counts it.
void sha_block(sha_ctx *ctx, const unsigned char *block) {
    add_blocks(ctx, 1);
    blocks(ctx->digest, block, 1);
}

}  // namespace

extern "C" void sha_init(sha_ctx *ctx) {
    ctx->digest[0] = 0x67452301;
    ctx->digest[1] = 0xefcdab89;
    ctx->digest[2] = 0x98badcfe;
    ctx->digest[3] = 0x10325476;
    ctx->digest[4] = 0xc3d2e1f0;
    ctx->count_l = ctx->count_h = 0;
    ctx->index = 0;
}

extern "C" void sha_update(sha_ctx *ctx, const unsigned char *buffer, unsigned int len) {
    if (len == 0) return;
    if (ctx->index > 0) {
        unsigned room = 64 - static_cast<unsigned>(ctx->index);
        if (len < room) {
            std::memcpy(ctx->block + ctx->index, buffer, len);
            ctx->index += static_cast<int>(len);
            return;
        }
        std::memcpy(ctx->block + ctx->index, buffer, room);
        sha_block(ctx, ctx->block);
        buffer += room;
        len -= room;
    }
    unsigned whole = len / 64;
    if (whole > 0) {
        add_blocks(ctx, whole);
        blocks(ctx->digest, buffer, whole);
    }
    std::memcpy(ctx->block, buffer + 64 * static_cast<std::size_t>(whole), len % 64);
    ctx->index = static_cast<int>(len % 64);
}

extern "C" void sha_final(sha_ctx *ctx) {
    uint64_t nblocks = (static_cast<uint64_t>(ctx->count_h) << 32) | ctx->count_l;
    uint64_t bits = nblocks * 512 + 8 * static_cast<uint64_t>(ctx->index);
    int i = ctx->index;
    ctx->block[i++] = 0x80;
    // Zero-filled to whole words; when that leaves no room for the two
    // length words, the block is processed and a new one begun.
    while (i % 4) ctx->block[i++] = 0;
    if (i > 56) {
        std::memset(ctx->block + i, 0, 64 - i);
        sha_block(ctx, ctx->block);
        i = 0;
    }
    std::memset(ctx->block + i, 0, 56 - i);
    basalt::store_be32(ctx->block + 56, static_cast<uint32_t>(bits >> 32));
    basalt::store_be32(ctx->block + 60, static_cast<uint32_t>(bits));
    sha_block(ctx, ctx->block);
    ctx->index = 0;
}

extern "C" void sha_digest(sha_ctx *ctx, unsigned char *s) {
    for (int i = 0; i < 5; i++) basalt::store_be32(s + 4 * i, ctx->digest[i]);
}

extern "C" void sha_copy(sha_ctx *dest, sha_ctx *src) {
    std::memcpy(dest->digest, src->digest, sizeof dest->digest);
    dest->count_l = src->count_l;
    dest->count_h = src->count_h;
    dest->index = src->index;
    std::memcpy(dest->block, src->block, static_cast<std::size_t>(src->index));
}
