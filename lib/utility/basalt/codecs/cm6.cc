// CM6: the six-bit text encoding of the GSE2.0 exchange format. Second
// differences, one printable character per six bits, 80-character lines and
// a "CHK2" checksum line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "alloc.h"
#include "codecs.h"

namespace {

const char kAlphabet[] = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned char kBad = 255;
constexpr int kSign = 16, kMore = 32;
constexpr int kLine = 80;

// Character code -> six-bit value, 255 outside the alphabet.
unsigned char decode_table[128];
std::once_flag decode_once;

// The values of one- and two-character codes by their first two
// characters (each below 128): value * 4 + the number of characters, or 0
// when the pair is anything else (a longer value, a line break, a blank or a
// bad character), which the general reader then takes.
int32_t pair_table[128 * 128];

void initDecode() {
    std::memset(decode_table, kBad, sizeof decode_table);
    for (int i = 0; i < 64; i++) decode_table[static_cast<unsigned char>(kAlphabet[i])] = i;
    for (int c0 = 0; c0 < 128; c0++) {
        for (int c1 = 0; c1 < 128; c1++) {
            int t0 = decode_table[c0], t1 = decode_table[c1];
            int32_t entry = 0;
            if (t0 != kBad && !(t0 & kMore)) {
                int32_t v = t0 & 15;
                entry = (t0 & kSign ? -v : v) * 4 + 1;
            } else if (t0 != kBad && t1 != kBad && !(t1 & kMore)) {
                int32_t v = ((t0 & 15) << 5) | (t1 & 31);
                entry = (t0 & kSign ? -v : v) * 4 + 2;
            }
            pair_table[c0 * 128 + c1] = entry;
        }
    }
}

// Writes the characters of one value at the cursor, breaking lines after 80
// characters (a value may straddle the break).
struct Writer {
    char *p;
    int column = 0;

    void put(int six) {
        if (column == kLine) {
            *p++ = '\n';
            column = 0;
        }
        *p++ = kAlphabet[six];
        column++;
    }
};

// Appends the characters of one value: the magnitude most significant group
// first, 4 bits, the sign and the continuation bit in the first character,
// 5 bits and the continuation bit in each following one.
void stuff(int32_t sample, Writer &w) {
    uint32_t mag = sample < 0 ? 0u - static_cast<uint32_t>(sample) : static_cast<uint32_t>(sample);
    int sign = sample < 0 ? kSign : 0;
    int n = mag <= 15 ? 1 : mag <= 511 ? 2 : mag <= 16383 ? 3 : mag <= 524287 ? 4
          : mag <= 16777215 ? 5 : mag <= 536870911 ? 6 : 7;
    int shift = 5 * (n - 1);
    w.put(static_cast<int>((mag >> shift) & 15) | sign | (n > 1 ? kMore : 0));
    for (int i = 1; i < n; i++) {
        shift -= 5;
        w.put(static_cast<int>((mag >> shift) & 31) | (i < n - 1 ? kMore : 0));
    }
}

inline bool is_skipped(char c) { return c == '\t' || c == '\n' || c == '\r'; }

// Reads one value at the cursor (the caller has seen a character of it
// there), advancing the cursor and lowering the count left; returns the
// number of bad characters met.
int unstuff(int *x, const char **bytes, int *nbytes) {
    const char *p = *bytes;
    int left = *nbytes, bad = 0;
    uint32_t value = 0;
    int sign = 0, more = 0;
    bool started = false;
    while (left > 0 && !started) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (is_skipped(static_cast<char>(c))) {
            p++, left--;
            continue;
        }
        p++, left--;
        started = true;
        if (c == ' ') {
            bad++;
            more = 0;
        } else if (c > 127) {
            bad++;
            started = false;
        } else {
            unsigned char six = decode_table[c];
            if (six == kBad) bad++;
            value = six & 15;
            sign = six & kSign;
            more = six & kMore;
        }
    }
    while (more && left > 0) {
        unsigned char c = static_cast<unsigned char>(*p++);
        left--;
        if (is_skipped(static_cast<char>(c)) || c == ' ') continue;
        if (c > 127) {
            bad++;
            continue;
        }
        unsigned char six = decode_table[c];
        if (six == kBad) bad++;
        value = (value << 5) + (six & 31u);
        more = six & kMore;
    }
    *x = static_cast<int>(sign ? 0u - value : value);
    *bytes = p;
    *nbytes = left;
    return bad;
}

// Skips tab, newline and carriage return; true when a character is left.
bool value_follows(const char **p, int *left) {
    while (*left > 0 && is_skipped(**p)) ++*p, --*left;
    return *left > 0;
}

bool starts_with(const char *p, int left, const char *word) {
    int n = static_cast<int>(std::strlen(word));
    return left >= n && std::memcmp(p, word, n) == 0;
}

// The number after "CHK2 " as atoi reads it (leading blanks, a sign,
// digits), read no further than `left` characters.
int64_t read_checksum(const char *p, int left) {
    while (left > 0 && (*p == ' ' || *p == '\t')) p++, left--;
    bool negative = false;
    if (left > 0 && (*p == '-' || *p == '+')) negative = *p == '-', p++, left--;
    int64_t v = 0;
    for (; left > 0 && *p >= '0' && *p <= '9'; p++, left--)
        if (v < INT64_C(1) << 40) v = v * 10 + (*p - '0');
    return negative ? -v : v;
}

}  // namespace

extern "C" int cm6(int *data, int nsamp, char **compressedp, int *nbytes, int *compressedsz) {
    int64_t n = nsamp > 0 ? nsamp : 0;
    uint64_t needed = static_cast<uint64_t>(7 * n * 81 / 80 + 21);
    if (needed > INT32_MAX) basalt::out_of_memory(__FILE__, __LINE__, needed, "*compressedp");
    if (*compressedsz < static_cast<int64_t>(needed)) {
        if (*compressedsz != 0) std::free(*compressedp);
        *compressedp = static_cast<char *>(BASALT_MALLOC(needed, "*compressedp"));
        *compressedsz = static_cast<int>(needed);
    }
    Writer w{*compressedp};
    uint32_t prev = 0, prev2 = 0;
    for (int64_t i = 0; i < n; i++) {
        uint32_t x = static_cast<uint32_t>(data[i]);
        stuff(static_cast<int32_t>(x - 2 * prev + prev2), w);
        prev2 = prev;
        prev = x;
    }
    *w.p++ = '\n';
    int checksum = 0;
    gse_checksum(data, static_cast<int>(n), &checksum);
    int tail = std::snprintf(w.p, 21, "CHK2 %d\n", checksum);
    *nbytes = static_cast<int>(w.p - *compressedp) + tail;
    return 0;
}

extern "C" int um6(char *compressed, int nbytes, int **datap, int *nsamp, int *datasz) {
    std::call_once(decode_once, initDecode);
    *nsamp = 0;
    int capacity = nbytes > 0 ? nbytes : 0;
    uint64_t bytes = static_cast<uint64_t>(capacity) * 4;
    if (bytes > SIZE_MAX / 2) basalt::out_of_memory(__FILE__, __LINE__, bytes, "*datap");
    if (*datasz < capacity || *datap == nullptr) {
        if (*datasz != 0) std::free(*datap);
        *datap = static_cast<int *>(BASALT_MALLOC(bytes, "*datap"));
        *datasz = capacity;
    }
    int32_t *out = *datap;

    // The text ends at its NUL or after nbytes characters.
    const char *p = compressed;
    if (compressed == nullptr || capacity == 0) return -1;
    int left = static_cast<int>(strnlen(compressed, static_cast<std::size_t>(capacity)));
    while (starts_with(p, left, "WID2 ") || starts_with(p, left, "STA2 ") ||
           starts_with(p, left, "EID2 ") || starts_with(p, left, "BEA2 ") ||
           starts_with(p, left, "DAT2")) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', left));
        int skip = nl ? static_cast<int>(nl - p) + 1 : left;
        p += skip;
        left -= skip;
    }
    const char *chk = static_cast<const char *>(memmem(p, left, "\nCHK2 ", 6));
    if (chk == nullptr) return -1;
    const char *after = chk + 6;
    int after_left = left - static_cast<int>(after - p);
    left = static_cast<int>(chk - p);

    // Samples from second differences; a value with no character left adds
    // no sample.
    int n = 0, bad = 0;
    uint32_t s1 = 0, s2 = 0;  // the last two samples
    for (int v = 0; v < 2 && bad == 0 && value_follows(&p, &left); v++) {
        int value;
        bad += unstuff(&value, &p, &left);
        uint32_t x = v == 0 ? static_cast<uint32_t>(value)
                            : 2 * s1 + static_cast<uint32_t>(value);
        out[n++] = static_cast<int32_t>(x);
        s2 = s1;
        s1 = x;
    }
    while (bad == 0 && n >= 2) {
        // Most values are one or two characters on one line: one look-up.
        if (left >= 2 && !((p[0] | p[1]) & 0x80)) {
            int32_t e = pair_table[(static_cast<unsigned char>(p[0]) << 7) |
                                   static_cast<unsigned char>(p[1])];
            if (e & 3) {
                p += e & 3;
                left -= e & 3;
                uint32_t x = 2 * s1 - s2 + static_cast<uint32_t>(e >> 2);
                out[n++] = static_cast<int32_t>(x);
                s2 = s1;
                s1 = x;
                continue;
            }
        }
        if (!value_follows(&p, &left) || *p == ' ') break;
        int value;
        bad += unstuff(&value, &p, &left);
        uint32_t x = 2 * s1 - s2 + static_cast<uint32_t>(value);
        out[n++] = static_cast<int32_t>(x);
        s2 = s1;
        s1 = x;
    }
    *nsamp = n;
    if (bad) return -1;
    int checksum = 0;
    gse_checksum(out, n, &checksum);
    if (read_checksum(after, after_left) != checksum) return -1;
    return n;
}
