// Buffered descriptor I/O: read-ahead for line and byte reading and output
// queued in memory, kept per descriptor number.
//
// The table. Every client thread of the disk ring server reads its packet
// files through here, so looking a descriptor up must neither take a lock
// nor race with another thread adding a descriptor. Records are found
// through a two-level table: a directory of chunk pointers, each chunk
// holding the record pointers of 256 consecutive descriptor numbers.
// Chunks are never freed and never move; a directory that has to grow is
// replaced by a larger copy and the old one is kept (chained from the new
// one), so a thread still reading it reads valid memory. All pointers are
// published with release stores and read with acquire loads. One mutex
// serialises making and forgetting records (and so growth); the common
// path, an existing record, takes no lock at all.
//
// A record (Record) is the public Fdbuf followed by what only this file
// uses: the offset of the read-ahead in buf, so that taking a line from it
// costs no move of the rest (the rest moves to the front once per refill),
// and how much of the read-ahead is known to hold no newline, so that a
// long line arriving in many small pieces is not searched again and again.
//
// The exported list Fds mirrors the table for inspection, under the mutex.
#include "fdio.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>

#include "alloc.h"
#include "elog.h"
#include "kitbag.h"
#include "pathtools.h"

extern "C" {
Tbl *Fds = nullptr;
}

namespace {

constexpr int kInitialBuffer = 8192;         // read-ahead buffer when made
constexpr int kInitialOutput = 8192;         // least first output buffer
constexpr std::int64_t kLineLimit = 10000000;  // largest read-ahead buffer

struct Record {
    Fdbuf fb;     // first: Fds holds the address of this member
    int start;    // offset of the read-ahead in fb.buf
    int scanned;  // leading bytes of the read-ahead known to hold no newline
};
static_assert(std::is_standard_layout_v<Record>);
static_assert(offsetof(Record, fb) == 0);

// ---- The table ----

constexpr unsigned kChunkBits = 8;
constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;

struct Chunk {
    std::atomic<Record *> slot[kChunkSize];
};

struct Directory {
    std::size_t count;             // chunks it can point to
    std::atomic<Chunk *> *chunk;   // count pointers, null where none yet
    Directory *older;              // the directory it replaced, kept
};

std::atomic<Directory *> directory{nullptr};
std::mutex table_lock;  // making and forgetting records, growing the table

// The record of fd, or null; no lock.
inline Record *find(int fd) noexcept {
    if (fd < 0) return nullptr;
    const Directory *d = directory.load(std::memory_order_acquire);
    const std::size_t c = static_cast<unsigned>(fd) >> kChunkBits;
    if (d == nullptr || c >= d->count) [[unlikely]]
        return nullptr;
    Chunk *chunk = d->chunk[c].load(std::memory_order_acquire);
    if (chunk == nullptr) [[unlikely]]
        return nullptr;
    return chunk->slot[static_cast<unsigned>(fd) & (kChunkSize - 1)].load(
        std::memory_order_acquire);
}

Directory *new_directory(std::size_t count, Directory *older) noexcept {
    auto *d = BASALT_NEW_RECORD(Directory, "Fds");
    d->count = count;
    d->older = older;
    d->chunk = static_cast<std::atomic<Chunk *> *>(
        BASALT_MALLOC(count * sizeof(std::atomic<Chunk *>), "Fds"));
    for (std::size_t i = 0; i < count; i++) {
        Chunk *c = older != nullptr && i < older->count
                       ? older->chunk[i].load(std::memory_order_relaxed)
                       : nullptr;
        new (&d->chunk[i]) std::atomic<Chunk *>(c);
    }
    return d;
}

// The slot of fd, made when missing. Only under table_lock.
std::atomic<Record *> &slot_of(int fd) noexcept {
    const std::size_t c = static_cast<unsigned>(fd) >> kChunkBits;
    Directory *d = directory.load(std::memory_order_relaxed);
    if (d == nullptr || c >= d->count) {
        std::size_t count = d != nullptr ? d->count : 4;
        while (count <= c) count *= 2;
        d = new_directory(count, d);
        directory.store(d, std::memory_order_release);
    }
    Chunk *chunk = d->chunk[c].load(std::memory_order_relaxed);
    if (chunk == nullptr) {
        chunk = new (BASALT_MALLOC(sizeof(Chunk), "Fds")) Chunk();
        d->chunk[c].store(chunk, std::memory_order_release);
    }
    return chunk->slot[static_cast<unsigned>(fd) & (kChunkSize - 1)];
}

Record *make_record(int fd) noexcept {
    // Only a descriptor that is open gets buffers: a stray number neither
    // queues output that can never be written nor grows the table.
    if (fd < 0 || fcntl(fd, F_GETFD) == -1) {
        errno = EBADF;
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(table_lock);
    std::atomic<Record *> &slot = slot_of(fd);
    if (Record *r = slot.load(std::memory_order_relaxed)) return r;
    Record *r = BASALT_NEW_RECORD(Record, "fdbuf");
    r->fb.buf = static_cast<char *>(BASALT_MALLOC(kInitialBuffer, "fdbuf->buf"));
    r->fb.maxbytes = kInitialBuffer;
    if (Fds == nullptr) Fds = newtbl(10);
    settbl(Fds, fd, &r->fb);
    slot.store(r, std::memory_order_release);
    return r;
}

// getfdbuf: the record of fd, made when missing; null (errno EBADF) for a
// descriptor that is not open.
inline Record *getfdbuf(int fd) noexcept {
    if (Record *r = find(fd)) [[likely]]
        return r;
    return make_record(fd);
}

// Takes r out of the table and frees it.
void forget(int fd, Record *r) noexcept {
    {
        std::lock_guard<std::mutex> hold(table_lock);
        slot_of(fd).store(nullptr, std::memory_order_release);
        settbl(Fds, fd, nullptr);
    }
    std::free(r->fb.buf);
    std::free(r->fb.obuf);
    std::free(r);
}

// ---- The read-ahead ----

inline char *held(Record *r) noexcept { return r->fb.buf + r->start; }

// Drops the first n bytes of the read-ahead.
inline void consume(Record *r, int n) noexcept {
    r->fb.nbytes -= n;
    r->start = r->fb.nbytes != 0 ? r->start + n : 0;
    r->scanned = r->scanned > n ? r->scanned - n : 0;
}

inline void drop_readahead(Record *r) noexcept {
    r->fb.nbytes = 0;
    r->start = 0;
    r->scanned = 0;
}

// Moves the read-ahead to the front of buf.
inline void compact(Record *r) noexcept {
    if (r->start == 0) return;
    if (r->fb.nbytes != 0)
        std::memmove(r->fb.buf, r->fb.buf + r->start, static_cast<std::size_t>(r->fb.nbytes));
    r->start = 0;
}

// gotline: takes the first line out of the read-ahead into line; its copied
// length, or -1 when the read-ahead holds no newline.
inline int gotline(Record *r, char *line, int maxbytes) noexcept {
    const int have = r->fb.nbytes;
    if (have <= r->scanned) return -1;
    char *p = held(r);
    auto *nl = static_cast<char *>(
        std::memchr(p + r->scanned, '\n', static_cast<std::size_t>(have - r->scanned)));
    if (nl == nullptr) {
        r->scanned = have;
        return -1;
    }
    const auto length = static_cast<int>(nl - p);
    const int n = std::min(length, maxbytes - 1);
    // A string copy: a NUL in the line ends the text, the rest is zeroed.
    std::strncpy(line, p, static_cast<std::size_t>(n));
    line[n] = '\0';
    consume(r, length + 1);
    r->scanned = 0;
    return n;
}

int get_line(int fd, char *line, int maxbytes) noexcept {
    if (maxbytes < 1 || line == nullptr) {
        errno = EINVAL;
        return -1;
    }
    Record *r = getfdbuf(fd);
    if (r == nullptr) return -1;
    Fdbuf &b = r->fb;
    for (;;) {
        int n = gotline(r, line, maxbytes);
        if (n >= 0) return n;
        if (b.nbytes > b.maxbytes / 2) {
            // Checked before growing: endless input without a newline
            // cannot make the buffer any bigger than this.
            const std::int64_t bigger = std::int64_t{2} * b.maxbytes;
            if (bigger > kLineLimit) {
                elog_complain(0, "fdgets buffer is way too big!!");
                return -1;
            }
            compact(r);
            b.buf = static_cast<char *>(
                BASALT_REALLOC(b.buf, static_cast<std::size_t>(bigger), "fdbuf->buf"));
            b.maxbytes = static_cast<int>(bigger);
        }
        compact(r);
        ssize_t got = reread(fd, b.buf + b.nbytes, static_cast<std::size_t>(b.maxbytes - b.nbytes));
        if (got == 0) return -2;
        if (got < 0) return -1;
        b.nbytes += static_cast<int>(got);
    }
}

int read_bytes(int fd, void *buf, int nbytes) noexcept {
    if (nbytes < 0) {
        errno = EINVAL;
        return -1;
    }
    Record *r = find(fd);
    int take = 0;
    if (r != nullptr && r->fb.nbytes > 0) {
        take = std::min(nbytes, r->fb.nbytes);
        std::memcpy(buf, held(r), static_cast<std::size_t>(take));
        if (take == nbytes) {
            consume(r, take);
            return take;
        }
    } else if (nbytes == 0) {
        return 0;
    }
    ssize_t got = reread(fd, static_cast<char *>(buf) + take, static_cast<std::size_t>(nbytes - take));
    if (got < 0) {
        // The read-ahead stays: the bytes copied above are offered again.
        const int error = errno;
        elog_log(1, "read from fd #%d returned %d", fd, static_cast<int>(got));
        errno = error;
        return -1;
    }
    if (take != 0) consume(r, take);
    return take + static_cast<int>(got);
}

int get_byte(int fd) noexcept {
    Record *r = find(fd);
    if (r != nullptr && r->fb.nbytes > 0) [[likely]] {
        const auto c = static_cast<unsigned char>(*held(r));
        consume(r, 1);
        return c;
    }
    unsigned char c;
    return read_bytes(fd, &c, 1) == 1 ? c : -1;
}

// ---- Positions ----

long tell_fd(int fd) noexcept {
    const std::int64_t at = tell(fd);
    if (at < 0) return -1;
    Record *r = find(fd);
    const std::int64_t position = at - (r != nullptr ? r->fb.nbytes : 0);
    if (position > LONG_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<long>(position);
}

int flush_queue(int fd, Record *r) noexcept;

off_t seek_fd(int fd, off_t offset, int whence) noexcept {
    Record *r = find(fd);
    std::int64_t to = offset;
    if (r != nullptr) {
        if (r->fb.onbytes > 0) {
            flush_queue(fd, r);
            if (r->fb.onbytes > 0) {
                if (errno == 0) errno = EIO;
                return -1;
            }
        }
        // The descriptor stands after the read-ahead; the caller's current
        // position is before it.
        if (whence == SEEK_CUR) to -= r->fb.nbytes;
    }
    const std::int64_t at = relseek(fd, to, whence);
    if (at < 0) return -1;
    if (r != nullptr) drop_readahead(r);
    if (at != static_cast<std::int64_t>(static_cast<off_t>(at))) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<off_t>(at);
}

// ---- Output ----

int queue_bytes(int fd, const void *data, int nbytes) noexcept {
    if (nbytes < 0) {
        errno = EINVAL;
        return -1;
    }
    Record *r = getfdbuf(fd);
    if (r == nullptr) return -1;
    Fdbuf &b = r->fb;
    const auto n = static_cast<std::size_t>(nbytes);
    constexpr auto kMost = static_cast<std::size_t>(INT_MAX);
    if (b.obuf == nullptr) {
        const std::size_t size =
            std::min(std::max(2 * n, static_cast<std::size_t>(kInitialOutput)), kMost);
        b.obuf = static_cast<char *>(BASALT_MALLOC(size, "fdbuf->obuf"));
        b.omaxbytes = static_cast<int>(size);
    } else if (n > static_cast<std::size_t>(b.omaxbytes - b.onbytes)) {
        if (static_cast<std::size_t>(b.onbytes) + n > kMost) {
            errno = ENOBUFS;
            return -1;
        }
        const auto omax = static_cast<std::size_t>(b.omaxbytes);
        const std::size_t size = std::min(std::max(2 * omax, omax + n + 10), kMost);
        b.obuf = static_cast<char *>(BASALT_REALLOC(b.obuf, size, "fdbuf->obuf"));
        b.omaxbytes = static_cast<int>(size);
    }
    if (n != 0) std::memcpy(b.obuf + b.onbytes, data, n);
    b.onbytes += nbytes;
    return nbytes;
}

// Writes the queue until it is empty or a write fails; the bytes written
// leave the queue either way.
int flush_queue(int fd, Record *r) noexcept {
    Fdbuf &b = r->fb;
    if (b.onbytes <= 0) return 0;
    const auto total = static_cast<std::size_t>(b.onbytes);
    std::size_t done = 0;
    ssize_t last = 0;
    while (done < total) {
        last = rewrite(fd, b.obuf + done, total - done);
        if (last <= 0) break;
        done += static_cast<std::size_t>(last);
    }
    if (done == total) {
        b.onbytes = 0;
        return static_cast<int>(total);
    }
    if (done != 0) {
        std::memmove(b.obuf, b.obuf + done, total - done);
        b.onbytes = static_cast<int>(total - done);
    }
    return static_cast<int>(last);
}

int flush_fd(int fd) noexcept {
    Record *r = find(fd);
    return r != nullptr ? flush_queue(fd, r) : 0;
}

int close_fd(int fd) noexcept {
    Record *r = find(fd);
    int lost = 0;
    if (r != nullptr) {
        if (r->fb.onbytes > 0) {
            flush_queue(fd, r);
            if (r->fb.onbytes > 0) lost = errno != 0 ? errno : EIO;
        }
        forget(fd, r);
    }
    int rc = close(fd);
    if (rc == 0 && lost != 0) {
        errno = lost;
        return -1;
    }
    return rc;
}

// ---- Probes ----

constexpr short kEvents = POLLIN | POLLPRI | POLLERR | POLLRDNORM | POLLRDBAND;
constexpr short kInput = POLLIN | POLLRDNORM | POLLRDBAND | POLLPRI;
static_assert(kEvents == 203);

int probe(int fd, int msec, bool again) noexcept {
    pollfd p{};
    p.fd = fd;
    p.events = kEvents;
    int rc;
    do {
        rc = poll(&p, 1, msec);
    } while (again && rc < 0 && errno == EINTR);
    if (rc < 0) return -1;
    if (rc == 0) return 0;
    return (p.revents & kInput) != 0 ? 1 : -1;
}

}  // namespace

extern "C" {

int fdgets(int fd, char *buf, int maxbytes) { return get_line(fd, buf, maxbytes); }

int fdread(int fd, void *buf, int nbytes) { return read_bytes(fd, buf, nbytes); }

int fdgetc(int fd) { return get_byte(fd); }

long fdtell(int fd) { return tell_fd(fd); }

off_t fdseek(int fd, off_t offset, int whence) { return seek_fd(fd, offset, whence); }

int fdwrite(int fd, const void *buf, int nbytes) { return queue_bytes(fd, buf, nbytes); }

int fdflush(int fd) { return flush_fd(fd); }

int fdclose(int fd) { return close_fd(fd); }

int fdkey(int fd) { return probe(fd, 1, true); }

int fdwait(int fd, int msec) { return probe(fd, msec, false); }

}  // extern "C"
