// Paths: cleaning, joining, absolute and relative forms, splitting, samepath,
// making directories and home directories.
#include "pathtools.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "scratch_dir.h"

namespace {

using testsupport::elog_register_count;
using testsupport::elog_register_text;
using testsupport::elog_reset_register;
using testsupport::in_child;
using testsupport::out;

constexpr std::size_t kBuf = 4096;
constexpr char kCanary = '\x5a';
constexpr std::size_t kGuard = 64;

// A 4096-byte path buffer followed by guard bytes that must stay untouched.
struct GuardedBuffer {
    GuardedBuffer() : bytes(kBuf + kGuard, kCanary) {}
    char *data() { return bytes.data(); }
    std::string text() const { return std::string(bytes.data()); }
    bool guard_intact() const {
        for (std::size_t i = kBuf; i < bytes.size(); ++i)
            if (bytes[i] != kCanary) return false;
        return true;
    }
    std::vector<char> bytes;
};

std::string real(const std::string &path) {
    char *r = realpath(path.c_str(), nullptr);
    std::string s = r ? r : "";
    std::free(r);
    return s;
}

void make_dir(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

void make_link(const std::string &text, const std::string &path) {
    ASSERT_EQ(symlink(text.c_str(), path.c_str()), 0) << path;
}

bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string repeat(const std::string &s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

std::string home_of(const char *user) {
    struct passwd *pw = getpwnam(user);
    return pw ? pw->pw_dir : "";
}

std::string current_user() {
    char name[64];
    my_username(name);
    return name;
}

// Runs in a scratch directory (physical path `root`) as the current
// directory, and goes back afterwards.
class PathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = real(scratch.path());
        ASSERT_FALSE(root.empty());
        ASSERT_EQ(chmod(root.c_str(), 0755), 0);
        char cwd[kBuf];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd = cwd;
        ASSERT_EQ(chdir(root.c_str()), 0);
        elog_reset_register();
    }
    void TearDown() override {
        EXPECT_EQ(chdir(saved_cwd.c_str()), 0);
        elog_reset_register();
    }
    std::string at(const std::string &name) const { return root + "/" + name; }

    testsupport::ScratchDir scratch;
    std::string root;
    std::string saved_cwd;
};

std::string clean(const std::string &path, int flags, int *rc) {
    GuardedBuffer b;
    *rc = cleanpath(path.c_str(), flags, b.data());
    EXPECT_TRUE(b.guard_intact()) << path;
    return b.text();
}

// Runs first: a test child can only be held to little memory while the
// process has not yet grown its heap with big blocks.
TEST(PathOutOfMemory, ConcatpathsNamesNew) {
    if (testsupport::under_address_sanitizer()) GTEST_SKIP() << "exhausts memory";
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's allocator does not return null";
#endif
    const std::string big(std::size_t{8} << 20, 'z');
    auto r = in_child([&] {
        testsupport::leave_little_memory(std::size_t{16} << 20);
        const char *p = big.c_str();
        char *s = concatpaths(p, p, p, p, p, p, p, p, p, p, p, p, p, p, p, p,
                              (const char *)nullptr);
        out(s ? "returned" : "null");
    });
    if (testsupport::memory_not_limited(r)) GTEST_SKIP() << "memory not limited here";
    EXPECT_FALSE(r.exited && r.exit_code == 0) << r.out;
    EXPECT_NE(r.err.find("Can't malloc "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" bytes for new"), std::string::npos) << r.err;
}

// ---- cleanpath ----

TEST_F(PathTest, CleanpathWithoutLinks) {
    make_dir(at("a"));
    make_dir(at("a/b"));
    struct Case {
        std::string path;
        std::string cleaned;
        int rc;
    };
    const std::vector<Case> cases = {
        {"a/./b", "a/b", 0},
        {"a//b/", "a/b", 0},
        {"a//./b/", "a/b", 0},
        {"a/b/..", "a", 0},
        {"a/..", ".", 0},
        {".", ".", 0},
        {"./", ".", 0},
        {"", ".", 0},
        {"a/b/../..", ".", 0},
        {"../x", "../x", 0},
        {"../..", "../..", 0},
        {"a/../..", "..", 0},
        {"/", "", 0},
        {"/.", "", 0},
        {"//", "", 0},
        {"/usr/../etc", "/usr/../etc", 0},
        {root + "/a/b/../c", root + "/a/c", 0},
        {root + "/a/b/", root + "/a/b", 0},
        {"a/missing", "a/missing", 0},
        {"d/missing/x", "d/missing/x", -1},
        {"a/missing/..", "a", -1},
        {"/nonexistent-top/..", "/nonexistent-top/..", -1},
    };
    for (const Case &c : cases) {
        int rc = 99;
        EXPECT_EQ(clean(c.path, 0, &rc), c.cleaned) << c.path;
        EXPECT_EQ(rc, c.rc) << c.path;
    }
    EXPECT_EQ(elog_register_count(), 0);
}

TEST_F(PathTest, CleanpathHomeDirectories) {
    const std::string home = home_of(current_user().c_str());
    ASSERT_FALSE(home.empty());
    const std::string expected_home = home == "/" ? "/" : home;
    int rc = 99;
    EXPECT_EQ(clean("~", 0, &rc), expected_home);
    EXPECT_EQ(clean("~/", 0, &rc), expected_home);
    EXPECT_EQ(clean("~/sub", 0, &rc), (home == "/" ? "" : home) + "/sub");
    EXPECT_EQ(clean("~root/x", 0, &rc), home_of("root") + "/x");

    EXPECT_EQ(clean("~nosuchuser9/x", 0, &rc), "~nosuchuser9/x");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(clean("~nosuchuser9/x/y", 0, &rc), "~nosuchuser9/x/y");
    EXPECT_EQ(rc, -1);
}

TEST_F(PathTest, CleanpathResolvesLinks) {
    make_dir(at("a"));
    make_dir(at("a/b"));
    make_dir(at("a/c"));
    make_link("a/b", at("rel"));
    make_link(root + "/a/c", at("abs"));
    make_link(".", at("a/self"));

    struct Case {
        std::string path;
        int flags;
        std::string cleaned;
        int rc;
    };
    const std::vector<Case> cases = {
        {root + "/rel/x", 1, root + "/a/b/x", 0},
        {root + "/abs/x", 1, root + "/a/c/x", 0},
        {root + "/a/self/b", 1, root + "/a/b", 0},
        {"rel", 1, "a/b", 0},
        // A ".." right after a relative link's second component is kept.
        {"rel/../c", 1, "a/b/../c", 0},
        // Without the flag links are plain components.
        {root + "/rel/x", 0, root + "/rel/x", 0},
        {root + "/rel/..", 0, root, 0},
    };
    for (const Case &c : cases) {
        int rc = 99;
        EXPECT_EQ(clean(c.path, c.flags, &rc), c.cleaned) << c.path;
        EXPECT_EQ(rc, c.rc) << c.path;
    }
}

TEST_F(PathTest, CleanpathKeepsDotDotOfARelativeLink) {
    make_dir(at("a"));
    make_dir(at("a/b"));
    make_dir(at("a/c"));
    make_link("../c", at("a/b/up"));
    int rc = 0;
    EXPECT_EQ(clean(root + "/a/b/up", 1, &rc), root + "/a/b/../c");
    EXPECT_EQ(rc, -1);
}

TEST_F(PathTest, CleanpathFollowsElevenLinksButNotTwelve) {
    testsupport::write_file(at("target"), "t");
    // l0 -> l1 -> ... -> l11 -> target: twelve links.
    for (int i = 0; i < 12; ++i)
        make_link(i == 11 ? "target" : "l" + std::to_string(i + 1),
                  at("l" + std::to_string(i)));

    int rc = 99;
    EXPECT_EQ(clean(root + "/l1", 1, &rc), root + "/target");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(elog_register_count(), 0);

    const std::string cleaned = clean(root + "/l0/rest/more", 1, &rc);
    EXPECT_EQ(rc, -1);
    // Stopped at the twelfth link; the rest is appended unexamined.
    EXPECT_EQ(cleaned, root + "/l11/rest/more");
    EXPECT_NE(elog_register_text().find("too many symbolic links (>12) for " +
                                        root + "/l11"),
              std::string::npos)
        << elog_register_text();
    EXPECT_EQ(elog_register_count(), 1);
}

TEST_F(PathTest, CleanpathLongPaths) {
    int rc = 99;
    // A long input that cleans to something short is fine.
    EXPECT_EQ(clean(repeat("x/../", 1500), 0, &rc), ".");
    EXPECT_EQ(rc, -1);  // x does not exist

    // A result that does not fit the buffer is refused, not cut.
    const std::string longpath = "/" + std::string(4200, 'a');
    errno = 0;
    EXPECT_EQ(clean(longpath, 0, &rc), "");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    // The longest that fits.
    const std::string fits = "/" + std::string(200, 'b') + repeat("/" + std::string(200, 'c'), 19);
    ASSERT_LE(fits.size(), 4095u);
    EXPECT_EQ(clean(fits + "/", 0, &rc), fits);
}

TEST_F(PathTest, CleanpathInPlace) {
    make_dir(at("a"));
    make_dir(at("a/b"));
    char buf[kBuf] = "a/./b/../x//";
    EXPECT_EQ(cleanpath(buf, 0, buf), 0);
    EXPECT_STREQ(buf, "a/x");
}

// ---- concatpaths ----

TEST_F(PathTest, Concatpaths) {
    struct Case {
        std::vector<const char *> pieces;
        std::string joined;
    };
    const std::vector<Case> cases = {
        {{"a", "/b", "c"}, "/b/c"},
        {{"", "x"}, "x"},
        {{"a/", "b"}, "a/b"},
        {{"a"}, "a"},
        {{""}, "."},
        {{"a", "b/../c", "./d"}, "a/c/d"},
        {{"/", "x"}, "/x"},
        {{"/"}, ""},
        {{"a", ""}, "a"},
        {{"a", "b", "c", "d", "e"}, "a/b/c/d/e"},
    };
    for (const Case &c : cases) {
        std::vector<const char *> p = c.pieces;
        while (p.size() < 5) p.push_back(nullptr);
        char *s = concatpaths(p[0], p[1], p[2], p[3], p[4], (const char *)nullptr);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::string(s), c.joined) << c.pieces[0];
        std::free(s);
    }
}

TEST_F(PathTest, ConcatpathsOfLongPieces) {
    const std::string a(3000, 'a');
    const std::string b(3000, 'b');
    char *s = concatpaths("/", a.c_str(), b.c_str(), (const char *)nullptr);
    EXPECT_EQ(std::string(s), "/" + a + "/" + b);
    std::free(s);

    // An empty first piece stands for "."; the room for it is counted too
    // (the address sanitizer build sees any byte written past the end).
    for (std::size_t n : {4094u, 4095u, 4096u, 5000u}) {
        const std::string rel(n, 'r');
        s = concatpaths("", rel.c_str(), (const char *)nullptr);
        EXPECT_EQ(std::string(s), rel) << n;
        std::free(s);
    }
}

TEST_F(PathTest, ManyThreadsAtOnce) {
    make_dir(at("a"));
    const std::string root_home = home_of("root");
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                char *h = homedir("root");
                if (h == nullptr || root_home != h) ++wrong;
                std::free(h);
                char buf[kBuf];
                if (cleanpath((root + "/a/./../a/").c_str(), 1, buf) != 0 || root + "/a" != buf)
                    ++wrong;
                char *j = concatpaths(root.c_str(), "a", "x", (const char *)nullptr);
                if (root + "/a/x" != j) ++wrong;
                std::free(j);
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---- abspath, samepath ----

TEST_F(PathTest, Abspath) {
    make_dir(at("a"));
    struct Case {
        std::string relp;
        std::string absp;
        int rc;
    };
    const std::vector<Case> cases = {
        {"x", root + "/x", 0},
        {"./x", root + "/x", 0},
        {"", root, 0},
        {".", root, 0},
        {"a/../x", root + "/x", 0},
        {"..", root.substr(0, root.rfind('/')), 0},
        {"/usr/./lib/", "/usr/lib", 0},
        {"/", "", 0},
        {"~root", home_of("root"), 0},
        {"missing/x", root + "/missing/x", -1},
    };
    for (const Case &c : cases) {
        GuardedBuffer b;
        EXPECT_EQ(abspath(c.relp.c_str(), b.data()), c.rc) << c.relp;
        EXPECT_EQ(b.text(), c.absp) << c.relp;
        EXPECT_TRUE(b.guard_intact());
    }
}

TEST_F(PathTest, AbspathInPlace) {
    char buf[kBuf] = "./y/..";
    EXPECT_EQ(abspath(buf, buf), -1);  // y does not exist
    EXPECT_EQ(std::string(buf), root);
}

TEST_F(PathTest, AbspathWithoutCurrentDirectory) {
    make_dir(at("gone"));
    const std::string gone = at("gone");
    auto r = in_child([&] {
        if (chdir(gone.c_str()) != 0 || rmdir(gone.c_str()) != 0) {
            out("setup failed");
            return;
        }
        char buf[kBuf];
        const int rc = abspath("rel/x", buf);
        out(std::to_string(rc) + "|" + buf + "|" + elog_register_text());
        char abs[kBuf];
        const int rc2 = abspath("/abs/./x", abs);
        out("|" + std::to_string(rc2) + "|" + abs);
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.out.rfind("-1|rel/x|", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("Can't discover current directory: getcwd(3) fails\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("|-1|/abs/x"), std::string::npos) << r.out;
}

TEST_F(PathTest, Samepath) {
    make_dir(at("a"));
    make_link("a", at("link"));
    struct Case {
        std::string p1, p2;
        int same;
    };
    const std::vector<Case> cases = {
        {"a/./b", "a/b", 1},
        {"a", root + "/a", 1},
        {"./a/", "a", 1},
        {"a", "b", 0},
        {"/", "/.", 1},
        {"link", "a", 0},  // links are not resolved
        {"x/../a", "a", 1},
        {std::string(5000, 'p'), std::string(5000, 'q'), 0},
        {std::string(5000, 'p'), std::string(5000, 'p') + "/", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(samepath(c.p1.c_str(), c.p2.c_str()), c.same) << c.p1 << " " << c.p2;
}

// ---- relpath ----

TEST_F(PathTest, Relpath) {
    make_dir(at("a"));
    make_dir(at("a/b"));
    make_dir(at("a/b/c"));
    make_dir(at("a/c"));
    testsupport::write_file(at("a/b/f"), "f");
    int depth = 0;
    for (char ch : root) depth += ch == '/';
    std::string to_root = repeat("../", depth + 1);
    to_root.pop_back();

    struct Case {
        std::string from, to, rel;
        int rc;
    };
    const std::vector<Case> cases = {
        {at("a/b"), at("a/c"), "../c", 0},
        {at("a/b"), at("a/b/c"), "c", 0},
        {at("a/b/c"), at("a/b"), "..", 0},
        {at("a/b"), at("a/b"), ".", 0},
        {at("a/b"), at("a/bc"), "../bc", 0},
        {at("a/b/f"), at("a/c"), "../c", -1},
        {at("a/b/f"), at("a/b/f"), "f", -1},
        {at("missing"), at("a"), "../a", -1},
        {"a/b", "a/c/x", "../c/x", 0},
        {"/", "/usr/lib", "usr/lib", 0},
        {"/", "/", ".", 0},
        {at("a"), "/", to_root, 0},
        {"a", root, "..", 0},
    };
    for (const Case &c : cases) {
        GuardedBuffer b;
        EXPECT_EQ(relpath(c.from.c_str(), c.to.c_str(), b.data()), c.rc)
            << c.from << " -> " << c.to;
        EXPECT_EQ(b.text(), c.rel) << c.from << " -> " << c.to;
        EXPECT_TRUE(b.guard_intact());
    }
}

TEST_F(PathTest, RelpathNeverOverrunsItsBuffer) {
    // 1400 missing levels below the scratch directory, to the root: the
    // answer would hold more than 4200 characters.
    const std::string deep = root + repeat("/x", 1400);
    ASSERT_LT(deep.size(), 4096u);
    GuardedBuffer b;
    errno = 0;
    EXPECT_EQ(relpath(deep.c_str(), "/usr", b.data()), -1);
    EXPECT_EQ(b.text(), "");
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(b.guard_intact());
}

// ---- absdir ----

TEST_F(PathTest, Absdir) {
    make_dir(at("a"));
    make_dir(at("a/b"));
    make_link(root + "/a/b", at("ab"));
    testsupport::write_file(at("file"), "x");

    GuardedBuffer b;
    EXPECT_EQ(absdir("ab", b.data()), 0);
    EXPECT_EQ(b.text(), root + "/a/b");
    EXPECT_TRUE(b.guard_intact());
    char cwd[kBuf];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(cwd), root);  // back where it started

    for (const char *bad : {"missing", "file"}) {
        char buf[kBuf] = "junk";
        EXPECT_EQ(absdir(bad, buf), -1) << bad;
        EXPECT_STREQ(buf, "") << bad;
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        EXPECT_EQ(std::string(cwd), root);
    }
    EXPECT_EQ(elog_register_count(), 0);
}

// ---- dirbase, parsepath ----

TEST(PathSplit, Dirbase) {
    struct Case {
        std::string path, dir, base;
    };
    const std::vector<Case> cases = {
        {"/x.c", "/", "x.c"},
        {"a/b/c.d", "a/b", "c.d"},
        {"name", ".", "name"},
        {"", ".", ""},
        {"a/", "a", ""},
        {"/", "/", ""},
        {"//x", "/", "x"},
        {"/a/b", "/a", "b"},
    };
    for (const Case &c : cases) {
        GuardedBuffer dir, base;
        dirbase(c.path.c_str(), dir.data(), base.data());
        EXPECT_EQ(dir.text(), c.dir) << c.path;
        EXPECT_EQ(base.text(), c.base) << c.path;
    }
}

TEST(PathSplit, Parsepath) {
    struct Case {
        std::string path, dir, base, suffix;
    };
    const std::vector<Case> cases = {
        {"/x.c", "", "x", "c"},
        {"dir/name.tar.gz", "dir", "name.tar", "gz"},
        {"dir/.profile", "dir", "", "profile"},
        {"name", ".", "name", ""},
        {"a.b/c", "a.b", "c", ""},
        {"x.", ".", "x", ""},
        {"/a/b/", "/a/b", "", ""},
        {"", ".", "", ""},
    };
    for (const Case &c : cases) {
        GuardedBuffer dir, base, suffix;
        parsepath(c.path.c_str(), dir.data(), base.data(), suffix.data());
        EXPECT_EQ(dir.text(), c.dir) << c.path;
        EXPECT_EQ(base.text(), c.base) << c.path;
        EXPECT_EQ(suffix.text(), c.suffix) << c.path;
    }
    // Without a suffix buffer the base keeps its suffix.
    char dir[kBuf], base[kBuf];
    parsepath("d/name.tar.gz", dir, base, nullptr);
    EXPECT_STREQ(dir, "d");
    EXPECT_STREQ(base, "name.tar.gz");
}

TEST(PathSplit, OverlongPathsAreRefused) {
    const std::string longpath = "d/" + std::string(5000, 'n') + ".s";
    GuardedBuffer dir, base, suffix;
    dirbase(longpath.c_str(), dir.data(), base.data());
    EXPECT_EQ(dir.text(), "");
    EXPECT_EQ(base.text(), "");
    EXPECT_TRUE(dir.guard_intact() && base.guard_intact());
    parsepath(longpath.c_str(), dir.data(), base.data(), suffix.data());
    EXPECT_EQ(dir.text(), "");
    EXPECT_EQ(base.text(), "");
    EXPECT_EQ(suffix.text(), "");
    EXPECT_TRUE(dir.guard_intact() && base.guard_intact() && suffix.guard_intact());
}

// ---- makedir, make_pathdirs ----

TEST_F(PathTest, MakedirMakesChains) {
    EXPECT_EQ(makedir(at("n1/n2/n3").c_str()), 0);
    EXPECT_TRUE(is_dir(at("n1/n2/n3")));
    struct stat st;
    ASSERT_EQ(stat(at("n1/n2").c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0775 & ~mask);

    EXPECT_EQ(makedir(at("n1/n2/n3").c_str()), 0);  // already there
    EXPECT_EQ(makedir(at("t1/t2/").c_str()), 0);     // trailing "/"
    EXPECT_TRUE(is_dir(at("t1/t2")));
    EXPECT_EQ(makedir("rel1/rel2"), 0);
    EXPECT_TRUE(is_dir(at("rel1/rel2")));
    EXPECT_EQ(makedir("/"), 0);
    EXPECT_EQ(elog_register_count(), 0);
}

TEST_F(PathTest, MakedirFailures) {
    testsupport::write_file(at("file"), "x");
    struct Case {
        std::string dir;
        std::string message;
    };
    const std::vector<Case> cases = {
        {at("file"), at("file") + " is not a directory\n"},
        {at("file/sub"), "Can't open or create directory " + at("file/sub") + "\n"},
        {"", "Can't open or create directory \n"},
    };
    for (const Case &c : cases) {
        elog_reset_register();
        EXPECT_EQ(makedir(c.dir.c_str()), -1) << c.dir;
        EXPECT_EQ(elog_register_count(), 1) << c.dir;
        EXPECT_NE(elog_register_text().find(c.message), std::string::npos)
            << elog_register_text();
    }
}

TEST_F(PathTest, MakedirWithoutPermission) {
    make_dir(at("ro"));  // root's, 0755
    const std::string ro = at("ro");
    auto r = in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            out("nosetuid");
            return;
        }
        const int rc1 = makedir(ro.c_str());
        out(std::to_string(rc1) + "|" + std::to_string(elog_register_count()) + "|" +
            elog_register_text() + "\n---\n");
        elog_reset_register();
        const int rc2 = makedir((ro + "/x/y").c_str());
        out(std::to_string(rc2) + "|" + std::to_string(elog_register_count()) + "|" +
            elog_register_text());
    });
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_NE(r.out, "nosetuid");
    const std::size_t sep = r.out.find("\n---\n");
    ASSERT_NE(sep, std::string::npos) << r.out;
    const std::string first = r.out.substr(0, sep);
    const std::string second = r.out.substr(sep + 5);
    EXPECT_EQ(first.rfind("-1|1|", 0), 0u) << first;
    EXPECT_NE(first.find("can't write to directory " + ro + "\n"), std::string::npos) << first;
    // The parent's message, then each directory's own.
    EXPECT_EQ(second.rfind("-1|3|", 0), 0u) << second;
    const std::size_t m1 = second.find("can't write to directory " + ro + "\n");
    const std::size_t m2 = second.find("Can't open or create directory " + ro + "/x\n");
    const std::size_t m3 = second.find("Can't open or create directory " + ro + "/x/y\n");
    EXPECT_NE(m1, std::string::npos) << second;
    EXPECT_NE(m2, std::string::npos) << second;
    EXPECT_NE(m3, std::string::npos) << second;
    EXPECT_LT(m1, m2);
    EXPECT_LT(m2, m3);
    EXPECT_FALSE(is_dir(ro + "/x"));
}

TEST_F(PathTest, MakePathdirs) {
    EXPECT_EQ(make_pathdirs("plainfile"), 0);
    EXPECT_EQ(make_pathdirs(at("p/q/file").c_str()), 0);
    EXPECT_TRUE(is_dir(at("p/q")));
    EXPECT_FALSE(is_dir(at("p/q/file")));
    EXPECT_EQ(make_pathdirs("r/s/file"), 0);
    EXPECT_TRUE(is_dir(at("r/s")));
    EXPECT_EQ(elog_register_count(), 0);

    // A file directly under the root: its directory is "/".
    EXPECT_EQ(make_pathdirs("/x"), 0);
    EXPECT_EQ(elog_register_count(), 0);
    auto r = in_child([] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            out("nosetuid");
            return;
        }
        const int rc = make_pathdirs("/x");
        out(std::to_string(rc) + "|" + elog_register_text());
    });
    ASSERT_TRUE(r.exited) << r.err;
    ASSERT_NE(r.out, "nosetuid");
    EXPECT_EQ(r.out.rfind("-1|", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("can't write to directory /\n"), std::string::npos) << r.out;
}

// ---- homedir ----

TEST(Homedir, KnownAndUnknownUsers) {
    const std::string mine = home_of(current_user().c_str());
    for (const char *user : {static_cast<const char *>(nullptr), ""}) {
        char *h = homedir(user);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(std::string(h), mine);
        std::free(h);
    }
    char *h = homedir("root");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::string(h), home_of("root"));
    std::free(h);
    EXPECT_EQ(homedir("nosuchuser9"), nullptr);
}

}  // namespace
