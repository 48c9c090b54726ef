// Segment directories: file names and listings, picking files by time and
// packet id, the rules that start a new segment file, removal of old files,
// the summary, the repair of unfinished files, and what a put that fails
// leaves behind.
#include "torvik.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <cmath>
#include <string>
#include <vector>

#include "child.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "scratch_dir.h"
#include "torvik_testing.h"

namespace {

using torvik_testing::fixed7;
using torvik_testing::Handle;

using testsupport::ChildResult;
using testsupport::elog_register_text;
using testsupport::elog_reset_register;
using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

const std::string P = testsupport::elog_program_name();

// Headers are written in the plain form throughout.
[[maybe_unused]] const bool kPlainHeaders = (unsetenv("TORVIKRECVTIME"), true);


std::string packet(const std::string &src, double time, const std::string &body) {
    return torvik_testing::raw_packet(src, time, body);
}
std::string marker(double time) { return torvik_testing::raw_marker(time); }

// Every entry of a directory, sorted by name.
std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> strings_of(Tbl *list) {
    std::vector<std::string> v;
    for (int i = 0; i < maxtbl(list); i++) v.push_back(static_cast<char *>(gettbl(list, i)));
    freetbl(list, std::free);
    return v;
}

// A string made by the library, or "<null>".
std::string adopt(char *s) { return torvik_testing::take(s, "<null>"); }


TEST(SegmentNames, ParseTakesTheTimeAndTheIdAfterTheLastDot) {
    struct Case {
        const char *name;
        int time, pktid;
    } cases[] = {
        {"1001.7", 1001, 7},        {"/data/ring/1001.7", 1001, 7},
        {"/data/ring.3/2000", 2000, 0}, {"1000.5.9", 1000, 9},
        {"state", 0, 0},            {"pkts.5000", 0, 5000},
    };
    for (const Case &c : cases) {
        int time = 99, pktid = 99;
        torvik_parse_filename(const_cast<char *>(c.name), &time, &pktid);
        EXPECT_EQ(time, c.time) << c.name;
        EXPECT_EQ(pktid, c.pktid) << c.name;
    }
}

TEST(SegmentNames, NameTimeIsRoundedToTheNearestSecond) {
    Torvikfile *record = torviknew();
    EXPECT_EQ(adopt(torvikfilename(record, 1000.6, 7)), "1001.7");
    record->dirname = strdup("/data/ring");
    EXPECT_EQ(adopt(torvikfilename(record, 1000.6, 7)), "/data/ring/1001.7");
    torvikfree(record);
}

TEST(SegmentFiles, OnlyRegularFilesStartingWithANonZeroDigitInNumericOrder) {
    ScratchDir dir;
    write_file(dir.file("state"), "x");
    write_file(dir.file("0.5"), "x");
    write_file(dir.file("1001.0"), "x");
    ASSERT_EQ(mkdir(dir.file("2002.0").c_str(), 0775), 0);
    EXPECT_EQ(strings_of(segmentfiles(const_cast<char *>(dir.path().c_str()))),
              std::vector<std::string>({"1001.0"}));

    // Equal name times keep the order of their first ids.
    for (const char *name : {"1001.10", "999.3", "1001.9", ".1500.0"}) write_file(dir.file(name), "x");
    EXPECT_EQ(strings_of(segmentfiles(const_cast<char *>(dir.path().c_str()))),
              std::vector<std::string>({"999.3", "1001.0", "1001.9", "1001.10"}));
}

TEST(SegmentWriter, FirstPacketNamesTheFileAndThePeriodCountsFromItsSecond) {
    ScratchDir dir;
    Handle w(dir.path(), "b");
    ASSERT_GT(w.id(), 0);
    ASSERT_EQ(w.put("AA_STA_BHZ", 999.6, "one"), 0);
    EXPECT_EQ(torviktell(w.id()), 0);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0"}));
    int first_time = 0;
    torvikquery(w.id(), TORVIK_FIRST_TIME, &first_time, 0);
    EXPECT_EQ(first_time, 999);

    ASSERT_EQ(w.put("AA_STA_BHZ", 4598.9, "two"), 0);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0"}));
    // The next file is named a second after the newest time (4598.9 + 1).
    ASSERT_EQ(w.put("AA_STA_BHZ", 4599.0, "three"), 0);
    EXPECT_EQ(torviktell(w.id()), 2);
    ASSERT_EQ(w.close(), 0);

    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0", "4600.2"}));
    EXPECT_EQ(read_file(dir.file("1000.0")), packet("AA_STA_BHZ", 999.6, "one") +
                                                 packet("AA_STA_BHZ", 4598.9, "two") +
                                                 marker(4598.9));
    EXPECT_EQ(read_file(dir.file("4600.2")), packet("AA_STA_BHZ", 4599.0, "three") + marker(4599.0));
}

TEST(SegmentWriter, MaxpktsPutsThreePacketsAndAMarkerInEachFile) {
    ScratchDir dir;
    Handle w(dir.path(), "b");
    torvikset(w.id(), TORVIK_MAXPKTS, 3, 0);
    for (int i = 0; i < 7; i++) ASSERT_EQ(w.put("XX_A_B", 1000 + i, "p" + std::to_string(i)), 0);
    ASSERT_EQ(w.close(), 0);

    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0", "1003.3", "1006.6"}));
    EXPECT_EQ(read_file(dir.file("1000.0")),
              "#orb b XX_A_B 2 1000.0000000\np0\n"
              "#orb b XX_A_B 2 1001.0000000\np1\n"
              "#orb b XX_A_B 2 1002.0000000\np2\n"
              "#orb b LastSegmentPacket 0 1002.0000000\n");
    EXPECT_EQ(read_file(dir.file("1003.3")), packet("XX_A_B", 1003, "p3") + packet("XX_A_B", 1004, "p4") +
                                                 packet("XX_A_B", 1005, "p5") + marker(1005));
    EXPECT_EQ(read_file(dir.file("1006.6")), packet("XX_A_B", 1006, "p6") + marker(1006));
}

TEST(SegmentWriter, ATimeBeyondTheGapNeitherAdvancesNorRollsAndNamesByTheNewestTime) {
    ScratchDir dir;
    Handle w(dir.path(), "b");
    torvikset(w.id(), TORVIK_MAX_TIME_GAP, 100, TORVIK_MAXPKTS, 2, 0);
    ASSERT_EQ(w.put("XX_A_B", 1000.0, "a"), 0);
    // Past the period as well, but not trusted: it stays in this file.
    ASSERT_EQ(w.put("XX_A_B", 5000.0, "b"), 0);
    // The packet count rolls the file; the new name comes from 1000 + 1.
    ASSERT_EQ(w.put("XX_A_B", 9000.0, "c"), 0);
    int first_time = 0;
    torvikquery(w.id(), TORVIK_FIRST_TIME, &first_time, 0);
    EXPECT_EQ(first_time, 1001);
    ASSERT_EQ(w.close(), 0);

    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0", "1001.2"}));
    EXPECT_EQ(read_file(dir.file("1000.0")),
              packet("XX_A_B", 1000.0, "a") + packet("XX_A_B", 5000.0, "b") + marker(1000.0));
    EXPECT_EQ(read_file(dir.file("1001.2")), packet("XX_A_B", 9000.0, "c") + marker(1000.0));
}

// Number of packet headers (markers included) in a file.
int headers_in(const std::string &path) {
    std::string text = read_file(path);
    int n = 0;
    for (std::size_t at = 0; (at = text.find("#orb ", at)) != std::string::npos; at++) n++;
    return n;
}

TEST(SegmentWriter, SegmentSizeCountsAcrossRollsByOtherRulesAndRestartsOnlyOnItsOwn) {
    ScratchDir dir;
    Handle w(dir.path(), "b");
    torvikset(w.id(), TORVIK_MAX_SEGMENT_SIZE, 500, 0);
    const std::string body(100, 'z');  // counts 228 bytes a packet
    // 1000: first file (228); 5000: the period rolls (456 counted on);
    // 5001: below 500, same file (684); 5002: the size rolls (back to 228);
    // 5003: same file.
    for (double time : {1000.0, 5000.0, 5001.0, 5002.0, 5003.0}) ASSERT_EQ(w.put("XX_A_B", time, body), 0);
    ASSERT_EQ(w.close(), 0);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0", "5000.1", "5002.3"}));
    EXPECT_EQ(headers_in(dir.file("1000.0")), 2);
    EXPECT_EQ(headers_in(dir.file("5000.1")), 3);
    EXPECT_EQ(headers_in(dir.file("5002.3")), 3);
}

TEST(SegmentWriter, MaxsizeRemovesTheOldestFilesAtARollButKeepsTheNewest) {
    ScratchDir dir;
    Handle w(dir.path(), "b");
    torvikset(w.id(), TORVIK_MAXPKTS, 1, 0);
    for (int i = 0; i < 3; i++) ASSERT_EQ(w.put("XX_A_B", 1000 + i, "p"), 0);
    ASSERT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0", "1001.1", "1002.2"}));
    torvikset(w.id(), TORVIK_MAXSIZE, 10.0, 0);
    ASSERT_EQ(w.put("XX_A_B", 1003, "p"), 0);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1002.2", "1003.3"}));
    EXPECT_EQ(read_file(dir.file("1002.2")), packet("XX_A_B", 1002, "p") + marker(1002));
}

TEST(SegmentWriter, AReopenedWriterNumbersOnInANewFileAfterTheNewestTime) {
    const std::string older = packet("XX_A_B", 1000.0, "p40") + packet("XX_A_B", 1005.0, "p41");
    struct Case {
        const char *what;
        std::string newest;    // contents of 1000.40
        bool empty_successor;  // an empty 1010.42 left by a writer that failed
        const char *new_file;
    } cases[] = {
        {"ended with a marker", older + marker(1005.0), false, "1006.42"},
        {"left without a marker", older, false, "1006.42"},
        // No packet in the newest file: its name time plus the period.
        {"newest file empty", older + marker(1005.0), true, "4611.42"},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        write_file(dir.file("1000.40"), c.newest);
        if (c.empty_successor) write_file(dir.file("1010.42"), "");
        Handle w(dir.path(), "b");
        ASSERT_GT(w.id(), 0) << c.what;
        ASSERT_EQ(w.put("XX_A_B", 1005.5, "p42"), 0) << c.what;
        EXPECT_EQ(torviktell(w.id()), 42) << c.what;
        EXPECT_TRUE(std::filesystem::exists(dir.file(c.new_file))) << c.what;
        EXPECT_EQ(read_file(dir.file(c.new_file)), packet("XX_A_B", 1005.5, "p42")) << c.what;
        EXPECT_EQ(read_file(dir.file("1000.40")), c.newest) << c.what;
        EXPECT_EQ(entries(dir.path()).size(), c.empty_successor ? 3u : 2u) << c.what;
    }
}

TEST(SegmentWriter, ANewFileIsReadAfterANewestFileHoldingPacketsOlderThanItsName) {
    // A writer restarted from an older position put packets older than the
    // newest file's name into it; the next writer goes back once more.
    ScratchDir dir;
    write_file(dir.file("990.38"), packet("XX_A_B", 990.0, "p38") + packet("XX_A_B", 991.0, "p39") +
                                       marker(991.0));
    write_file(dir.file("1000.40"), packet("XX_A_B", 990.0, "p40") + packet("XX_A_B", 991.0, "p41"));
    {
        Handle w(dir.path(), "b");
        ASSERT_GT(w.id(), 0);
        ASSERT_EQ(w.put("XX_A_B", 990.0, "p42"), 0);
    }
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"1000.40", "1000.42", "990.38"}));
    torvik_testing::Reader r(dir.path());
    std::vector<std::string> bodies;
    for (torvik_testing::Got g = r.reap(); g.result == 0; g = r.reap()) bodies.push_back(g.body);
    EXPECT_EQ(bodies, (std::vector<std::string>{"p38", "p39", "p40", "p41", "p42"}));
}

TEST(SegmentPicking, ByTimeNextAndByIdInNameOrder) {
    ScratchDir dir;
    for (const char *name : {"1000.0", "2000.5", "2000.8", "3000.12"}) write_file(dir.file(name), "");
    Handle r(dir.path(), "r");
    ASSERT_GT(r.id(), 0);
    Torvikfile *h = r.record();
    const std::string d = dir.path() + "/";

    struct ByTime {
        double time;
        const char *file;
    } by_time[] = {{999.0, "1000.0"},  {1000.0, "1000.0"}, {1999.9, "1000.0"},
                   {2000.0, "2000.8"}, {2999.0, "2000.8"}, {1.0e35, "3000.12"}};
    for (const ByTime &c : by_time) EXPECT_EQ(adopt(filebytime(h, c.time)), d + c.file) << c.time;

    struct Next {
        const char *current, *next;
    } next[] = {{"1000.0", "2000.5"}, {"2000.5", "2000.8"}, {"2000.8", "3000.12"}, {"3000.12", "3000.12"}};
    for (const Next &c : next) {
        ASSERT_EQ(torvikopenfile(h, const_cast<char *>((d + c.current).c_str())), 0);
        EXPECT_EQ(adopt(nextfile(h)), d + c.next) << c.current;
    }

    struct ById {
        int pktid;
        const char *file;
    } by_id[] = {{0, "1000.0"}, {4, "1000.0"},  {5, "2000.5"},   {7, "2000.5"},
                 {8, "2000.8"}, {11, "2000.8"}, {12, "3000.12"}, {1000, "3000.12"}};
    for (const ById &c : by_id) EXPECT_EQ(adopt(filebypktid(h, c.pktid)), d + c.file) << c.pktid;
    EXPECT_EQ(adopt(filebypktid(h, -1)), "<null>");
}

TEST(SegmentPicking, AnEmptyDirectoryAndAFreeStandingFile) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("ring").c_str(), 0775), 0);
    Handle empty(dir.file("ring"), "r");
    ASSERT_GT(empty.id(), 0);
    EXPECT_EQ(adopt(filebytime(empty.record(), 1.0e35)), "<null>");
    EXPECT_EQ(adopt(filebypktid(empty.record(), 0)), "<null>");
    EXPECT_EQ(adopt(nextfile(empty.record())), "/dev/null");

    write_file(dir.file("pkts"), packet("XX_A_B", 1000, "p"));
    Handle file(dir.file("pkts"), "r");
    ASSERT_GT(file.id(), 0);
    EXPECT_EQ(adopt(filebytime(file.record(), 0.0)), dir.file("pkts"));
    EXPECT_EQ(adopt(nextfile(file.record())), dir.file("pkts"));
    EXPECT_EQ(adopt(filebypktid(file.record(), 3)), dir.file("pkts"));
    EXPECT_EQ(adopt(filebypktid(file.record(), -1)), "<null>");
}

TEST(SegmentRepair, HasLastPacketRecognisesOnlyTheRawMarker) {
    const std::string first = packet("XX_A_B", 1000.0, "abc");
    const std::string header20 = "#orb b XX_A_B 20 1001.0000000\n";
    const std::string x_file = "#orb x XX_A_B 0 1000.0000000\n\n#orb x LastSegmentPacket 0 1000.0000000\n";
    struct Case {
        const char *what;
        std::string contents;
        int result, addbytes;
    } cases[] = {
        {"empty", "", 0, 0},
        {"raw marker", first + marker(1000.0), 1, 0},
        {"complete, no marker", first + packet("XX_A_B", 1001.0, "def"), 0, 0},
        {"last body lacks 5 bytes", first + header20 + std::string(15, 'q'), 0, 14},
        {"last body lacks 2 bytes", first + header20 + std::string(18, 'q'), 0, 11},
        // One byte short is short too: without padding the marker would
        // give its first byte to the body and be lost.
        {"last body lacks 1 byte", first + header20 + std::string(19, 'q'), 0, 10},
        {"last body whole, trailer missing", first + header20 + std::string(20, 'q'), 0, 0},
        // The first packet of a file counts too.
        {"first body cut short", header20 + "q", 0, 28},
        {"marker of another representation", x_file, 0, 0},
    };
    ScratchDir dir;
    for (const Case &c : cases) {
        write_file(dir.file("1000.0"), c.contents);
        int addbytes = -7;
        EXPECT_EQ(has_last_packet(const_cast<char *>(dir.file("1000.0").c_str()), &addbytes), c.result)
            << c.what;
        EXPECT_EQ(addbytes, c.addbytes) << c.what;
    }
}

TEST(SegmentRepair, CorrectFinishesEveryUnfinishedFileNewestFirst) {
    ScratchDir dir;
    const std::string d = dir.path() + "/";
    const std::string clean = packet("XX_A_B", 1000.0, "p0") + marker(1000.0);
    const std::string short_body = packet("XX_A_B", 2000.0, "p3") + "#orb b XX_A_B 20 2001.0000000\n" +
                                   std::string(15, 'q');
    const std::string unfinished = packet("XX_A_B", 4000.0, "p9");
    const std::string x_file = "#orb x XX_A_B 0 5000.0000000\n\n#orb x LastSegmentPacket 0 5000.0000000\n";
    write_file(d + "1000.0", clean);
    write_file(d + "2000.3", short_body);
    write_file(d + "3000.6", "");
    write_file(d + "4000.9", unfinished);
    write_file(d + "5000.12", x_file);
    write_file(d + "state", "");

    Handle h(dir.path(), "r");
    ASSERT_GT(h.id(), 0);
    elog_reset_register();
    EXPECT_EQ(torvikcorrect(h.id()), 4);
    EXPECT_EQ(elog_register_text(), P + ": adding final last packet to segment file " + d + "5000.12\n" +
                                        P + ": adding final last packet to segment file " + d + "4000.9\n" +
                                        P + ": removing empty segment file " + d + "3000.6\n" +
                                        P + ": adding final last packet to segment file " + d + "2000.3\n" +
                                        P + ": adding 14 extra bytes to segment file " + d + "2000.3\n");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0", "2000.3", "4000.9", "5000.12", "state"}));
    const std::string after[][2] = {
        {"5000.12", x_file + "#orb b LastSegmentPacket 0 2147482999.0009999\n"},
        {"4000.9", unfinished + "#orb b LastSegmentPacket 0 4999.0010000\n"},
        {"2000.3", short_body + "            \n\n#orb b LastSegmentPacket 0 2999.0010000\n"},
        {"1000.0", clean},
    };
    for (const auto &f : after) EXPECT_EQ(read_file(d + f[0]), f[1]) << f[0];

    // Every file now ends with a recognised marker.
    elog_reset_register();
    EXPECT_EQ(torvikcorrect(h.id()), 0);
    EXPECT_EQ(elog_register_text(), "");
    for (const auto &f : after) EXPECT_EQ(read_file(d + f[0]), f[1]) << f[0];
    EXPECT_EQ(torvikcorrect(h.id() + 1000), 0);
}

// ---- A writer that died at any byte ----

struct Cut {
    int pktid;
    std::string src;
    std::string body;
    std::size_t end;  // bytes of the file up to the end of its body
};

// The packets a reader delivers up to the end, in order; a packet whose
// body fails is passed over as the reader goes on.
std::vector<torvik_testing::Got> read_to_the_end(const std::string &dir) {
    torvik_testing::Reader r(dir);
    std::vector<torvik_testing::Got> got;
    for (int last = -2; got.size() < 100;) {
        torvik_testing::Got g = r.reap();
        if (g.result == 0) got.push_back(g);
        else if (g.pktid == last) break;
        last = g.pktid;
    }
    return got;
}

// The newest segment file of a directory is cut at every byte, as a
// writer that dies in the middle of a write leaves it (the first header
// and the first body included), and the directory is repaired. Readers
// then read every whole packet and reach the end without waiting; the
// packet cut short, when its header is whole, comes filled out with
// blanks; a second repair finds nothing to do; and a writer appends
// packets that readers read after the rest, numbered on.
TEST(SegmentRepair, AFileCutAtAnyByteIsReadToTheEndAndWrittenOn) {
    const std::string older = packet("OO_A_Z", 900.0, "o0") + packet("OO_A_Z", 901.0, "o1") + marker(901.0);
    for (const char *rep : {"b", "x"}) {
        // The newest file: ids 2 to 6.
        std::vector<Cut> cuts;
        std::string newest;
        {
            ScratchDir scratch;
            const std::string path = scratch.file("f");
            int orb = torvikopen(const_cast<char *>(path.c_str()), const_cast<char *>(rep));
            ASSERT_GT(orb, 0);
            const std::string bodies[] = {"first body\n#orb b NOT_A_HEADER 5 1.0\n", "", "x",
                                          std::string(40, 'L'), "last"};
            for (int i = 0; i < 5; i++) {
                std::string src = "NN_S" + std::to_string(i) + "_BHZ";
                ASSERT_EQ(torvikput(orb, src.data(), 2000.0 + i, const_cast<char *>(bodies[i].data()),
                                    static_cast<int>(bodies[i].size())),
                          0);
                std::size_t size = read_file(path).size();
                cuts.push_back({2 + i, src, bodies[i], size - 1});
            }
            torvikclose(orb);
            newest = read_file(path);
        }
        // Every byte of the first raw packets and every other byte of the
        // first hex dump packet, fewer after them: the repair writes
        // synchronously.
        const bool raw = *rep == 'b';
        const std::size_t dense = raw ? cuts[1].end + 2 : cuts[0].end + 2;
        for (std::size_t cut = 0; cut <= newest.size();
             cut = cut == newest.size() ? cut + 1 : std::min(newest.size(), cut + (cut < dense ? (raw ? 1 : 2) : 7))) {
            const std::string what = std::string(rep) + " cut at " + std::to_string(cut);
            ScratchDir dir;
            write_file(dir.file("900.0"), older);
            write_file(dir.file("2000.2"), newest.substr(0, cut));
            {
                Handle h(dir.path(), "r");
                elog_reset_register();
                EXPECT_GE(torvikcorrect(h.id()), cut < newest.size() ? 1 : 0) << what;
                EXPECT_EQ(elog_register_text().find("failed"), std::string::npos) << what;
            }
            const double start = std_now();
            std::vector<torvik_testing::Got> got = read_to_the_end(dir.path());
            EXPECT_LT(std_now() - start, 0.5) << what << ": a reader waited";
            ASSERT_GE(got.size(), 2U) << what;
            EXPECT_EQ(got[0].body, "o0") << what;
            EXPECT_EQ(got[1].body, "o1") << what;
            std::size_t whole = 0;
            while (whole < cuts.size() && cuts[whole].end <= cut) whole++;
            ASSERT_GE(got.size(), 2 + whole) << what;
            for (std::size_t i = 0; i < whole; i++) {
                EXPECT_EQ(got[2 + i].pktid, cuts[i].pktid) << what;
                EXPECT_EQ(got[2 + i].src, cuts[i].src) << what;
                EXPECT_EQ(got[2 + i].body, cuts[i].body) << what;
            }
            // At most the packet cut short after them, filled out.
            ASSERT_LE(got.size(), 3 + whole) << what;
            if (got.size() == 3 + whole) {
                const torvik_testing::Got &torn = got.back();
                EXPECT_EQ(torn.pktid, cuts[whole].pktid) << what;
                EXPECT_EQ(torn.src, cuts[whole].src) << what;
                EXPECT_EQ(torn.body.find_first_not_of(' ', cuts[whole].body.find_last_not_of(' ') + 1),
                          std::string::npos)
                    << what;
            }
            const int last = got.back().pktid;
            {
                Handle h(dir.path(), "r");
                elog_reset_register();
                EXPECT_EQ(torvikcorrect(h.id()), 0) << what;
                EXPECT_EQ(elog_register_text(), "") << what;
            }
            // A writer on the repaired directory (for some of the cuts:
            // its writes are synchronous).
            if (cut % 23 != 0 && cut != newest.size()) continue;
            {
                Handle w(dir.path(), "b");
                ASSERT_GT(w.id(), 0) << what;
                ASSERT_EQ(w.put("WW_N_Z", 3000.0, "new1"), 0) << what;
                ASSERT_EQ(w.put("WW_N_Z", 3001.0, "new2"), 0) << what;
            }
            std::vector<torvik_testing::Got> again = read_to_the_end(dir.path());
            ASSERT_EQ(again.size(), got.size() + 2) << what;
            EXPECT_EQ(again[got.size()].body, "new1") << what;
            EXPECT_EQ(again[got.size() + 1].body, "new2") << what;
            EXPECT_GT(again[got.size()].pktid, last) << what;
            EXPECT_EQ(again[got.size() + 1].pktid, again[got.size()].pktid + 1) << what;
        }
    }
}

TEST(SegmentStat, ListsFullPathsAndAddsTheirSizes) {
    ScratchDir dir;
    write_file(dir.file("1000.0"), std::string(10, 'a'));
    write_file(dir.file("2000.3"), std::string(25, 'b'));
    write_file(dir.file("state"), std::string(7, 'c'));
    ASSERT_EQ(mkdir(dir.file("3000.5").c_str(), 0775), 0);
    Handle ring(dir.path(), "r");
    Tbl *files = nullptr;
    double size = -1;
    ASSERT_EQ(torvikstat(ring.id(), &files, &size), 0);
    EXPECT_EQ(strings_of(files), std::vector<std::string>({dir.file("1000.0"), dir.file("2000.3")}));
    EXPECT_EQ(size, 35.0);

    Handle file(dir.file("1000.0"), "r");
    ASSERT_EQ(torvikstat(file.id(), &files, &size), 0);
    EXPECT_EQ(strings_of(files).size(), 0u);
    EXPECT_EQ(size, 0.0);

    EXPECT_EQ(torvikstat(file.id() + 1000, &files, &size), -1);
    EXPECT_EQ(strings_of(files).size(), 0u);
    EXPECT_EQ(size, 0.0);
}

TEST(SegmentWriterFailure, AFileThatCannotBeCreatedIsTriedAgainWithTheSameId) {
    ScratchDir dir;
    const std::string d = dir.path() + "/";
    Handle w(dir.path(), "b");
    torvikset(w.id(), TORVIK_MAXPKTS, 1, 0);
    ASSERT_EQ(w.put("XX_A_B", 1000.0, "p0"), 0);
    ASSERT_EQ(mkdir((d + "1001.1").c_str(), 0775), 0);
    elog_reset_register();
    EXPECT_EQ(w.put("XX_A_B", 1001.0, "p1"), -1);
    EXPECT_EQ(elog_register_text(), P + ": Can't open '" + d + "1001.1' to write\n\tIs a directory\n");
    ASSERT_EQ(rmdir((d + "1001.1").c_str()), 0);

    ASSERT_EQ(w.put("XX_A_B", 1001.0, "p1"), 0);
    EXPECT_EQ(torviktell(w.id()), 1);
    ASSERT_EQ(w.close(), 0);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0", "1001.1"}));
    EXPECT_EQ(read_file(d + "1000.0"), packet("XX_A_B", 1000.0, "p0") + marker(1000.0));
    EXPECT_EQ(read_file(d + "1001.1"), packet("XX_A_B", 1001.0, "p1") + marker(1001.0));
}

TEST(SegmentWriterFailure, APacketNotWrittenWholeIsTakenBackOut) {
    ScratchDir dir;
    const std::string file = dir.file("1000.0");
    ChildResult child = in_child([&] {
        Handle w(dir.path(), "b");
        if (w.put("XX_A_B", 1000.0, "p0") != 0) return out("first put failed\n");
        const std::string before = read_file(file);
        // Room for part of the next packet only.
        struct rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t saved = limit.rlim_cur;
        limit.rlim_cur = before.size() + 10;
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        elog_reset_register();
        out("put " + std::to_string(w.put("XX_A_B", 1500.0, std::string(40, 'l'))) + "\n");
        out("tell " + std::to_string(torviktell(w.id())) + "\n");
        out(read_file(file) == before ? "file as before\n" : "file changed\n");
        out(elog_register_text());
        limit.rlim_cur = saved;
        setrlimit(RLIMIT_FSIZE, &limit);
        out("put " + std::to_string(w.put("XX_A_B", 1002.0, "p1")) + "\n");
        out("tell " + std::to_string(torviktell(w.id())) + "\n");
        out("close " + std::to_string(w.close()) + "\n");
    });
    ASSERT_TRUE(child.exited) << child.err;
    EXPECT_EQ(child.out, "put -1\ntell 0\nfile as before\n" + P +
                             ": Failed to write out packet #1\n\tFile too large\n"
                             "put 0\ntell 1\nclose 0\n");
    // The marker takes the newest time of the packets that stayed.
    EXPECT_EQ(read_file(file), packet("XX_A_B", 1000.0, "p0") + packet("XX_A_B", 1002.0, "p1") + marker(1002.0));

    Handle r(dir.path(), "r");
    int pktid = 0;
    char srcname[64];
    double time = 0;
    char *buf = nullptr;
    int nbytes = 0, bufsize = 0;
    for (int id : {0, 1}) {
        ASSERT_EQ(torvikreap(r.id(), &pktid, srcname, &time, &buf, &nbytes, &bufsize), 0);
        EXPECT_EQ(pktid, id);
        EXPECT_EQ(std::string(buf, static_cast<std::size_t>(nbytes)), "p" + std::to_string(id));
    }
    EXPECT_EQ(torvikreap(r.id(), &pktid, srcname, &time, &buf, &nbytes, &bufsize), -1);
    std::free(buf);
}

TEST(SegmentWriterFailure, APacketWithoutAUsableTimeIsRefused) {
    ScratchDir dir;
    Handle w(dir.path(), "b");
    for (double time : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        elog_reset_register();
        EXPECT_EQ(w.put("XX_A_B", time, "p"), -1);
        EXPECT_EQ(elog_register_text(), P + ": packet from XX_A_B has no usable time; not written\n");
    }
    EXPECT_EQ(torviktell(w.id()), 0);
    ASSERT_EQ(w.put("XX_A_B", 1000.0, "p0"), 0);
    EXPECT_EQ(torviktell(w.id()), 0);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>({"1000.0"}));
}

}  // namespace
