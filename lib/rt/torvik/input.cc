// The input of a handle's current file: a read-ahead buffer of the
// handle's own, filled with positioned reads in large blocks.
#include "input_private.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "alloc_private.h"
#include "dumps.h"
#include "elog.h"
#include "fdio.h"

namespace torvik {

namespace {

// Blocks of read-ahead: a handle starts small, and one that finds every
// block filled (a reader catching up with a directory) doubles its block
// up to the largest, which makes one system call do for some hundreds of
// packets while hundreds of handles stay affordable.
constexpr std::size_t kFirstBlock = std::size_t{8} << 10;
constexpr std::size_t kBlock = std::size_t{256} << 10;
// A line never makes the buffer larger than this (as fdgets).
constexpr std::size_t kLineLimit = 10000000;
// Held bytes stand at the index their file offset has within a page, so
// that the kernel copies between pages aligned alike.
constexpr std::size_t kAlign = 4096;

// A buffer for cap bytes and the room to align them.
char *new_buffer(std::size_t cap) {
    void *p = nullptr;
    if (posix_memalign(&p, kAlign, cap + kAlign) != 0)
        out_of_memory(__FILE__, __LINE__, cap + kAlign, "input buffer");
    return static_cast<char *>(p);
}

}  // namespace

Input::~Input() { std::free(buf_); }

Input &Input::follow(Input &input, Torvikfile *atorvik) {
    // A descriptor set behind the library's back: start where fdio stands
    // on it.
    long at = atorvik->fd >= 0 ? fdtell(atorvik->fd) : 0;
    input.reset(atorvik->fd, at > 0 ? at : 0);
    return input;
}

void Input::reset(int fd, std::int64_t pos) {
    fd_ = fd;
    mode_ = Mode::kOwn;
    start_ = end_ = scanned_ = valid_ = 0;
    base_ = pos;
    last_line_ = pos;
}

long Input::read_some(char *dst, std::size_t n, std::int64_t at) {
    for (;;) {
        ssize_t got = pread64(fd_, dst, n, at);
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return -1;
    }
}

// Reads more after the held bytes (moved to the front of the buffer
// first). The count read: 0 at the end of the data, -1 on an error.
long Input::fill() {
    if (buf_ == nullptr) {
        buf_ = new_buffer(kFirstBlock);
        cap_ = kFirstBlock;
    } else if (filled_ && cap_ < kBlock) {
        grow(std::min(2 * cap_, kBlock));
    }
    compact();
    const std::size_t room = cap_ + kAlign - end_;
    long got = read_some(buf_ + end_, room, base_ + static_cast<std::int64_t>(end_));
    if (got > 0) end_ += static_cast<std::size_t>(got);
    filled_ = got > 0 && static_cast<std::size_t>(got) == room;
    return got;
}

// Moves the held bytes to the front of the buffer, within its first page
// at the place of their offset in a page.
void Input::compact() {
    const std::int64_t at = base_ + static_cast<std::int64_t>(start_);
    const auto to = static_cast<std::size_t>(at % static_cast<std::int64_t>(kAlign));
    if (to == start_) return;
    const std::size_t held = end_ - start_;
    if (held > 0) std::memmove(buf_ + to, buf_ + start_, held);
    base_ = at - static_cast<std::int64_t>(to);
    start_ = valid_ = to;
    end_ = to + held;
}

int Input::gets(char *line, int size) {
    if (size < 1 || line == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (mode_ == Mode::kFdio) return fdgets(fd_, line, size);
    for (;;) {
        std::size_t held = end_ - start_;
        if (held > scanned_) {
            char *p = buf_ + start_;
            auto *nl = static_cast<char *>(std::memchr(p + scanned_, '\n', held - scanned_));
            if (nl != nullptr) {
                auto length = static_cast<std::size_t>(nl - p);
                int n = static_cast<int>(std::min(length, static_cast<std::size_t>(size - 1)));
                // A string copy: a NUL in the line ends the text.
                std::strncpy(line, p, static_cast<std::size_t>(n));
                line[n] = '\0';
                last_line_ = base_ + static_cast<std::int64_t>(start_);
                start_ += length + 1;
                scanned_ = 0;
                return n;
            }
            scanned_ = held;
        }
        if (buf_ != nullptr && held > cap_ / 2) {
            // Checked before growing: input without a newline cannot make
            // the buffer any bigger than this.
            if (2 * cap_ > kLineLimit) {
                elog_complain(0, "fdgets buffer is way too big!!");
                return -1;
            }
            grow(2 * cap_);
        }
        long got = fill();
        if (got == 0) return -2;
        if (got < 0) return -1;
    }
}

void Input::grow(std::size_t cap) {
    compact();
    char *bigger = new_buffer(cap);
    if (end_ > start_) std::memcpy(bigger + start_, buf_ + start_, end_ - start_);
    valid_ = start_;
    std::free(buf_);
    buf_ = bigger;
    cap_ = cap;
}

std::int64_t Input::line_start(int n) {
    if (mode_ == Mode::kFdio) return static_cast<std::int64_t>(fdtell(fd_)) - n - 1;
    return last_line_;
}

int Input::read(void *dst, int n) {
    if (n < 0) {
        errno = EINVAL;
        return -1;
    }
    if (mode_ == Mode::kFdio) return fdread(fd_, dst, n);
    auto *out = static_cast<char *>(dst);
    const auto want = static_cast<std::size_t>(n);
    std::size_t held = end_ - start_;
    std::size_t take = std::min(want, held);
    if (take > 0) std::memcpy(out, buf_ + start_, take);
    if (take == want) {
        start_ += take;
        scanned_ = 0;
        return n;
    }
    // At most one read for the rest, asking for all of it; on an error
    // the held bytes stay.
    const std::size_t need = want - take;
    if (buf_ != nullptr) compact();
    const std::size_t room = buf_ != nullptr ? cap_ + kAlign - end_ : 0;
    long got;
    if (need >= cap_ / 2 || need > room) {
        // A large body goes straight to its place.
        got = read_some(out + take, need, base_ + static_cast<std::int64_t>(end_));
        if (got >= 0) {
            base_ += static_cast<std::int64_t>(end_) + got;
            start_ = end_ = scanned_ = valid_ = 0;
        }
    } else {
        got = fill();
        if (got >= 0) {
            std::size_t more = std::min(need, end_ - start_ - take);
            if (more > 0) std::memcpy(out + take, buf_ + start_ + take, more);
            start_ += take + more;
            scanned_ = 0;
            got = static_cast<long>(more);
        }
    }
    if (got < 0) {
        int error = errno;
        elog_log(1, "read from fd #%d returned %d", fd_, -1);
        errno = error;
        return -1;
    }
    return static_cast<int>(take + static_cast<std::size_t>(got));
}

std::int64_t Input::tell() {
    if (mode_ == Mode::kFdio) return fdtell(fd_);
    return base_ + static_cast<std::int64_t>(start_);
}

std::int64_t Input::seek(std::int64_t pos, bool fresh) {
    if (pos < 0) {
        errno = EINVAL;
        return -1;
    }
    if (mode_ == Mode::kFdio) {
        mode_ = Mode::kOwn;
        start_ = end_ = scanned_ = valid_ = 0;
        base_ = pos;
        return pos;
    }
    if (!fresh && pos >= base_ + static_cast<std::int64_t>(valid_) &&
        pos <= base_ + static_cast<std::int64_t>(end_)) {
        start_ = static_cast<std::size_t>(pos - base_);
        scanned_ = 0;
        return pos;
    }
    start_ = end_ = scanned_ = valid_ = 0;
    base_ = pos;
    return pos;
}

long long Input::bytes_after() {
    struct stat64 st;
    if (fd_ < 0 || fstat64(fd_, &st) != 0) return 0;
    std::int64_t here = tell();
    if (here < 0) return 0;
    long long left = static_cast<long long>(st.st_size) - here;
    return left > 0 ? left : 0;
}

bool Input::own() {
    if (mode_ == Mode::kOwn) return true;
    long at = fdtell(fd_);
    if (at < 0) return false;
    mode_ = Mode::kOwn;
    start_ = end_ = scanned_ = valid_ = 0;
    base_ = at;
    return true;
}

bool Input::to_fdio() {
    if (mode_ == Mode::kFdio) return true;
    std::int64_t at = tell();
    if (fdseek(fd_, static_cast<off_t>(at), SEEK_SET) != static_cast<off_t>(at)) return false;
    mode_ = Mode::kFdio;
    start_ = end_ = scanned_ = valid_ = 0;
    base_ = at;
    return true;
}

void to_end(Torvikfile *atorvik) {
    off_t end = fdseek(atorvik->fd, 0, SEEK_END);
    if (end >= 0) Input::of(atorvik).seek(end, true);
}

int Input::read_hexdump(void *dst, int n) {
    if (!to_fdio()) return -1;
    return fdread_hexdump(fd_, dst, n);
}

int Input::read_asciidump(void *dst, int n) {
    if (!to_fdio()) return -1;
    return fdread_asciidump(fd_, dst, n);
}

}  // namespace torvik
