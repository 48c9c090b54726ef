// Interrupt-safe system calls and descriptor status flags.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "child.h"
#include "elog_capture.h"
#include "pathtools.h"
#include "scratch_dir.h"

namespace {

using testsupport::out;
using testsupport::run_in_child;

// ---- stat family ----

TEST(Stat, FollowsOrNotAndReportsFailures) {
    testsupport::ScratchDir dir;
    const std::string file = dir.file("file");
    const std::string link = dir.file("link");
    testsupport::write_file(file, "12345");
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);

    struct stat st;
    errno = EBADF;  // left alone by a successful call
    ASSERT_EQ(restat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(errno, EBADF);

    ASSERT_EQ(relstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(errno, EBADF);

    const int fd = open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(refstat(fd, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 5);
    close(fd);

    struct Failure {
        const char *name;
        int rc;
        int err;
    };
    const std::string missing = dir.file("missing");
    const std::string under_file = file + "/x";
    const std::vector<Failure> failures = {
        {"restat missing", restat(missing.c_str(), &st), errno},
        {"relstat missing", relstat(missing.c_str(), &st), errno},
        {"restat under a file", restat(under_file.c_str(), &st), errno},
        {"refstat closed", refstat(fd, &st), errno},
    };
    const std::vector<int> expected_errno = {ENOENT, ENOENT, ENOTDIR, EBADF};
    for (std::size_t i = 0; i < failures.size(); ++i) {
        EXPECT_EQ(failures[i].rc, -1) << failures[i].name;
        EXPECT_EQ(failures[i].err, expected_errno[i]) << failures[i].name;
    }
}

// A file dated after 2038 and one beyond 2 GiB: every call gives the whole
// record.
TEST(Stat, DatedAfter2038OrBeyondTwoGigabytes) {
    testsupport::ScratchDir dir;
    const std::vector<testsupport::FarFile> files = testsupport::far_files(dir);
    if (files.empty()) GTEST_SKIP() << "no large sparse files or late dates here";
    for (const testsupport::FarFile &f : files) {
        const int fd = open(f.path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        const std::vector<std::pair<const char *, std::function<int(struct stat *)>>> calls = {
            {"restat", [&](struct stat *st) { return restat(f.path.c_str(), st); }},
            {"relstat", [&](struct stat *st) { return relstat(f.path.c_str(), st); }},
            {"refstat", [&](struct stat *st) { return refstat(fd, st); }},
        };
        for (const auto &[name, call] : calls) {
            SCOPED_TRACE(f.path + " " + name);
            struct stat st;
            errno = 0;
            const int rc = call(&st);
            EXPECT_EQ(rc, 0) << std::strerror(errno);
            if (rc != 0) continue;
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(static_cast<int64_t>(st.st_size), f.size);
            EXPECT_EQ(static_cast<int64_t>(st.st_mtime), f.mtime);
        }
        close(fd);
    }
}

// ---- relseek ----

TEST(Relseek, PositionsAndFailures) {
    testsupport::ScratchDir dir;
    const std::string file = dir.file("f");
    testsupport::write_file(file, "0123456789");
    const int fd = open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    errno = EBADF;
    EXPECT_EQ(relseek(fd, 4, SEEK_SET), 4);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(relseek(fd, 3, SEEK_CUR), 7);
    EXPECT_EQ(relseek(fd, -2, SEEK_END), 8);
    char c = 0;
    EXPECT_EQ(reread(fd, &c, 1), 1);
    EXPECT_EQ(c, '8');

    errno = 0;
    EXPECT_EQ(relseek(fd, -1, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    close(fd);
    errno = 0;
    EXPECT_EQ(relseek(fd, 0, SEEK_SET), -1);
    EXPECT_EQ(errno, EBADF);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    errno = 0;
    EXPECT_EQ(relseek(p[0], 0, SEEK_CUR), -1);
    EXPECT_EQ(errno, ESPIPE);
    close(p[0]);
    close(p[1]);
}

TEST(Relseek, BeyondTwoGigabytes) {
    testsupport::ScratchDir dir;
    const std::string file = dir.file("big");
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_LARGEFILE, 0644);
    ASSERT_GE(fd, 0);
    const int64_t far = (int64_t{3} << 30) + 5;  // past 2^31 and 2^32 / 2
    ASSERT_EQ(relseek(fd, far, SEEK_SET), far);
    EXPECT_EQ(relseek(fd, 0, SEEK_CUR), far);
    if (rewrite(fd, "z", 1) != 1) {
        close(fd);
        GTEST_SKIP() << "file system refuses a sparse 3 GB file: " << std::strerror(errno);
    }
    EXPECT_EQ(relseek(fd, 0, SEEK_END), far + 1);
    EXPECT_EQ(relseek(fd, -1, SEEK_CUR), far);
    char c = 0;
    EXPECT_EQ(reread(fd, &c, 1), 1);
    EXPECT_EQ(c, 'z');
    const int64_t big = int64_t{5} << 30;
    EXPECT_EQ(relseek(fd, big, SEEK_SET), big);
    close(fd);
}

// ---- reread, rewrite ----

TEST(ReadWrite, RoundTripEndOfFileAndFailures) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    errno = EBADF;
    EXPECT_EQ(rewrite(p[1], "hello", 5), 5);
    EXPECT_EQ(errno, 0);  // cleared before each try
    char buf[16] = {};
    errno = EBADF;
    EXPECT_EQ(reread(p[0], buf, sizeof buf), 5);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(std::string(buf, 5), "hello");

    EXPECT_EQ(rewrite(p[1], "", 0), 0);
    close(p[1]);
    EXPECT_EQ(reread(p[0], buf, sizeof buf), 0);  // end of file at once
    close(p[0]);

    errno = 0;
    EXPECT_EQ(reread(p[0], buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(rewrite(p[1], "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
}

// ---- retry after EINTR ----
//
// A repeating timer delivers SIGALRM to a handler installed without
// SA_RESTART, so a blocked read or write fails with EINTR. Only the
// kFeedAt-th signal's handler makes the call able to finish (it writes a
// byte into the pipe, or drains the full pipe), so the call is interrupted
// at least once before it can succeed; the plain system call in the same
// setting returns -1 with EINTR, the wrapper goes on to the data.

constexpr int kFeedAt = 3;
volatile sig_atomic_t signals_seen = 0;
volatile sig_atomic_t feed_mode = 0;  // 1: write a byte, 2: drain
volatile sig_atomic_t feed_fd = -1;

void on_alarm(int) {
    const int saved = errno;
    signals_seen = signals_seen + 1;
    if (signals_seen == kFeedAt) {
        if (feed_mode == 1) {
            ssize_t w = write(feed_fd, "x", 1);
            (void)w;
        } else if (feed_mode == 2) {
            char sink[4096];
            while (read(feed_fd, sink, sizeof sink) > 0) {
            }
        }
    }
    errno = saved;
}

void start_timer(int mode, int fd) {
    signals_seen = 0;
    feed_mode = mode;
    feed_fd = fd;
    struct itimerval it = {};
    it.it_interval.tv_usec = 20000;
    it.it_value.tv_usec = 20000;
    setitimer(ITIMER_REAL, &it, nullptr);
}

void stop_timer() {
    struct itimerval it = {};
    setitimer(ITIMER_REAL, &it, nullptr);
}

void install_handler() {
    struct sigaction sa = {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    sigaction(SIGALRM, &sa, nullptr);
}

std::string outcome(ssize_t n, int err) {
    return n < 0 ? "-1:" + std::string(err == EINTR ? "EINTR" : std::strerror(err))
                 : std::to_string(n);
}

TEST(Interrupted, RereadRetriesARead) {
    auto r = run_in_child([] {
        install_handler();
        int p[2];
        if (pipe(p) != 0) return;
        char c = 0;

        start_timer(1, p[1]);
        ssize_t n = read(p[0], &c, 1);
        const int e = errno;
        out("plain " + outcome(n, e) + "\n");
        while (signals_seen < kFeedAt) pause();  // let the feed happen
        stop_timer();
        n = read(p[0], &c, 1);  // take the fed byte
        out("fed " + outcome(n, errno) + "\n");

        start_timer(1, p[1]);
        c = 0;
        n = reread(p[0], &c, 1);
        const int e2 = errno;
        stop_timer();
        out("reread " + outcome(n, e2) + " " + std::string(1, c) + " " +
            (signals_seen >= kFeedAt ? "after-feed" : "early") + "\n");
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.out, "plain -1:EINTR\nfed 1\nreread 1 x after-feed\n");
}

TEST(Interrupted, RewriteRetriesAWrite) {
    auto r = run_in_child([] {
        install_handler();
        int p[2];
        if (pipe(p) != 0) return;
        // Fill the pipe, then make its writes block again.
        set_fl(p[1], O_NONBLOCK);
        set_fl(p[0], O_NONBLOCK);
        char block[4096];
        std::memset(block, 'f', sizeof block);
        while (write(p[1], block, sizeof block) > 0) {
        }
        while (write(p[1], block, 1) > 0) {
        }
        clr_fl(p[1], O_NONBLOCK);

        start_timer(0, -1);  // nothing drains: a plain write is only interrupted
        ssize_t n = write(p[1], "y", 1);
        const int e = errno;
        stop_timer();
        out("plain " + outcome(n, e) + "\n");

        start_timer(2, p[0]);
        n = rewrite(p[1], "y", 1);
        const int e2 = errno;
        stop_timer();
        out("rewrite " + outcome(n, e2) + " " +
            (signals_seen >= kFeedAt ? "after-drain" : "early") + "\n");
        char c = 0;
        n = read(p[0], &c, 1);
        out("read " + outcome(n, errno) + " " + std::string(1, c) + "\n");
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.out, "plain -1:EINTR\nrewrite 1 after-drain\nread 1 y\n");
}

// ---- status flags ----

TEST(StatusFlags, SetAndClear) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(set_fl(p[0], O_NONBLOCK), 0);
    EXPECT_NE(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
    char c;
    errno = 0;
    EXPECT_EQ(reread(p[0], &c, 1), -1);  // would block
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(set_fl(p[0], O_NONBLOCK), 0);  // already set
    EXPECT_NE(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(clr_fl(p[0], O_NONBLOCK), 0);
    EXPECT_EQ(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(clr_fl(p[0], O_NONBLOCK), 0);  // already clear
    EXPECT_EQ(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
    close(p[0]);
    close(p[1]);

    errno = 0;
    EXPECT_EQ(set_fl(p[0], O_NONBLOCK), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(clr_fl(p[0], O_NONBLOCK), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(StatusFlags, AppendOnAFile) {
    testsupport::ScratchDir dir;
    const std::string file = dir.file("f");
    testsupport::write_file(file, "abc");
    const int fd = open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(set_fl(fd, O_APPEND), 0);
    EXPECT_EQ(rewrite(fd, "de", 2), 2);
    ASSERT_EQ(clr_fl(fd, O_APPEND), 0);
    ASSERT_EQ(relseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(rewrite(fd, "X", 1), 1);
    close(fd);
    EXPECT_EQ(testsupport::read_file(file), "Xbcde");
}

}  // namespace
