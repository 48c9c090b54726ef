// Process and signal services: signal table, alarm timer, clock, signal
// waiting, offsets, password entries, SIGPIPE, executable names, spare
// streams, the unimplemented notice, the usage banner and delstr. Whatever
// changes the whole process (signals, timers, the error log) runs in a
// forked child.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "process_private.h"
#include "scratch_dir.h"

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;

namespace {

const std::string P = testsupport::elog_program_name();

char *mut(const char *s) { return const_cast<char *>(s); }

std::string readable_timer(const struct itimerval &t) {
    return std::to_string(t.it_value.tv_sec) + "." + std::to_string(t.it_value.tv_usec) + "/" +
           std::to_string(t.it_interval.tv_sec) + "." + std::to_string(t.it_interval.tv_usec);
}

volatile sig_atomic_t alarms = 0;
void count_alarm(int) { alarms = alarms + 1; }

}  // namespace

// ---- Signal table ----------------------------------------------------------

TEST(SignalTable, HoldsThirtyRowsInSearchOrder) {
    const Signame expected[] = {
        {"HUP", 1},   {"INT", 2},    {"QUIT", 3},   {"ILL", 4},    {"TRAP", 5},
        {"IOT", 6},   {"ABRT", 6},   {"FPE", 8},    {"BUS", 7},    {"SEGV", 11},
        {"SYS", 31},  {"PIPE", 13},  {"ALRM", 14},  {"TERM", 15},  {"USR1", 10},
        {"USR2", 12}, {"CLD", 17},   {"CHLD", 17},  {"PWR", 30},   {"WINCH", 28},
        {"URG", 23},  {"POLL", 29},  {"TSTP", 20},  {"CONT", 18},  {"TTIN", 21},
        {"TTOU", 22}, {"VTALRM", 26}, {"PROF", 27}, {"XCPU", 24},  {"XFSZ", 25},
    };
    ASSERT_EQ(Nsig, 30);
    for (int i = 0; i < Nsig; i++) {
        EXPECT_STREQ(Siglist[i].name, expected[i].name) << "row " << i;
        EXPECT_EQ(Siglist[i].sig, expected[i].sig) << "row " << i;
    }
}

TEST(SignalTable, EveryNameRoundTrips) {
    for (int i = 0; i < Nsig; i++) {
        int sig = -1;
        ASSERT_EQ(str2sig(const_cast<char *>(Siglist[i].name), &sig), 0);
        char buf[32];
        ASSERT_EQ(sig2str(sig, buf), 0);
        int again = -1;
        ASSERT_EQ(str2sig(buf, &again), 0) << buf;
        EXPECT_EQ(again, sig) << buf;
    }
    int sig = 99;
    EXPECT_EQ(str2sig(mut("SIG"), &sig), -1);
    EXPECT_EQ(str2sig(mut("SIGSIGTERM"), &sig), -1);
    EXPECT_EQ(str2sig(mut("sigTERM"), &sig), -1);
    EXPECT_EQ(sig, 99);
}

// ---- Alarm timer -----------------------------------------------------------

TEST(AlarmTimer, ArmsOnceWithWholeSecondsAndMicroseconds) {
    ChildResult r = in_child([] {
        if (std_set_timer(count_alarm, 2.5) != 0) out("set failed;");
        struct itimerval t;
        getitimer(ITIMER_REAL, &t);
        // No repetition; at most 2 s 500000 us left.
        long long left = static_cast<long long>(t.it_value.tv_sec) * 1000000 + t.it_value.tv_usec;
        out(std::string(t.it_interval.tv_sec == 0 && t.it_interval.tv_usec == 0 ? "once;"
                                                                                  : "repeats;"));
        out(std::string(left > 0 && left <= 2500000 ? "armed;" : "wrong;"));
        struct sigaction now;
        sigaction(SIGALRM, nullptr, &now);
        out(std::string(now.sa_handler == count_alarm ? "handler;" : "other handler;"));
        const int meaningful =
            SA_RESTART | SA_SIGINFO | SA_NODEFER | SA_RESETHAND | SA_ONSTACK;
        out(std::to_string(now.sa_flags & meaningful) + ";");
        out(std::string(sigisemptyset(&now.sa_mask) ? "empty mask;" : "mask;"));
        std_set_timer(count_alarm, 0);  // nothing fires after the child's body
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "once;armed;handler;0;empty mask;");
    EXPECT_EQ(r.err, "");
}

TEST(AlarmTimer, ZeroCancelsAPendingAlarm) {
    ChildResult r = in_child([] {
        std_set_timer(count_alarm, 2.5);
        out(std::to_string(std_set_timer(count_alarm, 0)) + ";");
        struct itimerval t;
        getitimer(ITIMER_REAL, &t);
        out(readable_timer(t));
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "0;0.0/0.0");
}

TEST(AlarmTimer, FiresOnceThenIsDisarmed) {
    ChildResult r = in_child([] {
        alarms = 0;
        if (std_set_timer(count_alarm, 0.05) != 0) out("set failed;");
        // Generous bound: the alarm is due after 50 ms.
        for (int i = 0; i < 6000 && alarms == 0; i++) usleep(10000);
        struct itimerval t;
        getitimer(ITIMER_REAL, &t);
        out(std::to_string(alarms) + ";" + readable_timer(t));
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "1;0.0/0.0");
}

TEST(AlarmTimer, ANewTimerReplacesThePendingOne) {
    ChildResult r = in_child([] {
        std_set_timer(count_alarm, 100);
        std_set_timer(count_alarm, 3.25);
        struct itimerval t;
        getitimer(ITIMER_REAL, &t);
        long long left = static_cast<long long>(t.it_value.tv_sec) * 1000000 + t.it_value.tv_usec;
        out(left > 0 && left <= 3250000 ? "replaced" : "kept");
        std_set_timer(count_alarm, 0);
    });
    EXPECT_EQ(r.out, "replaced");
}

TEST(AlarmTimer, ImpossibleTimesAreRefusedAndLogged) {
    const double bad[] = {-1.0, -0.25, std::strtod("nan", nullptr), 1e300};
    for (double seconds : bad) {
        ChildResult r = in_child([seconds] {
            int rc = std_set_timer(count_alarm, seconds);
            out(std::to_string(rc) + "|" + testsupport::elog_register_text());
        });
        EXPECT_EQ(r.out, "-1|" + P + ": setitimer fails\n\tInvalid argument\n") << seconds;
    }
}

// ---- Clock ------------------------------------------------------------------

TEST(Clock, IsTheTimeOfDayToTheMicrosecond) {
    struct timeval before, after;
    gettimeofday(&before, nullptr);
    double now = std_now();
    double fortran = now_();
    gettimeofday(&after, nullptr);
    double lo = before.tv_sec + before.tv_usec / 1e6;
    double hi = after.tv_sec + after.tv_usec / 1e6;
    EXPECT_LE(lo, now);
    EXPECT_LE(now, fortran);
    EXPECT_LE(fortran, hi);
}

TEST(Clock, CanBeReplacedByAFixedClock) {
    kitbag::NowSource fixed = [] { return 1234567890.125; };
    kitbag::NowSource previous = kitbag::set_now_source(fixed);
    EXPECT_EQ(previous, nullptr);
    EXPECT_EQ(std_now(), 1234567890.125);
    EXPECT_EQ(now_(), 1234567890.125);
    EXPECT_EQ(kitbag::set_now_source(nullptr), fixed);
    EXPECT_GT(std_now(), 1234567890.125);
}

// ---- Waiting for a signal ---------------------------------------------------

TEST(SignalWait, ReturnsThePendingSignal) {
    ChildResult r = in_child([] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR1);
        sigaddset(&set, SIGUSR2);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        raise(SIGUSR2);
        out(std::to_string(std_sigwait(&set)) + ";");
        raise(SIGUSR1);
        out(std::to_string(std_sigwait(&set)) + ";");
        out(std::to_string(std_sigwait(nullptr)));
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, std::to_string(SIGUSR2) + ";" + std::to_string(SIGUSR1) + ";-1");
}

// ---- Offsets ------------------------------------------------------------------

TEST(Tell, GivesTheCurrentOffset) {
    testsupport::ScratchDir dir;
    std::string path = dir.file("f");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_LARGEFILE, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tell(fd), 0);
    ASSERT_EQ(write(fd, "hello", 5), 5);
    EXPECT_EQ(tell(fd), 5);
    lseek(fd, 2, SEEK_SET);
    EXPECT_EQ(tell(fd), 2);
    // Beyond 2 GB, also where off_t has 32 bits (nothing is written there).
    ASSERT_EQ(lseek64(fd, 3000000000LL, SEEK_SET), 3000000000LL);
    EXPECT_EQ(tell(fd), 3000000000LL);
    close(fd);

    EXPECT_EQ(tell(fd), -1);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(tell(p[0]), -1);
    EXPECT_EQ(errno, ESPIPE);
    close(p[0]);
    close(p[1]);
}

// ---- Password entries ---------------------------------------------------------

TEST(PasswordEntry, CopiesTheSystemsEntry) {
    struct passwd pw;
    ASSERT_EQ(std_getpwnam(mut("root"), &pw), 0);
    EXPECT_STREQ(pw.pw_name, "root");
    EXPECT_EQ(pw.pw_uid, 0u);
    EXPECT_EQ(pw.pw_gid, 0u);
    struct passwd *sys = getpwnam("root");
    ASSERT_NE(sys, nullptr);
    EXPECT_STREQ(pw.pw_passwd, sys->pw_passwd);
    EXPECT_STREQ(pw.pw_gecos, sys->pw_gecos);
    EXPECT_STREQ(pw.pw_dir, sys->pw_dir);
    EXPECT_STREQ(pw.pw_shell, sys->pw_shell);
}

TEST(PasswordEntry, UnknownNameZeroesTheEntry) {
    const char *names[] = {"no_such_user_kitbag", ""};
    for (const char *name : names) {
        struct passwd pw;
        std::memset(&pw, 0x5a, sizeof pw);
        EXPECT_EQ(std_getpwnam(mut(name), &pw), -1) << name;
        struct passwd zero;
        std::memset(&zero, 0, sizeof zero);
        EXPECT_EQ(std::memcmp(&pw, &zero, sizeof pw), 0) << name;
    }
    struct passwd pw;
    EXPECT_EQ(std_getpwnam(nullptr, &pw), -1);
    EXPECT_EQ(std_getpwnam(mut("root"), nullptr), -1);
}

namespace {

// Two names with entries, for lookups from two threads.
std::vector<std::string> two_users() {
    std::vector<std::string> names;
    setpwent();
    while (struct passwd *p = getpwent()) {
        names.push_back(p->pw_name);
        if (names.size() == 2) break;
    }
    endpwent();
    return names;
}

struct Lookup {
    std::string name;
    struct passwd pw;
    int rc = -1;
    std::string seen_after_other;  // pw.pw_name once the other thread looked up
    pthread_barrier_t *looked_up;
    pthread_barrier_t *other_done;
};

void *look_up(void *p) {
    auto *l = static_cast<Lookup *>(p);
    l->rc = std_getpwnam(const_cast<char *>(l->name.c_str()), &l->pw);
    pthread_barrier_wait(l->looked_up);
    // The other thread looks its name up again meanwhile.
    pthread_barrier_wait(l->other_done);
    l->seen_after_other = l->rc == 0 ? l->pw.pw_name : "";
    return nullptr;
}

}  // namespace

TEST(PasswordEntry, EachThreadKeepsItsOwnStrings) {
    std::vector<std::string> names = two_users();
    if (names.size() < 2) GTEST_SKIP() << "fewer than two users on this system";
    pthread_barrier_t looked_up, other_done;
    pthread_barrier_init(&looked_up, nullptr, 3);
    pthread_barrier_init(&other_done, nullptr, 3);
    Lookup a, b;
    a.name = names[0];
    b.name = names[1];
    a.looked_up = b.looked_up = &looked_up;
    a.other_done = b.other_done = &other_done;
    pthread_t ta, tb;
    ASSERT_EQ(pthread_create(&ta, nullptr, look_up, &a), 0);
    ASSERT_EQ(pthread_create(&tb, nullptr, look_up, &b), 0);
    pthread_barrier_wait(&looked_up);
    // A lookup by this thread must not disturb theirs either.
    struct passwd mine;
    ASSERT_EQ(std_getpwnam(mut(names[1].c_str()), &mine), 0);
    ASSERT_EQ(std_getpwnam(mut(names[0].c_str()), &mine), 0);
    pthread_barrier_wait(&other_done);
    pthread_join(ta, nullptr);
    pthread_join(tb, nullptr);
    pthread_barrier_destroy(&looked_up);
    pthread_barrier_destroy(&other_done);
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(b.rc, 0);
    EXPECT_EQ(a.seen_after_other, names[0]);
    EXPECT_EQ(b.seen_after_other, names[1]);
    EXPECT_STREQ(mine.pw_name, names[0].c_str());
}

// ---- SIGPIPE ------------------------------------------------------------------

TEST(IgnoreSigpipe, AWriteToAClosedPipeFailsInsteadOfKilling) {
    ChildResult r = in_child([] {
        ignoreSIGPIPE();
        struct sigaction now;
        sigaction(SIGPIPE, nullptr, &now);
        out(std::string(now.sa_handler == SIG_IGN ? "ignored;" : "not ignored;"));
        out(std::string((now.sa_flags & SA_RESTART) ? "restart;" : "no restart;"));
        int p[2];
        if (pipe(p) != 0) return;
        close(p[0]);
        ssize_t n = write(p[1], "x", 1);
        out(std::to_string(n) + (errno == EPIPE ? " EPIPE" : " other"));
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "ignored;restart;-1 EPIPE");
}

// ---- Executable names ----------------------------------------------------------

TEST(ExecutableNames, OwnProcessIsTheRunningProgram) {
    char *mine = pidexecname(getpid());
    EXPECT_STREQ(mine, getexecname());
    EXPECT_NE(mine, getexecname());  // a copy for the caller
    std::free(mine);
}

TEST(ExecutableNames, VanishedProcessLogsAndGivesEmptyText) {
    ChildResult r = in_child([] {
        char *name = pidexecname(999999999);
        out(std::string("[") + name + "]|" + testsupport::elog_register_text());
        std::free(name);
    });
    EXPECT_EQ(r.out, "[]|" + P + ": failed to read /proc/999999999/cmdline\n" +
                         "\tNo such file or directory\n");
}

TEST(ExecutableNames, UnreadableLinkGivesTheCommandLineWithBlanks) {
    // A command of root's, looked at by an unprivileged child: its
    // executable link is out of reach, its command line is not.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to change user";
    int execed[2];
    ASSERT_EQ(pipe2(execed, O_CLOEXEC), 0);
    pid_t target = fork();
    ASSERT_GE(target, 0);
    if (target == 0) {
        close(execed[0]);
        execl("/bin/sleep", "sleep", "300", "300", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(execed[1]);
    char c;
    EXPECT_EQ(read(execed[0], &c, 1), 0);  // end of file once the command runs
    close(execed[0]);

    ChildResult r = testsupport::run_in_child([target] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            out("nosetuid");
            return;
        }
        char link[64];
        std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(target));
        char buf[4096];
        if (readlink(link, buf, sizeof buf) >= 0) {
            out("readable");
            return;
        }
        char *name = pidexecname(static_cast<int>(target));
        out(name);
        std::free(name);
    });
    kill(target, SIGKILL);
    waitpid(target, nullptr, 0);
    if (r.out == "nosetuid" || r.out == "readable")
        GTEST_SKIP() << "cannot hide an executable link here: " << r.out;
    // The closing NUL becomes a blank too.
    EXPECT_EQ(r.out, "sleep 300 300 ");
}

// ---- Spare streams --------------------------------------------------------------

TEST(SpareStreams, ReleaseOneAtATimeAndReserveRefillsAll) {
    reserve_FILE();
    EXPECT_EQ(kitbag::spare_files_open(), 2);
    reserve_FILE();  // nothing empty to fill
    EXPECT_EQ(kitbag::spare_files_open(), 2);
    release_FILE();
    EXPECT_EQ(kitbag::spare_files_open(), 1);
    release_FILE();
    EXPECT_EQ(kitbag::spare_files_open(), 0);
    release_FILE();  // nothing left to close
    EXPECT_EQ(kitbag::spare_files_open(), 0);
    reserve_FILE();
    EXPECT_EQ(kitbag::spare_files_open(), 2);
}

TEST(SpareStreams, HoldDescriptorsOnDevNull) {
    auto dev_null_fds = [] {
        int n = 0;
        for (int fd = 0; fd < 1024; fd++) {
            char link[64], target[64];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            ssize_t len = readlink(link, target, sizeof target - 1);
            if (len < 0) continue;
            target[len] = '\0';
            if (std::strcmp(target, "/dev/null") == 0) n++;
        }
        return n;
    };
    reserve_FILE();
    int held = dev_null_fds();
    release_FILE();
    release_FILE();
    EXPECT_EQ(dev_null_fds(), held - 2);
    reserve_FILE();
    EXPECT_EQ(dev_null_fds(), held);
}

// ---- Unimplemented notice ------------------------------------------------------

TEST(Unimplemented, LogsAndReturnsTheValue) {
    const int values[] = {0, -1, 42};
    for (int value : values) {
        ChildResult r = in_child([value] {
            int rc = UNIMPLEMENTED(mut("thr_kill"), value);
            out(std::to_string(rc) + "|" + testsupport::elog_register_text());
        });
        EXPECT_EQ(r.out, std::to_string(value) + "|" + P +
                             ": thr_kill is unimplemented on this platform\n");
    }
}

// ---- delstr ---------------------------------------------------------------------

TEST(Delstr, RemovesTheFirstOccurrence) {
    struct Case {
        const char *text, *s, *after;
        int rc;
    } cases[] = {
        {"hello world", "o w", "hellorld", 1},
        {"aXbXc", "X", "abXc", 1},
        {"abc", "abc", "", 1},
        {"$Revision: 1.25 $", "$Revision: ", "1.25 $", 1},
        {"abc", "x", "abc", 0},
        {"abc", "abcd", "abc", 0},
        {"", "a", "", 0},
        {"abc", "", "abc", 1},
    };
    for (const Case &c : cases) {
        char buf[64];
        std::strcpy(buf, c.text);
        EXPECT_EQ(delstr(buf, mut(c.s)), c.rc) << c.text << " - " << c.s;
        EXPECT_STREQ(buf, c.after) << c.text << " - " << c.s;
    }
    EXPECT_EQ(delstr(nullptr, mut("a")), 0);
}

// ---- Usage banner ---------------------------------------------------------------

namespace {

const char kContact[] =
    "\n"
    "\tKorvanel Instruments Ltd.\n"
    "\t14 Quarry Lane\n"
    "\tCairnford CF3 9QT, United Kingdom\n"
    "\n"
    "\tTel. +44 1632 960418 - please report problems to support@korvanel.example\n"
    "\n";

std::string modification_line() {
    struct stat st;
    if (stat(getexecname(), &st) != 0) return "";
    char when[64];
    return std::string("    ") + ctime_r(&st.st_mtime, when) + "\n";
}

// The first line of a banner (after its leading newline).
std::string first_line(const std::string &err) {
    if (err.empty() || err[0] != '\n') return "<no leading newline>";
    return err.substr(1, err.find('\n', 1) - 1);
}

}  // namespace

TEST(Banner, PrintsNameRevisionDateReleaseAndContact) {
    ChildResult r = in_child([] {
        int rc = banner(mut("spillway"), mut("$Revision: 1.25 $"));
        out(std::to_string(rc));
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.out, std::to_string(sizeof kContact - 1));

    std::string expected_head = "\nspillway 1.25\n" + modification_line();
    ASSERT_EQ(r.err.substr(0, expected_head.size()), expected_head);
    std::string rest = r.err.substr(expected_head.size());
    ASSERT_GT(rest.size(), sizeof kContact - 1);
    std::string release = rest.substr(0, rest.size() - (sizeof kContact - 1));
    EXPECT_EQ(rest.substr(release.size()), kContact);

    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        release, m,
        std::regex(R"(\*\* Korvanel Release 7\.2\.3 (\S+) (.+) (\S+) (\d{4})-(\d\d)-(\d\d)  \*\*\n)")))
        << release;
    EXPECT_EQ(m[1].str(), u.sysname);
    EXPECT_EQ(m[3].str(), u.release);
    int month = std::stoi(m[5].str()), day = std::stoi(m[6].str());
    EXPECT_TRUE(month >= 1 && month <= 12) << release;
    EXPECT_TRUE(day >= 1 && day <= 31) << release;
}

TEST(Banner, RevisionKeywordsGiveTheirValues) {
    struct Case {
        const char *revision, *shown;
    } cases[] = {
        {"$Revision: 1.25 $", "1.25"},
        {"$Date: 2003/01/02 10:20:30 $", "2003/01/02 10:20:30"},
        {"$Revision: 1.2 $ $Date: 2003/01/02 $", "1.2 2003/01/02"},
        {"1.7 $", "1.7 $"},  // " $" goes only with its keyword
        {"release 4", "release 4"},
        {"", ""},
    };
    for (const Case &c : cases) {
        ChildResult r = in_child([&c] { banner(mut("prog"), mut(c.revision)); });
        EXPECT_EQ(first_line(r.err), std::string("prog ") + c.shown) << c.revision;
    }
    // At most 511 characters of the revision are kept.
    std::string longest(600, 'r');
    ChildResult r = in_child([&longest] { banner(mut("prog"), longest.data()); });
    EXPECT_EQ(first_line(r.err), "prog " + std::string(511, 'r'));
}

TEST(Banner, NameFallsBackOnProgramNameThenTheExecutable) {
    ChildResult r = in_child([] {
        std::strcpy(Program_Name, "named");
        banner(nullptr, mut("1"));
    });
    EXPECT_EQ(first_line(r.err), "named 1");
    r = in_child([] {
        Program_Name[0] = '\0';
        banner(nullptr, mut("1"));
    });
    EXPECT_EQ(first_line(r.err), std::string(getexecname()) + " 1");
}
