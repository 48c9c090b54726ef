// Packet times as the writer prints them ("%.7f"), read without the
// general time parser: the double nearest to the decimal, found with
// integer arithmetic alone, so that the result is the one a correctly
// rounding conversion (strtod, from_chars) gives, on every target.
#include "_torvik.h"
#include "header_private.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace torvik {

namespace {

constexpr std::uint64_t kExact = std::uint64_t{1} << 53;  // integers a double holds

constexpr std::uint64_t power_of_ten(int k) {
    std::uint64_t p = 1;
    while (k-- > 0) p *= 10;
    return p;
}

// Up to 19 digits fit 64 bits.
constexpr std::size_t kMostDigits = 19;

constexpr std::uint64_t kTens[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

using swar::eight_value;
using swar::kZeros;
using swar::non_digits;

// Digits read from a text: their value (of use while there are at most
// 19 of them) and where they end.
struct Digits {
    std::uint64_t value;
    const char *end;
};

// Reads the digits from p on, before end, eight characters at a time
// while eight remain.
inline Digits read_digits(const char *p, const char *end) {
    std::uint64_t value = 0;
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            const std::uint64_t flags = non_digits(v);
            const int n = flags == 0 ? 8 : std::countr_zero(flags) / 8;
            if (n == 8) {
                value = value * 100000000 + eight_value(v);
                p += 8;
                continue;
            }
            if (n > 0) {
                // The n digits as the last of eight, after leading zeros.
                const int shift = 8 * (8 - n);
                value = value * kTens[n] + eight_value((v << shift) | (kZeros >> (64 - shift)));
                p += n;
            }
            return {value, p};
        }
    }
    for (; p < end && is_digit(*p); p++) value = value * 10 + static_cast<unsigned>(*p - '0');
    return {value, p};
}

int bit_width(std::uint64_t x) { return static_cast<int>(std::bit_width(x)); }

// The bits of fraction / 10^K (fraction < 10^K <= 10^18) after the point:
// 55 bits of whole * 2^n + that, then rounded to 53 bits, ties to even.
// The divisor is a constant, so the divisions are multiplications.
template <int K>
inline double nearest(std::uint64_t whole, std::uint64_t fraction) {
    constexpr std::uint64_t d = power_of_ten(K);
    // fraction < d < 2^60, so shifted by this many bits it stays in 64.
    constexpr int most = 63 - static_cast<int>(std::bit_width(d));
    const int width = bit_width(whole);
    std::uint64_t m;
    int exponent;  // value = (m + rest) * 2^exponent, rest in [0, 1)
    bool sticky;
    if (width > 55) {
        const int shift = width - 55;
        m = whole >> shift;
        sticky = (whole & ((std::uint64_t{1} << shift) - 1)) != 0 || fraction != 0;
        exponent = shift;
    } else {
        int extra = 55 - width;
        exponent = -extra;
        m = whole;
        std::uint64_t r = fraction;
        while (extra > 0) {
            const int step = extra < most ? extra : most;
            r <<= step;
            const std::uint64_t q = r / d;
            m = (m << step) | q;
            r -= q * d;
            extra -= step;
        }
        sticky = r != 0;
    }
    // m holds 55 bits: 53 kept, a guard bit and a round bit.
    const bool guard = (m & 2) != 0;
    sticky = sticky || (m & 1) != 0;
    m >>= 2;
    exponent += 2;
    if (guard && (sticky || (m & 1) != 0)) {
        m++;
        if (m == kExact) {
            m >>= 1;
            exponent++;
        }
    }
    // m in [2^52, 2^53): the value is 1.f times 2^(exponent + 52).
    const auto biased = static_cast<std::uint64_t>(exponent + 52 + 1023);
    return std::bit_cast<double>((biased << 52) | (m & (kExact / 2 - 1)));
}

template <int... K>
double nearest_of(int k, std::uint64_t whole, std::uint64_t fraction,
                  std::integer_sequence<int, K...>) {
    using Fn = double (*)(std::uint64_t, std::uint64_t);
    static constexpr Fn table[] = {nearest<K + 1>...};
    return table[k - 1](whole, fraction);
}

constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};

// The double nearest to whole + fraction / 10^k (whole >= 1, 1 <= k <= 18).
double divide(std::uint64_t whole, std::uint64_t fraction, int k) {
    // Epoch times: with 2^24 <= whole < 2^45 and k <= 7, fraction / 10^k
    // rounded once and added to whole rounds as the exact sum does. The
    // sum lies at least 2^(e-1) / 10^k from every point halfway between
    // two doubles (2^e their spacing there, -28 <= e <= -8; a tie would
    // need e > -k), and the one rounding moves it by less than 2^-53.
    if (k <= 7 && whole >= (std::uint64_t{1} << 24) && whole < (std::uint64_t{1} << 45))
        return static_cast<double>(whole) + static_cast<double>(fraction) / kPowers[k];
    if (k == 7) return nearest<7>(whole, fraction);  // the writer's own form
    return nearest_of(k, whole, fraction, std::make_integer_sequence<int, 18>{});
}

}  // namespace

const char *scan_plain_time(const char *text, const char *limit, double *value) {
    const char *p = text;
    const bool negative = p < limit && *p == '-';
    if (negative) p++;
    while (p < limit && *p == '0') p++;
    // The whole part (other than 0) and a point are required: anything
    // else is for the time parser (dates, epoch 0, tiny values).
    const Digits whole = read_digits(p, limit);
    const auto whole_digits = static_cast<std::size_t>(whole.end - p);
    p = whole.end;
    if (whole_digits == 0 || p == limit || *p != '.') return nullptr;
    const Digits part = read_digits(p + 1, limit);
    const auto k = static_cast<std::size_t>(part.end - (p + 1));
    if (whole_digits + k > kMostDigits) return nullptr;
    const double v = k == 0 ? static_cast<double>(whole.value)  // a correctly rounded conversion
                            : divide(whole.value, part.value, static_cast<int>(k));
    *value = negative ? -v : v;
    return part.end;
}

}  // namespace torvik
