// The copier's options and operands, its stops, its refusals and a disk
// that fills up, against one vaultkeep serving a ring of test packets.
#include <sys/statvfs.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "spillway_testing.h"

namespace {

using spilltest::Outcome;
using spilltest::Packet;
using spilltest::packets_of;
using vktest::kFirstTime;

// 98 packets one second apart from three sources in turn: the newest
// (id 97) is from AK_BRW_BHN.
constexpr int kPackets = 98;
const std::vector<std::string> kSources = {"AK_BRW_BHZ", "AK_BRW_BHN", "AK_BRW_BHE"};

std::string epoch(double t) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", t);
    return text;
}

class Options : public vktest::SharedServer {
  protected:
    static void SetUpTestSuite() { start_shared(kPackets, kSources); }
    static void TearDownTestSuite() { stop_shared(); }
    static std::string ring() { return spilltest::ring_name(port()); }
    static std::vector<Packet> source() { return packets_of(server_->ring()); }
    std::string target() const { return scratch_.file("copy"); }
    testsupport::ScratchDir scratch_;
};

// The source packets whose ids lie in [first, last] and whose source
// names pass the filter.
std::vector<Packet> pick(const std::vector<Packet> &all, int first, int last,
                         bool (*keep)(const std::string &) = nullptr) {
    std::vector<Packet> picked;
    for (const Packet &p : all)
        if (p.pktid >= first && p.pktid <= last && (keep == nullptr || keep(p.srcname)))
            picked.push_back(p);
    return picked;
}

TEST_F(Options, StopsAndSelections) {
    const std::string t10 = epoch(kFirstTime + 10);
    struct Case {
        const char *what;
        std::vector<std::string> options;
        std::vector<std::string> operands;  // after ring and directory
        int first, last;                    // source ids expected
        bool (*keep)(const std::string &);
    } cases[] = {
        // A stop before the start time is a duration: the first packet at
        // or after start + 30 s ends the copy, and is copied.
        {"start time and duration", {}, {t10, "30"}, 11, 40, nullptr},
        {"start time and stop time", {}, {t10, epoch(kFirstTime + 20.5)}, 11, 21, nullptr},
        {"start time and last", {}, {t10, "last"}, 11, kPackets - 1, nullptr},
        {"packet count", {"-n", "10"}, {}, 0, 9, nullptr},
        {"packet count from a start time", {"-n", "10"}, {t10}, 11, 20, nullptr},
        // The newest packet is left out by the selection: the copy still
        // ends once past it.
        {"selection and last", {"-m", "AK_BRW_BHZ"}, {t10, "last"}, 11, kPackets - 1,
         [](const std::string &s) { return s == "AK_BRW_BHZ"; }},
        {"rejection and last", {"-r", "AK_BRW_BHN"}, {t10, "last"}, 11, kPackets - 1,
         [](const std::string &s) { return s != "AK_BRW_BHN"; }},
        {"selection and rejection together", {"-m", "AK_BRW_BH[ZN]", "-r", "AK_BRW_BHZ"},
         {t10, "last"}, 11, kPackets - 1, [](const std::string &s) { return s == "AK_BRW_BHN"; }},
        {"selection of nothing and last", {"-m", "XX_.*"}, {t10, "last"}, 0, -1, nullptr},
    };
    const std::vector<Packet> all = source();
    for (const Case &c : cases) {
        testsupport::ScratchDir dir;
        const std::string copy = dir.file("copy");
        std::vector<std::string> args = c.options;
        args.push_back(ring());
        args.push_back(copy);
        args.insert(args.end(), c.operands.begin(), c.operands.end());
        const Outcome r = spilltest::run(args, 60.0);
        ASSERT_EQ(r.status, 0) << c.what << "\n" << r.err;
        const std::vector<Packet> want = pick(all, c.first, c.last, c.keep);
        EXPECT_TRUE(spilltest::same_packets(want, packets_of(copy))) << c.what;
        if (want.empty())
            EXPECT_NE(r.out.find("\nno packets copied\n"), std::string::npos) << c.what << r.out;
        else
            EXPECT_NE(r.out.find("\n" + std::to_string(want.size()) + " 512 byte packets ("),
                      std::string::npos)
                << c.what << "\n"
                << r.out;
    }
}

TEST_F(Options, StopTimeIsAnnouncedOnStandardOutput) {
    const Outcome r = spilltest::run({ring(), target(), epoch(kFirstTime + 10), "5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Collecting packets until "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("starting pktid is #11 AK_BRW_BHE "), std::string::npos) << r.out;
}

TEST_F(Options, VerboseDescribesEveryCopiedPacket) {
    const Outcome r = spilltest::run({"-v", "-n", "5", ring(), target()});
    ASSERT_EQ(r.status, 0) << r.err;
    for (int id = 0; id < 5; id++)
        EXPECT_NE(r.err.find(std::to_string(id) + " '" + kSources[id % 3] + "' "),
                  std::string::npos)
            << r.err;
    EXPECT_EQ(r.err.find("5 '"), std::string::npos) << r.err;
}

TEST_F(Options, SizeZeroIsTheFreeSpaceLessATenthAtMostOneHundredMegabytes) {
    const Outcome r = spilltest::run({"-s", "0", "-n", "1", ring(), target()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m,
                                  std::regex(R"(Max size *= *([0-9.]+) Mbytes\n *Available *= *([0-9.]+) Mbytes)")))
        << r.err;
    const double max = std::atof(m[1].str().c_str());
    const double available = std::atof(m[2].str().c_str());
    EXPECT_NEAR(max, available - std::min(available / 10.0, 100.0), 0.11) << r.err;
}

TEST_F(Options, UsageAndRefusals) {
    const std::string usage =
        "Usage: " + std::string("spillway") +
        " [-b bury-interval] [-m match] [-r reject] [-p period] [-s size] orb directory "
        "[start-time [stop]]\n";
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"-V"}, {ring()}, {"-x", ring(), target()}, {ring(), target(), "1", "2", "3"}}) {
        const Outcome r = spilltest::run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(usage), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("$Revision: 1.9 $"), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(target()));
    }
    // No server there.
    const std::string nowhere = spilltest::ring_name(vktest::free_port());
    Outcome r = spilltest::run({nowhere, target()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Can't open input '" + nowhere + "'"), std::string::npos) << r.err;
    // The target is a file.
    testsupport::write_file(target(), "x");
    r = spilltest::run({ring(), target()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no directory '" + target() + "'"), std::string::npos) << r.err;
    std::filesystem::remove(target());
    // More space asked for than the disk has.
    r = spilltest::run({"-s", "900000G", ring(), target()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("need "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" more Mbytes space than is available"), std::string::npos) << r.err;
}

// A disk that fills up (a file-size limit): the copy stops with a message
// and a failure status, and the state names the last packet really
// written; without the limit a restart copies on from the packet that
// failed, none missing and none repeated.
TEST_F(Options, DiskFullStopsAndTheStateNamesTheLastPacketWritten) {
    const long limit = 20000;  // about 37 packets of 512 bytes
    const Outcome r = spilltest::run({ring(), target(), epoch(kFirstTime - 1), "last"}, 60.0, limit);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Couldn't write packet"), std::string::npos) << r.err;
    const std::vector<Packet> copied = packets_of(target());
    ASSERT_GT(copied.size(), 10u);
    ASSERT_LT(copied.size(), static_cast<std::size_t>(kPackets));
    const std::vector<Packet> all = source();
    EXPECT_TRUE(spilltest::same_packets(pick(all, 0, static_cast<int>(copied.size()) - 1), copied));
    const spilltest::Saved saved = spilltest::saved_position(target());
    EXPECT_EQ(saved.pktid, static_cast<int>(copied.size()) - 1);
    EXPECT_NEAR(saved.time, copied.back().time, 0.001);

    const Outcome again = spilltest::run({ring(), target(), epoch(kFirstTime - 1), "last"}, 60.0);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(spilltest::same_packets(all, packets_of(target())));
}

}  // namespace
