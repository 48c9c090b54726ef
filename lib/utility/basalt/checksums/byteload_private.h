// Unaligned loads and stores of fixed-width integers in a named byte order,
// for the inner loops of the codecs, checksums and digests (the byte-order
// family of the portability layer converts whole arrays through a call).
#ifndef BASALT_BYTELOAD_PRIVATE_H
#define BASALT_BYTELOAD_PRIVATE_H

#include <bit>
#include <cstdint>
#include <cstring>

namespace basalt {

inline uint32_t bswap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t bswap64(uint64_t v) { return __builtin_bswap64(v); }

inline uint32_t load_le32(const unsigned char *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = bswap32(v);
    return v;
}
inline uint32_t load_be32(const unsigned char *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::little) v = bswap32(v);
    return v;
}
inline uint64_t load_be64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = bswap64(v);
    return v;
}
inline uint16_t load_be16(const unsigned char *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline void store_le32(unsigned char *p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) v = bswap32(v);
    std::memcpy(p, &v, 4);
}
inline void store_be32(unsigned char *p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) v = bswap32(v);
    std::memcpy(p, &v, 4);
}
inline void store_be16(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

}  // namespace basalt

#endif
