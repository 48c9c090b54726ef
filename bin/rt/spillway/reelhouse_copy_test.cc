// The copier reading through reelhouse: a directory of test packets served
// by reelhouse (started per connection by the launcher) is copied into a
// new directory; the copy holds every packet once, in order, byte for byte.
// A second run over the same target resumes after the saved packet and
// copies nothing again.
#include <gtest/gtest.h>

#include "rh_testing.h"
#include "spillway_testing.h"

namespace {

const std::vector<std::string> kSources = {"AK_BRW_BHZ", "AK_BRW_BHN", "XX_YYY_HHZ"};

TEST(CopyFromReelhouse, EveryPacketOnceInOrderAndARestartRepeatsNothing) {
    rhtest::Served served;
    const std::string source_dir = served.file("source");
    const std::string target = served.file("copy");
    const int n = vktest::light() ? 150 : 600;
    vktest::write_ring(source_dir, n, kSources, 0, vktest::kBodyBytes);
    const std::vector<spilltest::Packet> source = spilltest::packets_of(source_dir);
    ASSERT_EQ(source.size(), static_cast<std::size_t>(n));
    ASSERT_TRUE(served.start(source_dir));

    // reelhouse ends the connection at the end of its data; the copier
    // then ends with its statistics.
    spilltest::Outcome r = spilltest::run({served.launcher().ring(), target});
    ASSERT_EQ(r.status, 0) << r.err << served.launcher().log();
    EXPECT_TRUE(spilltest::same_packets(source, spilltest::packets_of(target)));
    EXPECT_NE(r.out.find("\n" + std::to_string(n) + " 512 byte packets"), std::string::npos)
        << r.out;
    EXPECT_EQ(spilltest::saved_position(target).pktid, n - 1);
    EXPECT_EQ(served.status_of(1), 0);

    // The second run is placed after the saved packet: nothing is left.
    r = spilltest::run({served.launcher().ring(), target});
    ASSERT_EQ(r.status, 0) << r.err << served.launcher().log();
    EXPECT_NE(r.err.find("resurrection successful"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\nno packets copied\n"), std::string::npos) << r.out;
    EXPECT_TRUE(spilltest::same_packets(source, spilltest::packets_of(target)));
}

}  // namespace
