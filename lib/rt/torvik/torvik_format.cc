// The packet file format: header lines, bodies in their representations,
// the scan for the newest packet of a file and the text form of a packet.
#include "_torvik.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "alloc_private.h"
#include "dumps.h"
#include "elog.h"
#include "fake.h"
#include "fdio.h"
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

void store_entry(Torvikfile *atorvik, long fpos, double time, const char *srcname) {
    TorvikPkt entry{};
    entry.pktid = atorvik->pktid;
    entry.fpos = fpos;
    entry.time = time;
    copy_cut(entry.srcname, srcname, sizeof entry.srcname);
    int slot = atorvik->pktid - atorvik->first_pktid;
    if (slot >= 0) settbl(atorvik->index, slot, &entry);
}

long long bytes_after(int fd) {
    struct stat64 st;
    if (fstat64(fd, &st) != 0) return 0;
    long here = fdtell(fd);
    if (here < 0) return 0;
    long long left = static_cast<long long>(st.st_size) - here;
    return left > 0 ? left : 0;
}

}  // namespace torvik

namespace {

using torvik::kMarkerName;
using torvik::kMaxPacketBytes;

// Size of a reader's header line buffer.
constexpr int kLineSize = 1024;
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

// The next token after *p; empty at the end of the line.
Token next_token(const char *&p) {
    while (is_blank(*p)) p++;
    const char *start = p;
    while (*p != '\0' && !is_blank(*p)) p++;
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
    int fd = atorvik->fd;
    // Where the search began, for the skip messages only: fdtell costs a
    // system call, and a quiet reader takes one per header.
    bool verbose = atorvik->flags.verbose > 0;
    long reported = verbose ? fdtell(fd) : 0;
    for (;;) {
        int n = fdgets(fd, aline, size);
        if (n < 0) return n;
        if (n > 4 && std::strncmp(aline, "#orb", 4) == 0) {
            *fpos = fdtell(fd) - n - 1;
            return 0;
        }
        if (n == 0 || aline[0] == '#') continue;
        if (verbose) {
            elog_log(0, "skipping %d bytes line at offset %lu in %s", n,
                     static_cast<unsigned long>(reported),
                     atorvik->filename ? atorvik->filename : "");
            hexdump(stderr, aline, std::min(n, 64));
            reported = fdtell(fd);
        }
    }
}

int torvik_parse_line(char *aline, char *representation, char *srcname,
                      double *time, int *nbytes) {
    const char *p = aline + 4;
    Token rep = next_token(p);
    if (rep.empty()) return 1;
    rep.copy_cut(representation, 16);
    Token name = next_token(p);
    if (name.empty()) return 1;
    name.copy_cut(srcname, 64);
    Token count = next_token(p);
    if (count.empty()) return 1;
    if (!parse_count(count, nbytes)) return 1;
    // The time is everything up to the next '#', trimmed, so that a plain
    // decimal number takes the parser's lock-free path.
    while (is_blank(*p)) p++;
    const char *end = std::strchr(p, '#');
    if (end == nullptr) end = p + std::strlen(p);
    while (end > p && (is_blank(end[-1]) || end[-1] == '\r')) end--;
    if (end == p) return 1;
    char text[kLineSize];
    std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(end - p), sizeof text - 1);
    std::memcpy(text, p, length);
    text[length] = '\0';
    *time = str2epoch(text);
    return 0;
}

int torvik_read_hdr(Torvikfile *atorvik, long *fpos, char *representation,
                    char *srcname, double *time, int *nbytes) {
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
        if (fdseek(atorvik->fd, *fpos, SEEK_SET) < 0) {
            elog_log(1, "fdseek failed #%d", retries + 1);
            return -1;
        }
    }
}

int torvik_newest(Torvikfile *atorvik) {
    int fd = atorvik->fd;
    struct stat64 st;
    long long size = fstat64(fd, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    char line[kLineSize];
    char representation[16], srcname[64];
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
        last_was_marker = std::strcmp(srcname, kMarkerName) == 0;
        if (last_was_marker || nbytes <= 0) continue;
        // Step over the body as the reader would, so that nothing inside a
        // body is taken for a header and no header is passed by.
        switch (representation[0]) {
        case 'b': {
            long long next = static_cast<long long>(fpos) +
                             static_cast<long long>(std::strlen(line)) + 1 +
                             nbytes + 1;
            if (next >= size) return atorvik->pktid < 0 ? -1 : atorvik->pktid;
            if (fdseek(fd, static_cast<off_t>(next), SEEK_SET) < 0)
                return atorvik->pktid < 0 ? -1 : atorvik->pktid;
            break;
        }
        case 'a': {
            int want = static_cast<int>(
                std::min<long long>(nbytes, torvik::bytes_after(fd)));
            torvik::grow_packet(atorvik, want);
            fdread_asciidump(fd, atorvik->packet, want);
            break;
        }
        case 'm':
            fdgets(fd, line, sizeof line);
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
    int fd = atorvik->fd;
    atorvik->nbytes = n > 0 ? n : 0;
    if (n <= 0) return 0;
    char kind = representation[0];
    bool in_directory = atorvik->dirname != nullptr;
    // Before the buffer grows for a body, the file must be able to hold
    // it: a corrupt count fails the packet instead of making a buffer of
    // its size. A growing segment file gets the writer's time to finish.
    if (n > atorvik->bufsize && kind != 's') {
        long long available = bytes_after(fd);
        long long least = kind == 'x' ? 2LL * n : kind == 'm' || kind == 'f' ? 0 : n;
        if (in_directory && kind == 'b')
            for (int tries = 0; tries < 5 && available < least; tries++) {
                sleep(1);
                available = bytes_after(fd);
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
        int got = kind == 'a' ? fdread_asciidump(fd, atorvik->packet, n)
                              : fdread_hexdump(fd, atorvik->packet, n);
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
        for (int i = 0; i < reads && got < n; i++) {
            int r = fdread(fd, atorvik->packet + got, n - got);
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
        int got = fdgets(fd, atorvik->packet, atorvik->bufsize);
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
