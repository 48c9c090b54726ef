// Byte-table CRCs shared by the checksum sources: the tables are built at
// compile time, sixteen of them per polynomial so that sixteen bytes are
// folded into the register per step.
#ifndef BASALT_CRC_PRIVATE_H
#define BASALT_CRC_PRIVATE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byteload_private.h"

namespace basalt::crc {

constexpr int kSlices = 16;
using Tables = std::array<std::array<uint32_t, 256>, kSlices>;

// Non-reflected 32-bit CRC: table 0 is the byte table of the polynomial
// (entry i = i in the top byte, shifted left eight times, XORing the
// polynomial after each shift that drops a 1 bit); table k is the register
// after byte i and k zero bytes.
constexpr Tables msb_first_tables(uint32_t poly) {
    Tables t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t r = i << 24;
        for (int b = 0; b < 8; b++) r = (r & 0x80000000u) ? (r << 1) ^ poly : r << 1;
        t[0][i] = r;
    }
    for (int k = 1; k < kSlices; k++)
        for (uint32_t i = 0; i < 256; i++)
            t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}

// Reflected CRC: table 0 is the byte table (entry i = i shifted right eight
// times, XORing the polynomial after each shift that drops a 1 bit).
constexpr Tables lsb_first_tables(uint32_t poly) {
    Tables t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t r = i;
        for (int b = 0; b < 8; b++) r = (r & 1) ? (r >> 1) ^ poly : r >> 1;
        t[0][i] = r;
    }
    for (int k = 1; k < kSlices; k++)
        for (uint32_t i = 0; i < 256; i++)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

// register = (register << 8) ^ t[0][(register >> 24) ^ byte], byte by byte.
inline uint32_t msb_first(const Tables &t, uint32_t r, const unsigned char *p,
                          std::size_t n) {
    for (; n >= 16; n -= 16, p += 16) {
        uint32_t a = r ^ load_be32(p), b = load_be32(p + 4), c = load_be32(p + 8),
                 d = load_be32(p + 12);
        r = t[15][a >> 24] ^ t[14][(a >> 16) & 0xFF] ^ t[13][(a >> 8) & 0xFF] ^
            t[12][a & 0xFF] ^ t[11][b >> 24] ^ t[10][(b >> 16) & 0xFF] ^
            t[9][(b >> 8) & 0xFF] ^ t[8][b & 0xFF] ^ t[7][c >> 24] ^ t[6][(c >> 16) & 0xFF] ^
            t[5][(c >> 8) & 0xFF] ^ t[4][c & 0xFF] ^ t[3][d >> 24] ^ t[2][(d >> 16) & 0xFF] ^
            t[1][(d >> 8) & 0xFF] ^ t[0][d & 0xFF];
    }
    for (; n > 0; n--) r = (r << 8) ^ t[0][(r >> 24) ^ *p++];
    return r;
}

// register = (register >> 8) ^ t[0][(register ^ byte) & 0xFF], byte by byte.
inline uint32_t lsb_first(const Tables &t, uint32_t r, const unsigned char *p,
                          std::size_t n) {
    for (; n >= 16; n -= 16, p += 16) {
        uint32_t a = r ^ load_le32(p), b = load_le32(p + 4), c = load_le32(p + 8),
                 d = load_le32(p + 12);
        r = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^
            t[12][a >> 24] ^ t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^
            t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^ t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^
            t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^ t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^
            t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    }
    for (; n > 0; n--) r = (r >> 8) ^ t[0][(r ^ *p++) & 0xFF];
    return r;
}

}  // namespace basalt::crc

#endif
