// Value ring files and ringlet files: record order, time windows, the file
// layout, refused files and the lock tried at open.
#include "rings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "host_private.h"
#include "scratch_dir.h"

namespace {

using ::testing::HasSubstr;
using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

struct Record {
    double t, v;
    bool operator==(const Record &) const = default;
};

std::ostream &operator<<(std::ostream &o, const Record &r) {
    return o << "{" << r.t << ", " << r.v << "}";
}

class RingTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::elog_reset_register(); }
    void TearDown() override {
        for (RingBuffer *rb : open_) closering(rb);
        testsupport::elog_reset_register();
    }
    // A new ring of capacity max opened read-write.
    RingBuffer *ring(int max, const std::string &name = "ring") {
        char id[64] = "test ring";
        RingBuffer *rb = openring(dir_.file(name).c_str(), id, max, 0);
        if (rb != nullptr) open_.push_back(rb);
        return rb;
    }
    static std::vector<Record> records(RingBuffer *rb) {
        std::vector<Record> all;
        double t, v;
        for (int i = 0; getring(rb, i, &t, &v) == 0; i++) all.push_back({t, v});
        return all;
    }
    static void push(RingBuffer *rb, const std::vector<Record> &records) {
        for (const Record &r : records) ASSERT_EQ(pushring(rb, r.t, r.v), 0);
    }

    ScratchDir dir_;
    std::vector<RingBuffer *> open_;
};

TEST_F(RingTest, NewRingIsEmpty) {
    RingBuffer *rb = ring(4);
    ASSERT_NE(rb, nullptr);
    EXPECT_EQ(countring(rb), 0);
    double t = -1, v = -1;
    EXPECT_EQ(getring(rb, 0, &t, &v), -1);
    EXPECT_EQ(t, -1);
    EXPECT_EQ(findring(rb, 0, 10), -1);
    int index = 5;
    EXPECT_EQ(maxring(rb, 10, &index), -INFINITY);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(minring(rb, 10, &index), INFINITY);
    EXPECT_EQ(index, -1);
    EXPECT_TRUE(std::isnan(avgring(rb, 10)));
    EXPECT_EQ(changedring(rb, 10), 0);
}

TEST_F(RingTest, FileLayoutAfterTheFirstPush) {
    RingBuffer *rb = ring(4);
    ASSERT_NE(rb, nullptr);
    ASSERT_EQ(pushring(rb, 12.5, -3), 0);
    std::string bytes = read_file(dir_.file("ring"));
    ASSERT_EQ(bytes.size(), 88u + 16 * 4);
    EXPECT_EQ(bytes.substr(0, 8), "ringbuff");
    EXPECT_EQ(std::string(bytes.c_str() + 8), "test ring");
    int32_t header[4];
    std::memcpy(header, bytes.data() + 72, sizeof header);
    EXPECT_EQ(header[0], 3);  // p
    EXPECT_EQ(header[1], 1);  // cnt
    EXPECT_EQ(header[2], 4);  // max
    EXPECT_EQ(header[3], 0);  // flags
    double slot3[2];
    std::memcpy(slot3, bytes.data() + 88 + 16 * 3, sizeof slot3);
    EXPECT_EQ(slot3[0], 12.5);
    EXPECT_EQ(slot3[1], -3);
}

TEST_F(RingTest, RecordsStayInOrderOfTime) {
    struct Case {
        const char *what;
        int max;
        std::vector<Record> pushes;
        std::vector<Record> expected;  // record 0 first
    } cases[] = {
        {"out of order", 4, {{10, 1}, {30, 3}, {20, 2}}, {{30, 3}, {20, 2}, {10, 1}}},
        {"equal times: the later push first", 4, {{5, 1}, {5, 2}}, {{5, 2}, {5, 1}}},
        {"full: the earliest goes, whatever the new time", 3, {{7, 1}, {8, 2}, {9, 3}, {5, 4}},
         {{9, 3}, {8, 2}, {5, 4}}},
        {"full, in order", 2, {{1, 1}, {2, 2}, {3, 3}}, {{3, 3}, {2, 2}}},
        {"earliest into a ring with room", 4, {{3, 1}, {2, 2}, {1, 3}}, {{3, 1}, {2, 2}, {1, 3}}},
    };
    for (const Case &c : cases) {
        RingBuffer *rb = ring(c.max, std::string("ring-") + std::to_string(&c - cases));
        ASSERT_NE(rb, nullptr);
        push(rb, c.pushes);
        EXPECT_EQ(records(rb), c.expected) << c.what;
        EXPECT_EQ(countring(rb), static_cast<int>(c.expected.size())) << c.what;
    }
}

TEST_F(RingTest, TimeWindowQueries) {
    RingBuffer *rb = ring(8);
    ASSERT_NE(rb, nullptr);
    push(rb, {{80, 4}, {90, 7}, {100, 5}});
    // deltat 20: 100 and 90 (80 is not above 100 - 20).
    EXPECT_EQ(avgring(rb, 20), 6);
    EXPECT_EQ(findring(rb, 7, 20), 1);
    EXPECT_EQ(findring(rb, 4, 20), -1);
    EXPECT_EQ(findring(rb, 4, 21), 2);
    int index;
    EXPECT_EQ(maxring(rb, 20, &index), 7);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(minring(rb, 30, &index), 4);
    EXPECT_EQ(index, 2);
    EXPECT_EQ(changedring(rb, 20), 1);
    // deltat 0 (and below) gives an empty window.
    EXPECT_EQ(findring(rb, 5, 0), -1);
    EXPECT_EQ(maxring(rb, 0, &index), -INFINITY);
    EXPECT_EQ(index, -1);
    EXPECT_TRUE(std::isnan(avgring(rb, -1)));
    EXPECT_EQ(changedring(rb, 0), 0);
}

TEST_F(RingTest, LargestNearestRecordZeroAndChanges) {
    RingBuffer *rb = ring(8);
    push(rb, {{1, 7}, {2, 7}, {3, 5}});  // values 5, 7, 7 as records 0, 1, 2
    int index;
    EXPECT_EQ(maxring(rb, 100, &index), 7);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(minring(rb, 100, &index), 5);
    EXPECT_EQ(index, 0);

    RingBuffer *same = ring(8, "same");
    push(same, {{1, 3}, {2, 3}, {3, 3}});
    EXPECT_EQ(changedring(same, 100), 0);
    RingBuffer *changed = ring(8, "changed");
    push(changed, {{1, 4}, {2, 3}, {3, 3}});
    EXPECT_EQ(changedring(changed, 100), 1);
    EXPECT_EQ(changedring(changed, 1.5), 0);  // the 4 lies outside
}

TEST_F(RingTest, NegativeIndexReadsNothing) {
    RingBuffer *rb = ring(4);
    push(rb, {{1, 1}});
    double t = -1, v = -1;
    EXPECT_EQ(getring(rb, -1, &t, &v), -1);
    EXPECT_EQ(getring(rb, -5, &t, &v), -1);
    EXPECT_EQ(t, -1);
}

TEST_F(RingTest, ExistingFileKeepsItsCapacityAndId) {
    std::string path = dir_.file("kept");
    char id[64] = {};
    std::strcpy(id, "first");
    ASSERT_EQ(newring(path.c_str(), id, 3, 6), 0);
    char got[64];
    std::memset(got, 'x', sizeof got);
    RingBuffer *rb = openring(path.c_str(), got, 50, 0);
    ASSERT_NE(rb, nullptr);
    open_.push_back(rb);
    EXPECT_STREQ(got, "first");
    EXPECT_EQ(rb->info->max, 3);
    EXPECT_EQ(rb->info->flags, 6);
    EXPECT_EQ(rb->size, 88u + 16 * 3);
    // The flags are stored with bit 0 cleared.
    ASSERT_EQ(newring(dir_.file("odd").c_str(), id, 1, 7), 0);
    int32_t flags;
    std::memcpy(&flags, read_file(dir_.file("odd")).data() + 84, 4);
    EXPECT_EQ(flags, 6);
}

TEST_F(RingTest, ReadOnlyRing) {
    std::string missing = dir_.file("missing");
    char id[64] = {};
    EXPECT_EQ(openring(missing.c_str(), id, 4, 1), nullptr);
    EXPECT_THAT(testsupport::elog_register_text(),
                HasSubstr("ring buffer file '" + missing + "' does not exist"));
    struct stat st;
    EXPECT_NE(stat(missing.c_str(), &st), 0);

    RingBuffer *rw = ring(4, "ro");
    push(rw, {{1, 2}});
    std::string before = read_file(dir_.file("ro"));
    RingBuffer *ro = openring(dir_.file("ro").c_str(), id, 4, 1);
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(ro->readonly, 1);
    EXPECT_EQ(pushring(ro, 5, 5), -1);
    EXPECT_EQ(countring(ro), 1);
    closering(ro);
    EXPECT_EQ(read_file(dir_.file("ro")), before);
}

TEST_F(RingTest, PushesReachOtherHandlesAndTheFile) {
    RingBuffer *a = ring(4, "shared");
    char id[64];
    RingBuffer *b = openring(dir_.file("shared").c_str(), id, 4, 1);
    ASSERT_NE(b, nullptr);
    push(a, {{1, 10}, {2, 20}});
    EXPECT_EQ(records(b), (std::vector<Record>{{2, 20}, {1, 10}}));
    closering(b);
    auto child = in_child([&] {
        char cid[64];
        RingBuffer *c = openring(dir_.file("shared").c_str(), cid, 4, 1);
        double t, v;
        if (c != nullptr && getring(c, 0, &t, &v) == 0) out(std::to_string(v));
    });
    EXPECT_EQ(child.out, "20.000000");
}

// Files the open must refuse, each left as it was.
TEST_F(RingTest, RefusedFiles) {
    auto header = [](const char *magic, int32_t p, int32_t cnt, int32_t max) {
        std::string h(88, '\0');
        std::memcpy(h.data(), magic, 8);
        int32_t words[4] = {p, cnt, max, 0};
        std::memcpy(h.data() + 72, words, sizeof words);
        return h;
    };
    struct Case {
        const char *what;
        std::string bytes;
        const char *message;
    } cases[] = {
        {"wrong magic", header("ringbufX", 0, 0, 2) + std::string(32, '\0'),
         "Bad magic number while trying to read ring buffer.\n"},
        {"shorter than the magic", "ring", "Bad magic number while trying to read ring buffer.\n"},
        {"header cut short", header("ringbuff", 0, 0, 2).substr(0, 40), "is damaged"},
        {"capacity beyond the file", header("ringbuff", 0, 0, 1000) + std::string(32, '\0'),
         "is damaged"},
        {"count above capacity", header("ringbuff", 0, 3, 2) + std::string(32, '\0'), "is damaged"},
        {"first slot outside", header("ringbuff", 2, 1, 2) + std::string(32, '\0'), "is damaged"},
        {"negative count", header("ringbuff", 0, -1, 2) + std::string(32, '\0'), "is damaged"},
        {"no slots", header("ringbuff", 0, 0, 0), "is damaged"},
    };
    for (const Case &c : cases) {
        std::string path = dir_.file("bad");
        write_file(path, c.bytes);
        testsupport::elog_reset_register();
        char id[64];
        EXPECT_EQ(openring(path.c_str(), id, 4, 0), nullptr) << c.what;
        EXPECT_EQ(openring(path.c_str(), id, 4, 1), nullptr) << c.what;
        EXPECT_THAT(testsupport::elog_register_text(), HasSubstr(c.message)) << c.what;
        EXPECT_EQ(read_file(path), c.bytes) << c.what;
    }
}

TEST_F(RingTest, CapacityBelowOneIsRefused) {
    char id[64] = {};
    for (int max : {0, -3}) {
        std::string path = dir_.file("none" + std::to_string(max));
        EXPECT_EQ(newring(path.c_str(), id, max, 0), -1);
        EXPECT_EQ(openring(path.c_str(), id, max, 0), nullptr);
        struct stat st;
        EXPECT_NE(stat(path.c_str(), &st), 0);
    }
}

TEST_F(RingTest, CreationFailuresAreLogged) {
    char id[64] = {};
    std::string path = dir_.file("no/such/dir/ring");
    EXPECT_EQ(newring(path.c_str(), id, 2, 0), -1);
    EXPECT_THAT(testsupport::elog_register_text(), HasSubstr("Can't open new ring buffer " + path));
    EXPECT_EQ(openring(path.c_str(), id, 2, 0), nullptr);
}

// A second process that holds a lock on a file until told to let go.
class LockHolder {
  public:
    explicit LockHolder(const std::string &path) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            FILE *f = std::fopen(path.c_str(), "r+");
            char c = f != nullptr && lockf(fileno(f), F_LOCK, 0) == 0 ? 'y' : 'n';
            if (write(ready[1], &c, 1) != 1 || read(release_[0], &c, 1) < 0) _exit(2);
            _exit(0);
        }
        char c = 'n';
        locked_ = read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
        close(ready[1]);
    }
    ~LockHolder() {
        if (write(release_[1], "x", 1) != 1) {
        }
        int status;
        if (pid_ > 0) waitpid(pid_, &status, 0);
        close(release_[0]);
        close(release_[1]);
    }
    bool locked() const { return locked_; }

  private:
    int release_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool locked_ = false;
};

// Declares the scratch directory a remote mount for is_nfs.
class RemoteMount {
  public:
    explicit RemoteMount(const ScratchDir &dir) : table_(dir.file("mtab")) {
        write_file(table_, "/dev/root / ext4 rw 0 0\nfiler:/export " + dir.path() + " nfs rw 0 0\n");
        kitbag::set_mount_table(table_.c_str());
    }
    ~RemoteMount() { kitbag::set_mount_table(nullptr); }

  private:
    std::string table_;
};

TEST_F(RingTest, OpenIsRefusedWhileAnotherProcessHoldsTheLock) {
    RingBuffer *rb = ring(4, "locked");
    push(rb, {{1, 1}});
    std::string path = dir_.file("locked");
    LockHolder holder(path);
    ASSERT_TRUE(holder.locked());
    char id[64];
    {
        auto local = in_child([&] {
            RingBuffer *r = openring(path.c_str(), id, 4, 0);
            out(r == nullptr ? "refused" : "opened");
        });
        EXPECT_EQ(local.out, "refused");
        EXPECT_THAT(local.err, HasSubstr("Can't lock '" + path + "' for exclusive use"));
    }
    {
        RemoteMount remote(dir_);
        auto nfs = in_child([&] {
            RingBuffer *r = openring(path.c_str(), id, 4, 0);
            out(r == nullptr ? "refused" : "opened");
        });
        EXPECT_EQ(nfs.out, "refused");
        EXPECT_THAT(nfs.err, HasSubstr("Can't lock '" + path + "': it is on an nfs filesystem"));
    }
    // A read-only open tries no lock.
    RingBuffer *ro = openring(path.c_str(), id, 4, 1);
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(countring(ro), 1);
    closering(ro);
}

// ---- Ringlets ----

class RingletTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::elog_reset_register(); }
    void TearDown() override {
        for (void *r : open_) closeringlet(r);
        testsupport::elog_reset_register();
    }
    void *ringlet(const std::string &name, int max, int entrysize) {
        void *r = openringlet(dir_.file(name).c_str(), max, entrysize);
        if (r != nullptr) open_.push_back(r);
        return r;
    }
    static std::vector<std::string> entries(void *r, int entrysize) {
        std::vector<std::string> all;
        char *e;
        for (int i = 0; getringlet(r, i, &e) == 0; i++) all.emplace_back(e, entrysize);
        return all;
    }

    ScratchDir dir_;
    std::vector<void *> open_;
};

TEST_F(RingletTest, NewestFirstAndTheOldestOverwritten) {
    void *r = ringlet("r", 2, 3);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(countringlet(r), 0);
    EXPECT_TRUE(entries(r, 3).empty());
    for (const char *e : {"one", "two", "six"}) EXPECT_EQ(pushringlet(r, const_cast<char *>(e)), 0);
    EXPECT_EQ(countringlet(r), 2);
    EXPECT_EQ(entries(r, 3), (std::vector<std::string>{"six", "two"}));
    char *e = nullptr;
    EXPECT_EQ(getringlet(r, -1, &e), -1);
    EXPECT_EQ(getringlet(r, 2, &e), -1);
    EXPECT_EQ(e, nullptr);
}

TEST_F(RingletTest, FileLayout) {
    void *r = ringlet("layout", 3, 2);
    ASSERT_NE(r, nullptr);
    pushringlet(r, const_cast<char *>("ab"));
    std::string bytes = read_file(dir_.file("layout"));
    ASSERT_EQ(bytes.size(), 28u + 3 * 2);
    EXPECT_EQ(bytes.substr(0, 8), std::string("ringlet\0", 8));
    int32_t h[5];
    std::memcpy(h, bytes.data() + 8, sizeof h);
    EXPECT_EQ(h[0], 2);  // p
    EXPECT_EQ(h[1], 1);  // cnt
    EXPECT_EQ(h[2], 3);  // max
    EXPECT_EQ(h[3], 2);  // entrysize
    EXPECT_EQ(h[4], 0);  // flags
    EXPECT_EQ(bytes.substr(28 + 2 * 2, 2), "ab");
}

TEST_F(RingletTest, MissingDirectoriesAreMade) {
    void *r = ringlet("a/b/c/r", 4, 8);
    ASSERT_NE(r, nullptr);
    struct stat st;
    EXPECT_EQ(stat(dir_.file("a/b/c/r").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 28 + 4 * 8);
}

TEST_F(RingletTest, RefusedFilesAndSizes) {
    EXPECT_EQ(newringlet(dir_.file("z").c_str(), 4, 0), -1);
    EXPECT_EQ(newringlet(dir_.file("z").c_str(), 0, 4), -1);
    EXPECT_EQ(ringlet("z", 4, 0), nullptr);

    std::string h(28, '\0');
    std::memcpy(h.data(), "ringlet", 8);
    int32_t words[4] = {0, 0, 4, 100};  // 4 entries of 100 bytes, but no room
    std::memcpy(h.data() + 8, words, sizeof words);
    write_file(dir_.file("short"), h + "abc");
    EXPECT_EQ(ringlet("short", 4, 100), nullptr);
    EXPECT_THAT(testsupport::elog_register_text(), HasSubstr("is damaged"));
    EXPECT_EQ(read_file(dir_.file("short")), h + "abc");

    write_file(dir_.file("magic"), std::string("ringlex\0", 8) + std::string(40, '\0'));
    EXPECT_EQ(ringlet("magic", 1, 1), nullptr);
    EXPECT_THAT(testsupport::elog_register_text(),
                HasSubstr("Bad magic number while trying to read ringlet.\n"));
}

TEST_F(RingletTest, RefusedLockGivesReadOnlyOnLocalDisksOnly) {
    void *r = ringlet("locked", 2, 1);
    ASSERT_NE(r, nullptr);
    std::string path = dir_.file("locked");
    LockHolder holder(path);
    ASSERT_TRUE(holder.locked());
    {
        auto local = in_child([&] {
            void *x = openringlet(path.c_str(), 2, 1);
            if (x == nullptr) return;
            out(std::to_string(pushringlet(x, const_cast<char *>("q"))));
            out(" " + testsupport::elog_register_text());
        });
        EXPECT_THAT(local.out, HasSubstr("-1 "));
        EXPECT_THAT(local.out, HasSubstr("Can't lock '" + path + "' for exclusive use"));
    }
    {
        RemoteMount remote(dir_);
        auto nfs = in_child([&] {
            void *x = openringlet(path.c_str(), 2, 1);
            if (x != nullptr) out(std::to_string(pushringlet(x, const_cast<char *>("q"))));
        });
        EXPECT_EQ(nfs.out, "0");
        EXPECT_THAT(nfs.err, HasSubstr("Can't lock '" + path +
                                       "': it is on an nfs filesystem: proceeding anyway"));
    }
    // The push of the second process reached the file.
    EXPECT_EQ(countringlet(r), 1);
}

}  // namespace
