// Private to libtorvik: a header line in the writer's own form
// ("#orb %s %s %d %.7f\n"), read where it stands in a reader's input.
//
// A reader takes every packet through here first; a line in any other form
// (more blanks, tabs, a time the writer does not print, a receive time, a
// line that is not whole yet) is left to the general line search and
// parser, which read it as they read everything. So this parser may refuse
// any line, but a line it takes it reads exactly as the general parser
// does.
//
// Eight characters are examined at a time (on little-endian targets; the
// others go character by character).
#ifndef TORVIK_HEADER_PRIVATE_H
#define TORVIK_HEADER_PRIVATE_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "_torvik.h"
#include "input_private.h"

namespace torvik {

// Size of a reader's header line buffer: lines are cut at one less.
constexpr int kHeaderLineSize = 1024;

namespace swar {

constexpr bool kLittle = std::endian::native == std::endian::little;
constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighs = 0x8080808080808080;
constexpr std::uint64_t kZeros = 0x3030303030303030;  // "00000000"

// Eight characters from p, the first in the low byte.
inline std::uint64_t load(const char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Flags the bytes of v that are not digits; the lowest flagged byte is the
// first that is not (a carry can only disturb the bytes after it).
inline std::uint64_t non_digits(std::uint64_t v) {
    return ((v & 0xF0F0F0F0F0F0F0F0) | (((v + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ^
           0x3333333333333333;
}

// Flags the bytes of v below c (c at most 128); the lowest flagged byte is
// the first that is (a borrow can only disturb the bytes after it).
inline std::uint64_t bytes_below(std::uint64_t v, unsigned char c) {
    return (v - kOnes * c) & ~v & kHighs;
}

// Flags the bytes of v that equal c, in the same sense.
inline std::uint64_t bytes_equal(std::uint64_t v, unsigned char c) {
    return bytes_below(v ^ (kOnes * c), 1);
}

// The value of eight digit characters.
inline std::uint64_t eight_value(std::uint64_t v) {
    v -= kZeros;
    v = v * 10 + (v >> 8);
    return ((v & 0x000000FF000000FF) * (100 + (std::uint64_t{1000000} << 32)) +
            ((v >> 16) & 0x000000FF000000FF) * (1 + (std::uint64_t{10000} << 32))) >>
           32;
}

}  // namespace swar

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// The time as the writer prints every time from September 2001 to 2286:
// ten digits (the first not 0), a point, seven decimals, and then a byte
// that is not a digit; 19 bytes from p are read. The end of the decimals,
// with the double nearest to the decimal in *value (as scan_plain_time
// gives it), or null for any other text.
inline const char *scan_writer_time(const char *p, double *value) {
    if constexpr (!swar::kLittle) return nullptr;
    const std::uint64_t head = swar::load(p);       // the first eight digits
    const std::uint64_t tail = swar::load(p + 11);  // the decimals and the byte after
    const auto d8 = static_cast<unsigned char>(p[8] - '0');
    const auto d9 = static_cast<unsigned char>(p[9] - '0');
    if ((swar::non_digits(head) | (swar::non_digits(tail) & 0x00FFFFFFFFFFFFFF)) != 0 ||
        p[0] == '0' || d8 > 9 || d9 > 9 || p[10] != '.' || is_digit(p[18]))
        return nullptr;
    const std::uint64_t whole = swar::eight_value(head) * 100 + d8 * 10U + d9;
    // The decimals as the last seven of eight characters after a '0'.
    const std::uint64_t fraction = swar::eight_value((tail << 8) | '0');
    // The decimals rounded twice (1e-7 is not exact) are off by less than
    // 2^-52, while whole + fraction / 10^7 lies at least 2^-24 / 10^7 from
    // every point halfway between two doubles (whole >= 10^9 > 2^29 puts
    // their spacing at 2^-23 or more; no such sum is a halfway point): so
    // the sum rounds as the exact value does.
    *value = static_cast<double>(whole) + static_cast<double>(fraction) * 1e-7;
    return p + 18;
}

// The first byte in [p, end) that cannot stand in a token of the writer's
// form (a blank, tab, newline, NUL or other control character below 33),
// or end.
inline const char *token_end(const char *p, const char *end) {
    if constexpr (swar::kLittle) {
        while (end - p >= 8) {
            const std::uint64_t found = swar::bytes_below(swar::load(p), 33);
            if (found != 0) return p + std::countr_zero(found) / 8;
            p += 8;
        }
    }
    while (p < end && static_cast<unsigned char>(*p) > 32) p++;
    return p;
}

// One bit for each of the 64 bytes from p, the first byte's the lowest:
// set for a byte below 33 (a blank, a newline or another control
// character, NUL included).
inline std::uint64_t low_bytes64(const char *p) {
    std::uint64_t mask = 0;
#if defined(__SSE2__)
    const __m128i most = _mm_set1_epi8(32);
    for (int i = 0; i < 4; i++) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
        const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, most), v);
        mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(low))} << (16 * i);
    }
#else
    for (int i = 0; i < 8; i++) {
        const std::uint64_t v = swar::load(p + 8 * i);
        // The high bit of each byte of t is set when its low seven bits
        // are 33 or more (no carry crosses a byte).
        const std::uint64_t t = (v & ~swar::kHighs) + swar::kOnes * (128 - 33);
        const std::uint64_t flags = ~(t | v) & swar::kHighs;
        // Gathers the eight flags into one byte, the first byte's lowest.
        mask |= (((flags >> 7) * 0x0102040810204080) >> 56) << (8 * i);
    }
#endif
    return mask;
}

// The writer's own header form in a line that ends within the 64 bytes
// from p (which can all be read): as parse_plain_header, with every
// field found at once from where the blanks and the newline stand.
inline const char *parse_short_header(const char *p, char *representation, char *srcname,
                                      double *time, int *nbytes) {
    // The first four bytes below 33 after "#orb ": the blanks that end
    // the representation, the source name and the count, and the newline.
    std::uint64_t ends = low_bytes64(p) & ~std::uint64_t{0x1F};
    int at[4];
    for (int &a : at) {
        if (ends == 0) return nullptr;
        a = std::countr_zero(ends);
        ends &= ends - 1;
    }
    const int rep = at[0] - 5, name = at[1] - at[0] - 1, digits = at[2] - at[1] - 1;
    if (rep < 1 || rep > 15 || name < 1 || digits < 1 || digits > 8 || p[at[0]] != ' ' ||
        p[at[1]] != ' ' || p[at[2]] != ' ' || p[at[3]] != '\n')
        return nullptr;
    // The count: the eight bytes that end before its blank (at[2] is 7 or
    // more), those before the digits taken as '0's.
    std::uint64_t v = swar::load(p + at[2] - 8);
    if constexpr (swar::kLittle) {
        const std::uint64_t before = digits == 8 ? 0 : (std::uint64_t{1} << (8 * (8 - digits))) - 1;
        v = (v & ~before) | (swar::kZeros & before);
        if (swar::non_digits(v) != 0) return nullptr;
    } else {
        return nullptr;
    }
    const std::uint64_t count = swar::eight_value(v);
    if (count > kMaxPacketBytes) return nullptr;
    const char *q = p + at[2] + 1;
    const char *newline = p + at[3];
    if (newline - q == 18) {
        if (scan_writer_time(q, time) != newline) return nullptr;
    } else if (scan_plain_time(q, newline, time) != newline) {
        return nullptr;
    }
    if (rep == 1)
        representation[0] = p[5];  // the common case, without a call
    else
        std::memcpy(representation, p + 5, static_cast<std::size_t>(rep));
    representation[rep] = '\0';
    std::memcpy(srcname, p + at[0] + 1, static_cast<std::size_t>(name));
    srcname[name] = '\0';
    *nbytes = static_cast<int>(count);
    return newline;
}

// The writer's own header form: "#orb" and the four fields, each after one
// blank, and the newline, at p, before limit, in a line of fewer than
// line_size characters. The newline that ends it, with the four fields
// filled; null for any other line.
inline const char *parse_plain_header(const char *p, const char *limit, std::size_t line_size,
                                      char *representation, char *srcname, double *time,
                                      int *nbytes) {
    const char *e = static_cast<std::size_t>(limit - p) < line_size ? limit : p + line_size - 1;
    if (e - p < 6 || std::memcmp(p, "#orb ", 5) != 0) return nullptr;
    if (e - p >= 64)
        if (const char *newline = parse_short_header(p, representation, srcname, time, nbytes))
            return newline;
    // Each token is ended by one blank.
    const char *q = p + 5;
    const char *t = token_end(q, e);
    auto n = static_cast<std::size_t>(t - q);
    if (n == 0 || n > 15 || t == e || *t != ' ') return nullptr;
    if (n == 1)
        representation[0] = *q;  // the common case, without a call
    else
        std::memcpy(representation, q, n);
    representation[n] = '\0';
    q = t + 1;
    t = token_end(q, e);
    n = static_cast<std::size_t>(t - q);
    if (n == 0 || n > 63 || t == e || *t != ' ') return nullptr;
    std::memcpy(srcname, q, n);
    srcname[n] = '\0';
    q = t + 1;
    // The byte count: at most eight digits.
    const char *digits = q;
    std::uint64_t count = 0;
    if (swar::kLittle && e - q >= 8) {
        const std::uint64_t v = swar::load(q);
        const std::uint64_t flags = swar::non_digits(v);
        if (flags == 0) return nullptr;  // eight digits and then?
        const int n = std::countr_zero(flags) / 8;
        if (n > 0) {
            // The n digits as the last of eight characters, after '0's.
            const int shift = 8 * (8 - n);
            count = swar::eight_value((v << shift) | (swar::kZeros >> (64 - shift)));
            q += n;
        }
    } else {
        for (; q < e && is_digit(*q) && q - digits < 8; q++) count = count * 10 + (*q - '0');
    }
    if (q == digits || q == e || *q != ' ' || count > kMaxPacketBytes) return nullptr;
    q++;
    const char *newline = e - q >= 19 ? scan_writer_time(q, time) : nullptr;
    if (newline == nullptr) newline = scan_plain_time(q, e, time);
    if (newline == nullptr || newline == e || *newline != '\n') return nullptr;
    *nbytes = static_cast<int>(count);
    return newline;
}

// The next header, when the input holds it whole in the writer's form:
// true with the fields filled and the header's offset in *fpos, the line
// consumed. False for anything else, which is then the line search's.
inline bool read_plain_header(Torvikfile *atorvik, long *fpos, char *representation,
                              char *srcname, double *time, int *nbytes) {
    Input &input = Input::of(atorvik);
    const std::string_view next = input.peek();
    const char *newline = parse_plain_header(next.data(), next.data() + next.size(),
                                             kHeaderLineSize, representation, srcname, time,
                                             nbytes);
    if (newline == nullptr) return false;
    *fpos = static_cast<long>(input.take_line(newline));
    return true;
}

}  // namespace torvik

#endif
