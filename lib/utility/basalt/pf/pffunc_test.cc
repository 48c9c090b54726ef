// Deferred-function values of parameter files: pfinterpret with every
// evaluator, the evaluation limits, and pfprompt.
#include "pf.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "arrays.h"
#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "pf_fixture.h"
#include "scratch_dir.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

Pf *child(Pf *pf, const char *key) { return static_cast<Pf *>(getarr(pf->value.arr, key)); }

// Sets a file's modification time, so that a reread sees a change without
// waiting for the clock.
void set_mtime(const std::string &path, long seconds) {
    struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
}

class PfFunc : public testsupport::PfScratchTest {
  protected:
    Pf *read(const char *name) {
        Pf *pf = nullptr;
        EXPECT_EQ(pfread(name, &pf), 0) << name;
        return keep(pf);
    }
    // The kind and text that pfget gives for key.
    std::string value(Pf *pf, const char *key) {
        void *v = nullptr;
        int kind = pfget(pf, key, &v);
        if (kind == SCALAR_PF) return std::string("1:") + static_cast<char *>(v);
        Pf *node = static_cast<Pf *>(v);
        bool has_text = kind == INVALID_PF || kind == -1;
        std::string text = node && has_text && node->value.s ? node->value.s : "";
        return std::to_string(kind) + ":" + text;
    }
};

// ---- Commands ----

TEST_F(PfFunc, CommandOutput) {
    Pf *pf = compile(
        "hello &exec(echo hello)\n"
        "two &exec(printf 'a\\n\\n')\n"
        "none &exec(true)\n"
        "bad &exec(false)\n"
        "partial &exec(echo out; exit 3)\n"
        "quoted &exec(echo 'a  b' # not a comment here)\n");
    EXPECT_EQ(value(pf, "hello"), "1:hello");
    EXPECT_EQ(value(pf, "two"), "1:a\n");
    EXPECT_EQ(value(pf, "none"), "1:");
    EXPECT_EQ(value(pf, "bad"), "-1:");
    EXPECT_EQ(value(pf, "partial"), "-1:out");
    EXPECT_EQ(value(pf, "quoted"), "1:a  b");
}

TEST_F(PfFunc, LongCommandOutput) {
    Pf *pf = compile("n &exec(seq 1 3000)\n");
    std::string expected;
    for (int i = 1; i <= 3000; i++) expected += std::to_string(i) + (i < 3000 ? "\n" : "");
    EXPECT_EQ(std::string(pfget_string(pf, "n")), expected);
}

TEST_F(PfFunc, CommandsSeeReferencesReplaced) {
    Pf *pf = compile("word there\ncmd &exec(echo hi &word)\n");
    EXPECT_STREQ(pfget_string(pf, "cmd"), "hi there");
}

TEST_F(PfFunc, FailedCommandIsAWrongKind) {
    ChildResult r = in_child([] {
        Pf *pf = nullptr;
        pfcompile("bad &exec(false)\n", &pf);
        pf->filename = const_cast<char *>("cmd.pf");
        pfget_string(pf, "bad");
        out("returned");
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, P() +
                         " *fatal*: wrong parameter type for 'bad' : expected scalar but got "
                         "pf-function in 'cmd.pf'\n");
}

TEST_F(PfFunc, TextsFromFilesNeverBecomeCommands) {
    std::string marker = dir_.file("ran");
    std::string text = "v &exec(echo '&exec(touch " + marker + ")')\nw x&v\n" +
                       "e &env(PFFUNC_TEST_CMD)\nf y&e\n";
    setenv("PFFUNC_TEST_CMD", ("&exec(touch " + marker + ")").c_str(), 1);
    Pf *pf = compile(text);
    EXPECT_EQ(std::string(pfget_string(pf, "v")), "&exec(touch " + marker + ")");
    EXPECT_EQ(std::string(pfget_string(pf, "w")), "x&exec(touch " + marker + ")");
    EXPECT_EQ(std::string(pfget_string(pf, "e")), "&exec(touch " + marker + ")");
    EXPECT_EQ(std::string(pfget_string(pf, "f")), "y&exec(touch " + marker + ")");
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
    unsetenv("PFFUNC_TEST_CMD");
}

// ---- Environment, glob, undef, unknown functions ----

TEST_F(PfFunc, EnvironmentValues) {
    setenv("PFFUNC_TEST_VAR", "value of it", 1);
    unsetenv("PFFUNC_NO_SUCH_VARIABLE");
    Pf *pf = compile("v &env(PFFUNC_TEST_VAR)\nnone &env(PFFUNC_NO_SUCH_VARIABLE)\n");
    EXPECT_STREQ(pfget_string(pf, "v"), "value of it");
    EXPECT_STREQ(pfget_string(pf, "none"), "");
    // Evaluated at every lookup.
    setenv("PFFUNC_TEST_VAR", "changed", 1);
    EXPECT_STREQ(pfget_string(pf, "v"), "changed");
    unsetenv("PFFUNC_TEST_VAR");
}

TEST_F(PfFunc, GlobLists) {
    write_file(dir_.file("b.txt"), "");
    write_file(dir_.file("a.txt"), "");
    write_file(dir_.file("c.dat"), "");
    Pf *pf = compile("txt &glob(" + dir_.path() + "/*.txt)\nnone &glob(/nonexistent/*)\n");
    Tbl *t = pfget_tbl(pf, "txt");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(maxtbl(t), 2);
    EXPECT_EQ(std::string(static_cast<char *>(gettbl(t, 0))), dir_.file("a.txt"));
    EXPECT_EQ(std::string(static_cast<char *>(gettbl(t, 1))), dir_.file("b.txt"));
    freetbl(t, nullptr);
    t = pfget_tbl(pf, "none");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(maxtbl(t), 0);
    freetbl(t, nullptr);
}

TEST_F(PfFunc, UndefIsAbsent) {
    Pf *pf = compile("x &undef()\n");
    EXPECT_EQ(pfget_string(pf, "x"), nullptr);
    EXPECT_EQ(value(pf, "x"), "5:");
    Pf *found = reinterpret_cast<Pf *>(1);
    EXPECT_EQ(pfresolve(pf, "x", 0, &found), FUNCTION_PF);
    EXPECT_EQ(found, nullptr);
    ChildResult r = in_child([] {
        Pf *tree = nullptr;
        pfcompile("x &undef()\n", &tree);
        pfget_int(tree, "x");
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, P() + " *fatal*: program needs value for 'x', not found in parameter file ''\n");
}

TEST_F(PfFunc, UnknownFunctionIsInvalid) {
    setenv("USER_LIBRARY", dir_.file("no-such-library.so").c_str(), 1);
    Pf *pf = compile("w &nosuchfunction(1)\n");
    Pf *w = child(pf, "w");
    Pf *result = pfinterpret(w);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->type, INVALID_PF);
    EXPECT_EQ(result->value.s, nullptr);
    EXPECT_EQ(w->value.pffunct->pf, result) << "the function node keeps its result";
    EXPECT_EQ(value(pf, "w"), "5:");
    ChildResult r = in_child([] {
        Pf *tree = nullptr;
        pfcompile("w &nosuchfunction(1)\n", &tree);
        pfget_string(tree, "w");
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, P() + " *fatal*: program needs value for 'w', not found in parameter file ''\n");
    unsetenv("USER_LIBRARY");
}

TEST_F(PfFunc, InterpretOfOtherNodes) {
    Pf *pf = compile("s x\n");
    EXPECT_EQ(pfinterpret(nullptr), nullptr);
    EXPECT_EQ(pfinterpret(child(pf, "s")), child(pf, "s"));
}

// ---- Files ----

TEST_F(PfFunc, FilesBesideTheParameterFile) {
    std::string sub = dir_.file("conf");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir_.file("elsewhere").c_str(), 0755), 0);
    write_file(sub + "/notes.txt", "notes\nsecond line\n");
    write_file(dir_.file("abs.txt"), "absolute");
    write_file(sub + "/empty.txt", "");
    write_file(sub + "/zero.bin", std::string("be\0fore", 7));
    write_file(sub + "/x.pf",
               "text &file(notes.txt)\n"
               "abs &file(" + dir_.file("abs.txt") + ")\n"
               "env &file($PFFUNCDIR/abs.txt) # comment\n"
               "empty &file(empty.txt)\n"
               "zero &file(zero.bin)\n"
               "missing &file(missing.txt)\n"
               "name &filename(notes.txt)\n"
               "envname &filename(${PFFUNC_DIR}/x)\n");
    setenv("PFFUNC_DIR", dir_.path().c_str(), 1);
    setenv("PFFUNCDIR", dir_.path().c_str(), 1);
    setenv("PFPATH", sub.c_str(), 1);
    ASSERT_EQ(chdir(dir_.file("elsewhere").c_str()), 0);
    int mark = elog_mark();
    Pf *pf = read("x");
    EXPECT_STREQ(pfget_string(pf, "text"), "notes\nsecond line\n");
    EXPECT_STREQ(pfget_string(pf, "abs"), "absolute");
    EXPECT_STREQ(pfget_string(pf, "env"), "absolute");
    EXPECT_STREQ(pfget_string(pf, "empty"), "");
    EXPECT_STREQ(pfget_string(pf, "zero"), "be");
    std::string missing = pfget_string(pf, "missing");
    EXPECT_EQ(missing.rfind("** " + P() + ": Couldn't open " + sub + "/missing.txt", 0), 0u)
        << missing;
    EXPECT_EQ(std::string(pfget_string(pf, "name")), sub + "/notes.txt");
    EXPECT_EQ(std::string(pfget_string(pf, "envname")), dir_.file("x"));
    EXPECT_EQ(elog_mark(), mark) << "nothing stays in the register";
    unsetenv("PFFUNC_DIR");
    unsetenv("PFFUNCDIR");
}

TEST_F(PfFunc, FilesOfAParameterFileAtTheRoot) {
    // A file directly under "/" has "/" as its directory.
    Pf *pf = compile("name &filename(etc/hostname)\n");
    Pf *f = child(pf, "name");
    ASSERT_NE(f->value.pffunct->hook, nullptr);
    char *saved = static_cast<char *>(f->value.pffunct->hook->p);
    f->value.pffunct->hook->p = strdup("/top.pf");
    EXPECT_STREQ(pfget_string(pf, "name"), "/etc/hostname");
    std::free(f->value.pffunct->hook->p);
    f->value.pffunct->hook->p = saved;
}

TEST_F(PfFunc, FilesOfCompiledTextAndOfHooklessNodes) {
    write_file(dir_.file("here.txt"), "here");
    Pf *pf = compile("h &file(here.txt)\n");
    EXPECT_STREQ(pfget_string(pf, "h"), "here");
    Pf *e = pfnew(FILE_PF);
    pfput(e, "h", const_cast<char *>("&file(here.txt)"), FUNCTION_PF);
    pfput(e, "n", const_cast<char *>("&filename(here.txt)"), FUNCTION_PF);
    EXPECT_STREQ(pfget_string(e, "h"), "here");
    EXPECT_STREQ(pfget_string(e, "n"), "here.txt");
    pffree(e);
}

TEST_F(PfFunc, DataFiles) {
    std::string data = dir_.file("data");
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    write_file(data + "/table", "contents");
    setenv("DATAPATH", data.c_str(), 1);
    int mark = elog_mark();
    Pf *pf = compile(
        "d &datafile(table)\n"
        "missing &datafile(nothing)\n"
        "n &datafilename(table)\n"
        "none &datafilename(nothing)\n");
    EXPECT_STREQ(pfget_string(pf, "d"), "contents");
    EXPECT_STREQ(pfget_string(pf, "missing"), "** no datafile 'nothing' found");
    EXPECT_EQ(std::string(pfget_string(pf, "n")), data + "/table");
    EXPECT_STREQ(pfget_string(pf, "none"), "");
    EXPECT_EQ(elog_mark(), mark);
    unsetenv("DATAPATH");
}

// ---- References to other parameter files ----

TEST_F(PfFunc, ReferencesReadAndRereadTheOtherFile) {
    std::string other = dir_.file("pffunc_other.pf");
    write_file(other, "a &Arr{\nb first\n}\nl &Tbl{\nx\n}\n");
    set_mtime(other, 1000000000);
    Pf *pf = compile(
        "v &ref(pffunc_other, a{b})\n"
        "spaced &ref( pffunc_other ,  a{ b } )\n"
        "whole &ref(pffunc_other)\n"
        "list &ref(pffunc_other, l)\n");
    EXPECT_STREQ(pfget_string(pf, "v"), "first");
    EXPECT_STREQ(pfget_string(pf, "spaced"), "first");
    EXPECT_EQ(value(pf, "whole"), "0:");
    Tbl *t = pfget_tbl(pf, "list");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(maxtbl(t), 1);
    freetbl(t, nullptr);

    write_file(other, "a &Arr{\nb second\n}\n");
    set_mtime(other, 1000000100);
    EXPECT_STREQ(pfget_string(pf, "v"), "second");
}

TEST_F(PfFunc, ReferenceFailures) {
    write_file(dir_.file("pffunc_bad.pf"), "inv &nosuch(1)\nfail &exec(false)\nok fine\n");
    setenv("USER_LIBRARY", dir_.file("no-such-library.so").c_str(), 1);
    Pf *pf = compile(
        "empty &ref(, a)\n"
        "unknown &ref(pffunc_bad, nokey)\n"
        "nofile &ref(pffunc_no_such_file, a)\n"
        "inv &ref(pffunc_bad, inv)\n"
        "fail &ref(pffunc_bad, fail)\n"
        "ok &ref(pffunc_bad, ok) # a comment\n");
    EXPECT_EQ(value(pf, "empty"), "5:** missing pf name in reference: '&ref(, a)' **");
    EXPECT_EQ(value(pf, "unknown"), "5:** reference not resolved: '&ref(pffunc_bad, nokey)' **");
    EXPECT_EQ(value(pf, "nofile"),
              "5:** reference not resolved: '&ref(pffunc_no_such_file, a)' **");
    EXPECT_EQ(value(pf, "inv"), "5:");
    EXPECT_EQ(value(pf, "fail"), "-1:");
    EXPECT_EQ(value(pf, "ok"), "1:fine");
    unsetenv("USER_LIBRARY");
}

TEST_F(PfFunc, ReferenceWithoutClosingParenthesisAfterExpansion) {
    // "&{k)" names the key "k)" up to the end of the text; its value leaves
    // the function text without a ")".
    Pf *pf = compile("k) pffunc_none, a\nv &ref(&{k)\n");
    EXPECT_EQ(value(pf, "v"), "5:** reference not resolved: '&ref(pffunc_none, a' **");
}

TEST_F(PfFunc, ReferenceCyclesEndInsteadOfRecursing) {
    write_file(dir_.file("pffunc_cycle.pf"), "a &ref(pffunc_cycle, b)\nb &ref(pffunc_cycle, a)\n");
    Pf *pf = compile("v &ref(pffunc_cycle, a)\n");
    EXPECT_STREQ(pfget_string(pf, "v"), "pf recursion too deep");
    EXPECT_STREQ(pfget_string(pf, "v"), "pf recursion too deep");
}

TEST_F(PfFunc, ReferencesFromSeveralThreads) {
    write_file(dir_.file("pffunc_shared.pf"), "a &Arr{\nb shared\n}\n");
    constexpr int kThreads = 4;
    std::vector<Pf *> trees;
    for (int i = 0; i < kThreads; i++) trees.push_back(compile("v &ref(pffunc_shared, a{b})\n"));
    std::vector<int> bad(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 100; n++) {
                char *v = pfget_string(trees[static_cast<std::size_t>(i)], "v");
                if (v == nullptr || std::strcmp(v, "shared") != 0) bad[static_cast<std::size_t>(i)]++;
            }
        });
    }
    for (auto &t : threads) t.join();
    for (int b : bad) EXPECT_EQ(b, 0);
}

TEST_F(PfFunc, ResultsAreReplacedAtEveryLookup) {
    setenv("PFFUNC_TEST_VAR", "one", 1);
    Pf *pf = compile("v &env(PFFUNC_TEST_VAR)\n");
    Pf *v = child(pf, "v");
    Pf *first = pfinterpret(v);
    EXPECT_EQ(v->value.pffunct->pf, first);
    EXPECT_STREQ(first->value.s, "one");
    EXPECT_EQ(first->parent, nullptr);
    Pf *second = pfinterpret(v);
    EXPECT_EQ(v->value.pffunct->pf, second);
    EXPECT_STREQ(second->value.s, "one");
    unsetenv("PFFUNC_TEST_VAR");
}

// ---- Prompts ----

std::vector<std::string> prompts;
char *answering(char *prompt) {
    prompts.emplace_back(prompt);
    return strdup("typed");
}

TEST_F(PfFunc, PromptTexts) {
    ASSERT_EQ(pfconfig("ask", reinterpret_cast<void *>(answering)), 0);
    const struct {
        const char *text;
        const char *prompt;
    } cases[] = {
        {"&ask(Your name)", "Your name"},
        {"&ask(Your name", ""},
        {"&ask(a(b)c)", "a(b"},
        {"&ask() # Who are you", " Who are you"},
        {"&ask()", ""},
        {"&ask() # with (parens)", " with (parens"},
        {"&ask", "&ask"},
        {"&askme)", "&askme"},
        {"plain", "plain"},
        {"", ""},
    };
    for (const auto &c : cases) {
        prompts.clear();
        char *answer = pfprompt(c.text);
        ASSERT_NE(answer, nullptr);
        EXPECT_STREQ(answer, "typed");
        std::free(answer);
        ASSERT_EQ(prompts.size(), 1u) << c.text;
        EXPECT_EQ(prompts[0], c.prompt) << c.text;
    }
    prompts.clear();
    Pf *pf = compile("name &ask(Your name) \n");
    EXPECT_STREQ(pfget_string(pf, "name"), "typed");
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0], "Your name");
    ASSERT_EQ(pfconfig("ask", nullptr), 0);
}

// In a child with a new session whose controlling terminal is a
// pseudo-terminal: writes `input` on the terminal, asks, and reports the
// answer and what appeared on the terminal.
std::string ask_on_a_terminal(const char *text, const std::string &input,
                              std::size_t prompt_length) {
    ChildResult r = in_child([&] {
        if (setsid() < 0) return out("setsid failed");
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return out("no pty");
        int slave = open(ptsname(master), O_RDWR);  // becomes the controlling terminal
        if (slave < 0) return out("no slave");
        struct termios t;
        tcgetattr(slave, &t);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(slave, TCSANOW, &t);
        if (write(master, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
            return out("write failed");
        char *answer = pfprompt(text);
        std::string shown;
        while (shown.size() < prompt_length) {
            char buf[64];
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            shown.append(buf, static_cast<std::size_t>(n));
        }
        out(std::string(answer) + "|" + shown);
        std::free(answer);
    });
    return r.out + r.err;
}

TEST_F(PfFunc, PromptOnTheTerminal) {
    EXPECT_EQ(ask_on_a_terminal("&ask(Your name)", "Alice\n", 12), "Alice|Your name : ");
    // The end of the input without a newline keeps the last character.
    EXPECT_EQ(ask_on_a_terminal("&ask(Q)", "Bob\x04\x04", 4), "Bob|Q : ");
    // The end of the input at once gives the empty answer.
    EXPECT_EQ(ask_on_a_terminal("&ask(Q)", "\x04", 4), "|Q : ");
    // A long line is cut at 1023 characters.
    std::string longline(1500, 'z');
    EXPECT_EQ(ask_on_a_terminal("&ask(Q)", longline.substr(0, 1200) + "\n", 4),
              std::string(1023, 'z') + "|Q : ");
}

TEST_F(PfFunc, PromptWithoutATerminalEndsTheProgram) {
    ChildResult r = in_child([] {
        if (setsid() < 0) return out("setsid failed");
        char *answer = pfprompt("&ask(Q)");
        out(answer);
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(P() + " *fatal*: Can't open /dev/tty for prompt.\n", 0), 0u) << r.err;
}

}  // namespace
