// How the C library's engine reads the parts of a POSIX extended regular
// expression: sets of characters, bracket expressions, intervals and the
// escapes that read a class. Shared by the two estimates of what a pattern
// costs (pattern_cost_private.h, pattern_states_private.h).
//
// Everything here is inline and allocates nothing.
#ifndef BASALT_PATTERN_SYNTAX_PRIVATE_H
#define BASALT_PATTERN_SYNTAX_PRIVATE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace basalt {
namespace pattern_cost {

// Groups nested deeper are refused.
constexpr int kMaxDepth = 32;

// Interval bounds beyond the engine's own limit (32767) are errors there;
// here they are only kept from overflowing.
constexpr long kMaxCount = 1000000;

// A set of byte values.
struct Chars {
    std::uint64_t bits[4] = {};

    bool has(unsigned c) const { return (bits[(c >> 6) & 3] >> (c & 63)) & 1; }
    void add(unsigned c) { bits[(c >> 6) & 3] |= std::uint64_t{1} << (c & 63); }
    void add(unsigned from, unsigned to) {
        for (unsigned c = from; c <= to && c < 256; c++) add(c);
    }
    void add(const Chars &o) {
        for (int i = 0; i < 4; i++) bits[i] |= o.bits[i];
    }
    void invert() {
        for (std::uint64_t &b : bits) b = ~b;
    }
    bool meets(const Chars &o) const {
        for (int i = 0; i < 4; i++)
            if (bits[i] & o.bits[i]) return true;
        return false;
    }
    static Chars all() {
        Chars c;
        c.invert();
        return c;
    }
    static Chars one(unsigned char c) {
        Chars s;
        s.add(c);
        return s;
    }
};

// A named class as the C locale has it. The classes of letters may take
// more in another locale: they take every byte beyond ASCII too.
inline bool named_class(const char *name, std::size_t len, Chars *set) {
    auto is = [&](const char *n) { return std::strlen(n) == len && std::strncmp(name, n, len) == 0; };
    Chars c;
    const bool wide = is("alpha") || is("alnum") || is("upper") || is("lower") || is("punct") ||
                      is("print") || is("graph");
    if (is("alpha") || is("alnum") || is("upper")) c.add('A', 'Z');
    if (is("alpha") || is("alnum") || is("lower")) c.add('a', 'z');
    if (is("digit") || is("alnum") || is("xdigit")) c.add('0', '9');
    if (is("xdigit")) {
        c.add('A', 'F');
        c.add('a', 'f');
    }
    if (is("space")) c.add('\t', '\r');
    if (is("space") || is("blank")) c.add(' ');
    if (is("blank")) c.add('\t');
    if (is("cntrl")) {
        c.add(0, 31);
        c.add(127);
    }
    if (is("punct") || is("graph") || is("print")) {
        c.add('!', '/');
        c.add(':', '@');
        c.add('[', '`');
        c.add('{', '~');
    }
    if (is("graph") || is("print")) {
        c.add('0', '9');
        c.add('A', 'Z');
        c.add('a', 'z');
    }
    if (is("print")) c.add(' ');
    if (wide) c.add(128, 255);
    bool known = wide || is("digit") || is("xdigit") || is("space") || is("blank") || is("cntrl");
    if (!known) return false;
    set->add(c);
    return true;
}

// A bracket expression opening at s[i] == '[': the bytes it matches, and the
// index after it. What the engine would refuse matches everything here.
inline std::size_t read_bracket(const char *s, std::size_t i, Chars *set) {
    Chars c;
    std::size_t j = i + 1;
    const bool negated = s[j] == '^';
    if (negated) j++;
    bool first = true;
    while (s[j] != '\0' && (first || s[j] != ']')) {
        first = false;
        if (s[j] == '[' && (s[j + 1] == ':' || s[j + 1] == '.' || s[j + 1] == '=')) {
            const char kind = s[j + 1];
            const std::size_t from = j + 2;
            std::size_t k = from;
            while (s[k] != '\0' && !(s[k] == kind && s[k + 1] == ']')) k++;
            if (s[k] == '\0') {
                j = k;
                break;
            }
            const std::size_t len = k - from;
            if (kind == ':' ? !named_class(s + from, len, &c) : len != 1)
                c = Chars::all();
            else if (kind != ':')
                c.add(static_cast<unsigned char>(s[from]));
            j = k + 2;
            continue;
        }
        const unsigned char lo = static_cast<unsigned char>(s[j]);
        if (s[j + 1] == '-' && s[j + 2] != ']' && s[j + 2] != '\0') {
            c.add(lo, static_cast<unsigned char>(s[j + 2]));
            j += 3;
        } else {
            c.add(lo);
            j++;
        }
    }
    if (s[j] != ']') {
        *set = Chars::all();
        return j;
    }
    if (negated) c.invert();
    *set = c;
    return j + 1;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The digit at s[*i], and the index after it; -1 when there is none. The
// engine reads an escaped zero ("\0") in an interval as the digit.
inline int read_digit(const char *s, std::size_t *i) {
    if (is_digit(s[*i])) return s[(*i)++] - '0';
    if (s[*i] == '\\' && s[*i + 1] == '0') {
        *i += 2;
        return 0;
    }
    return -1;
}

// Reads the digits at s[*i]; -1 when there are none.
inline long read_count(const char *s, std::size_t *i) {
    long v = -1;
    for (int d = read_digit(s, i); d >= 0; d = read_digit(s, i))
        if (v < kMaxCount) v = (v < 0 ? 0 : v * 10) + d;
    return v < kMaxCount ? v : kMaxCount;
}

// An interval "{m}", "{m,}", "{m,n}" or "{,n}" at s[i] == '{': its counts
// (n < 0 for none) and the index after it; false when it is malformed (the
// engine then refuses the pattern).
inline bool read_interval(const char *s, std::size_t i, long *m, long *n, std::size_t *end) {
    std::size_t j = i + 1;
    long low = read_count(s, &j);
    long high = low;
    if (s[j] == ',') {
        j++;
        high = read_count(s, &j);
        if (low < 0 && high < 0) return false;
        if (low < 0) low = 0;
    } else if (low < 0) {
        return false;
    }
    if (s[j] != '}') return false;
    *m = low;
    *n = high;
    if (high >= 0 && high < low) *n = low;
    *end = j + 1;
    return true;
}

// The set of a backslash escape that reads a class ("\w", "\W", "\s",
// "\S"); false for any other escape.
inline bool escape_class(char e, Chars *set) {
    Chars c;
    if (e == 'w' || e == 'W') {
        named_class("alnum", 5, &c);
        c.add('_');
    } else if (e == 's' || e == 'S') {
        named_class("space", 5, &c);
    } else {
        return false;
    }
    if (e == 'W' || e == 'S') c.invert();
    *set = c;
    return true;
}

}  // namespace pattern_cost
}  // namespace basalt

#endif
