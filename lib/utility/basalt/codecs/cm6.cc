// CM6: the six-bit text encoding of the GSE2.0 exchange format. Second
// differences, one printable character per six bits, 80-character lines and
// a "CHK2" checksum line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "alloc.h"
#include "codecs.h"

namespace {

const char kAlphabet[] = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned char kBad = 255;
constexpr int kSign = 16, kMore = 32;
constexpr int kLine = 80;

// Character code -> six-bit value, 255 outside the alphabet (every byte
// value has an entry, so any character may be looked up).
unsigned char decode_table[256];
std::once_flag decode_once;

void initDecode() {
    std::memset(decode_table, kBad, sizeof decode_table);
    for (int i = 0; i < 64; i++) decode_table[static_cast<unsigned char>(kAlphabet[i])] = i;
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

// The samples decoded so far, each value being a second difference: the
// last sample and the last first difference, in wrapping arithmetic.
struct Samples {
    int32_t *out;
    int n;
    uint32_t x, f;

    void add(uint32_t value) {
        f += value;
        x += f;
        out[n++] = static_cast<int32_t>(x);
    }
};

// Decodes the values of one or two alphabet characters at p (at most `left`
// characters) one after the other and returns the number of characters they
// took; stops before anything else (a longer value, one broken by a line
// end, a blank, the last character), which the general reader then takes.
int read_run_portable(const unsigned char *p, int left, Samples &out) {
    Samples st = out;  // kept in registers
    const unsigned char *q = p, *end = p + left;
    while (end - q >= 2) {
        unsigned t0 = decode_table[q[0]], t1 = decode_table[q[1]];
        unsigned two = (t0 >> 5) & 1u;  // the first has its continuation bit
        if (t0 == kBad || (two & (t1 >> 5)) != 0) break;
        // Which of the two it is follows no pattern: no branch on it.
        uint32_t v = ((t0 & 15u) << (5 * two)) + ((t1 & 31u) & (0u - two));
        uint32_t neg = 0u - ((t0 >> 4) & 1u);
        st.add((v ^ neg) - neg);
        q += 1 + two;
    }
    out = st;
    return static_cast<int>(q - p);
}

#if defined(__x86_64__)
#define CM6_WIDE_TARGET __attribute__((target("avx2,bmi,bmi2")))

// What 64 characters at the start of a value hold: bit i of `valid` is set
// when character i is of the alphabet, bit i of `skipped` when it is a tab,
// newline or carriage return, bit i of `last` when it is of the alphabet and
// the last character of a value (its continuation bit clear), and d[i] is
// the value ending there if it is at most two characters long and has no
// skipped character in it (read as one character when character i - 1 ends
// a value or i is 0, else as two).
struct Stretch {
    uint64_t valid, skipped, last;
    alignas(32) int16_t d[64];
};

// 32 characters at a time. A character's class comes from two nibble
// tables ANDed: bit 0 '+' and '-', bit 1 digits, bit 2 the letters from 'A'
// to 'O' and from 'a' to 'o', bit 3 those from 'P' to 'Z' and 'p' to 'z', bit
// 4 tab, newline and carriage return; no bit, anything else. Its six-bit
// value is the character less an offset by high nibble ('-' one less).
CM6_WIDE_TARGET void classify_wide(const unsigned char *b, Stretch &s) {
    const __m256i by_low = _mm256_setr_epi8(10, 14, 14, 14, 14, 14, 14, 14, 14, 30, 28, 5, 4, 21, 4, 4,
                                            10, 14, 14, 14, 14, 14, 14, 14, 14, 30, 28, 5, 4, 21, 4, 4);
    const __m256i by_high = _mm256_setr_epi8(16, 0, 1, 2, 4, 8, 4, 8, 0, 0, 0, 0, 0, 0, 0, 0,
                                             16, 0, 1, 2, 4, 8, 4, 8, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i offsets = _mm256_setr_epi8(0, 0, '+', '0' - 2, 'A' - 12, 'A' - 12, 'a' - 38, 'a' - 38,
                                             0, 0, 0, 0, 0, 0, 0, 0,
                                             0, 0, '+', '0' - 2, 'A' - 12, 'A' - 12, 'a' - 38, 'a' - 38,
                                             0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i nibble = _mm256_set1_epi8(15), zero = _mm256_setzero_si256();
    const __m256i gap_bit = _mm256_set1_epi8(16);
    const __m256i more = _mm256_set1_epi16(kMore), sign = _mm256_set1_epi16(kSign);
    const __m256i low4 = _mm256_set1_epi16(15), low5 = _mm256_set1_epi16(31);
    __m256i before = zero;  // the six-bit values of the previous 32 characters
    uint64_t none = 0, skipped = 0, below = 0;
    for (int k = 0; k < 64; k += 32) {
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + k));
        __m256i high = _mm256_and_si256(_mm256_srli_epi16(c, 4), nibble);
        __m256i cls = _mm256_and_si256(_mm256_shuffle_epi8(by_low, _mm256_and_si256(c, nibble)),
                                       _mm256_shuffle_epi8(by_high, high));
        none |= static_cast<uint64_t>(static_cast<uint32_t>(
                    _mm256_movemask_epi8(_mm256_cmpeq_epi8(cls, zero)))) << k;
        skipped |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(
                       _mm256_cmpeq_epi8(_mm256_and_si256(cls, gap_bit), gap_bit)))) << k;
        below |= static_cast<uint64_t>(static_cast<uint32_t>(
                     _mm256_movemask_epi8(_mm256_cmpgt_epi8(_mm256_set1_epi8('U'), c)))) << k;
        __m256i six = _mm256_add_epi8(_mm256_sub_epi8(c, _mm256_shuffle_epi8(offsets, high)),
                                      _mm256_cmpeq_epi8(c, _mm256_set1_epi8('-')));
        // Each character's predecessor, the last of the previous 32 first.
        __m256i prior = _mm256_alignr_epi8(six, _mm256_permute2x128_si256(six, before, 0x03), 15);
        before = six;
        for (int half = 0; half < 2; half++) {
            __m256i cur = _mm256_cvtepu8_epi16(half ? _mm256_extracti128_si256(six, 1)
                                                    : _mm256_castsi256_si128(six));
            __m256i prv = _mm256_cvtepu8_epi16(half ? _mm256_extracti128_si256(prior, 1)
                                                    : _mm256_castsi256_si128(prior));
            __m256i pair = _mm256_cmpeq_epi16(_mm256_and_si256(prv, more), more);
            __m256i first = _mm256_blendv_epi8(cur, prv, pair);
            __m256i top = _mm256_and_si256(first, low4);
            __m256i both = _mm256_or_si256(_mm256_slli_epi16(top, 5), _mm256_and_si256(cur, low5));
            __m256i mag = _mm256_blendv_epi8(top, both, pair);
            __m256i neg = _mm256_cmpeq_epi16(_mm256_and_si256(first, sign), sign);
            _mm256_store_si256(reinterpret_cast<__m256i *>(s.d + k + 16 * half),
                               _mm256_sub_epi16(_mm256_xor_si256(mag, neg), neg));
        }
    }
    s.valid = ~none & ~skipped;
    s.skipped = skipped;
    s.last = s.valid & below;
}

// The value of the alphabet characters from b[start] to b[end] (the last
// one), passing over skipped characters, as unstuff reads it.
uint32_t read_value(const unsigned char *b, int start, int end) {
    while (is_skipped(static_cast<char>(b[start]))) start++;
    uint32_t t0 = decode_table[b[start]];
    uint32_t v = t0 & 15u;
    for (int i = start + 1; i <= end; i++)
        if (!is_skipped(static_cast<char>(b[i]))) v = (v << 5) + (decode_table[b[i]] & 31u);
    return t0 & kSign ? 0u - v : v;
}

// Decodes the values lying whole in the run of alphabet characters, tabs,
// newlines and carriage returns at p (at most `left` characters) and returns
// the number of characters they took. What follows (a blank, a character
// outside the alphabet, the end of the text) is left to the general reader.
CM6_WIDE_TARGET int read_run_wide(const unsigned char *p, int left, Samples &out) {
    Samples st = out;  // kept in registers
    unsigned char tail[64];
    Stretch s;
    int base = 0;
    while (left - base > 0) {
        int avail = left - base;
        const unsigned char *b = p + base;
        if (avail < 64) {
            // Too near the end for 64 characters: a zero-padded copy.
            std::memset(tail, 0, sizeof tail);
            std::memcpy(tail, b, static_cast<std::size_t>(avail));
            b = tail;
        }
        classify_wide(b, s);
        uint64_t usable = s.valid | s.skipped;
        uint64_t run = usable & ~(usable + 1);  // the usable characters from the start
        uint64_t last = s.last & run;
        if (last == 0) break;
        int top = 63 - __builtin_clzll(last);
        uint64_t upto = top == 63 ? ~UINT64_C(0) : (UINT64_C(2) << top) - 1;
        uint64_t more = s.valid & ~last & upto;
        if ((more & (more << 1)) == 0) {
            // Values of one or two characters only: their values are at hand,
            // but for the first after each skipped character.
            uint64_t gaps = s.skipped & upto, ends = last;
            while (last != 0) {
                uint64_t stop = last;  // up to the next value read character by character
                int odd = -1;
                while (gaps != 0) {
                    int g = __builtin_ctzll(gaps);
                    gaps &= gaps - 1;
                    uint64_t after = last & ~((UINT64_C(2) << g) - 1);
                    if (after != 0) {
                        odd = __builtin_ctzll(after);
                        stop = last & ((UINT64_C(1) << odd) - 1);
                        gaps &= ~((UINT64_C(2) << odd) - 1);
                        break;
                    }
                }
                last &= ~stop;
                while (stop != 0) {
                    unsigned end = static_cast<unsigned>(__builtin_ctzll(stop));
                    stop &= stop - 1;
                    st.add(static_cast<uint32_t>(static_cast<int32_t>(s.d[end])));
                }
                if (odd < 0) break;
                uint64_t before = ends & ((UINT64_C(1) << odd) - 1);
                st.add(read_value(b, before ? 64 - __builtin_clzll(before) : 0, odd));
                last &= last - 1;
            }
        } else {
            int start = 0;
            do {
                int end = __builtin_ctzll(last);
                last &= last - 1;
                st.add(read_value(b, start, end));
                start = end + 1;
            } while (last != 0);
        }
        base += top + 1;
        if (run != ~UINT64_C(0)) break;  // the run ends in this stretch
    }
    out = st;
    return base;
}
#endif

// The first "\nCHK2 " in the `left` characters at p, or null.
const char *find_checksum_portable(const char *p, int left) {
    return static_cast<const char *>(memmem(p, static_cast<std::size_t>(left), "\nCHK2 ", 6));
}

#if defined(__x86_64__)
// Looks for a newline followed by 'C' 32 places at a time, then checks the
// rest of the word at each.
CM6_WIDE_TARGET const char *find_checksum_wide(const char *p, int left) {
    const __m256i newline = _mm256_set1_epi8('\n'), c = _mm256_set1_epi8('C');
    int i = 0;
    for (; i + 33 <= left; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 1));
        uint32_t hits = static_cast<uint32_t>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, newline), _mm256_cmpeq_epi8(b, c))));
        for (; hits != 0; hits &= hits - 1) {
            int at = i + __builtin_ctz(hits);
            if (left - at >= 6 && std::memcmp(p + at, "\nCHK2 ", 6) == 0) return p + at;
        }
    }
    return find_checksum_portable(p + i, left - i);
}
#endif

// The run reader and checksum finder for this processor, chosen with the
// decode table.
int (*read_runs)(const unsigned char *, int, Samples &) = read_run_portable;
const char *(*find_checksum)(const char *, int) = find_checksum_portable;

void initDecoder() {
    initDecode();
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
        __builtin_cpu_supports("bmi2")) {
        read_runs = read_run_wide;
        find_checksum = find_checksum_wide;
    }
#endif
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
    std::call_once(decode_once, initDecoder);
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
    const char *chk = find_checksum(p, left);
    if (chk == nullptr) return -1;
    const char *after = chk + 6;
    int after_left = left - static_cast<int>(after - p);
    left = static_cast<int>(chk - p);

    // Samples from second differences; a value with no character left adds
    // no sample.
    Samples st{out, 0, 0, 0};
    int bad = 0;
    for (int v = 0; v < 2 && bad == 0 && value_follows(&p, &left); v++) {
        int value;
        bad += unstuff(&value, &p, &left);
        st.add(static_cast<uint32_t>(value));  // the earlier samples count as 0
    }
    while (bad == 0 && st.n >= 2) {
        // The values of each line but the one it breaks, in one sweep.
        int used = read_runs(reinterpret_cast<const unsigned char *>(p), left, st);
        p += used;
        left -= used;
        if (!value_follows(&p, &left) || *p == ' ') break;
        int value;
        bad += unstuff(&value, &p, &left);
        st.add(static_cast<uint32_t>(value));
    }
    int n = st.n;
    *nsamp = n;
    if (bad) return -1;
    int checksum = 0;
    gse_checksum(out, n, &checksum);
    if (read_checksum(after, after_left) != checksum) return -1;
    return n;
}
