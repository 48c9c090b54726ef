// reelhouse as a client meets it: started by the launcher for each
// loopback connection, over a directory or file of test packets; every
// request it serves, with its reply, and how each connection ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "reelhouse.h"
#include "rh_testing.h"
#include "torvik.h"

namespace {

using rhtest::Packet;
using rhtest::Served;
using vktest::Client;
using vktest::kFirstTime;

const std::vector<std::string> kSources = {"AA_BBB_HHZ", "AA_CCC_HHZ", "XX_YYY_BHZ"};

// A put of packet i (body_of(i), the sources in turn).
void fill_put(Orbrequest *r, int i) {
    if (r->pkg == nullptr) r->pkg = newPktpkg();
    Pktpkg *pkg = r->pkg;
    const std::string body = vktest::body_of(i, 100 + i);
    std::snprintf(pkg->srcname, sizeof pkg->srcname, "%s",
                  kSources[static_cast<std::size_t>(i) % kSources.size()].c_str());
    pkg->srcnamesize = static_cast<uint16_t>(std::strlen(pkg->srcname) + 1);
    pkg->time = kFirstTime + i;
    pkg->packet = static_cast<char *>(std::realloc(pkg->packet, body.size()));
    std::memcpy(pkg->packet, body.data(), body.size());
    pkg->sZpacket = static_cast<int>(body.size());
    pkg->packetsize = static_cast<int>(body.size());
}

Packet expected(int i) {
    return {i, kSources[static_cast<std::size_t>(i) % kSources.size()], kFirstTime + i,
            vktest::body_of(i, 100 + i)};
}

// The segment files of a directory.
std::vector<std::string> segment_files(const std::string &dir) {
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(dir)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

TEST(Reelhouse, AcknowledgedPutsCountFromOneAndAreOnDiskWhenAcknowledged) {
    // The representation of the packets written, by option.
    struct Case {
        std::vector<std::string> args;
        const char *header;
    } cases[] = {{{}, "#orb x "}, {{"-b"}, "#orb b "}, {{"-a"}, "#orb a "}, {{"-f"}, "#orb f "}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.header);
        Served served;
        const std::string dir = served.file("ring");
        std::filesystem::create_directory(dir);
        ASSERT_TRUE(served.start(dir, k.args));
        Client c(served.port());
        ASSERT_TRUE(c.open('w'));
        EXPECT_EQ(c.resp()->latest_pktid, 0);
        for (int i = 0; i < 3; i++) {
            ASSERT_TRUE(c.call(ORBPUTACK, [i](Orbrequest *r) { fill_put(r, i); }));
            EXPECT_EQ(c.resp()->what, ORBPUTACK);
            EXPECT_EQ(c.resp()->result, 0);
            EXPECT_EQ(c.resp()->pktid, i + 1);
            // Acknowledged: another reader finds it on disk now.
            const std::vector<Packet> now = rhtest::read_packets(dir);
            ASSERT_EQ(now.size(), static_cast<std::size_t>(i + 1));
            EXPECT_EQ(now.back().srcname, expected(i).srcname);
            EXPECT_EQ(now.back().time, expected(i).time);
            if (std::string(k.header) != "#orb f ") {
                EXPECT_EQ(now.back().body, expected(i).body);
            }
        }
        c.close();
        EXPECT_EQ(served.status_of(1), 0) << served.launcher().log();
        const std::vector<std::string> files = segment_files(dir);
        ASSERT_EQ(files.size(), 1u);
        const std::string bytes = testsupport::read_file(files[0]);
        EXPECT_EQ(bytes.compare(0, std::strlen(k.header), k.header), 0) << bytes.substr(0, 40);
        // Closed at the end of the connection: the segment is finished.
        const std::string marker = std::string(k.header) + "LastSegmentPacket 0 ";
        EXPECT_NE(bytes.find(marker), std::string::npos);
    }
}

TEST(Reelhouse, PutsWithoutAcknowledgementAreCountedByTell) {
    Served served;
    const std::string dir = served.file("ring");
    std::filesystem::create_directory(dir);
    ASSERT_TRUE(served.start(dir, {"-b"}));
    Client c(served.port());
    ASSERT_TRUE(c.open('w'));
    for (int i = 0; i < 5; i++) {
        c.req()->what = i % 2 ? ORBPUT : ORBPUT2;
        fill_put(c.req(), i);
        ASSERT_TRUE(c.send());
    }
    ASSERT_TRUE(c.call(ORBTELL));
    EXPECT_EQ(c.resp()->pktid, 5);
    c.close();
    EXPECT_EQ(served.status_of(1), 0);
    const std::vector<Packet> packets = rhtest::read_packets(dir);
    ASSERT_EQ(packets.size(), 5u);
    for (int i = 0; i < 5; i++) EXPECT_EQ(packets[static_cast<std::size_t>(i)], expected(i));
}

TEST(Reelhouse, LivenessFirstIsAnsweredWithoutOpening) {
    Served served;
    // Opening this would fail: the file is never opened.
    ASSERT_TRUE(served.start(served.file("absent")));
    Client c(served.port());
    ASSERT_TRUE(c.call(ORBRUP, [](Orbrequest *r) {
        vktest::fill_hello(r, 'r');
        r->athread = 7;
    }));
    EXPECT_EQ(c.resp()->what, ORBRUP);
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_EQ(c.resp()->active, 0);
    EXPECT_EQ(c.resp()->latest_pktid, 0);
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_EQ(served.status_of(1), 0);
    EXPECT_EQ(served.launcher().log().find("Can't open"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(served.file("absent")));
}

TEST(Reelhouse, NextWaitAtTheEndFailsAtOnceAndFindsALaterPacket) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 3, kSources);
    ASSERT_TRUE(served.start(dir));
    Client c(served.port());
    ASSERT_TRUE(c.open('r'));
    ASSERT_TRUE(c.call(ORBSEEK, [](Orbrequest *r) { r->pktcode = ORBNEWEST; }));
    EXPECT_EQ(c.resp()->pktid, 2);
    ASSERT_TRUE(c.call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBNEXT_WAIT; }));
    EXPECT_EQ(c.resp()->result, -1);
    EXPECT_EQ(c.resp()->nerr, 0);
    // A packet written since is found by the next try.
    vktest::write_ring(dir, 1, kSources, 3);
    ASSERT_TRUE(c.call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBNEXT_WAIT; }));
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_EQ(c.resp()->pkg->pktid, 3);
    EXPECT_EQ(c.resp()->pkg->time, kFirstTime + 3);
}

TEST(Reelhouse, ReapOfFivePacketsSendsFiveAndEnds) {
    for (bool file : {false, true}) {
        SCOPED_TRACE(file ? "packet file" : "directory");
        Served served;
        const std::string dir = served.file("ring");
        vktest::write_ring(dir, 5, kSources);
        const std::string operand = file ? segment_files(dir)[0] : dir;
        ASSERT_TRUE(served.start(operand));
        Client c(served.port());
        ASSERT_TRUE(c.open('r'));
        c.req()->what = ORBREAP;
        c.req()->reap_maxpkts = 2;  // no count in this server
        ASSERT_TRUE(c.send());
        std::vector<int> ids;
        while (c.receive(10000)) {
            EXPECT_EQ(c.resp()->what, ORBREAP);
            const Pktpkg *pkg = c.resp()->pkg;
            EXPECT_EQ(std::string(pkg->packet, static_cast<std::size_t>(pkg->packetsize)),
                      vktest::body_of(pkg->pktid));
            EXPECT_EQ(pkg->srcnamesize, std::strlen(pkg->srcname) + 1);
            ids.push_back(pkg->pktid);
        }
        EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 3, 4}));
        EXPECT_EQ(served.status_of(1), 0);
    }
}

TEST(Reelhouse, PositioningThenReapStartsWithTheLandedPacket) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 10, kSources);
    ASSERT_TRUE(served.start(dir));
    struct Case {
        int code;
        double time;
        int pktcode;
        const char *select;
        std::vector<int> ids;
    } cases[] = {
        {ORBSEEK, 0, ORBOLDEST, nullptr, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {ORBAFTER, kFirstTime + 6.5, 0, nullptr, {7, 8, 9}},
        {ORBSEEK, 0, 4, nullptr, {4, 5, 6, 7, 8, 9}},
        // Selected after positioning: the landed packet must pass it too.
        {ORBSEEK, 0, 4, "AA_BBB_HHZ", {6, 9}},
        {ORBSEEK, 0, 4, "AA_CCC_HHZ", {4, 7}},
    };
    for (const Case &k : cases) {
        Client c(served.port());
        ASSERT_TRUE(c.open('r'));
        ASSERT_TRUE(c.call(k.code, [&](Orbrequest *r) {
            r->pktcode = k.pktcode;
            r->time = k.time;
        }));
        EXPECT_EQ(c.resp()->result, 0);
        if (k.select != nullptr) {
            ASSERT_TRUE(c.call(ORBSELECT, [&](Orbrequest *r) { vktest::replace(&r->select, k.select); }));
        }
        c.req()->what = ORBREAP;
        ASSERT_TRUE(c.send());
        std::vector<int> ids;
        while (c.receive(10000)) ids.push_back(c.resp()->pkg->pktid);
        EXPECT_EQ(ids, k.ids) << k.code << " " << k.pktcode;
    }
}

TEST(Reelhouse, GetSeekTellAndVersion) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 10, kSources);
    ASSERT_TRUE(served.start(dir));
    Client c(served.port());
    ASSERT_TRUE(c.open('r'));
    ASSERT_TRUE(c.call(ORBVERSION));
    EXPECT_EQ(c.resp()->version, 101);
    struct Case {
        int code;
        int pktcode;
        int result;
        int pktid;  // the packet got, or the pktid answered
        int tell;   // the client's pktid afterwards
    } cases[] = {
        {ORBSEEK, ORBOLDEST, 0, 0, 0},   {ORBGET, ORBCURRENT, 0, 0, 0},
        {ORBGET, ORBNEXT, 0, 1, 1},      {ORBGET, 6, 0, 6, 6},
        {ORBGET, ORBPREV, 0, 5, 5},      {ORBSEEK, 99, 0, -1, 5},
        {ORBGET, ORBSTASHPKT, -1, 0, 5}, {ORBSEEK, ORBNEWEST, 0, 9, 9},
        {ORBGET, ORBNEXT, -1, 0, 9},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::to_string(k.code) + " " + std::to_string(k.pktcode));
        ASSERT_TRUE(c.call(k.code, [&](Orbrequest *r) { r->pktcode = k.pktcode; }));
        EXPECT_EQ(c.resp()->result, k.result);
        if (k.result != 0) {
            EXPECT_EQ(c.resp()->nerr, 0);
            EXPECT_STREQ(c.resp()->errmsg, "");
        } else if (k.code == ORBGET) {
            EXPECT_EQ(c.resp()->pkg->pktid, k.pktid);
            EXPECT_EQ(std::string(c.resp()->pkg->packet, 512), vktest::body_of(k.pktid));
        } else {
            EXPECT_EQ(c.resp()->pktid, k.pktid);
        }
        ASSERT_TRUE(c.call(ORBTELL));
        EXPECT_EQ(c.resp()->pktid, k.tell);
    }
}

TEST(Reelhouse, UnservedCodesCountAsErrorsAndTheTwelfthEndsTheConnection) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 3, kSources);
    ASSERT_TRUE(served.start(dir));
    Client c(served.port());
    ASSERT_TRUE(c.open('r'));
    const int codes[] = {ORBSTAT, ORBCLIENTS, ORBSOURCES, ORBCLOSE, ORBHALT, ORBGET2,
                         ORBREAP2, ORBSTASHOP, 77, ORBSTAT, ORBSTAT};
    for (int code : codes) {
        ASSERT_TRUE(c.call(code)) << code;
        EXPECT_EQ(c.resp()->what, code);
        EXPECT_EQ(c.resp()->result, 0);
    }
    ASSERT_TRUE(c.call(ORBVERSION)) << "still served after eleven";
    ASSERT_TRUE(c.call(ORBSTAT));
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_EQ(served.status_of(1), 0);
    EXPECT_TRUE(served.launcher().log_shows(": more than 10 errors"));
}

TEST(Reelhouse, AFailedAfterCarriesAnEmptyText) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 3, kSources);
    ASSERT_TRUE(served.start(dir));
    Client c(served.port());
    ASSERT_TRUE(c.open('r'));
    ASSERT_TRUE(c.call(ORBAFTER, [](Orbrequest *r) { r->time = kFirstTime + 0.5; }));
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_EQ(c.resp()->pktid, 1);
    ASSERT_TRUE(c.call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBSTASHPKT; }));
    EXPECT_EQ(c.resp()->result, -1);
    ASSERT_TRUE(c.call(ORBAFTER, [](Orbrequest *r) { r->time = kFirstTime + 100; }));
    EXPECT_EQ(c.resp()->result, -1);
    EXPECT_EQ(c.resp()->nerr, 0);
    EXPECT_STREQ(c.resp()->errmsg, "");
    ASSERT_TRUE(c.call(ORBTELL));
    EXPECT_EQ(c.resp()->pktid, 1);
}

TEST(Reelhouse, SelectAndRejectApplyToGetsAndReaps) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 9, kSources);
    ASSERT_TRUE(served.start(dir));
    Client c(served.port());
    ASSERT_TRUE(c.open('r'));
    ASSERT_TRUE(c.call(ORBSELECT, [](Orbrequest *r) { vktest::replace(&r->select, "AA_.*"); }));
    EXPECT_EQ(c.resp()->result, 0);
    ASSERT_TRUE(c.call(ORBREJECT, [](Orbrequest *r) { vktest::replace(&r->reject, "AA_BBB_HHZ"); }));
    EXPECT_EQ(c.resp()->result, 0);
    // An expression that does not compile leaves the handle without one.
    ASSERT_TRUE(c.call(ORBSELECT, [](Orbrequest *r) { vktest::replace(&r->select, "AA_(("); }));
    ASSERT_TRUE(c.call(ORBSELECT, [](Orbrequest *r) { vktest::replace(&r->select, "AA_.*"); }));
    ASSERT_TRUE(c.call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBOLDEST; }));
    EXPECT_EQ(c.resp()->pkg->pktid, 1);
    c.req()->what = ORBREAP;
    ASSERT_TRUE(c.send());
    std::vector<int> ids;
    while (c.receive(10000)) ids.push_back(c.resp()->pkg->pktid);
    EXPECT_EQ(ids, (std::vector<int>{4, 7}));
}

TEST(Reelhouse, APutOnAReadingConnectionIsRefusedAndEndsIt) {
    Served served;
    const std::string dir = served.file("ring");
    vktest::write_ring(dir, 3, kSources);
    const std::vector<Packet> before = rhtest::read_packets(dir);
    ASSERT_TRUE(served.start(dir));
    Client c(served.port());
    ASSERT_TRUE(c.open('r'));
    ASSERT_TRUE(c.call(ORBPUTACK, [](Orbrequest *r) { fill_put(r, 3); }));
    EXPECT_EQ(c.resp()->result, -1);
    EXPECT_EQ(c.resp()->pktid, 0);
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_EQ(served.status_of(1), 0);
    EXPECT_EQ(rhtest::read_packets(dir), before);
}

TEST(Reelhouse, AnOpenThatFailsIsRefused) {
    struct Case {
        const char *operand;
        char perm;
        const char *text;
    } cases[] = {
        {"absent", 'r', "Can't open reelhouse "},
        {"no/such/dir/file", 'w', "Can't open reelhouse "},
        {"ring", 'z', "unrecognized permission code 'z'"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.operand);
        Served served;
        vktest::write_ring(served.file("ring"), 3, kSources);
        const std::string operand = served.file(k.operand);
        ASSERT_TRUE(served.start(operand));
        Client c(served.port());
        EXPECT_FALSE(c.open(k.perm));
        EXPECT_EQ(c.resp()->what, ORBOPEN);
        EXPECT_EQ(c.resp()->result, -1);
        std::string text = k.text;
        if (k.perm != 'z') text += operand;
        EXPECT_EQ(c.resp()->errmsg, text);
        EXPECT_EQ(c.resp()->nerr, static_cast<int>(text.size()));
        EXPECT_TRUE(c.closed_by_server());
        EXPECT_EQ(served.status_of(1), 1);
        EXPECT_TRUE(served.launcher().log_shows(text));
    }
}

TEST(Reelhouse, ResetAtOpenUnlinksTheFileFirst) {
    Served served;
    vktest::write_ring(served.file("ring"), 4, kSources);
    const std::string file = segment_files(served.file("ring"))[0];
    ASSERT_TRUE(served.start(file, {"-w", "-b"}));
    Client c(served.port());
    ASSERT_TRUE(c.open('w'));
    ASSERT_TRUE(c.call(ORBPUTACK, [](Orbrequest *r) { fill_put(r, 0); }));
    EXPECT_EQ(c.resp()->pktid, 1);
    c.close();
    EXPECT_EQ(served.status_of(1), 0);
    EXPECT_TRUE(served.launcher().log_shows("resetting ring buffer at open"));
    const std::vector<Packet> packets = rhtest::read_packets(file);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].body, expected(0).body);
}

TEST(Reelhouse, TheOperandReachesTheProgramAsItIs) {
    // No shell between the launcher and the program: blanks, quotes and
    // shell syntax in the operand are part of the name.
    Served served;
    const std::string dir = served.file("my ring; touch 'pwned' $(id) `id` \"x\"");
    vktest::write_ring(dir, 4, kSources);
    ASSERT_TRUE(served.start(dir));
    Client c(served.port());
    ASSERT_TRUE(c.open('r'));
    ASSERT_TRUE(c.call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBNEWEST; }));
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_EQ(c.resp()->pkg->pktid, 3);
    c.close();
    EXPECT_EQ(served.status_of(1), 0);
    EXPECT_FALSE(std::filesystem::exists(served.file("pwned")));
}

TEST(Reelhouse, UsageForABadCommandLine) {
    const std::vector<std::vector<std::string>> lines = {
        {REELHOUSE_PROGRAM, "-l", "ring"}, {REELHOUSE_PROGRAM}, {REELHOUSE_PROGRAM, "a", "b"},
        {REELHOUSE_PROGRAM, "-V", "ring"}, {REELHOUSE_PROGRAM, "-q", "ring"}};
    for (const auto &argv : lines) {
        const rhtest::Run r = rhtest::run(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Usage: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(" [-abflvVx] filename\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("1.25 2006/08/05 22:38:55"), std::string::npos) << r.err;
    }
}

TEST(Reelhouse, StatusRecordOfTheProgram) {
    setup_Status(6510);
    EXPECT_EQ(Status.port, 6510);
    EXPECT_EQ(Status.pid, static_cast<int>(getpid()));
    EXPECT_STREQ(Status.version, "$Date: 2006/08/05 22:38:55 $");
    EXPECT_GT(std::strlen(Status.who), 0u);
    EXPECT_GT(std::strlen(Status.host), 0u);
    EXPECT_EQ(Status.opens + Status.closes + Status.errors, 0);
}

}  // namespace
