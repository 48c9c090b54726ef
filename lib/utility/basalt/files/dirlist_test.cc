// Directory listings: dirfiles, directory and fstraverse.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "arrays.h"
#include "child.h"
#include "elog_capture.h"
#include "filetests.h"
#include "scratch_dir.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;
using testsupport::out;
using testsupport::run_in_child;
using testsupport::ScratchDir;
using testsupport::write_file;

using Names = std::vector<std::string>;

Names names_of(Tbl *list) {
    Names names;
    for (int i = 0; i < maxtbl(list); i++) names.emplace_back(static_cast<char *>(gettbl(list, i)));
    return names;
}

// dirfiles as a vector; the list is freed.
Names listing(const std::string &path, int flag) {
    Tbl *list = dirfiles(path.c_str(), flag);
    EXPECT_NE(list, nullptr);
    Names names = names_of(list);
    freetbl(list, std::free);
    return names;
}

Names keys_of(Arr *arr) {
    Tbl *keys = keysarr(arr);
    Names names = names_of(keys);
    freetbl(keys, nullptr);
    return names;
}

void make_dir(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

void make_link(const std::string &target, const std::string &path) {
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

std::string as_nobody(const std::function<void()> &body) {
    ChildResult r = run_in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            out("nosetuid");
            return;
        }
        body();
    });
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
    return r.out;
}

// A directory of every kind of entry.
class Mixed : public ::testing::Test {
  protected:
    void SetUp() override {
        write_file(dir.file("b"), "bb");
        write_file(dir.file("a"), "a");
        write_file(dir.file("C"), "");
        make_dir(dir.file("d2"));
        make_dir(dir.file("d1"));
        make_link("a", dir.file("lf"));
        make_link("d1", dir.file("ld"));
        make_link("nowhere", dir.file("dangling"));
        ASSERT_EQ(mkfifo(dir.file("p").c_str(), 0644), 0);
    }
    ScratchDir dir;
};

TEST_F(Mixed, DirfilesByFlag) {
    struct Case {
        int flag;
        Names expected;
    };
    const Case cases[] = {
        {0, {"C", "a", "b", "d1", "d2", "dangling", "ld", "lf", "p"}},
        {1, {"C", "a", "b", "lf"}},
        {2, {"d1", "d2", "ld"}},
        {3, {}},
        {-1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flag);
        EXPECT_EQ(listing(dir.path(), c.flag), c.expected);
    }
}

TEST_F(Mixed, DirfilesOfWhatIsNoDirectory) {
    for (int flag : {0, 1, 2}) {
        SCOPED_TRACE(flag);
        EXPECT_EQ(listing(dir.file("a"), flag), Names{});
        EXPECT_EQ(listing(dir.file("missing"), flag), Names{});
        EXPECT_EQ(listing(dir.file("dangling"), flag), Names{});
        EXPECT_EQ(listing("", flag), Names{});
    }
    // Through a link to a directory.
    write_file(dir.file("d1/inner"), "");
    EXPECT_EQ(listing(dir.file("ld"), 0), Names{"inner"});
    Tbl *none = dirfiles(nullptr, 0);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(maxtbl(none), 0);
    freetbl(none, std::free);
}

TEST_F(Mixed, ErrnoIsLeftAlone) {
    for (const std::string &p : {dir.path(), dir.file("missing")}) {
        errno = EDOM;
        freetbl(dirfiles(p.c_str(), 1), std::free);
        EXPECT_EQ(errno, EDOM);
        Arr *dirs = nullptr, *files = nullptr;
        errno = EDOM;
        directory(p.c_str(), &dirs, &files);
        EXPECT_EQ(errno, EDOM);
        freearr(dirs, std::free);
        freearr(files, std::free);
    }
}

TEST_F(Mixed, Directory) {
    Arr *dirs = nullptr, *files = nullptr;
    ASSERT_EQ(directory(dir.path().c_str(), &dirs, &files), 0);
    ASSERT_NE(dirs, nullptr);
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(keys_of(dirs), (Names{"d1", "d2", "ld"}));
    EXPECT_EQ(keys_of(files), (Names{"C", "a", "b", "lf"}));
    // Records are those of the targets of links.
    auto *b = static_cast<struct stat *>(getarr(files, "b"));
    auto *lf = static_cast<struct stat *>(getarr(files, "lf"));
    auto *ld = static_cast<struct stat *>(getarr(dirs, "ld"));
    ASSERT_TRUE(b && lf && ld);
    EXPECT_EQ(b->st_size, 2);
    EXPECT_TRUE(S_ISREG(lf->st_mode));
    EXPECT_EQ(lf->st_size, 1);
    EXPECT_TRUE(S_ISDIR(ld->st_mode));
    struct stat d1;
    ASSERT_EQ(stat(dir.file("d1").c_str(), &d1), 0);
    EXPECT_EQ(ld->st_ino, d1.st_ino);
    freearr(dirs, std::free);
    freearr(files, std::free);
}

// A file beyond 2 GB is listed everywhere, with its whole size.
TEST(Listings, FileBeyondTwoGigabytes) {
    ScratchDir dir;
    const std::string big = dir.file("big");
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const off64_t size = 3000000000LL;
    if (ftruncate64(fd, size) != 0) {
        close(fd);
        GTEST_SKIP() << "no large sparse files here";
    }
    close(fd);
    EXPECT_EQ(listing(dir.path(), 1), Names{"big"});
    Arr *dirs = nullptr, *files = nullptr;
    ASSERT_EQ(directory(dir.path().c_str(), &dirs, &files), 0);
    auto *record = static_cast<struct stat *>(getarr(files, "big"));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(static_cast<long long>(record->st_size), size);
    EXPECT_TRUE(S_ISREG(record->st_mode));
    freearr(dirs, std::free);
    freearr(files, std::free);
    int count = 0;
    EXPECT_EQ(fstraverse(
                  dir.path().c_str(), 0,
                  [](const char *, struct stat *, void *pvt) {
                      ++*static_cast<int *>(pvt);
                      return 1;
                  },
                  &count),
              1);
    EXPECT_EQ(count, 1);
}

TEST_F(Mixed, DirectoryOfWhatIsNoDirectory) {
    for (const std::string &p : {dir.file("a"), dir.file("missing")}) {
        SCOPED_TRACE(p);
        Arr *dirs = nullptr, *files = nullptr;
        EXPECT_EQ(directory(p.c_str(), &dirs, &files), -1);
        ASSERT_NE(dirs, nullptr);
        ASSERT_NE(files, nullptr);
        EXPECT_EQ(cntarr(dirs), 0);
        EXPECT_EQ(cntarr(files), 0);
        freearr(dirs, std::free);
        freearr(files, std::free);
    }
}

TEST(Dirfiles, SortedByStrcmp) {
    ScratchDir dir;
    Names names = {"a9", "a10", "Z", "_x", "a", "2026-12-10-143000.000-12345",
                   "2026-12-10-142000.000-12000", "b", "aa", ".hidden", "-dash"};
    for (const std::string &n : names) write_file(dir.file(n), "");
    std::sort(names.begin(), names.end(),
              [](const std::string &x, const std::string &y) { return std::strcmp(x.c_str(), y.c_str()) < 0; });
    EXPECT_EQ(listing(dir.path(), 0), names);
    EXPECT_EQ(listing(dir.path(), 1), names);
}

TEST(Dirfiles, ManyEntries) {
    ScratchDir dir;
    Names names;
    for (int i = 2999; i >= 0; i--) {
        char name[32];
        std::snprintf(name, sizeof name, "seg-%05d", (i * 7919) % 3000);
        names.emplace_back(name);
        write_file(dir.file(name), "");
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(listing(dir.path(), 1), names);
    EXPECT_EQ(listing(dir.path(), 2), Names{});
}

TEST(Dirfiles, EmptyDirectory) {
    ScratchDir dir;
    for (int flag : {0, 1, 2}) EXPECT_EQ(listing(dir.path(), flag), Names{});
}

TEST(Listings, UnreadableDirectory) {
    ScratchDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string locked = dir.file("locked");
    make_dir(locked);
    write_file(locked + "/inside", "");
    make_dir(locked + "/sub");
    chmod(locked.c_str(), 0711);
    std::string got = as_nobody([&] {
        out(std::to_string(maxtbl(dirfiles(locked.c_str(), 0))));
        Arr *dirs = nullptr, *files = nullptr;
        out(std::to_string(directory(locked.c_str(), &dirs, &files)));
        out(std::to_string(cntarr(dirs) + cntarr(files)));
        // The walk reports the directory and finds nothing inside.
        int seen = 0;
        int sum = fstraverse(
            dir.path().c_str(), 0,
            [](const char *, struct stat *, void *pvt) {
                ++*static_cast<int *>(pvt);
                return 1;
            },
            &seen);
        out("|" + std::to_string(sum) + "," + std::to_string(seen));
    });
    if (got == "nosetuid") GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(got, "000|1,1");
}

// A path close to the limit: an entry whose full name would not fit in a
// path is left out, and nothing overflows.
TEST(Listings, EntryBeyondThePathLimit) {
    ScratchDir dir;
    std::string deep = dir.path();
    const std::string part(200, 'd');
    while (deep.size() + 1 + part.size() < 3900) {
        deep += "/" + part;
        make_dir(deep);
    }
    ASSERT_GT(deep.size() + 1 + 255, 4095u);
    const std::string longname(255, 'f');
    int dfd = open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    int fd = openat(dfd, longname.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(mkdirat(dfd, (std::string(255, 's')).c_str(), 0755), 0);
    close(dfd);
    write_file(deep + "/short", "");

    EXPECT_EQ(listing(deep, 0), (Names{longname, "short", std::string(255, 's')}));
    Arr *dirs = nullptr, *files = nullptr;
    EXPECT_EQ(directory(deep.c_str(), &dirs, &files), 0);
    EXPECT_EQ(keys_of(files), Names{"short"});
    EXPECT_EQ(keys_of(dirs), Names{});
    freearr(dirs, std::free);
    freearr(files, std::free);

    Names seen;
    int sum = fstraverse(
        deep.c_str(), 0,
        [](const char *path, struct stat *, void *pvt) {
            static_cast<Names *>(pvt)->emplace_back(path);
            return 1;
        },
        &seen);
    EXPECT_EQ(sum, 1);
    EXPECT_EQ(seen, Names{deep + "/short"});
}

TEST(Listings, ManyThreadsAtOnce) {
    ScratchDir dir;
    for (int i = 0; i < 50; i++) write_file(dir.file("f" + std::to_string(i)), "");
    make_dir(dir.file("sub"));
    Names expected = listing(dir.path(), 1);
    ASSERT_EQ(expected.size(), 50u);
    std::vector<std::thread> threads;
    std::vector<int> failures(6, 0);
    for (int t = 0; t < 6; t++)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; round++) {
                if (listing(dir.path(), 1) != expected) failures[t]++;
                Arr *dirs = nullptr, *files = nullptr;
                if (directory(dir.path().c_str(), &dirs, &files) != 0 || cntarr(files) != 50 ||
                    cntarr(dirs) != 1)
                    failures[t]++;
                freearr(dirs, std::free);
                freearr(files, std::free);
                if (is_empty(dir.path().c_str()) != 0) failures[t]++;
                if (is_empty(dir.file("sub").c_str()) != 1) failures[t]++;
            }
        });
    for (std::thread &t : threads) t.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}

// ---- fstraverse ----

struct Visit {
    std::string path;
    bool isdir;
    long long size;
};

struct Walk {
    std::string top;
    std::vector<Visit> visits;
    int answer = 1;
};

int record_visit(const char *path, struct stat *st, void *pvt) {
    auto *walk = static_cast<Walk *>(pvt);
    std::string p = path;
    if (p.compare(0, walk->top.size() + 1, walk->top + "/") == 0) p = p.substr(walk->top.size() + 1);
    walk->visits.push_back({p, S_ISDIR(st->st_mode), static_cast<long long>(st->st_size)});
    return walk->answer;
}

Names paths_of(const Walk &walk) {
    Names names;
    for (const Visit &v : walk.visits) names.push_back(v.path);
    return names;
}

class Tree : public ::testing::Test {
  protected:
    // top/{f1, f2, b/{h, c/{g}}, e/}
    void SetUp() override {
        write_file(dir.file("f2"), "22");
        write_file(dir.file("f1"), "1");
        make_dir(dir.file("b"));
        make_dir(dir.file("b/c"));
        write_file(dir.file("b/c/g"), "ggg");
        write_file(dir.file("b/h"), "hhhh");
        make_dir(dir.file("e"));
        ASSERT_EQ(mkfifo(dir.file("b/fifo").c_str(), 0644), 0);
    }
    Walk walk(int flags) {
        Walk w;
        w.top = dir.path();
        result = fstraverse(dir.path().c_str(), flags, record_visit, &w);
        return w;
    }
    ScratchDir dir;
    int result = 0;
};

TEST_F(Tree, OrderByFlags) {
    struct Case {
        int flags;
        Names expected;
    };
    const Case cases[] = {
        {0, {"f1", "f2", "b", "b/h", "b/c", "b/c/g", "e"}},
        {FSTRAVERSE_DEPTH_FIRST, {"b/c/g", "b/c", "b/h", "b", "e", "f1", "f2"}},
        {FSTRAVERSE_NO_DIRS, {"f1", "f2", "b/h", "b/c/g"}},
        {FSTRAVERSE_NO_FILES, {"b", "b/c", "e"}},
        {FSTRAVERSE_DEPTH_FIRST | FSTRAVERSE_NO_DIRS, {"b/c/g", "b/h", "f1", "f2"}},
        {FSTRAVERSE_DEPTH_FIRST | FSTRAVERSE_NO_FILES, {"b/c", "b", "e"}},
        {FSTRAVERSE_NO_DIRS | FSTRAVERSE_NO_FILES, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        Walk w = walk(c.flags);
        EXPECT_EQ(paths_of(w), c.expected);
        EXPECT_EQ(result, static_cast<int>(c.expected.size()));
    }
}

TEST_F(Tree, RecordsAndSums) {
    Walk w;
    w.top = dir.path();
    w.answer = 10;
    EXPECT_EQ(fstraverse(dir.path().c_str(), FSTRAVERSE_NO_DIRS, record_visit, &w), 40);
    for (const Visit &v : w.visits) {
        SCOPED_TRACE(v.path);
        EXPECT_FALSE(v.isdir);
        EXPECT_EQ(v.size, static_cast<long long>(testsupport::read_file(dir.file(v.path)).size()));
    }
    Walk d = walk(FSTRAVERSE_NO_FILES);
    for (const Visit &v : d.visits) EXPECT_TRUE(v.isdir) << v.path;
    // Negative answers count too.
    Walk neg;
    neg.top = dir.path();
    neg.answer = -2;
    EXPECT_EQ(fstraverse(dir.path().c_str(), 0, record_visit, &neg), -14);
}

TEST_F(Tree, NotADirectory) {
    for (const std::string &p : {dir.file("f1"), dir.file("missing"), std::string()}) {
        Walk w;
        EXPECT_EQ(fstraverse(p.c_str(), 0, record_visit, &w), -1);
        EXPECT_TRUE(w.visits.empty());
    }
    Walk w;
    EXPECT_EQ(fstraverse(nullptr, 0, record_visit, &w), -1);
}

TEST_F(Tree, WithoutCallback) {
    EXPECT_EQ(fstraverse(dir.path().c_str(), 0, nullptr, nullptr), 0);
}

TEST_F(Tree, LinksAreFollowed) {
    make_link("b", dir.file("lb"));
    make_link("f1", dir.file("lf"));
    Walk w = walk(0);
    EXPECT_EQ(paths_of(w), (Names{"f1", "f2", "lf", "b", "b/h", "b/c", "b/c/g", "e", "lb",
                                  "lb/h", "lb/c", "lb/c/g"}));
}

TEST_F(Tree, LinkBackToAnAncestorIsNotEnteredAgain) {
    make_link("..", dir.file("b/c/up"));
    make_link(".", dir.file("e/self"));
    make_link(dir.path(), dir.file("top"));
    Walk w = walk(FSTRAVERSE_NO_FILES);
    EXPECT_EQ(paths_of(w), (Names{"b", "b/c", "b/c/up", "e", "e/self", "top"}));
    EXPECT_EQ(result, 6);
}

TEST_F(Tree, RelativeTop) {
    ChildResult r = run_in_child([&] {
        if (chdir(dir.path().c_str()) != 0) return;
        Walk w;
        fstraverse("b", 0, record_visit, &w);
        for (const Visit &v : w.visits) out(v.path + ";");
        Walk dot;
        fstraverse(".", FSTRAVERSE_NO_DIRS, record_visit, &dot);
        out("|");
        for (const Visit &v : dot.visits) out(v.path + ";");
    });
    EXPECT_EQ(r.out, "b/h;b/c;b/c/g;|f1;f2;b/h;b/c/g;");
}

}  // namespace
