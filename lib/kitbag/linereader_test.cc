#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "scratch_dir.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

// Every result of gxline with its text, up to and including the first 0.
Lines read_all(int handle, int size) {
    Lines got;
    std::vector<char> buf(static_cast<std::size_t>(size) + 8, 'Z');
    for (int guard = 0; guard < 1000; guard++) {
        int rc = gxline(handle, buf.data(), size);
        got.emplace_back(rc, buf.data());
        if (rc == 0) break;
    }
    return got;
}

int open_text(const testsupport::ScratchDir &dir, const std::string &name,
              const std::string &contents) {
    testsupport::write_file(dir.file(name), contents);
    std::string path = dir.file(name);
    return gxopen(path.data());
}

int start(const std::string &command, char **envp = nullptr, int *pipefd = nullptr) {
    int unused;
    std::string copy = command;
    return gxpipe(copy.data(), envp, pipefd != nullptr ? pipefd : &unused);
}

std::vector<std::string> fd_links() {
    std::vector<std::string> links;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return links;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[4096];
        std::string p = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(p.c_str(), target, sizeof target - 1);
        if (n >= 0) links.emplace_back(target, static_cast<std::size_t>(n));
    }
    closedir(d);
    return links;
}

int open_descriptors() { return static_cast<int>(fd_links().size()); }

struct ReadCase {
    const char *name;
    std::string contents;
    int size;
    Lines expected;
};

class GxReadLines : public ::testing::TestWithParam<ReadCase> {};

TEST_P(GxReadLines, GivesTheLinesInOrder) {
    const ReadCase &c = GetParam();
    testsupport::ScratchDir dir;
    int h = open_text(dir, "data", c.contents);
    ASSERT_GE(h, 0);
    EXPECT_EQ(read_all(h, c.size), c.expected);
    EXPECT_EQ(gxclose(h), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GxReadLines,
    ::testing::Values(
        ReadCase{"plain", "a\nbb\n\nccc\n", 16, {{1, "a"}, {1, "bb"}, {1, ""}, {1, "ccc"}, {0, ""}}},
        // A line of exactly size - 1 characters: the newline comes on its own.
        ReadCase{"exact_fit", "abc\ndef\n", 4, {{2, "abc"}, {1, ""}, {2, "def"}, {1, ""}, {0, ""}}},
        ReadCase{"one_short", "ab\ncd\n", 4, {{1, "ab"}, {1, "cd"}, {0, ""}}},
        ReadCase{"long_line", "abcdefg\n", 3, {{2, "ab"}, {2, "cd"}, {2, "ef"}, {1, "g"}, {0, ""}}},
        ReadCase{"last_line_without_newline", "one\ntwo", 16, {{1, "one"}, {1, "two"}, {0, ""}}},
        ReadCase{"last_line_filling_the_buffer", "x", 2, {{2, "x"}, {0, ""}}},
        ReadCase{"empty_lines", "\n\n", 8, {{1, ""}, {1, ""}, {0, ""}}},
        ReadCase{"nul_ends_the_data", std::string("one\ntw\0o\nthree\n", 15), 16,
                 {{1, "one"}, {1, "tw"}, {0, ""}}},
        ReadCase{"nul_first", std::string("\0abc\n", 5), 16, {{0, ""}}}),
    [](const ::testing::TestParamInfo<ReadCase> &info) { return std::string(info.param.name); });

TEST(GxLine, NulByteEndsTheDataForEveryLaterCall) {
    testsupport::ScratchDir dir;
    int h = open_text(dir, "data", std::string("ab\0cd\n", 6));
    char buf[16];
    EXPECT_EQ(gxline(h, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "ab");
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(gxline(h, buf, sizeof buf), 0);
        EXPECT_STREQ(buf, "");
    }
    EXPECT_EQ(gxtell(h), 2);
    gxclose(h);
}

TEST(GxLine, BufferOfOneByteReadsNothing) {
    testsupport::ScratchDir dir;
    int h = open_text(dir, "data", "abc\n");
    char buf[2] = {'Z', 'Z'};
    EXPECT_EQ(gxline(h, buf, 1), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(gxtell(h), 0);
    gxclose(h);
}

TEST(GxHandles, LowestFreeSlotIsReused) {
    testsupport::ScratchDir dir;
    int a = open_text(dir, "a", "a\n");
    int b = open_text(dir, "b", "b\n");
    int c = open_text(dir, "c", "c\n");
    ASSERT_EQ(a, 0);  // no reader is open between tests
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, 2);
    EXPECT_EQ(gxclose(a), 0);
    EXPECT_EQ(gxclose(b), 0);
    EXPECT_EQ(open_text(dir, "d", "d\n"), 0);
    EXPECT_EQ(open_text(dir, "e", "e\n"), 1);
    EXPECT_EQ(open_text(dir, "f", "f\n"), 3);  // just past the end
    char buf[8];
    EXPECT_EQ(gxline(1, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "e");
    for (int h : {0, 1, 2, 3}) EXPECT_EQ(gxclose(h), 0);
}

TEST(GxHandles, HandleWithoutReader) {
    char buf[8] = "old";
    for (int h : {-1, 0, 7, 100000}) {
        EXPECT_EQ(gxline(h, buf, sizeof buf), 0) << h;
        EXPECT_EQ(gxtell(h), -1) << h;
        EXPECT_EQ(gxseek(h, 0), 0) << h;
        EXPECT_EQ(gxclose(h), 0) << h;
    }
}

TEST(GxSeek, AcceptsZeroToLength) {
    testsupport::ScratchDir dir;
    int h = open_text(dir, "data", "first\nsecond\n");  // 13 bytes
    char buf[32];
    EXPECT_EQ(gxtell(h), 0);
    EXPECT_EQ(gxline(h, buf, sizeof buf), 1);
    EXPECT_EQ(gxtell(h), 6);
    EXPECT_EQ(gxseek(h, 13), 0);
    EXPECT_EQ(gxline(h, buf, sizeof buf), 0);
    EXPECT_EQ(gxseek(h, 14), -1);
    EXPECT_EQ(gxseek(h, -1), -1);
    EXPECT_EQ(gxtell(h), 13);
    EXPECT_EQ(gxseek(h, 8), 0);
    EXPECT_EQ(gxline(h, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "cond");
    EXPECT_EQ(gxseek(h, 0), 0);
    EXPECT_EQ(gxline(h, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "first");
    gxclose(h);
}

TEST(GxOpen, FailuresAreComplainedAboutAndLeaveNoReader) {
    testsupport::ScratchDir dir;
    testsupport::write_file(dir.file("empty"), "");
    std::string missing = dir.file("missing");
    std::string empty = dir.file("empty");
    std::string directory = dir.path();
    auto r = testsupport::run_in_child([&] {
        testsupport::elog_clear_environment();
        std::printf("%d %d\n", gxopen(missing.data()), gxopen(empty.data()));
        struct stat st;
        stat(directory.c_str(), &st);
        std::printf("dir %d %s\n", gxopen(directory.data()), st.st_size > 0 ? "sized" : "empty");
        std::string ok = dir.file("ok");
        testsupport::write_file(ok, "x\n");
        std::printf("next %d\n", gxopen(ok.data()));
    });
    const std::string P = testsupport::elog_program_name();
    EXPECT_THAT(r.out, HasSubstr("-1 -1\n"));
    EXPECT_THAT(r.out, HasSubstr("dir -1 "));
    EXPECT_THAT(r.out, HasSubstr("next 0\n"));
    EXPECT_THAT(r.err, HasSubstr(P + ": Couldn't open " + missing + "\n"));
    EXPECT_THAT(r.err, HasSubstr("No such file or directory"));
    EXPECT_THAT(r.err, HasSubstr(P + ": '" + empty + "' is empty\n"));
    if (r.out.find("sized") != std::string::npos) {
        EXPECT_THAT(r.err, HasSubstr(P + ": Can't map file " + directory + "\n"));
    }
}

TEST(GxOpen, DescriptorIsClosedOnceMapped) {
    testsupport::ScratchDir dir;
    testsupport::write_file(dir.file("data"), "x\n");
    int before = open_descriptors();
    std::string path = dir.file("data");
    int h = gxopen(path.data());
    ASSERT_GE(h, 0);
    EXPECT_EQ(open_descriptors(), before);
    gxclose(h);
}

TEST(GxPipe, ReadsTheCommandsOutput) {
    int h = start("/bin/echo hello   world");
    ASSERT_GE(h, 0);
    EXPECT_EQ(read_all(h, 64), (Lines{{1, "hello world"}, {0, ""}}));
    EXPECT_EQ(gxclose(h), 0);
}

TEST(GxPipe, EnvironmentIsExactlyTheGivenOne) {
    char lang[] = "LANG=C";
    char probe[] = "KITBAG_PROBE=1";
    char *envp[] = {lang, probe, nullptr};
    int h = start("/usr/bin/env", envp);
    ASSERT_GE(h, 0);
    EXPECT_EQ(read_all(h, 64), (Lines{{1, "LANG=C"}, {1, "KITBAG_PROBE=1"}, {0, ""}}));
    gxclose(h);
}

TEST(GxPipe, NoShellIsInvolved) {
    int h = start("/bin/echo $HOME ; id > x `id` \"a\"");
    ASSERT_GE(h, 0);
    EXPECT_EQ(read_all(h, 128), (Lines{{1, "$HOME ; id > x `id` \"a\""}, {0, ""}}));
    gxclose(h);
}

TEST(GxPipe, StandardErrorIsCapturedToo) {
    int h = start("/bin/ls /nonexistent-kitbag-probe");
    ASSERT_GE(h, 0);
    char buf[256];
    ASSERT_EQ(gxline(h, buf, sizeof buf), 1);
    EXPECT_THAT(std::string(buf), HasSubstr("/nonexistent-kitbag-probe"));
    gxclose(h);
}

TEST(GxPipe, StandardInputReadsEndOfFileAndEmptyOutputIsLogged) {
    testsupport::elog_reset_register();
    int pipefd = -1;
    int h = start("/bin/cat", nullptr, &pipefd);
    ASSERT_GE(h, 0);
    EXPECT_GE(pipefd, 0);
    EXPECT_NE(fcntl(pipefd, F_GETFD), -1);  // the parent's end, open until read
    char buf[16];
    EXPECT_EQ(gxline(h, buf, sizeof buf), 0);  // cat ended: its input was empty
    EXPECT_EQ(fcntl(pipefd, F_GETFD), -1);
    std::string log = testsupport::elog_register_text();
    EXPECT_THAT(log, HasSubstr("output is empty"));
    EXPECT_THAT(log, Not(HasSubstr("no pid")));
    testsupport::elog_reset_register();
    EXPECT_EQ(gxline(h, buf, sizeof buf), 0);
    EXPECT_THAT(testsupport::elog_register_text(), HasSubstr("no pid"));
    testsupport::elog_reset_register();
    EXPECT_EQ(gxclose(h), 0);
}

TEST(GxPipe, OutputGoesToAnUnlinkedTemporaryFile) {
    int h = start("/bin/echo x");
    ASSERT_GE(h, 0);
    bool seen = false;
    for (const std::string &link : fd_links())
        if (link.rfind("/tmp/gxpipe", 0) == 0) {
            seen = true;
            EXPECT_THAT(link, HasSubstr("(deleted)"));
        }
    EXPECT_TRUE(seen);
    gxclose(h);
}

TEST(GxPipe, FailedExecWritesItsMessageAsOutput) {
    int h = start("/nonexistent/kitbag-prog a  b");
    ASSERT_GE(h, 0);
    char buf[512];
    ASSERT_EQ(gxline(h, buf, sizeof buf), 1);
    const std::string P = testsupport::elog_program_name();
    EXPECT_EQ(std::string(buf), P + " *fatal*: Couldn't exec '/nonexistent/kitbag-prog' : "
                                    "'/nonexistent/kitbag-prog a  b'");
    EXPECT_EQ(gxline(h, buf, sizeof buf), 0);
    gxclose(h);
}

TEST(GxPipe, FailedExecDoesNotFlushTheParentsBuffers) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's _exit flushes the stdio buffers";
#endif
    auto r = testsupport::run_in_child([] {
        testsupport::elog_clear_environment();
        std::printf("buffered-once ");  // still in the stdio buffer at the fork
        int h = start("/nonexistent/kitbag-prog");
        char buf[512];
        int rc = gxline(h, buf, sizeof buf);
        int rc2 = gxline(h, buf, sizeof buf);
        std::printf("%d %d\n", rc, rc2);
        gxclose(h);
    });
    EXPECT_EQ(r.out, "buffered-once 1 0\n");
    EXPECT_EQ(r.err, "");
}

TEST(GxPipe, EmptyCommandFailsToExec) {
    int h = start("   ");
    ASSERT_GE(h, 0);
    char buf[512];
    ASSERT_EQ(gxline(h, buf, sizeof buf), 1);
    EXPECT_THAT(std::string(buf), HasSubstr("Couldn't exec '' : '   '"));
    gxclose(h);
}

TEST(GxPipe, ClosingAnUnreadCommandWaitsForIt) {
    auto r = testsupport::run_in_child([] {
        int pipefd = -1;
        int h = start("/bin/echo x", nullptr, &pipefd);
        std::printf("%d ", gxclose(h));
        errno = 0;
        int w = waitpid(-1, nullptr, WNOHANG);
        int no_child = errno == ECHILD ? 1 : 0;
        int fl = fcntl(pipefd, F_GETFD);
        std::printf("%d %d %d\n", w, no_child, fl);
    });
    EXPECT_EQ(r.out, "0 -1 1 -1\n");
}

TEST(GxPipe, NoDescriptorIsLeft) {
    testsupport::ScratchDir dir;
    testsupport::write_file(dir.file("data"), "x\n");
    std::string path = dir.file("data");
    int before = open_descriptors();
    for (int i = 0; i < 10; i++) {
        int h = start("/bin/echo x");
        char buf[8];
        if (i % 2 == 0) gxline(h, buf, sizeof buf);
        gxclose(h);
        h = gxopen(path.data());
        gxline(h, buf, sizeof buf);
        gxclose(h);
    }
    testsupport::elog_reset_register();
    EXPECT_EQ(open_descriptors(), before);
}

TEST(GxPipe, CreationFailuresAreLoggedAndLeaveNoReader) {
    auto r = testsupport::run_in_child([] {
        testsupport::elog_clear_environment();
        struct rlimit limit = {256, 256};
        setrlimit(RLIMIT_NOFILE, &limit);
        // Use up every descriptor, so that the pipe cannot be made.
        std::vector<int> held;
        for (;;) {
            int fd = open("/dev/null", O_RDONLY);
            if (fd < 0) break;
            held.push_back(fd);
            if (held.size() > 100000) break;
        }
        int pipefd = 77;
        char command[] = "/bin/echo x";
        int h = gxpipe(command, nullptr, &pipefd);
        int err = errno;
        std::string log = testsupport::elog_register_text();
        testsupport::elog_reset_register();
        // One descriptor free: the pipe needs two.
        close(held.back());
        held.pop_back();
        int h2 = gxpipe(command, nullptr, &pipefd);
        std::string log2 = testsupport::elog_register_text();
        testsupport::elog_reset_register();
        // Two free: the pipe takes both, the temporary file cannot be made.
        close(held.back());
        held.pop_back();
        int h3 = gxpipe(command, nullptr, &pipefd);
        std::string log3 = testsupport::elog_register_text();
        testsupport::elog_reset_register();
        for (int fd : held) close(fd);
        std::printf("%d %d %d %d\n", h, err == EMFILE ? 1 : 0, h2, h3);
        std::printf("[%s]\n[%s]\n[%s]\n", log.c_str(), log2.c_str(), log3.c_str());
        std::printf("pipefd %d\n", pipefd);
        std::printf("next %d\n", start("/bin/echo y"));
    });
    EXPECT_THAT(r.out, HasSubstr("-1 1 -1 -1\n"));
    EXPECT_THAT(r.out, HasSubstr("Couldn't create pipes"));
    EXPECT_THAT(r.out, HasSubstr("Too many open files"));
    EXPECT_THAT(r.out, HasSubstr("mkstemp failed'"));
    EXPECT_THAT(r.out, HasSubstr("pipefd 77\n"));
    EXPECT_THAT(r.out, HasSubstr("next 0\n"));
}

TEST(GxMap, RecordWithoutCommandLogsNoPid) {
    testsupport::elog_reset_register();
    Gxfile gx{nullptr, 0, -1, -1, 0, 0};
    EXPECT_EQ(gxmap(&gx), -1);
    EXPECT_EQ(gx.map, nullptr);
    EXPECT_THAT(testsupport::elog_register_text(), HasSubstr("no pid"));
    testsupport::elog_reset_register();
}

TEST(GxThreads, ReadersOpenedAndReadFromManyThreads) {
    testsupport::ScratchDir dir;
    constexpr int kThreads = 8;
    constexpr int kRounds = 12;
    std::vector<std::string> paths;
    for (int t = 0; t < kThreads; t++) {
        paths.push_back(dir.file("f" + std::to_string(t)));
        testsupport::write_file(paths.back(), "file " + std::to_string(t) + "\nend\n");
    }
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    // User-mode emulation (the ARM leg runs under qemu) at times deadlocks
    // a child forked while other threads run, before the child runs any of
    // our code: there the threads share only the file readers.
    const bool emulated = std::getenv("QEMU_LD_PREFIX") != nullptr;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            char buf[64];
            for (int i = 0; i < kRounds; i++) {
                int h = gxopen(paths[static_cast<std::size_t>(t)].data());
                if (gxline(h, buf, sizeof buf) != 1 || buf != "file " + std::to_string(t))
                    wrong[static_cast<std::size_t>(t)]++;
                gxclose(h);
                if (emulated) continue;
                std::string word = "t" + std::to_string(t) + "-" + std::to_string(i);
                h = start("/bin/echo " + word);
                if (gxline(h, buf, sizeof buf) != 1 || buf != word) wrong[static_cast<std::size_t>(t)]++;
                if (gxline(h, buf, sizeof buf) != 0) wrong[static_cast<std::size_t>(t)]++;
                gxclose(h);
            }
        });
    }
    for (auto &th : threads) th.join();
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(wrong[static_cast<std::size_t>(t)], 0) << t;
    // Every slot is free again.
    EXPECT_EQ(start("/bin/echo z"), 0);
    gxclose(0);
}

}  // namespace
