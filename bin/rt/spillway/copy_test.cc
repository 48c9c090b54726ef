// The copier as users run it: a real vaultkeep on a loopback port serving
// a ring of test packets, spillway copying it into a new directory, and
// the copy read back and compared packet by packet.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "spillway_testing.h"

namespace {

using spilltest::Copier;
using spilltest::packets_of;
using spilltest::Outcome;
using spilltest::same_packets;
using vktest::kFirstTime;

const std::vector<std::string> kSources = {"AK_BRW_BHZ", "AK_BRW_BHN", "AK_BRW_BHE"};

std::string epoch(double t) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", t);
    return text;
}

// A start time before every packet of the test rings.
const std::string kBeforeAll = epoch(kFirstTime - 1);

class Copy : public ::testing::Test {
  protected:
    void serve(int packets, int size = vktest::kBodyBytes) {
        vktest::write_ring(server_.ring(), packets, kSources, 0, size);
        ASSERT_TRUE(server_.start());
    }
    std::string ring() const { return spilltest::ring_name(server_.port()); }
    std::string target() const { return scratch_.file("copy"); }
    std::vector<spilltest::Packet> source() const { return packets_of(server_.ring()); }

    vktest::Server server_;
    testsupport::ScratchDir scratch_;
};

TEST_F(Copy, EveryPacketOnceInOrderWithItsStatistics) {
    const int n = 300;
    serve(n);
    const Outcome r = spilltest::run({ring(), target(), kBeforeAll, "last"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_packets(source(), packets_of(target())));
    EXPECT_NE(r.out.find("starting pktid is #0 AK_BRW_BHZ "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n300 512 byte packets (150 kbytes) in "), std::string::npos) << r.out;
    for (const char *unit : {" kbytes/s\n", " kbaud\n", " pkts/s\n"})
        EXPECT_NE(r.out.find(unit), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("$Revision: 1.9 $ $Date: 2006/09/13 04:56:33 $"), std::string::npos);
    EXPECT_NE(r.err.find("resurrection unsuccessful"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Disk files\n  " + target() + "  (0 segment files currently)\n"
                         "   Current size      =      0.0 Mbytes\n"
                         "   Max size          =   1000.0 Mbytes\n   Available         = "),
              std::string::npos)
        << r.err;
    // The state names the last packet copied.
    const spilltest::Saved saved = spilltest::saved_position(target());
    EXPECT_EQ(saved.pktid, n - 1);
    EXPECT_NEAR(saved.time, kFirstTime + n - 1, 0.001);
}

TEST_F(Copy, CountedRunsAndRestartsMissAndRepeatNothing) {
    serve(250);
    // Three runs of 100, 100 and the rest: each resumes after the last.
    Outcome r = spilltest::run({"-n", "100", ring(), target()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n100 512 byte packets"), std::string::npos) << r.out;
    EXPECT_EQ(packets_of(target()).size(), 100u);
    EXPECT_EQ(spilltest::saved_position(target()).pktid, 99);

    r = spilltest::run({"-n", "100", ring(), target(), kBeforeAll});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("read old state file"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("resurrection successful: repositioned to pktid #99 @ "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("ignoring time '"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("' from command line"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("starting pktid is #99 "), std::string::npos) << r.out;
    EXPECT_EQ(packets_of(target()).size(), 200u);

    r = spilltest::run({ring(), target(), kBeforeAll, "last"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n50 512 byte packets"), std::string::npos) << r.out;
    EXPECT_TRUE(same_packets(source(), packets_of(target())));

    // Nothing is left: a last run copies nothing.
    r = spilltest::run({ring(), target(), kBeforeAll, "last"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nno packets copied\n"), std::string::npos) << r.out;
    EXPECT_TRUE(same_packets(source(), packets_of(target())));
}

TEST_F(Copy, TerminationWhileCopyingAndWhileWaitingThenRestart) {
    const int n = vktest::light() ? 400 : 800;
    serve(n);
    // Stopped by SIGTERM in the middle of the copy: it saves, prints its
    // statistics and ends with status 0.
    {
        Copier copier;
        copier.start({ring(), target()});
        ASSERT_TRUE(vktest::eventually([&] { return packets_of(target()).size() >= 100; }, 60.0));
        copier.signal(SIGTERM);
        ASSERT_EQ(copier.wait_exit(30.0), 0) << copier.err();
        EXPECT_NE(copier.out().find(" byte packets ("), std::string::npos) << copier.out();
    }
    const std::size_t first = packets_of(target()).size();
    // Restarted, it copies the rest and then waits for more; stopped while
    // waiting, the state is saved for it.
    {
        Copier copier;
        copier.start({ring(), target()});
        ASSERT_TRUE(vktest::eventually(
            [&] { return packets_of(target()).size() == static_cast<std::size_t>(n); }, 120.0));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        copier.signal(SIGTERM);
        EXPECT_GE(copier.wait_exit(30.0), 0);
    }
    EXPECT_TRUE(same_packets(source(), packets_of(target()))) << "first run copied " << first;
    EXPECT_EQ(spilltest::saved_position(target()).pktid, n - 1);
    // Packets added to the served ring later are copied by the next run.
    vktest::write_ring(server_.ring(), 40, kSources, n);
    const Outcome r = spilltest::run({ring(), target(), kBeforeAll, "last"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n40 512 byte packets"), std::string::npos) << r.out;
    EXPECT_TRUE(same_packets(source(), packets_of(target())));
}

// Bytes in the files of a directory, the state file left out.
long long directory_bytes(const std::string &dir) {
    long long total = 0;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(dir, error))
        if (entry.path().filename().string().rfind("state", 0) != 0)
            total += static_cast<long long>(entry.file_size(error));
    return total;
}

// Killed at random moments and restarted each time, the copy still holds
// every packet in order and no torn packet; the only repeats are those a
// restart makes by going back to the saved position. The source has 3000
// packets of 200 bytes one second apart (1500 under the sanitizers and the
// emulator); the state is saved every 5 seconds of packet time (-b 5), so
// a restart goes back at most 6 packets (7 allowed). 100 kills (25 under
// the sanitizers and the emulator): one in five at a random moment of
// start-up (up to 40 ms), the others once the copy has grown by 1 to 40
// packets in that run, a random 0 to 3 ms later, so that they fall
// anywhere in the writing of a packet or of the state.
TEST_F(Copy, KilledAtRandomMomentsAndRestarted) {
    const bool light = vktest::light();
    const int n = light ? 1500 : 3000;
    const int kills = light ? 25 : 100;
    const int most_back = 7;
    const int packet_bytes = 233;  // 200 bytes with their header line and newline
    serve(n, 200);
    const std::vector<std::string> args = {"-b", "5", ring(), target(), kBeforeAll, "last"};
    std::mt19937 random(20261211);
    std::uniform_real_distribution<double> startup_ms(0.0, 40.0), extra_ms(0.0, 3.0);
    std::uniform_int_distribution<int> growth(1, 40);
    int killed = 0;
    for (int k = 0; k < kills; k++) {
        std::filesystem::create_directories(target());
        const long long before = directory_bytes(target());
        Copier copier;
        copier.start(args);
        if (k % 5 == 0) {
            std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(startup_ms(random)));
        } else {
            const long long want = before + static_cast<long long>(growth(random)) * packet_bytes;
            // Looked at closely, so that the kill lands near that packet.
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (directory_bytes(target()) < want && copier.running() &&
                   std::chrono::steady_clock::now() < give_up)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(extra_ms(random)));
        }
        copier.signal(SIGKILL);
        const int status = copier.wait_exit(30.0);
        ASSERT_NE(status, -1);
        if (status == 128 + SIGKILL) killed++;
    }
    const std::size_t before_last = packets_of(target()).size();
    const Outcome last = spilltest::run(args);
    ASSERT_EQ(last.status, 0) << last.err;
    int repeats = 0;
    const std::vector<spilltest::Packet> copy = packets_of(target());
    EXPECT_TRUE(spilltest::copy_with_repeats(source(), copy, killed, most_back, &repeats));
    EXPECT_LE(repeats, killed * (most_back - 1));
    EXPECT_GE(killed, kills * 3 / 4) << "the copy ended before most kills";
    std::printf("%d kills; %zu packets copied before the last run, %zu in the final copy of %d, "
                "%d of them repeats\n",
                killed, before_last, copy.size(), n, repeats);
}

}  // namespace
