// Table files: the search along the database path, opening and mapping,
// lengths, locks in the three lock modes and external files.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "child.h"
#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::at;
using ledgeform_testing::count_of;
using ledgeform_testing::DatabaseTest;
using ledgeform_testing::text_of;
using testing::HasSubstr;
using testsupport::read_file;
using testsupport::write_file;

using TableFileTest = DatabaseTest;

std::string str(const char *s) { return s; }

TEST_F(TableFileTest, FindPathFollowsTheDatabasePath) {
    ASSERT_EQ(mkdir(path("other").c_str(), 0775), 0);
    ASSERT_EQ(mkdir(path("abs").c_str(), 0775), 0);
    write_file(path("other/alt.site"), "");
    write_file(path("demo.wfdisc"), "");
    write_file(path("abs/demo.lastid"), "");
    write_file(path("other/demo.sample"), "");
    write_file(path("demo.memo"), "");
    char result[4096];
    std::string db = path("demo");
    EXPECT_EQ(find_path(db.c_str(), "site", "other/{alt}", result), 0);
    EXPECT_EQ(str(result), dir_.path() + "/other/alt.site");
    EXPECT_EQ(find_path(db.c_str(), "wfdisc", "nowhere", result), 0);
    EXPECT_EQ(str(result), db + ".wfdisc");
    EXPECT_EQ(find_path(db.c_str(), "lastid", ("x:" + path("abs")).c_str(), result), 0);
    EXPECT_EQ(str(result), path("abs") + "/demo.lastid");
    EXPECT_EQ(find_path(db.c_str(), "sample", ":other", result), 0);
    EXPECT_EQ(str(result), dir_.path() + "/other/demo.sample");
    EXPECT_EQ(find_path(db.c_str(), "none", "other:abs", result), -1);
    EXPECT_EQ(str(result), db + ".none");
    // An empty element stands for the database's own directory.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    EXPECT_EQ(find_path("x/demo", "memo", ":", result), -1);
    EXPECT_EQ(find_path("demo", "memo", "", result), 0);
    EXPECT_EQ(str(result), "demo.memo");
    EXPECT_EQ(find_path("other/demo", "memo", "..:", result), 0);
    EXPECT_EQ(str(result), "other/../demo.memo");
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(TableFileTest, TablePathsForTheFileList) {
    ASSERT_EQ(mkdir(path("other").c_str(), 0775), 0);
    write_file(path("other/alt.site"), "");
    write_file(path("other/demo.sample"), "");
    char result[4096];
    std::string db = path("demo");
    EXPECT_EQ(dbtablepath(db.c_str(), "site", "other/{alt}", result), 0);
    EXPECT_EQ(str(result), path("other/alt.site"));
    EXPECT_EQ(dbtablepath(db.c_str(), "sample", "::other", result), 0);
    EXPECT_EQ(dbtablepath(db.c_str(), "none", "other", result), 1);
    // Relative to the current directory when that is shorter.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    EXPECT_EQ(dbtablepath(db.c_str(), "sample", "other", result), 0);
    EXPECT_EQ(str(result), "other/demo.sample");
    ASSERT_EQ(chdir(cwd), 0);
    Tbl *list = dbtblpaths("d/demo", "site", "a::a:/b/{x}:c");
    ASSERT_EQ(maxtbl(list), 4);
    EXPECT_STREQ(static_cast<char *>(gettbl(list, 0)), "d/demo.site");
    EXPECT_STREQ(static_cast<char *>(gettbl(list, 1)), "d/a/demo.site");
    EXPECT_STREQ(static_cast<char *>(gettbl(list, 2)), "/b/x.site");
    EXPECT_STREQ(static_cast<char *>(gettbl(list, 3)), "d/c/demo.site");
    freetbl(list, std::free);
    char *lock = dblockname("d/demo.site");
    EXPECT_STREQ(lock, "d/.%demo.site");
    std::free(lock);
    lock = dblockname("demo.site");
    EXPECT_STREQ(lock, "./.%demo.site");
    std::free(lock);
}

TEST_F(TableFileTest, MissingTablesAreCreatedOnlyWhenWritten) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    EXPECT_EQ(count_of(sample), 0);
    EXPECT_FALSE(is_present(path("demo.sample").c_str()));
    int writable = -1;
    dbquery(sample, QUERY_TABLE_WRITABLE, &writable);
    EXPECT_EQ(writable, 1);
    ASSERT_EQ(dbaddv(sample, nullptr, "sta", "AAK", nullptr), 0);
    struct stat st;
    ASSERT_EQ(stat(path("demo.sample").c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0664u & ~mask);
    close(db);
    Dbptr ro = open(path("demo"), "r");
    EXPECT_EQ(count_of(table(ro, "sample")), 1);
    EXPECT_EQ(count_of(table(ro, "site")), 0);
    dbquery(table(ro, "sample"), QUERY_TABLE_WRITABLE, &writable);
    EXPECT_EQ(writable, 0);
}

TEST_F(TableFileTest, RaggedTablesAreRefused) {
    Dbptr db = create();
    write_file(path("demo.sample"), std::string(46 + 10, 'x'));
    struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(path("demo.sample").c_str(), old), 0);
    Dbptr sample = table(db, "sample");
    EXPECT_EQ(count_of(sample), 0);
    auto child = testsupport::in_child([&] { dbquery(sample, QUERY_RECORD_COUNT, nullptr); });
    EXPECT_THAT(child.err, HasSubstr("Table '" + path("demo.sample") + "' has invalid length 56.\n"));
    EXPECT_EQ(dbaddv(sample, nullptr, "sta", "AAK", nullptr), dbINVALID);
    // A table that other processes append to is seen grown.
    write_file(path("demo.site"), "");
    Dbptr site = table(db, "site");
    EXPECT_EQ(count_of(site), 0);
    int fd = ::open(path("demo.site").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    std::string record = "AAK     2001001       -1   42.5000  1700000000.50000\n";
    ASSERT_EQ(write(fd, record.data(), record.size()), static_cast<ssize_t>(record.size()));
    ::close(fd);
    EXPECT_EQ(count_of(site), 1);
    EXPECT_EQ(text_of(at(site, 0), "sta"), "AAK");
}

TEST_F(TableFileTest, LocalLocksRefuseTablesOnNfs) {
    setenv("DBLOCKS", "local", 1);
    Dbptr db = create();
    ledgeform::set_nfs_probe([](char *) { return 1; });
    EXPECT_EQ(dbaddv(table(db, "sample"), nullptr, "sta", "AAK", nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("DBLOCKS is set, but the filesystem for " + path("demo.sample") +
                                 " is nfs"));
    ledgeform::set_nfs_probe([](char *) { return 0; });
    EXPECT_EQ(dbaddv(table(db, "sample"), nullptr, "sta", "AAK", nullptr), 0);
}

// Whether another process could take the lock on the file now.
bool lockable_from_child(const std::string &file) {
    auto r = testsupport::run_in_child([&] {
        int fd = ::open(file.c_str(), O_RDWR);
        std::printf("%d", fd >= 0 && lockf(fd, F_TLOCK, 0) == 0 ? 1 : 0);
    });
    return r.out == "1";
}

TEST_F(TableFileTest, TableLocksNestWithinAProcess) {
    setenv("DBLOCKS", "local", 1);
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    ASSERT_EQ(dbaddv(sample, nullptr, "sta", "AAK", nullptr), 0);
    Database *d = nullptr;
    Table *t = nullptr;
    dbresolve(sample, &d, nullptr, &t, nullptr, nullptr, nullptr);
    EXPECT_TRUE(lockable_from_child(path("demo.sample")));
    ASSERT_EQ(_dblock(d, t), 0);
    ASSERT_EQ(_dblock(d, t), 0);
    EXPECT_FALSE(lockable_from_child(path("demo.sample")));
    // An append inside the lock keeps it.
    EXPECT_EQ(dbaddv(sample, nullptr, "sta", "BBK", nullptr), 1);
    ASSERT_EQ(_dbunlock(d, t), 0);
    EXPECT_FALSE(lockable_from_child(path("demo.sample")));
    ASSERT_EQ(_dbunlock(d, t), 0);
    EXPECT_TRUE(lockable_from_child(path("demo.sample")));
}

TEST_F(TableFileTest, NfsLocksUseALockFileAndReopenTheTable) {
    setenv("DBLOCKS", "nfs", 1);
    setenv("DBIDSERVER", "", 1);
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    ASSERT_EQ(dbaddv(sample, nullptr, "sta", "AAK", nullptr), 0);
    EXPECT_TRUE(is_file(path(".%demo.sample").c_str()));
    Database *d = nullptr;
    Table *t = nullptr;
    dbresolve(sample, &d, nullptr, &t, nullptr, nullptr, nullptr);
    ASSERT_EQ(_dblock(d, t), 0);
    EXPECT_FALSE(lockable_from_child(path(".%demo.sample")));
    EXPECT_NE(t->data, nullptr);  // mapped again
    EXPECT_EQ(t->count, 1);
    ASSERT_EQ(_dbunlock(d, t), 0);
    EXPECT_TRUE(lockable_from_child(path(".%demo.sample")));
    // Without a usable lock file nothing is changed.
    ASSERT_EQ(mkdir(path(".%demo.note").c_str(), 0775), 0);
    Dbptr note = table(db, "note");
    EXPECT_EQ(dbaddv(note, nullptr, "sta", "AAK", nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Can't open lock file '" + path(".%demo.note") + "' for writing"));
    EXPECT_THAT(log(), HasSubstr("no lock file '" + path(".%demo.note") + "' to lock"));
    EXPECT_EQ(read_file(path("demo.note")), "");
}

TEST_F(TableFileTest, ExternalFilesOfRecords) {
    Dbptr db = create();
    Dbptr wfdisc = table(db, "wfdisc");
    ASSERT_EQ(mkdir(path("data").c_str(), 0775), 0);
    write_file(path("data/one"), "x");
    write_file(path("two.gz"), "x");
    ASSERT_EQ(dbaddv(wfdisc, nullptr, "sta", "A", "chan", "Z", "time", 1.0, "dir", "data", "dfile",
                     "one", nullptr),
              0);
    ASSERT_EQ(dbaddv(wfdisc, nullptr, "sta", "B", "chan", "Z", "time", 1.0, "dir", "-", "dfile",
                     "two", nullptr),
              1);
    ASSERT_EQ(dbaddv(wfdisc, nullptr, "sta", "C", "chan", "Z", "time", 1.0, "dir", "data", "dfile",
                     "three", nullptr),
              2);
    ASSERT_EQ(dbaddv(wfdisc, nullptr, "sta", "D", "chan", "Z", "time", 1.0, "dir", "/nonexistent",
                     "dfile", "four", nullptr),
              3);
    ASSERT_EQ(dbaddv(wfdisc, nullptr, "sta", "E", "chan", "Z", "time", 1.0, "dir", "", "dfile", "",
                     nullptr),
              4);
    char result[4096];
    EXPECT_EQ(dbfilename(at(wfdisc, 0), result), 1);
    EXPECT_EQ(str(result), path("data/one"));
    EXPECT_EQ(dbfilename(at(wfdisc, 1), result), 2);
    EXPECT_EQ(str(result), path("two.gz"));
    EXPECT_EQ(dbfilename(at(wfdisc, 2), result), 0);
    EXPECT_EQ(str(result), path("data/three"));
    EXPECT_EQ(dbextfile(at(wfdisc, 3), "", result), -1);
    EXPECT_EQ(str(result), "/nonexistent/four");
    EXPECT_EQ(dbfilename(at(wfdisc, 4), result), -1);
    EXPECT_EQ(dbextfile(at(wfdisc, 0), "other", result), -1);
}

}  // namespace
