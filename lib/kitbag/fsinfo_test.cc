#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "host_private.h"
#include "kitbag.h"
#include "scratch_dir.h"

using ::testing::HasSubstr;

namespace {

struct Mount {
    int rc;
    std::string host;
    std::string fs;
    bool operator==(const Mount &) const = default;
};

std::ostream &operator<<(std::ostream &o, const Mount &m) {
    return o << "{" << m.rc << ", '" << m.host << "', '" << m.fs << "'}";
}

Mount mount_of(const std::string &path) {
    char host[64] = "junk";
    char fs[4096] = "junk";
    std::string copy = path;
    int rc = fspath(copy.data(), host, fs);
    return {rc, host, fs};
}

int nfs(const std::string &path) {
    std::string copy = path;
    return is_nfs(copy.data());
}

// A scratch tree with a mount table of its own:
//   /            /dev/root
//   S/data       /dev/sdb1
//   S/remote     nfshost:/export/vol
//   S/with space /dev/sdc1 (written "\040" in the table)
class MountTable : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *d : {"data/x", "database", "remote/dir", "with space/in", "elsewhere"})
            std::filesystem::create_directories(dir.file(d));
        S = dir.path();
        table = dir.file("mtab");
        write_table("/dev/root / ext4 rw,relatime 0 0\n"
                    "/dev/sdb1 " + S + "/data ext4 rw 0 0\n"
                    "nfshost:/export/vol\t" + S + "/remote nfs rw,vers=3 0 0\n"
                    "/dev/sdc1 " + S + "/with\\040space ext4 rw 0 0\n");
        kitbag::set_mount_table(table.c_str());
        testsupport::elog_reset_register();
    }
    void TearDown() override {
        kitbag::set_mount_table(nullptr);
        testsupport::elog_reset_register();
    }
    void write_table(const std::string &text) { testsupport::write_file(table, text); }

    testsupport::ScratchDir dir;
    std::string S;
    std::string table;
};

TEST_F(MountTable, LongestMountPointHoldingThePathWins) {
    EXPECT_EQ(mount_of(S + "/data/x"), (Mount{0, "", "/dev/sdb1"}));
    EXPECT_EQ(mount_of(S + "/data"), (Mount{0, "", "/dev/sdb1"}));
    EXPECT_EQ(mount_of(S + "/elsewhere"), (Mount{0, "", "/dev/root"}));
    EXPECT_EQ(mount_of(S + "/remote/dir"), (Mount{0, "nfshost", "/export/vol"}));
    EXPECT_EQ(mount_of(S + "/with space/in"), (Mount{0, "", "/dev/sdc1"}));
    EXPECT_EQ(mount_of("/"), (Mount{0, "", "/dev/root"}));
}

TEST_F(MountTable, MountPointMatchesOnlyWholeComponents) {
    // S/data is not the mount of S/database.
    EXPECT_EQ(mount_of(S + "/database"), (Mount{0, "", "/dev/root"}));
}

TEST_F(MountTable, OfEqualMountPointsTheFirstLineDecides) {
    write_table("/dev/first / ext4 rw 0 0\n"
                "/dev/second / ext4 rw 0 0\n"
                "/dev/sdb1 " + S + "/data ext4 rw 0 0\n"
                "/dev/later " + S + "/data ext4 rw 0 0\n");
    EXPECT_EQ(mount_of(S + "/elsewhere"), (Mount{0, "", "/dev/first"}));
    EXPECT_EQ(mount_of(S + "/data/x"), (Mount{0, "", "/dev/sdb1"}));
}

TEST_F(MountTable, RelativeAndUncleanPathsAreMadeAbsolute) {
    auto r = testsupport::run_in_child([&] {
        if (chdir(S.c_str()) != 0) return;
        for (const char *p : {"data/x", "./data/x", "data//./x/", "elsewhere/../data/x", "remote"}) {
            Mount m = mount_of(p);
            std::printf("%s=%d,%s,%s\n", p, m.rc, m.host.c_str(), m.fs.c_str());
        }
    });
    EXPECT_EQ(r.out,
              "data/x=0,,/dev/sdb1\n"
              "./data/x=0,,/dev/sdb1\n"
              "data//./x/=0,,/dev/sdb1\n"
              "elsewhere/../data/x=0,,/dev/sdb1\n"
              "remote=0,nfshost,/export/vol\n");
}

TEST_F(MountTable, SymbolicLinksAreFollowedToWhereTheDataLies) {
    std::filesystem::create_directory_symlink(S + "/remote/dir", S + "/link");
    EXPECT_EQ(mount_of(S + "/link"), (Mount{0, "nfshost", "/export/vol"}));
    EXPECT_EQ(nfs(S + "/link"), 1);
}

TEST_F(MountTable, OddLinesAreSkippedAndLongLinesReadWhole) {
    std::string options(600, 'o');
    write_table("\n"
                "lonely\n"
                "   \t  \n"
                "/dev/root / ext4 rw 0 0\n"
                "overlay " + S + "/data overlay " + options + " 0 0\n"
                "/dev/long" + std::string(400, 'x') + " " + S + "/remote ext4 rw 0 0\n");
    EXPECT_EQ(mount_of(S + "/data/x"), (Mount{0, "", "overlay"}));
    EXPECT_EQ(mount_of(S + "/remote/dir"), (Mount{0, "", "/dev/long" + std::string(400, 'x')}));
}

TEST_F(MountTable, LongHostIsCut) {
    write_table(std::string(100, 'h') + ":/vol " + S + " nfs rw 0 0\n");
    EXPECT_EQ(mount_of(S + "/data"), (Mount{0, std::string(63, 'h'), "/vol"}));
}

TEST_F(MountTable, NoMountHoldingThePath) {
    write_table("/dev/x /nowhere ext4 rw 0 0\n");
    EXPECT_EQ(mount_of(S + "/data"), (Mount{-1, "", ""}));
    EXPECT_EQ(nfs(S + "/data"), -1);
}

TEST_F(MountTable, MissingPathIsLogged) {
    EXPECT_EQ(mount_of(S + "/missing/x"), (Mount{-1, "", ""}));
    std::string log = testsupport::elog_register_text();
    EXPECT_THAT(log, HasSubstr("can't stat " + S + "/missing/x"));
    EXPECT_THAT(log, HasSubstr("No such file or directory"));
    EXPECT_EQ(errno, 0);
}

TEST_F(MountTable, UnreadableTableIsLogged) {
    std::string gone = dir.file("no-such-mtab");
    kitbag::set_mount_table(gone.c_str());
    EXPECT_EQ(mount_of(S + "/data"), (Mount{-1, "", ""}));
    EXPECT_THAT(testsupport::elog_register_text(), HasSubstr("can't open " + gone));
}

TEST_F(MountTable, IsNfs) {
    EXPECT_EQ(nfs(S + "/remote/dir"), 1);
    EXPECT_EQ(nfs(S + "/remote"), 1);
    EXPECT_EQ(nfs(S + "/data/x"), 0);
    EXPECT_EQ(nfs(S + "/database"), 0);
    EXPECT_EQ(nfs(S + "/missing"), -1);
}

TEST(MountTableDefault, SystemTableHoldsTheRoot) {
    kitbag::set_mount_table(nullptr);
    Mount m = mount_of("/");
    EXPECT_EQ(m.rc, 0);
    EXPECT_NE(m.fs, "");
}

// ---- infopath ----

TEST_F(MountTable, InfoPathMatchesStatvfs) {
    std::string path = S + "/data/x";
    InfoPath *info = infopath(path.data());
    ASSERT_NE(info, nullptr);
    struct statvfs sv;
    ASSERT_EQ(statvfs(path.c_str(), &sv), 0);
    EXPECT_EQ(info->device, static_cast<unsigned long>(sv.f_fsid));
    EXPECT_STREQ(info->host, "");
    EXPECT_STREQ(info->fs, "/dev/sdb1");
    EXPECT_DOUBLE_EQ(info->total, static_cast<double>(sv.f_blocks) * static_cast<double>(sv.f_frsize));
    EXPECT_DOUBLE_EQ(info->total_inodes, static_cast<double>(sv.f_files));
    EXPECT_GT(info->total, 0.0);
    EXPECT_LE(info->avail, info->total);
    EXPECT_LE(info->avail_inodes, info->total_inodes);
    EXPECT_STREQ(info->fstype, "");
    EXPECT_EQ(info->max_filename, 0);
    EXPECT_EQ(info->flags, 0);
    EXPECT_STREQ(info->fstr, "");
    std::free(info);

    std::string remote = S + "/remote/dir";
    info = infopath(remote.data());
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->host, "nfshost");
    EXPECT_STREQ(info->fs, "/export/vol");
    std::free(info);
}

TEST_F(MountTable, InfoPathOfMissingPathIsNull) {
    std::string path = S + "/missing";
    EXPECT_EQ(infopath(path.data()), nullptr);
    std::string log = testsupport::elog_register_text();
    EXPECT_THAT(log, HasSubstr("can't stat " + path));
    EXPECT_THAT(log, HasSubstr("can't resolve host, filesystem for " + path));
}

TEST_F(MountTable, InfoPathExpandsTheHomeDirectory) {
    char user[64];
    ASSERT_EQ(my_username(user), 0);
    char tilde[] = "~";
    InfoPath *info = infopath(tilde);
    if (info == nullptr) GTEST_SKIP() << "the login user has no home directory here";
    std::string named = std::string("~") + user;
    InfoPath *by_name = infopath(named.data());
    ASSERT_NE(by_name, nullptr);
    EXPECT_EQ(info->device, by_name->device);
    EXPECT_STREQ(info->fs, by_name->fs);
    std::free(info);
    std::free(by_name);
    char unknown[] = "~kitbag-no-such-user/x";
    EXPECT_EQ(infopath(unknown), nullptr);
}

struct CountsCase {
    const char *name;
    kitbag::FsCounts counts;
    double avail, total, avail_inodes, total_inodes;
};

class InfoPathCounts : public ::testing::TestWithParam<CountsCase> {};

TEST_P(InfoPathCounts, AreReadInFullWidth) {
    const CountsCase &c = GetParam();
    InfoPath info{};
    kitbag::fill_infopath(&info, c.counts);
    EXPECT_EQ(info.avail, c.avail);
    EXPECT_EQ(info.total, c.total);
    EXPECT_EQ(info.avail_inodes, c.avail_inodes);
    EXPECT_EQ(info.total_inodes, c.total_inodes);
    EXPECT_EQ(info.device, static_cast<unsigned long>(c.counts.fsid));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InfoPathCounts,
    ::testing::Values(
        CountsCase{"small", {10, 100, 4096, 5, 50, 7}, 40960.0, 409600.0, 5.0, 50.0},
        // More than 2^31 blocks: counts that would read as negative in 32 bits.
        CountsCase{"over_2_31_blocks",
                   {2500000000ull, 3000000000ull, 4096, 2200000000ull, 3000000000ull, 0xfeedu},
                   2500000000.0 * 4096, 3000000000.0 * 4096, 2200000000.0, 3000000000.0},
        // More than 2^32 blocks: counts that would wrap in 32 bits.
        CountsCase{"over_2_32_blocks",
                   {5000000000ull, 6000000000ull, 1024, 4300000000ull, 4400000000ull, 1},
                   5000000000.0 * 1024, 6000000000.0 * 1024, 4300000000.0, 4400000000.0}),
    [](const ::testing::TestParamInfo<CountsCase> &info) { return std::string(info.param.name); });

// ---- is_timezone ----

TEST(IsTimezone, UsesTheZoneDirectoryFromTheEnvironment) {
    testsupport::ScratchDir dir;
    std::filesystem::create_directories(dir.file("zones/Mars"));
    testsupport::write_file(dir.file("zones/Mars/Olympus"), "TZif fake");
    testsupport::write_file(dir.file("zones/UTC"), "TZif fake");
    testsupport::write_file(dir.file("other/Venus"), "");
    std::string zones = dir.file("zones");
    std::string other = dir.path() + "/other";
    std::filesystem::create_directories(other);
    testsupport::write_file(other + "/Venus", "TZif fake");
    auto r = testsupport::run_in_child([&] {
        setenv("ZONEINFO", zones.c_str(), 1);
        std::string too_long(5000, 'a');
        for (const char *name : {"Mars/Olympus", "UTC", "Mars", "Mars/Phobos", "", too_long.c_str()}) {
            errno = EDOM;
            int rc = is_timezone(const_cast<char *>(name));
            std::printf("%d%s ", rc, errno == EDOM ? "" : "(errno changed)");
        }
        // The directory is taken once.
        setenv("ZONEINFO", other.c_str(), 1);
        std::printf("%d %d\n", is_timezone(const_cast<char *>("Venus")),
                    is_timezone(const_cast<char *>("UTC")));
    });
    EXPECT_EQ(r.out, "1 1 0 0 0 0 0 1\n");
}

TEST(IsTimezone, StandardZoneDirectory) {
    struct stat st;
    if (stat("/usr/share/zoneinfo/UTC", &st) != 0) GTEST_SKIP() << "no zone database installed";
    auto r = testsupport::run_in_child([] {
        unsetenv("ZONEINFO");
        errno = ERANGE;
        int utc = is_timezone(const_cast<char *>("UTC"));
        int kept = errno == ERANGE;
        int america = is_timezone(const_cast<char *>("America"));
        int bogus = is_timezone(const_cast<char *>("No/Such_Zone"));
        std::printf("%d %d %d %d %d\n", utc, kept, america, bogus, errno == ERANGE);
    });
    EXPECT_EQ(r.out, "1 1 0 0 1\n");
}

}  // namespace
