// Running commands (runcmd, check_cmd, my_system) and the login check.
#include "commands.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "elog_capture.h"
#include "scratch_dir.h"

using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

namespace {

char *cs(const std::string &s) { return const_cast<char *>(s.c_str()); }

void script(const std::string &path, const std::string &body) {
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

std::string run(std::initializer_list<std::string> words, int *status) {
    std::vector<char *> argv;
    for (const std::string &w : words) argv.push_back(cs(w));
    argv.push_back(nullptr);
    char *result = nullptr;
    *status = runcmd(argv.data(), &result);
    std::string text = result ? result : "<null>";
    std::free(result);
    return text;
}

TEST(Runcmd, CapturesOutputAndStatus) {
    ScratchDir dir;
    script(dir.file("big"), "i=0; while [ $i -lt 500 ]; do echo 0123456789; i=$((i+1)); done; echo tail >&2; exit 3\n");
    script(dir.file("quiet"), "exit 0\n");
    script(dir.file("reader"), "cat; echo done\n");
    int status = 0;
    std::string big = run({dir.file("big")}, &status);
    EXPECT_EQ(status, 3);
    std::string expect;
    for (int i = 0; i < 500; i++) expect += "0123456789\n";
    EXPECT_EQ(big, expect + "tail\n");
    EXPECT_EQ(run({dir.file("quiet")}, &status), "");
    EXPECT_EQ(status, 0);
    // A program reading its standard input meets its end at once.
    EXPECT_EQ(run({dir.file("reader")}, &status), "done\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run({"/bin/echo", "a b", "c"}, &status), "a b c\n");
}

TEST(Runcmd, UnstartableProgramReportsExecFailure) {
    int status = 0;
    EXPECT_EQ(run({"/nonexistent/prog", "x"}, &status),
              "Couldn't exec /nonexistent/prog\n");
    EXPECT_EQ(status, 1);
}

TEST(Runcmd, SignalEndIsAFailure) {
    ScratchDir dir;
    script(dir.file("killed"), "echo before; kill -9 $$\n");
    int status = 0;
    EXPECT_EQ(run({dir.file("killed")}, &status), "before\n");
    EXPECT_EQ(status, 128 + SIGKILL);
}

TEST(CheckCmd, FindsAlongThePath) {
    ScratchDir one, two;
    script(two.file("prog"), "exit 0\n");
    std::string path = one.path() + ":" + two.path();
    auto r = in_child([&] {
        setenv("TRIP_TEST_PATH", path.c_str(), 1);
        out(std::to_string(check_cmd(cs("prog -x &"), cs("TRIP_TEST_PATH"))));
        out(std::to_string(check_cmd(cs(two.file("prog") + "&"), nullptr)));
    });
    EXPECT_EQ(r.out, "00");
    EXPECT_EQ(r.err, "");
}

TEST(CheckCmd, NotFoundPrintsCandidateAndPath) {
    ScratchDir one, two;
    std::string path = one.path() + ":" + two.path();
    auto r = in_child([&] {
        setenv("TRIP_TEST_PATH", path.c_str(), 1);
        out(std::to_string(check_cmd(cs("nosuch arg"), cs("TRIP_TEST_PATH"))));
    });
    EXPECT_EQ(r.out, "-1");
    EXPECT_EQ(r.err, "check_cmd: cmd   = " + two.path() + "/nosuch\n" +
                         "check_cmd: paths = " + one.path() + "\n");
    r = in_child([&] {
        out(std::to_string(check_cmd(cs("nosuch-here"), nullptr)));
    });
    EXPECT_EQ(r.out, "-1");
    EXPECT_EQ(r.err, "check_cmd: cmd   = nosuch-here\ncheck_cmd: paths = \n");
}

TEST(CheckCmd, NotRunnableAndBusy) {
    ScratchDir dir;
    write_file(dir.file("plain"), "data\n");
    chmod(dir.file("plain").c_str(), 0644);
    chmod(dir.path().c_str(), 0755);
    auto r = in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) std::_Exit(91);
        out(std::to_string(check_cmd(cs(dir.file("plain")), nullptr)));
    });
    EXPECT_EQ(r.out, "-2");

    // A program being executed right now.
    std::string busy = dir.file("busy");
    write_file(busy, read_file("/bin/sleep"));
    chmod(busy.c_str(), 0755);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(busy.c_str(), "busy", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Wait until the exec has happened.
    std::string exe;
    for (int i = 0; i < 2000 && exe != busy; i++) {
        char buf[4096];
        ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(),
                             buf, sizeof buf);
        exe = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
        if (exe != busy) usleep(5000);
    }
    int code = check_cmd(cs(busy), nullptr);
    int code_shared = 0;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    (void)code_shared;
    ASSERT_EQ(exe, busy);
    EXPECT_EQ(code, -3);
}

TEST(MySystem, BackgroundWithRedirectedOutput) {
    ScratchDir dir;
    script(dir.file("args"), "printf '[%s]' \"$@\"\n");
    std::string outfile = dir.file("out");
    int core = -1, sig = -1;
    int pid = my_system(cs(dir.file("args") + " a b >" + outfile + " &  "), 0,
                        &core, &sig);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(outfile), "[a][b]");
    EXPECT_EQ(core, -1);
    EXPECT_EQ(sig, -1);
}

TEST(MySystem, WordsQuotesAndBaseName) {
    ScratchDir dir;
    script(dir.file("args"), "printf '[%s]' \"$@\"\n");
    auto r = in_child([&] {
        int core = -1, sig = -1;
        int rc = my_system(cs(dir.file("args") + " a b > " + dir.file("o")), 0,
                           &core, &sig);
        out("|" + std::to_string(rc) + std::to_string(core) + std::to_string(sig));
        std::fflush(stdout);
        rc = my_system(cs(dir.file("args") + " x  \"hello big world\" y"), 0,
                       nullptr, nullptr);
        out("|" + std::to_string(rc));
        std::fflush(stdout);
        // The program receives its base name as argument 0 (the shell may
        // be running elsewhere right now, so it is shared).
        rc = my_system(cs("/bin/sh -c \"cat /proc/$$/cmdline; echo\" a b"), 1,
                       nullptr, nullptr);
        out("|" + std::to_string(rc));
    });
    EXPECT_EQ(r.out, "[a][b][" + dir.file("o") + "]|000[x][hello big world][y]|0"
                     "sh" + std::string(1, '\0') + "-c" + std::string(1, '\0') +
                     "cat /proc/$$/cmdline; echo" + std::string(1, '\0') + "a" +
                     std::string(1, '\0') + "b" + std::string(1, '\0') + "\n|0");
    struct stat st;
    EXPECT_NE(stat(dir.file("o").c_str(), &st), 0);
}

TEST(MySystem, RedirectionsAndStatus) {
    ScratchDir dir;
    script(dir.file("filter"), "cat; echo oops >&2; exit 4\n");
    write_file(dir.file("in"), "input\n");
    write_file(dir.file("out"), "old\n");
    write_file(dir.file("err"), "olderr\n");
    std::string cmd = dir.file("filter") + " <" + dir.file("in") + " >>" +
                      dir.file("out") + " 2>" + dir.file("err");
    EXPECT_EQ(my_system(cs(cmd), 0, nullptr, nullptr), 4);
    EXPECT_EQ(read_file(dir.file("out")), "old\ninput\n");
    EXPECT_EQ(read_file(dir.file("err")), "oops\n");
    cmd = dir.file("filter") + " <" + dir.file("in") + " >" + dir.file("out") +
          " 2>>" + dir.file("err");
    EXPECT_EQ(my_system(cs(cmd), 0, nullptr, nullptr), 4);
    EXPECT_EQ(read_file(dir.file("out")), "input\n");
    EXPECT_EQ(read_file(dir.file("err")), "oops\noops\n");
    struct stat st;
    ASSERT_EQ(stat(dir.file("out").c_str(), &st), 0);
}

TEST(MySystem, FailureCodes) {
    ScratchDir dir;
    script(dir.file("prog"), "exit 0\n");
    script(dir.file("killed"), "kill -9 $$\n");
    struct Case {
        std::string command;
        int rc;
        std::string err;
    };
    const Case cases[] = {
        {dir.file("prog") + " <missing", -5,
         "my_system: Could not open standard input file missing.\n"},
        {dir.file("prog") + " >" + dir.file("no/such"), -5,
         "my_system: Could not open standard output file " + dir.file("no/such") + ".\n"},
        {dir.file("prog") + " 2>>" + dir.file("no/such"), -5,
         "my_system: Could not open standard error file " + dir.file("no/such") + ".\n"},
        {dir.file("nothere") + " x", -1,
         "check_cmd: cmd   = " + dir.path() + "/" + dir.file("nothere") + "\n"},
    };
    for (const Case &c : cases) {
        auto r = in_child([&] {
            setenv("PATH", dir.path().c_str(), 1);
            out(std::to_string(my_system(cs(c.command), 0, nullptr, nullptr)));
        });
        EXPECT_EQ(r.out, std::to_string(c.rc)) << c.command;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.command;
    }
    int core = -1, sig = -1;
    EXPECT_EQ(my_system(cs(dir.file("killed")), 0, &core, &sig), -8);
    EXPECT_EQ(sig, SIGKILL);
    EXPECT_EQ(core, 0);
}

class Wardcheck : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir(root_.file("bin").c_str(), 0755);
        std::string body =
            "if [ $# -eq 0 ]; then echo alice; exit 0; fi\n"
            "[ \"$1\" = alice ] && exit 0\n"
            "[ \"$1\" = killme ] && kill -9 $$\n"
            "exit 2\n";
        script(root_.file("bin/wardcheck"), body);
        script(root_.file("bin/xwardcheck"),
               "if [ $# -eq 0 ]; then echo abcdefghijklmnopqrstuvwxyz; exit 0; fi\nexit 5\n");
    }
    ScratchDir root_;
};

TEST_F(Wardcheck, ChecksAndAsks) {
    auto r = in_child([&] {
        setenv("KORVANEL", root_.path().c_str(), 1);
        char user[16];
        std::memset(user, 'z', sizeof user);
        user[0] = '\0';
        out(std::to_string(wardcheck(user)) + "[" + user + "]");
        bool padded = true;
        for (int i = 5; i < 16; i++) padded = padded && user[i] == '\0';
        out(padded ? "p" : "u");
        char alice[] = "alice", bob[] = "bob", killme[] = "killme";
        out(std::to_string(wardcheck(alice)));
        out(std::to_string(wardcheck(bob)));
        out(std::to_string(wardcheck(nullptr)));
        out(std::to_string(wardcheck(killme)));
        char longname[16];
        longname[0] = '\0';
        out(std::to_string(xwardcheck(longname)) + "[" + longname + "]");
        out(std::to_string(xwardcheck(alice)));
    });
    EXPECT_EQ(r.out, "0[alice]p020" + std::to_string(128 + SIGKILL) +
                         "0[abcdefghijklmno]5");
}

}  // namespace
