// Buffered streams: creation, typed values, delimited reads, the sync
// search, flushing, keeping and resending, waiting, growth limits, the
// traffic log and the dump.
#include "bns.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "dumps.h"
#include "elog.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "scratch_dir.h"

namespace {

using testsupport::ChildResult;
using testsupport::elog_program_name;
using testsupport::elog_register_text;
using testsupport::elog_reset_register;
using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;

const std::string P = elog_program_name();

// A connected socket pair: the stream sits on `near`, the test plays the
// peer on `far`.
class SocketPair {
  public:
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
        near_ = fds[0];
        far_ = fds[1];
    }
    ~SocketPair() {
        if (near_ >= 0) close(near_);
        if (far_ >= 0) close(far_);
    }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;

    int near() const { return near_; }
    int far() const { return far_; }
    // The near end is handed to a stream that closes it.
    int release_near() {
        int fd = near_;
        near_ = -1;
        return fd;
    }

    void feed(const std::string &bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(far_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
    }
    // Everything the stream has sent so far.
    std::string take() const {
        std::string got;
        char buf[4096];
        for (;;) {
            struct pollfd p = {far_, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
            ssize_t n = read(far_, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    void close_far() {
        close(far_);
        far_ = -1;
    }

  private:
    int near_ = -1;
    int far_ = -1;
};

std::string unread(const Bns *bns) {
    return std::string(bns->data + bns->fp, static_cast<size_t>(bns->lp - bns->fp));
}

std::string hexdump_text(const std::string &bytes) {
    char *s = hexdump_string(0, bytes.data(), static_cast<int>(bytes.size()));
    std::string text = s;
    std::free(s);
    return text;
}

std::string dump_text(Bns *bns) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    bnsdump(f, bns);
    std::fclose(f);
    std::string text(buf, len);
    std::free(buf);
    return text;
}

std::vector<int> marks(Bns *bns) {
    std::vector<int> v;
    if (bns->marktbl == nullptr) return v;
    for (int i = 0; i < maxtbl(bns->marktbl); i++)
        v.push_back(static_cast<int>(reinterpret_cast<intptr_t>(gettbl(bns->marktbl, i))));
    return v;
}

// ---- Scripted read and write routines ----

// Reads at most `read_step` bytes a call from the descriptor.
int read_step = 1;
int stepping_read(int fd, void *buffer, int count, int) {
    return static_cast<int>(read(fd, buffer, static_cast<size_t>(count < read_step ? count : read_step)));
}

// Results to give before reading for real: 0 (end of file) or -1 with the
// errno that follows.
std::vector<std::pair<int, int>> read_script;
int scripted_read(int fd, void *buffer, int count, int) {
    if (!read_script.empty()) {
        auto [result, err] = read_script.front();
        read_script.erase(read_script.begin());
        errno = err;
        return result;
    }
    return static_cast<int>(read(fd, buffer, static_cast<size_t>(count)));
}

// Write results to give in order: -1 with the errno that follows, or a
// positive cap on the bytes to write for real; afterwards writes whole.
std::vector<std::pair<int, int>> write_script;
int write_calls = 0;
int scripted_write(int fd, void *buffer, int count, int) {
    write_calls++;
    if (!write_script.empty()) {
        auto [result, err] = write_script.front();
        write_script.erase(write_script.begin());
        if (result < 0) {
            errno = err;
            return -1;
        }
        return static_cast<int>(write(fd, buffer, static_cast<size_t>(count < result ? count : result)));
    }
    return static_cast<int>(write(fd, buffer, static_cast<size_t>(count)));
}

class Bns_ : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_timeout_ = BNS_TIMEOUT;
        const char *env = std::getenv("BNS_TIMEOUT");
        had_env_ = env != nullptr;
        if (had_env_) env_ = env;
        unsetenv("BNS_TIMEOUT");
        read_script.clear();
        write_script.clear();
        write_calls = 0;
        read_step = 1;
        elog_reset_register();
    }
    void TearDown() override {
        BNS_TIMEOUT = saved_timeout_;
        if (had_env_) setenv("BNS_TIMEOUT", env_.c_str(), 1);
        OrbVerbose = 0;
        elog_reset_register();
    }

  private:
    int saved_timeout_ = 0;
    bool had_env_ = false;
    std::string env_;
};

// ---- Creation ----

TEST_F(Bns_, NewStreamStartsEmptyWithTheDefaults) {
    BNS_TIMEOUT = 4321;
    struct Case {
        int asked;
        int sz;
    } cases[] = {{0, 32767}, {-1, 32767}, {INT_MIN, 32767}, {1, 1}, {100, 100}};
    for (const Case &c : cases) {
        Bns *bns = bnsnew(7, c.asked);
        EXPECT_EQ(bns->sz, c.sz) << c.asked;
        EXPECT_EQ(bns->fd, 7);
        EXPECT_EQ(bns->fp, 0);
        EXPECT_EQ(bns->lp, 0);
        EXPECT_EQ(bns->mark, -1);
        EXPECT_EQ(bns->timeout, 4321);
        EXPECT_EQ(bns->eof + bns->err + bns->revents + bns->syserrno + bns->flags, 0);
        EXPECT_EQ(bns->nbytes + bns->nsys + bns->keep + bns->incount + bns->outcount, 0);
        EXPECT_EQ(bns->marktbl, nullptr);
        EXPECT_NE(bns->read_routine, nullptr);
        EXPECT_NE(bns->write_routine, nullptr);
        EXPECT_EQ(bns->snoop, nullptr);
        EXPECT_EQ(bns->snoopfd, -1);
        EXPECT_EQ(bns->id, nullptr);
        bnsfree(bns);
    }
    bnsfree(nullptr);
}

TEST_F(Bns_, EnvironmentTimeOutIsReadByEveryNewStream) {
    struct Case {
        const char *value;
        int timeout;
    } cases[] = {{"250", 250}, {"-1", -1}, {"abc", 0}, {"", 0}, {"17ms", 17}};
    for (const Case &c : cases) {
        BNS_TIMEOUT = 60000;
        setenv("BNS_TIMEOUT", c.value, 1);
        Bns *bns = bnsnew(-1, 0);
        EXPECT_EQ(bns->timeout, c.timeout) << c.value;
        EXPECT_EQ(BNS_TIMEOUT, c.timeout) << c.value;
        bnsfree(bns);
    }
    unsetenv("BNS_TIMEOUT");
    BNS_TIMEOUT = 777;
    Bns *bns = bnsnew(-1, 0);
    EXPECT_EQ(bns->timeout, 777);
    EXPECT_EQ(bnstimeout(bns, 5), 777);
    EXPECT_EQ(bnstimeout(bns, -1), 5);
    EXPECT_EQ(bns->timeout, -1);
    bnsfree(bns);
}

TEST_F(Bns_, NonNumericEnvironmentTimeOutFailsAReadAtOnce) {
    SocketPair pair;
    setenv("BNS_TIMEOUT", "soon", 1);
    Bns *bns = bnsnew(pair.near(), 0);
    EXPECT_EQ(bns->timeout, 0);
    int value = 0;
    EXPECT_EQ(bnsget(bns, &value, BNS_INT, 1), -1);
    EXPECT_EQ(bns->err, 0);
    EXPECT_EQ(bnswait(bns), 0);
    bnsfree(bns);
}

TEST_F(Bns_, ClearEmptiesTheBufferAndResetsTheCounts) {
    Bns *bns = bnsnew(-1, 16);
    bnsput(bns, const_cast<char *>("abcdef"), BNS_BYTES, 6);
    char two[2];
    bnsget(bns, two, BNS_BYTES, 2);
    bnskeep(bns, 3);
    bns->eof = 1;
    bns->err = 4;
    bns->syserrno = EPIPE;
    bns->nbytes = 9;
    bnsclr(bns);
    EXPECT_EQ(bns->fp, 0);
    EXPECT_EQ(bns->lp, 0);
    EXPECT_EQ(bns->mark, -1);
    EXPECT_EQ(bns->eof + bns->err + bns->syserrno + bns->incount + bns->outcount, 0);
    EXPECT_EQ(bns->keep, 3);
    EXPECT_NE(bns->marktbl, nullptr);
    EXPECT_EQ(bns->nbytes, 9);
    bnsfree(bns);
}

// ---- Typed values ----

struct WireCase {
    int type;
    std::vector<unsigned char> wire;
};

TEST_F(Bns_, TypedValuesGoBigEndianOnTheWireAndComeBack) {
    const short s[2] = {-2, 0x0102};
    const int i[2] = {0x01020304, -1};
    const int64_t l[1] = {INT64_C(0x0102030405060708)};
    const float f[1] = {1.0f};
    const double d[1] = {-2.0};
    const char b[3] = {'x', '\0', '\xff'};
    const void *values[] = {b, s, i, l, f, d};
    const int counts[] = {3, 2, 2, 1, 1, 1};
    const WireCase cases[] = {
        {BNS_BYTES, {'x', 0, 0xff}},
        {BNS_SHORT, {0xff, 0xfe, 0x01, 0x02}},
        {BNS_INT, {1, 2, 3, 4, 0xff, 0xff, 0xff, 0xff}},
        {BNS_INT64, {1, 2, 3, 4, 5, 6, 7, 8}},
        {BNS_FLOAT, {0x3f, 0x80, 0, 0}},
        {BNS_DOUBLE, {0xc0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const WireCase &c : cases) {
        Bns *bns = bnsnew(-1, 4);  // small: every put grows it
        const int n = counts[c.type];
        ASSERT_EQ(bnsput(bns, const_cast<void *>(values[c.type]), c.type, n), 0);
        ASSERT_EQ(bnsput(bns, const_cast<void *>(values[c.type]), c.type, n), 0);
        EXPECT_EQ(bnsout(bns), 2 * static_cast<int>(c.wire.size()));
        EXPECT_EQ(bnsout(bns), 0);
        std::vector<unsigned char> got(bns->data + bns->fp, bns->data + bns->fp + c.wire.size());
        EXPECT_EQ(got, c.wire) << "type " << c.type;

        unsigned char back[32] = {};
        ASSERT_EQ(bnsget(bns, back, c.type, n), 0);
        EXPECT_EQ(std::memcmp(back, values[c.type], c.wire.size()), 0) << "type " << c.type;
        EXPECT_EQ(bnsin(bns), static_cast<int>(c.wire.size()));
        EXPECT_EQ(bnsin(bns), 0);

        // The second copy goes out through bns2buf and comes back in.
        char buf[32];
        const int copied = bns2buf(bns, buf, sizeof buf);
        EXPECT_EQ(copied, static_cast<int>(c.wire.size()));
        EXPECT_EQ(bns->fp + bns->lp, 0);
        ASSERT_EQ(buf2bns(bns, buf, copied), 0);
        std::memset(back, 0, sizeof back);
        ASSERT_EQ(bnsget(bns, back, c.type, n), 0);
        EXPECT_EQ(std::memcmp(back, values[c.type], c.wire.size()), 0) << "type " << c.type;
        bnsfree(bns);
    }
}

TEST_F(Bns_, BadTypeIsLoggedAndNothingMoves) {
    Bns *bns = bnsnew(-1, 0);
    bnsput(bns, const_cast<char *>("abcd"), BNS_BYTES, 4);
    int v = 0;
    for (int type : {-1, 6, 100}) {
        elog_reset_register();
        EXPECT_EQ(bnsget(bns, &v, type, 1), -1);
        EXPECT_EQ(elog_register_text(), P + ": unrecognized type " + std::to_string(type) + "\n");
        elog_reset_register();
        EXPECT_EQ(bnsput(bns, &v, type, 1), -1);
        EXPECT_EQ(elog_register_text(), P + ": unrecognized type " + std::to_string(type) + "\n");
    }
    EXPECT_EQ(unread(bns), "abcd");
    EXPECT_EQ(bns->incount + bns->outcount, 4);
    bnsfree(bns);
}

TEST_F(Bns_, ZeroValuesNeedNoInput) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bnstimeout(bns, -1);  // would wait for ever if it read
    EXPECT_EQ(bnsget(bns, nullptr, BNS_DOUBLE, 0), 0);
    EXPECT_EQ(bnsput(bns, nullptr, BNS_DOUBLE, 0), 0);
    EXPECT_EQ(bns->nsys, 0);
    EXPECT_EQ(bns->lp, 0);
    bnsfree(bns);
}

TEST_F(Bns_, ValueSplitAcrossReadsIsDeliveredWhole) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bns->read_routine = stepping_read;
    read_step = 3;
    pair.feed(std::string("\x12\x34\x56\x78\x9a\xbc\xde\xf0", 8));
    int64_t v = 0;
    ASSERT_EQ(bnsget(bns, &v, BNS_INT64, 1), 0);
    EXPECT_EQ(v, static_cast<int64_t>(UINT64_C(0x123456789abcdef0)));
    EXPECT_EQ(bns->nsys, 3);
    EXPECT_EQ(bns->nbytes, 8);
    EXPECT_EQ(bns->incount, 8);
    bnsfree(bns);
}

TEST_F(Bns_, ShortValueAtTimeOutStaysForTheNextCall) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bnstimeout(bns, 20);
    pair.feed(std::string("\0\0", 2));
    int v = 0;
    EXPECT_EQ(bnsget(bns, &v, BNS_INT, 1), -1);
    EXPECT_EQ(bns->err, 0);
    EXPECT_EQ(bns->eof, 0);
    EXPECT_EQ(bns->lp - bns->fp, 2);
    EXPECT_EQ(bns->incount, 0);
    pair.feed(std::string("\x01\x02", 2));
    ASSERT_EQ(bnsget(bns, &v, BNS_INT, 1), 0);
    EXPECT_EQ(v, 0x0102);
    bnsfree(bns);
}

TEST_F(Bns_, MemoryStreamAskedForMoreWaitsItsTimeOutAndFails) {
    Bns *bns = bnsnew(-1, 0);
    bnstimeout(bns, 10);
    bnsput(bns, const_cast<char *>("ab"), BNS_BYTES, 2);
    short s[2];
    EXPECT_EQ(bnsget(bns, s, BNS_SHORT, 2), -1);
    EXPECT_EQ(unread(bns), "ab");
    EXPECT_EQ(bns->err, 0);
    EXPECT_EQ(bnswait(bns), 0);
    ASSERT_EQ(bnsget(bns, s, BNS_SHORT, 1), 0);
    EXPECT_EQ(s[0], 0x6162);
    bnsfree(bns);
}

TEST_F(Bns_, EndOfInputAndFailuresAreReportedAndTheStreamGoesOn) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bns->read_routine = scripted_read;
    read_script = {{0, 0}, {-1, ECONNRESET}};
    pair.feed("abcd");
    char c[4];
    EXPECT_EQ(bnsget(bns, c, BNS_BYTES, 1), -1);  // end of file
    EXPECT_EQ(bns->eof, 1);
    EXPECT_EQ(bns->err, 0);
    EXPECT_EQ(bnsget(bns, c, BNS_BYTES, 1), -1);  // failure
    EXPECT_EQ(bns->eof, 0);
    EXPECT_EQ(bns->err, 1);
    EXPECT_EQ(bns->syserrno, ECONNRESET);
    read_script = {{0, 0}};
    EXPECT_EQ(bnsget(bns, c, BNS_BYTES, 1), -1);
    EXPECT_EQ(bns->eof, 1);
    ASSERT_EQ(bnsget(bns, c, BNS_BYTES, 4), 0);  // data clears the flag
    EXPECT_EQ(std::string(c, 4), "abcd");
    EXPECT_EQ(bns->eof, 0);
    EXPECT_EQ(bns->nsys, 4);
    EXPECT_EQ(bns->nbytes, 4);

    pair.close_far();
    EXPECT_EQ(bnsget(bns, c, BNS_BYTES, 1), -1);
    EXPECT_EQ(bns->eof, 1);
    EXPECT_EQ(bns->err, 1);
    bnsfree(bns);
}

TEST_F(Bns_, InterruptedReadsAreRepeated) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bns->read_routine = scripted_read;
    read_script = {{-1, EINTR}, {-1, EINTR}};
    pair.feed("z");
    char c = 0;
    ASSERT_EQ(bnsget(bns, &c, BNS_BYTES, 1), 0);
    EXPECT_EQ(c, 'z');
    EXPECT_EQ(bns->nsys, 1);
    EXPECT_EQ(bns->err, 0);
    bnsfree(bns);
}

TEST_F(Bns_, InputIsCompactedBeforeEachRead) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 8);
    bns->read_routine = stepping_read;
    read_step = 6;
    pair.feed("abcdef");
    char c[6];
    ASSERT_EQ(bnsget(bns, c, BNS_BYTES, 5), 0);
    EXPECT_EQ(bns->fp, 5);
    pair.feed("ghijkl");
    ASSERT_EQ(bnsget(bns, c, BNS_BYTES, 4), 0);
    EXPECT_EQ(std::string(c, 4), "fghi");
    EXPECT_EQ(bns->sz, 8);  // room was made by moving, not by growing
    EXPECT_EQ(bns->fp, 4);
    EXPECT_EQ(bns->lp, 7);
    bnsfree(bns);
}

// ---- Growth and its limit ----

TEST_F(Bns_, ResizeAtLeastDoublesAndKeepsTheBytes) {
    struct Case {
        int sz, add, grown;
    } cases[] = {{100, 10, 200}, {100, 500, 600}, {100, 0, 200}, {100, -7, 200}};
    for (const Case &c : cases) {
        Bns *bns = bnsnew(-1, c.sz);
        bnsput(bns, const_cast<char *>("kept"), BNS_BYTES, 4);
        EXPECT_EQ(bnsresize(bns, c.add), 0);
        EXPECT_EQ(bns->sz, c.grown);
        EXPECT_EQ(unread(bns), "kept");
        bnsfree(bns);
    }
    // Keeping with nothing held: a fresh buffer.
    Bns *bns = bnsnew(-1, 10);
    bnskeep(bns, 1);
    EXPECT_EQ(bnsresize(bns, 1), 0);
    EXPECT_EQ(bns->sz, 20);
    bnsfree(bns);
}

TEST_F(Bns_, SizesBeyondTheLimitFailTheCall) {
    Bns *bns = bnsnew(-1, 64);
    bnstimeout(bns, 0);
    bnsput(bns, const_cast<char *>("abc"), BNS_BYTES, 3);
    std::vector<char> sink(16);
    struct Case {
        const char *what;
        int result;
    } cases[] = {
        {"get bytes", bnsget(bns, sink.data(), BNS_BYTES, BNS_MAX_SIZE + 1)},
        {"get doubles", bnsget(bns, sink.data(), BNS_DOUBLE, INT_MAX)},
        {"get negative", bnsget(bns, sink.data(), BNS_INT, -1)},
        {"put ints", bnsput(bns, sink.data(), BNS_INT, INT_MAX / 2)},
        {"put negative", bnsput(bns, sink.data(), BNS_BYTES, -5)},
        {"buf2bns negative", buf2bns(bns, sink.data(), INT_MIN)},
        {"resize", bnsresize(bns, BNS_MAX_SIZE)},
    };
    for (const Case &c : cases) EXPECT_EQ(c.result, -1) << c.what;
    const std::string limit = " a stream buffer cannot grow beyond 268435456 bytes\n";
    EXPECT_EQ(elog_register_text(),
              P + ": bnsget:" + limit + "\t** repeated 2 times\n" + P + ": bnsget: negative count\n" + P +
                  ": bnsput:" + limit + P + ": bnsput: negative count\n\t** repeated 2 times\n" + P +
                  ": bnsresize:" + limit);
    // The stream is untouched and still usable.
    EXPECT_EQ(bns->sz, 64);
    EXPECT_EQ(unread(bns), "abc");
    ASSERT_EQ(bnsget(bns, sink.data(), BNS_BYTES, 3), 0);
    EXPECT_EQ(std::string(sink.data(), 3), "abc");
    bnsfree(bns);
}

TEST_F(Bns_, GrowthStopsAtTheLimit) {
    Bns *bns = bnsnew(-1, 200 << 20);
    EXPECT_EQ(bnsresize(bns, 10), 0);
    EXPECT_EQ(bns->sz, BNS_MAX_SIZE);
    EXPECT_EQ(bnsresize(bns, 1), -1);
    EXPECT_EQ(bns->sz, BNS_MAX_SIZE);
    EXPECT_EQ(bnsresize(bns, 0), 0);
    bnsfree(bns);
}

TEST_F(Bns_, EndlessLineFromAPeerIsRefusedAtTheLimit) {
    // A peer that never sends the delimiter: the line search stops when the
    // buffer would pass the limit, instead of exhausting memory.
    Bns *bns = bnsnew(-1, 1 << 20);
    static int calls;
    calls = 0;
    bns->read_routine = [](int, void *buffer, int count, int) {
        calls++;
        std::memset(buffer, 'x', static_cast<size_t>(count));
        return count;
    };
    // A memory stream never polls ready: give it a descriptor that is.
    SocketPair pair;
    pair.feed("!");
    bns->fd = pair.near();
    char line[8];
    EXPECT_EQ(bnsgetc(bns, line, sizeof line, '\n'), -1);
    EXPECT_EQ(bns->sz, BNS_MAX_SIZE);
    EXPECT_EQ(bns->fp, bns->lp);
    EXPECT_EQ(std::string(line, 8), "xxxxxxxx");
    EXPECT_EQ(elog_register_text(), P + ": bnsmore: a stream buffer cannot grow beyond 268435456 bytes\n");
    bnsfree(bns);
}

// ---- Delimited reads ----

TEST_F(Bns_, DelimitedGetLeavesTheDelimiterUnread) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    pair.feed("abc\ndefgh\n\n");
    char buf[16] = {};
    EXPECT_EQ(bnsgetc(bns, buf, sizeof buf, '\n'), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(bnsgetc(bns, buf, sizeof buf, '\n'), 0);  // the delimiter is next
    char nl;
    ASSERT_EQ(bnsget(bns, &nl, BNS_BYTES, 1), 0);
    EXPECT_EQ(nl, '\n');
    // Longer than mx: the rest is dropped.
    std::memset(buf, '.', sizeof buf);
    EXPECT_EQ(bnsgetc(bns, buf, 2, '\n'), 2);
    EXPECT_EQ(std::string(buf, 3), "de.");
    EXPECT_EQ(unread(bns), "\n\n");
    EXPECT_EQ(bns->incount, 3 + 1 + 5);
    bnsfree(bns);
}

TEST_F(Bns_, DelimitedGetComparesBytesAsUnsigned) {
    Bns *bns = bnsnew(-1, 0);
    bnsput(bns, const_cast<char *>("ab\xff" "cd"), BNS_BYTES, 5);
    char buf[8];
    EXPECT_EQ(bnsgetc(bns, buf, sizeof buf, 0xff), 2);
    EXPECT_EQ(bns->fp, 2);
    bnsfree(bns);
}

TEST_F(Bns_, DelimitedGetReadsUntilTheDelimiterComes) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 4);  // the line outgrows the buffer
    bns->read_routine = stepping_read;
    read_step = 3;
    const std::string line(100, 'q');
    pair.feed(line + ";rest");
    std::vector<char> buf(200);
    EXPECT_EQ(bnsgetc(bns, buf.data(), static_cast<int>(buf.size()), ';'), 100);
    EXPECT_EQ(std::string(buf.data(), 100), line);
    EXPECT_GE(bns->sz, 101);
    bnsfree(bns);
}

TEST_F(Bns_, DelimitedGetTimingOutKeepsTheBytes) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bnstimeout(bns, 20);
    pair.feed("par");
    char buf[16] = {};
    EXPECT_EQ(bnsgetc(bns, buf, sizeof buf, '\n'), -1);
    EXPECT_EQ(bns->err, 0);
    EXPECT_EQ(unread(bns), "par");
    EXPECT_EQ(bns->incount, 0);
    pair.feed("tial\n");
    EXPECT_EQ(bnsgetc(bns, buf, sizeof buf, '\n'), 7);
    EXPECT_EQ(std::string(buf, 7), "partial");
    bnsfree(bns);
}

TEST_F(Bns_, DelimitedGetAtEndOfInputConsumesWhatIsLeft) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    pair.feed("tail");
    pair.close_far();
    char buf[3] = {};
    EXPECT_EQ(bnsgetc(bns, buf, sizeof buf, '\n'), -1);
    EXPECT_EQ(std::string(buf, 3), "tai");
    EXPECT_EQ(bns->fp, bns->lp);
    EXPECT_EQ(bns->eof, 1);
    EXPECT_EQ(bns->incount, 4);
    // A negative mx copies nothing.
    bnsput(bns, const_cast<char *>("xy\n"), BNS_BYTES, 3);
    EXPECT_EQ(bnsgetc(bns, nullptr, -4, '\n'), 0);
    EXPECT_EQ(unread(bns), "\n");
    bnsfree(bns);
}

// ---- Sync search ----

struct SyncCase {
    const char *name;
    std::string input;
    const char *sync;
    int strict;
    int result;
    int skipped;  // 0: nothing printed
    std::string skipped_bytes;
    std::string after;  // unread input left behind
};

TEST_F(Bns_, SyncSearch) {
    const std::string stray31(31, '#');
    const SyncCase cases[] = {
        {"strict stray byte", "Xorbm!", "orbm", 1, -2, 0, "", "orbm!"},
        {"lenient stray byte", "Xorbm!", "orbm", 0, 0, 1, "X", "!"},
        {"strict clean", "orbm!", "orbm", 1, 0, 0, "", "!"},
        {"31 stray bytes", stray31 + "orbm!", "orbm", 0, 0, 31, stray31, "!"},
        {"32 stray bytes", stray31 + "##orbm", "orbm", 0, -2, 32, stray31 + "#", "#orbm"},
        {"partial match", "orbXorbm!", "orbm", 0, 0, 4, "orbX", "!"},
        {"strict partial", "orbXorbm", "orbm", 1, -2, 0, "", "orbm"},
        {"breaking byte is skipped", "oorbm", "orbm", 0, -1, 5, "oorbm", ""},
        {"one byte", "ab", "a", 1, 0, 0, "", "b"},
        {"end of input", "orb", "orbm", 1, -1, 0, "", ""},
        {"lenient end of input", "xy", "orbm", 0, -1, 2, "xy", ""},
    };
    for (const SyncCase &c : cases) {
        ChildResult r = in_child([&] {
            SocketPair pair;
            Bns *bns = bnsnew(pair.near(), 0);
            bnstimeout(bns, 0);
            pair.feed(c.input);
            pair.close_far();
            std::string sync = c.sync;
            const int result = gbnsSync(bns, sync.data(), static_cast<int>(sync.size()), c.strict);
            std::fflush(stderr);
            out(std::to_string(result) + "|" + unread(bns));
            bnsfree(bns);
        });
        EXPECT_EQ(r.out, std::to_string(c.result) + "|" + c.after) << c.name;
        if (c.skipped == 0) {
            EXPECT_EQ(r.err, "") << c.name;
        } else {
            EXPECT_EQ(r.err, P + ": skipped " + std::to_string(c.skipped) + " bytes looking for sync '" +
                                 c.sync + "'\n" + hexdump_text(c.skipped_bytes))
                << c.name;
        }
    }
}

TEST_F(Bns_, SyncSearchWithoutAPatternReadsNothing) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bnstimeout(bns, -1);
    EXPECT_EQ(gbnsSync(bns, const_cast<char *>("orbm"), 0, 1), 0);
    EXPECT_EQ(gbnsSync(bns, nullptr, -3, 0), 0);
    EXPECT_EQ(bns->nsys, 0);
    bnsfree(bns);
}

TEST_F(Bns_, SyncPatternIsShownPrintable) {
    ChildResult r = in_child([] {
        Bns *bns = bnsnew(-1, 0);
        bnstimeout(bns, 0);
        bnsput(bns, const_cast<char *>("z\x01\n"), BNS_BYTES, 3);
        char sync[] = "\x01\n";
        out(std::to_string(gbnsSync(bns, sync, 2, 0)));
        bnsfree(bns);
    });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, P + ": skipped 1 bytes looking for sync '\\0x01\\n'\n" + hexdump_text("z"));
}

// ---- Flushing, keeping and resending ----

TEST_F(Bns_, FlushWritesTheBufferedBytesAndEmptiesIt) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 4);
    EXPECT_EQ(bnsflush(bns), 0);  // nothing to write
    EXPECT_EQ(bns->nsys, 0);
    const int32_t n = 0x6f72626d;
    bnsput(bns, const_cast<int32_t *>(&n), BNS_INT, 1);
    bnsput(bns, const_cast<char *>("tail"), BNS_BYTES, 4);
    EXPECT_EQ(pair.take(), "");  // bnsput never writes
    ASSERT_EQ(bnsflush(bns), 0);
    EXPECT_EQ(pair.take(), "orbmtail");
    EXPECT_EQ(bns->fp, 0);
    EXPECT_EQ(bns->lp, 0);
    EXPECT_EQ(bns->nbytes, 8);
    EXPECT_EQ(bns->nsys, 1);
    EXPECT_EQ(bnsout(bns), 8);
    bnsfree(bns);
}

TEST_F(Bns_, ShortWriteFailsAndTheRestGoesOutNextTime) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bns->write_routine = scripted_write;
    write_script = {{3, 0}};
    bnsput(bns, const_cast<char *>("abcdefgh"), BNS_BYTES, 8);
    EXPECT_EQ(bnsflush(bns), -1);
    EXPECT_EQ(bns->err, 1);
    EXPECT_EQ(unread(bns), "defgh");
    EXPECT_EQ(bnsflush(bns), 0);
    EXPECT_EQ(pair.take(), "abcdefgh");  // every byte once
    EXPECT_EQ(bns->nbytes, 8);
    EXPECT_EQ(bns->fp + bns->lp, 0);
    bnsfree(bns);
}

TEST_F(Bns_, FailedWriteKeepsTheBytes) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bns->write_routine = scripted_write;
    write_script = {{-1, EINTR}, {-1, EINTR}, {-1, ENOBUFS}};
    bnsput(bns, const_cast<char *>("abc"), BNS_BYTES, 3);
    EXPECT_EQ(bnsflush(bns), -1);
    EXPECT_EQ(write_calls, 3);
    EXPECT_EQ(bns->nsys, 1);
    EXPECT_EQ(bns->err, 1);
    EXPECT_EQ(bns->syserrno, ENOBUFS);
    EXPECT_EQ(bns->nbytes, 0);
    EXPECT_EQ(unread(bns), "abc");
    EXPECT_EQ(bnsflush(bns), 0);
    EXPECT_EQ(pair.take(), "abc");
    bnsfree(bns);
}

TEST_F(Bns_, APeerThatHasGoneDoesNotEndTheProgram) {
    // SIGPIPE at its default action would end the child.
    ChildResult r = in_child([] {
        signal(SIGPIPE, SIG_DFL);
        std::string report;
        {
            SocketPair pair;
            pair.close_far();
            Bns *bns = bnsnew(pair.near(), 0);
            bnsput(bns, const_cast<char *>("lost"), BNS_BYTES, 4);
            const int flushed = bnsflush(bns);
            report += std::to_string(flushed) + " " + std::to_string(bns->syserrno == EPIPE);
            bnsfree(bns);
        }
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        close(fds[0]);
        Bns *bns = bnsnew(fds[1], 0);
        bnsput(bns, const_cast<char *>("lost"), BNS_BYTES, 4);
        const int flushed = bnsflush(bns);
        report += " " + std::to_string(flushed) + " " + std::to_string(bns->syserrno == EPIPE);
        bnsfree(bns);
        close(fds[1]);
        sigset_t pending, mask;
        sigpending(&pending);
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        report += " " + std::to_string(sigismember(&pending, SIGPIPE)) + std::to_string(sigismember(&mask, SIGPIPE));
        out(report);
    });
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.out, "-1 1 -1 1 00");
}

TEST_F(Bns_, KeptBlocksAreResent) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bnskeep(bns, 2);
    EXPECT_EQ(bns->mark, 0);
    ASSERT_NE(bns->marktbl, nullptr);
    for (const char *block : {"first", "second", "third"}) {
        bnsput(bns, const_cast<char *>(block), BNS_BYTES, static_cast<int>(std::strlen(block)));
        ASSERT_EQ(bnsflush(bns), 0);
    }
    EXPECT_EQ(pair.take(), "firstsecondthird");
    EXPECT_EQ(bns->mark, 0);
    EXPECT_EQ(bns->fp, 11);
    EXPECT_EQ(bns->lp, 11);
    EXPECT_EQ(marks(bns), std::vector<int>{6});
    const int nbytes = bns->nbytes;
    const int nsys = bns->nsys;
    ASSERT_EQ(bnsresend(bns), 0);
    EXPECT_EQ(pair.take(), "secondthird");
    EXPECT_EQ(bns->nbytes, nbytes);
    EXPECT_EQ(bns->nsys, nsys + 1);
    // Unflushed bytes are not resent.
    bnsput(bns, const_cast<char *>("pending"), BNS_BYTES, 7);
    ASSERT_EQ(bnsresend(bns), 0);
    EXPECT_EQ(pair.take(), "secondthird");
    // A smaller count takes effect at the next flush.
    bnskeep(bns, 1);
    ASSERT_EQ(bnsflush(bns), 0);
    EXPECT_EQ(pair.take(), "pending");
    ASSERT_EQ(bnsresend(bns), 0);
    EXPECT_EQ(pair.take(), "pending");
    bnsfree(bns);
}

TEST_F(Bns_, ResendCountsEveryAttemptAndReportsFailure) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bns->write_routine = scripted_write;
    bnskeep(bns, 1);
    bnsput(bns, const_cast<char *>("blk"), BNS_BYTES, 3);
    ASSERT_EQ(bnsflush(bns), 0);
    EXPECT_EQ(pair.take(), "blk");
    write_script = {{-1, EINTR}, {-1, EINTR}};
    ASSERT_EQ(bnsresend(bns), 0);
    EXPECT_EQ(bns->nsys, 1 + 3);
    EXPECT_EQ(pair.take(), "blk");
    write_script = {{-1, ECONNRESET}};
    EXPECT_EQ(bnsresend(bns), -1);
    EXPECT_EQ(bns->err, 1);
    EXPECT_EQ(bns->syserrno, ECONNRESET);
    write_script = {{2, 0}};
    EXPECT_EQ(bnsresend(bns), -1);
    EXPECT_EQ(bns->err, 2);
    bnsfree(bns);
}

TEST_F(Bns_, NothingIsResentWithoutKeeping) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bnsput(bns, const_cast<char *>("once"), BNS_BYTES, 4);
    ASSERT_EQ(bnsflush(bns), 0);
    EXPECT_EQ(bnsresend(bns), 0);
    bnskeep(bns, 0);
    bnsput(bns, const_cast<char *>("twice"), BNS_BYTES, 5);
    ASSERT_EQ(bnsflush(bns), 0);
    EXPECT_EQ(bnsresend(bns), 0);  // keep 0 resends nothing
    EXPECT_EQ(pair.take(), "oncetwice");
    EXPECT_EQ(bns->nsys, 2);
    bnsfree(bns);
}

TEST_F(Bns_, ResendAfterClearSendsNothing) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bnskeep(bns, 3);
    bnsput(bns, const_cast<char *>("abc"), BNS_BYTES, 3);
    ASSERT_EQ(bnsflush(bns), 0);
    bnsclr(bns);
    EXPECT_EQ(bnsresend(bns), 0);
    EXPECT_EQ(pair.take(), "abc");
    // Keeping stays off: flushes empty the buffer again.
    bnskeep(bns, 3);
    EXPECT_EQ(bns->mark, -1);
    bnsput(bns, const_cast<char *>("de"), BNS_BYTES, 2);
    ASSERT_EQ(bnsflush(bns), 0);
    EXPECT_EQ(bns->fp + bns->lp, 0);
    EXPECT_EQ(bnsresend(bns), 0);
    EXPECT_EQ(pair.take(), "de");
    bnsfree(bns);
}

TEST_F(Bns_, InputReadOnAKeepingStreamJoinsTheKeptBytes) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 8);
    bnskeep(bns, 1);
    bnsput(bns, const_cast<char *>("out"), BNS_BYTES, 3);
    ASSERT_EQ(bnsflush(bns), 0);
    EXPECT_EQ(pair.take(), "out");
    pair.feed("0123456789");
    char buf[10];
    ASSERT_EQ(bnsget(bns, buf, BNS_BYTES, 10), 0);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(bns->mark, 0);
    ASSERT_EQ(bnsresend(bns), 0);
    EXPECT_EQ(pair.take(), "out0123456789");
    bnsfree(bns);
}

TEST_F(Bns_, EmptyingAKeepingStreamDropsTheKeptBytes) {
    Bns *bns = bnsnew(-1, 0);
    bnsput(bns, const_cast<char *>("abcdef"), BNS_BYTES, 6);
    char c[2];
    bnsget(bns, c, BNS_BYTES, 2);
    bnskeep(bns, 2);
    EXPECT_EQ(bns->mark, 2);
    char buf[8];
    EXPECT_EQ(bns2buf(bns, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "cde");
    EXPECT_EQ(bns->fp, 0);
    EXPECT_EQ(bns->lp, 0);
    EXPECT_EQ(bns->mark, 0);
    EXPECT_EQ(bns2buf(bns, nullptr, -1), 0);
    bnsfree(bns);
}

TEST_F(Bns_, CloseFlushesAndClosesTheDescriptor) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.release_near(), 0);
    bnsput(bns, const_cast<char *>("bye"), BNS_BYTES, 3);
    EXPECT_EQ(bnsclose(bns), 0);
    char buf[8];
    EXPECT_EQ(read(pair.far(), buf, sizeof buf), 3);
    EXPECT_EQ(read(pair.far(), buf, sizeof buf), 0);
}

// ---- Waiting ----

TEST_F(Bns_, WaitReportsReadableTimeOutAndFailure) {
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bnstimeout(bns, 10);
    EXPECT_EQ(bnswait(bns), 0);
    EXPECT_EQ(bns->revents, 0);
    pair.feed("x");
    EXPECT_EQ(bnswait(bns), 1);
    EXPECT_TRUE(bns->revents & POLLRDNORM);
    EXPECT_EQ(bns->err, 0);
    bnsfree(bns);

    // A pipe whose writer is gone reports hang-up alone.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    bns = bnsnew(fds[0], 0);
    bnstimeout(bns, 10);
    EXPECT_EQ(bnswait(bns), -1);
    EXPECT_EQ(bns->err, 1);
    EXPECT_TRUE(bns->revents & POLLHUP);
    char c;
    EXPECT_EQ(bnsget(bns, &c, BNS_BYTES, 1), -1);
    EXPECT_EQ(bns->err, 2);
    bnsfree(bns);
    close(fds[0]);
}

TEST_F(Bns_, VerboseStreamsLogTimeOutsAndEndOfFile) {
    ChildResult r = in_child([] {
        OrbVerbose = 1;
        SocketPair pair;
        Bns *bns = bnsnew(pair.near(), 0);
        bnstimeout(bns, 20);
        char c;
        bnsget(bns, &c, BNS_BYTES, 1);
        pair.close_far();
        bnsget(bns, &c, BNS_BYTES, 1);
        out(std::to_string(pair.near()));
        bnsfree(bns);
    });
    const std::string fd = r.out;
    EXPECT_EQ(r.err, P + " *debug*: 20 msec timeout on read from fd #" + fd + "\n" + P +
                         " *debug*: bns->read_routine returned eof on fd #" + fd + "\n");
}

TEST_F(Bns_, VerboseStreamsDumpAfterAFailedRead) {
    ChildResult r = in_child([] {
        OrbVerbose = 1;
        SocketPair pair;
        Bns *bns = bnsnew(pair.near(), 16);
        bns->read_routine = scripted_read;
        read_script = {{-1, ECONNRESET}};
        pair.feed("x");
        bnstimeout(bns, 20);
        char c;
        bnsget(bns, &c, BNS_BYTES, 1);
        std::fflush(stderr);
        out(std::to_string(pair.near()));
        bnsfree(bns);
    });
    const std::string fd = r.out;
    EXPECT_EQ(r.err, P + " *debug*: bns->read_routine returned -1 on fd #" + fd + "\n" +
                         "  fp=0  lp=0  mark=-1  sz=      16\n  eof=0  err=1  syserrno=" +
                         std::to_string(ECONNRESET) + "  flags=0\n  timeout=20  nbytes=0  nsys=1" +
                         "\ndata+fp : 0 bytes\n\n");
}

// ---- Traffic log, names and the dump ----

std::string header(const char *direction, const std::string &id, int count) {
    return "\n\n#msg " + std::string(direction) + " " + id + " " + std::to_string(count) + " ";
}

// Splits a traffic log into records, checking each header's time.
std::vector<std::string> records(const std::string &log, long from, long to) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < log.size()) {
        size_t next = log.find("\n\n#msg ", at + 1);
        std::string rec = log.substr(at, next == std::string::npos ? std::string::npos : next - at);
        // Replace the time by "T".
        size_t nl = rec.find('\n', 2);
        size_t sp = rec.rfind(' ', nl);
        long t = std::strtol(rec.c_str() + sp + 1, nullptr, 10);
        EXPECT_TRUE(t >= from && t <= to) << rec;
        out.push_back(rec.substr(0, sp + 1) + "T" + rec.substr(nl));
        at = next == std::string::npos ? log.size() : next;
    }
    return out;
}

TEST_F(Bns_, TrafficLogRecordsEveryTransfer) {
    ScratchDir dir;
    const std::string file = dir.file("snoop");
    testsupport::write_file(file, "old");
    SocketPair pair;
    Bns *bns = bnsnew(pair.near(), 0);
    bnstimeout(bns, 0);
    const long from = static_cast<long>(std::time(nullptr));
    ASSERT_EQ(bnssnoop(bns, const_cast<char *>(file.c_str())), 0);
    EXPECT_EQ(std::string(bns->snoop), file);
    EXPECT_GE(bns->snoopfd, 0);
    pair.feed("in!");
    char buf[3];
    ASSERT_EQ(bnsget(bns, buf, BNS_BYTES, 3), 0);
    EXPECT_EQ(bnsid(bns, strdup("conn7")), nullptr);
    bnskeep(bns, 1);
    bnsput(bns, const_cast<char *>("out"), BNS_BYTES, 3);
    ASSERT_EQ(bnsflush(bns), 0);
    ASSERT_EQ(bnsresend(bns), 0);
    EXPECT_EQ(pair.take(), "outout");
    pair.close_far();
    EXPECT_EQ(bnsget(bns, buf, BNS_BYTES, 1), -1);
    EXPECT_EQ(bns->eof, 1);
    EXPECT_EQ(bnssnoop(bns, nullptr), 0);
    EXPECT_EQ(bns->snoop, nullptr);
    EXPECT_EQ(bns->snoopfd, -1);
    bnsput(bns, const_cast<char *>("quiet"), BNS_BYTES, 5);
    bnsflush(bns);
    const long to = static_cast<long>(std::time(nullptr));
    const std::string log = read_file(file);
    ASSERT_EQ(log.substr(0, 3), "old");
    EXPECT_EQ(records(log.substr(3), from, to),
              (std::vector<std::string>{header("<", "anon", 3) + "T\nin!", header(">", "conn7", 3) + "T\nout",
                                        header(">", "conn7", 3) + "T\nout", header("<", "conn7", 0) + "T\n"}));
    bnsfree(bns);
}

TEST_F(Bns_, TrafficLogThatCannotBeOpenedLeavesNone) {
    ScratchDir dir;
    Bns *bns = bnsnew(-1, 0);
    ASSERT_EQ(bnssnoop(bns, const_cast<char *>(dir.file("a").c_str())), 0);
    EXPECT_EQ(bnssnoop(bns, const_cast<char *>(dir.file("no/such/dir").c_str())), -1);
    EXPECT_EQ(bns->snoop, nullptr);
    EXPECT_EQ(bns->snoopfd, -1);
    EXPECT_EQ(bnssnoop(bns, nullptr), 0);
    bnsfree(bns);
}

TEST_F(Bns_, IdReplacesAndHandsBackThePrevious) {
    Bns *bns = bnsnew(-1, 0);
    char *first = strdup("first");
    EXPECT_EQ(bnsid(bns, first), nullptr);
    EXPECT_EQ(bnsid(bns, nullptr), first);
    EXPECT_EQ(bnsid(bns, strdup("second")), first);
    std::free(first);
    EXPECT_STREQ(bnsid(bns, nullptr), "second");
    bnsfree(bns);  // frees "second"
}

TEST_F(Bns_, DumpShowsTheStream) {
    Bns *bns = bnsnew(-1, 16);
    bnstimeout(bns, 5);
    bnsput(bns, const_cast<char *>("abc"), BNS_BYTES, 3);
    EXPECT_EQ(dump_text(bns), "  fp=0  lp=3  mark=-1  sz=      16\n  eof=0  err=0  syserrno=0  flags=0\n"
                              "  timeout=5  nbytes=0  nsys=0\ndata+fp : 3 bytes\n" +
                                  hexdump_text("abc"));

    ScratchDir dir;
    SocketPair pair;
    Bns *k = bnsnew(pair.near(), 16);
    bnstimeout(k, 5);
    bnsid(k, strdup("k"));
    bnskeep(k, 3);
    for (const char *block : {"one", "two"}) {
        bnsput(k, const_cast<char *>(block), BNS_BYTES, 3);
        bnsflush(k);
    }
    bnsput(k, const_cast<char *>("xy"), BNS_BYTES, 2);
    const std::string file = dir.file("s");
    bnssnoop(k, const_cast<char *>(file.c_str()));
    EXPECT_EQ(dump_text(k), "  id='k'\n  fp=6  lp=8  mark=0  sz=      16\n  eof=0  err=0  syserrno=0  flags=0\n"
                            "  timeout=5  nbytes=6  nsys=2marktbl has 2 entries: 0 3\n"
                            "\n data+mark=0\n" +
                                hexdump_text("onetwoxy") + "\ndata+fp : 2 bytes\n" + hexdump_text("xy") +
                                "  snoop=" + file + " (fd=" + std::to_string(k->snoopfd) + ")\n");
    bnssnoop(k, nullptr);
    bnsfree(k);
    bnsfree(bns);
}

TEST_F(Bns_, DumpShowsAtMost96Bytes) {
    Bns *bns = bnsnew(-1, 0);
    const std::string big(200, 'w');
    bnsput(bns, const_cast<char *>(big.data()), BNS_BYTES, 200);
    bnskeep(bns, 1);  // empty mark list
    const std::string text = dump_text(bns);
    EXPECT_EQ(text, "  fp=0  lp=200  mark=0  sz=   32767\n  eof=0  err=0  syserrno=0  flags=0\n"
                    "  timeout=" + std::to_string(bns->timeout) +
                        "  nbytes=0  nsys=0\n\n data+mark=0\n" + hexdump_text(big.substr(0, 96)));
    bnsfree(bns);
}

// ---- Streams of many threads ----

TEST_F(Bns_, StreamsOfManyThreadsShareOnlyTheGlobals) {
    setenv("BNS_TIMEOUT", "1500", 1);
    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([t, &ok] {
            int good = 1;
            for (int round = 0; round < 50; round++) {
                Bns *bns = bnsnew(-1, 8);
                good &= bns->timeout == 1500;
                const int v = t * 1000 + round;
                bnsput(bns, const_cast<int *>(&v), BNS_INT, 1);
                int back = 0;
                good &= bnsget(bns, &back, BNS_INT, 1) == 0 && back == v;
                bnsfree(bns);
            }
            ok[t] = good;
        });
    }
    for (auto &th : threads) th.join();
    for (int t = 0; t < 8; t++) EXPECT_EQ(ok[t], 1) << t;
    EXPECT_EQ(BNS_TIMEOUT, 1500);
}

// ---- Whatever a peer sends ----

TEST_F(Bns_, ArbitraryInputNeverBreaksTheReader) {
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    ChildResult r = in_child([&] {
        elog_set(ELOG_MAXMSG, 0, testsupport::as_value(0));
        for (int round = 0; round < 200; round++) {
            SocketPair pair;
            std::string input;
            const int len = static_cast<int>(next() % 300);
            for (int i = 0; i < len; i++) input.push_back(static_cast<char>(next()));
            pair.feed(input);
            pair.close_far();
            Bns *bns = bnsnew(pair.near(), static_cast<int>(next() % 64));
            bnstimeout(bns, 0);
            std::vector<char> sink(4096);
            for (int op = 0; op < 40; op++) {
                const int n = static_cast<int>(next() % 600) - 50;
                switch (next() % 4) {
                    case 0: bnsget(bns, sink.data(), static_cast<int>(next() % 7) - 1, n % 500); break;
                    case 1: bnsgetc(bns, sink.data(), n % 4096, static_cast<int>(next() % 256)); break;
                    case 2: gbnsSync(bns, const_cast<char *>("orbm"), 1 + static_cast<int>(next() % 4), next() % 2); break;
                    default: bns2buf(bns, sink.data(), n % 4096); break;
                }
                if (bns->fp < 0 || bns->fp > bns->lp || bns->lp > bns->sz) std::abort();
            }
            bnsfree(bns);
            elog_clear();
        }
        out("done");
    });
    EXPECT_TRUE(r.exited) << r.signal;
    EXPECT_EQ(r.out, "done");
}

}  // namespace
