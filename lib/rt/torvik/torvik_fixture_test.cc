// A segment directory checked in under testdata/ring: written by our writer
// in the hex dump, ascii dump and message representations with three packets
// per file. Writing the same packets again must give the same files byte for
// byte, on every architecture, and reading the checked-in files must give
// the packets back.
//
// To make the files again: TORVIK_FIXTURE_OUT=<empty directory> runs the
// writing test into that directory instead of comparing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "torvik.h"

#ifndef TORVIK_TESTDATA
#error "TORVIK_TESTDATA must name the test data directory"
#endif

namespace {

namespace fs = std::filesystem;
using testsupport::read_file;

struct Packet {
    const char *srcname;
    double time;  // exact in binary, so "%.7f" prints it the same anywhere
    std::string body;
};

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

std::string counting(int n, int from) {
    std::string s;
    for (int i = 0; i < n; i++) s += static_cast<char>((from + i * 37) & 0xff);
    return s;
}

// Packets 0..6 go out in "x", 7..9 in "a", 10..11 in "m".
const std::vector<Packet> &packets() {
    static const std::vector<Packet> all = {
        {"AK_BRW_BHZ", 1700000000.25, counting(16, 0)},
        {"AK_BRW_BHN", 1700000000.75, ""},
        {"TA_109C_HHZ_00", 1700000001.625, std::string("#orb b X 1 1.0\n") + counting(22, 200)},
        {"AK_BRW_BHZ", 1700000002.0, "A"},
        {"II_PFO_LHZ/MGENC", 1700000002.125, "hello, world\n\t\\end\r\n"},
        {"AK_BRW_BHE", 1700000003.375, counting(33, 7)},
        {"TA_109C_HHZ_00", 1700000004.0625, bytes({0, 10, 35, 111, 255})},
        {"AK_BRW_BHZ", 1700000010.625,
         std::string(30, 'x') + "\\ back\\slash\n" + counting(20, 128) + std::string(40, '=')},
        {"AK_BRW_BHN", 1700000010.875, ""},
        {"II_PFO_LHZ/MGENC", 1700000011.0, bytes({'\\', 0, '\n', 'q', 127, 31, 200, '\\', '\\', 'z'})},
        {"XX_LOG_MSG", 1700000020.25, std::string("a message line", 15)},  // with its NUL
        {"XX_LOG_MSG", 1700000020.5, std::string("second\0junk", 11)},
    };
    return all;
}

constexpr int kFirstAscii = 7;
constexpr int kFirstMessage = 10;

// What a reader gives back for packet id.
std::string read_back(int id) {
    const std::string &body = packets()[id].body;
    if (id < kFirstMessage) return body;
    return body.substr(0, body.find('\0'));  // one text line
}

// Writes the packets with three to a file: the hex dump writer, then one
// reopened in ascii dump, then one set to message lines.
void write_ring(const std::string &dir) {
    unsetenv("TORVIKRECVTIME");
    struct Run {
        const char *mode;
        const char *representation;  // set after opening, or nullptr
        int first, end;
    };
    const Run runs[] = {{"x", nullptr, 0, kFirstAscii},
                        {"a", nullptr, kFirstAscii, kFirstMessage},
                        {"w", "m", kFirstMessage, static_cast<int>(packets().size())}};
    for (const Run &run : runs) {
        int orb = torvikopen(const_cast<char *>(dir.c_str()), const_cast<char *>(run.mode));
        ASSERT_GT(orb, 0);
        ASSERT_EQ(torvikset(orb, TORVIK_MAXPKTS, 3, 0), 0);
        if (run.representation != nullptr) {
            ASSERT_EQ(torvikset(orb, TORVIK_REPRESENTATION, run.representation, 0), 0);
        }
        EXPECT_EQ(torviktell(orb), run.first);
        for (int id = run.first; id < run.end; id++) {
            Packet p = packets()[id];
            ASSERT_EQ(torvikput(orb, const_cast<char *>(p.srcname), p.time, p.body.data(),
                                static_cast<int>(p.body.size())),
                      0)
                << id;
            EXPECT_EQ(torviktell(orb), id);
        }
        ASSERT_EQ(torvikclose(orb), 0);
    }
}

std::map<std::string, std::string> contents(const std::string &dir) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::directory_iterator(dir))
        files[entry.path().filename().string()] = read_file(entry.path().string());
    return files;
}

const std::string kFixture = std::string(TORVIK_TESTDATA) + "/ring";

TEST(TorvikFixture, WritingAgainGivesTheSameFiles) {
    if (const char *out = std::getenv("TORVIK_FIXTURE_OUT")) {
        write_ring(out);
        GTEST_SKIP() << "wrote the fixture into " << out;
    }
    testsupport::ScratchDir scratch;
    std::string dir = scratch.file("ring");
    ASSERT_EQ(mkdir(dir.c_str(), 0775), 0);
    write_ring(dir);
    if (HasFatalFailure()) return;

    auto want = contents(kFixture);
    auto got = contents(dir);
    ASSERT_EQ(want.size(), 5u) << "fixture missing in " << kFixture;
    std::vector<std::string> want_names, got_names;
    for (const auto &[name, text] : want) want_names.push_back(name);
    for (const auto &[name, text] : got) got_names.push_back(name);
    ASSERT_EQ(got_names, want_names);
    for (const auto &[name, text] : want) EXPECT_EQ(got[name], text) << name;
}

class FixtureReading : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = scratch_.file("ring");
        fs::copy(kFixture, dir_);
        orb_ = torvikopen(const_cast<char *>(dir_.c_str()), const_cast<char *>("r"));
        ASSERT_GT(orb_, 0);
    }
    void TearDown() override {
        if (orb_ > 0) {
            EXPECT_EQ(torvikclose(orb_), 0);
        }
        std::free(packet_);
    }

    // The current packet is packet id as written.
    void expect_current(int id) {
        int pktid = -5, nbytes = -5;
        char srcname[64] = "";
        double time = 0.0;
        ASSERT_EQ(torvikget(orb_, ORBCURRENT, &pktid, srcname, &time, &packet_, &nbytes, &bufsize_),
                  0);
        expect_packet(id, pktid, srcname, time, nbytes);
    }
    void expect_packet(int id, int pktid, const char *srcname, double time, int nbytes) {
        EXPECT_EQ(pktid, id);
        EXPECT_STREQ(srcname, packets()[id].srcname) << id;
        EXPECT_EQ(time, packets()[id].time) << id;
        EXPECT_EQ(std::string(packet_ != nullptr ? packet_ : "", nbytes), read_back(id)) << id;
    }

    testsupport::ScratchDir scratch_;
    std::string dir_;
    int orb_ = -1;
    char *packet_ = nullptr;
    int bufsize_ = 0;
};

TEST_F(FixtureReading, ReapGivesEveryPacketInOrder) {
    const int count = static_cast<int>(packets().size());
    for (int id = 0; id < count; id++) {
        int pktid = -5, nbytes = -5;
        char srcname[64] = "";
        double time = 0.0;
        ASSERT_EQ(torvikreap(orb_, &pktid, srcname, &time, &packet_, &nbytes, &bufsize_), 0) << id;
        expect_packet(id, pktid, srcname, time, nbytes);
    }
    int pktid = -5, nbytes = 0;
    char srcname[64];
    double time;
    EXPECT_EQ(torvikreap(orb_, &pktid, srcname, &time, &packet_, &nbytes, &bufsize_), -1);
    EXPECT_EQ(pktid, count - 1);
}

TEST_F(FixtureReading, PositionsByIdTimeAndCode) {
    EXPECT_EQ(torvikseek(orb_, 4), 4);
    expect_current(4);
    EXPECT_EQ(torvikseek(orb_, ORBNEWEST), 11);
    expect_current(11);
    // The first packet after the last one of a file opens the next file.
    EXPECT_EQ(torvikafter(orb_, packets()[6].time), 7);
    expect_current(7);
    // Back from a file's first packet: the last packet before it, not its marker.
    EXPECT_EQ(torvikseek(orb_, ORBPREV), 6);
    expect_current(6);
    EXPECT_EQ(torvikseek(orb_, ORBOLDEST), 0);
    expect_current(0);
    EXPECT_EQ(torvikseek(orb_, ORBNEXT), 1);
    expect_current(1);
}

}  // namespace
