// reelhouse against hostile and broken clients and termination signals:
// every connection ends cleanly, with its exit status, and what was
// written stays whole on disk.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "costly_patterns.h"
#include "rh_testing.h"
#include "torvik.h"

namespace {

using rhtest::Served;
using vktest::be32;
using vktest::Client;

const std::vector<std::string> kSources = {"AA_BBB_HHZ", "AA_CCC_HHZ"};

std::string only_segment(const std::string &dir) {
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(dir)) files.push_back(e.path());
    return files.size() == 1 ? files[0] : "";
}

TEST(ReelhouseFaults, ABadFirstRequestIsRefusedWithoutAnAnswer) {
    struct Case {
        const char *name;
        std::string bytes;
        const char *message;
    } cases[] = {
        {"garbage", "GET / HTTP/1.0\r\n\r\n", "couldn't read initial open sequence"},
        {"another request", "orbm" + be32(ORBTELL) + be32(0), "initial request not ORBOPEN"},
        {"a challenge", "orbm" + be32(ORBCHALLENGE) + be32(0), "initial request not ORBOPEN"},
        {"half a record", "orbm" + be32(ORBOPEN) + be32(200) + "abc",
         "couldn't read initial open sequence"},
        {"a huge length", "orbm" + be32(ORBOPEN) + be32(0x80000000u),
         "couldn't read initial open sequence"},
        {"nothing", "", "couldn't read initial open sequence"},
    };
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 3, kSources);
    ASSERT_TRUE(served.start(dir));
    std::size_t n = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Client c(served.port());
        ASSERT_TRUE(c.send_raw(k.bytes));
        if (std::strcmp(k.name, "half a record") == 0 || std::strcmp(k.name, "nothing") == 0)
            ::shutdown(c.fd(), SHUT_WR);
        EXPECT_TRUE(c.closed_by_server());
        EXPECT_EQ(served.status_of(++n), 0);
        EXPECT_TRUE(served.launcher().log_shows(k.message));
    }
}

TEST(ReelhouseFaults, BadBytesBetweenRequestsAreSkipped) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 3, kSources);
    ASSERT_TRUE(served.start(dir));
    Client c(served.port());
    ASSERT_TRUE(c.open('r'));
    const std::string hostile[] = {
        std::string("garbage before the sync word"),
        "orbm" + be32(ORBGET) + be32(0x80000000u),  // a declared length of 2^31
        "orbm" + be32(ORBGET) + be32(2) + "xy",     // a body that breaks its layout
    };
    for (const std::string &bytes : hostile) {
        ASSERT_TRUE(c.send_raw(bytes));
        ASSERT_TRUE(c.call(ORBTELL));
        EXPECT_EQ(c.resp()->what, ORBTELL);
    }
    ASSERT_TRUE(c.call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBOLDEST; }));
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_EQ(c.resp()->pkg->pktid, 0);
    // Half a record, then the client goes.
    ASSERT_TRUE(c.send_raw("orbm" + be32(ORBGET) + be32(4) + "\0\0"));
    c.close();
    EXPECT_EQ(served.status_of(1), 0);
}

// Selections the regex engine would take minutes to hours over are refused
// at once (the reply is the plain one, as for any selection), leave the
// program idle, and an ordinary selection still picks its packets.
TEST(ReelhouseFaults, CostlyPatternsAreRefusedAtOnce) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 10, kSources);
    ASSERT_TRUE(served.start(dir));
    Client c(served.port());
    ASSERT_TRUE(c.open('r'));
    for (const std::string &pattern : testsupport::costly_patterns()) {
        for (int code : {ORBSELECT, ORBREJECT}) {
            SCOPED_TRACE(pattern + (code == ORBSELECT ? " as select" : " as reject"));
            c.req()->what = code;
            vktest::replace(code == ORBSELECT ? &c.req()->select : &c.req()->reject, pattern.c_str());
            ASSERT_TRUE(c.send());
            ASSERT_TRUE(c.receive(5000)) << "no answer at once";
            EXPECT_EQ(c.resp()->what, code);
            EXPECT_EQ(c.resp()->result, 0);
        }
    }
    ASSERT_EQ(served.launcher().started().size(), 1u);
    const pid_t program = served.launcher().started()[0];
    const double before = vktest::cpu_seconds(program);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(vktest::cpu_seconds(program) - before, 0.5) << "the program is still at work";
    ASSERT_TRUE(c.call(ORBREJECT, [](Orbrequest *r) { vktest::replace(&r->reject, ""); }));
    EXPECT_EQ(vktest::selected_sources(c, "AA_BBB_H.Z"), std::vector<std::string>(5, "AA_BBB_HHZ"));
    c.close();
    EXPECT_EQ(served.status_of(1), 0);
}

TEST(ReelhouseFaults, APutThatCannotBeWrittenIsAnsweredAsAFailure) {
    // The file size limit stands in for a full disk.
    Served served;
    const std::string dir = served.file("ring");
    std::filesystem::create_directory(dir);
    testsupport::Launcher &launcher = served.launcher();
    ASSERT_TRUE(launcher.start({"/usr/bin/prlimit", "--fsize=1000", REELHOUSE_PROGRAM, "-b", dir},
                               served.file(""), {"BNS_TIMEOUT=2000"}));
    Client c(launcher.port());
    ASSERT_TRUE(c.open('w'));
    int stored = 0;
    for (int i = 0; i < 50; i++) {
        ASSERT_TRUE(c.call(ORBPUTACK, [i](Orbrequest *r) {
            if (r->pkg == nullptr) r->pkg = newPktpkg();
            const std::string body = vktest::body_of(i, 100);
            std::snprintf(r->pkg->srcname, sizeof r->pkg->srcname, "AA_BBB_HHZ");
            r->pkg->time = vktest::kFirstTime + i;
            r->pkg->packet = static_cast<char *>(std::realloc(r->pkg->packet, body.size()));
            std::memcpy(r->pkg->packet, body.data(), body.size());
            r->pkg->packetsize = static_cast<int>(body.size());
        }));
        if (c.resp()->result != 0) break;
        EXPECT_EQ(c.resp()->pktid, ++stored);
    }
    EXPECT_EQ(c.resp()->result, -1);
    EXPECT_EQ(c.resp()->pktid, stored);
    EXPECT_GT(stored, 0);
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_EQ(served.status_of(1), 0) << launcher.log();
    // Every acknowledged packet is there, whole.
    const std::vector<rhtest::Packet> packets = rhtest::read_packets(dir);
    ASSERT_EQ(packets.size(), static_cast<std::size_t>(stored));
    for (int i = 0; i < stored; i++)
        EXPECT_EQ(packets[static_cast<std::size_t>(i)].body, vktest::body_of(i, 100));
}

TEST(ReelhouseFaults, AClientThatGoesDuringAReapEndsTheConnection) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 2000, kSources, 0, 4096);
    ASSERT_TRUE(served.start(dir));
    {
        Client c(served.port(), 4096);
        ASSERT_TRUE(c.open('r'));
        c.req()->what = ORBREAP;
        ASSERT_TRUE(c.send());
        ASSERT_TRUE(c.receive());
    }
    EXPECT_EQ(served.status_of(1), 0);
}

TEST(ReelhouseFaults, ATerminationSignalClosesTheHandleAndEnds) {
    // While waiting for a request, after puts: the segment is finished.
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(sig);
        Served served;
        const std::string dir = served.file("ring");
        std::filesystem::create_directory(dir);
        ASSERT_TRUE(served.start(dir, {"-b"}));
        Client c(served.port());
        ASSERT_TRUE(c.open('w'));
        for (int i = 0; i < 3; i++) {
            ASSERT_TRUE(c.call(ORBPUTACK, [i](Orbrequest *r) {
                if (r->pkg == nullptr) r->pkg = newPktpkg();
                std::snprintf(r->pkg->srcname, sizeof r->pkg->srcname, "AA_BBB_HHZ");
                r->pkg->time = vktest::kFirstTime + i;
                r->pkg->packetsize = 0;
            }));
            ASSERT_EQ(c.resp()->pktid, i + 1);
        }
        const std::vector<int> pids = served.launcher().started();
        ASSERT_EQ(pids.size(), 1u);
        ::kill(pids[0], sig);
        ::kill(pids[0], sig);  // a second changes nothing
        EXPECT_EQ(served.status_of(1), 1);
        const std::string log = served.launcher().log();
        EXPECT_NE(log.find("received signal #" + std::to_string(sig) + "="), std::string::npos) << log;
        EXPECT_NE(log.find("\tShutting down"), std::string::npos) << log;
        EXPECT_NE(log.find("halted by signal #" + std::to_string(sig)), std::string::npos) << log;
        int add = 0;
        const std::string file = only_segment(dir);
        EXPECT_EQ(has_last_packet(const_cast<char *>(file.c_str()), &add), 1);
        EXPECT_EQ(rhtest::read_packets(dir).size(), 3u);
    }
}

TEST(ReelhouseFaults, ASignalEndsTheWaitForTheOpenAndAStuckReap) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 3000, kSources, 0, 4096);
    ASSERT_TRUE(served.start(dir, {}, {"BNS_TIMEOUT=60000"}));
    // No first request yet.
    Client idle(served.port());
    ASSERT_TRUE(served.launcher().log_shows("serves"));
    ASSERT_TRUE(rhtest::catches(served.launcher().started()[0], SIGTERM));
    // An emulator catches every signal from its start, for the program it
    // has not yet started: give the program time to install its handlers.
    if (vktest::light()) sleep(3);
    ::kill(served.launcher().started()[0], SIGTERM);
    EXPECT_EQ(served.status_of(1), 1);
    EXPECT_TRUE(served.launcher().log_shows("halted by signal #15"));

    // A reap to a client that does not read: the send waits until the
    // signal ends it.
    Client stuck(served.port(), 4096);
    ASSERT_TRUE(stuck.open('r'));
    stuck.req()->what = ORBREAP;
    ASSERT_TRUE(stuck.send());
    ASSERT_EQ(served.launcher().started().size(), 2u);
    sleep(1);  // the send now waits for the client
    ::kill(served.launcher().started()[1], SIGTERM);
    EXPECT_EQ(served.status_of(2), 1);
}

}  // namespace
