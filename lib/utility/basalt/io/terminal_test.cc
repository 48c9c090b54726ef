// Terminal modes, questions on the controlling terminal, the banner and the
// deprecation notice. Questions run in a forked child whose controlling
// terminal is a pseudo-terminal: the test plays the user on its master side.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "kitbag.h"

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;

namespace {

// ---- Pseudo-terminal harness ----

// Written on the terminal by the child once its body has finished.
const std::string kEndMarker = "\x1b[end-of-test]";

struct PtyRun {
    std::string printed;  // what the child wrote on its terminal
    std::string result;   // what the child body returned
    bool exited = false;
    int exit_code = -1;
};

struct PtyOptions {
    bool echo = false;            // leave the terminal's echo on
    bool wait_for_noecho = false; // type the answer only once echo is off
    std::string wait_for;         // type the answer only once this was printed
};

bool write_all(int fd, const std::string &s) {
    std::size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads what is available on fd into sink; false at end (or error).
bool read_some(int fd, std::string &sink) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            sink.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

// Runs body in a child whose controlling terminal is a fresh pty (no output
// post-processing, echo off unless asked), types `answers` on it and
// collects everything printed until the child ends.
PtyRun run_on_pty(const std::function<std::string()> &body, const std::string &answers,
                  const PtyOptions &opt = PtyOptions()) {
    PtyRun run;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return run;
    }
    std::string slave_name = ptsname(master);
    int sync[2], report[2], done[2];
    if (pipe(sync) != 0 || pipe(report) != 0 || pipe(done) != 0) {
        ADD_FAILURE() << "pipe failed";
        return run;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(master);
        close(sync[0]);
        close(report[0]);
        close(done[1]);
        setsid();
        int slave = open(slave_name.c_str(), O_RDWR);
        if (slave < 0) _exit(90);
        ioctl(slave, TIOCSCTTY, 0);
        struct termios t;
        tcgetattr(slave, &t);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        if (!opt.echo) t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(slave, TCSANOW, &t);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        close(devnull);
        // slave stays open: with no slave descriptor open the master side
        // reads as hung up, between two openings of "/dev/tty".
        std::strcpy(Program_Name, "termtest");
        char ready = 'R';
        if (write(sync[1], &ready, 1) != 1) _exit(91);
        close(sync[1]);
        std::string r = body();
        write_all(report[1], r);
        close(report[1]);
        // The marker tells the parent that all output is in; the terminal
        // stays open until the parent has read it.
        int tty = open("/dev/tty", O_RDWR);
        write_all(tty, kEndMarker);
        char ack;
        while (read(done[0], &ack, 1) < 0 && errno == EINTR) {
        }
        close(tty);
        _exit(0);
    }
    close(sync[1]);
    close(report[1]);
    close(done[0]);
    char ready = 0;
    while (read(sync[0], &ready, 1) < 0 && errno == EINTR) {
    }
    close(sync[0]);

    bool typed = false;
    auto type_if_due = [&]() {
        if (typed) return;
        if (!opt.wait_for.empty() && run.printed.find(opt.wait_for) == std::string::npos)
            return;
        if (opt.wait_for_noecho) {
            struct termios t;
            if (tcgetattr(master, &t) != 0 || (t.c_lflag & ECHO)) return;
        }
        write_all(master, answers);
        typed = true;
    };
    // The deadline only keeps a broken prompt from hanging the suite.
    int idle_rounds = 0;
    for (;;) {
        type_if_due();
        struct pollfd p = {master, POLLIN, 0};
        int n = poll(&p, 1, (typed ? 1000 : 5));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            if (++idle_rounds > 120 * (typed ? 1 : 200)) {
                kill(pid, SIGKILL);
                ADD_FAILURE() << "child did not finish; printed: " << run.printed;
                break;
            }
            continue;
        }
        if (!read_some(master, run.printed)) break;  // EIO: the child is gone
        std::size_t end = run.printed.find(kEndMarker);
        if (end != std::string::npos) {
            run.printed.erase(end);
            break;
        }
    }
    close(done[1]);
    std::string result;
    while (read_some(report[0], result)) {
    }
    close(report[0]);
    close(master);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.result = result;
    run.exited = WIFEXITED(status);
    if (run.exited) run.exit_code = WEXITSTATUS(status);
    return run;
}

std::string taken(char *s) {
    std::string r = s ? s : "(null)";
    std::free(s);
    return r;
}

// ---- A pty opened in the test child for the mode switches ----

struct Pty {
    int master = -1;
    int slave = -1;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
    struct termios get() const {
        struct termios t {};
        tcgetattr(slave, &t);
        return t;
    }
};

bool same_modes(const struct termios &a, const struct termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

const std::string kNotice =
    "*** Please note: This program is deprecated, ***\n"
    "*** and may disappear from future releases.  ***\n";

int count_of(const std::string &s, const std::string &what) {
    int n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
    return n;
}

}  // namespace

// ---- is_tty and the mode switches ----

TEST(Terminal, IsTtyTellsTerminalsFromPipes) {
    ChildResult r = in_child([] {
        Pty pty;
        int p[2];
        if (pipe(p) != 0) return;
        out(std::to_string(is_tty(pty.slave)) + std::to_string(is_tty(p[0])) +
            std::to_string(is_tty(-1)));
    });
    EXPECT_EQ(r.out, "100");
}

TEST(Terminal, NoEchoThenEchoTouchesOnlyEcho) {
    ChildResult r = in_child([] {
        Pty pty;
        struct termios before = pty.get();
        int a = tty_noecho(pty.slave);
        struct termios off = pty.get();
        int b = tty_echo(pty.slave);
        struct termios on = pty.get();
        struct termios expect_off = before;
        expect_off.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        struct termios expect_on = before;
        expect_on.c_lflag |= ECHO;
        out(std::to_string(a) + std::to_string(b) + std::to_string(same_modes(off, expect_off)) +
            std::to_string(same_modes(on, expect_on)) + std::to_string((before.c_lflag & ECHO) != 0));
    });
    EXPECT_EQ(r.out, "00111");
}

TEST(Terminal, ImmediateThenByLineRestoresMinAndTime) {
    ChildResult r = in_child([] {
        Pty pty;
        struct termios t = pty.get();
        t.c_cc[VMIN] = 7;
        t.c_cc[VTIME] = 3;
        tcsetattr(pty.slave, TCSANOW, &t);
        struct termios before = pty.get();
        int a = tty_immediate(pty.slave);
        struct termios now = pty.get();
        std::string s = std::to_string(a) + std::to_string((now.c_lflag & ICANON) != 0) + " " +
                        std::to_string(now.c_cc[VMIN]) + " " + std::to_string(now.c_cc[VTIME]);
        int b = tty_byline(pty.slave);
        now = pty.get();
        s += " " + std::to_string(b) + std::to_string(same_modes(now, before));
        out(s);
    });
    EXPECT_EQ(r.out, "00 1 0 01");
}

TEST(Terminal, ResetGoesBackToTheSettingBeforeTheFirstSwitch) {
    ChildResult r = in_child([] {
        Pty pty;
        struct termios before = pty.get();
        tty_noecho(pty.slave);
        tty_noecho(pty.slave);
        tty_immediate(pty.slave);
        int a = tty_reset(pty.slave);
        out(std::to_string(a) + std::to_string(same_modes(pty.get(), before)));
    });
    EXPECT_EQ(r.out, "01");
}

TEST(Terminal, ResetBeforeAnySwitchLeavesTheTerminalAlone) {
    ChildResult r = in_child([] {
        Pty pty;
        struct termios t = pty.get();
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(pty.slave, TCSANOW, &t);
        int a = tty_reset(pty.slave);
        out(std::to_string(a) + std::to_string((pty.get().c_lflag & ECHO) != 0));
    });
    EXPECT_EQ(r.out, "00");
}

TEST(Terminal, SwitchOnANonTerminalFailsAndLogs) {
    ChildResult r = in_child([] {
        int p[2];
        if (pipe(p) != 0) return;
        int a = tty_noecho(p[0]);
        int b = tty_byline(p[1]);
        std::string text = testsupport::elog_register_text();
        out(std::to_string(a) + std::to_string(b) + " " +
            std::to_string(text.find("Can't read terminal attributes\n") != std::string::npos) +
            " " +
            std::to_string(errno));
        testsupport::elog_reset_register();
    });
    EXPECT_EQ(r.out, "-1-1 1 0");
}

TEST(Terminal, FailedReadSavesNothing) {
    ChildResult r = in_child([] {
        Pty pty;
        int p[2];
        if (pipe(p) != 0) return;
        tty_noecho(p[0]);  // nothing to save from a pipe
        testsupport::elog_reset_register();
        struct termios before = pty.get();
        tty_noecho(pty.slave);
        tty_reset(pty.slave);
        out(std::to_string(same_modes(pty.get(), before)));
    });
    EXPECT_EQ(r.out, "1");
}

TEST(Terminal, SwitchesFromManyThreads) {
    ChildResult r = in_child([] {
        Pty pty;
        struct termios before = pty.get();
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; i++)
            threads.emplace_back([&pty, i] {
                for (int k = 0; k < 50; k++) {
                    if (i % 2) {
                        tty_noecho(pty.slave);
                        tty_echo(pty.slave);
                    } else {
                        tty_immediate(pty.slave);
                        tty_byline(pty.slave);
                    }
                }
            });
        for (auto &t : threads) t.join();
        tty_reset(pty.slave);
        out(std::to_string(same_modes(pty.get(), before)));
    });
    EXPECT_EQ(r.out, "1");
}

// ---- Questions ----

TEST(TerminalAsk, AsksOnTheTerminalAndReturnsTheLine) {
    PtyRun run = run_on_pty([] { return taken(ask((char *)"Name %d? ", 42)); }, "lamp\n");
    EXPECT_EQ(run.printed, "termtest: Name 42? ");
    EXPECT_EQ(run.result, "lamp");
}

TEST(TerminalAsk, EmptyQuestionWritesANewline) {
    PtyRun run = run_on_pty(
        [] {
            std::string first = taken(ask((char *)""));
            return first + "|" + taken(ask(nullptr));
        },
        "one\ntwo\n");
    EXPECT_EQ(run.printed, "termtest: \ntermtest: \n");
    EXPECT_EQ(run.result, "one|two");
}

TEST(TerminalAsk, WorksWithStandardStreamsRedirected) {
    // The child's standard input and output are /dev/null.
    PtyRun run = run_on_pty([] { return taken(ask((char *)"Go? ")); }, "ahead\n");
    EXPECT_EQ(run.printed, "termtest: Go? ");
    EXPECT_EQ(run.result, "ahead");
}

TEST(TerminalAsk, EndOfInputGivesAnEmptyAnswer) {
    PtyRun run = run_on_pty([] { return taken(ask((char *)"Q? ")); }, "\x04");
    EXPECT_EQ(run.printed, "termtest: Q? ");
    EXPECT_EQ(run.result, "");
}

TEST(TerminalAsk, LongLineIsCutAtTheBuffer) {
    std::string line(1500, 'x');
    PtyRun run = run_on_pty([] { return taken(ask((char *)"Q? ")); }, line + "\n");
    // 1023 characters read, the last of them removed.
    EXPECT_EQ(run.result, std::string(1022, 'x'));
}

TEST(TerminalAsk, WithoutATerminalDies) {
    ChildResult r = in_child([] {
        setsid();  // no controlling terminal any more
        char *s = ask((char *)"Q? ");
        out(s);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Can't open /dev/tty.\n"), std::string::npos) << r.err;
}

TEST(TerminalAsk, NoEchoReadsWithEchoOffAndRestoresIt) {
    PtyOptions opt;
    opt.echo = true;
    opt.wait_for_noecho = true;
    PtyRun run = run_on_pty(
        [] {
            std::string s = taken(asknoecho((char *)"Password for %s: ", "ops"));
            int fd = open("/dev/tty", O_RDWR);
            struct termios t;
            tcgetattr(fd, &t);
            close(fd);
            return s + "|" + std::to_string((t.c_lflag & ECHO) != 0);
        },
        "s3cret\n", opt);
    EXPECT_EQ(run.printed, "termtest: Password for ops: \n");
    EXPECT_EQ(run.result, "s3cret|1");
}

TEST(TerminalAsk, YesNoRingsTheBellAndAsksAgain) {
    PtyRun run = run_on_pty([] { return std::to_string(askyn((char *)"Proceed? ")); },
                            "maybe\nYES\n");
    EXPECT_EQ(run.printed,
              "termtest: Proceed? \007Please answer 'yes' or 'no'\ntermtest: Proceed? ");
    EXPECT_EQ(run.result, "1");
}

TEST(TerminalAsk, YesNoAnsweredNo) {
    PtyRun run = run_on_pty([] { return std::to_string(askyn((char *)"Proceed %s? ", "now")); },
                            "n\n");
    EXPECT_EQ(run.printed, "termtest: Proceed now? ");
    EXPECT_EQ(run.result, "0");
}

TEST(TerminalAsk, YesNoAtEndOfInputAnswersNo) {
    PtyRun run = run_on_pty([] { return std::to_string(askyn((char *)"Proceed? ")); }, "\x04");
    EXPECT_EQ(run.printed, "termtest: Proceed? ");
    EXPECT_EQ(run.result, "0");
}

TEST(TerminalAsk, AllAndQuitAreCaseSensitive) {
    PtyRun run = run_on_pty(
        [] {
            std::string s = std::to_string(askynaq((char *)"Delete? "));
            s += std::to_string(askynaq((char *)"Delete? "));
            s += std::to_string(askynaq((char *)"Delete? "));
            s += std::to_string(askynaq((char *)"Delete? "));
            s += std::to_string(askynaq((char *)"Delete? "));
            return s;
        },
        "ALL\nall\na\nq\nquit\ntrue\n");
    EXPECT_EQ(run.printed,
              "termtest: Delete? \007Please answer 'yes' or 'no'\ntermtest: Delete? "
              "termtest: Delete? termtest: Delete? termtest: Delete? termtest: Delete? ");
    EXPECT_EQ(run.result, "22331");
}

TEST(TerminalAsk, YesNoDoesNotKnowAll) {
    PtyRun run = run_on_pty([] { return std::to_string(askyn((char *)"Go? ")); }, "all\nno\n");
    EXPECT_EQ(run.printed, "termtest: Go? \007Please answer 'yes' or 'no'\ntermtest: Go? ");
    EXPECT_EQ(run.result, "0");
}

// ---- Banner and deprecation ----

namespace {

// The banner's first lines, the same for every call from this program.
struct BannerHead {
    std::string name;
    std::string when;  // "    <ctime>\n"
};

BannerHead banner_head() {
    BannerHead h;
    std::string path = getexecname();
    h.name = path.substr(path.rfind('/') + 1);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        char buf[64];
        time_t t = st.st_mtime;
        h.when = std::string("    ") + ctime_r(&t, buf) + "\n";
    }
    return h;
}

// Cuts the release block out of a banner; empty when it is malformed.
std::string cut_release(std::string &text) {
    const std::string start = "    Korvanel (contributed software)\n\tRelease ";
    std::size_t at = text.find(start);
    if (at == std::string::npos) return "";
    std::size_t end = text.find(" \n\n", at);
    if (end == std::string::npos) return "";
    std::string block = text.substr(at, end + 3 - at);
    text.erase(at, end + 3 - at);
    return block;
}

bool release_is_well_formed(const std::string &block) {
    // ... "<yyyy>-<mm>-<dd> \n\n" at its end.
    if (block.size() < 14) return false;
    std::string date = block.substr(block.size() - 13, 10);
    for (int i = 0; i < 10; i++) {
        bool dash = i == 4 || i == 7;
        if (dash ? date[i] != '-' : !std::isdigit(static_cast<unsigned char>(date[i])))
            return false;
    }
    return block[block.size() - 14] == ' ' && count_of(block, "\n") == 3;
}

}  // namespace

TEST(TerminalBanner, PrintsEveryPart) {
    ChildResult r = in_child([] {
        cbanner((char *)"1.2", (char *)"[-v] file", (char *)"A. Author",
                (char *)"Somewhere", (char *)"ops@example.org");
    });
    BannerHead h = banner_head();
    std::string err = r.err;
    std::string block = cut_release(err);
    EXPECT_TRUE(release_is_well_formed(block)) << block;
    EXPECT_EQ(err, h.name + " 1.2\n" + h.when + "  Usage: " + h.name + " [-v] file\n\n" +
                       "    A. Author\n    Somewhere\n\n" +
                       "    Please report problems to ops@example.org\n\n");
    EXPECT_EQ(r.out, "");
}

TEST(TerminalBanner, EmptyOrUnprintableTextsAreLeftOut) {
    ChildResult r = in_child([] {
        cbanner((char *)"", (char *)"", nullptr, (char *)"\tindented", (char *)"\001");
    });
    BannerHead h = banner_head();
    std::string err = r.err;
    std::string block = cut_release(err);
    EXPECT_TRUE(release_is_well_formed(block)) << block;
    EXPECT_EQ(err, h.when);
}

TEST(TerminalBanner, AllNullPrintsTheReleaseBlock) {
    ChildResult r = in_child([] { cbanner(nullptr, nullptr, nullptr, nullptr, nullptr); });
    BannerHead h = banner_head();
    std::string err = r.err;
    std::string block = cut_release(err);
    EXPECT_TRUE(release_is_well_formed(block)) << block;
    EXPECT_EQ(err, h.when);
}

TEST(TerminalDeprecate, NullGivesTheNoticeAlone) {
    ChildResult r = in_child([] { deprecate(nullptr); });
    EXPECT_NE(r.err.find(kNotice), std::string::npos) << r.err;
    EXPECT_EQ(count_of(r.err, "***"), 4) << r.err;
}

TEST(TerminalDeprecate, UnprintableAlternatesGiveTheNoticeAlone) {
    ChildResult r = in_child([] { deprecate((char *)""); });
    EXPECT_NE(r.err.find(kNotice), std::string::npos) << r.err;
    EXPECT_EQ(count_of(r.err, "***"), 4) << r.err;
}

TEST(TerminalDeprecate, NamesTheAlternates) {
    ChildResult r = in_child([] { deprecate((char *)"Use newtool instead."); });
    EXPECT_NE(r.err.find(kNotice + "\n*** Use newtool instead. ***\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(count_of(r.err, "***"), 6) << r.err;
}
