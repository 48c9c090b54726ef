// Several processes on one table: appends under the table lock lose
// nothing, and a writer killed in the middle of an append leaves whole
// records.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::DatabaseTest;
using testsupport::read_file;

// The tables live in memory-backed files when the host has them, so that
// the writers contend for the lock rather than wait for the disk.
class ProcessesTest : public DatabaseTest {
  protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        char pattern[] = "/dev/shm/ledgeform-test-XXXXXX";
        if (is_dir("/dev/shm") && mkdtemp(pattern) != nullptr) shm_ = pattern;
    }
    void TearDown() override {
        DatabaseTest::TearDown();
        if (!shm_.empty()) std::filesystem::remove_all(shm_);
    }
    std::string where(const std::string &name) const {
        return shm_.empty() ? path(name) : shm_ + "/" + name;
    }
    std::string shm_;
};

constexpr int kAppends = 2500;
constexpr int kRecord = 46;  // a record of the sample relation

// Forks a process that runs body and exits with its result.
pid_t start(const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

int wait_for(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Appends n samples named sta with nsamp 0, 1, ..., each read back by the
// number the append gave; 0 when all went.
int append_samples(const std::string &db_path, const char *sta, int n) {
    Dbptr db;
    if (LGdbopen(db_path.c_str(), "r+", &db) != 0) return 1;
    Dbptr sample = dblookup(db, nullptr, "sample", nullptr, nullptr);
    for (int i = 0; i < n; i++) {
        Dbptr added = sample;
        added.record = dbaddv(sample, nullptr, "nsamp", i, "sta", sta, "samprate", 1.0 * i, nullptr);
        if (added.record < 0) return 2;
        char back[8] = "";
        int nsamp = -1;
        if (dbgetv(added, nullptr, "sta", back, "nsamp", &nsamp, nullptr) != 0 ||
            std::strcmp(back, sta) != 0 || nsamp != i)
            return 4;
    }
    return LGdbclose(db) == 0 ? 0 : 3;
}

TEST_F(ProcessesTest, AppendsUnderLocalLocksLoseNoRecord) {
    setenv("DBLOCKS", "local", 1);
    ASSERT_EQ(dbcreate(where("demo").c_str(), "ledger1.0", nullptr, nullptr, nullptr), 0);
    std::string db_path = where("demo");
    pid_t a = start([&] { return append_samples(db_path, "AAA", kAppends); });
    pid_t b = start([&] { return append_samples(db_path, "BBB", kAppends); });
    EXPECT_EQ(wait_for(a), 0);
    EXPECT_EQ(wait_for(b), 0);

    Dbptr db = open(db_path, "r");
    Dbptr sample = table(db, "sample");
    int count = 0;
    ASSERT_EQ(dbquery(sample, QUERY_RECORD_COUNT, &count), 2 * kAppends);
    int next[2] = {0, 0};
    for (sample.record = 0; sample.record < count; sample.record++) {
        char sta[8];
        int nsamp = -1;
        double rate = -1;
        ASSERT_EQ(dbgetv(sample, nullptr, "sta", sta, "nsamp", &nsamp, "samprate", &rate, nullptr), 0);
        int who = std::string(sta) == "AAA" ? 0 : 1;
        ASSERT_TRUE(std::string(sta) == "AAA" || std::string(sta) == "BBB") << sta;
        // Each writer's records are there once, in its order, whole.
        EXPECT_EQ(nsamp, next[who]);
        EXPECT_EQ(rate, 1.0 * nsamp);
        next[who] = nsamp + 1;
    }
    EXPECT_EQ(next[0], kAppends);
    EXPECT_EQ(next[1], kAppends);
}

TEST_F(ProcessesTest, AWriterKilledInAnAppendLeavesWholeRecords) {
    setenv("DBLOCKS", "local", 1);
    ASSERT_EQ(dbcreate(where("demo").c_str(), "ledger1.0", nullptr, nullptr, nullptr), 0);
    std::string db_path = where("demo");
    pid_t writer = start([&] { return append_samples(db_path, "KKK", 1 << 30); });
    // Let it write a while, then kill it, most likely inside an append.
    for (int tries = 0; tries < 2000; tries++) {
        struct stat st;
        if (stat(where("demo.sample").c_str(), &st) == 0 && st.st_size >= 200 * kRecord) break;
        usleep(5000);
    }
    kill(writer, SIGKILL);
    EXPECT_EQ(wait_for(writer), 128 + SIGKILL);

    std::string file = read_file(where("demo.sample"));
    ASSERT_GT(file.size(), 0u);
    EXPECT_EQ(file.size() % kRecord, 0u);
    Dbptr db = open(db_path, "r+");
    Dbptr sample = table(db, "sample");
    int count = dbquery(sample, QUERY_RECORD_COUNT, &count);
    EXPECT_EQ(count, static_cast<int>(file.size() / kRecord));
    for (sample.record = 0; sample.record < count; sample.record++) {
        int nsamp = -1;
        ASSERT_EQ(dbgetv(sample, nullptr, "nsamp", &nsamp, nullptr), 0);
        ASSERT_EQ(nsamp, sample.record);
    }
    // The table takes further appends.
    EXPECT_EQ(dbaddv(table(db, "sample"), nullptr, "nsamp", count, nullptr), count);
}

}  // namespace
