// Buffered descriptor I/O: fdgets, fdread, fdgetc, fdtell, fdseek, fdwrite,
// fdflush, fdclose, fdkey, fdwait and the table Fds.
#include "fdio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "pathtools.h"
#include "scratch_dir.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

// A descriptor closed through fdclose, so that no buffers are left behind
// for the next descriptor that gets the same number.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) fdclose(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

struct Pipe {
    Fd r, w;
    explicit Pipe(bool nonblocking = false) {
        int p[2];
        EXPECT_EQ(pipe2(p, nonblocking ? O_NONBLOCK : 0), 0);
        r = Fd(p[0]);
        w = Fd(p[1]);
    }
    void put(const std::string &s) const {
        ASSERT_EQ(write(w.get(), s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    // Everything waiting in a non-blocking pipe.
    std::string drain() const {
        std::string all;
        char chunk[65536];
        ssize_t n;
        while ((n = read(r.get(), chunk, sizeof chunk)) > 0) all.append(chunk, static_cast<std::size_t>(n));
        return all;
    }
};

// A file holding `text`, opened for reading.
class Input {
  public:
    explicit Input(const std::string &text) {
        write_file(path(), text);
        fd_ = Fd(open(path().c_str(), O_RDONLY));
        EXPECT_GE(fd_.get(), 0);
    }
    int fd() const { return fd_.get(); }
    std::string path() const { return dir_.file("input"); }

  private:
    ScratchDir dir_;
    Fd fd_;
};

Fdbuf *record_of(int fd) {
    if (Fds == nullptr) return nullptr;
    return static_cast<Fdbuf *>(gettbl(Fds, fd));
}

// The next line as fdgets gives it: its result and the text up to the NUL.
std::pair<int, std::string> next_line(int fd, int maxbytes) {
    std::vector<char> buf(static_cast<std::size_t>(maxbytes) + 1, 'X');
    int n = fdgets(fd, buf.data(), maxbytes);
    return {n, n >= 0 ? std::string(buf.data()) : std::string()};
}

std::string read_n(int fd, int n, int *result = nullptr) {
    std::string buf(static_cast<std::size_t>(n), '\0');
    int got = fdread(fd, buf.data(), n);
    if (result != nullptr) *result = got;
    return got > 0 ? buf.substr(0, static_cast<std::size_t>(got)) : std::string();
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

// ---- fdgets ----

struct LineCase {
    const char *what;
    std::string input;
    int maxbytes;
    std::vector<std::pair<int, std::string>> lines;  // fdgets results in turn
    std::string rest;                                 // what fdread finds after
};

TEST(Fdgets, ReadsLinesAsTheyAre) {
    const std::vector<LineCase> cases = {
        {"a long line is cut and its remainder discarded", "abcdefgh\nnext\n", 5,
         {{4, "abcd"}, {4, "next"}, {-2, ""}}, ""},
        {"a line that just fits", "abcd\nef\n", 5, {{4, "abcd"}, {2, "ef"}, {-2, ""}}, ""},
        {"empty lines", "\n\nx\n", 10, {{0, ""}, {0, ""}, {1, "x"}, {-2, ""}}, ""},
        {"an unterminated last line stays for fdread", "one\ntwo\nthree", 100,
         {{3, "one"}, {3, "two"}, {-2, ""}, {-2, ""}}, "three"},
        {"a carriage return stays in the line", "dos\r\nline\r\n", 100,
         {{4, "dos\r"}, {5, "line\r"}, {-2, ""}}, ""},
        {"maxbytes 1 gives empty strings", "abc\nd\n", 1, {{0, ""}, {0, ""}, {-2, ""}}, ""},
        {"empty input", "", 10, {{-2, ""}}, ""},
        {"only a newline", "\n", 10, {{0, ""}, {-2, ""}}, ""},
    };
    for (const LineCase &c : cases) {
        Input in(c.input);
        for (std::size_t i = 0; i < c.lines.size(); i++)
            EXPECT_EQ(next_line(in.fd(), c.maxbytes), c.lines[i]) << c.what << ", line " << i;
        EXPECT_EQ(read_n(in.fd(), 100), c.rest) << c.what;
    }
}

TEST(Fdgets, NulInALineEndsTheTextAndTheSpanIsZeroFilled) {
    Input in(std::string("ab\0cd\nz\n", 8));
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(fdgets(in.fd(), buf, 16), 5);
    EXPECT_EQ(std::string(buf, 8), std::string("ab\0\0\0\0XX", 8));
    EXPECT_EQ(next_line(in.fd(), 16), std::make_pair(1, std::string("z")));
}

TEST(Fdgets, KeepsTheRestOfTheInputAsReadAhead) {
    Input in("first\nsecond\n");
    ASSERT_EQ(next_line(in.fd(), 100).second, "first");
    Fdbuf *b = record_of(in.fd());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->nbytes, 7);
    EXPECT_EQ(b->maxbytes, 8192);
    EXPECT_EQ(b->onbytes, 0);
    EXPECT_EQ(b->omaxbytes, 0);
    EXPECT_EQ(b->obuf, nullptr);
}

TEST(Fdgets, LongLinesDoubleTheBuffer) {
    const std::string line(100000, 'a');
    Input in(line + "\nend\n");
    EXPECT_EQ(next_line(in.fd(), 200000), std::make_pair(100000, line));
    ASSERT_NE(record_of(in.fd()), nullptr);
    EXPECT_EQ(record_of(in.fd())->maxbytes, 131072);
    EXPECT_EQ(next_line(in.fd(), 200000), std::make_pair(3, std::string("end")));

    Input cut(line + "\nend\n");
    EXPECT_EQ(next_line(cut.fd(), 10), std::make_pair(9, std::string(9, 'a')));
    EXPECT_EQ(next_line(cut.fd(), 10), std::make_pair(3, std::string("end")));
}

TEST(Fdgets, InputWithoutNewlinesStopsAtTheLimit) {
    ScratchDir dir;
    const std::string path = dir.file("endless");
    write_file(path, std::string(5000000, 'x'));
    ChildResult r = testsupport::in_child([&] {
        int fd = open(path.c_str(), O_RDONLY);
        char line[100];
        int first = fdgets(fd, line, sizeof line);
        int second = fdgets(fd, line, sizeof line);
        int size = record_of(fd)->maxbytes;
        std::string all(6000000, '\0');
        int got = fdread(fd, all.data(), 6000000);
        out(std::to_string(first) + " " + std::to_string(second) + " " + std::to_string(size) +
            " " + std::to_string(got) + " " +
            std::to_string(all.find_first_not_of('x') == 5000000));
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "-1 -1 8388608 5000000 1");
    const std::string complaint = P() + ": fdgets buffer is way too big!!\n";
    EXPECT_EQ(r.err, complaint + complaint);
}

TEST(Fdgets, LinesArrivingInPiecesAndReadErrors) {
    Pipe p(true);
    p.put("abc");
    errno = 0;
    EXPECT_EQ(next_line(p.r.get(), 10).first, -1);
    EXPECT_EQ(errno, EAGAIN);
    p.put("def");
    EXPECT_EQ(next_line(p.r.get(), 10).first, -1);
    p.put("\nghi");
    EXPECT_EQ(next_line(p.r.get(), 10), std::make_pair(6, std::string("abcdef")));
    EXPECT_EQ(next_line(p.r.get(), 10).first, -1);
    p.w.reset();
    EXPECT_EQ(next_line(p.r.get(), 10).first, -2);
    EXPECT_EQ(read_n(p.r.get(), 10), "ghi");
}

TEST(Fdgets, RefusesBadArguments) {
    Input in("line\n");
    char buf[8];
    errno = 0;
    EXPECT_EQ(fdgets(in.fd(), buf, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(fdgets(in.fd(), buf, -5), -1);
    EXPECT_EQ(next_line(in.fd(), 8), std::make_pair(4, std::string("line")));

    EXPECT_EQ(fdgets(-1, buf, 8), -1);
    int closed = dup(in.fd());
    ASSERT_EQ(close(closed), 0);
    errno = 0;
    EXPECT_EQ(fdgets(closed, buf, 8), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(record_of(closed), nullptr);
}

// ---- fdread and fdgetc ----

TEST(Fdread, TakesTheReadAheadFirstThenReads) {
    const std::string body = pattern(20000);
    Input in("head\n" + body);
    ASSERT_EQ(next_line(in.fd(), 100).second, "head");
    ASSERT_LT(record_of(in.fd())->nbytes, 20000);
    int got = 0;
    EXPECT_EQ(read_n(in.fd(), 20000, &got), body);
    EXPECT_EQ(got, 20000);
    EXPECT_EQ(read_n(in.fd(), 10, &got), "");
    EXPECT_EQ(got, 0);
}

TEST(Fdread, CountsAsRequested) {
    struct Case {
        int ask;
        int result;
        std::string bytes;
    };
    const std::vector<Case> steps = {{4, 4, "0123"}, {0, 0, ""}, {4, 4, "4567"},
                                     {4, 2, "89"},   {4, 0, ""}};
    Input in("x\n0123456789");
    ASSERT_EQ(next_line(in.fd(), 10).second, "x");
    for (const Case &c : steps) {
        int got = -9;
        EXPECT_EQ(read_n(in.fd(), c.ask, &got), c.bytes) << c.ask;
        EXPECT_EQ(got, c.result) << c.ask;
    }
    // Without any read-ahead: plain reads.
    Input plain("0123456789");
    int got = 0;
    EXPECT_EQ(read_n(plain.fd(), 3, &got), "012");
    EXPECT_EQ(read_n(plain.fd(), 30, &got), "3456789");
    EXPECT_EQ(got, 7);
}

TEST(Fdread, AFailedReadLogsAndKeepsTheReadAhead) {
    testsupport::elog_reset_register();
    Pipe p(true);
    p.put("l\nxyz");
    ASSERT_EQ(next_line(p.r.get(), 10).second, "l");
    int got = 0;
    errno = 0;
    read_n(p.r.get(), 10, &got);
    EXPECT_EQ(got, -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(testsupport::elog_register_text(),
              P() + ": read from fd #" + std::to_string(p.r.get()) + " returned -1\n\t" +
                  std::strerror(EAGAIN) + "\n");
    testsupport::elog_reset_register();
    p.put("123");
    EXPECT_EQ(read_n(p.r.get(), 10, &got), "xyz123");
    EXPECT_EQ(got, 6);
}

TEST(Fdread, ADescriptorThatIsNotOpen) {
    testsupport::elog_reset_register();
    int fd = dup(0);
    ASSERT_GE(fd, 0);
    close(fd);
    char buf[4];
    EXPECT_EQ(fdread(fd, buf, 4), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(testsupport::elog_register_text(),
              P() + ": read from fd #" + std::to_string(fd) + " returned -1\n\t" +
                  std::strerror(EBADF) + "\n");
    testsupport::elog_reset_register();
    EXPECT_EQ(fdgetc(fd), -1);
    testsupport::elog_reset_register();
    errno = 0;
    EXPECT_EQ(fdread(fd, buf, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(testsupport::elog_register_text(), "");
}

TEST(Fdgetc, GivesBytesAsUnsignedValues) {
    Input in(std::string("\xff\x00" "a\n", 4));
    for (int expected : {255, 0, int{'a'}, int{'\n'}, -1, -1}) EXPECT_EQ(fdgetc(in.fd()), expected);

    Input mixed("line\nQR");
    ASSERT_EQ(next_line(mixed.fd(), 10).second, "line");
    EXPECT_EQ(fdgetc(mixed.fd()), 'Q');
    EXPECT_EQ(read_n(mixed.fd(), 5), "R");
    EXPECT_EQ(fdgetc(mixed.fd()), -1);
}

// ---- fdtell and fdseek ----

TEST(Fdtell, GivesTheStartOfTheNextLine) {
    Input in("first\nsecond\nthird\n");
    EXPECT_EQ(fdtell(in.fd()), 0);
    ASSERT_EQ(next_line(in.fd(), 100).second, "first");
    EXPECT_EQ(fdtell(in.fd()), 6);
    ASSERT_EQ(next_line(in.fd(), 100).second, "second");
    long at = fdtell(in.fd());
    EXPECT_EQ(at, 13);
    ASSERT_EQ(next_line(in.fd(), 100).second, "third");
    EXPECT_EQ(fdseek(in.fd(), static_cast<off_t>(at), SEEK_SET), at);
    EXPECT_EQ(next_line(in.fd(), 100), std::make_pair(5, std::string("third")));
    EXPECT_EQ(fdseek(in.fd(), 6, SEEK_SET), 6);
    EXPECT_EQ(next_line(in.fd(), 100).second, "second");
    EXPECT_EQ(fdtell(in.fd()), 13);
}

TEST(Fdseek, CountsFromWhereTheCallerStands) {
    struct Case {
        off_t offset;
        int whence;
        off_t result;
        const char *next;
    };
    // After "first" has been read (the caller stands at 6).
    const std::vector<Case> cases = {
        {0, SEEK_CUR, 6, "second"}, {7, SEEK_CUR, 13, "third"}, {-6, SEEK_CUR, 0, "first"},
        {0, SEEK_SET, 0, "first"},  {-6, SEEK_END, 13, "third"},
    };
    for (const Case &c : cases) {
        Input in("first\nsecond\nthird\n");
        ASSERT_EQ(next_line(in.fd(), 100).second, "first");
        EXPECT_EQ(fdseek(in.fd(), c.offset, c.whence), c.result) << c.offset << " " << c.whence;
        EXPECT_EQ(record_of(in.fd())->nbytes, 0);
        EXPECT_EQ(next_line(in.fd(), 100).second, c.next) << c.offset << " " << c.whence;
    }
}

TEST(Fdseek, WritesQueuedOutputBeforeMoving) {
    ScratchDir dir;
    const std::string path = dir.file("out");
    Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
    ASSERT_GE(fd.get(), 0);
    ASSERT_EQ(fdwrite(fd.get(), "hello", 5), 5);
    EXPECT_EQ(fdseek(fd.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(read_file(path), "hello");
    ASSERT_EQ(fdwrite(fd.get(), "J", 1), 1);
    EXPECT_EQ(fdflush(fd.get()), 1);
    EXPECT_EQ(read_file(path), "Jello");
    EXPECT_EQ(fdtell(fd.get()), 1);
}

TEST(Fdseek, AFailedSeekKeepsTheReadAhead) {
    Pipe p;
    p.put("a\nb\n");
    ASSERT_EQ(next_line(p.r.get(), 10).second, "a");
    errno = 0;
    EXPECT_EQ(fdseek(p.r.get(), 0, SEEK_SET), -1);
    EXPECT_EQ(errno, ESPIPE);
    EXPECT_EQ(fdtell(p.r.get()), -1);
    EXPECT_EQ(next_line(p.r.get(), 10), std::make_pair(1, std::string("b")));

    Input in("x\ny\n");
    ASSERT_EQ(next_line(in.fd(), 10).second, "x");
    EXPECT_EQ(fdseek(in.fd(), -100, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(next_line(in.fd(), 10).second, "y");
}

TEST(Fdseek, AFailedFlushMovesNothing) {
    Pipe p(true);
    // A pipe cannot seek; what matters is that the queue comes first.
    const std::string big = pattern(200000);
    ASSERT_EQ(fdwrite(p.w.get(), big.data(), static_cast<int>(big.size())), 200000);
    errno = 0;
    EXPECT_EQ(fdseek(p.w.get(), 0, SEEK_SET), -1);
    EXPECT_EQ(errno, EAGAIN);
    std::string sent = p.drain();
    EXPECT_GT(sent.size(), 0u);
    EXPECT_EQ(record_of(p.w.get())->onbytes, static_cast<int>(big.size() - sent.size()));
}

TEST(Fdseek, OffsetsBeyondTwoGigabytes) {
    ScratchDir dir;
    const std::string path = dir.file("sparse");
    Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_LARGEFILE, 0644));
    ASSERT_GE(fd.get(), 0);
    const std::int64_t far = std::int64_t{3} << 30;
    if (ftruncate64(fd.get(), far) != 0) GTEST_SKIP() << "no sparse files here";
    ASSERT_EQ(relseek(fd.get(), far, SEEK_SET), far);
    ASSERT_EQ(write(fd.get(), "tail\nmore\n", 10), 10);
    ASSERT_EQ(relseek(fd.get(), far, SEEK_SET), far);
    EXPECT_EQ(next_line(fd.get(), 10).second, "tail");
    // fdtell's long has 32 bits on 32-bit ARM; fdseek's off_t has 64 bits
    // in every build.
    const bool wide = sizeof(long) == 8;
    errno = 0;
    EXPECT_EQ(fdtell(fd.get()), wide ? static_cast<long>(far + 5) : -1L);
    EXPECT_EQ(errno, wide ? 0 : EOVERFLOW);
    // SEEK_CUR counts from the caller's position there too.
    errno = 0;
    EXPECT_EQ(fdseek(fd.get(), 0, SEEK_CUR), static_cast<off_t>(far + 5));
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(next_line(fd.get(), 10).second, "more");
    EXPECT_EQ(fdseek(fd.get(), 0, SEEK_END), static_cast<off_t>(far + 10));
    EXPECT_EQ(fdseek(fd.get(), static_cast<off_t>(far), SEEK_SET), static_cast<off_t>(far));
    EXPECT_EQ(next_line(fd.get(), 10).second, "tail");
    EXPECT_EQ(fdseek(fd.get(), 1000, SEEK_SET), 1000);
    EXPECT_EQ(fdtell(fd.get()), 1000);
}

// ---- fdwrite, fdflush and fdclose ----

TEST(Fdwrite, OutputWaitsForFlushOrClose) {
    ScratchDir dir;
    const std::string path = dir.file("out");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fdwrite(fd, "0123456789", 10), 10);
    EXPECT_EQ(read_file(path), "");
    EXPECT_EQ(record_of(fd)->onbytes, 10);
    EXPECT_EQ(fdclose(fd), 0);
    EXPECT_EQ(read_file(path), "0123456789");
    EXPECT_EQ(record_of(fd), nullptr);

    Fd again(open(path.c_str(), O_WRONLY | O_TRUNC));
    EXPECT_EQ(fdwrite(again.get(), "abc", 3), 3);
    EXPECT_EQ(fdwrite(again.get(), "", 0), 0);
    EXPECT_EQ(fdwrite(again.get(), "de", 2), 2);
    EXPECT_EQ(read_file(path), "");
    EXPECT_EQ(fdflush(again.get()), 5);
    EXPECT_EQ(read_file(path), "abcde");
    EXPECT_EQ(fdflush(again.get()), 0);
    EXPECT_EQ(record_of(again.get())->onbytes, 0);
}

TEST(Fdflush, NothingQueuedGivesZero) {
    Input in("a\n");
    EXPECT_EQ(fdflush(in.fd()), 0);
    ASSERT_EQ(next_line(in.fd(), 10).second, "a");
    EXPECT_EQ(fdflush(in.fd()), 0);
    EXPECT_EQ(record_of(in.fd())->obuf, nullptr);
}

TEST(Fdwrite, TheQueueGrowsAsNeeded) {
    struct Case {
        std::vector<int> writes;
        int omaxbytes;
    };
    const std::vector<Case> cases = {
        {{10}, 8192},
        {{5000}, 10000},
        {{0}, 8192},
        {{8000, 500}, 16000},
        {{100, 8100}, 16384},
        {{100, 20000}, 28202},
        {{8192}, 16384},
        {{8192, 8192}, 16384},
        {{8192, 8192, 1}, 32768},
    };
    ScratchDir dir;
    for (const Case &c : cases) {
        const std::string path = dir.file("grow");
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::string expected;
        for (int n : c.writes) {
            std::string piece = pattern(static_cast<std::size_t>(n));
            EXPECT_EQ(fdwrite(fd, piece.data(), n), n);
            expected += piece;
        }
        EXPECT_EQ(record_of(fd)->omaxbytes, c.omaxbytes) << c.writes.size() << " " << c.writes[0];
        EXPECT_EQ(record_of(fd)->onbytes, static_cast<int>(expected.size()));
        EXPECT_EQ(fdflush(fd), static_cast<int>(expected.size()));
        EXPECT_EQ(fdclose(fd), 0);
        EXPECT_EQ(read_file(path), expected);
    }
}

TEST(Fdwrite, LargeOutputInManyPieces) {
    ScratchDir dir;
    const std::string path = dir.file("big");
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    const std::string all = pattern(3000000);
    std::size_t at = 0;
    for (std::size_t n = 1; at < all.size(); n = n * 3 % 70001 + 1) {
        std::size_t k = std::min(n, all.size() - at);
        ASSERT_EQ(fdwrite(fd.get(), all.data() + at, static_cast<int>(k)), static_cast<int>(k));
        at += k;
    }
    EXPECT_EQ(fdflush(fd.get()), 3000000);
    EXPECT_EQ(read_file(path), all);
}

TEST(Fdwrite, RefusesWhatCanNeverBeWritten) {
    int fd = dup(0);
    ASSERT_GE(fd, 0);
    close(fd);
    errno = 0;
    EXPECT_EQ(fdwrite(fd, "abc", 3), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(record_of(fd), nullptr);
    EXPECT_EQ(fdwrite(-1, "abc", 3), -1);

    Pipe p;
    errno = 0;
    EXPECT_EQ(fdwrite(p.w.get(), "abc", -1), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(Fdflush, ShortWritesKeepTheRestInOrder) {
    Pipe p(true);
    const std::string all = pattern(300000);
    ASSERT_EQ(fdwrite(p.w.get(), all.data(), static_cast<int>(all.size())), 300000);
    std::string received;
    int rounds = 0;
    while (record_of(p.w.get())->onbytes > 0) {
        ASSERT_LT(++rounds, 100);
        const int queued = record_of(p.w.get())->onbytes;
        errno = 0;
        int n = fdflush(p.w.get());
        std::string sent = p.drain();
        received += sent;
        if (n < 0) {
            EXPECT_EQ(errno, EAGAIN);
            EXPECT_GT(sent.size(), 0u);
            EXPECT_EQ(record_of(p.w.get())->onbytes, queued - static_cast<int>(sent.size()));
        } else {
            EXPECT_EQ(n, queued);
            EXPECT_EQ(sent.size(), static_cast<std::size_t>(queued));
        }
    }
    EXPECT_GT(rounds, 1);
    EXPECT_EQ(received, all);
}

TEST(Fdflush, FailedWriteKeepsEverythingQueued) {
    Pipe p;
    p.r.reset();
    struct sigaction ignore {}, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    ASSERT_EQ(fdwrite(p.w.get(), "lost", 4), 4);
    errno = 0;
    EXPECT_EQ(fdflush(p.w.get()), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(record_of(p.w.get())->onbytes, 4);
    int w = p.w.release();
    errno = 0;
    EXPECT_EQ(fdclose(w), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(record_of(w), nullptr);
    EXPECT_EQ(fcntl(w, F_GETFD), -1);  // closed all the same
    sigaction(SIGPIPE, &old, nullptr);
}

TEST(Fdclose, ReportsOutputLeftUnwritten) {
    Pipe p(true);
    const std::string all = pattern(200000);
    ASSERT_EQ(fdwrite(p.w.get(), all.data(), static_cast<int>(all.size())), 200000);
    int w = p.w.release();
    errno = 0;
    EXPECT_EQ(fdclose(w), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(record_of(w), nullptr);
    std::string sent = p.drain();
    EXPECT_GT(sent.size(), 0u);
    EXPECT_LT(sent.size(), all.size());
    EXPECT_EQ(sent, all.substr(0, sent.size()));
    char c;
    EXPECT_EQ(read(p.r.get(), &c, 1), 0);  // the write end is closed
}

TEST(Fdclose, ForgetsTheBuffersAndGivesTheCloseResult) {
    Input in("a\nb\n");
    int fd = dup(in.fd());
    ASSERT_EQ(next_line(fd, 10).second, "a");
    ASSERT_NE(record_of(fd), nullptr);
    EXPECT_EQ(fdclose(fd), 0);
    EXPECT_EQ(record_of(fd), nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    errno = 0;
    EXPECT_EQ(fdclose(fd), -1);
    EXPECT_EQ(errno, EBADF);
}

// ---- The table ----

TEST(Fds, APlainCloseLeavesTheBuffersToTheNextDescriptor) {
    ScratchDir dir;
    write_file(dir.file("a"), "a1\na2\n");
    write_file(dir.file("b"), "b1\n");
    int fd = open(dir.file("a").c_str(), O_RDONLY);
    ASSERT_EQ(next_line(fd, 10).second, "a1");
    close(fd);
    Fd b(open(dir.file("b").c_str(), O_RDONLY));
    if (b.get() != fd) GTEST_SKIP() << "the number was not reused";
    EXPECT_EQ(next_line(b.get(), 10).second, "a2");
    EXPECT_EQ(next_line(b.get(), 10).second, "b1");
}

TEST(Fds, GrowsToTheHighestDescriptorUsed) {
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_cur < 1000) GTEST_SKIP() << "too few descriptors";
    Pipe p;
    Fd high(dup2(p.w.get(), 900));
    ASSERT_EQ(high.get(), 900);
    ASSERT_EQ(fdwrite(900, "x\n", 2), 2);
    ASSERT_NE(Fds, nullptr);
    EXPECT_GE(maxtbl(Fds), 901);
    ASSERT_NE(record_of(900), nullptr);
    EXPECT_EQ(record_of(900)->onbytes, 2);
    EXPECT_EQ(fdflush(900), 2);
    EXPECT_EQ(next_line(p.r.get(), 10).second, "x");
    high.reset();
    EXPECT_EQ(record_of(900), nullptr);
}

// ---- Out of memory ----
// (Before any test that starts threads: the memory limit does not hold
// once other threads have given the allocator arenas of its own.)

ChildResult with_little_memory(std::size_t headroom, const std::function<void()> &body) {
    return testsupport::in_child([&] {
        testsupport::leave_little_memory(headroom);
        body();
    });
}

TEST(Fdio, OutOfMemoryForQueuedOutputIsFatal) {
    const std::size_t n = 300000000;
    ChildResult r = testsupport::in_child([&] {
        void *data = mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (data == MAP_FAILED) {
            out("no mapping");
            return;
        }
        int fd = open("/dev/null", O_WRONLY);
        testsupport::leave_little_memory(std::size_t{32} << 20);
        fdwrite(fd, data, static_cast<int>(n));
        out("survived");
    });
    if (testsupport::memory_not_limited(r) || r.out == "no mapping")
        GTEST_SKIP() << "memory cannot be limited here";
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Out of memory at line "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\tCan't malloc 600000000 bytes for fdbuf->obuf\n"), std::string::npos)
        << r.err;
}

TEST(Fdio, OutOfMemoryForALongLineIsFatal) {
    ScratchDir dir;
    const std::string path = dir.file("long");
    {
        // Written in pieces: the test process keeps no large block to lend.
        Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        const std::string piece(1 << 16, 'y');
        for (int i = 0; i < 140; i++)
            ASSERT_EQ(write(fd.get(), piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        ASSERT_EQ(write(fd.get(), "\n", 1), 1);
    }
    ChildResult r = with_little_memory(std::size_t{6} << 20, [&] {
        int fd = open(path.c_str(), O_RDONLY);
        char line[16];
        out(std::to_string(fdgets(fd, line, sizeof line)));
    });
    if (testsupport::memory_not_limited(r)) GTEST_SKIP() << "memory cannot be limited here";
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Out of memory at line "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" bytes for fdbuf->buf\n"), std::string::npos) << r.err;
}

// ---- fdkey and fdwait ----

TEST(Fdkey, TellsWhetherInputWaits) {
    Pipe p;
    EXPECT_EQ(fdkey(p.r.get()), 0);
    EXPECT_EQ(fdwait(p.r.get(), 0), 0);
    p.put("a\nb\n");
    EXPECT_EQ(fdkey(p.r.get()), 1);
    EXPECT_EQ(fdwait(p.r.get(), -1), 1);
    // A line already read ahead is not input waiting.
    ASSERT_EQ(next_line(p.r.get(), 10).second, "a");
    EXPECT_EQ(fdkey(p.r.get()), 0);
    EXPECT_EQ(fdwait(p.r.get(), 1), 0);
    // Hang-up alone, and a descriptor that is not open.
    p.w.reset();
    EXPECT_EQ(fdkey(p.r.get()), -1);
    EXPECT_EQ(fdwait(p.r.get(), 0), -1);
    int closed = dup(0);
    close(closed);
    EXPECT_EQ(fdkey(closed), -1);
    EXPECT_EQ(fdwait(closed, 0), -1);
    // Out-of-band data on a socket is input too.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd a(sv[0]), b(sv[1]);
    EXPECT_EQ(fdkey(b.get()), 0);
    ASSERT_EQ(write(a.get(), "z", 1), 1);
    EXPECT_EQ(fdkey(b.get()), 1);
}

void on_signal(int) {}

TEST(Fdwait, AnInterruptedPollGivesMinusOne) {
    struct sigaction act {}, old{};
    act.sa_handler = on_signal;
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &act, &old), 0);
    Pipe p;
    std::atomic<bool> done{false};
    pthread_t waiter = pthread_self();
    std::thread poker([&] {
        while (!done.load()) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::yield();
        }
    });
    errno = 0;
    int rc = fdwait(p.r.get(), -1);
    int error = errno;
    done = true;
    poker.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(error, EINTR);
}

// ---- Threads ----

TEST(Fdio, ThreadsOnDifferentDescriptorsLoseNothing) {
    constexpr int kThreads = 6;
    constexpr int kLines = 1500;
    ScratchDir dir;
    std::vector<std::string> failures(kThreads * 3);

    auto line_of = [](int t, int i) {
        return "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
               pattern(static_cast<std::size_t>(i % 300));
    };
    // Files: write, flush now and then, seek back, read back by lines.
    auto file_worker = [&](int t) {
        std::string &fail = failures[static_cast<std::size_t>(t)];
        const std::string path = dir.file("t" + std::to_string(t));
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        for (int i = 0; i < kLines; i++) {
            std::string line = line_of(t, i) + "\n";
            if (fdwrite(fd, line.data(), static_cast<int>(line.size())) != static_cast<int>(line.size()))
                fail = "fdwrite";
            if (i % 7 == 0 && fdflush(fd) < 0) fail = "fdflush";
        }
        if (fdseek(fd, 0, SEEK_SET) != 0) fail = "fdseek";
        std::vector<char> buf(1000);
        for (int i = 0; i < kLines && fail.empty(); i++) {
            int n = fdgets(fd, buf.data(), 1000);
            if (n < 0 || std::string(buf.data()) != line_of(t, i)) fail = "line " + std::to_string(i);
        }
        if (fail.empty() && fdgets(fd, buf.data(), 1000) != -2) fail = "end";
        if (fdclose(fd) != 0) fail = "fdclose";
    };
    // Sockets: one thread writes, another reads lines and bytes.
    auto socket_pair = [&](int t, int sv0, int sv1) {
        std::string &wfail = failures[static_cast<std::size_t>(kThreads + t)];
        std::string &rfail = failures[static_cast<std::size_t>(2 * kThreads + t)];
        std::thread writer([&] {
            for (int i = 0; i < kLines; i++) {
                std::string line = line_of(t, i) + "\n";
                fdwrite(sv0, line.data(), static_cast<int>(line.size()));
                if (i % 5 == 4 && fdflush(sv0) <= 0) wfail = "fdflush";
            }
            if (fdclose(sv0) != 0) wfail = "fdclose";
        });
        std::vector<char> buf(1000);
        for (int i = 0; i < kLines && rfail.empty(); i++) {
            std::string expected = line_of(t, i);
            if (i % 3 == 0) {
                std::string got(expected.size() + 1, '\0');
                int n = 0;
                while (n < static_cast<int>(got.size())) {
                    int k = fdread(sv1, got.data() + n, static_cast<int>(got.size()) - n);
                    if (k <= 0) break;
                    n += k;
                }
                if (got != expected + "\n") rfail = "bytes " + std::to_string(i);
            } else if (fdgets(sv1, buf.data(), 1000) < 0 || std::string(buf.data()) != expected) {
                rfail = "line " + std::to_string(i);
            }
        }
        writer.join();
        if (rfail.empty() && fdgets(sv1, buf.data(), 1000) != -2) rfail = "end";
        fdclose(sv1);
    };
    // Meanwhile the table grows: buffers for ever higher descriptor numbers.
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    const int top = static_cast<int>(std::min<rlim_t>(rl.rlim_cur, 4096)) - 1;
    std::atomic<int> grown{0};
    auto grower = [&] {
        int base = open("/dev/null", O_WRONLY);
        for (int fd = 300; fd <= top; fd += 97) {
            if (dup2(base, fd) != fd) continue;
            if (fdwrite(fd, "x", 1) == 1) grown++;
            fdclose(fd);
        }
        close(base);
    };

    std::vector<std::pair<int, int>> pairs(kThreads);
    for (auto &sv : pairs) {
        int s[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
        sv = {s[0], s[1]};
    }
    std::vector<std::thread> threads;
    threads.emplace_back(grower);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back(file_worker, t);
        threads.emplace_back(socket_pair, t, pairs[static_cast<std::size_t>(t)].first,
                             pairs[static_cast<std::size_t>(t)].second);
    }
    for (auto &th : threads) th.join();
    for (std::size_t i = 0; i < failures.size(); i++) EXPECT_EQ(failures[i], "") << i;
    EXPECT_GT(grown.load(), 0);
}

}  // namespace
