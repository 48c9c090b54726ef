// Reading handles: forward across segment files, the position codes,
// packet ids, times, selection, the caller's buffers, replay pacing, a
// directory that grows while it is read, and bodies that are cut short.
#include "torvik.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "child.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "scratch_dir.h"
#include "torvik_testing.h"

namespace {

using torvik_testing::fixed7;
using torvik_testing::Got;
using torvik_testing::Reader;

using testsupport::ChildResult;
using testsupport::elog_register_text;
using testsupport::elog_reset_register;
using testsupport::in_child;
using testsupport::out;
using testsupport::ScratchDir;
using testsupport::write_file;

const std::string P = testsupport::elog_program_name();

[[maybe_unused]] const bool kPlainHeaders = (unsetenv("TORVIKRECVTIME"), true);


std::string header(const std::string &src, int nbytes, double time) {
    return torvik_testing::raw_header(src, nbytes, time);
}

struct Pkt {
    int pktid;
    std::string src;
    double time;
    std::string body;
};

std::string packet(const Pkt &p) { return header(p.src, static_cast<int>(p.body.size()), p.time) + p.body + "\n"; }

std::string marker(double time) { return torvik_testing::raw_marker(time); }

void append_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::app);
    f << text;
}

// Packets of three segment files: 1000.0 (ids 0-2, finished with a
// marker), 1003.3 (ids 3-4, left without one) and 1005.5 (ids 5-6, still
// being written).
const std::vector<Pkt> kPackets = {
    {0, "AA_X_1", 1000.0, "p0"},  {1, "BB_X_1", 1001.0, "p1"},  {2, "AA_X_2", 1002.0, "p2"},
    {3, "BB_X_2", 1003.0, "p3"},  {4, "AA_X_3", 1004.0, "p4"},  {5, "BB_X_3", 1005.0, "p5"},
    {6, "AA_X_4", 1006.0, "p6-"},
};

std::string packets(int from, int to) {
    std::string s;
    for (int i = from; i <= to; i++) s += packet(kPackets[static_cast<std::size_t>(i)]);
    return s;
}

void write_ring(const ScratchDir &dir) {
    write_file(dir.file("1000.0"), packets(0, 2) + marker(1002.0));
    write_file(dir.file("1003.3"), packets(3, 4));
    write_file(dir.file("1005.5"), packets(5, 6));
}

void expect_packet(const Got &g, const Pkt &p, const std::string &what) {
    EXPECT_EQ(g.result, 0) << what;
    EXPECT_EQ(g.pktid, p.pktid) << what;
    EXPECT_EQ(g.src, p.src) << what;
    EXPECT_EQ(g.time, p.time) << what;
    EXPECT_EQ(g.body, p.body) << what;
}

TEST(TorvikReading, ForwardAcrossSegmentFilesWithAndWithoutMarkers) {
    ScratchDir dir;
    write_ring(dir);
    for (const char *way : {"reap", "ORBNEXT"}) {
        Reader r(dir.path());
        ASSERT_GT(r.id(), 0);
        const bool reap = std::strcmp(way, "reap") == 0;
        for (const Pkt &p : kPackets) expect_packet(reap ? r.reap() : r.get(ORBNEXT), p, way);
        // At the end: -1 at once, reporting the last packet read.
        Got end = reap ? r.reap() : r.get(ORBNEXT);
        EXPECT_EQ(end.result, -1) << way;
        EXPECT_EQ(end.pktid, reap ? 6 : -1) << way;
        EXPECT_EQ(r.tell(), 6) << way;
    }
}

TEST(TorvikReading, AnEmptyDirectoryIsReadOnceTheWriterMadeItsFirstFile) {
    ScratchDir dir;
    Reader r(dir.path());
    ASSERT_GT(r.id(), 0);
    for (int which : {ORBNEXT, ORBOLDEST, ORBNEWEST, ORBPREV, 0}) EXPECT_EQ(r.seek(which), -1) << which;
    EXPECT_EQ(r.reap().result, -1);

    Reader w(dir.path(), "b");
    for (int i = 0; i < 2; i++) {
        const Pkt &p = kPackets[static_cast<std::size_t>(i)];
        ASSERT_EQ(torvikput(w.id(), const_cast<char *>(p.src.c_str()), p.time,
                            const_cast<char *>(p.body.data()), static_cast<int>(p.body.size())),
                  0);
    }
    expect_packet(r.reap(), kPackets[0], "first");
    expect_packet(r.get(ORBNEXT), kPackets[1], "second");
}

TEST(TorvikReading, CurrentOnAFreshHandleStandsBeforeTheFirstId) {
    struct Case {
        const char *file;  // in a directory of its own, or free-standing
        bool in_directory;
        int current;
    } cases[] = {
        {"1000.0", true, -1},
        {"1000.5000", true, 4999},
        {"pkts", false, -1},
        {"pkts.5000", false, 4999},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        write_file(dir.file(c.file), packets(0, 1));
        Reader r(c.in_directory ? dir.path() : dir.file(c.file));
        ASSERT_GT(r.id(), 0) << c.file;
        EXPECT_EQ(r.seek(ORBCURRENT), c.current) << c.file;
        if (c.current >= 0) continue;
        // Nothing to copy: the caller's buffers stay as they were.
        int pktid = 77, nbytes = 77, bufsize = 0;
        char srcname[64] = "untouched";
        double time = 12.5;
        char *buf = nullptr;
        EXPECT_EQ(torvikget(r.id(), ORBCURRENT, &pktid, srcname, &time, &buf, &nbytes, &bufsize), -1);
        EXPECT_EQ(pktid, -1);
        EXPECT_STREQ(srcname, "untouched");
        EXPECT_EQ(time, 12.5);
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(nbytes, 77);
        EXPECT_EQ(bufsize, 0);
    }
}

TEST(TorvikReading, NextHonoursSelectionAndRejection) {
    ScratchDir dir;
    write_ring(dir);
    struct Case {
        const char *select, *reject;
        std::vector<int> ids;
    } cases[] = {
        {"BB_.*", nullptr, {1, 3, 5}},
        {nullptr, "BB_.*", {0, 2, 4, 6}},
        {"AA_.*", "AA_X_[23]", {0, 6}},
        {"X_1", nullptr, {}},  // the whole name must match
    };
    for (const Case &c : cases) {
        Reader r(dir.path());
        ASSERT_EQ(torvikselect(r.id(), const_cast<char *>(c.select)), 0);
        ASSERT_EQ(torvikreject(r.id(), const_cast<char *>(c.reject)), 0);
        std::vector<int> ids;
        for (int id; (id = r.seek(ORBNEXT)) >= 0;) ids.push_back(id);
        EXPECT_EQ(ids, c.ids) << (c.select ? c.select : "") << " / " << (c.reject ? c.reject : "");
    }
}

TEST(TorvikReading, SeekingToAnIdIgnoresSelectionUntilTheNextRead) {
    ScratchDir dir;
    write_ring(dir);
    Reader r(dir.path());
    ASSERT_EQ(torvikselect(r.id(), const_cast<char *>("BB_.*")), 0);
    struct Step {
        int which;
        int id;  // packet reached, -1 for none
    } steps[] = {
        {4, 4},        {ORBNEXT, 5}, {0, 0}, {ORBNEXT, 1}, {6, 6},
        {ORBNEXT, -1}, {2, 2},       {ORBCURRENT, 2},
    };
    for (const Step &s : steps) {
        if (s.id < 0) {
            EXPECT_EQ(r.seek(s.which), -1) << s.which;
            continue;
        }
        expect_packet(r.get(s.which), kPackets[static_cast<std::size_t>(s.id)], std::to_string(s.which));
    }
    // Past the newest packet: -1 at the end of the newest file.
    EXPECT_EQ(r.seek(100), -1);
    EXPECT_EQ(r.tell(), 6);
    // Before the oldest file's first id: -1 and the handle stays.
    ASSERT_EQ(unlink(dir.file("1000.0").c_str()), 0);
    expect_packet(r.get(4), kPackets[4], "4 again");
    EXPECT_EQ(r.seek(1), -1);
    EXPECT_EQ(r.tell(), 4);
    expect_packet(r.get(ORBNEXT), kPackets[5], "next after refusal");
}

TEST(TorvikReading, OldestTakesTheVerbosityFromAFileNamedVerbose) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("ring").c_str(), 0775), 0);
    write_file(dir.file("ring/1000.0"), packets(0, 2) + marker(1002.0));
    ChildResult child = in_child([&] {
        if (chdir(dir.path().c_str()) != 0) return out("chdir failed\n");
        Reader r("ring");
        torvikset(r.id(), TORVIK_VERBOSE, 2, 0);
        auto oldest_then_next = [&r] {
            int oldest = r.seek(ORBOLDEST);
            int next = r.seek(ORBNEXT);
            out(std::to_string(oldest) + " " + std::to_string(next) + "\n");
        };
        std::fputs("no file\n", stderr);
        oldest_then_next();
        write_file("verbose", "");
        std::fputs("file\n", stderr);
        oldest_then_next();
        unlink("verbose");
        std::fputs("removed\n", stderr);
        oldest_then_next();
    });
    ASSERT_TRUE(child.exited) << child.err;
    EXPECT_EQ(child.out, "0 1\n0 1\n0 1\n");
    EXPECT_EQ(child.err, "no file\nfile\n#0 AA_X_1 1000.00000\n#1 BB_X_1 1001.00000\nremoved\n");
}

TEST(TorvikReading, PrevCrossesIntoEarlierFilesAndNeverGivesAMarker) {
    ScratchDir dir;
    write_ring(dir);
    struct Case {
        const char *select;
        int from;
        std::vector<int> ids;  // reached by ORBPREV until -1
    } cases[] = {
        {nullptr, 3, {2, 1, 0}},
        {nullptr, 5, {4, 3, 2, 1, 0}},
        {"BB_.*", 5, {3, 1}},
        {"AA_.*", 4, {2, 0}},
    };
    for (const Case &c : cases) {
        Reader r(dir.path());
        if (c.select != nullptr) torvikselect(r.id(), const_cast<char *>(c.select));
        ASSERT_EQ(r.seek(c.from), c.from);
        std::vector<int> ids;
        for (Got g; (g = r.get(ORBPREV)).result == 0;) {
            expect_packet(g, kPackets[static_cast<std::size_t>(g.pktid)], "prev");
            ids.push_back(g.pktid);
        }
        EXPECT_EQ(ids, c.ids) << c.from << " " << (c.select ? c.select : "");
        EXPECT_EQ(r.tell(), -1);
    }
}

TEST(TorvikReading, NewestGivesTheLastSelectedPacketBeforeAnyMarker) {
    struct Case {
        const char *what;
        bool whole_ring;  // else only 1000.0, which ends with a marker
        const char *select;
        int id;
    } cases[] = {
        {"newest file ends with a marker", false, nullptr, 2},
        {"newest file being written", true, nullptr, 6},
        {"selected, in the newest file", true, "BB_.*", 5},
        {"selected, before the marker", false, "BB_.*", 1},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        if (c.whole_ring)
            write_ring(dir);
        else
            write_file(dir.file("1000.0"), packets(0, 2) + marker(1002.0));
        Reader r(dir.path());
        if (c.select != nullptr) torvikselect(r.id(), const_cast<char *>(c.select));
        expect_packet(r.get(ORBNEWEST), kPackets[static_cast<std::size_t>(c.id)], c.what);
    }
}

TEST(TorvikReading, NewestOfAFreeStandingFileIsTheNewestIndexedSoFar) {
    ScratchDir dir;
    write_file(dir.file("pkts"), packets(0, 2) + marker(1002.0));
    Reader r(dir.file("pkts"));
    // Nothing indexed yet: the seek lands on the first packet.
    expect_packet(r.get(ORBNEWEST), kPackets[0], "fresh");
    expect_packet(r.get(ORBNEXT), kPackets[1], "next");
    expect_packet(r.get(ORBOLDEST), kPackets[0], "oldest");
    expect_packet(r.get(ORBNEWEST), kPackets[1], "newest indexed");
}

TEST(TorvikReading, AfterUsesTheIndexOfTheCurrentFileAndReadsOtherwise) {
    ScratchDir dir;
    write_ring(dir);
    ChildResult child = in_child([&] {
        Reader r(dir.path());
        torvikset(r.id(), TORVIK_VERBOSE, 1, 0);
        struct Step {
            const char *select;
            double time;
        } steps[] = {
            {nullptr, 1000.5},   // reads 0, 1
            {nullptr, 1001.5},   // the index has no later packet: reads 0, 1, 2
            {nullptr, 1000.5},   // from the index: reads 1 only
            {"AA_.*", 1000.5},   // from the index: reads 2 only
            {"AA_.*", 1003.5},   // 1003.3 was not current: reads 3, 4
            {"AA_.*", 1006.0},   // nothing later: reads to the end, -1
            {"AA_.*", 999.0},    // before every file: the oldest, 0
        };
        for (const Step &s : steps) {
            torvikselect(r.id(), const_cast<char *>(s.select));
            std::fputs("|\n", stderr);
            out(std::to_string(torvikafter(r.id(), s.time)) + " ");
        }
    });
    ASSERT_TRUE(child.exited) << child.err;
    EXPECT_EQ(child.out, "1 2 1 2 4 -1 0 ");
    EXPECT_EQ(child.err,
              "|\n#0 AA_X_1 1000.00000\n#1 BB_X_1 1001.00000\n"
              "|\n#0 AA_X_1 1000.00000\n#1 BB_X_1 1001.00000\n#2 AA_X_2 1002.00000\n"
              "|\n#1 BB_X_1 1001.00000\n"
              "|\n#2 AA_X_2 1002.00000\n"
              "|\n#3 BB_X_2 1003.00000\n#4 AA_X_3 1004.00000\n"
              "|\n#5 BB_X_3 1005.00000\n#6 AA_X_4 1006.00000\n"
              "|\n#0 AA_X_1 1000.00000\n");
}

TEST(TorvikReading, CallerBuffersGrowOnlyForLongerBodies) {
    ScratchDir dir;
    write_file(dir.file("pkts"), header("S_1", -5, 1000.0) + "\n" + header("S_1", 0, 1001.0) + "\n" +
                                     packet({2, "S_1", 1002.0, "0123456789"}) +
                                     packet({3, "S_1", 1003.0, "abcd"}) +
                                     packet({4, "S_1", 1004.0, std::string(20, 'x')}));
    Reader r(dir.file("pkts"));
    struct Step {
        std::string body;
        int bufsize;
        bool same_buffer;  // kept, not replaced
    } steps[] = {
        {"", 0, true},  // a negative count delivers no bytes
        {"", 0, true},
        {"0123456789", 10, false},
        {"abcd", 10, true},
        {std::string(20, 'x'), 20, false},
    };
    for (const Step &s : steps) {
        char *before = r.buf();
        Got g = r.reap();
        ASSERT_EQ(g.result, 0) << s.body;
        EXPECT_EQ(g.body, s.body);
        EXPECT_EQ(r.nbytes(), static_cast<int>(s.body.size()));
        EXPECT_EQ(r.bufsize(), s.bufsize) << s.body;
        // A grown buffer may come back at the same address: only the
        // buffers kept are compared.
        if (s.same_buffer) {
            EXPECT_EQ(r.buf(), before) << s.body;
        }
    }
}

TEST(TorvikReading, ReplayShiftsAndPacesByTheFirstPacketRead) {
    ScratchDir dir;
    write_file(dir.file("pkts"), header("S_1", 1, 1000.0) + "a\n" + header("S_1", 1, 1001.0) + "b\n");
    struct Case {
        bool synchronous, current;
    } cases[] = {{false, true}, {true, false}, {true, true}};
    for (const Case &c : cases) {
        Reader r(dir.file("pkts"));
        torvikset(r.id(), TORVIK_SYNCHRONOUS, c.synchronous ? 1 : 0, TORVIK_CURRENT, c.current ? 1 : 0, 0);
        const double start = std_now();
        Got first = r.reap();
        const double first_read = std_now();
        Got second = r.reap();
        const double end = std_now();
        ASSERT_EQ(first.result, 0);
        ASSERT_EQ(second.result, 0);
        const std::string what = std::string(c.synchronous ? "synchronous " : "") + (c.current ? "current" : "");
        if (c.synchronous && c.current) {
            // Half a second before the moment it was read, and one shift
            // for every packet.
            EXPECT_GE(first.time, start - 0.5 - 1e-3) << what;
            EXPECT_LE(first.time, first_read - 0.5) << what;
            EXPECT_NEAR(second.time - 1001.0, first.time - 1000.0, 1e-6) << what;
        } else {
            EXPECT_EQ(first.time, 1000.0) << what;
            EXPECT_EQ(second.time, 1001.0) << what;
        }
        // A second of packet time, less the half second of the shift.
        if (c.synchronous) {
            EXPECT_GE(end - start, 0.4) << what;
        }
    }
}

TEST(TorvikReading, AtTheEndOfAFileAppendedPacketsComeBeforeTheNewerFile) {
    struct Case {
        const char *what;
        std::size_t split;  // bytes of packet 1 appended before the reader looks again
    } cases[] = {{"appended whole", 0}, {"header completed later", 9}};
    for (const Case &c : cases) {
        ScratchDir dir;
        write_file(dir.file("1000.0"), packets(0, 0));
        Reader r(dir.path());
        expect_packet(r.reap(), kPackets[0], c.what);
        EXPECT_EQ(r.reap().result, -1) << c.what;
        const std::string more = packets(1, 2);
        if (c.split > 0) {
            append_file(dir.file("1000.0"), more.substr(0, c.split));
            EXPECT_EQ(r.reap().result, -1) << c.what;
        }
        append_file(dir.file("1000.0"), more.substr(c.split));
        write_file(dir.file("2000.3"), packets(3, 3));
        for (int id : {1, 2, 3}) expect_packet(r.reap(), kPackets[static_cast<std::size_t>(id)], c.what);
        Got end = r.reap();
        EXPECT_EQ(end.result, -1) << c.what;
        EXPECT_EQ(end.pktid, 3) << c.what;
    }
}

TEST(TorvikReading, AShortRawBodyInAFreeStandingFileFailsOnlyItsPacket) {
    ScratchDir dir;
    const Pkt after{2, "CC_X_1", 1002.0, "xyz"};
    // Declares more than the file holds: nothing of it is read.
    write_file(dir.file("declared"), packet(kPackets[0]) + header("BB_X_1", 100, 1001.0) + "short\n" + packet(after));
    {
        Reader r(dir.file("declared"));
        expect_packet(r.reap(), kPackets[0], "declared");
        elog_reset_register();
        Got failed = r.reap();
        EXPECT_EQ(failed.result, -1);
        EXPECT_EQ(failed.pktid, 1);
        EXPECT_EQ(elog_register_text(),
                  P + ": packet #1 of " + dir.file("declared") + " declares 100 bytes, more than the file holds\n");
        // The failed packet is current, without bytes.
        Got current = r.get(ORBCURRENT);
        EXPECT_EQ(current.result, 0);
        EXPECT_EQ(current.pktid, 1);
        EXPECT_EQ(current.src, "BB_X_1");
        EXPECT_EQ(current.time, 1001.0);
        EXPECT_EQ(current.body, "");
        expect_packet(r.reap(), after, "declared");
    }
    // Cut short at the end of the file, after a larger body.
    const Pkt large{0, "AA_X_1", 1000.0, std::string(200, 'L')};
    write_file(dir.file("cut"), packet(large) + header("BB_X_1", 100, 1001.0) + "short\n");
    Reader r(dir.file("cut"));
    expect_packet(r.reap(), large, "cut");
    Got failed = r.reap();
    EXPECT_EQ(failed.result, -1);
    EXPECT_EQ(failed.pktid, 1);
    append_file(dir.file("cut"), packet(after));
    expect_packet(r.reap(), after, "cut");
}

}  // namespace
