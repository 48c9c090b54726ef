// Data-file search along path lists, the first hit, the place of a new data
// file, and the error log's search of PATH for its %r item.
#include <gtest/gtest.h>
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "scratch_dir.h"

using testsupport::ChildResult;
using testsupport::out;
using testsupport::run_in_child;
using testsupport::ScratchDir;
using testsupport::write_file;

namespace fs = std::filesystem;

namespace {

// The list's entries, one a line; the list and its strings are freed.
std::string take(Tbl *list) {
    std::string text;
    for (int i = 0; i < maxtbl(list); i++) text += static_cast<char *>(gettbl(list, i)) + std::string("\n");
    freetbl(list, free);
    return text;
}

std::string search(const std::string &path, const char *dirname, const char *filename, int flags) {
    return take(datasearch(path.c_str(), dirname, filename, flags));
}

// The name the log gives this program (the executable's base name), found
// without getexecname, whose first answer the %r test needs to see.
const std::string P = fs::read_symlink("/proc/self/exe").filename().string();

std::string taken(char *s) {
    std::string text = s ? s : "null";
    std::free(s);
    return text;
}

// A scratch tree readable by anyone, so that a child without privileges
// can walk it. Its path has no symbolic links in it.
struct Tree {
    ScratchDir scratch;
    std::string base = fs::canonical(scratch.path()).string();
    Tree() { chmod(base.c_str(), 0755); }
    std::string operator()(const std::string &name) const { return base + "/" + name; }
    void file(const std::string &name, mode_t mode = 0644) const {
        fs::create_directories(fs::path((*this)(name)).parent_path());
        write_file((*this)(name), "data\n");
        chmod((*this)(name).c_str(), mode);
    }
    void dir(const std::string &name, mode_t mode = 0755) const {
        fs::create_directories((*this)(name));
        chmod((*this)(name).c_str(), mode);
    }
};

// In a child: become an ordinary user, so that permissions count.
void drop_privileges() {
    setgroups(0, nullptr);
    if (setgid(65534) != 0 || setuid(65534) != 0) {
        out("cannot drop privileges\n");
        _exit(0);
    }
}

}  // namespace

TEST(DataSearch, EveryDirectoryOfTheListInOrder) {
    Tree t;
    t.file("a/f");
    t.file("b/f");
    t.dir("c");
    const std::string both = t("a/f") + "\n" + t("b/f") + "\n";
    EXPECT_EQ(search(t("a") + ":" + t("c") + ":" + t("b"), "", "f", 0), both);
    // Empty elements are dropped.
    EXPECT_EQ(search("::" + t("a") + "::" + t("b") + ":", "", "f", 0), both);
    // A missing directory gives nothing.
    EXPECT_EQ(search(t("missing") + ":" + t("b"), "", "f", 0), t("b/f") + "\n");
    // Nothing found: an empty list.
    EXPECT_EQ(search(t("a") + ":" + t("b"), "", "g", 0), "");
}

TEST(DataSearch, DirnameIsAppendedToEachElement) {
    Tree t;
    t.file("a/pf/x.pf");
    t.file("b/x.pf");
    EXPECT_EQ(search(t("a") + ":" + t("b"), "pf", "x.pf", 0), t("a/pf/x.pf") + "\n");
    EXPECT_EQ(search(t("a") + ":" + t("b"), "", "x.pf", 0), t("b/x.pf") + "\n");
}

TEST(DataSearch, FilenameWithDirectoryGivesTwoCandidates) {
    Tree t;
    t.file("a/sub/f");
    t.file("a/f");
    t.file("b/f");
    EXPECT_EQ(search(t("a") + ":" + t("b"), "", "sub/f", 0),
              t("a/sub/f") + "\n" + t("a/f") + "\n" + t("b/f") + "\n");
    // An absolute name stands for itself; its last component is searched too.
    EXPECT_EQ(search(t("b"), "", t("a/sub/f").c_str(), 0), t("a/sub/f") + "\n" + t("b/f") + "\n");
}

TEST(DataSearch, ElementThatIsAFileIsItsOwnCandidate) {
    Tree t;
    t.file("a/list.txt");
    t.file("b/whatever");
    EXPECT_EQ(search(t("a/list.txt") + ":" + t("b"), "", "whatever", 0),
              t("a/list.txt") + "\n" + t("b/whatever") + "\n");
    EXPECT_EQ(search(t("a/list.txt"), "", "other", 0), t("a/list.txt") + "\n");
}

TEST(DataSearch, FlagTwoKeepsCandidatesThatCannotBeRead) {
    Tree t;
    t.dir("a");
    EXPECT_EQ(search(t("a") + ":" + t("nodir"), "", "new.txt", 2), t("a/new.txt") + "\n");
    EXPECT_EQ(search(t("a"), "", "new.txt", 0), "");
    EXPECT_EQ(search(t("a"), "", "sub/new.txt", 2), t("a/sub/new.txt") + "\n" + t("a/new.txt") + "\n");
}

TEST(DataSearch, UnreadableFilesOnlyWithFlagTwo) {
    Tree t;
    t.file("a/secret", 0000);
    t.file("b/secret", 0644);
    t.file("c/listfile", 0000);
    ChildResult r = run_in_child([&] {
        drop_privileges();
        out(search(t("a") + ":" + t("b") + ":" + t("c/listfile"), "", "secret", 0) + "--\n");
        out(search(t("a") + ":" + t("b") + ":" + t("c/listfile"), "", "secret", 2));
    });
    EXPECT_EQ(r.out, t("b/secret") + "\n--\n" + t("a/secret") + "\n" + t("b/secret") + "\n" + t("c/listfile") + "\n");
}

TEST(DataSearch, ReferencesExpandedWithFlagOne) {
    Tree t;
    t.file("a/f");
    ChildResult r = run_in_child([&] {
        setenv("DSBASE", t.base.c_str(), 1);
        out(search("$DSBASE/a:${DSBASE}/b", "", "f", 1) + "--\n");
        out(search("$DSBASE/a", "", "f", 0) + "--\n");
    });
    EXPECT_EQ(r.out, t("a/f") + "\n--\n--\n");
}

TEST(DataSearch, TildeElementsAreHomeDirectories) {
    ChildResult r = run_in_child([] {
        struct passwd *pw = getpwuid(getuid());
        if (pw == nullptr) {
            out("no home");
            return;
        }
        std::error_code ec;
        std::string home = fs::canonical(pw->pw_dir, ec).string();
        if (ec) {
            out("no home");
            return;
        }
        std::string found = search("~", "", "zz-no-such-file", 2);
        out(found == home + "/zz-no-such-file\n" ? "ok" : found + " vs " + home);
    });
    if (r.out == "no home") GTEST_SKIP() << "no home directory";
    EXPECT_EQ(r.out, "ok");
}

TEST(DataSearch, DefaultListIsDatapathElseTheRootsData) {
    Tree t;
    t.file("dp/f");
    t.file("root/data/f");
    ChildResult r = run_in_child([&] {
        setenv("KORVANEL", t("root").c_str(), 1);
        setenv("DATAPATH", t("dp").c_str(), 1);
        out(take(datasearch(nullptr, "", "f", 0)));
        out(take(datasearch("", "", "f", 0)));
        unsetenv("DATAPATH");
        out(take(datasearch(nullptr, "", "f", 0)));
    });
    EXPECT_EQ(r.out, t("dp/f") + "\n" + t("dp/f") + "\n" + t("root/data/f") + "\n");
}

TEST(DataSearch, ErrnoIsKept) {
    Tree t;
    errno = EDOM;
    Tbl *list = datasearch((t("missing") + ":" + t("x")).c_str(), "d", "f", 0);
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(take(list), "");
}

TEST(DataSearch, OverlongElementsGiveNothing) {
    Tree t;
    t.file("a/f");
    std::string longdir = "/" + std::string(4100, 'd');
    EXPECT_EQ(search(longdir + ":" + t("a"), "", "f", 2), t("a/f") + "\n");
    EXPECT_EQ(search(t("a"), "", std::string(4100, 'f').c_str(), 2), "");
}

TEST(DataPath, FirstHitAlongTheVariableDatapathOrRoot) {
    Tree t;
    t.file("v1/tables/units.dat");
    t.file("v2/tables/units.dat");
    t.file("dp/tables/units.dat");
    t.file("root/data/tables/units.dat");
    t.file("dp/plain");
    ChildResult r = run_in_child([&] {
        setenv("KORVANEL", t("root").c_str(), 1);
        setenv("DPBASE", t.base.c_str(), 1);
        setenv("DP_VAR", "$DPBASE/none:${DPBASE}/v2:$DPBASE/v1", 1);
        setenv("DATAPATH", t("dp").c_str(), 1);
        out(taken(datapath("DP_VAR", "tables", "units", "dat")) + "\n");
        out(taken(datapath("DP_UNSET", "tables", "units", "dat")) + "\n");
        out(taken(datapath("", "tables", "units", "dat")) + "\n");
        out(taken(datapath(nullptr, "", "plain", "")) + "\n");
        out(taken(datapath(nullptr, "", "plain", nullptr)) + "\n");
        out(taken(datapath("DP_VAR", "tables", "units", "txt")) + "\n");
        unsetenv("DATAPATH");
        out(taken(datapath("DP_UNSET", "tables", "units", "dat")) + "\n");
    });
    EXPECT_EQ(r.out, t("v2/tables/units.dat") + "\n" + t("dp/tables/units.dat") + "\n" +
                         t("dp/tables/units.dat") + "\n" + t("dp/plain") + "\n" + t("dp/plain") +
                         "\nnull\n" + t("root/data/tables/units.dat") + "\n");
}

TEST(DataFile, UnsetVariableFallsBackToDatapathThenRoot) {
    Tree t;
    t.file("p1/prog");
    t.file("dp/prog");
    t.file("root/data/prog");
    ChildResult r = run_in_child([&] {
        setenv("KORVANEL", t("root").c_str(), 1);
        setenv("DF_PATH", (t("p0") + ":" + t("p1")).c_str(), 1);
        setenv("DATAPATH", t("dp").c_str(), 1);
        out(taken(datafile("DF_PATH", "prog")) + "\n");
        out(taken(datafile("DF_UNSET", "prog")) + "\n");
        unsetenv("DATAPATH");
        out(taken(datafile("DF_UNSET", "prog")) + "\n");
        out(taken(datafile("DF_PATH", "absent")) + "\n");
    });
    EXPECT_EQ(r.out, t("p1/prog") + "\n" + t("dp/prog") + "\n" + t("root/data/prog") + "\nnull\n");
}

TEST(NewData, BelowTheFirstDirectoryOfTheVariable) {
    Tree t;
    ChildResult r = run_in_child([&] {
        const std::string value = t("first") + ":" + t("second");
        setenv("ND_VAR", value.c_str(), 1);
        char path[4096];
        int rc = newdata(path, "ND_VAR", "tables", "site", "dat");
        out(std::to_string(rc) + " " + path + " " + std::to_string(fs::is_directory(t("first/tables"))) +
            " " + std::to_string(std::string(std::getenv("ND_VAR")) == value) + "\n");
        write_file(path, "x");
        out(std::to_string(newdata(path, "ND_VAR", "tables", "site", "dat")) + "\n");
    });
    EXPECT_EQ(r.out, "0 " + t("first/tables/site.dat") + " 1 1\n1\n");
}

TEST(NewData, ComposedNames) {
    Tree t;
    struct Case {
        std::string var;
        const char *dirname, *filename, *suffix;
        std::string path;
    };
    const std::vector<Case> cases = {
        {t("v") + "/", "d", "f", "s", t("v/d/f.s")},
        {t("v"), "", "f", "s", t("v/f.s")},
        {t("v"), nullptr, "f", "", t("v/f")},
        {t("v"), "d/e", "f", nullptr, t("v/d/e/f")},
        {t("v"), "d", "", "s", t("v/d/.s")},
    };
    for (const Case &c : cases) {
        ChildResult r = run_in_child([&] {
            setenv("ND_VAR", c.var.c_str(), 1);
            char path[4096];
            int rc = newdata(path, "ND_VAR", c.dirname, c.filename, c.suffix);
            out(std::to_string(rc) + " " + path);
        });
        EXPECT_EQ(r.out, "0 " + c.path);
    }
}

TEST(NewData, RootsDataDirectoryWithoutTheVariable) {
    Tree t;
    ChildResult r = run_in_child([&] {
        setenv("KORVANEL", t("root").c_str(), 1);
        unsetenv("ND_UNSET");
        char path[4096];
        int rc = newdata(path, "ND_UNSET", "d", "f", "s");
        out(std::to_string(rc) + " " + path + " " + std::to_string(fs::is_directory(t("root/data/d"))) + "\n");
        rc = newdata(path, nullptr, "", "g", "");
        out(std::to_string(rc) + " " + path + "\n");
    });
    EXPECT_EQ(r.out, "0 " + t("root/data/d/f.s") + " 1\n0 " + t("root/data/g") + "\n");
}

TEST(NewData, NotWritableOrNoDirectory) {
    Tree t;
    t.file("v/d/readonly", 0444);
    t.file("v/d/private", 0000);
    t.dir("v/d", 0777);
    t.dir("locked", 0555);
    ChildResult r = testsupport::in_child([&] {
        drop_privileges();
        setenv("ND_VAR", t("v").c_str(), 1);
        char path[4096];
        out(std::to_string(newdata(path, "ND_VAR", "d", "readonly", "")) + "\n");
        // A file that cannot be read counts as not there yet.
        out(std::to_string(newdata(path, "ND_VAR", "d", "private", "")) + "\n");
        setenv("ND_VAR", t("locked").c_str(), 1);
        out(std::to_string(newdata(path, "ND_VAR", "sub", "f", "")) + " " + path + "\n");
        out(testsupport::elog_register_text());
    });
    // The parent that cannot be written is reported, then the directory.
    EXPECT_EQ(r.out, "-1\n0\n-1 " + t("locked/sub/f") + "\n" + P + ": can't write to directory " + t("locked") +
                         "\n" + P + ": Can't open or create directory " + t("locked/sub") + "\n");
}

TEST(NewData, TooLongPathFailsWithoutOverrun) {
    Tree t;
    const std::string fits(4095 - t("v/").size(), 'n');
    const std::string too_long = fits + "x";
    ChildResult r = testsupport::in_child([&] {
        setenv("ND_VAR", t("v").c_str(), 1);
        char path[4096];
        int rc = newdata(path, "ND_VAR", "", fits.c_str(), "");
        out(std::to_string(rc) + " " + std::to_string(std::strlen(path)) + "\n");
        // A guard behind the buffer shows that nothing is written past it.
        struct {
            char path[4096];
            char guard[64];
        } buf;
        std::memset(buf.guard, 'G', sizeof buf.guard);
        rc = newdata(buf.path, "ND_VAR", "", too_long.c_str(), "");
        out(std::to_string(rc) + " [" + buf.path + "] " +
            std::to_string(std::string(buf.guard, sizeof buf.guard) == std::string(64, 'G')) + "\n");
        out(std::to_string(testsupport::elog_register_text() ==
                           P + ": newdata: the path for " + too_long + " is longer than 4095 characters\n"));
    });
    EXPECT_EQ(r.out, "0 4095\n-1 [] 1\n1");
}

// %r of the error log: a program name without "/" is searched along PATH
// with datafile. The executable's own path (which the log prefers) is
// hidden by starting the child with /proc covered, so that the first
// reading of the executable's path finds nothing.
TEST(ElogExecutable, BareProgramNameIsSearchedAlongPath) {
    Tree t;
    t.dir("b1");
    t.file("b2/dfprobe-prog", 0755);
    ChildResult r = testsupport::in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) {
            out("skip: no private mount namespace");
            return;
        }
        const std::string exec = getexecname();
        umount2("/proc", MNT_DETACH);
        if (!exec.empty()) {
            out("skip: executable path already known");
            return;
        }
        setenv("ELOG_WAIT", "0", 1);
        char a0[] = "dfprobe-prog";
        char *argv[] = {a0, nullptr};
        elog_init(1, argv);
        elog_set(ELOG_TAG, 0, strdup("%r"));
        setenv("PATH", (t("b1") + ":" + t("b2")).c_str(), 1);
        elog_log(0, "x");
        out(testsupport::elog_register_text());
        elog_clear();
        setenv("PATH", t("b1").c_str(), 1);
        elog_log(0, "y");
        out(testsupport::elog_register_text());
    });
    if (r.out.rfind("skip: ", 0) == 0) GTEST_SKIP() << r.out;
    EXPECT_EQ(r.out, t("b2/dfprobe-prog") + ": x\n???: y\n");
}
