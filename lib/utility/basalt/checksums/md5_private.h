// The MD5 compression and hexadecimal text shared by the two MD5 contexts.
#ifndef BASALT_MD5_PRIVATE_H
#define BASALT_MD5_PRIVATE_H

#include <cstddef>
#include <cstdint>

namespace basalt::md5 {

// The RFC 1321 initial state words.
inline void init_state(uint32_t buf[4]) {
    buf[0] = 0x67452301;
    buf[1] = 0xefcdab89;
    buf[2] = 0x98badcfe;
    buf[3] = 0x10325476;
}

// Runs the compression over nblocks 64-byte blocks at p, each read as 16
// words least significant byte first.
void blocks(uint32_t buf[4], const unsigned char *p, std::size_t nblocks);

// Adds 8 * len to a 64-bit bit count kept as {low, high}; returns the number
// of bytes that were pending in the block before.
std::size_t count_bits(uint32_t bits[2], std::size_t len);

// Feeds len bytes through the block buffer `in`, whose first `pending`
// bytes are filled.
void absorb(uint32_t buf[4], unsigned char in[64], std::size_t pending,
            const unsigned char *data, std::size_t len);

// 32 lower-case hexadecimal digits of a 16-byte digest and a NUL.
void hex(char *out, const unsigned char digest[16]);

}  // namespace basalt::md5

#endif
