// The packet file format: header lines, bodies in their representations,
// the scan for the newest packet of a file and the text form of a packet.
#include "_torvik.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "alloc_private.h"
#include "dumps.h"
#include "elog.h"
#include "fake.h"
#include "fdio.h"
#include "header_private.h"
#include "input_private.h"
#include "kitbag.h"
#include "timefmt.h"
#include "timeparse.h"

namespace torvik {

void FreeDeleter::operator()(void *p) const noexcept { std::free(p); }

void copy_cut(char *dst, const char *s, std::size_t size) {
    std::size_t n = std::strlen(s);
    if (n >= size) n = size - 1;
    std::memcpy(dst, s, n);
    dst[n] = '\0';
}

void grow_packet(Torvikfile *atorvik, int bytes) {
    if (bytes <= atorvik->bufsize) return;
    std::free(atorvik->packet);
    atorvik->packet = nullptr;
    atorvik->bufsize = 0;
    atorvik->packet = static_cast<char *>(
        TORVIK_MALLOC(static_cast<std::size_t>(bytes), "atorvik->packet"));
    atorvik->bufsize = bytes;
}

}  // namespace torvik

namespace {

using torvik::kMaxPacketBytes;

constexpr int kLineSize = torvik::kHeaderLineSize;
// One-second retries of a header that does not parse before the read gives
// up on it; a writer appends whole lines, so a line that stays bad is bad.
constexpr int kHeaderRetries = 2;

// The header form, decided by the first header written: -1 undecided,
// 0 plain, 1 with the receive time.
std::atomic<int> receive_time_form{-1};

bool with_receive_time() {
    int form = receive_time_form.load(std::memory_order_relaxed);
    if (form < 0) {
        form = std::getenv("TORVIKRECVTIME") != nullptr ? 1 : 0;
        receive_time_form.store(form, std::memory_order_relaxed);
    }
    return form == 1;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// A token of a header line: blanks and tabs separate them.
struct Token {
    const char *start;
    std::size_t length;
    bool empty() const { return length == 0; }
    // Copies the token, cut to fit size bytes with its terminator.
    void copy_cut(char *dst, std::size_t size) const {
        std::size_t n = std::min(length, size - 1);
        std::memcpy(dst, start, n);
        dst[n] = '\0';
    }
};

// The first blank or tab in [p, end), or end; eight bytes at a time.
const char *blank_in(const char *p, const char *end) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101;
        constexpr std::uint64_t kHighs = 0x8080808080808080;
        while (end - p >= 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            const std::uint64_t a = v ^ (kOnes * ' ');
            const std::uint64_t b = v ^ (kOnes * '\t');
            // The lowest flagged byte is the first that was a blank or tab.
            const std::uint64_t found = ((a - kOnes) & ~a & kHighs) | ((b - kOnes) & ~b & kHighs);
            if (found != 0) return p + std::countr_zero(found) / 8;
            p += 8;
        }
    }
    while (p < end && !is_blank(*p)) p++;
    return p;
}

// The next token after *p, before end; empty at the end of the line.
Token next_token(const char *&p, const char *end) {
    while (p < end && is_blank(*p)) p++;
    const char *start = p;
    p = blank_in(p, end);
    return Token{start, static_cast<std::size_t>(p - start)};
}

// A byte count: optional sign and digits, read as far as digits go (like
// atoi); a count beyond what a packet may hold is refused.
bool parse_count(const Token &token, int *count) {
    const char *p = token.start;
    const char *end = token.start + token.length;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    long long value = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > kMaxPacketBytes) return false;
    }
    *count = static_cast<int>(negative ? -value : value);
    return true;
}

// Parses the header line [line, end), which holds no NUL: 0, or 1 when a
// field is missing (fields already found stay filled).
int parse_header(const char *line, const char *end, char *representation, char *srcname,
                 double *time, int *nbytes) {
    const char *p = line + 4;
    Token rep = next_token(p, end);
    if (rep.empty()) return 1;
    rep.copy_cut(representation, 16);
    Token name = next_token(p, end);
    if (name.empty()) return 1;
    name.copy_cut(srcname, 64);
    Token count = next_token(p, end);
    if (count.empty()) return 1;
    if (!parse_count(count, nbytes)) return 1;
    // The time is everything up to the next '#', trimmed. The writer's
    // own form is read here; any other goes to the time parser.
    while (p < end && is_blank(*p)) p++;
    const char *stop = std::find(p, end, '#');
    while (stop > p && (is_blank(stop[-1]) || stop[-1] == '\r')) stop--;
    if (stop == p) return 1;
    if (torvik::scan_plain_time(p, stop, time) == stop) return 0;
    char text[kLineSize];
    std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(stop - p), sizeof text - 1);
    std::memcpy(text, p, length);
    text[length] = '\0';
    *time = str2epoch(text);
    return 0;
}

void show_time(char *buf, std::size_t size, double time) {
    std::unique_ptr<char, torvik::FreeDeleter> text(strtime(time));
    std::snprintf(buf, size, "%s", text ? text.get() : "?");
}

}  // namespace

extern "C" {

int torvik_write_hdr(Torvikfile *atorvik, char *srcname, double time,
                     int nbytes) {
    bool receive_form = with_receive_time();
    char header[512];
    int length;
    if (receive_form)
        length = std::snprintf(header, sizeof header, "%s %s %s %d %.7f # %.6f\n",
                               "#orb", atorvik->representation, srcname, nbytes,
                               time, std_now());
    else
        length = std::snprintf(header, sizeof header, "%s %s %s %d %.7f\n", "#orb",
                               atorvik->representation, srcname, nbytes, time);
    int result = 0;
    // A header that does not fit is refused whole rather than cut: a cut
    // header would lose its newline and swallow the next line.
    if (length < 0 || length >= static_cast<int>(sizeof header) ||
        fdwrite(atorvik->fd, header, length) < length) {
        result = -1;
        if (!receive_form) {
            char when[64];
            show_time(when, sizeof when, time);
            elog_log(1, "failed writing header %s %d %s", srcname, nbytes, when);
        }
    }
    atorvik->pktid++;
    if (atorvik->maxtime == 0.0 || time - atorvik->maxtime < atorvik->max_time_gap)
        atorvik->maxtime = std::max(atorvik->maxtime, time);
    atorvik->time = time;
    atorvik->nbytes = nbytes;
    return result;
}

int torvik_read_line(Torvikfile *atorvik, char *aline, int size, long *fpos) {
    torvik::Input &input = torvik::Input::of(atorvik);
    // Where the search began, for the skip messages only.
    bool verbose = atorvik->flags.verbose > 0;
    long reported = verbose ? static_cast<long>(input.tell()) : 0;
    for (;;) {
        int n = input.gets(aline, size);
        if (n < 0) return n;
        if (n > 4 && std::strncmp(aline, "#orb", 4) == 0) {
            *fpos = static_cast<long>(input.line_start(n));
            return 0;
        }
        if (n == 0 || aline[0] == '#') continue;
        if (verbose) {
            elog_log(0, "skipping %d bytes line at offset %lu in %s", n,
                     static_cast<unsigned long>(reported),
                     atorvik->filename ? atorvik->filename : "");
            hexdump(stderr, aline, std::min(n, 64));
            reported = static_cast<long>(input.tell());
        }
    }
}

int torvik_parse_line(char *aline, char *representation, char *srcname,
                      double *time, int *nbytes) {
    std::size_t length = std::strlen(aline);
    if (length < 4) return 1;
    return parse_header(aline, aline + length, representation, srcname, time, nbytes);
}

int torvik_read_hdr(Torvikfile *atorvik, long *fpos, char *representation,
                    char *srcname, double *time, int *nbytes) {
    // The common case: the next line is a whole header in the writer's
    // form, held by the input. Anything else takes the line search.
    if (torvik::read_plain_header(atorvik, fpos, representation, srcname, time, nbytes)) return 0;
    char line[kLineSize];
    for (int retries = 0;; retries++) {
        int result = torvik_read_line(atorvik, line, sizeof line, fpos);
        if (result != 0) return result;
        if (torvik_parse_line(line, representation, srcname, time, nbytes) == 0)
            return 0;
        if (retries >= kHeaderRetries) {
            // Left behind: the next read goes on after this line.
            elog_log(0, "bad packet header at offset %ld in %s: '%s'", *fpos,
                     atorvik->filename ? atorvik->filename : "", line);
            return -1;
        }
        sleep(1);
        // Read afresh: the writer may have completed the line in place.
        if (torvik::Input::of(atorvik).seek(*fpos, true) < 0) {
            elog_log(1, "fdseek failed #%d", retries + 1);
            return -1;
        }
    }
}

int torvik_newest(Torvikfile *atorvik) {
    torvik::Input &input = torvik::Input::of(atorvik);
    struct stat64 st;
    long long size = fstat64(atorvik->fd, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    char line[kLineSize];
    char representation[16];
    torvik::SourceName srcname{};
    bool last_was_marker = false;
    for (;;) {
        long fpos = 0;
        if (torvik_read_line(atorvik, line, sizeof line, &fpos) != 0) break;
        double time = 0.0;
        int nbytes = 0;
        if (torvik_parse_line(line, representation, srcname, &time, &nbytes) != 0)
            continue;
        atorvik->pktid++;
        torvik::store_entry(atorvik, fpos, time, srcname);
        last_was_marker = torvik::is_marker(srcname);
        if (last_was_marker || nbytes <= 0) continue;
        // Step over the body as the reader would, so that nothing inside a
        // body is taken for a header and no header is passed by.
        switch (representation[0]) {
        case 'b': {
            long long next = static_cast<long long>(fpos) +
                             static_cast<long long>(std::strlen(line)) + 1 +
                             nbytes + 1;
            if (next >= size) return atorvik->pktid < 0 ? -1 : atorvik->pktid;
            if (input.seek(next, false) < 0) return atorvik->pktid < 0 ? -1 : atorvik->pktid;
            break;
        }
        case 'a': {
            int want = static_cast<int>(std::min<long long>(nbytes, input.bytes_after()));
            torvik::grow_packet(atorvik, want);
            input.read_asciidump(atorvik->packet, want);
            break;
        }
        case 'm':
            input.gets(line, sizeof line);
            break;
        default:
            // Hex dump lines never look like headers: the line search
            // passes over them. f and s packets have no body.
            break;
        }
    }
    if (atorvik->pktid < 0) return -1;
    return last_was_marker ? atorvik->pktid - 1 : atorvik->pktid;
}

char *orbpkt_string(char *srcname, double time, char *packet, int nbytes) {
    char numbers[400];  // room for any double in %.7f
    std::snprintf(numbers, sizeof numbers, " %d %.7f\n", nbytes, time);
    std::string text = std::string("#orb x ") + srcname + numbers;
    if (nbytes > 0) {
        std::unique_ptr<char, torvik::FreeDeleter> dump(hexdump_string(0, packet, nbytes));
        if (dump) text += dump.get();
    }
    return TORVIK_STRDUP(text.c_str(), "orbpkt_string");
}

}  // extern "C"

namespace torvik {

int read_body(Torvikfile *atorvik, const char *representation, char *srcname,
              double time, int n) {
    Input &input = Input::of(atorvik);
    atorvik->nbytes = n > 0 ? n : 0;
    if (n <= 0) return 0;
    char kind = representation[0];
    // The common case: a raw body that the input holds whole.
    if (kind == 'b' && n <= atorvik->bufsize && input.take_held(atorvik->packet, n)) return 0;
    bool in_directory = atorvik->dirname != nullptr;
    // Before the buffer grows for a body, the file must be able to hold
    // it: a corrupt count fails the packet instead of making a buffer of
    // its size. A growing segment file gets the writer's time to finish.
    if (n > atorvik->bufsize && kind != 's') {
        long long available = input.bytes_after();
        long long least = kind == 'x' ? 2LL * n : kind == 'm' || kind == 'f' ? 0 : n;
        if (in_directory && kind == 'b')
            for (int tries = 0; tries < 5 && available < least; tries++) {
                sleep(1);
                available = input.bytes_after();
            }
        if (available < least) {
            elog_log(0, "packet #%d of %s declares %d bytes, more than the file holds",
                     atorvik->pktid, atorvik->filename ? atorvik->filename : "", n);
            atorvik->nbytes = 0;
            return -1;
        }
        // An m body is one line, which the file bounds as well.
        grow_packet(atorvik, kind == 'm' ? static_cast<int>(std::min<long long>(
                                               n, available + 1))
                                         : n);
    }
    switch (kind) {
    case 'a':
    case 'x': {
        int got = kind == 'a' ? input.read_asciidump(atorvik->packet, n)
                              : input.read_hexdump(atorvik->packet, n);
        if (got < n) {
            elog_log(0, "read %d, expected %d bytes from %s packet #%d", got, n,
                     kind == 'a' ? "ascii" : "hex", atorvik->pktid);
            int kept = std::max(got, 0);
            std::memset(atorvik->packet + kept, 0, static_cast<std::size_t>(n - kept));
            atorvik->nbytes = 0;
            return -1;
        }
        return 0;
    }
    case 'b': {
        int got = 0;
        int reads = in_directory ? 5 : 1;
        if (!input.own()) {
            atorvik->nbytes = 0;
            return -1;
        }
        for (int i = 0; i < reads && got < n; i++) {
            int r = input.read(atorvik->packet + got, n - got);
            if (r < 0) {
                atorvik->nbytes = 0;
                return -1;
            }
            got += r;
            if (got < n && in_directory) sleep(1);
        }
        if (got < n) {
            if (!in_directory) atorvik->nbytes = 0;
            return -1;
        }
        return 0;
    }
    case 'm': {
        int got = input.own() ? input.gets(atorvik->packet, atorvik->bufsize) : -1;
        if (got < 0) {
            atorvik->nbytes = 0;
            return -1;
        }
        atorvik->nbytes = got;
        return 0;
    }
    case 'f': {
        int least = fake_header_size(srcname) + 5;
        if (n < least) {
            elog_log(0, "fake packet #%d of %d bytes is too small for its header and fill (%d bytes)",
                     atorvik->pktid, n, least);
            atorvik->nbytes = 0;
            return -1;
        }
        int nbytes = n;
        fakefill(const_cast<char *>(representation), srcname, time,
                 &atorvik->packet, &nbytes, &atorvik->bufsize);
        atorvik->nbytes = nbytes;
        return 0;
    }
    case 's': {
        int nsamp = n;
        if (fakesignal(const_cast<char *>(representation), srcname, time,
                       &atorvik->packet, &nsamp, &atorvik->bufsize) != 0) {
            atorvik->nbytes = 0;
            return -1;
        }
        atorvik->nbytes = nsamp;
        return 0;
    }
    default:
        elog_log(0, "unrecognized packet representation '%s'\n", representation);
        atorvik->nbytes = 0;
        return -1;
    }
}

}  // namespace torvik
