// Hex and ascii dumps, their readers, and small byte displays.
//
// Everything here is table-driven: the text of each byte (hex pair, shown
// character, ascii form) is looked up, whole lines are formatted into a
// buffer, and the buffer goes out in one fwrite or fdwrite per chunk. The
// ascii readers fetch their input in blocks that are never longer than the
// rest of the dump can be, so they stop exactly where a reader taking one
// character at a time would stop.
#include "dumps.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "alloc.h"
#include "elog.h"
#include "fdio.h"
#include "kitbag.h"

namespace {

// ---- Tables ----

// Text of one byte in the ascii dump: up to 5 characters, padded to 8 so
// that it can be copied with one fixed-size move.
struct AsciiForm {
    std::array<char, 8> text;
};

struct Tables {
    std::array<std::array<char, 2>, 256> pair{};  // "00" .. "ff"
    std::array<char, 256> shown{};               // hex dump character column
    std::array<signed char, 256> digit{};        // hex digit value, or -1
    std::array<bool, 256> printable{};           // 32 to 126
    // Ascii dump forms: [0] writes a tab as itself, [1] escapes it.
    std::array<std::array<AsciiForm, 256>, 2> ascii{};
    std::array<std::array<unsigned char, 256>, 2> ascii_len{};
};

constexpr char kHexDigits[] = "0123456789abcdef";

constexpr Tables make_tables() {
    Tables t;
    for (int c = 0; c < 256; ++c) {
        t.pair[c] = {kHexDigits[c >> 4], kHexDigits[c & 15]};
        const bool p = c >= 32 && c <= 126;
        t.printable[c] = p;
        t.shown[c] = p ? static_cast<char>(c) : '_';
        t.digit[c] = static_cast<signed char>(
            c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1);
        for (int mode = 0; mode < 2; ++mode) {
            AsciiForm f{};
            int len;
            if (c == '\\') {
                f.text[0] = f.text[1] = '\\';
                len = 2;
            } else if (p || c == '\n' || (c == '\t' && mode == 0)) {
                f.text[0] = static_cast<char>(c);
                len = 1;
            } else {
                f.text[0] = '\\';
                f.text[1] = '0';
                f.text[2] = 'x';
                f.text[3] = kHexDigits[c >> 4];
                f.text[4] = kHexDigits[c & 15];
                len = 5;
            }
            t.ascii[mode][c] = f;
            t.ascii_len[mode][c] = static_cast<unsigned char>(len);
        }
    }
    return t;
}

constexpr Tables kT = make_tables();

inline const unsigned char *bytes_of(const void *p) {
    return static_cast<const unsigned char *>(p);
}

inline unsigned long address_of(const void *p) {
    // unsigned long has the width of a pointer on the 32-bit target and on
    // 64-bit Linux alike, so "%lx" prints the whole address.
    return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p));
}

// Whether the l bytes at memory may not be read; 0 when they may.
inline int unreadable(const void *memory, int l) {
    return l > 0 ? nomem(const_cast<void *>(memory), l) : 0;
}

// Length of the "no memory at %lx\n" text with room for the NUL.
constexpr std::size_t kNoMemoryText = 64;

void no_memory_text(char (&text)[kNoMemoryText], const void *memory) {
    std::snprintf(text, sizeof text, "no memory at %lx\n", address_of(memory));
}

// A text that would not fit in memory at all: as fatal as running out.
[[noreturn]] void text_too_long(std::uint64_t bytes, const char *what) {
    basalt::out_of_memory(__FILE__, __LINE__,
                          static_cast<std::size_t>(std::min<std::uint64_t>(bytes, SIZE_MAX)),
                          what);
}

// A new block of `bytes` (64-bit count) for a string the caller frees.
char *new_text(std::uint64_t bytes) {
    if (bytes > SIZE_MAX) text_too_long(bytes, "vstk->s");
    return static_cast<char *>(BASALT_MALLOC(static_cast<std::size_t>(bytes), "vstk->s"));
}

// ---- Hex dump writer ----

constexpr int kHexLineBytes = 16;
constexpr int kHexLineChars = 68;
// Characters before the character column: tab, offset, space, 8 groups.
constexpr int kHexColumn = 51;

// Bytes of hex dump text for l bytes (l >= 0).
constexpr std::uint64_t hex_text_size(int l) {
    const std::uint64_t full = static_cast<std::uint64_t>(l) / kHexLineBytes;
    const int rest = l % kHexLineBytes;
    return full * kHexLineChars + (rest ? kHexColumn + rest + 1 : 0);
}

inline void put_pair(char *o, unsigned char c) { std::memcpy(o, kT.pair[c].data(), 2); }

// One line of n bytes (1 to 16) at p whose offset is `offset`; returns the
// end of the text.
template <bool kFull>
inline char *hex_line(char *o, std::uint32_t offset, const unsigned char *p, int n) {
    o[0] = '\t';
    put_pair(o + 1, static_cast<unsigned char>(offset >> 24));
    put_pair(o + 3, static_cast<unsigned char>(offset >> 16));
    put_pair(o + 5, static_cast<unsigned char>(offset >> 8));
    put_pair(o + 7, static_cast<unsigned char>(offset));
    o[9] = ' ';
    o += 10;
    for (int i = 0; i < kHexLineBytes; i += 2) {
        o[0] = ' ';
        if (kFull || i < n) put_pair(o + 1, p[i]); else std::memcpy(o + 1, "  ", 2);
        if (kFull || i + 1 < n) put_pair(o + 3, p[i + 1]); else std::memcpy(o + 3, "  ", 2);
        o += 5;
    }
    *o++ = ' ';
    const int count = kFull ? kHexLineBytes : n;
    for (int i = 0; i < count; ++i) o[i] = kT.shown[p[i]];
    o += count;
    *o++ = '\n';
    return o;
}

// Writes the hex dump text of l bytes (l >= 0), the first at offset base;
// returns the end of the text. The offset is kept in 32 bits.
char *hex_text(char *o, std::uint32_t base, const unsigned char *p, int l) {
    int i = 0;
    for (; l - i >= kHexLineBytes; i += kHexLineBytes)
        o = hex_line<true>(o, base + static_cast<std::uint32_t>(i), p + i, kHexLineBytes);
    if (i < l) o = hex_line<false>(o, base + static_cast<std::uint32_t>(i), p + i, l - i);
    return o;
}

// Lines of text formatted per chunk when writing to a stream or descriptor.
constexpr int kHexChunkLines = 120;
constexpr int kHexChunkBytes = kHexChunkLines * kHexLineBytes;

// Hands the hex dump of l > 0 bytes to put(text, length) chunk by chunk.
template <class Put>
void hex_chunks(std::uint32_t base, const unsigned char *p, int l, Put &&put) {
    char buf[kHexChunkLines * kHexLineChars];
    for (int i = 0; i < l;) {
        const int n = std::min(kHexChunkBytes, l - i);
        char *end = hex_text(buf, base + static_cast<std::uint32_t>(i), p + i, n);
        put(buf, static_cast<std::size_t>(end - buf));
        i += n;  // never beyond l, so never beyond INT_MAX
    }
}

// ---- Hex dump reader ----

constexpr int kHexReadLine = 1024;

inline bool is_separator(char c) { return c == ' ' || c == '\t'; }

inline int digit_of(char c) { return kT.digit[static_cast<unsigned char>(c)]; }

// A byte from two hex digits, high first; a non-digit counts as -1.
inline unsigned char byte_of(char hi, char lo) {
    return static_cast<unsigned char>(digit_of(hi) * 16 + digit_of(lo));
}

// True when the line is a full line as the writer makes it: a tab, an
// offset token, then 8 groups of 4 hex digits each behind a single blank,
// the last followed by a separator or the end of the line.
inline bool canonical_hex_line(const char *s) {
    if (s[0] != '\t') return false;
    for (int i = 1; i <= 8; ++i)
        if (s[i] == '\0' || is_separator(s[i])) return false;
    if (s[9] != ' ') return false;
    for (int g = 0; g < 8; ++g) {
        const char *q = s + 10 + 5 * g;
        if (q[0] != ' ' || digit_of(q[1]) < 0 || digit_of(q[2]) < 0 ||
            digit_of(q[3]) < 0 || digit_of(q[4]) < 0)
            return false;
    }
    return s[50] == '\0' || is_separator(s[50]);
}

// Stores the groups of one line; false when the line ran out of tokens
// before the bytes were complete (which ends the reading).
bool hex_groups(const char *s, unsigned char *out, int l, int &stored) {
    if (l - stored >= kHexLineBytes && canonical_hex_line(s)) {
        const char *q = s + 11;
        for (int i = 0; i < kHexLineBytes; i += 2, q += 5) {
            out[stored + i] = byte_of(q[0], q[1]);
            out[stored + i + 1] = byte_of(q[2], q[3]);
        }
        stored += kHexLineBytes;
        return true;
    }
    // The offset: the first token, whatever it holds.
    while (is_separator(*s)) ++s;
    if (*s == '\0') return false;
    while (*s != '\0' && !is_separator(*s)) ++s;
    for (int group = 0; group < 8 && stored < l; ++group) {
        while (is_separator(*s)) ++s;
        if (*s == '\0') return false;
        const char *token = s;
        while (*s != '\0' && !is_separator(*s)) ++s;
        // A 1-character token pairs its digit with the separator or NUL
        // behind it, which counts as -1, as a split string would give.
        out[stored++] = byte_of(token[0], token[1]);
        if (s - token == 4 && stored < l) out[stored++] = byte_of(token[2], token[3]);
    }
    return true;
}

// Reads lines with next_line(buf) (false at the end, a failure or an
// empty line) until l bytes are stored or the groups run out.
template <class NextLine>
int read_hex(void *memory, int l, NextLine &&next_line) {
    auto *out = static_cast<unsigned char *>(memory);
    int stored = 0;
    char line[kHexReadLine];
    while (stored < l) {
        if (!next_line(line) || line[0] == '\0') break;
        if (!hex_groups(line, out, l, stored)) break;
    }
    return stored;
}

// ---- Ascii dump writer ----

constexpr int kAsciiLineBreak = 79;  // a break follows once the count is above
// Room one byte may take in the output buffer: its form copied as 8
// characters (at most 5 of them kept) and a line break.
constexpr std::ptrdiff_t kAsciiSlack = 9;

// Encodes bytes into a buffer, keeping the count of characters on the
// current output line across calls.
class AsciiEncoder {
  public:
    explicit AsciiEncoder(bool escape_tab) : mode_(escape_tab ? 1 : 0) {}

    // Encodes from p[*i] on, up to l, while the buffer [o, end) has room
    // for another byte; advances *i and returns the end of the text.
    char *encode(char *o, char *end, const unsigned char *p, int l, int *i) {
        const auto &forms = kT.ascii[mode_];
        const auto &lens = kT.ascii_len[mode_];
        int k = *i;
        int count = count_;
        char *limit = end - kAsciiSlack;
        while (k < l && o <= limit) {
            const unsigned char c = p[k++];
            std::memcpy(o, forms[c].text.data(), 8);
            if (c == '\n') {
                o += 1;
                count = 0;
                continue;
            }
            o += lens[c];
            count += lens[c];
            if (count > kAsciiLineBreak) {
                *o++ = '\n';
                count = 0;
            }
        }
        *i = k;
        count_ = count;
        return o;
    }

  private:
    int mode_;
    int count_ = 0;
};

constexpr std::size_t kAsciiChunk = 8192;

// Hands the ascii dump of l > 0 bytes to put(text, length) chunk by chunk.
template <class Put>
void ascii_chunks(bool escape_tab, const unsigned char *p, int l, Put &&put) {
    char buf[kAsciiChunk];
    AsciiEncoder enc(escape_tab);
    int i = 0;
    while (i < l) {
        char *end = enc.encode(buf, buf + sizeof buf, p, l, &i);
        put(buf, static_cast<std::size_t>(end - buf));
    }
}

// ---- Ascii dump reader ----

// Characters the ascii readers take from their input at a time (at most).
constexpr std::size_t kAsciiReadBlock = 8192;

// Turns the characters of an ascii dump back into bytes. It is fed blocks
// of characters no longer than needed(), the least number the rest of the
// dump can hold, so that it is never given a character beyond its end.
class AsciiDecoder {
  public:
    AsciiDecoder(void *memory, int l) : out_(static_cast<unsigned char *>(memory)), l_(l) {}

    int stored() const { return stored_; }

    // The fewest further characters the dump holds: one for each byte not
    // yet stored, plus the rest of a started escape or a pending break.
    std::int64_t needed() const {
        const std::int64_t rest = l_ - stored_;
        switch (state_) {
            case State::kChar:
            case State::kBackslash: return rest;
            case State::kEscape: return 3 - escape_got_ + rest - 1;
            case State::kBreak: return 1 + rest;
        }
        return 0;
    }

    // n is at most needed() and at most kAsciiReadBlock.
    void feed(const unsigned char *s, std::size_t n) {
        // Length of the form that would start at each position with all of
        // its 5 characters in the block (computed for every position at
        // once, independently of where forms really start).
        for (std::size_t i = 0; i + 4 < n; ++i) {
            const unsigned bs = s[i] == '\\';
            const unsigned bs2 = s[i + 1] == '\\';
            form_len_[i] = static_cast<unsigned char>(1 + 4 * bs - 3 * (bs & bs2));
        }
        std::size_t k = 0;
        while (k < n) {
            if (state_ == State::kChar && stored_ >= l_) break;  // never fed this far
            switch (state_) {
                case State::kChar: k = plain(s, n, k); break;
                case State::kBackslash:
                    if (s[k++] == '\\') {
                        ++count_;
                        store(92);
                    } else {
                        state_ = State::kEscape;
                        escape_got_ = 0;
                    }
                    break;
                case State::kEscape: {
                    const char c = static_cast<char>(s[k++]);
                    if (escape_got_ == 1) escape_hi_ = c;
                    if (++escape_got_ == 3) {
                        count_ += 4;
                        store(byte_of(escape_hi_, c));
                    }
                    break;
                }
                case State::kBreak:
                    ++k;
                    count_ = 0;
                    state_ = State::kChar;
                    break;
            }
        }
    }

  private:
    enum class State { kChar, kBackslash, kEscape, kBreak };

    // Stores a completed byte; a count above the limit means the writer's
    // line break comes next.
    void store(unsigned char c) {
        out_[stored_++] = c;
        state_ = count_ > kAsciiLineBreak ? State::kBreak : State::kChar;
    }

    // Characters outside escapes, and whole escapes found in one block.
    std::size_t plain(const unsigned char *s, std::size_t n, std::size_t k) {
        int count = count_;
        int stored = stored_;
        // While a longest form (5 characters) is in the block, forms are
        // decoded without branching on their kind (random data would make
        // such branches unpredictable); the length of the form starting at
        // each position is looked up from form_len_, so that the step from
        // one form to the next is a single load.
        const std::size_t whole = n >= 5 ? n - 4 : 0;
        while (k < whole && stored < l_) {
            const unsigned c = s[k];
            const unsigned len = form_len_[k];
            const unsigned escaped = byte_of(static_cast<char>(s[k + 3]), static_cast<char>(s[k + 4]));
            // 1: the character itself; 2: a backslash; 5: the escaped byte
            // (chosen by masks, which the compiler keeps free of branches).
            const unsigned value = (c & (0u - (len == 1))) | (92u & (0u - (len == 2))) |
                                   (escaped & (0u - (len == 5)));
            out_[stored++] = static_cast<unsigned char>(value);
            k += len;
            count = static_cast<int>((static_cast<unsigned>(count) + len) & (0u - (c != '\n')));
            if (count > kAsciiLineBreak) {
                count = 0;
                if (k == n) {
                    state_ = State::kBreak;
                    break;
                }
                ++k;  // the writer's line break
            }
        }
        // The last few characters of the block, one at a time.
        while (k < n && stored < l_) {
            const unsigned char c = s[k];
            if (c == '\\') {
                if (n - k >= 2 && s[k + 1] == '\\') {
                    out_[stored++] = 92;
                    count += 2;
                    k += 2;
                } else if (n - k >= 5) {
                    out_[stored++] = byte_of(static_cast<char>(s[k + 3]),
                                             static_cast<char>(s[k + 4]));
                    count += 5;
                    k += 5;
                } else {
                    // The escape goes on in the next block.
                    ++count;
                    ++k;
                    state_ = State::kBackslash;
                    break;
                }
            } else {
                out_[stored++] = c;
                count = c == '\n' ? 0 : count + 1;
                ++k;
            }
            if (count > kAsciiLineBreak) {
                state_ = State::kBreak;
                break;
            }
        }
        count_ = count;
        stored_ = stored;
        return k;
    }

    unsigned char *out_;
    int l_;
    std::array<unsigned char, kAsciiReadBlock> form_len_;
    int stored_ = 0;
    int count_ = 0;
    State state_ = State::kChar;
    int escape_got_ = 0;  // characters of "0x" and the digits read so far
    char escape_hi_ = 0;
};

// Reads blocks with read(buf, n) (the count read; 0 or less at the end or
// on a failure) until l bytes are stored or the input ends.
template <class Read>
int read_ascii(void *memory, int l, Read &&read) {
    if (l <= 0) return 0;
    AsciiDecoder dec(memory, l);
    unsigned char buf[kAsciiReadBlock];
    for (;;) {
        const std::int64_t need = dec.needed();
        if (need <= 0) break;
        const auto ask = static_cast<std::size_t>(
            std::min<std::int64_t>(need, static_cast<std::int64_t>(sizeof buf)));
        const long got = read(buf, ask);
        if (got <= 0) break;
        dec.feed(buf, static_cast<std::size_t>(got));
    }
    return dec.stored();
}

}  // namespace

// ---- Hex dumps ----

extern "C" void Hexdump(FILE *file, unsigned long base, const void *memory, int l) {
    if (l <= 0) {
        std::fputc('\n', file);
        return;
    }
    if (const int r = unreadable(memory, l)) {
        elog_complain(1, "nomem returns %lx for %d bytes at %lx",
                      static_cast<unsigned long>(r), l, address_of(memory));
        std::fprintf(file, "no memory at %lx\n", address_of(memory));
        return;
    }
    hex_chunks(static_cast<std::uint32_t>(base), bytes_of(memory), l,
               [file](const char *text, std::size_t n) { std::fwrite(text, 1, n, file); });
}

extern "C" void hexdump(FILE *file, const void *memory, int l) { Hexdump(file, 0, memory, l); }

extern "C" char *hexdump_string(unsigned long base, const void *memory, int l) {
    if (l <= 0) return BASALT_STRDUP("", "vstk->s");
    if (unreadable(memory, l)) {
        char text[kNoMemoryText];
        no_memory_text(text, memory);
        return BASALT_STRDUP(text, "vstk->s");
    }
    const std::uint64_t size = hex_text_size(l);
    char *s = new_text(size + 1);
    char *end = hex_text(s, static_cast<std::uint32_t>(base), bytes_of(memory), l);
    *end = '\0';
    return s;
}

extern "C" int read_hexdump(FILE *file, void *memory, int l) {
    return read_hex(memory, l, [file](char *line) {
        return std::fgets(line, kHexReadLine, file) != nullptr;
    });
}

// ---- Ascii dumps ----

extern "C" void asciidump(FILE *file, const void *memory, int l) {
    if (l <= 0) {
        std::fputc('\n', file);
        return;
    }
    if (unreadable(memory, l)) {
        std::fprintf(file, "no memory at %lx\n", address_of(memory));
        return;
    }
    ascii_chunks(false, bytes_of(memory), l,
                 [file](const char *text, std::size_t n) { std::fwrite(text, 1, n, file); });
}

extern "C" char *asciistring(const void *memory, int l) {
    if (l <= 0) return BASALT_STRDUP("\n", "vstk->s");
    if (unreadable(memory, l)) {
        char text[kNoMemoryText];
        no_memory_text(text, memory);
        return BASALT_STRDUP(text, "vstk->s");
    }
    const unsigned char *p = bytes_of(memory);
    // The text (1 to about 5 characters a byte) is made in one pass into a
    // block that grows as needed and is cut to its length at the end.
    const std::uint64_t most = static_cast<std::uint64_t>(l) * 5 + l / 16 + kAsciiSlack + 1;
    std::uint64_t room = std::min<std::uint64_t>(static_cast<std::uint64_t>(l) * 2 + 64, most);
    char *s = new_text(room);
    AsciiEncoder enc(true);
    int i = 0;
    std::size_t used = 0;
    for (;;) {
        char *end = enc.encode(s + used, s + room, p, l, &i);
        used = static_cast<std::size_t>(end - s);
        if (i >= l) break;
        room = std::min(room * 2, most);
        if (room > SIZE_MAX) text_too_long(room, "vstk->s");
        s = static_cast<char *>(BASALT_REALLOC(s, static_cast<std::size_t>(room), "vstk->s"));
    }
    s[used] = '\0';
    return static_cast<char *>(BASALT_REALLOC(s, used + 1, "vstk->s"));
}

extern "C" int read_asciidump(FILE *file, void *memory, int l) {
    bool ended = false;
    return read_ascii(memory, l, [file, &ended](unsigned char *buf, std::size_t n) -> long {
        // A short count from fread means end of file or an error.
        if (ended) return 0;
        const std::size_t got = std::fread(buf, 1, n, file);
        if (got < n) ended = true;
        return static_cast<long>(got);
    });
}

// ---- Descriptor forms ----

extern "C" void fdhexdump(int fd, const void *memory, int l) {
    if (l <= 0) return;
    if (unreadable(memory, l)) {
        char text[kNoMemoryText];
        no_memory_text(text, memory);
        fdwrite(fd, text, static_cast<int>(std::strlen(text)));
        return;
    }
    hex_chunks(0, bytes_of(memory), l, [fd](const char *text, std::size_t n) {
        fdwrite(fd, text, static_cast<int>(n));
    });
}

extern "C" int fdread_hexdump(int fd, void *memory, int l) {
    return read_hex(memory, l, [fd](char *line) { return fdgets(fd, line, kHexReadLine) > 0; });
}

extern "C" void fdasciidump(int fd, const void *memory, int l) {
    if (l <= 0) {
        fdwrite(fd, "\n", 1);
        return;
    }
    if (unreadable(memory, l)) {
        char text[kNoMemoryText];
        no_memory_text(text, memory);
        fdwrite(fd, text, static_cast<int>(std::strlen(text)));
        return;
    }
    ascii_chunks(true, bytes_of(memory), l, [fd](const char *text, std::size_t n) {
        fdwrite(fd, text, static_cast<int>(n));
    });
}

extern "C" int fdread_asciidump(int fd, void *memory, int l) {
    return read_ascii(memory, l, [fd](unsigned char *buf, std::size_t n) -> long {
        return fdread(fd, buf, static_cast<int>(n));
    });
}

// ---- Displays ----

extern "C" void printable_string(char *buf, int n, const void *memory, int l) {
    if (buf == nullptr || n <= 0) return;
    if (l <= 0) {
        if (n >= 2) std::memcpy(buf, "\n", 2); else buf[0] = '\0';
        return;
    }
    if (unreadable(memory, l)) {
        if (n >= 26)
            std::snprintf(buf, static_cast<std::size_t>(n), "no memory at %lx\n", address_of(memory));
        else if (n > 2)
            std::memcpy(buf, "?", 2);
        else
            buf[0] = '\0';
        return;
    }
    const unsigned char *p = bytes_of(memory);
    const auto &forms = kT.ascii[1];
    const auto &lens = kT.ascii_len[1];
    int len = 0;
    for (int i = 0; i < l && len < n - 5; ++i) {
        const unsigned char c = p[i];
        if (c == '\n') {
            buf[len++] = '\\';
            buf[len++] = 'n';
        } else {
            std::memcpy(buf + len, forms[c].text.data(), lens[c]);
            len += lens[c];
        }
    }
    buf[len] = '\0';
}

extern "C" void Xchardump(FILE *file, const char *label, const char *desc, const void *bytes,
                          int nbytes) {
    if (printable(bytes, nbytes) > 0) {
        std::fprintf(file, "%s = '%.*s' %s\n", label, std::max(nbytes, 0),
                     static_cast<const char *>(bytes), desc);
    } else {
        std::fprintf(file, "%s (%d bytes) # %s\n", label, nbytes, desc);
        hexdump(file, bytes, nbytes);
    }
}

extern "C" void showdouble(FILE *file, double x) {
    unsigned char b[8];
    H2N8(b, &x, 1);
    std::fprintf(file, " %02x%02x%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2], b[3], b[4], b[5],
                 b[6], b[7]);
}

extern "C" void showfloat(FILE *file, float x) {
    // H2N4 moves 4-byte words; the float's bits travel as one.
    int word;
    static_assert(sizeof word == sizeof x);
    std::memcpy(&word, &x, sizeof word);
    unsigned char b[4];
    H2N4(b, &word, 1);
    std::fprintf(file, " %02x%02x%02x%02x", b[0], b[1], b[2], b[3]);
}

extern "C" void prthexcmp(FILE *file, const char *msg, const void *a, const void *b, int size) {
    if (msg != nullptr) std::fprintf(file, "\n%s\n", msg);
    const unsigned char *pa = bytes_of(a);
    const unsigned char *pb = bytes_of(b);
    for (int off = 0; off < size; off += kHexLineBytes) {
        const int n = std::min(kHexLineBytes, size - off);
        if (std::memcmp(pa + off, pb + off, static_cast<std::size_t>(n)) == 0) continue;
        std::fputs("a> ", file);
        Hexdump(file, static_cast<unsigned long>(off), pa + off, n);
        std::fputs("b> ", file);
        Hexdump(file, static_cast<unsigned long>(off), pb + off, n);
        std::fputs("\n", file);
    }
}

// ---- Small conversions ----

extern "C" void mem2hex(const void *vmem, int n, char *s) {
    const unsigned char *p = bytes_of(vmem);
    std::size_t at = 0;
    for (int i = 0; i < n; ++i, at += 2) put_pair(s + at, p[i]);
    s[at] = '\0';
}

extern "C" int hex2mem(const char *hex, void *vmem) {
    auto *out = static_cast<unsigned char *>(vmem);
    int count = 0;
    int high = -1;
    for (const char *s = hex; *s != '\0'; ++s) {
        if (*s == ' ' || *s == '\t' || *s == '\n') continue;
        const int d = digit_of(*s);
        if (d < 0) return -1;
        if (high < 0) {
            high = d;
        } else {
            out[count++] = static_cast<unsigned char>(high * 16 + d);
            high = -1;
        }
    }
    return high < 0 ? count : -1;
}

extern "C" int hex2int(char c) { return digit_of(c); }

extern "C" int printable(const void *s, int n) {
    const unsigned char *p = bytes_of(s);
    for (int i = 0; i < n; ++i)
        if (!kT.printable[p[i]]) return p[i] == '\0' ? 1 : 0;
    return 2;
}
