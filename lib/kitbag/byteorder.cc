// The byte-order family and the 24-bit members.
//
// Every member is one instance of read_run or write_run, chosen by the
// family table of kitbag_byteorder.h: the layout letter only decides how the
// external bytes are arranged (load and store below), the rule how a value
// changes type (convert below).  Values are moved through memcpy so the
// buffer needs no alignment and the loops stay simple enough to vectorise.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kitbag.h"

namespace {

enum class Layout { a, m, v };
enum class Type { b, s, t, i, l, f, d };
enum class Rule {
    COPY,
    WIDEN,
    CLIP,
    INT_TO_FLOAT,
    FLOAT_TO_INT_CLIPPED,
    FLOAT_TO_INT_TESTED,
    SINGLE_TO_DOUBLE,
    DOUBLE_TO_SINGLE,
};

constexpr bool kHostLittle = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
// The older ARM floating-point unit keeps a double's high 32-bit word first,
// each word in the host's byte order: the image of 1.0, read as a host
// integer, then has the sign and exponent in its low word.
constexpr bool kDoubleWordsSwapped = std::bit_cast<uint64_t>(1.0) == 0x3ff00000u;

// External types: width in the buffer, the value type of signed and unsigned
// members, the unsigned integer that carries the bits, and the limits.
template <Type T> struct Ext;
template <> struct Ext<Type::b> {
    static constexpr size_t width = 1;
    using sval = int8_t;
    using uval = uint8_t;
    using raw = uint8_t;
    static constexpr int64_t smin = MIN_b, smax = MAX_b;
    static constexpr uint64_t umax = UMAX_b;
};
template <> struct Ext<Type::s> {
    static constexpr size_t width = 2;
    using sval = int16_t;
    using uval = uint16_t;
    using raw = uint16_t;
    static constexpr int64_t smin = MIN_s, smax = MAX_s;
    static constexpr uint64_t umax = UMAX_s;
};
template <> struct Ext<Type::t> {
    static constexpr size_t width = 3;
    using sval = int32_t;
    using uval = int32_t;  // there is no unsigned 24-bit member
    using raw = uint32_t;
    static constexpr int64_t smin = MIN_t, smax = MAX_t;
};
template <> struct Ext<Type::i> {
    static constexpr size_t width = 4;
    using sval = int32_t;
    using uval = uint32_t;
    using raw = uint32_t;
    static constexpr int64_t smin = MIN_i, smax = MAX_i;
    static constexpr uint64_t umax = UMAX_i;
};
template <> struct Ext<Type::l> {
    static constexpr size_t width = 8;
    using sval = int64_t;
    using uval = uint64_t;
    using raw = uint64_t;
    // Nothing is ever clipped to a signed 64-bit range.
    static constexpr int64_t smin = std::numeric_limits<int64_t>::min();
    static constexpr int64_t smax = std::numeric_limits<int64_t>::max();
    static constexpr uint64_t umax = UMAX_l;
};
template <> struct Ext<Type::f> {
    static constexpr size_t width = 4;
    using sval = float;
    using uval = float;
    using raw = uint32_t;
};
template <> struct Ext<Type::d> {
    static constexpr size_t width = 8;
    using sval = double;
    using uval = double;
    using raw = uint64_t;
};

template <Type E, int U>
using Val = std::conditional_t<U != 0, typename Ext<E>::uval, typename Ext<E>::sval>;

template <class R> inline R bswap(R r) {
    if constexpr (sizeof(R) == 1) return r;
    else if constexpr (sizeof(R) == 2) return __builtin_bswap16(r);
    else if constexpr (sizeof(R) == 4) return __builtin_bswap32(r);
    else return __builtin_bswap64(r);
}

// Bytes of layout L, loaded into a host integer, give the host's memory
// image of the value after reordering: reversing the bytes where the layout
// and the host disagree, and exchanging the 32-bit words of a double where
// the host keeps its high word first.  The two steps commute and each is its
// own inverse, so the same reordering takes an image back to layout L.
template <Layout L, Type E> constexpr bool kSwapBytes =
    L != Layout::a && Ext<E>::width > 1 && ((L == Layout::m) == kHostLittle);
template <Layout L, Type E> constexpr bool kSwapWords =
    L != Layout::a && E == Type::d && kDoubleWordsSwapped;

// Whether layout L is the host's own layout of E, so that a copy is a move.
template <Layout L, Type E> constexpr bool kNative = !kSwapBytes<L, E> && !kSwapWords<L, E>;

inline uint64_t swap_words(uint64_t r) { return (r << 32) | (r >> 32); }

template <Layout L, Type E> inline typename Ext<E>::raw reorder(typename Ext<E>::raw r) {
    if constexpr (kSwapBytes<L, E>) r = bswap(r);
    if constexpr (kSwapWords<L, E>) r = swap_words(r);
    return r;
}

// The NaN test, on the host's image of a value, folded into an accumulator:
// with x the bits less the sign, x lies above the bits of an infinity exactly
// when adding the all-ones mantissa to x sets the sign bit.  Integer adds and
// ors only, so that it costs little beside the reordering.
template <Type E> inline typename Ext<E>::raw nan_bit(typename Ext<E>::raw image) {
    if constexpr (E == Type::f) {
        return (image & 0x7fffffffu) + 0x007fffffu;
    } else {
        if constexpr (kDoubleWordsSwapped) image = swap_words(image);
        return (image & 0x7fffffffffffffffull) + 0x000fffffffffffffull;
    }
}

// Two floats at once in a 64-bit word: reversing all eight bytes and then
// exchanging the halves reverses the bytes of each float in place, and the
// NaN test of one half cannot carry into the other.
inline uint64_t swap_float_pair(uint64_t x) { return swap_words(__builtin_bswap64(x)); }

inline uint64_t nan_bits_of_pair(uint64_t image) {
    return (image & 0x7fffffff7fffffffull) + 0x007fffff007fffffull;
}

// Copies count values of E between layout L and host images one value at a
// time, src holding images when FromImage.  Returns whether a floating
// value was a NaN.
template <Layout L, Type E, bool FromImage>
bool copy_reordered(const unsigned char *src, unsigned char *dst, size_t count) {
    constexpr size_t W = Ext<E>::width;
    constexpr bool floating = E == Type::f || E == Type::d;
    size_t k = 0;
    uint64_t pair_nans = 0;
    if constexpr (E == Type::f && kSwapBytes<L, E>) {
        for (; k + 2 <= count; k += 2) {
            uint64_t x;
            std::memcpy(&x, src + k * W, 8);
            if constexpr (FromImage) pair_nans |= nan_bits_of_pair(x);
            x = swap_float_pair(x);
            if constexpr (!FromImage) pair_nans |= nan_bits_of_pair(x);
            std::memcpy(dst + k * W, &x, 8);
        }
    }
    typename Ext<E>::raw nans = 0;
    for (; k < count; ++k) {
        typename Ext<E>::raw r;
        std::memcpy(&r, src + k * W, W);
        if constexpr (floating && FromImage) nans |= nan_bit<E>(r);
        r = reorder<L, E>(r);
        if constexpr (floating && !FromImage) nans |= nan_bit<E>(r);
        std::memcpy(dst + k * W, &r, W);
    }
    if constexpr (!floating) return false;
    return (nans >> (8 * W - 1)) != 0 || (pair_nans & 0x8000000080000000ull) != 0;
}

template <Layout L, Type E, int U> inline Val<E, U> load(const unsigned char *p) {
    if constexpr (E == Type::t) {
        uint32_t bits = L == Layout::m ? (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]
                                       : (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
        // Bit 23 is the sign: copy it into bits 24 to 31.
        return static_cast<int32_t>(bits ^ 0x800000u) - 0x800000;
    } else {
        typename Ext<E>::raw r;
        std::memcpy(&r, p, sizeof r);
        r = reorder<L, E>(r);
        Val<E, U> v;
        std::memcpy(&v, &r, sizeof v);
        return v;
    }
}

template <Layout L, Type E, int U> inline void store(unsigned char *p, Val<E, U> v) {
    if constexpr (E == Type::t) {
        uint32_t bits = static_cast<uint32_t>(v);
        unsigned char hi = bits >> 16 & 0xff, mid = bits >> 8 & 0xff, lo = bits & 0xff;
        p[0] = L == Layout::m ? hi : lo;
        p[1] = mid;
        p[2] = L == Layout::m ? lo : hi;
    } else {
        typename Ext<E>::raw r;
        std::memcpy(&r, &v, sizeof r);
        r = reorder<L, E>(r);
        std::memcpy(p, &r, sizeof r);
    }
}

// 2^k in a floating type, exactly.
template <class F> constexpr F pow2(int k) {
    F x = 1;
    while (k-- > 0) x *= 2;
    return x;
}

// Number of value bits of an integer type: its range is below 2^digits.
template <class I> constexpr int kDigits = std::numeric_limits<I>::digits;

// Converts one value from S to T by rule R; E and U give the external type's
// limits for the rules that clip to them.  Returns whether to flag it.
template <Rule R, Type E, int U, class S, class T> inline bool convert(S x, T &out) {
    if constexpr (R == Rule::WIDEN) {
        out = static_cast<T>(x);
        return false;
    } else if constexpr (R == Rule::CLIP) {
        if constexpr (U == 0) {
            if (x < static_cast<S>(Ext<E>::smin)) {
                out = static_cast<T>(Ext<E>::smin);
                return true;
            }
            if (x > static_cast<S>(Ext<E>::smax)) {
                out = static_cast<T>(Ext<E>::smax);
                return true;
            }
        } else {
            if (x > static_cast<S>(Ext<E>::umax)) {
                out = static_cast<T>(Ext<E>::umax);
                return true;
            }
        }
        out = static_cast<T>(x);
        return false;
    } else if constexpr (R == Rule::INT_TO_FLOAT) {
        out = static_cast<T>(x);
        if constexpr (kDigits<S> <= std::numeric_limits<T>::digits) {
            return false;
        } else {
            // Rounding may carry the value to 2^digits, just past the range:
            // that is not the integer either.
            if (out >= pow2<T>(kDigits<S>)) return true;
            return static_cast<S>(out) != x;
        }
    } else if constexpr (R == Rule::FLOAT_TO_INT_CLIPPED) {
        constexpr S lo = U ? S(0) : static_cast<S>(Ext<E>::smin);
        constexpr S hi = U ? static_cast<S>(Ext<E>::umax) : static_cast<S>(Ext<E>::smax);
        // The maximum plus one, a power of two.  Where the maximum itself
        // rounds up to it (2^32 - 1 in a float, 2^64 - 1 in a double), a
        // value equal to it lies above the maximum too.
        constexpr S beyond = pow2<S>(kDigits<T>);
        if (x < lo) {
            out = static_cast<T>(U ? 0 : Ext<E>::smin);
            return true;
        }
        if (x > hi || x >= beyond) {
            out = static_cast<T>(U ? Ext<E>::umax : static_cast<uint64_t>(Ext<E>::smax));
            return true;
        }
        if (x != x) {  // NaN: neither below nor above, and not flagged
            out = 0;
            return false;
        }
        out = static_cast<T>(x);
        return false;
    } else if constexpr (R == Rule::FLOAT_TO_INT_TESTED) {
        constexpr S beyond = pow2<S>(kDigits<T>);
        constexpr bool is_unsigned = std::numeric_limits<T>::min() == 0;
        bool in_range = is_unsigned ? (x > S(-1) && x < beyond)
                                    : (x >= static_cast<S>(std::numeric_limits<T>::min()) &&
                                       x < beyond);
        if (!in_range) {
            // NaN and values outside the integer's range: saturated, NaN as 0.
            out = x != x ? T(0) : x < 0 ? std::numeric_limits<T>::min()
                                        : std::numeric_limits<T>::max();
            return true;
        }
        out = static_cast<T>(x);
        return static_cast<S>(out) != x;
    } else if constexpr (R == Rule::SINGLE_TO_DOUBLE) {
        out = static_cast<T>(x);
        return x != x;
    } else if constexpr (R == Rule::DOUBLE_TO_SINGLE) {
        // From halfway between the largest float and 2^128 on, the nearest
        // float is an infinity.
        constexpr double overflow = 0x1.ffffffp127;
        if (x >= overflow) out = std::numeric_limits<float>::infinity();
        else if (x <= -overflow) out = -std::numeric_limits<float>::infinity();
        else out = static_cast<float>(x);
        return static_cast<double>(out) != x;  // also true for a NaN
    }
}

template <Layout L, Type E, int U, Rule R, class H>
int read_run(unsigned char **cursor, H *to, int n) {
    if (n <= 0) return 0;
    constexpr size_t W = Ext<E>::width;
    const size_t count = static_cast<size_t>(n);
    const unsigned char *p = *cursor;
    bool flagged = false;
    if constexpr (R == Rule::COPY) {
        static_assert(sizeof(H) == W);
        if constexpr (kNative<L, E>)
            std::memmove(to, p, count * W);
        else
            flagged = copy_reordered<L, E, false>(p, reinterpret_cast<unsigned char *>(to), count);
    } else {
        for (size_t k = 0; k < count; ++k) {
            H value;
            flagged |= convert<R, E, U>(load<L, E, U>(p + k * W), value);
            to[k] = value;
        }
    }
    *cursor += count * W;
    return flagged ? -1 : 0;
}

template <Layout L, Type E, int U, Rule R, class H>
int write_run(const H *from, unsigned char **cursor, int n) {
    if (n <= 0) return 0;
    constexpr size_t W = Ext<E>::width;
    const size_t count = static_cast<size_t>(n);
    unsigned char *p = *cursor;
    bool flagged = false;
    if constexpr (R == Rule::COPY) {
        static_assert(sizeof(H) == W);
        if constexpr (kNative<L, E>)
            std::memmove(p, from, count * W);
        else
            flagged = copy_reordered<L, E, true>(reinterpret_cast<const unsigned char *>(from), p, count);
    } else {
        for (size_t k = 0; k < count; ++k) {
            Val<E, U> value;
            flagged |= convert<R, E, U>(from[k], value);
            store<L, E, U>(p + k * W, value);
        }
    }
    *cursor += count * W;
    return flagged ? -1 : 0;
}

}  // namespace

#define KITBAG_BO_DEFINE_(name, dir, L, E, H, u, R) \
    KITBAG_BO_DEFINE_##dir(name, L, E, u, R, KITBAG_BO_HOST_##u##_##H)
#define KITBAG_BO_DEFINE_read(name, L, E, u, R, T)                                \
    int name(unsigned char **cursor, T *to, int n) {                              \
        return read_run<Layout::L, Type::E, u, Rule::R>(cursor, to, n);           \
    }
#define KITBAG_BO_DEFINE_write(name, L, E, u, R, T)                               \
    int name(const T *from, unsigned char **cursor, int n) {                      \
        return write_run<Layout::L, Type::E, u, Rule::R>(from, cursor, n);        \
    }

extern "C" {

KITBAG_BYTEORDER_FAMILY(KITBAG_BO_DEFINE_)
KITBAG_BYTEORDER_T24(KITBAG_BO_DEFINE_)

}  // extern "C"
