// Buffered streams: life of a stream, the buffer, waiting, reading more,
// flushing, keeping and resending.
#include "bns.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "bns_private.h"
#include "elog.h"
#include "tbl.h"

extern "C" {
BASALT_API int BNS_TIMEOUT = 60000;
BASALT_API int OrbVerbose = 0;
}

// On the 32-bit boards every field of the record is one 32-bit word.
static_assert(sizeof(void *) != 4 || sizeof(Bns) == 23 * 4, "Bns layout");

namespace {

using basalt::bnsimpl::entry_offset;
using basalt::bnsimpl::offset_entry;
using basalt::bnsimpl::traffic;
using basalt::bnsimpl::wrap_add;

constexpr int32_t kDefaultSize = 32767;
constexpr short kWaitEvents = POLLIN | POLLPRI | POLLERR | POLLRDNORM | POLLRDBAND;

// The two globals are read and written by streams of many threads at once
// (every bnsnew may reload the time-out): each access is atomic.
int load_global(int &global) {
    return std::atomic_ref<int>(global).load(std::memory_order_relaxed);
}
void store_global(int &global, int value) {
    std::atomic_ref<int>(global).store(value, std::memory_order_relaxed);
}

bool verbose() { return load_global(OrbVerbose) != 0; }

// The initial read routine: the system read.
int plain_read(int fd, void *buffer, int count, int /*flags*/) {
    return static_cast<int>(::read(fd, buffer, static_cast<size_t>(count)));
}

// The initial write routine: the system write, except that a peer that has
// gone away makes the write fail with EPIPE instead of ending the process
// with SIGPIPE.
int plain_write(int fd, void *buffer, int count, int /*flags*/) {
    const auto bytes = static_cast<size_t>(count);
    ssize_t r = ::send(fd, buffer, bytes, MSG_NOSIGNAL);
    if (r >= 0 || errno != ENOTSOCK) return static_cast<int>(r);

    // Not a socket (a pipe, a file, a terminal): hold SIGPIPE back during
    // the write and take away the one the write raised, if any.
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    sigset_t old_mask;
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
    errno = 0;
    r = ::write(fd, buffer, bytes);
    const int saved = errno;
    if (r < 0 && saved == EPIPE && !was_pending) {
        const struct timespec no_wait = {0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    errno = saved;
    return static_cast<int>(r);
}

// Moves the bytes from `from` up to lp to the start of the buffer and lowers
// the offsets (and the kept block starts) accordingly.
void shift_down(Bns *bns, int32_t from) {
    std::memmove(bns->data, bns->data + from, static_cast<size_t>(bns->lp - from));
    bns->fp -= from;
    bns->lp -= from;
    if (bns->mark >= 0) {
        bns->mark -= from;
        if (bns->marktbl != nullptr) {
            const int n = maxtbl(bns->marktbl);
            for (int i = 0; i < n; i++)
                settbl(bns->marktbl, i, offset_entry(entry_offset(gettbl(bns->marktbl, i)) - from));
        }
    }
}

// Drops delivered input (or, when keeping, everything before the oldest
// kept byte) before a read.
void compact(Bns *bns) {
    if (bns->mark < 0) {
        if (bns->fp > 0) shift_down(bns, bns->fp);
    } else if (bns->mark > 0) {
        shift_down(bns, bns->mark);
    }
}

// Bookkeeping after `count` bytes from fp have been written.
void flushed(Bns *bns, int32_t count) {
    bns->nbytes = wrap_add(bns->nbytes, count);
    if (bns->mark < 0) {
        bns->fp += count;
        if (bns->fp == bns->lp) bns->fp = bns->lp = 0;
        return;
    }
    if (bns->marktbl == nullptr) bns->marktbl = newtbl(2);
    pushtbl(bns->marktbl, offset_entry(bns->fp));
    const int hold = bns->keep > 1 ? bns->keep : 1;
    while (maxtbl(bns->marktbl) >= hold) bns->mark = entry_offset(shifttbl(bns->marktbl));
    bns->fp += count;
    if (bns->mark > 0) shift_down(bns, bns->mark);
}

}  // namespace

namespace basalt::bnsimpl {

void refuse_size(const char *who) {
    elog_log(0, "%s: a stream buffer cannot grow beyond %d bytes\n", who, BNS_MAX_SIZE);
}

bool grow(Bns *bns, int64_t n2add, int64_t required, const char *who) {
    const int64_t sz = bns->sz;
    int64_t target = sz + (n2add > sz ? n2add : sz);
    if (target > BNS_MAX_SIZE) target = sz > BNS_MAX_SIZE ? sz : BNS_MAX_SIZE;
    if (required > target) {
        refuse_size(who);
        return false;
    }
    if (target == sz) return true;
    const auto bytes = static_cast<size_t>(target);
    if (bns->fp == bns->lp && bns->lp == bns->mark) {
        // Keeping, with nothing held: no byte needs to move.
        std::free(bns->data);
        bns->data = static_cast<char *>(BASALT_MALLOC(bytes, "bns->data"));
    } else {
        bns->data = static_cast<char *>(BASALT_REALLOC(bns->data, bytes, "bns->data"));
    }
    bns->sz = static_cast<int32_t>(target);
    return true;
}

}  // namespace basalt::bnsimpl

extern "C" {

Bns *bnsnew(int fd, int sz) {
    Bns *bns = BASALT_NEW_RECORD(Bns, "bns");
    if (sz < 1) sz = kDefaultSize;
    bns->data = static_cast<char *>(BASALT_MALLOC(static_cast<size_t>(sz), "bns->data"));
    bns->sz = sz;
    bns->fd = fd;
    bns->fp = bns->lp = 0;
    bns->mark = -1;
    bns->read_routine = plain_read;
    bns->write_routine = plain_write;
    bns->snoop = nullptr;
    bns->snoopfd = -1;
    bns->id = nullptr;
    bns->marktbl = nullptr;
    if (const char *env = std::getenv("BNS_TIMEOUT"))
        store_global(BNS_TIMEOUT, static_cast<int>(std::strtol(env, nullptr, 10)));
    bns->timeout = load_global(BNS_TIMEOUT);
    return bns;
}

void bnsclr(Bns *bns) {
    bns->fp = bns->lp = 0;
    bns->eof = 0;
    bns->err = 0;
    bns->syserrno = 0;
    bns->incount = 0;
    bns->outcount = 0;
    bns->mark = -1;
}

int bnstimeout(Bns *bns, int timeout) {
    const int previous = bns->timeout;
    bns->timeout = timeout;
    return previous;
}

void bnsfree(Bns *bns) {
    if (bns == nullptr) return;
    std::free(bns->data);
    if (bns->marktbl != nullptr) freetbl(bns->marktbl, nullptr);
    std::free(bns->id);
    std::free(bns->snoop);
    std::free(bns);
}

int bnsclose(Bns *bns) {
    const int flush = bnsflush(bns);
    const int closed = ::close(bns->fd);
    bnsfree(bns);
    return (flush < 0 || closed < 0) ? -1 : 0;
}

void bnskeep(Bns *bns, int keep) {
    bns->keep = keep;
    if (bns->marktbl == nullptr) {
        int size = keep < 1 ? 1 : (keep > 1024 ? 1025 : keep + 1);
        bns->marktbl = newtbl(size);
        bns->mark = bns->fp;
    }
}

int bnsflush(Bns *bns) {
    const int32_t cnt = bns->lp - bns->fp;
    if (cnt < 1) return 0;
    bns->nsys = wrap_add(bns->nsys, 1);
    errno = 0;
    int r = bns->write_routine(bns->fd, bns->data + bns->fp, cnt, bns->flags);
    while (r < 0 && errno == EINTR) {
        errno = 0;
        r = bns->write_routine(bns->fd, bns->data + bns->fp, cnt, bns->flags);
    }
    const int saved = errno;
    traffic(bns, ">", bns->data + bns->fp, r > cnt ? cnt : r);
    if (r == cnt) {
        flushed(bns, cnt);
        return 0;
    }
    bns->err = wrap_add(bns->err, 1);
    bns->syserrno = saved;
    // What a short write did send is not sent a second time.
    if (r > 0 && r < cnt) flushed(bns, r);
    errno = saved;
    return -1;
}

int bnsresend(Bns *bns) {
    if (bns->keep < 1 || bns->mark < 0) return 0;
    const int32_t cnt = bns->fp - bns->mark;
    if (cnt < 1) return 0;
    int r;
    errno = 0;
    for (;;) {
        bns->nsys = wrap_add(bns->nsys, 1);
        r = bns->write_routine(bns->fd, bns->data + bns->mark, cnt, bns->flags);
        if (!(r < 0 && errno == EINTR)) break;
        errno = 0;
    }
    if (r != cnt) {
        bns->err = wrap_add(bns->err, 1);
        bns->syserrno = errno;
        return -1;
    }
    traffic(bns, ">", bns->data + bns->mark, cnt);
    return 0;
}

int bnswait(Bns *bns) {
    struct pollfd p;
    p.fd = bns->fd;
    p.events = kWaitEvents;
    p.revents = 0;
    int r;
    do {
        errno = 0;
        r = ::poll(&p, 1, bns->timeout);
    } while (r < 0 && errno == EINTR);
    bns->revents = static_cast<int16_t>(p.revents);
    if (r == 0) return 0;
    if (r > 0 && (p.revents & POLLRDNORM)) return 1;
    bns->err = wrap_add(bns->err, 1);
    bns->syserrno = errno;
    return -1;
}

int bnsresize(Bns *bns, int n2add) {
    const int64_t add = n2add > 0 ? n2add : 0;
    return basalt::bnsimpl::grow(bns, n2add, static_cast<int64_t>(bns->sz) + add, "bnsresize") ? 0 : -1;
}

int bnsmore(Bns *bns, int needed) {
    compact(bns);
    // A read always asks for at least one byte: asking for none would look
    // like end of file.
    const int64_t need = needed > 0 ? needed : 1;
    const int64_t room = static_cast<int64_t>(bns->sz) - bns->lp;
    if (need > room) {
        const int64_t shortfall = need - room;
        if (!basalt::bnsimpl::grow(bns, 2 * shortfall, bns->lp + need, "bnsmore")) return -1;
    }

    const int waited = bnswait(bns);
    if (waited <= 0) {
        if (verbose() && bns->timeout > 0)
            elog_debug(0, "%d msec timeout on read from fd #%d\n", bns->timeout, bns->fd);
        return waited;
    }

    bns->nsys = wrap_add(bns->nsys, 1);
    const int32_t at = bns->lp;
    const int count = bns->sz - bns->lp;
    int r = bns->read_routine(bns->fd, bns->data + at, count, bns->flags);
    while (r < 0 && errno == EINTR) {
        errno = 0;
        r = bns->read_routine(bns->fd, bns->data + at, count, bns->flags);
    }
    int saved = errno;
    if (r > count) {
        // A routine that claims more than it was given room for.
        r = -1;
        saved = EIO;
    }
    traffic(bns, "<", bns->data + at, r);

    if (r > 0) {
        bns->eof = 0;
        bns->lp += r;
        bns->nbytes = wrap_add(bns->nbytes, r);
        return 1;
    }
    if (r == 0) {
        bns->eof = 1;
        if (verbose()) elog_debug(0, "bns->read_routine returned eof on fd #%d\n", bns->fd);
        return -1;
    }
    bns->eof = 0;
    bns->err = wrap_add(bns->err, 1);
    bns->syserrno = saved;
    if (verbose()) {
        elog_debug(0, "bns->read_routine returned %d on fd #%d\n", r, bns->fd);
        bnsdump(stderr, bns);
    }
    errno = saved;
    return -1;
}

}  // extern "C"
