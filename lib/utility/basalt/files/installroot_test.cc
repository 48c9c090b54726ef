// The installation root, expansion of environment references, and the
// environment setters and printer. The root is fixed once per process, so
// every test that looks at it runs in a forked child.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "scratch_dir.h"

using testsupport::ChildResult;
using testsupport::out;
using testsupport::read_file;
using testsupport::run_in_child;
using testsupport::ScratchDir;
using testsupport::write_file;

namespace fs = std::filesystem;

extern char **environ;

namespace {

const char kDefaultRoot[] = "/opt/korvanel/7.2.3";
const char kNoNamespace[] = "no private mount namespace\n";
const std::string P = testsupport::elog_program_name();

// In a child: gives the child its own, empty /opt (a tmpfs seen by this
// process alone), so that the default root and the release directories
// are what the test makes them. False (after saying so on standard output)
// where mount namespaces are not available.
bool private_opt() {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/opt", "tmpfs", 0, nullptr) != 0) {
        out(kNoNamespace);
        return false;
    }
    return true;
}

bool skipped(const ChildResult &r) { return r.out == kNoNamespace; }

void make_dirs(const std::vector<std::string> &dirs) {
    for (const std::string &d : dirs) fs::create_directories(d);
}

std::string root() { return getkorvanel(); }

std::string env(const char *name) {
    const char *v = std::getenv(name);
    return v ? std::string("[") + v + "]" : "unset";
}

// Runs a copy of this test binary placed at `exec_path` in a child with its
// own empty /opt and without KORVANEL; returns the root the copy found.
std::string root_of_copy_at(const std::string &exec_path) {
    fs::create_directories(fs::path(exec_path).parent_path());
    fs::copy_file(getexecname(), exec_path);
    ChildResult r = run_in_child([&] {
        if (!private_opt()) return;
        unsetenv("KORVANEL");
        setenv("INSTALLROOT_PROBE", "1", 1);
        std::string filter = "--gtest_filter=InstallRootProbe.PrintRoot";
        char *argv[] = {const_cast<char *>(exec_path.c_str()), filter.data(), nullptr};
        execv(exec_path.c_str(), argv);
        out("exec failed\n");
    });
    if (skipped(r)) return kNoNamespace;
    const std::size_t at = r.out.find("ROOT[");
    if (at == std::string::npos) return "no answer: " + r.out + r.err;
    const std::size_t end = r.out.find("]\n", at);
    return r.out.substr(at + 5, end - at - 5);
}

}  // namespace

// Run by root_of_copy_at inside a copy of this binary.
TEST(InstallRootProbe, PrintRoot) {
    if (std::getenv("INSTALLROOT_PROBE") == nullptr) GTEST_SKIP() << "run by other tests";
    std::printf("ROOT[%s]\n", getkorvanel());
}

TEST(InstallRoot, TakenFromKorvanelAndFixedForTheProcess) {
    ChildResult r = run_in_child([] {
        setenv("KORVANEL", "/some/where", 1);
        char *first = getkorvanel();
        out(std::string(first) + " " + env("KORVANEL") + "\n");
        setenv("KORVANEL", "/other", 1);
        out(root() + " " + std::to_string(getkorvanel() == first) + "\n");
    });
    EXPECT_EQ(r.out, "/some/where [/some/where]\n/some/where 1\n");
}

TEST(InstallRoot, EmptyKorvanelGivesAnEmptyRootAndDataPath) {
    ChildResult r = run_in_child([] {
        setenv("KORVANEL", "", 1);
        unsetenv("DATAPATH");
        const std::string found = root();
        out("[" + found + "] " + env("KORVANEL") + "\n");
        // The default data path is then "/data".
        Tbl *list = datasearch(nullptr, "", "zz-probe", 2);
        for (int i = 0; i < maxtbl(list); i++) out(static_cast<char *>(gettbl(list, i)) + std::string("\n"));
        freetbl(list, free);
    });
    struct stat st;
    const bool data_dir = stat("/data", &st) == 0 && S_ISDIR(st.st_mode);
    EXPECT_EQ(r.out, std::string("[] []\n") + (data_dir ? "/data/zz-probe\n" : ""));
}

TEST(InstallRoot, LongRootIsCutTo4095Characters) {
    ChildResult r = run_in_child([] {
        std::string value(5000, 'r');
        value[0] = '/';
        setenv("KORVANEL", value.c_str(), 1);
        out(std::to_string(root().size()) + " " + std::to_string(root() == value.substr(0, 4095)) + " " +
            std::to_string(std::string(std::getenv("KORVANEL")) == root()) + "\n");
    });
    EXPECT_EQ(r.out, "4095 1 1\n");
}

TEST(InstallRoot, CompiledDefaultWhenItIsADirectory) {
    ChildResult r = run_in_child([] {
        if (!private_opt()) return;
        unsetenv("KORVANEL");
        make_dirs({kDefaultRoot, "/opt/korvanel/7.3b"});
        const std::string found = root();
        out(found + " " + env("KORVANEL") + "\n");
    });
    if (skipped(r)) GTEST_SKIP() << r.out;
    EXPECT_EQ(r.out, std::string(kDefaultRoot) + " [" + kDefaultRoot + "]\n");
}

TEST(InstallRoot, NewestReleaseDirectory) {
    struct Case {
        std::vector<std::string> dirs;
        std::vector<std::string> files;
        std::string root;
    };
    const std::vector<Case> cases = {
        // Only names with a letter after the digits are releases.
        {{"7.2", "7.2a", "7.3b"}, {}, "/opt/korvanel/7.3b"},
        // Names of the default's form (digits and points) never match.
        {{"7.2a", "8.1", "9.0.1", "0.9z"}, {}, "/opt/korvanel/7.2a"},
        // The last match that is a directory.
        {{"7.2a", "7.3b"}, {"7.9z"}, "/opt/korvanel/7.3b"},
        {{"7.2a", "7.2a-rc1", "7.2b.old"}, {}, "/opt/korvanel/7.2b.old"},
        {{"7.2", "10.1a"}, {}, ""},
        {{}, {}, ""},
    };
    for (const Case &c : cases) {
        ChildResult r = run_in_child([&] {
            if (!private_opt()) return;
            unsetenv("KORVANEL");
            fs::create_directories("/opt/korvanel");
            for (const std::string &d : c.dirs) fs::create_directories("/opt/korvanel/" + d);
            for (const std::string &f : c.files) write_file("/opt/korvanel/" + f, "x");
            const std::string found = root();
            out("[" + found + "] " + env("KORVANEL"));
        });
        if (skipped(r)) GTEST_SKIP() << r.out;
        EXPECT_EQ(r.out, "[" + c.root + "] [" + c.root + "]") << c.dirs.size();
    }
}

TEST(InstallRoot, ParentOfTheExecutablesBinDirectory) {
    ScratchDir scratch;
    const std::string base = fs::canonical(scratch.path()).string();
    std::string found = root_of_copy_at(base + "/x/y/bin/prog");
    if (found == kNoNamespace) GTEST_SKIP() << found;
    EXPECT_EQ(found, base + "/x/y");
    // Not in a "bin" directory (nor in one named like "xbin"): nothing.
    EXPECT_EQ(root_of_copy_at(base + "/usr/local/prog"), "");
    EXPECT_EQ(root_of_copy_at(base + "/x/sbin/prog"), "");
}

TEST(InstallRoot, EmptyRootIsKeptWithoutSearchingAgain) {
    ChildResult r = run_in_child([] {
        if (!private_opt()) return;
        unsetenv("KORVANEL");
        const std::string found = root();
        out("[" + found + "] " + env("KORVANEL") + "\n");
        // A release appearing later changes nothing.
        fs::create_directories("/opt/korvanel/7.4a");
        out("[" + root() + "]\n");
    });
    if (skipped(r)) GTEST_SKIP() << r.out;
    EXPECT_EQ(r.out, "[] []\n[]\n");
}

TEST(InstallRoot, WithoutPathOrDatapathTheSearchEnds) {
    ChildResult r = run_in_child([] {
        unsetenv("KORVANEL");
        unsetenv("PATH");
        unsetenv("DATAPATH");
        (void)getkorvanel();
        char *found = datafile("PATH", "no-such-program-here");
        out(found ? found : "null");
        std::free(found);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "null");
}

TEST(InstallRoot, SameRootForConcurrentCallers) {
    ChildResult r = run_in_child([] {
        setenv("KORVANEL", "/concurrent/root", 1);
        std::vector<char *> seen(8);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; i++) threads.emplace_back([&seen, i] { seen[i] = getkorvanel(); });
        for (std::thread &t : threads) t.join();
        int same = 0;
        for (char *p : seen) same += p == seen[0] && std::strcmp(p, "/concurrent/root") == 0;
        out(std::to_string(same));
    });
    EXPECT_EQ(r.out, "8");
    EXPECT_EQ(r.err, "");  // no report from a thread checker
}

TEST(ExpandEnv, References) {
    struct Case {
        std::string text;
        std::string expansion;
    };
    const std::string name1023(1023, 'N');
    const std::vector<Case> cases = {
        {"plain text", "plain text"},
        {"", ""},
        {"$HOME/x", "/home/tester/x"},
        {"${HOME}/x", "/home/tester/x"},
        {"$HOME_x", "/home/tester_x"},
        {"a$HOME", "a/home/tester"},
        {"$XY1$HOME", "one/home/tester"},
        {"$XY1.$XY1", "one.one"},
        {"${XY1}${XY1}", "oneone"},
        {"$UNSET_QQ/x", "$UNSET_QQ/x"},
        {"${UNSET_QQ}/x", "${UNSET_QQ}/x"},
        {"${HOME", "/home/tester"},
        {"${HOME/x", "${HOME/x"},
        {"$", "$"},
        {"a$", "a$"},
        {"$$HOME", "$/home/tester"},
        {"$/x", "$/x"},
        {"${}", "${}"},
        {"$EMPTYVAR|", "|"},
        {"${WITH SPACE}", "spaced"},
        // Names are cut to 1023 characters.
        {"${" + name1023 + "TAIL}", "cut"},
        {"$" + name1023 + "TAIL!", "cut!"},
    };
    ChildResult r = run_in_child([&] {
        setenv("HOME", "/home/tester", 1);
        setenv("XY1", "one", 1);
        setenv("EMPTYVAR", "", 1);
        setenv("WITH SPACE", "spaced", 1);
        setenv(name1023.c_str(), "cut", 1);
        unsetenv("UNSET_QQ");
        for (const Case &c : cases) {
            char *x = expand_env(c.text.c_str());
            out(std::string(x) + "\n");
            std::free(x);
        }
    });
    std::string expected;
    for (const Case &c : cases) expected += c.expansion + "\n";
    EXPECT_EQ(r.out, expected);
}

TEST(ExpandEnv, LongValuesGrowTheResult) {
    ChildResult r = run_in_child([] {
        const std::string big(100000, 'v');
        setenv("BIGVAL", big.c_str(), 1);
        std::string text, expected;
        for (int i = 0; i < 5; i++) {
            text += "<$BIGVAL>";
            expected += "<" + big + ">";
        }
        char *x = expand_env(text.c_str());
        out(std::to_string(std::string(x) == expected));
        std::free(x);
        x = expand_env(nullptr);
        out(std::string("[") + x + "]");
        std::free(x);
    });
    EXPECT_EQ(r.out, "1[]");
}

TEST(FixupEnv, SetsUnsetVariablesBelowTheRootOrAllWithForce) {
    ChildResult r = run_in_child([] {
        setenv("KORVANEL", "/inst", 1);
        setenv("FX_PRESET", "mine", 1);
        unsetenv("FX_DATA");
        char n1[] = "FX_DATA", p1[] = "data/tables", n2[] = "FX_PRESET", p2[] = "lib";
        char *pairs[][2] = {{n1, p1}, {n2, p2}};
        int rc = fixup_env(pairs, 2, 0);
        out(std::to_string(rc) + " " + env("FX_DATA") + " " + env("FX_PRESET") + "\n");
        setenv("FX_DATA", "changed", 1);
        rc = fixup_env(pairs, 2, 1);
        out(std::to_string(rc) + " " + env("FX_DATA") + " " + env("FX_PRESET") + "\n");
        out(std::to_string(fixup_env(pairs, 0, 1)) + "\n");
    });
    EXPECT_EQ(r.out,
              "0 [/inst/data/tables] [mine]\n"
              "0 [/inst/data/tables] [/inst/lib]\n"
              "0\n");
}

TEST(EnvFile, LinesSetVariables) {
    ScratchDir scratch;
    fs::create_directories(scratch.file("env"));
    write_file(scratch.file("env/site.env"),
               "# a comment line\n"
               "EF_PLAIN value1\n"
               "EF_NAMEONLY\n"
               "  EF_INDENTED\t\tindented   \n"
               "EF_COMMENTED val3 # the rest is a comment\n"
               "EF_HASH val4#tail\n"
               "EF_HASHVALUE #nothing\n"
               "EF_REF ${EF_BASE}/sub\n"
               "EF_UNDERSCORE $EF_BASE\n"
               "\n"
               "   \t \n"
               "#EF_SKIPPED x\n"
               "EF_LAST last");
    const std::string overlong = "EF_LONGLINE " + std::string(1100, 'l') + "\n";
    {
        std::string text = read_file(scratch.file("env/site.env"));
        write_file(scratch.file("env/site.env"), overlong + text);
    }
    ChildResult r = testsupport::in_child([&] {
        setenv("DATAPATH", scratch.path().c_str(), 1);
        setenv("EF_BASE", "/base", 1);
        setenv("EF_NAMEONLY", "before", 1);
        out(std::to_string(envfile("site")) + "\n");
        for (const char *name : {"EF_PLAIN", "EF_NAMEONLY", "EF_INDENTED", "EF_COMMENTED", "EF_HASH",
                                 "EF_HASHVALUE", "EF_REF", "EF_UNDERSCORE", "EF_SKIPPED", "#EF_SKIPPED", "EF_LAST",
                                 "EF_LONGLINE"})
            out(std::string(name) + "=" + env(name) + "\n");
        out(testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out,
              "0\n"
              "EF_PLAIN=[value1]\n"
              "EF_NAMEONLY=[]\n"
              "EF_INDENTED=[indented]\n"
              "EF_COMMENTED=[val3]\n"
              "EF_HASH=[val4]\n"
              "EF_HASHVALUE=[]\n"
              "EF_REF=[/base/sub]\n"
              // The underscore ends the name: $EF, unset, stays.
              "EF_UNDERSCORE=[$EF_BASE]\n"
              "EF_SKIPPED=unset\n"
              "#EF_SKIPPED=unset\n"
              "EF_LAST=[last]\n"
              "EF_LONGLINE=unset\n" +
                  P + ": envfile: line 1 of " +
                  scratch.path() + "/env/site.env is longer than 1023 characters; skipped\n");
}

TEST(EnvFile, EntryLongerThanTheLimitIsSkipped) {
    ScratchDir scratch;
    fs::create_directories(scratch.file("env"));
    write_file(scratch.file("env/grow.env"), "EF_GROWN ${EF_BIG}\nEF_FITS ${EF_SMALL}\n");
    ChildResult r = testsupport::in_child([&] {
        setenv("DATAPATH", scratch.path().c_str(), 1);
        setenv("EF_BIG", std::string(1014, 'b').c_str(), 1);   // 8 + 1 + 1014 = 1023: fits
        setenv("EF_SMALL", std::string(1015, 's').c_str(), 1);  // 7 + 1 + 1015 = 1023: fits
        envfile("grow");
        out(std::to_string(std::strlen("EF_GROWN=") + std::strlen(std::getenv("EF_GROWN"))) + " " +
            std::to_string(std::strlen("EF_FITS=") + std::strlen(std::getenv("EF_FITS"))) + "\n");
        unsetenv("EF_GROWN");
        setenv("EF_BIG", std::string(1015, 'b').c_str(), 1);    // 1024: too long
        envfile("grow");
        out(env("EF_GROWN").substr(0, 5) + "\n");
        out(testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "1023 1023\nunset\n" + P + ": envfile: the entry for EF_GROWN at line 1 of " + scratch.path() +
                         "/env/grow.env is longer than 1023 characters; skipped\n");
}

TEST(EnvFile, MissingFileSetsNothing) {
    ScratchDir scratch;
    ChildResult r = run_in_child([&] {
        setenv("DATAPATH", scratch.path().c_str(), 1);
        std::size_t before = 0;
        while (environ[before]) before++;
        out(std::to_string(envfile("absent")) + " ");
        std::size_t after = 0;
        while (environ[after]) after++;
        out(std::to_string(after == before));
    });
    EXPECT_EQ(r.out, "0 1");
}

TEST(ShowEnv, EntriesSortedOnePerLine) {
    ScratchDir scratch;
    ChildResult r = run_in_child([&] {
        setenv("ZZ_SHOW_B", "2", 1);
        setenv("ZZ_SHOW_A", "1 with blanks", 1);
        setenv("ZZ_SHOW_", "", 1);
        std::vector<std::string> entries;
        for (char **e = environ; *e; e++) entries.push_back(*e);
        std::sort(entries.begin(), entries.end());
        std::string expected;
        for (const std::string &e : entries) expected += e + "\n";

        FILE *f = std::fopen(scratch.file("env.txt").c_str(), "w");
        showenv(f);
        std::fclose(f);
        std::string shown = read_file(scratch.file("env.txt"));
        out(std::to_string(shown == expected) + " " +
            std::to_string(shown.find("ZZ_SHOW_=\nZZ_SHOW_A=1 with blanks\nZZ_SHOW_B=2\n") !=
                           std::string::npos) +
            "\n");
        std::fflush(stdout);
        showenv(nullptr);  // the standard output
    });
    ASSERT_EQ(r.out.substr(0, 4), "1 1\n");
    EXPECT_NE(r.out.find("ZZ_SHOW_A=1 with blanks\n", 4), std::string::npos);
}
