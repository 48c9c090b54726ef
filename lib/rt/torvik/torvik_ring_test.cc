// A segment directory as a ring between processes: one writer appends
// packets that roll the segment files by count, by period and by size and
// trim the directory by total size, while several reading processes follow
// it with torvikreap. Every reader must see every packet once, in order,
// with its id and contents. The writer is then closed (or killed) and
// restarted on the directory, and its packets carry on from the next id.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "torvik.h"

namespace {

namespace fs = std::filesystem;

// ---- The packets: everything follows from the id ----

constexpr int kFirstRun = 2000;  // ids the first writer puts
constexpr int kTotal = 2600;     // ids 0 .. kTotal - 1 over both writers
constexpr int kLateStart = 150;  // the late reader joins after this many
constexpr int kKillAfter = 1100; // the killed writer dies after at least this many

// Writer settings: small enough that every rule rolls files many times.
constexpr int kMaxPkts = 60;
constexpr int kPeriod = 20;
constexpr int kMaxSegmentSize = 40000;
constexpr double kMaxSize = 150000.0;
// How far the writer may run ahead of the slowest reader, in packets: a
// small part of what the size limit keeps, so no reader loses a file.
constexpr int kLag = 100;

constexpr double kBaseTime = 1700000000.0;
const char *const kNames[] = {"AK_BRW_BHZ", "AK_BRW_BHN", "TA_109C_HHZ_00",
                              "II_PFO_LHZ/MGENC"};
const char kFinalName[] = "XX_END_MARK";

uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

std::string name_for(int id) {
    if (id == kTotal - 1) return kFinalName;
    return kNames[mix(static_cast<uint32_t>(id) * 3U + 1U) % 4];
}

// Packet times: stretches of close packets (the count rule rolls) alternate
// with stretches of sparse ones (the period rule rolls); every step is a
// multiple of 1/16 s below one second, so every time is exact.
std::vector<double> make_times() {
    std::vector<double> times(kTotal);
    double t = kBaseTime + 0.25;
    for (int id = 0; id < kTotal; id++) {
        times[id] = t;
        int sixteenths = (id / 400) % 2 == 0 ? 1 : 8 + static_cast<int>(mix(id) % 7);
        t += sixteenths / 16.0;
    }
    return times;
}

const std::vector<double> &times() {
    static const std::vector<double> all = make_times();
    return all;
}

uint32_t checksum(const char *p, std::size_t n) {
    uint32_t h = 2166136261U;
    for (std::size_t i = 0; i < n; i++) h = (h ^ static_cast<unsigned char>(p[i])) * 16777619U;
    return h;
}

void put32(char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<char>(v >> (8 * i));
}

uint32_t get32(const char *p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

// The body of packet id: its id, a checksum of the rest, and bytes of any
// value; now and then a line inside the body that looks like a header.
std::string body_for(int id) {
    std::size_t size = 8 + mix(static_cast<uint32_t>(id) + 77U) % 640;
    std::string body(size, '\0');
    uint32_t x = static_cast<uint32_t>(id) * 2654435761U + 1U;
    for (std::size_t i = 8; i < size; i++) {
        x = x * 1103515245U + 12345U;
        body[i] = static_cast<char>(x >> 23);
    }
    const char fake[] = "\n#orb b AK_BRW_BHZ 5 1700000000.0\n";
    if (id % 7 == 3 && size > 8 + sizeof fake) std::memcpy(&body[8], fake, sizeof fake - 1);
    put32(&body[0], static_cast<uint32_t>(id));
    put32(&body[4], checksum(body.data() + 8, size - 8));
    return body;
}

// ---- State the processes share ----

constexpr int kReaders = 3;

struct Shared {
    std::atomic<int> written;  // ids the writer has put (the next id to put)
    std::atomic<int> ready[kReaders];     // reader has opened its handle
    std::atomic<int> active[kReaders];    // writer waits for this reader
    std::atomic<int> progress[kReaders];  // last id the reader has checked
    std::atomic<int> late_ready;          // the late reader is positioned
};

Shared *new_shared() {
    void *p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED) return nullptr;
    auto *s = new (p) Shared;
    s->written = 0;
    s->late_ready = 0;
    for (int k = 0; k < kReaders; k++) {
        s->ready[k] = 0;
        s->active[k] = 0;
        s->progress[k] = -1;
    }
    return s;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void pause_ms(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// Generous limits: the run takes seconds natively but may crawl on a loaded
// machine or under an emulator.
constexpr double kChildSeconds = 120.0;
constexpr double kParentSeconds = 180.0;

#define CHILD_FAIL(...)                                                  \
    do {                                                                 \
        std::fprintf(stderr, "[%s] ", role);                             \
        std::fprintf(stderr, __VA_ARGS__);                               \
        std::fprintf(stderr, "\n");                                      \
        errors++;                                                        \
    } while (0)

// ---- The reader ----

// Follows the directory until the final packet has come; the exit status
// is the number of faults seen (at most 100), 101 on a timeout.
int run_reader(Shared *shared, int k, const std::string &dir, bool late) {
    char role[32];
    std::snprintf(role, sizeof role, "reader %d", k);
    int errors = 0;
    double deadline = now() + kChildSeconds;
    if (!late) shared->active[k] = 1;
    int orb = torvikopen(const_cast<char *>(dir.c_str()), const_cast<char *>("r"));
    if (orb < 0) {
        CHILD_FAIL("cannot open %s", dir.c_str());
        shared->active[k] = 0;
        return 1;
    }
    shared->ready[k] = 1;
    char *packet = nullptr;
    int bufsize = 0;
    int expect = 0;

    auto check = [&](int pktid, const char *srcname, double time, int nbytes) {
        if (errors > 20) return;
        if (pktid != expect) {
            CHILD_FAIL("got packet %d, wanted %d", pktid, expect);
            return;
        }
        if (name_for(pktid) != srcname)
            CHILD_FAIL("packet %d: source %s, wanted %s", pktid, srcname, name_for(pktid).c_str());
        if (time != times()[pktid])
            CHILD_FAIL("packet %d: time %.7f, wanted %.7f", pktid, time, times()[pktid]);
        std::string want = body_for(pktid);
        std::string got(packet != nullptr ? packet : "", static_cast<std::size_t>(std::max(nbytes, 0)));
        if (got.size() < 8 || get32(got.data()) != static_cast<uint32_t>(pktid) ||
            get32(got.data() + 4) != checksum(got.data() + 8, got.size() - 8) || got != want)
            CHILD_FAIL("packet %d: body of %d bytes differs (wanted %zu)", pktid, nbytes,
                       want.size());
    };

    if (late) {
        shared->active[k] = 1;
        int first = torvikseek(orb, ORBOLDEST);
        int pktid = -1, nbytes = 0;
        char srcname[64] = "";
        double time = 0.0;
        if (first != 0) CHILD_FAIL("ORBOLDEST gave %d, wanted 0", first);
        if (torvikget(orb, ORBCURRENT, &pktid, srcname, &time, &packet, &nbytes, &bufsize) != 0)
            CHILD_FAIL("no current packet after ORBOLDEST");
        else
            check(pktid, srcname, time, nbytes);
        expect = 1;
        shared->progress[k] = 0;
        shared->late_ready = 1;
    }

    while (expect < kTotal && errors == 0) {
        int pktid = -2, nbytes = 0;
        char srcname[64] = "";
        double time = 0.0;
        if (torvikreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize) == 0) {
            check(pktid, srcname, time, nbytes);
            expect = pktid + 1;
            shared->progress[k] = pktid;
            continue;
        }
        // The end of the data for now: the handle stays on the last packet.
        if (pktid != expect - 1) {
            CHILD_FAIL("at the end of the data the handle is on %d, wanted %d", pktid, expect - 1);
            break;
        }
        if (now() > deadline) {
            CHILD_FAIL("timed out waiting for packet %d", expect);
            errors = 101;
            break;
        }
        pause_ms(10);
    }
    shared->active[k] = 0;
    if (torvikclose(orb) != 0) CHILD_FAIL("close failed");
    std::free(packet);
    return std::min(errors, 101);
}

// ---- The writer ----

struct WriterRun {
    bool restarted = false;  // opened on a directory an earlier writer left
    int expect_first = 0;    // the id its first packet must get
    int expect_first_hi = 0; // ... or at most this (after a kill)
    int last = 0;            // the last id it puts
    bool wait_late = false;  // let the late reader in at kLateStart
    bool hang_at_end = false;  // wait to be killed instead of closing
};

int run_writer(Shared *shared, const std::string &dir, const WriterRun &run) {
    const char *role = run.restarted ? "restarted writer" : "writer";
    int errors = 0;
    double deadline = now() + kChildSeconds;
    int orb = torvikopen(const_cast<char *>(dir.c_str()), const_cast<char *>("b"));
    if (orb < 0) {
        CHILD_FAIL("cannot open %s", dir.c_str());
        return 1;
    }
    if (run.restarted) {
        int repairs = torvikcorrect(orb);
        if (repairs < 0 || repairs > 1) CHILD_FAIL("torvikcorrect counted %d repairs", repairs);
    }
    torvikset(orb, TORVIK_MAXPKTS, kMaxPkts, TORVIK_SEGMENT_PERIOD, kPeriod,
              TORVIK_MAX_SEGMENT_SIZE, kMaxSegmentSize, TORVIK_MAXSIZE, kMaxSize, 0);
    int next = torviktell(orb);
    if (next < run.expect_first || next > run.expect_first_hi) {
        CHILD_FAIL("next id %d, wanted %d..%d", next, run.expect_first, run.expect_first_hi);
        return 1;
    }
    // Everybody that must see the first packet has opened.
    while (!run.restarted && (shared->ready[0] == 0 || shared->ready[1] == 0)) {
        if (now() > deadline) {
            CHILD_FAIL("readers never opened");
            return 101;
        }
        pause_ms(1);
    }
    for (int id = next; id <= run.last && errors == 0; id++) {
        if (run.wait_late && id == kLateStart) {
            while (shared->late_ready == 0 && now() < deadline) pause_ms(1);
        }
        for (int k = 0; k < kReaders; k++)
            while (shared->active[k] != 0 && shared->progress[k] < id - kLag && now() < deadline)
                pause_ms(1);
        if (now() > deadline) {
            CHILD_FAIL("timed out before packet %d", id);
            return 101;
        }
        std::string name = name_for(id);
        std::string body = body_for(id);
        if (torvikput(orb, name.data(), times()[id], body.data(), static_cast<int>(body.size())) != 0)
            CHILD_FAIL("torvikput of packet %d failed", id);
        else if (torviktell(orb) != id)
            CHILD_FAIL("packet %d was given id %d", id, torviktell(orb));
        shared->written = id + 1;
    }
    if (run.hang_at_end) {
        while (now() < deadline) pause_ms(10);
        return 101;
    }
    if (torvikclose(orb) != 0) CHILD_FAIL("close failed");
    return std::min(errors, 100);
}

// ---- Processes ----

template <typename Fn>
pid_t spawn(Fn fn) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int status = fn();
        std::fflush(stderr);
        _exit(status);
    }
    return pid;
}

// Exit status of pid, waiting at most until the deadline (-1 then).
int wait_exit(pid_t pid, double deadline, int *signal_number = nullptr) {
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (signal_number != nullptr) *signal_number = WTERMSIG(status);
            return 1000 + WTERMSIG(status);
        }
        if (done < 0 || now() > deadline) return -1;
        pause_ms(2);
    }
}

// The segment files of the directory by name.
std::vector<std::string> listed(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    return names;
}

// What the writers' rules give for the file names, packet by packet.
struct Model {
    double maxtime = 0.0;
    int first_time = 0;
    int first_id = 0;
    long long segment_bytes = 0;
    bool newsegment = true;
    std::vector<std::string> names;
    int by_count = 0, by_period = 0, by_size = 0;

    void reopen(double newest_time) {
        maxtime = newest_time;
        segment_bytes = 0;
        newsegment = true;
    }
    void put(int id, double time, int nbytes) {
        constexpr int gap = 31536000;
        bool roll = false;
        if (newsegment) {
            newsegment = false;
            roll = true;
        } else if (time - maxtime < gap && time >= first_time + kPeriod) {
            roll = true;
            by_period++;
        } else if (id - first_id >= kMaxPkts) {
            roll = true;
            by_count++;
        } else if (segment_bytes >= kMaxSegmentSize) {
            segment_bytes = 0;
            roll = true;
            by_size++;
        }
        if (roll) {
            double name_time;
            if (time - maxtime < gap)
                name_time = maxtime + 1 >= time ? maxtime + 1 : time;
            else
                name_time = maxtime > 0 ? maxtime + 1 : time;
            char name[64];
            std::snprintf(name, sizeof name, "%.0f.%d", name_time, id);
            names.push_back(name);
            first_time = static_cast<int>(name_time);
            first_id = id;
        }
        if (maxtime == 0.0 || time - maxtime < gap) maxtime = std::max(maxtime, time);
        segment_bytes += nbytes + 128;
    }
};

class RingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        times();
        shared_ = new_shared();
        ASSERT_NE(shared_, nullptr);
        dir_ = scratch_.file("ring");
        ASSERT_EQ(mkdir(dir_.c_str(), 0775), 0);
        deadline_ = now() + kParentSeconds;
    }
    void TearDown() override {
        for (pid_t pid : pids_) {
            if (waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        if (shared_ != nullptr) munmap(shared_, sizeof(Shared));
    }

    pid_t start_reader(int k, bool late) {
        pid_t pid = spawn([=, this] { return run_reader(shared_, k, dir_, late); });
        pids_.push_back(pid);
        return pid;
    }
    pid_t start_writer(const WriterRun &run) {
        pid_t pid = spawn([=, this] { return run_writer(shared_, dir_, run); });
        pids_.push_back(pid);
        return pid;
    }
    // Starts the late reader once the writer has reached it.
    pid_t start_late_reader() {
        while (shared_->written < kLateStart && now() < deadline_) pause_ms(1);
        return start_reader(2, true);
    }

    testsupport::ScratchDir scratch_;
    std::string dir_;
    Shared *shared_ = nullptr;
    std::vector<pid_t> pids_;
    double deadline_ = 0.0;
};

TEST_F(RingTest, ReadersFollowAWriterThatIsClosedAndRestarted) {
    pid_t a = start_reader(0, false);
    pid_t b = start_reader(1, false);
    WriterRun first;
    first.expect_first = first.expect_first_hi = 0;
    first.last = kFirstRun - 1;
    first.wait_late = true;
    pid_t writer = start_writer(first);
    pid_t late = start_late_reader();
    ASSERT_EQ(wait_exit(writer, deadline_), 0) << "first writer";

    WriterRun second;
    second.restarted = true;
    second.expect_first = second.expect_first_hi = kFirstRun;
    second.last = kTotal - 1;
    pid_t restarted = start_writer(second);
    EXPECT_EQ(wait_exit(restarted, deadline_), 0) << "restarted writer";
    EXPECT_EQ(wait_exit(a, deadline_), 0) << "reader 0";
    EXPECT_EQ(wait_exit(b, deadline_), 0) << "reader 1";
    EXPECT_EQ(wait_exit(late, deadline_), 0) << "late reader";

    // The files left are the newest the rules made, the older ones trimmed.
    Model model;
    for (int id = 0; id < kTotal; id++) {
        if (id == kFirstRun) model.reopen(times()[kFirstRun - 1]);
        model.put(id, times()[id], static_cast<int>(body_for(id).size()));
    }
    EXPECT_GT(model.by_count, 0);
    EXPECT_GT(model.by_period, 0);
    EXPECT_GT(model.by_size, 0);
    std::vector<std::string> names = listed(dir_);
    ASSERT_FALSE(names.empty());
    ASSERT_LT(names.size(), model.names.size()) << "nothing was trimmed";
    std::vector<std::string> newest(model.names.end() - static_cast<long>(names.size()),
                                    model.names.end());
    std::sort(names.begin(), names.end());
    std::vector<std::string> sorted_newest = newest;
    std::sort(sorted_newest.begin(), sorted_newest.end());
    EXPECT_EQ(names, sorted_newest);

    // Every file but the one still written stays within the size limit.
    double older = 0.0;
    for (std::size_t i = 0; i + 1 < newest.size(); i++)
        older += static_cast<double>(fs::file_size(dir_ + "/" + newest[i]));
    EXPECT_LE(older, kMaxSize);
    int addbytes = -1;
    for (const std::string &name : names) {
        std::string path = dir_ + "/" + name;
        EXPECT_EQ(has_last_packet(path.data(), &addbytes), 1) << name;
    }
}

TEST_F(RingTest, ReadersFollowAWriterThatIsKilledAndRestarted) {
    pid_t a = start_reader(0, false);
    pid_t b = start_reader(1, false);
    WriterRun first;
    first.expect_first = first.expect_first_hi = 0;
    first.last = kFirstRun - 1;
    first.wait_late = true;
    first.hang_at_end = true;
    pid_t writer = start_writer(first);
    pid_t late = start_late_reader();
    while (shared_->written < kKillAfter && now() < deadline_) pause_ms(1);
    ASSERT_GE(shared_->written.load(), kKillAfter) << "the writer never got far enough";
    ASSERT_EQ(kill(writer, SIGKILL), 0);
    int signal_number = 0;
    ASSERT_EQ(wait_exit(writer, deadline_, &signal_number), 1000 + SIGKILL);
    int written = shared_->written;

    // The killed writer may have put one packet more than it reported.
    WriterRun second;
    second.restarted = true;
    second.expect_first = written;
    second.expect_first_hi = written + 1;
    second.last = kTotal - 1;
    pid_t restarted = start_writer(second);
    EXPECT_EQ(wait_exit(restarted, deadline_), 0) << "restarted writer";
    EXPECT_EQ(wait_exit(a, deadline_), 0) << "reader 0";
    EXPECT_EQ(wait_exit(b, deadline_), 0) << "reader 1";
    EXPECT_EQ(wait_exit(late, deadline_), 0) << "late reader";

    // Repaired and closed: every file ends with a marker.
    int addbytes = -1;
    for (const std::string &name : listed(dir_)) {
        std::string path = dir_ + "/" + name;
        EXPECT_EQ(has_last_packet(path.data(), &addbytes), 1) << name;
    }
}

}  // namespace
