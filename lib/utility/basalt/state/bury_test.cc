// State files (exhume, resurrect, bury) and termination signals. A process
// exhumes one state file in its life, so every case runs in a child.
#include "bury.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "kitbag_host.h"
#include "pf.h"
#include "pfaccess.h"
#include "scratch_dir.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

namespace fs = std::filesystem;

char *cstr(const std::string &s) { return const_cast<char *>(s.c_str()); }

int load(int *flag) { return __atomic_load_n(flag, __ATOMIC_RELAXED); }

// Waits (bounded) until the flag leaves 0.
void wait_for_flag(int *flag) {
    for (int i = 0; i < 3000 && load(flag) == 0; i++) usleep(10000);
}

// Sleeps long enough for any alarm to go off, then ends the child with 5.
[[noreturn]] void linger(int seconds) {
    for (int i = 0; i < seconds * 10; i++) usleep(100000);
    std::exit(5);
}

TEST(Bury, NothingExhumed) {
    auto r = in_child([] {
        int v = 7;
        Relic relic;
        relic.ip = &v;
        out(std::to_string(resurrect(cstr("v"), relic, INT_RELIC)) + " " +
            std::to_string(bury()) + " " + std::to_string(v));
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.out, "-1 -1 7");
}

TEST(Bury, NewStateFileInMissingDirectories) {
    ScratchDir scratch;
    std::string path = scratch.file("a/b/c/state");
    auto r = in_child([&] {
        out(std::to_string(exhume(cstr(path), nullptr, 0, nullptr)) + "\n");
        int i = 3;
        double d = 1.5, t = 99.0;
        char *s = nullptr;
        Relic ri, rd, rs, rt;
        ri.ip = &i;
        rd.dp = &d;
        rs.sp = &s;
        rt.dp = &t;
        out(std::to_string(resurrect(cstr("i"), ri, INT_RELIC)) +
            std::to_string(resurrect(cstr("d"), rd, DOUBLE_RELIC)) +
            std::to_string(resurrect(cstr("s"), rs, STRING_RELIC)) +
            std::to_string(resurrect(cstr("t"), rt, TIME_RELIC)) + "\n");
        out(std::to_string(i) + " " + std::to_string(d) + " " + (s ? "set" : "null") + " " +
            std::to_string(t) + "\n");
        // A second exhume changes nothing.
        out(std::to_string(exhume(cstr(path + "2"), nullptr, 0, nullptr)) + "\n");
        Pf *pf = reinterpret_cast<Pf *>(1);
        int again = perlexhume(cstr(path), nullptr, 0, nullptr, &pf);
        out(std::to_string(again) +
            (pf == nullptr ? " null" : pf == reinterpret_cast<Pf *>(1) ? " untouched" : " tree") + "\n");
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.out, "0\n1111\n3 1.500000 null 99.000000\n-2\n-2 null\n");
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(read_file(path), "");
    EXPECT_FALSE(fs::exists(path + "2"));
}

void add_mortal(Pf *pf) {
    pfset(pf, "extra", "from mortician");
    pfset(pf, "count", "replaced by the relic");
}

TEST(Bury, SavesAndRestoresEveryKind) {
    ScratchDir scratch;
    std::string path = scratch.file("state");
    // A stale, longer alternate file from an earlier run.
    write_file(path + "+", std::string(5000, 'x') + "\n");
    auto r = in_child([&] {
        if (exhume(cstr(path), nullptr, 0, add_mortal) != 0) std::exit(3);
        int count = 42;
        double ratio = 2.5, when = 1000000000.5;
        static char hello[] = "hello";
        char *label = hello;
        char *none = nullptr;
        Relic a, b, c, d, e;
        a.ip = &count;
        b.dp = &ratio;
        c.sp = &label;
        d.dp = &when;
        e.sp = &none;
        resurrect(cstr("count"), a, INT_RELIC);
        resurrect(cstr("ratio"), b, DOUBLE_RELIC);
        resurrect(cstr("label"), c, STRING_RELIC);
        resurrect(cstr("when"), d, TIME_RELIC);
        resurrect(cstr("none"), e, STRING_RELIC);  // holds no string: not saved
        out(std::to_string(bury()));
    });
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_EQ(r.out, "0") << r.err;
    EXPECT_FALSE(fs::exists(path + "+"));
    std::string text = read_file(path);
    // The time text holds two blanks in a row, so the writer makes it a
    // literal block; it begins with the epoch seconds.
    const std::string head =
        "count\t42\n"
        "extra\tfrom mortician\n"
        "label\thello\n"
        "ratio\t2.5\n"
        "when\t";
    EXPECT_EQ(text.substr(0, head.size()), head) << text;
    EXPECT_NE(text.find("1000000000.500 (252) 2001-09-09  01:46:40.5"), std::string::npos) << text;
    EXPECT_NE(text.find(" UTC Sunday"), std::string::npos) << text;

    auto back = in_child([&] {
        int count = 0;
        double ratio = 0, when = 0;
        char *label = nullptr;
        Relic a, b, c, d;
        a.ip = &count;
        b.dp = &ratio;
        c.sp = &label;
        d.dp = &when;
        out(std::to_string(exhume(cstr(path), nullptr, 0, nullptr)) + " ");
        out(std::to_string(resurrect(cstr("count"), a, INT_RELIC)) +
            std::to_string(resurrect(cstr("ratio"), b, DOUBLE_RELIC)) +
            std::to_string(resurrect(cstr("label"), c, STRING_RELIC)) +
            std::to_string(resurrect(cstr("when"), d, TIME_RELIC)) +
            std::to_string(resurrect(cstr("absent"), a, INT_RELIC)) + " ");
        out(std::to_string(count) + " " + std::to_string(ratio) + " " + label + " " +
            (std::fabs(when - 1000000000.5) < 1e-3 ? "when-ok" : std::to_string(when)));
    });
    ASSERT_TRUE(back.exited) << back.err;
    EXPECT_EQ(back.out, "1 00001 42 2.500000 hello when-ok");
}

TEST(Bury, LaterRegistrationWinsAndSavesAgain) {
    ScratchDir scratch;
    std::string path = scratch.file("state");
    auto r = in_child([&] {
        exhume(cstr(path), nullptr, 0, nullptr);
        int first = 1, second = 2;
        Relic a, b;
        a.ip = &first;
        b.ip = &second;
        resurrect(cstr("n"), a, INT_RELIC);
        resurrect(cstr("n"), b, INT_RELIC);
        for (int i = 0; i < 5; i++) {
            second = 10 + i;
            if (bury() != 0) std::exit(4);
        }
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(path), "n\t14\n");
}

TEST(Bury, UnparsableStateGivesTwo) {
    ScratchDir scratch;
    std::string path = scratch.file("state");
    write_file(path, "n\t5\nbroken &Arr{\n  a 1\n");
    auto r = in_child([&] {
        int n = 0;
        Relic a;
        a.ip = &n;
        int e = exhume(cstr(path), nullptr, 0, nullptr);
        int rr = resurrect(cstr("n"), a, INT_RELIC);
        out(std::to_string(e) + " " + std::to_string(rr) + " " + std::to_string(n));
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.out, "2 0 5");
}

TEST(Bury, UnopenableStateFile) {
    ScratchDir scratch;
    std::string path = scratch.file("dir");
    fs::create_directory(path);
    auto r = in_child([&] {
        errno = EINVAL;
        int e = exhume(cstr(path), nullptr, 0, nullptr);
        out(std::to_string(e) + " " + std::to_string(errno));
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.out, "-1 0");
}

TEST(Bury, FailedSaveComplainsAndKeepsTheState) {
    ScratchDir scratch;
    std::string dir = scratch.file("d");
    fs::create_directory(dir);
    std::string path = dir + "/state";
    write_file(path, "n\t1\n");
    chmod(path.c_str(), 0666);
    chmod(dir.c_str(), 0777);
    auto r = in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) std::exit(9);
        int n = 0;
        Relic a;
        a.ip = &n;
        exhume(cstr(path), nullptr, 0, nullptr);
        resurrect(cstr("n"), a, INT_RELIC);
        n = 2;
        chmod(dir.c_str(), 0555);  // the alternate file cannot be made
        int result = bury();
        chmod(dir.c_str(), 0777);
        out(std::to_string(result));
    });
    chmod(dir.c_str(), 0777);
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_NE(r.exit_code, 9);
    EXPECT_EQ(r.out, "-1");
    EXPECT_NE(r.err.find("Can't write alternate state file " + path + "+"), std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(path), "n\t1\n");
}

// A second program opening the state file while the first holds it stops,
// also after the first has saved several times.
TEST(Bury, SecondProgramCannotLockTheState) {
    ScratchDir scratch;
    std::string path = scratch.file("state");
    if (is_nfs(cstr(scratch.path())) != 0) GTEST_SKIP() << "scratch directory not on a known local mount";
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t first = fork();
    ASSERT_GE(first, 0);
    if (first == 0) {
        close(ready[0]);
        close(done[1]);
        int n = 0;
        Relic a;
        a.ip = &n;
        exhume(cstr(path), nullptr, 0, nullptr);
        resurrect(cstr("n"), a, INT_RELIC);
        for (n = 1; n <= 4; n++) bury();
        n = 4;
        char c = 'r';
        if (write(ready[1], &c, 1) != 1) _exit(2);
        if (read(done[0], &c, 1) < 0) _exit(2);
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);

    auto second = in_child([&] {
        exhume(cstr(path), nullptr, 0, nullptr);
        out("went on");
    });
    EXPECT_TRUE(second.exited);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_NE(second.err.find("Can't lock state file '" + path +
                              "' for exclusive use: it is already in use.\n"),
              std::string::npos)
        << second.err;

    ASSERT_EQ(write(done[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(first, &status, 0), first);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(path), "n\t4\n");
    close(ready[0]);
    close(done[1]);

    // Once the first program has ended, the state is free again.
    auto third = in_child([&] { out(std::to_string(exhume(cstr(path), nullptr, 0, nullptr))); });
    ASSERT_TRUE(third.exited) << third.err;
    EXPECT_EQ(third.out, "1");
}

int *stop_seen = nullptr;
void report_stop(Pf *) { out("saving with stop " + std::to_string(load(stop_seen)) + "\n"); }

TEST(BurySignals, ZeroSecondsSavesAndExitsAtOnce) {
    ScratchDir scratch;
    std::string path = scratch.file("state");
    auto r = in_child([&] {
        static int stop = -1;
        stop_seen = &stop;
        exhume(cstr(path), &stop, 0, report_stop);
        out("stop " + std::to_string(load(&stop)) + "\n");
        int n = 0;
        Relic a;
        a.ip = &n;
        resurrect(cstr("n"), a, INT_RELIC);
        n = 77;
        raise(SIGTERM);
        linger(30);
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "stop 0\nsaving with stop " + std::to_string(SIGTERM) + "\n");
    EXPECT_EQ(read_file(path), "n\t77\n");
}

TEST(BurySignals, AlarmBuriesAProgramThatDoesNotStop) {
    ScratchDir scratch;
    std::string path = scratch.file("state");
    auto r = in_child([&] {
        static int stop = 0;
        stop_seen = &stop;
        exhume(cstr(path), &stop, 1, report_stop);
        int n = 0;
        Relic a;
        a.ip = &n;
        resurrect(cstr("n"), a, INT_RELIC);
        n = 5;
        raise(SIGHUP);
        out("flag " + std::to_string(load(&stop)) + "\n");
        linger(30);
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "flag " + std::to_string(SIGHUP) + "\nsaving with stop " +
                         std::to_string(SIGHUP) + "\n");
    EXPECT_NE(r.err.find("quitting from resurrection alarm\n"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(path), "n\t5\n");
}

TEST(BurySignals, AProgramThatBuriesInTimeGoesOn) {
    ScratchDir scratch;
    std::string path = scratch.file("state");
    auto r = in_child([&] {
        static int stop = 0;
        exhume(cstr(path), &stop, 1, nullptr);
        int n = 0;
        Relic a;
        a.ip = &n;
        resurrect(cstr("n"), a, INT_RELIC);
        n = 8;
        raise(SIGQUIT);
        wait_for_flag(&stop);
        bury();
        n = 9;  // not saved: the alarm finds the bury done
        for (int i = 0; i < 30; i++) usleep(100000);
        out("still running " + std::to_string(load(&stop)));
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "still running " + std::to_string(SIGQUIT));
    EXPECT_EQ(r.err.find("quitting"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(path), "n\t8\n");
}

TEST(BurySignals, NegativeSecondsOnlySetTheFlag) {
    ScratchDir scratch;
    std::string path = scratch.file("state");
    auto r = in_child([&] {
        static int stop = 0;
        exhume(cstr(path), &stop, -1, nullptr);
        raise(SIGINT);
        usleep(200000);
        out("flag " + std::to_string(load(&stop)));
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "flag " + std::to_string(SIGINT));
    EXPECT_EQ(read_file(path), "");
}

int handled[NSIG];
void count_signal(int sig) { handled[sig]++; }

TEST(BurySignals, SetupSignalHandlersCoversTheFourSignals) {
    auto r = in_child([] {
        setup_signal_handlers(count_signal);
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) raise(sig);
        out(std::to_string(handled[SIGHUP]) + std::to_string(handled[SIGINT]) +
            std::to_string(handled[SIGQUIT]) + std::to_string(handled[SIGTERM]));
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.out, "1111");
}

void halt_mortician(int sig) { out("mortician " + std::to_string(sig) + "\n"); }

struct HaltCase {
    const char *name;
    int timeout;
    bool ends;
};

TEST(BurySignals, HaltVariant) {
    const HaltCase cases[] = {
        {"no timeout: flag only", 0, false},
        {"timeout: mortician then death", 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = in_child([&] {
            static int halt = 0;
            setup_signals(&halt, halt_mortician, c.timeout);
            raise(SIGTERM);
            out("halt " + std::to_string(load(&halt)) + "\n");
            if (c.ends) linger(30);
        });
        ASSERT_TRUE(r.exited) << r.err;
        if (c.ends) {
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_EQ(r.out, "halt 1\nmortician " + std::to_string(SIGALRM) + "\n");
            EXPECT_NE(r.err.find("quitting from resurrection alarm\n"), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.exit_code, 0);
            EXPECT_EQ(r.out, "halt 1\n");
        }
    }
}

TEST(BurySignals, DieSoon) {
    auto r = in_child([] {
        die_soon(0.2);
        linger(30);
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("quitting from die_soon alarm\n"), std::string::npos) << r.err;
}

// A program saving in a loop is killed at random moments: the state file is
// always whole and holds one of the values saved.
TEST(BuryCrash, StateSurvivesSigkill) {
    ScratchDir scratch;
    std::string path = scratch.file("state");
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> pause_us(0, 3000);
    long last = -1;
    for (int round = 0; round < 100; round++) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            int n = 0;
            Relic a;
            a.ip = &n;
            if (exhume(cstr(path), nullptr, 0, nullptr) < 0) _exit(2);
            resurrect(cstr("n"), a, INT_RELIC);
            n++;
            if (bury() != 0) _exit(3);
            if (write(ready[1], "r", 1) != 1) _exit(4);
            for (;;) {
                n++;
                if (bury() != 0) _exit(3);
            }
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        usleep(static_cast<useconds_t>(pause_us(rng)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << " status " << status;

        std::string text = read_file(path);
        ASSERT_GE(text.size(), 4u) << "round " << round;
        ASSERT_EQ(text.substr(0, 2), "n\t") << text;
        ASSERT_EQ(text.back(), '\n') << text;
        std::string digits = text.substr(2, text.size() - 3);
        ASSERT_FALSE(digits.empty());
        ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << text;
        long value = std::stol(digits);
        // Each program resumes from the last value saved and saves more.
        ASSERT_GT(value, last) << "round " << round;
        last = value;
    }
}

}  // namespace
