// Network-order wrappers over the big-endian members, byte swapping, and the
// cursorless 24-bit and float-word conversions.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kitbag.h"

namespace {

// A private cursor over the caller's byte area; the members only read
// through it when they read, so a const area may be lent to them.
inline unsigned char *cursor_at(const void *area) {
    return static_cast<unsigned char *>(const_cast<void *>(area));
}

template <size_t W> struct Item;
template <> struct Item<2> { using type = uint16_t; static type swap(type x) { return __builtin_bswap16(x); } };
template <> struct Item<4> { using type = uint32_t; static type swap(type x) { return __builtin_bswap32(x); } };
template <> struct Item<8> { using type = uint64_t; static type swap(type x) { return __builtin_bswap64(x); } };

// Each item is taken whole into a local copy before its reversed bytes are
// written, so the source and destination may be the same array.
template <size_t W> void swap_items(const void *from, void *to, int n) {
    if (n <= 0) return;
    const unsigned char *src = static_cast<const unsigned char *>(from);
    unsigned char *dst = static_cast<unsigned char *>(to);
    const size_t count = static_cast<size_t>(n);
    for (size_t k = 0; k < count; ++k) {
        typename Item<W>::type x;
        std::memcpy(&x, src + k * W, W);
        x = Item<W>::swap(x);
        std::memcpy(dst + k * W, &x, W);
    }
}

}  // namespace

#define KITBAG_NO_DEFINE_(name, form, member, T) KITBAG_NO_DEFINE_##form(name, member, T)
#define KITBAG_NO_DEFINE_put(name, member, T)      \
    int name(void *to, const T *from, int n) {     \
        unsigned char *cursor = cursor_at(to);     \
        return member(from, &cursor, n);           \
    }
#define KITBAG_NO_DEFINE_get(name, member, T)      \
    int name(T *to, const void *from, int n) {     \
        unsigned char *cursor = cursor_at(from);   \
        return member(&cursor, to, n);             \
    }
#define KITBAG_NO_DEFINE_putp(name, member, T)     \
    int name(const T *from, void *to) {            \
        unsigned char *cursor = cursor_at(to);     \
        return member(from, &cursor, 1);           \
    }
#define KITBAG_NO_DEFINE_getp(name, member, T)     \
    int name(const void *from, T *to) {            \
        unsigned char *cursor = cursor_at(from);   \
        return member(&cursor, to, 1);             \
    }
#define KITBAG_NO_DEFINE_putv(name, member, T)     \
    T name(T value) {                              \
        T result{};                                \
        unsigned char *cursor = cursor_at(&result); \
        member(&value, &cursor, 1);                \
        return result;                             \
    }
#define KITBAG_NO_DEFINE_getv(name, member, T)     \
    T name(T value) {                              \
        T result{};                                \
        unsigned char *cursor = cursor_at(&value); \
        member(&cursor, &result, 1);               \
        return result;                             \
    }

extern "C" {

KITBAG_NETORDER_WRAPPERS(KITBAG_NO_DEFINE_)

void swap2(const void *from, void *to, int n) { swap_items<2>(from, to, n); }
void swap4(const void *from, void *to, int n) { swap_items<4>(from, to, n); }
void swap8(const void *from, void *to, int n) { swap_items<8>(from, to, n); }

void N32H4(int *to, const void *from, int n) {
    unsigned char *cursor = cursor_at(from);
    mt2hi(&cursor, to, n);
}

void H42N3(void *to, const int *from, int n) {
    unsigned char *p = static_cast<unsigned char *>(to);
    for (int k = 0; k < n; ++k, p += 3) {
        uint32_t bits = static_cast<uint32_t>(from[k]);
        p[0] = bits >> 16 & 0xff;
        p[1] = bits >> 8 & 0xff;
        p[2] = bits & 0xff;
    }
}

void NF2HD(double *to, const void *from, int n) {
    const unsigned char *p = static_cast<const unsigned char *>(from);
    for (int k = 0; k < n; ++k, p += 4) {
        int word;
        N2H4(&word, p, 1);
        float value;
        std::memcpy(&value, &word, sizeof value);
        to[k] = value;
    }
}

void HD2NF(void *to, const double *from, int n) {
    // From halfway between the largest float and 2^128 on, the nearest float
    // is an infinity.
    constexpr double overflow = 0x1.ffffffp127;
    unsigned char *p = static_cast<unsigned char *>(to);
    for (int k = 0; k < n; ++k, p += 4) {
        double x = from[k];
        float value = x >= overflow    ? std::numeric_limits<float>::infinity()
                      : x <= -overflow ? -std::numeric_limits<float>::infinity()
                                       : static_cast<float>(x);
        int word;
        std::memcpy(&word, &value, sizeof word);
        H2N4(p, &word, 1);
    }
}

}  // extern "C"
