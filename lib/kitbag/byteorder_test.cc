// The byte-order family, checked member by member against a model written
// here from the documented rules, value by value, without the library's
// templates: values are held as plain numbers, bytes are laid out by shifts,
// and each rule is computed the simple way (counting significant bits,
// truncating with std::trunc, comparing with the limits as exact doubles).
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "kitbag.h"

namespace {

static_assert(std::bit_cast<uint64_t>(0x1.0123456789abcp0) == 0x3ff0123456789abcull,
              "the model lays out host doubles like host integers");

// ---------------------------------------------------------------------------
// Types and values of the model.

struct TypeDesc {
    char letter;  // b s t i l f d
    bool is_unsigned;
};

int width_of(char t) {
    switch (t) {
        case 'b': return 1;
        case 's': return 2;
        case 't': return 3;
        case 'i': return 4;
        case 'l': return 8;
        case 'f': return 4;
        case 'd': return 8;
    }
    ADD_FAILURE() << "no type " << t;
    return 0;
}

bool is_floating(char t) { return t == 'f' || t == 'd'; }

int64_t signed_min(char t) {
    switch (t) {
        case 'b': return -128;
        case 's': return -32768;
        case 't': return -8388608;
        case 'i': return -2147483647LL - 1;
        default: return std::numeric_limits<int64_t>::min();
    }
}

int64_t signed_max(char t) {
    switch (t) {
        case 'b': return 127;
        case 's': return 32767;
        case 't': return 8388607;
        case 'i': return 2147483647;
        default: return std::numeric_limits<int64_t>::max();
    }
}

uint64_t unsigned_max(char t) {
    switch (t) {
        case 'b': return 255;
        case 's': return 65535;
        case 'i': return 4294967295u;
        default: return std::numeric_limits<uint64_t>::max();
    }
}

int mantissa_digits(char t) { return t == 'f' ? 24 : 53; }

// A number of some type: integers in s (signed types) or u (unsigned types),
// floating values in f with their exact bit pattern in bits.
struct Num {
    bool floating = false;
    bool is_unsigned = false;
    int64_t s = 0;
    uint64_t u = 0;
    double f = 0;
    uint64_t bits = 0;
};

Num int_num(bool is_unsigned, int64_t s, uint64_t u) {
    Num n;
    n.is_unsigned = is_unsigned;
    n.s = s;
    n.u = u;
    return n;
}

Num float_bits(char t, uint64_t bits) {
    Num n;
    n.floating = true;
    n.bits = bits;
    if (t == 'f') {
        uint32_t b32 = static_cast<uint32_t>(bits);
        float v;
        std::memcpy(&v, &b32, 4);
        n.f = v;
    } else {
        std::memcpy(&n.f, &bits, 8);
    }
    return n;
}

Num float_value(char t, double v) {
    if (t == 'f') {
        float fv = static_cast<float>(v);
        uint32_t b32;
        std::memcpy(&b32, &fv, 4);
        return float_bits('f', b32);
    }
    uint64_t b64;
    std::memcpy(&b64, &v, 8);
    return float_bits('d', b64);
}

std::string show(const Num &n) {
    std::ostringstream out;
    if (n.floating) out << n.f << " (bits 0x" << std::hex << n.bits << ")";
    else if (n.is_unsigned) out << n.u;
    else out << n.s;
    return out.str();
}

// The value's bits as they are laid out, two's complement for integers.
uint64_t bits_of(const TypeDesc &d, const Num &n) {
    uint64_t bits = n.floating ? n.bits : n.is_unsigned ? n.u : static_cast<uint64_t>(n.s);
    int w = width_of(d.letter);
    return w == 8 ? bits : bits & ((uint64_t{1} << (8 * w)) - 1);
}

Num num_of_bits(const TypeDesc &d, uint64_t bits) {
    if (is_floating(d.letter)) return float_bits(d.letter, bits);
    if (d.is_unsigned) return int_num(true, 0, bits);
    int w = width_of(d.letter);
    if (w < 8 && (bits >> (8 * w - 1) & 1)) bits |= ~uint64_t{0} << (8 * w);  // sign
    return int_num(false, static_cast<int64_t>(bits), 0);
}

// Host memory image of a value of type d: the bytes of the C object.
void host_image(const TypeDesc &d, const Num &n, unsigned char *out) {
    uint64_t bits = bits_of(d, n);
    switch (width_of(d.letter)) {
        case 1: { uint8_t x = static_cast<uint8_t>(bits); std::memcpy(out, &x, 1); break; }
        case 2: { uint16_t x = static_cast<uint16_t>(bits); std::memcpy(out, &x, 2); break; }
        case 4:
        {
            uint32_t x = static_cast<uint32_t>(bits);
            std::memcpy(out, &x, 4);
            break;
        }
        case 8: std::memcpy(out, &bits, 8); break;
        default: ADD_FAILURE() << "no host image of " << d.letter;
    }
}

Num from_host_image(const TypeDesc &d, const unsigned char *in) {
    uint64_t bits = 0;
    switch (width_of(d.letter)) {
        case 1: { uint8_t x; std::memcpy(&x, in, 1); bits = x; break; }
        case 2: { uint16_t x; std::memcpy(&x, in, 2); bits = x; break; }
        case 4: { uint32_t x; std::memcpy(&x, in, 4); bits = x; break; }
        case 8: std::memcpy(&bits, in, 8); break;
    }
    return num_of_bits(d, bits);
}

// External bytes: m most significant first, v least significant first, a as
// the host keeps the value.
void encode(const TypeDesc &d, char layout, const Num &n, unsigned char *out) {
    if (layout == 'a') return host_image(d, n, out);
    uint64_t bits = bits_of(d, n);
    int w = width_of(d.letter);
    for (int k = 0; k < w; ++k) {
        int shift = layout == 'm' ? 8 * (w - 1 - k) : 8 * k;
        out[k] = static_cast<unsigned char>(bits >> shift);
    }
}

Num decode(const TypeDesc &d, char layout, const unsigned char *in) {
    if (layout == 'a') return from_host_image(d, in);
    uint64_t bits = 0;
    int w = width_of(d.letter);
    for (int k = 0; k < w; ++k) {
        int shift = layout == 'm' ? 8 * (w - 1 - k) : 8 * k;
        bits |= uint64_t{in[k]} << shift;
    }
    return num_of_bits(d, bits);
}

// Whether the external layout is the host's own for the type: then a copy
// moves bytes without looking at them.
bool layout_is_hosts(char layout, char t) {
    if (layout == 'a' || width_of(t) == 1) return true;
    TypeDesc d{t, true};
    Num probe = is_floating(t) ? float_bits(t, t == 'f' ? 0x3f812345u : 0x3ff0123456789abcull)
                               : int_num(true, 0, 0x0102030405060708ull);
    unsigned char mine[8], theirs[8];
    host_image(d, probe, mine);
    encode(d, layout, probe, theirs);
    return std::memcmp(mine, theirs, width_of(t)) == 0;
}

// ---------------------------------------------------------------------------
// The rules, as documented.

enum Rule {
    COPY = 1,
    WIDEN,
    CLIP,
    INT_TO_FLOAT,
    FLOAT_TO_INT_CLIPPED,
    FLOAT_TO_INT_TESTED,
    SINGLE_TO_DOUBLE,
    DOUBLE_TO_SINGLE,
};

// The rule of every member by pair, transcribed from the documentation:
// read, unsigned read, write, unsigned write (0: no such member).
struct RuleRow {
    char ext, host;
    int read, uread, write, uwrite;
};
constexpr RuleRow kRules[] = {
    {'b', 'b', 1, 1, 1, 1}, {'b', 's', 2, 2, 3, 3}, {'b', 'i', 2, 2, 3, 3}, {'b', 'l', 2, 2, 3, 3},
    {'b', 'f', 4, 4, 5, 5}, {'b', 'd', 4, 4, 5, 5}, {'s', 's', 1, 1, 1, 1}, {'s', 'i', 2, 2, 3, 3},
    {'s', 'l', 2, 2, 3, 3}, {'s', 'f', 4, 4, 5, 5}, {'s', 'd', 4, 4, 5, 5}, {'i', 'i', 1, 1, 1, 1},
    {'i', 'l', 2, 2, 3, 3}, {'i', 'f', 4, 4, 6, 5}, {'i', 'd', 4, 4, 5, 5}, {'l', 'l', 1, 1, 1, 1},
    {'l', 'd', 4, 4, 6, 5}, {'f', 'i', 6, 6, 4, 4}, {'f', 'l', 6, 6, 4, 4}, {'f', 'f', 1, 0, 1, 0},
    {'f', 'd', 7, 0, 8, 0}, {'d', 'l', 6, 6, 4, 4}, {'d', 'd', 1, 0, 1, 0},
    // The 24-bit members.
    {'t', 'i', 2, 0, 3, 0}, {'t', 'f', 4, 0, 0, 0},
};

int documented_rule(char ext, char host, bool read, bool is_unsigned) {
    for (const RuleRow &r : kRules) {
        if (r.ext == ext && r.host == host) {
            return read ? (is_unsigned ? r.uread : r.read) : (is_unsigned ? r.uwrite : r.write);
        }
    }
    return 0;
}

struct Expect {
    Num value;
    bool flag = false;
    bool any_nan = false;  // a NaN is expected, its payload left open
};

Num int_result(const TypeDesc &d, int64_t s, uint64_t u) { return int_num(d.is_unsigned, s, u); }

// Number of significant bits of an integer magnitude, trailing zeros dropped.
int significant_bits(uint64_t m) {
    if (m == 0) return 0;
    while ((m & 1) == 0) m >>= 1;
    int n = 0;
    while (m) {
        ++n;
        m >>= 1;
    }
    return n;
}

bool exact_in_float(double v) {
    if (v == 0 || std::isinf(v)) return true;
    if (std::fabs(v) > FLT_MAX) return false;
    int e;
    double m = std::frexp(std::fabs(v), &e);  // v = m * 2^e, m in [0.5, 1)
    int precision = e >= -125 ? 24 : e + 149;  // subnormal floats hold fewer bits
    if (precision <= 0) return false;
    double scaled = std::ldexp(m, precision);
    return std::trunc(scaled) == scaled;
}

Expect model(int rule, const TypeDesc &src, const TypeDesc &dst, char layout, const Num &x) {
    Expect e;
    switch (rule) {
        case COPY:
            e.value = x;
            e.flag = x.floating && std::isnan(x.f) && !layout_is_hosts(layout, src.letter);
            break;
        case WIDEN:
            e.value = x;
            break;
        case CLIP:
            if (dst.is_unsigned) {
                uint64_t hi = unsigned_max(dst.letter);
                e.flag = x.u > hi;
                e.value = int_result(dst, 0, e.flag ? hi : x.u);
            } else {
                int64_t lo = signed_min(dst.letter), hi = signed_max(dst.letter);
                e.flag = x.s < lo || x.s > hi;
                e.value = int_result(dst, x.s < lo ? lo : x.s > hi ? hi : x.s, 0);
            }
            break;
        case INT_TO_FLOAT: {
            uint64_t magnitude = x.is_unsigned ? x.u
                                 : x.s < 0 ? 0 - static_cast<uint64_t>(x.s)
                                           : static_cast<uint64_t>(x.s);
            e.flag = significant_bits(magnitude) > mantissa_digits(dst.letter);
            if (dst.letter == 'f') {
                e.value = float_value('f', x.is_unsigned ? static_cast<float>(x.u)
                                                         : static_cast<float>(x.s));
            } else {
                e.value = float_value('d', x.is_unsigned ? static_cast<double>(x.u)
                                                         : static_cast<double>(x.s));
            }
            break;
        }
        case FLOAT_TO_INT_CLIPPED: {
            double v = x.f;
            if (std::isnan(v)) {
                e.value = int_result(dst, 0, 0);
                break;
            }
            if (dst.is_unsigned) {
                uint64_t hi = unsigned_max(dst.letter);
                bool above = hi == std::numeric_limits<uint64_t>::max() ? v >= 0x1p64
                                                                         : v > static_cast<double>(hi);
                if (v < 0) {
                    e.flag = true;
                    e.value = int_result(dst, 0, 0);
                } else if (above) {
                    e.flag = true;
                    e.value = int_result(dst, 0, hi);
                } else {
                    e.value = int_result(dst, 0, static_cast<uint64_t>(std::trunc(v)));
                }
            } else {
                int64_t lo = signed_min(dst.letter), hi = signed_max(dst.letter);
                if (v < static_cast<double>(lo)) {
                    e.flag = true;
                    e.value = int_result(dst, lo, 0);
                } else if (v > static_cast<double>(hi)) {
                    e.flag = true;
                    e.value = int_result(dst, hi, 0);
                } else {
                    e.value = int_result(dst, static_cast<int64_t>(std::trunc(v)), 0);
                }
            }
            break;
        }
        case FLOAT_TO_INT_TESTED: {
            double v = x.f;
            if (std::isnan(v)) {
                e.flag = true;
                e.value = int_result(dst, 0, 0);
                break;
            }
            double t = std::trunc(v);
            bool wide = dst.letter == 'l';
            if (dst.is_unsigned) {
                bool above = wide ? t >= 0x1p64 : t > 4294967295.0;
                if (t < 0) {
                    e.flag = true;
                    e.value = int_result(dst, 0, 0);
                } else if (above) {
                    e.flag = true;
                    e.value = int_result(dst, 0, unsigned_max(dst.letter));
                } else {
                    e.flag = t != v;
                    e.value = int_result(dst, 0, static_cast<uint64_t>(t));
                }
            } else {
                int64_t lo = signed_min(dst.letter), hi = signed_max(dst.letter);
                bool above = wide ? t >= 0x1p63 : t > 2147483647.0;
                if (t < static_cast<double>(lo)) {
                    e.flag = true;
                    e.value = int_result(dst, lo, 0);
                } else if (above) {
                    e.flag = true;
                    e.value = int_result(dst, hi, 0);
                } else {
                    e.flag = t != v;
                    e.value = int_result(dst, static_cast<int64_t>(t), 0);
                }
            }
            break;
        }
        case SINGLE_TO_DOUBLE:
            e.flag = e.any_nan = std::isnan(x.f);
            e.value = float_value('d', x.f);
            break;
        case DOUBLE_TO_SINGLE: {
            double v = x.f;
            if (std::isnan(v)) {
                e.flag = e.any_nan = true;
                e.value = float_value('f', v);
            } else if (std::fabs(v) >= 0x1.ffffffp127) {
                e.flag = !std::isinf(v);
                e.value = float_value('f', v > 0 ? INFINITY : -INFINITY);
            } else {
                e.flag = !exact_in_float(v);
                e.value = float_value('f', v);
            }
            break;
        }
        default:
            ADD_FAILURE() << "no rule " << rule;
    }
    return e;
}

bool matches(const Expect &e, const Num &got) {
    if (e.value.floating) return e.any_nan ? std::isnan(got.f) : got.bits == e.value.bits;
    return e.value.is_unsigned ? got.u == e.value.u : got.s == e.value.s;
}

// ---------------------------------------------------------------------------
// Values that reach every rule's edges.

std::vector<Num> integer_values(const TypeDesc &d) {
    const int64_t p24 = int64_t{1} << 24, p31 = int64_t{1} << 31, p53 = int64_t{1} << 53;
    const int64_t p62 = int64_t{1} << 62;
    const int64_t signed_values[] = {
        0, 1, -1, 2, -2, 100, -100, 127, -128, 128, -129, 255, 256, 300, -300, 12345, -12345,
        32767, -32768, 32768, -32769, 65535, 65536, 8388607, -8388608, 8388608, -8388609,
        0x7f00ff, p24, p24 + 1, p24 + 2, p24 + 3, -(p24 + 1), (int64_t{1} << 25) + 1,
        0x12345678, p31 - 1, p31 - 64, p31 - 65, p31 - 128, -p31, p31, -p31 - 1, (p31 << 1) - 1,
        p31 << 1, p53, p53 + 1, -(p53 + 1), 0x0102030405060708LL, -0x0102030405060708LL,
        p62 + (p62 - 1), p62 + (p62 - 512), p62 + (p62 - 513),
        std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min() + 1,
    };
    const uint64_t unsigned_values[] = {
        0, 1, 2, 127, 128, 255, 256, 300, 32767, 32768, 65535, 65536, 0x7f00ff, 16777216,
        16777217, 16777219, 0x12345678, 2147483647, 2147483648u, 4294967295u, 4294967296ull,
        4294967297ull, (uint64_t{1} << 53) + 1, uint64_t{1} << 63, 0x0102030405060708ull,
        0xfedcba9876543210ull, ~uint64_t{0}, ~uint64_t{0} - 1022, ~uint64_t{0} - 1023,
        ~uint64_t{0} - 1024,
    };
    std::vector<Num> out;
    if (d.is_unsigned) {
        for (uint64_t u : unsigned_values)
            if (u <= unsigned_max(d.letter)) out.push_back(int_num(true, 0, u));
    } else {
        for (int64_t s : signed_values)
            if (s >= signed_min(d.letter) && s <= signed_max(d.letter))
                out.push_back(int_num(false, s, 0));
    }
    return out;
}

std::vector<Num> floating_values(char t) {
    const double values[] = {
        0.0, -0.0, 0.5, -0.5, 0.1, -0.1, 1.0, -1.0, 1.5, -1.5, 1.9, -1.9, 2.0, 100.25,
        127.0, 127.5, -128.0, -128.5, -128.9, -129.0, 255.0, 255.5, 256.0, 32767.0, 32767.5,
        -32768.0, -32768.5, -32769.0, 65535.0, 65535.5, 65536.0, 1e5, -1e5, 8388607.0,
        -8388608.0, 16777216.0, 16777217.0, 2147483520.0, 2147483647.0, 2147483647.5,
        2147483648.0, -2147483648.0, -2147483648.5, -2147483649.0, 4294967295.0, 4294967295.5,
        4294967296.0, 0x1p53 + 2, 0x1p63 - 1024, 0x1p63, -0x1p63, -0x1p63 - 2048,
        0x1p64 - 2048, 0x1p64, 1e20, -1e20, 1e300, -1e300, FLT_MAX, -FLT_MAX,
        0x1.fffffefp127, 0x1.ffffffp127, -0x1.ffffffp127, FLT_MIN, FLT_TRUE_MIN,
        FLT_TRUE_MIN / 2, 1e-40, DBL_MIN, 1e-300, INFINITY, -INFINITY,
    };
    std::vector<Num> out;
    for (double v : values) {
        if (t == 'f' && std::isfinite(v) && std::fabs(v) > FLT_MAX) continue;
        out.push_back(float_value(t, v));
    }
    // NaNs: quiet, negative, with a payload, and signalling.
    const uint64_t nans[] = {0x7fc00000u, 0xffc00000u, 0x7fc12345u, 0x7f800001u};
    const uint64_t dnans[] = {0x7ff8000000000000ull, 0xfff8000000000000ull,
                              0x7ff8123456789abcull, 0x7ff0000000000001ull};
    // Each between ordinary values, so that runs hold a lone NaN at every place.
    for (int k = 0; k < 4; ++k) {
        out.push_back(float_bits(t, t == 'f' ? nans[k] : dnans[k]));
        out.push_back(float_value(t, 3.25));
    }
    return out;
}

std::vector<Num> values_of(const TypeDesc &d) {
    return is_floating(d.letter) ? floating_values(d.letter) : integer_values(d);
}

// ---------------------------------------------------------------------------
// The members, from the library's own table.

enum class Dir { read, write };

struct Member {
    const char *name;
    Dir dir;
    char layout, ext, host;
    bool is_unsigned;
    int rule;  // the table's rule
    void (*check)(const Member &);
};

constexpr int RULE_COPY = COPY, RULE_WIDEN = WIDEN, RULE_CLIP = CLIP,
              RULE_INT_TO_FLOAT = INT_TO_FLOAT, RULE_FLOAT_TO_INT_CLIPPED = FLOAT_TO_INT_CLIPPED,
              RULE_FLOAT_TO_INT_TESTED = FLOAT_TO_INT_TESTED,
              RULE_SINGLE_TO_DOUBLE = SINGLE_TO_DOUBLE, RULE_DOUBLE_TO_SINGLE = DOUBLE_TO_SINGLE;

template <class H> void check_host_type(const Member &m) {
    SCOPED_TRACE(m.name);
    EXPECT_EQ(static_cast<int>(sizeof(H)), width_of(m.host));
    EXPECT_EQ(std::is_floating_point_v<H>, is_floating(m.host));
    if (!is_floating(m.host) && m.host != 'b') {  // plain char's sign is the platform's
        EXPECT_EQ(std::is_unsigned_v<H>, m.is_unsigned);
    }
}

constexpr int kOffset = 1;  // keeps the external values unaligned
constexpr unsigned char kGuard = 0xa5;

template <class H> void check_read(const Member &m, int (*fn)(unsigned char **, H *, int)) {
    check_host_type<H>(m);
    const TypeDesc ext{m.ext, m.is_unsigned}, host{m.host, m.is_unsigned};
    const std::vector<Num> values = values_of(ext);
    const int n = static_cast<int>(values.size());
    const int w = width_of(m.ext);
    ASSERT_GT(n, 0) << m.name;

    std::vector<unsigned char> buf(kOffset + n * w + 8, kGuard);
    for (int k = 0; k < n; ++k) encode(ext, m.layout, values[k], &buf[kOffset + k * w]);
    const std::vector<unsigned char> given = buf;

    std::vector<H> to(n + 1);
    std::memset(static_cast<void *>(to.data()), 0x5a, (n + 1) * sizeof(H));
    unsigned char *cursor = &buf[kOffset];
    bool any_flag = false;
    int rc = fn(&cursor, to.data(), n);
    EXPECT_EQ(cursor, &buf[kOffset] + n * w) << m.name << ": cursor advance";
    EXPECT_EQ(buf, given) << m.name << ": a read changed its buffer";
    unsigned char sentinel[sizeof(H)];
    std::memcpy(sentinel, &to[n], sizeof(H));
    EXPECT_EQ(sentinel[0], 0x5a) << m.name << ": wrote past the host array";

    for (int k = 0; k < n; ++k) {
        Expect e = model(m.rule, ext, host, m.layout, values[k]);
        any_flag |= e.flag;
        unsigned char image[sizeof(H)];
        std::memcpy(image, &to[k], sizeof(H));
        Num got = from_host_image(host, image);
        EXPECT_TRUE(matches(e, got)) << m.name << " of " << show(values[k]) << ": got "
                                     << show(got) << ", expected " << show(e.value);
        // The same value alone, at another misalignment, gives its own flag.
        unsigned char one[16];
        encode(ext, m.layout, values[k], one + 1 + k % 7);
        unsigned char *c = one + 1 + k % 7;
        H single;
        EXPECT_EQ(fn(&c, &single, 1), e.flag ? -1 : 0) << m.name << " of " << show(values[k]);
        EXPECT_EQ(c, one + 1 + k % 7 + w) << m.name;
    }
    EXPECT_EQ(rc, any_flag ? -1 : 0) << m.name << ": result of the run";

    // Short runs at every position: a flagged value is found wherever it
    // lies, also inside values taken several at a time.
    for (int len : {2, 3}) {
        for (int k = 0; k + len <= n; ++k) {
            bool want = false;
            for (int j = k; j < k + len; ++j) want |= model(m.rule, ext, host, m.layout, values[j]).flag;
            unsigned char *c = &buf[kOffset + k * w];
            H window[3];
            EXPECT_EQ(fn(&c, window, len), want ? -1 : 0) << m.name << " run of " << len << " at " << k;
        }
    }

    // Nothing happens for an empty run.
    cursor = &buf[kOffset];
    H untouched[1];
    std::memset(static_cast<void *>(untouched), 0x5a, sizeof untouched);
    EXPECT_EQ(fn(&cursor, untouched, 0), 0) << m.name;
    EXPECT_EQ(cursor, &buf[kOffset]) << m.name;
    EXPECT_EQ(reinterpret_cast<unsigned char *>(untouched)[0], 0x5a) << m.name;
}

template <class H> void check_write(const Member &m, int (*fn)(const H *, unsigned char **, int)) {
    check_host_type<H>(m);
    const TypeDesc ext{m.ext, m.is_unsigned}, host{m.host, m.is_unsigned};
    const std::vector<Num> values = values_of(host);
    const int n = static_cast<int>(values.size());
    const int w = width_of(m.ext);
    ASSERT_GT(n, 0) << m.name;

    std::vector<H> from(n);
    for (int k = 0; k < n; ++k) {
        unsigned char image[sizeof(H)];
        host_image(host, values[k], image);
        std::memcpy(&from[k], image, sizeof(H));
    }
    std::vector<unsigned char> buf(kOffset + n * w + 8, kGuard);
    unsigned char *cursor = &buf[kOffset];
    int rc = fn(from.data(), &cursor, n);
    EXPECT_EQ(cursor, &buf[kOffset] + n * w) << m.name << ": cursor advance";
    EXPECT_EQ(buf[0], kGuard) << m.name << ": wrote before the cursor";
    for (int k = kOffset + n * w; k < static_cast<int>(buf.size()); ++k)
        EXPECT_EQ(buf[k], kGuard) << m.name << ": wrote past the run";

    bool any_flag = false;
    for (int k = 0; k < n; ++k) {
        Expect e = model(m.rule, host, ext, m.layout, values[k]);
        any_flag |= e.flag;
        Num got = decode(ext, m.layout, &buf[kOffset + k * w]);
        EXPECT_TRUE(matches(e, got)) << m.name << " of " << show(values[k]) << ": got "
                                     << show(got) << ", expected " << show(e.value);
        unsigned char one[16];
        unsigned char *c = one + 1 + k % 7;
        EXPECT_EQ(fn(&from[k], &c, 1), e.flag ? -1 : 0) << m.name << " of " << show(values[k]);
        EXPECT_EQ(c, one + 1 + k % 7 + w) << m.name;
        EXPECT_TRUE(matches(e, decode(ext, m.layout, one + 1 + k % 7))) << m.name;
    }
    EXPECT_EQ(rc, any_flag ? -1 : 0) << m.name << ": result of the run";

    for (int len : {2, 3}) {
        for (int k = 0; k + len <= n; ++k) {
            bool want = false;
            for (int j = k; j < k + len; ++j) want |= model(m.rule, host, ext, m.layout, values[j]).flag;
            unsigned char window[1 + 3 * 8];
            unsigned char *c = window + 1;
            EXPECT_EQ(fn(&from[k], &c, len), want ? -1 : 0) << m.name << " run of " << len << " at " << k;
            for (int j = 0; j < len; ++j) {
                Expect e = model(m.rule, host, ext, m.layout, values[k + j]);
                EXPECT_TRUE(matches(e, decode(ext, m.layout, window + 1 + j * w))) << m.name;
            }
        }
    }

    std::vector<unsigned char> before = buf;
    cursor = &buf[kOffset];
    EXPECT_EQ(fn(from.data(), &cursor, 0), 0) << m.name;
    EXPECT_EQ(cursor, &buf[kOffset]) << m.name;
    EXPECT_EQ(buf, before) << m.name;
}

#define TEST_MEMBER_(name, dir, L, E, H, u, R)                                              \
    Member{#name, Dir::dir, #L[0], #E[0], #H[0], u != 0, RULE_##R,                          \
           [](const Member &m) { check_##dir(m, name); }},

const Member kFamily[] = {KITBAG_BYTEORDER_FAMILY(TEST_MEMBER_)};
const Member kT24[] = {KITBAG_BYTEORDER_T24(TEST_MEMBER_)};

// The documented names of layout m; a and v have the same with their letter.
const char *const kLayoutMNames[] = {
    "mb2hb", "hb2mb", "umb2hb", "uhb2mb", "mb2hs", "hs2mb", "umb2hs", "uhs2mb", "mb2hi",
    "hi2mb", "umb2hi", "uhi2mb", "mb2hl", "hl2mb", "umb2hl", "uhl2mb", "mb2hf", "hf2mb",
    "umb2hf", "uhf2mb", "mb2hd", "hd2mb", "umb2hd", "uhd2mb", "ms2hs", "hs2ms", "ums2hs",
    "uhs2ms", "ms2hi", "hi2ms", "ums2hi", "uhi2ms", "ms2hl", "hl2ms", "ums2hl", "uhl2ms",
    "ms2hf", "hf2ms", "ums2hf", "uhf2ms", "ms2hd", "hd2ms", "ums2hd", "uhd2ms", "mi2hi",
    "hi2mi", "umi2hi", "uhi2mi", "mi2hl", "hl2mi", "umi2hl", "uhl2mi", "mi2hf", "hf2mi",
    "umi2hf", "uhf2mi", "mi2hd", "hd2mi", "umi2hd", "uhd2mi", "ml2hl", "hl2ml", "uml2hl",
    "uhl2ml", "ml2hd", "hd2ml", "uml2hd", "uhd2ml", "mf2hi", "hi2mf", "umf2hi", "uhi2mf",
    "mf2hl", "hl2mf", "umf2hl", "uhl2mf", "mf2hf", "hf2mf", "mf2hd", "hd2mf", "md2hl",
    "hl2md", "umd2hl", "uhl2md", "md2hd", "hd2md",
};

TEST(ByteOrderFamily, TableHasEveryDocumentedMemberOnce) {
    ASSERT_EQ(std::size(kFamily), size_t{258});
    ASSERT_EQ(std::size(kFamily), size_t{KITBAG_BYTEORDER_FAMILY_SIZE});
    ASSERT_EQ(std::size(kT24), size_t{KITBAG_BYTEORDER_T24_SIZE});
    ASSERT_EQ(std::size(kLayoutMNames), size_t{86});
    std::set<std::string> documented;
    for (char layout : {'a', 'm', 'v'}) {
        for (const char *name : kLayoutMNames) {
            std::string s = name;
            // The layout letter follows the leading u and, in a write, the "2".
            size_t at = s[0] == 'u' ? 1 : 0;
            if (s[at] == 'h') at = s.find('2') + 1;
            ASSERT_EQ(s[at], 'm') << name;
            s[at] = layout;
            documented.insert(s);
        }
    }
    std::set<std::string> tabled;
    for (const Member &m : kFamily) tabled.insert(m.name);
    EXPECT_EQ(tabled.size(), size_t{258});
    EXPECT_EQ(tabled, documented);
}

TEST(ByteOrderFamily, TableRulesAreTheDocumentedOnes) {
    for (const Member *table : {kFamily, kT24}) {
        size_t size = table == kFamily ? std::size(kFamily) : std::size(kT24);
        for (size_t k = 0; k < size; ++k) {
            const Member &m = table[k];
            EXPECT_EQ(m.rule, documented_rule(m.ext, m.host, m.dir == Dir::read, m.is_unsigned))
                << m.name;
        }
    }
}

TEST(ByteOrderFamily, EveryMemberFollowsItsRule) {
    for (const Member &m : kFamily) m.check(m);
}

TEST(ByteOrderFamily, The24BitMembersFollowTheirRules) {
    for (const Member &m : kT24) m.check(m);
}

// ---------------------------------------------------------------------------
// The documented examples, byte by byte.

std::vector<unsigned char> bytes(std::initializer_list<int> list) {
    std::vector<unsigned char> out;
    for (int b : list) out.push_back(static_cast<unsigned char>(b));
    return out;
}

bool host_is_little_endian() {
    uint32_t x = 1;
    unsigned char first;
    std::memcpy(&first, &x, 1);
    return first == 1;
}

TEST(ByteOrderExamples, IntegersRead) {
    auto b = bytes({0, 0, 1, 2});
    unsigned char *c = b.data();
    int v = 0;
    EXPECT_EQ(mi2hi(&c, &v, 1), 0);
    EXPECT_EQ(v, 258);
    EXPECT_EQ(c, b.data() + 4);

    b = bytes({2, 1, 0, 0});
    c = b.data();
    EXPECT_EQ(vi2hi(&c, &v, 1), 0);
    EXPECT_EQ(v, 258);
    if (host_is_little_endian()) {
        c = b.data();
        EXPECT_EQ(ai2hi(&c, &v, 1), 0);
        EXPECT_EQ(v, 258);
    }

    int64_t l = 0;
    b = bytes({0, 0, 0, 0, 0, 0, 1, 0});
    c = b.data();
    EXPECT_EQ(ml2hl(&c, &l, 1), 0);
    EXPECT_EQ(l, 256);
    b = bytes({0, 1, 0, 0, 0, 0, 0, 0});
    c = b.data();
    EXPECT_EQ(vl2hl(&c, &l, 1), 0);
    EXPECT_EQ(l, 256);

    b = bytes({0xff});
    c = b.data();
    EXPECT_EQ(mb2hi(&c, &v, 1), 0);
    EXPECT_EQ(v, -1);
    unsigned u = 0;
    c = b.data();
    EXPECT_EQ(umb2hi(&c, &u, 1), 0);
    EXPECT_EQ(u, 255u);
}

TEST(ByteOrderExamples, DoublesBothWays) {
    auto b = bytes({0x3f, 0xf0, 0, 0, 0, 0, 0, 0});
    unsigned char *c = b.data();
    double d = 0;
    EXPECT_EQ(md2hd(&c, &d, 1), 0);
    EXPECT_EQ(d, 1.0);
    b = bytes({0, 0, 0, 0, 0, 0, 0xf0, 0x3f});
    c = b.data();
    EXPECT_EQ(vd2hd(&c, &d, 1), 0);
    EXPECT_EQ(d, 1.0);
    unsigned char out[8];
    c = out;
    d = 1.0;
    EXPECT_EQ(hd2md(&d, &c, 1), 0);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 8), bytes({0x3f, 0xf0, 0, 0, 0, 0, 0, 0}));
}

struct WriteIntCase {
    const char *what;
    int (*fn)(const int *, unsigned char **, int);
    std::vector<int> in;
    std::vector<unsigned char> out;
    int rc;
};

TEST(ByteOrderExamples, IntegersClipped) {
    const WriteIntCase cases[] = {
        {"hi2mb 300", hi2mb, {300}, bytes({0x7f}), -1},
        {"hi2mb -300", hi2mb, {-300}, bytes({0x80}), -1},
        {"hi2mb 1 300 2", hi2mb, {1, 300, 2}, bytes({1, 0x7f, 2}), -1},
        {"hi2mt 2^23", hi2mt, {1 << 23}, bytes({0x7f, 0xff, 0xff}), -1},
        {"hi2mt -2^23-1", hi2mt, {-(1 << 23) - 1}, bytes({0x80, 0, 0}), -1},
        {"hi2mt -1", hi2mt, {-1}, bytes({0xff, 0xff, 0xff}), 0},
        {"hi2vt 0x123456", hi2vt, {0x123456}, bytes({0x56, 0x34, 0x12}), 0},
    };
    for (const WriteIntCase &t : cases) {
        std::vector<unsigned char> out(t.out.size());
        unsigned char *c = out.data();
        EXPECT_EQ(t.fn(t.in.data(), &c, static_cast<int>(t.in.size())), t.rc) << t.what;
        EXPECT_EQ(out, t.out) << t.what;
        EXPECT_EQ(c, out.data() + out.size()) << t.what;
    }
    unsigned uv[] = {300, 255};
    unsigned char out[1];
    unsigned char *c = out;
    EXPECT_EQ(uhi2mb(&uv[0], &c, 1), -1);
    EXPECT_EQ(out[0], 0xff);
    c = out;
    EXPECT_EQ(uhi2mb(&uv[1], &c, 1), 0);
    EXPECT_EQ(out[0], 0xff);

    int64_t big = int64_t{1} << 31;
    unsigned char w4[4];
    c = w4;
    EXPECT_EQ(hl2mi(&big, &c, 1), -1);
    EXPECT_EQ(std::vector<unsigned char>(w4, w4 + 4), bytes({0x7f, 0xff, 0xff, 0xff}));
    uint64_t ubig = uint64_t{1} << 32;
    c = w4;
    EXPECT_EQ(uhl2mi(&ubig, &c, 1), -1);
    EXPECT_EQ(std::vector<unsigned char>(w4, w4 + 4), bytes({0xff, 0xff, 0xff, 0xff}));
}

TEST(ByteOrderExamples, FloatingToIntegerRules) {
    struct Case {
        const char *what;
        double value;
        int rc;
        std::vector<unsigned char> out;
    };
    auto run_f = [](int (*fn)(const float *, unsigned char **, int), const Case &t) {
        float v = static_cast<float>(t.value);
        std::vector<unsigned char> out(t.out.size());
        unsigned char *c = out.data();
        EXPECT_EQ(fn(&v, &c, 1), t.rc) << t.what;
        EXPECT_EQ(out, t.out) << t.what;
    };
    auto run_d = [](int (*fn)(const double *, unsigned char **, int), const Case &t) {
        std::vector<unsigned char> out(t.out.size());
        unsigned char *c = out.data();
        EXPECT_EQ(fn(&t.value, &c, 1), t.rc) << t.what;
        EXPECT_EQ(out, t.out) << t.what;
    };
    run_f(hf2ms, {"hf2ms 1.9", 1.9, 0, bytes({0, 1})});
    run_f(hf2ms, {"hf2ms -1.9", -1.9, 0, bytes({0xff, 0xff})});
    run_f(hf2ms, {"hf2ms 1e5", 1e5, -1, bytes({0x7f, 0xff})});
    run_f(hf2ms, {"hf2ms -1e5", -1e5, -1, bytes({0x80, 0})});
    run_f(hf2ms, {"hf2ms 32767.5", 32767.5, -1, bytes({0x7f, 0xff})});
    run_d(hd2mi, {"hd2mi 1.5", 1.5, 0, bytes({0, 0, 0, 1})});
    run_f(hf2mi, {"hf2mi 1.5", 1.5, -1, bytes({0, 0, 0, 1})});
    run_f(hf2mi, {"hf2mi 2.0", 2.0, 0, bytes({0, 0, 0, 2})});
    run_d(uhd2mb, {"uhd2mb -0.5", -0.5, -1, bytes({0})});
    run_d(uhd2ms, {"uhd2ms 65535.0", 65535.0, 0, bytes({0xff, 0xff})});
    run_d(uhd2ms, {"uhd2ms 65535.5", 65535.5, -1, bytes({0xff, 0xff})});
    // The maxima that round up to a power of two in the floating type.
    run_f(uhf2mi, {"uhf2mi 2^32", 0x1p32, -1, bytes({0xff, 0xff, 0xff, 0xff})});
    run_d(uhd2ml, {"uhd2ml 2^64", 0x1p64, -1, bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})});
    run_d(uhd2ml, {"uhd2ml 2^64-2048", 0x1p64 - 2048, 0,
                   bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xf8, 0})});
    // A NaN under the clipping rule is not flagged.
    run_d(hd2ms, {"hd2ms NaN", NAN, 0, bytes({0, 0})});

    unsigned char b[4];
    unsigned char *c;
    unsigned u = 7;
    float mh = -0.5f;
    std::memcpy(b, "\x80\0\0\0", 4);  // -0.0 big-endian
    c = b;
    EXPECT_EQ(umf2hi(&c, &u, 1), 0);
    EXPECT_EQ(u, 0u);
    unsigned char *w = b;
    ASSERT_EQ(hf2mf(&mh, &w, 1), 0);
    c = b;
    u = 7;
    EXPECT_EQ(umf2hi(&c, &u, 1), -1);
    EXPECT_EQ(u, 0u);
}

TEST(ByteOrderExamples, IntegerToFloating) {
    int v24 = (1 << 24) + 1, p24 = 1 << 24;
    unsigned char b[4];
    unsigned char *c = b;
    ASSERT_EQ(hi2mi(&v24, &c, 1), 0);
    float f = 0;
    c = b;
    EXPECT_EQ(mi2hf(&c, &f, 1), -1);
    EXPECT_EQ(f, 16777216.0f);
    c = b;
    ASSERT_EQ(hi2mi(&p24, &c, 1), 0);
    c = b;
    EXPECT_EQ(mi2hf(&c, &f, 1), 0);

    c = b;
    EXPECT_EQ(hi2mf(&v24, &c, 1), -1);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 4), bytes({0x4b, 0x80, 0, 0}));
    unsigned uv24 = (1u << 24) + 1;
    c = b;
    EXPECT_EQ(uhi2mf(&uv24, &c, 1), -1);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 4), bytes({0x4b, 0x80, 0, 0}));
    // The largest int rounds to 2^31, just outside the int range: flagged.
    int top = 2147483647;
    c = b;
    EXPECT_EQ(hi2mf(&top, &c, 1), -1);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 4), bytes({0x4f, 0, 0, 0}));
}

TEST(ByteOrderExamples, FloatingWidthsAndNaNs) {
    struct Case {
        const char *what;
        double value;
        int rc;
    } cases[] = {{"0.5", 0.5, 0}, {"0.1", 0.1, -1}, {"1e300", 1e300, -1}, {"inf", INFINITY, 0}};
    for (const Case &t : cases) {
        unsigned char b[4];
        unsigned char *c = b;
        EXPECT_EQ(hd2mf(&t.value, &c, 1), t.rc) << t.what;
    }
    double big = 1e300;
    unsigned char b[4];
    unsigned char *c = b;
    hd2mf(&big, &c, 1);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 4), bytes({0x7f, 0x80, 0, 0}));

    const unsigned char nan_be[4] = {0x7f, 0xc1, 0x23, 0x45};
    unsigned char in[4];
    std::memcpy(in, nan_be, 4);
    double d;
    c = in;
    EXPECT_EQ(mf2hd(&c, &d, 1), -1);
    EXPECT_TRUE(std::isnan(d));
    float f;
    c = in;
    EXPECT_EQ(mf2hf(&c, &f, 1), -1);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    EXPECT_EQ(bits, 0x7fc12345u);
    std::memcpy(in, &f, 4);
    c = in;
    float g;
    EXPECT_EQ(af2hf(&c, &g, 1), 0);
    std::memcpy(&bits, &g, 4);
    EXPECT_EQ(bits, 0x7fc12345u);
}

TEST(ByteOrderExamples, TwentyFourBitReads) {
    struct Case {
        const char *what;
        int (*fn)(unsigned char **, int *, int);
        std::vector<unsigned char> in;
        int value;
    } cases[] = {
        {"mt2hi FF FF FE", mt2hi, bytes({0xff, 0xff, 0xfe}), -2},
        {"vt2hi FE FF FF", vt2hi, bytes({0xfe, 0xff, 0xff}), -2},
        {"mt2hi 7F FF FF", mt2hi, bytes({0x7f, 0xff, 0xff}), MAX_t},
        {"mt2hi 80 00 00", mt2hi, bytes({0x80, 0, 0}), MIN_t},
        {"vt2hi 56 34 12", vt2hi, bytes({0x56, 0x34, 0x12}), 0x123456},
    };
    for (Case &t : cases) {
        unsigned char *c = t.in.data();
        int v = 0;
        EXPECT_EQ(t.fn(&c, &v, 1), 0) << t.what;
        EXPECT_EQ(v, t.value) << t.what;
        EXPECT_EQ(c, t.in.data() + 3) << t.what;
    }
    auto in = bytes({0x80, 0, 0});
    unsigned char *c = in.data();
    float f = 0;
    EXPECT_EQ(mt2hf(&c, &f, 1), 0);
    EXPECT_EQ(f, -8388608.0f);
}

TEST(ByteOrderExamples, CopiesMayOverlap) {
    // A same-layout copy is a block move, so it may shift data in place.
    int host[3] = {0x01020304, 0x05060708, 0x090a0b0c};
    unsigned char *c = reinterpret_cast<unsigned char *>(host) + 4;
    EXPECT_EQ(hi2ai(host, &c, 2), 0);  // host[0..1] over host[1..2]
    EXPECT_EQ(host[0], 0x01020304);
    EXPECT_EQ(host[1], 0x01020304);
    EXPECT_EQ(host[2], 0x05060708);
    // A reordering copy converts in place.
    int same[2] = {0x01020304, -2};
    c = reinterpret_cast<unsigned char *>(same);
    EXPECT_EQ(hi2mi(same, &c, 2), 0);
    EXPECT_EQ(std::memcmp(same, "\x01\x02\x03\x04\xff\xff\xff\xfe", 8), 0);
}

TEST(ByteOrderExamples, NegativeCountDoesNothing) {
    int v[2] = {1, 2};
    unsigned char buf[8] = {};
    unsigned char *c = buf;
    EXPECT_EQ(hi2mi(v, &c, -5), 0);
    EXPECT_EQ(c, buf);
    EXPECT_EQ(mi2hi(&c, v, -1), 0);
    EXPECT_EQ(c, buf);
    EXPECT_EQ(v[0], 1);
}

}  // namespace
