// Expansion of tag and debugger formats, and the debugger hook. Tags are
// expanded through the register (a log message with the tag under test).
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "scratch_dir.h"

using testsupport::ChildResult;
using testsupport::out;
using testsupport::as_int;
using testsupport::as_value;
using testsupport::elog_clear_environment;
using testsupport::elog_program_name;
using testsupport::elog_register_text;
using testsupport::read_file;
using testsupport::run_in_child;
using testsupport::ScratchDir;

namespace {

const std::string P = elog_program_name();

ChildResult in_child(const std::function<void()> &body) {
    return run_in_child([&] {
        elog_clear_environment();
        setenv("ELOG_WAIT", "0", 1);
        body();
    });
}

// The expansion of a tag format, as the log stores it (inside a child).
std::string expand(const std::string &format) {
    char *copy = strdup(format.c_str());
    elog_set(ELOG_TAG, 0, copy);
    elog_log(0, "x");
    std::string text = elog_register_text();
    elog_clear();
    const std::string tail = text == "x\n" ? "x\n" : ": x\n";
    return text.substr(0, text.size() - tail.size());
}

std::string local_time() {
    static const char *days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%3s %3s %2d %2d:%02d:%02d %4d", days[tm.tm_wday],
                  months[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  tm.tm_year + 1900);
    return buf;
}

std::string utc_time() {
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%03d %2d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_yday + 1, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

}  // namespace

TEST(ElogExpand, FixedItemsAndPercentSigns) {
    struct Case {
        const char *format;
        std::string expansion;
    };
    const std::vector<Case> cases = {
        {"%P", P},          {"<%P>", "<" + P + ">"}, {"%%P", "%P"}, {"100%%", "100%"},
        {"%", ""},          {"ab%", "ab"},           {"%q%Z", "qZ"}, {"plain", "plain"},
        {"", ""},
    };
    ChildResult r = in_child([&] {
        for (const Case &c : cases) out(expand(c.format) + "\n");
    });
    std::string expected;
    for (const Case &c : cases) expected += c.expansion + "\n";
    EXPECT_EQ(r.out, expected);
}

TEST(ElogExpand, ProcessThreadHostAndExecutable) {
    ChildResult r = in_child([] {
        char host[256];
        my_hostname(host);
        const std::string pid = std::to_string(getpid());
        const std::string tid = std::to_string(static_cast<int>(syscall(SYS_gettid)));
        out(std::to_string(expand("%p") == pid) + std::to_string(expand("%T") == tid) +
            std::to_string(expand("%h") == host) +
            std::to_string(expand("%r") == std::string(getexecname())) +
            std::to_string(expand("%P@%h:%p") == P + "@" + host + ":" + pid));
    });
    EXPECT_EQ(r.out, "11111");
}

TEST(ElogExpand, ArgumentsAfterTheFirst) {
    ChildResult r = in_child([] {
        out("[" + expand("%a") + "]");
        char a0[] = "prog", a1[] = "-v", a2[] = "some file";
        char *argv[] = {a0, a1, a2, nullptr};
        elog_init(3, argv);
        out("[" + expand("%a") + "]");
        out("[" + expand("%a|") + "]");
    });
    EXPECT_EQ(r.out, "[][-v some file ][-v some file |]");
}

TEST(ElogExpand, LocalAndUniversalTime) {
    ChildResult r = in_child([] {
        for (int i = 0; i < 2; i++) {
            std::string before = i ? utc_time() : local_time();
            std::string got = expand(i ? "%u" : "%t");
            std::string after = i ? utc_time() : local_time();
            out(got == before || got == after ? "ok\n" : "[" + got + "] vs [" + before + "]\n");
        }
    });
    EXPECT_EQ(r.out, "ok\nok\n");
}

TEST(ElogExpand, LongExpansionsStopAndAreMarked) {
    ChildResult r = in_child([] {
        std::string plain = expand(std::string(2000, 'a'));
        out(std::to_string(plain == std::string(924, 'a') + " *...") + "\n");
        // One item that does not fit is cut within the buffer, unmarked.
        std::string huge(3000, 'b');
        char a0[] = "prog";
        char *argv[] = {a0, huge.data(), nullptr};
        elog_init(2, argv);
        std::string args = expand("x%a");
        out(std::to_string(args.size()) + " " + std::to_string(args == "x" + std::string(1021, 'b')));
    });
    EXPECT_EQ(r.out, "1\n1022 1");
}

TEST(ElogDebugger, StartsTheCommandOnceWithItsExpansion) {
    ScratchDir dir;
    const std::string file = dir.file("started");
    ChildResult r = in_child([&] {
        std::string command = "echo %p > " + file;
        elog_set(ELOG_DEBUG, 4, strdup(command.c_str()));
        elog_debugger();
        out("returned " + std::to_string(getpid()) + "\n");
    });
    ASSERT_EQ(r.exit_code, 0);
    std::string pid = r.out.substr(std::strlen("returned "));
    pid.pop_back();
    EXPECT_EQ(read_file(file), pid + "\n");
    EXPECT_EQ(r.err, "Running debugger: 'echo " + pid + " > " + file + "'\n");
}

TEST(ElogDebugger, NothingWithoutAFaultDebugger) {
    ChildResult r = in_child([] {
        elog_init(0, nullptr);
        elog_debugger();
        elog_set(ELOG_DEBUG, 4, const_cast<char *>(""));
        elog_debugger();
        out("returned");
    });
    EXPECT_EQ(r.out, "returned");
    EXPECT_EQ(r.err, "");
}

TEST(ElogDebugger, ACommandThatFailsIsFatal) {
    ChildResult r = in_child([] {
        elog_log(0, "waiting");
        elog_set(ELOG_DEBUG, 4, const_cast<char *>("exit 3"));
        elog_debugger();
        out("returned");
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Running debugger: 'exit 3'\nCan't run debugger 'exit 3'\n" + P +
                         ": waiting\n");
}

TEST(ElogDebugger, RunsAfterTheMessageOfItsSeverity) {
    ScratchDir dir;
    const std::string file = dir.file("hit");
    ChildResult r = in_child([&] {
        setenv("ELOG_DEBUG", ("echo hit >> " + file + "@c").c_str(), 1);
        elog_notify(0, "no debugger");
        elog_complain(0, "with debugger");
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(file), "hit\n");
    EXPECT_EQ(r.err, P + ": no debugger\n" + P + ": with debugger\nRunning debugger: 'echo hit >> " +
                         file + "'\n");
}

TEST(ElogDebugger, LaterCallsStopTheProcessForTheDebugger) {
    ChildResult r = in_child([] {
        pid_t pid = fork();
        if (pid == 0) {
            elog_set(ELOG_DEBUG, 4, const_cast<char *>("true"));
            elog_debugger();  // starts "true"
            elog_debugger();  // stops with SIGSTOP
            _exit(7);
        }
        int status = 0;
        waitpid(pid, &status, WUNTRACED);
        out(WIFSTOPPED(status) && WSTOPSIG(status) == SIGSTOP ? "stopped\n" : "not stopped\n");
        kill(pid, SIGCONT);
        waitpid(pid, &status, 0);
        out(WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) + "\n" : "killed\n");
    });
    EXPECT_EQ(r.out, "stopped\nexit 7\n");
    EXPECT_EQ(r.err, "Running debugger: 'true'\n");
}
