// A whole directory copied through reelhouse, both ways: a client reads
// every packet of a served directory, and a client writes a stream of
// packets into a new directory; each copy is compared with its source
// byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "kestrel.h"
#include "rh_testing.h"

namespace {

using rhtest::Packet;
using rhtest::Served;

int packet_count() { return vktest::light() ? 200 : 1000; }

// A directory of test packets written by ringfill: count packets of
// varying sources, bodies of `size` bytes, a packet every `interval`
// seconds (so that some runs roll into several segment files).
void fill(const std::string &dir, int count, int size, double interval) {
    const rhtest::Run r = rhtest::run({RINGFILL_PROGRAM, "-n", std::to_string(count), "-s",
                                       std::to_string(size), "-i", std::to_string(interval), dir,
                                       "AA_BBB_HHZ", "AA_CCC_HHZ", "XX_YYY_BHZ"});
    ASSERT_EQ(r.status, 0) << r.err;
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CopyThroughReelhouse, AClientReadsEveryPacketOfTheServedDirectory) {
    Served served;
    const std::string dir = served.file("ring");
    const int count = packet_count();
    fill(dir, count, 700, vktest::light() ? 20.0 : 7.0);
    ASSERT_GT(names_in(dir).size(), 1u) << "several segment files";
    const std::vector<Packet> source = rhtest::read_packets(dir);
    ASSERT_EQ(source.size(), static_cast<std::size_t>(count));
    ASSERT_TRUE(served.start(dir));

    // Through the client library, from the oldest packet.
    char ring[64];
    std::snprintf(ring, sizeof ring, "%s", served.launcher().ring().c_str());
    const int orb = orbopen(ring, const_cast<char *>("r"));
    ASSERT_GE(orb, 0);
    ASSERT_EQ(orbseek(orb, ORBOLDEST), 0);
    std::vector<Packet> copy;
    Packet p;
    char srcname[64];
    char *body = nullptr;
    int nbytes = 0, bufsize = 0;
    while (orbreap(orb, &p.pktid, srcname, &p.time, &body, &nbytes, &bufsize) == 0) {
        p.srcname = srcname;
        p.body.assign(body, static_cast<std::size_t>(nbytes));
        copy.push_back(p);
    }
    std::free(body);
    orbclose(orb);
    EXPECT_EQ(copy.size(), source.size());
    EXPECT_TRUE(copy == source);
    EXPECT_EQ(served.status_of(1), 0);

    // ringcat lists the same packets: ids, sources, times and sizes.
    const rhtest::Run r = rhtest::run({RINGCAT_PROGRAM, served.launcher().ring()});
    EXPECT_EQ(r.status, 0) << r.err;
    std::ostringstream want;
    for (const Packet &s : source) {
        char line[160];
        std::snprintf(line, sizeof line, "%d %s %.5f %zu\n", s.pktid, s.srcname.c_str(), s.time,
                      s.body.size());
        want << line;
    }
    EXPECT_EQ(r.out, want.str());
    EXPECT_EQ(served.status_of(2), 0);
}

TEST(CopyThroughReelhouse, AClientWritesAStreamOfPacketsIntoANewDirectory) {
    struct Case {
        std::vector<std::string> server_args;
        std::vector<std::string> client_args;
        bool same_files;  // written in the source's representation
    } cases[] = {
        {{"-b"}, {}, true},
        {{"-b"}, {"-u"}, true},
        {{}, {}, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.server_args.empty() ? "hex" : "raw");
        Served served;
        const std::string source_dir = served.file("source");
        const std::string copy_dir = served.file("copy");
        const int count = packet_count();
        fill(source_dir, count, 300, 5.0);
        std::filesystem::create_directory(copy_dir);
        ASSERT_TRUE(served.start(copy_dir, k.server_args));

        std::vector<std::string> argv = {RINGPUT_PROGRAM};
        argv.insert(argv.end(), k.client_args.begin(), k.client_args.end());
        argv.push_back(source_dir);
        argv.push_back(served.launcher().ring());
        const rhtest::Run r = rhtest::run(argv);
        EXPECT_EQ(r.status, 0) << r.err << served.launcher().log();
        EXPECT_EQ(r.out, std::to_string(count) + "\n");
        EXPECT_EQ(served.status_of(1), 0);

        const std::vector<Packet> source = rhtest::read_packets(source_dir);
        const std::vector<Packet> copy = rhtest::read_packets(copy_dir);
        EXPECT_EQ(copy.size(), source.size());
        EXPECT_TRUE(copy == source);
        if (k.same_files) {
            // The same segment files, byte for byte, each finished.
            const std::vector<std::string> names = names_in(source_dir);
            ASSERT_EQ(names_in(copy_dir), names);
            for (const std::string &name : names)
                EXPECT_TRUE(testsupport::read_file(copy_dir + "/" + name) ==
                            testsupport::read_file(source_dir + "/" + name))
                    << name;
        }
    }
}

}  // namespace
