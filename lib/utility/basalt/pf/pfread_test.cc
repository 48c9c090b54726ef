// Parameter files: the search path, merging, reading from data directories,
// rereading on change, the named registry, and the error log's "elog" file.
//
// The test process itself never logs: the tests of the error log's own
// file need children whose log has not been initialised yet.
#include "pf.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "arrays.h"
#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::ScratchDir;
using testsupport::write_file;

namespace fs = std::filesystem;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

std::string scalar(Pf *pf, const char *key) {
    if (pf == nullptr || (pf->type != FILE_PF && pf->type != ARRAY_PF)) return "<no tree>";
    auto *node = static_cast<Pf *>(getarr(pf->value.arr, key));
    if (node == nullptr) return "<absent>";
    if (node->type != SCALAR_PF) return "<kind " + std::to_string(node->type) + ">";
    return node->value.s;
}

std::vector<std::string> keys_of(Pf *pf) {
    std::vector<std::string> keys;
    Tbl *k = keysarr(pf->value.arr);
    for (int i = 0; i < maxtbl(k); i++) keys.push_back(static_cast<char *>(gettbl(k, i)));
    freetbl(k, nullptr);
    return keys;
}

// Takes over a candidate list.
std::vector<std::string> paths_of(Tbl *list) {
    std::vector<std::string> paths;
    for (int i = 0; i < maxtbl(list); i++) paths.push_back(static_cast<char *>(gettbl(list, i)));
    freetbl(list, std::free);
    return paths;
}

// Sets a file's modification time to a whole second.
void set_mtime(const std::string &path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Each test works in a scratch directory of its own holding two search
// directories, "a" and "b", which make up PFPATH. Tests that need the
// current directory there go there themselves (in_scratch_dir): the log
// names the program from where the executable was started.
class PfRead : public ::testing::Test {
  protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        fs::create_directories(a());
        fs::create_directories(b());
        setenv("PFPATH", (a() + ":" + b()).c_str(), 1);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
        unsetenv("PFPATH");
    }
    void in_scratch_dir() { ASSERT_EQ(chdir(dir_.path().c_str()), 0); }
    std::string a() const { return dir_.file("a"); }
    std::string b() const { return dir_.file("b"); }

    ScratchDir dir_;

  private:
    std::string saved_cwd_;
};

// ---- Candidates ----

TEST_F(PfRead, CandidatesAlongThePath) {
    write_file(a() + "/x.pf", "k a\n");
    write_file(b() + "/x.pf", "k b\n");
    write_file(b() + "/ab.pf", "k b\n");
    write_file(b() + "/y.pf.pf", "k b\n");
    const std::vector<std::string> both = {a() + "/x.pf", b() + "/x.pf"};
    EXPECT_EQ(paths_of(pffiles("x", 0)), both);
    EXPECT_EQ(paths_of(pffiles("x.pf", 0)), both);
    EXPECT_EQ(paths_of(pffiles("ab", 0)), std::vector<std::string>{b() + "/ab.pf"});
    EXPECT_EQ(paths_of(pffiles("y.pf", 0)), std::vector<std::string>{});
    EXPECT_EQ(paths_of(pffiles("none", 0)), std::vector<std::string>{});
}

TEST_F(PfRead, ShortNamesAlwaysGetTheSuffix) {
    write_file(a() + "/pf.pf", "k 1\n");
    write_file(a() + "/.pf", "k 1\n");
    EXPECT_EQ(paths_of(pffiles("pf", 0)), std::vector<std::string>{a() + "/pf.pf"});
    EXPECT_EQ(paths_of(pffiles(".pf", 0)), std::vector<std::string>{a() + "/.pf"});
}

TEST_F(PfRead, AllListsCandidatesThatCannotBeRead) {
    write_file(b() + "/x.pf", "k b\n");
    EXPECT_EQ(paths_of(pffiles("x", 0)), std::vector<std::string>{b() + "/x.pf"});
    EXPECT_EQ(paths_of(pffiles("x", 1)), (std::vector<std::string>{a() + "/x.pf", b() + "/x.pf"}));
}

TEST_F(PfRead, AnExplicitLocationComesLast) {
    fs::create_directories(dir_.file("abs/dir"));
    write_file(a() + "/x.pf", "k a\n");
    write_file(dir_.file("abs/dir/x.pf"), "k abs\n");
    const std::string abs = dir_.file("abs/dir/x");
    EXPECT_EQ(paths_of(pffiles(abs.c_str(), 0)),
              (std::vector<std::string>{a() + "/x.pf", abs + ".pf"}));
    // Not readable and not asked for all: left out; with all: listed.
    EXPECT_EQ(paths_of(pffiles(dir_.file("abs/none").c_str(), 0)), std::vector<std::string>{});
    EXPECT_EQ(paths_of(pffiles(dir_.file("abs/none").c_str(), 1)),
              (std::vector<std::string>{a() + "/none.pf", b() + "/none.pf",
                                        dir_.file("abs/none.pf")}));
    // A name in the current directory, relative to it.
    in_scratch_dir();
    write_file(dir_.file("x.pf"), "k here\n");
    EXPECT_EQ(paths_of(pffiles("./x", 0)), (std::vector<std::string>{a() + "/x.pf", "./x.pf"}));
    // A relative name with a directory part.
    EXPECT_EQ(paths_of(pffiles("abs/dir/x", 0)),
              (std::vector<std::string>{a() + "/x.pf", "abs/dir/x.pf"}));
}

TEST_F(PfRead, AnExplicitFileAlreadyOnThePathIsListedOnce) {
    write_file(a() + "/x.pf", "k a\n");
    const std::string name = a() + "/x";
    EXPECT_EQ(paths_of(pffiles(name.c_str(), 0)), std::vector<std::string>{a() + "/x.pf"});
}

TEST_F(PfRead, PathElementsThatAreFilesStandForThemselves) {
    write_file(dir_.file("plain"), "k plain\n");
    setenv("PFPATH", (dir_.file("plain") + ":" + a()).c_str(), 1);
    write_file(a() + "/x.pf", "k a\n");
    EXPECT_EQ(paths_of(pffiles("x", 0)), (std::vector<std::string>{dir_.file("plain"), a() + "/x.pf"}));
}

TEST_F(PfRead, EnvironmentReferencesInThePath) {
    write_file(a() + "/x.pf", "k a\n");
    setenv("PFTESTDIR", a().c_str(), 1);
    setenv("PFPATH", "${PFTESTDIR}:$PFTESTDIR", 1);
    EXPECT_EQ(paths_of(pffiles("x", 0)), (std::vector<std::string>{a() + "/x.pf", a() + "/x.pf"}));
    setenv("PFPATH", "", 1);
    EXPECT_EQ(paths_of(pffiles("x", 0)), std::vector<std::string>{});
    unsetenv("PFTESTDIR");
}

TEST_F(PfRead, OverlongNamesFindNothing) {
    const std::string name(5000, 'n');
    EXPECT_EQ(paths_of(pffiles(name.c_str(), 1)), std::vector<std::string>{});
    Pf *pf = nullptr;
    EXPECT_EQ(pfread(name.c_str(), &pf), -1);
    pffree(pf);
}

TEST(PfReadDefault, InstallationDataThenTheCurrentDirectory) {
    ScratchDir dir;
    fs::create_directories(dir.file("root/data/pf"));
    fs::create_directories(dir.file("work"));
    write_file(dir.file("root/data/pf/x.pf"), "shared root\nk root\nonly_root 1\n");
    write_file(dir.file("work/x.pf"), "k here\nonly_here 2\n");
    ChildResult r = in_child([&] {
        unsetenv("PFPATH");
        setenv("KORVANEL", dir.file("root").c_str(), 1);
        if (chdir(dir.file("work").c_str()) != 0) return;
        std::string s;
        for (const std::string &p : paths_of(pffiles("x", 0))) s += p + "\n";
        Pf *pf = nullptr;
        s += std::to_string(pfread("x", &pf)) + "|";
        s += scalar(pf, "k") + "|" + scalar(pf, "only_root") + "|" + scalar(pf, "only_here") + "|" +
             scalar(pf, "shared");
        pffree(pf);
        out(s);
    });
    EXPECT_EQ(r.out, dir.file("root/data/pf/x.pf") + "\n" + "x.pf\n0|here|1|2|root");
}

// ---- Reading by name ----

TEST_F(PfRead, LaterFilesOverrideEarlierOnesKeyByKey) {
    write_file(a() + "/x.pf",
               "k a\nonly_a 1\ngone here\narr &Arr{\nx 1\ny 2\n}\nlist &Tbl{\n1\n2\n}\n");
    write_file(b() + "/x.pf", "k b\nonly_b 2\ngone &Undef{}\narr &Arr{\nz 3\n}\n");
    Pf *pf = nullptr;
    const char *name = "x";
    EXPECT_EQ(pfread(name, &pf), 0);
    ASSERT_NE(pf, nullptr);
    EXPECT_EQ(pf->type, FILE_PF);
    EXPECT_EQ(pf->filename, name);
    EXPECT_EQ(keys_of(pf), (std::vector<std::string>{"arr", "k", "list", "only_a", "only_b"}));
    EXPECT_EQ(scalar(pf, "k"), "b");
    auto *arr = static_cast<Pf *>(getarr(pf->value.arr, "arr"));
    EXPECT_EQ(keys_of(arr), std::vector<std::string>{"z"});
    pffree(pf);
}

TEST_F(PfRead, FileValuesRecordTheFileTheyCameFrom) {
    write_file(a() + "/x.pf", "f &file(notes)\n");
    write_file(b() + "/x.pf", "g &filename(other)\n");
    Pf *pf = nullptr;
    EXPECT_EQ(pfread("x", &pf), 0);
    auto hook_of = [&](const char *key) {
        auto *node = static_cast<Pf *>(getarr(pf->value.arr, key));
        return std::string(static_cast<char *>(node->value.pffunct->hook->p));
    };
    EXPECT_EQ(hook_of("f"), a() + "/x.pf");
    EXPECT_EQ(hook_of("g"), b() + "/x.pf");
    pffree(pf);
}

TEST_F(PfRead, NothingFoundOrNothingInIt) {
    struct Case {
        const char *contents;  // of a/x.pf; null: no file
    };
    for (const char *contents : {static_cast<const char *>(nullptr), "# only comments\n\n", ""}) {
        SCOPED_TRACE(contents ? contents : "(no file)");
        fs::remove(a() + "/x.pf");
        if (contents != nullptr) write_file(a() + "/x.pf", contents);
        Pf *pf = nullptr;
        EXPECT_EQ(pfread("x", &pf), -1);
        ASSERT_NE(pf, nullptr);
        EXPECT_EQ(pf->type, FILE_PF);
        EXPECT_EQ(cntarr(pf->value.arr), 0);
        pffree(pf);
    }
}

TEST_F(PfRead, EachFileThatFailsCountsMinusTwo) {
    write_file(a() + "/x.pf", "k a\nl &Tbl{\nx\n");
    write_file(b() + "/x.pf", "j b\n}\n");
    write_file(dir_.file("x.pf"), "m c\n");
    const std::string explicit_name = dir_.file("x");
    ChildResult r = in_child([&] {
        elog_clear();
        Pf *pf = nullptr;
        int result = pfread(explicit_name.c_str(), &pf);
        out(std::to_string(result) + "|" + scalar(pf, "k") + scalar(pf, "j") + scalar(pf, "m") +
            "|" + testsupport::elog_register_text());
        pffree(pf);
    });
    EXPECT_EQ(r.out, "-4|abc|" + P() + ": Unterminated arrays or tables in parameter file: depth = 1\n" +
                         P() + ": invalid right brace at line#2\n");
}

TEST_F(PfRead, UnopenableFilesAreSkippedQuietly) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    write_file(a() + "/x.pf", "k a\n");
    write_file(b() + "/x.pf", "k b\n");
    Tbl *listed = pffiles("x", 0);
    ASSERT_EQ(maxtbl(listed), 2);
    freetbl(listed, std::free);
    // Made unreadable after the search: the open fails.
    ASSERT_EQ(chmod((b() + "/x.pf").c_str(), 0), 0);
    Pf *pf = nullptr;
    errno = 0;
    EXPECT_EQ(pfread("x", &pf), 0);
    EXPECT_EQ(scalar(pf, "k"), "a");
    pffree(pf);
}

// ---- Reading from a data directory ----

TEST_F(PfRead, LoadFromDataDirectories) {
    fs::create_directories(dir_.file("d1/conf"));
    fs::create_directories(dir_.file("d2/conf"));
    write_file(dir_.file("d1/conf/sys.pf"), "k one\n");
    write_file(dir_.file("d2/conf/sys.pf"), "k two\n");
    const std::string d1 = dir_.file("d1"), d2 = dir_.file("d2");
    ChildResult r = in_child([&] {
        elog_clear();
        std::string s;
        setenv("DATAPATH", d2.c_str(), 1);
        setenv("MY_DATA", d1.c_str(), 1);
        const char *file = "sys";
        for (const char *env : {static_cast<const char *>(nullptr), "MY_DATA", "UNSET_VARIABLE"}) {
            Pf *pf = nullptr;
            const int result = pfload(env, "conf", file, &pf);
            s += std::to_string(result) + ":" + scalar(pf, "k") + ":" +
                 std::to_string(pf->filename == file) + ":" + std::to_string(pf->type) + "|";
            pffree(pf);
        }
        Pf *pf = nullptr;
        const int result = pfload(nullptr, "conf", "missing", &pf);
        s += std::to_string(result) + ":" + std::to_string(pf->type) + "|";
        pffree(pf);
        out(s + testsupport::elog_register_text());
    });
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "0:two:1:0|0:one:1:0|0:two:1:0|-1:0|" + P() +
                         ": Can't find parameter file conf/missing\n");
}

TEST_F(PfRead, LoadReportsParseErrors) {
    fs::create_directories(dir_.file("d/conf"));
    write_file(dir_.file("d/conf/bad.pf"), "k v\n}\n");
    const std::string d = dir_.file("d");
    ChildResult r = in_child([&] {
        elog_clear();
        setenv("DATAPATH", d.c_str(), 1);
        Pf *pf = nullptr;
        int result = pfload(nullptr, "conf", "bad", &pf);
        out(std::to_string(result) + "|" + scalar(pf, "k") + "|" + testsupport::elog_register_text());
        pffree(pf);
    });
    EXPECT_EQ(r.out, "-2|v|" + P() + ": invalid right brace at line#2\n");
}

// ---- Times ----

TEST_F(PfRead, TimesOfTheFiles) {
    write_file(a() + "/x.pf", "k a\n");
    write_file(b() + "/x.pf", "k b\n");
    set_mtime(a() + "/x.pf", 1000000000);
    set_mtime(b() + "/x.pf", 1000000001);
    Tbl *t1 = pftimes("x");
    ASSERT_EQ(maxtbl(t1), 2);
    auto *first = static_cast<Pftime *>(gettbl(t1, 0));
    auto *second = static_cast<Pftime *>(gettbl(t1, 1));
    EXPECT_EQ(first->time, 1000000000);
    EXPECT_EQ(first->filename, a() + "/x.pf");
    EXPECT_EQ(second->time, 1000000001);

    Tbl *t2 = pftimes("x");
    EXPECT_EQ(cmppftimes(t1, t2), 0);
    set_mtime(b() + "/x.pf", 1000000002);
    Tbl *t3 = pftimes("x");
    EXPECT_EQ(cmppftimes(t1, t3), 1);
    fs::remove(a() + "/x.pf");
    Tbl *t4 = pftimes("x");
    EXPECT_EQ(maxtbl(t4), 1);
    EXPECT_EQ(cmppftimes(t3, t4), 1);
    auto free_entry = [](void *v) { freepftime(static_cast<Pftime *>(v)); };
    for (Tbl *t : {t1, t2, t3, t4}) freetbl(t, free_entry);
}

// ---- Rereading on change ----

TEST_F(PfRead, UpdateRereadsOnlyAfterAChange) {
    write_file(a() + "/u.pf", "k 1\n");
    write_file(b() + "/u.pf", "j 1\n");
    set_mtime(a() + "/u.pf", 1000000000);
    set_mtime(b() + "/u.pf", 1000000000);
    Pf *pf = nullptr;
    EXPECT_EQ(pfupdate("u", &pf), 1);
    EXPECT_EQ(scalar(pf, "k"), "1");
    Pf *first = pf;
    EXPECT_EQ(pfupdate("u", &pf), 0);
    EXPECT_EQ(pf, first);

    // A new modification second.
    write_file(a() + "/u.pf", "k 2\n");
    set_mtime(a() + "/u.pf", 1000000001);
    EXPECT_EQ(pfupdate("u", &pf), 1);
    EXPECT_EQ(scalar(pf, "k"), "2");
    EXPECT_EQ(scalar(pf, "j"), "1");
    EXPECT_EQ(pfupdate("u", &pf), 0);

    // One of the two files goes away.
    fs::remove(b() + "/u.pf");
    EXPECT_EQ(pfupdate("u", &pf), 1);
    EXPECT_EQ(scalar(pf, "j"), "<absent>");

    // A file added.
    write_file(b() + "/u.pf", "j 3\n");
    EXPECT_EQ(pfupdate("u", &pf), 1);
    EXPECT_EQ(scalar(pf, "j"), "3");
    pffree(pf);
}

TEST_F(PfRead, UpdateKeepsOneRecordPerVariable) {
    write_file(a() + "/v.pf", "k 1\n");
    Pf *one = nullptr;
    Pf *two = nullptr;
    EXPECT_EQ(pfupdate("v", &one), 1);
    EXPECT_EQ(pfupdate("v", &two), 1);
    EXPECT_NE(one, two);
    EXPECT_EQ(pfupdate("v", &one), 0);
    EXPECT_EQ(pfupdate("v", &two), 0);
    EXPECT_EQ(pfcmp(one, two), 0);
    pffree(one);
    pffree(two);
}

TEST_F(PfRead, UpdatePassesFailuresThrough) {
    Pf *pf = nullptr;
    EXPECT_EQ(pfupdate("nothing_here", &pf), -1);
    ASSERT_NE(pf, nullptr);
    EXPECT_EQ(cntarr(pf->value.arr), 0);
    EXPECT_EQ(pfupdate("nothing_here", &pf), 0);
    pffree(pf);
}

// ---- The named registry ----

TEST_F(PfRead, RegistryReadsOnceAndHandsOutTheSameTree) {
    write_file(a() + "/reg.pf", "k 1\n");
    std::string name = "reg";
    EXPECT_EQ(existsPf(name.c_str()), nullptr);
    Pf *pf = getPf(name.c_str());
    ASSERT_NE(pf, nullptr);
    EXPECT_EQ(scalar(pf, "k"), "1");
    name.assign("xxx");  // the caller's text may change: the tree's name stays valid
    EXPECT_STREQ(pf->filename, "reg");
    EXPECT_EQ(getPf("reg"), pf);
    EXPECT_EQ(existsPf("reg"), pf);
    EXPECT_EQ(getPf("not_there"), nullptr);
    EXPECT_EQ(existsPf("not_there"), nullptr);
    EXPECT_EQ(freePf("reg"), 0);
    EXPECT_EQ(freePf("reg"), -1);
    EXPECT_EQ(existsPf("reg"), nullptr);
}

TEST_F(PfRead, RegistryPutReplacesTrees) {
    Pf *first = nullptr;
    ASSERT_EQ(pfcompile("k first\n", &first), 0);
    Pf *second = nullptr;
    ASSERT_EQ(pfcompile("k second\n", &second), 0);
    Pf *third = nullptr;
    ASSERT_EQ(pfcompile("k third\n", &third), 0);
    putPf("put", first);
    EXPECT_EQ(getPf("put"), first);
    putPf("put", second);  // frees first
    EXPECT_EQ(existsPf("put"), second);
    putPf("put", second);  // the same tree again: kept
    EXPECT_EQ(scalar(existsPf("put"), "k"), "second");
    putPf_nofree("put", third);  // second stays ours
    EXPECT_EQ(existsPf("put"), third);
    EXPECT_EQ(scalar(second, "k"), "second");
    pffree(second);
    EXPECT_EQ(freePf("put"), 0);
}

TEST_F(PfRead, RegistryUpdate) {
    write_file(a() + "/upd.pf", "k 1\n");
    set_mtime(a() + "/upd.pf", 1000000000);
    EXPECT_EQ(updatePf("no_such_file"), -1);
    EXPECT_EQ(updatePf("upd"), 1);  // the first update rereads
    Pf *pf = existsPf("upd");
    ASSERT_NE(pf, nullptr);
    EXPECT_EQ(scalar(pf, "k"), "1");
    EXPECT_EQ(updatePf("upd"), 0);
    EXPECT_EQ(existsPf("upd"), pf);
    write_file(a() + "/upd.pf", "k 2\n");
    set_mtime(a() + "/upd.pf", 1000000001);
    EXPECT_EQ(updatePf("upd"), 1);
    EXPECT_EQ(scalar(existsPf("upd"), "k"), "2");
    EXPECT_STREQ(existsPf("upd")->filename, "upd");
    // A reread that finds nothing leaves the registry a valid (empty) tree.
    fs::remove(a() + "/upd.pf");
    EXPECT_EQ(updatePf("upd"), -1);
    ASSERT_NE(existsPf("upd"), nullptr);
    EXPECT_EQ(cntarr(existsPf("upd")->value.arr), 0);
    EXPECT_EQ(freePf("upd"), 0);
}

TEST_F(PfRead, RegistryFromManyThreads) {
    write_file(a() + "/many.pf", "k 1\n");
    std::vector<std::thread> threads;
    std::vector<Pf *> seen(8, nullptr);
    std::vector<int> bad(8, 0);
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([t, &seen, &bad] {
            for (int i = 0; i < 20; i++) {
                // The registry lends its tree, and another thread's updatePf
                // may replace it at any moment: only the registry's own
                // bookkeeping is checked here, the tree after the threads.
                Pf *pf = getPf("many");
                if (pf == nullptr) bad[t]++;
                seen[t] = pf;
                if (updatePf("many") < 0) bad[t]++;
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(bad, std::vector<int>(8, 0));
    Pf *final_tree = existsPf("many");
    EXPECT_EQ(scalar(final_tree, "k"), "1");
    EXPECT_EQ(freePf("many"), 0);
}

TEST_F(PfRead, ReadsFromManyThreads) {
    for (int f = 0; f < 4; f++)
        write_file(a() + "/t" + std::to_string(f) + ".pf", "k " + std::to_string(f) + "\n");
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t, &bad] {
            const std::string name = "t" + std::to_string(t);
            Pf *mine = nullptr;
            for (int i = 0; i < 30; i++) {
                Pf *pf = nullptr;
                if (pfread(name.c_str(), &pf) != 0 || scalar(pf, "k") != std::to_string(t)) bad[t]++;
                pffree(pf);
                if (pfupdate(name.c_str(), &mine) < 0) bad[t]++;
            }
            pffree(mine);
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));
    EXPECT_EQ(Pf_busy, 0);
}

// ---- The error log's "elog" file ----

std::string settings(Elog_code code) {
    std::string s;
    for (int severity = 0; severity < 7; severity++) {
        void *v = nullptr;
        elog_query(code, severity, &v);
        s += v ? static_cast<char *>(v) : "(unset)";
        if (severity < 6) s += "|";
    }
    return s;
}

std::string log_settings() {
    void *v = nullptr;
    elog_query(ELOG_MAXMSG, 0, &v);
    std::string s = std::to_string(testsupport::as_int(v)) + "\n";
    elog_query(ELOG_SIGNALS, 0, &v);
    s += std::string(v ? static_cast<char *>(v) : "(null)") + "\n";
    s += settings(ELOG_TAG) + "\n" + settings(ELOG_DELIVER) + "\n" + settings(ELOG_DEBUG) + "\n";
    return s;
}

const char kElogFile[] =
    "ELOG_MAXMSG 7\n"
    "ELOG_WAIT 3\n"
    "ELOG_SIGNALS SEGV:BUS\n"
    "ELOG_TAG &Arr{\n"
    "    complain TAG-%P\n"
    "    die\n"
    "}\n"
    "ELOG_DEBUG &Arr{\n"
    "    debug gdb %p\n"
    "}\n";

TEST_F(PfRead, ElogFileConfiguresTheLog) {
    write_file(a() + "/elog.pf", kElogFile);
    ChildResult r = in_child([] {
        elog_init(0, nullptr);
        out(log_settings());
    });
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "7\nSEGV:BUS\n"
              "%P|%P|TAG-%P||%P *fault*|%P *debug*|%P *alert*\n"
              "|stderr|stderr|stderr|stderr|stderr|stderr\n"
              "(unset)|(unset)|(unset)|ups %r %p &|ups %r %p &|gdb %p|(unset)\n");
}

TEST_F(PfRead, ElogFileOfTheWrongShapeCannotEndTheProgram) {
    write_file(a() + "/elog.pf",
               "ELOG_MAXMSG &Tbl{\n1\n}\nELOG_TAG plain\nELOG_DELIVER &Arr{\nlog &Tbl{\nx\n}\n}\n");
    ChildResult r = in_child([] {
        elog_init(0, nullptr);
        out(log_settings());
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out,
              "50\n\n"
              "%P|%P|%P|%P *fatal*|%P *fault*|%P *debug*|%P *alert*\n"
              "|stderr|stderr|stderr|stderr|stderr|stderr\n"
              "(unset)|(unset)|(unset)|(unset)|(unset)|(unset)|(unset)\n");
}

TEST_F(PfRead, TheFirstMessageOfAParseStillReadsTheElogFile) {
    // The log is first initialised by a message of the parser itself: the
    // message is logged once the parser is free, so "elog" is read.
    write_file(a() + "/elog.pf", kElogFile);
    ChildResult r = in_child([] {
        Pf *pf = nullptr;
        int result = pfcompile("k v\n}\n", &pf);
        pffree(pf);
        out(std::to_string(result) + "\n" + log_settings() + testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out,
              "-2\n7\nSEGV:BUS\n"
              "%P|%P|TAG-%P||%P *fault*|%P *debug*|%P *alert*\n"
              "|stderr|stderr|stderr|stderr|stderr|stderr\n"
              "(unset)|(unset)|(unset)|ups %r %p &|ups %r %p &|gdb %p|(unset)\n" +
                  P() + ": invalid right brace at line#2\n");
}

TEST_F(PfRead, LogInitialisationWhileOtherThreadsParse) {
    // Threads parse bad text (and so log) while the log initialises itself
    // and reads "elog": nobody waits for anybody forever.
    write_file(a() + "/elog.pf", kElogFile);
    ChildResult r = in_child([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; t++) {
            threads.emplace_back([] {
                for (int i = 0; i < 200; i++) {
                    Pf *pf = nullptr;
                    pfcompile("k v\n}\n", &pf);
                    pffree(pf);
                }
            });
        }
        elog_init(0, nullptr);
        for (auto &th : threads) th.join();
        void *v = nullptr;
        elog_query(ELOG_SIGNALS, 0, &v);
        out(static_cast<char *>(v));
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "SEGV:BUS");
}

}  // namespace
