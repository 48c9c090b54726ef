// The packet file format: header and body bytes of every representation,
// reading them back, header parsing, the line search, header re-reads,
// the newest-packet scan, the receive-time header form and orbpkt_string.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "_torvik.h"
#include "child.h"
#include "dumps.h"
#include "elog.h"
#include "elog_capture.h"
#include "fake.h"
#include "kitbag.h"
#include "scratch_dir.h"
#include "tbl.h"
#include "torvik_testing.h"

namespace {

using torvik_testing::cs;
using torvik_testing::exec_self;
using torvik_testing::take;

using testsupport::ChildResult;
using testsupport::elog_register_text;
using testsupport::elog_reset_register;
using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

constexpr double kTime = 1700000000.25;
constexpr double kEndTime = 1700000001.0;


std::string hexdump_text(const std::string &data) {
    return take(hexdump_string(0, data.data(), static_cast<int>(data.size())));
}

// The packet that follows every packet under test, so that a reader is
// seen to stay in step after the body.
const std::string kEndPacket = "#orb b ZZ_END 2 1700000001.0000000\nok\n";

struct Delivered {
    int result = 0;
    int pktid = -1;
    std::string srcname;
    double time = 0.0;
    std::string body;
};

// Reads the packets of a free-standing file with torvikreap until the
// reader reports the end (at most `limit` results, failures included).
std::vector<Delivered> reap_all(const std::string &path, int limit = 10) {
    std::vector<Delivered> packets;
    int orb = torvikopen(cs(path), cs("r"));
    EXPECT_GE(orb, 1) << path;
    if (orb < 1) return packets;
    char *packet = nullptr;
    int bufsize = 0;
    for (int i = 0; i < limit; i++) {
        Delivered d;
        char srcname[64] = "";
        int nbytes = 0;
        const int before = torviktell(orb);
        d.result = torvikreap(orb, &d.pktid, srcname, &d.time, &packet, &nbytes, &bufsize);
        // The end of the data leaves the packet id where it was; a packet
        // that failed has used up its id.
        if (d.result != 0 && torviktell(orb) == before) break;
        if (d.result == 0) {
            d.srcname = srcname;
            d.body.assign(packet, static_cast<std::size_t>(nbytes));
        }
        packets.push_back(d);
    }
    std::free(packet);
    EXPECT_EQ(torvikclose(orb), 0);
    return packets;
}

// ---- Writing every representation ----

struct WriteCase {
    const char *rep;
    std::string srcname;
    std::string body;  // the caller's bytes
    int nbytes;        // the caller's count
    std::string file;  // what the file holds before the end packet
    std::string back;  // the body a reader delivers
};

const std::string kHexBody("Hi there\tworld!\0~", 17);
const std::string kHexText =
    "\t00000000  4869 2074 6865 7265 0977 6f72 6c64 2100 Hi there_world!_\n"
    "\t00000010  7e" + std::string(37, ' ') + " ~\n";
const std::string kAsciiBody = "a\\b\nc\x01" + std::string(85, 'z') + "\x7f";
const std::string kAsciiText =
    "a\\\\b\nc\\0x01" + std::string(74, 'z') + "\n" + std::string(11, 'z') + "\\0x7f";
const std::string kRawBody("a\0\nb\xff", 5);

std::vector<WriteCase> write_cases() {
    const std::string h = " AK_ANM_BHZ ";
    return {
        {"b", "AK_ANM_BHZ", kRawBody, 5, "#orb b" + h + "5 1700000000.2500000\n" + kRawBody + "\n",
         kRawBody},
        {"b", "AK_ANM_BHZ", "", 0, "#orb b" + h + "0 1700000000.2500000\n\n", ""},
        {"b", "AK_ANM_BHZ", "", -3, "#orb b" + h + "-3 1700000000.2500000\n\n", ""},
        {"x", "AK_ANM_BHZ", kHexBody, 17,
         "#orb x" + h + "17 1700000000.2500000\n" + kHexText + "\n", kHexBody},
        {"x", "AK_ANM_BHZ", "", 0, "#orb x" + h + "0 1700000000.2500000\n\n", ""},
        {"a", "AK_ANM_BHZ", kAsciiBody, static_cast<int>(kAsciiBody.size()),
         "#orb a" + h + "92 1700000000.2500000\n" + kAsciiText + "\n", kAsciiBody},
        {"a", "AK_ANM_BHZ", "", 0, "#orb a" + h + "0 1700000000.2500000\n\n\n", ""},
        // The text up to its NUL; the reader's buffer holds the count, the
        // line is cut one short of it.
        {"m", "AK_ANM_LOG", std::string("hello\0", 6), 6,
         "#orb m AK_ANM_LOG 6 1700000000.2500000\nhello\n", "hello"},
        {"m", "AK_ANM_LOG", "hello", 3, "#orb m AK_ANM_LOG 3 1700000000.2500000\nhel\n", "he"},
        {"f", "DQ_FAK_BHZ", "", 200, "#orb f DQ_FAK_BHZ 200 1700000000.2500000\n", ""},
        {"s", "DQ_FAK_BHZ/saw", "", 100, "#orb s DQ_FAK_BHZ/saw 100 1700000000.2500000\n\n", ""},
    };
}

// Writes the case's packet and the end packet through torvikput on a
// free-standing file opened with the case's representation as its mode
// (the message representation is set by key: "m" is not a mode letter).
void write_case(const std::string &path, const WriteCase &c) {
    const bool by_key = c.rep[0] == 'm';
    int orb = torvikopen(cs(path), cs(by_key ? "w" : c.rep));
    ASSERT_GE(orb, 1);
    if (by_key) {
        ASSERT_EQ(torvikset(orb, TORVIK_REPRESENTATION, c.rep, 0), 0);
    }
    std::string body = c.body;
    ASSERT_EQ(torvikput(orb, cs(c.srcname), kTime, body.data(), c.nbytes), 0);
    ASSERT_EQ(torvikset(orb, TORVIK_REPRESENTATION, "b", 0), 0);
    ASSERT_EQ(torvikput(orb, cs("ZZ_END"), kEndTime, cs("ok"), 2), 0);
    ASSERT_EQ(torvikclose(orb), 0);
}

TEST(TorvikFormat, EveryRepresentationIsWrittenByteForByte) {
    ScratchDir dir;
    int n = 0;
    for (const WriteCase &c : write_cases()) {
        SCOPED_TRACE(std::string(c.rep) + " " + std::to_string(c.nbytes));
        std::string path = dir.file("case" + std::to_string(n++));
        write_case(path, c);
        EXPECT_EQ(read_file(path), c.file + kEndPacket);
    }
}

TEST(TorvikFormat, EveryRepresentationReadsBack) {
    ScratchDir dir;
    int n = 0;
    for (const WriteCase &c : write_cases()) {
        if (c.rep[0] == 's') continue;  // needs a signal generator: below
        SCOPED_TRACE(std::string(c.rep) + " " + std::to_string(c.nbytes));
        std::string path = dir.file("case" + std::to_string(n++));
        write_file(path, c.file + kEndPacket);
        elog_reset_register();
        std::vector<Delivered> got = reap_all(path);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].result, 0);
        EXPECT_EQ(got[0].pktid, 0);
        EXPECT_EQ(got[0].srcname, c.srcname);
        EXPECT_EQ(got[0].time, kTime);
        if (c.rep[0] == 'f') {
            ASSERT_EQ(got[0].body.size(), 200u);
            EXPECT_EQ(fakecheck(cs(c.srcname), kTime, got[0].body.data(), 200), 0);
        } else {
            EXPECT_EQ(got[0].body, c.back);
        }
        EXPECT_EQ(got[1].result, 0);
        EXPECT_EQ(got[1].pktid, 1);
        EXPECT_EQ(got[1].srcname, "ZZ_END");
        EXPECT_EQ(got[1].time, kEndTime);
        EXPECT_EQ(got[1].body, "ok");
        EXPECT_EQ(elog_register_text(), "");
    }
}

TEST(TorvikFormat, SyntheticPacketWithoutAGeneratorFailsCleanly) {
    ScratchDir dir;
    std::string path = dir.file("s");
    write_file(path, "#orb s DQ_FAK_BHZ/saw 100 1700000000.2500000\n\n" + kEndPacket);
    ChildResult r = in_child([&] {
        std::vector<Delivered> got = reap_all(path);
        for (const Delivered &d : got)
            out(std::to_string(d.result) + " " + std::to_string(d.pktid) + " " + d.srcname + " " +
                d.body + "|");
    });
    EXPECT_TRUE(r.exited);
    // The failed packet uses up its id; the reader goes on with the next.
    EXPECT_EQ(r.out, "-1 0  |0 1 ZZ_END ok|");
    EXPECT_EQ(r.err, P() + ": fakesignal: no synthetic-signal generator (imksignal) is loaded in "
                           "this process\n");
}

// A corrupt count larger than the file fails the packet without a buffer
// of its size, and the reader goes on.
TEST(TorvikFormat, CorruptHugeCountFailsThePacketOnly) {
    ScratchDir dir;
    std::string path = dir.file("huge");
    write_file(path, "#orb b AK_ANM_BHZ 60000000 1700000000.2500000\nabc\n" + kEndPacket);
    int orb = torvikopen(cs(path), cs("r"));
    ASSERT_GE(orb, 1);
    elog_reset_register();
    int pktid = -1, nbytes = -1, bufsize = 0;
    char srcname[64];
    double time = 0;
    char *packet = nullptr;
    EXPECT_EQ(torvikreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize), -1);
    EXPECT_EQ(pktid, 0);
    EXPECT_EQ(elog_register_text(), P() + ": packet #0 of " + path +
                                        " declares 60000000 bytes, more than the file holds\n");
    EXPECT_LT(fd2torvik(orb, nullptr)->bufsize, 60000000);
    ASSERT_EQ(torvikreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize), 0);
    EXPECT_EQ(pktid, 1);
    EXPECT_STREQ(srcname, "ZZ_END");
    EXPECT_EQ(std::string(packet, static_cast<std::size_t>(nbytes)), "ok");
    std::free(packet);
    torvikclose(orb);
    elog_reset_register();
}

// ---- Writing headers ----

// Every header counts a packet id, refused or not; only a time within the
// allowed gap past the newest time advances it.
TEST(TorvikFormat, WriteHeaderCountsAndTracksTheNewestTime) {
    ScratchDir dir;
    std::string path = dir.file("headers");
    int orb = torvikopen(cs(path), cs("b"));
    ASSERT_GE(orb, 1);
    Torvikfile *t = fd2torvik(orb, nullptr);
    const int first = t->pktid;
    struct Step {
        std::string srcname;
        double time;
        int nbytes;
        int result;
        double maxtime;
    };
    const double gap = 31536000;
    const Step steps[] = {
        {"A_B", 1000.0, 3, 0, 1000.0},
        {"A_B", 900.0, 4, 0, 1000.0},
        {"A_B", 1000.0 + gap, 5, 0, 1000.0},
        {"A_B", 999.0 + gap, 6, 0, 999.0 + gap},
        {std::string(500, 'N'), kTime, 7, -1, 999.0 + gap},
    };
    elog_reset_register();
    int n = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE(n);
        errno = 0;
        EXPECT_EQ(torvik_write_hdr(t, cs(s.srcname), s.time, s.nbytes), s.result);
        EXPECT_EQ(t->pktid, first + ++n);
        EXPECT_EQ(t->maxtime, s.maxtime);
        EXPECT_EQ(t->time, s.time);
        EXPECT_EQ(t->nbytes, s.nbytes);
    }
    EXPECT_EQ(elog_register_text(), P() + ": failed writing header " + std::string(500, 'N') +
                                        " 7 11/14/2023  22:13:20.250\n");
    elog_reset_register();
    ASSERT_EQ(torvikclose(orb), 0);
    EXPECT_EQ(read_file(path),
              "#orb b A_B 3 1000.0000000\n#orb b A_B 4 900.0000000\n"
              "#orb b A_B 5 31537000.0000000\n#orb b A_B 6 31536999.0000000\n");
}

// ---- Parsing header lines ----

struct Parsed {
    int result;
    std::string rep, srcname;
    double time;
    int nbytes;
};

Parsed parse(const std::string &line) {
    std::string copy = line;
    char rep[16] = "-", srcname[64] = "-";
    Parsed p{0, "", "", -1.0, -99};
    p.result = torvik_parse_line(copy.data(), rep, srcname, &p.time, &p.nbytes);
    p.rep = rep;
    p.srcname = srcname;
    return p;
}

TEST(TorvikFormat, ParseLineTable) {
    const std::string long_rep(20, 'b');
    const std::string long_name(70, 'N');
    const Parsed untouched{1, "-", "-", -1.0, -99};
    struct Case {
        std::string line;
        Parsed want;
    };
    const Case cases[] = {
        {"#orb b AK_ANM_BHZ 5 1.5", {0, "b", "AK_ANM_BHZ", 1.5, 5}},
        {"#orbb A_B 5 1.5", {0, "b", "A_B", 1.5, 5}},
        {"#orb\tx\tA_B\t12\t1700000000.2500000", {0, "x", "A_B", kTime, 12}},
        {"#orb b A_B -3 1.5", {0, "b", "A_B", 1.5, -3}},
        {"#orb b A_B 5 1700000000.2500000 # 1700000099.123456", {0, "b", "A_B", kTime, 5}},
        {"#orb b A_B 5 2004-01-05 12:30:45.250", {0, "b", "A_B", 1073305845.25, 5}},
        {"#orb sawtooth3 A_B/saw 100 2004-01-05 12:30:45.250 # 1.0", {0, "sawtooth3", "A_B/saw", 1073305845.25, 100}},
        {"#orb " + long_rep + " " + long_name + " 5 1.5",
         {0, long_rep.substr(0, 15), long_name.substr(0, 63), 1.5, 5}},
        {"#orb b A_B 67108864 1.5", {0, "b", "A_B", 1.5, 67108864}},
        // Fields missing: what was read stays filled.
        {"#orb", untouched},
        {"#orb ", untouched},
        {"#orb b", {1, "b", "-", -1.0, -99}},
        {"#orb b A_B", {1, "b", "A_B", -1.0, -99}},
        {"#orb b A_B 5", {1, "b", "A_B", -1.0, 5}},
        {"#orb b A_B 5   ", {1, "b", "A_B", -1.0, 5}},
        {"#orb b A_B 5 # 1.5", {1, "b", "A_B", -1.0, 5}},
        // Counts beyond 64 MiB are corrupt headers.
        {"#orb b A_B 67108865 1.5", {1, "b", "A_B", -1.0, -99}},
        {"#orb b A_B 99999999999999999999 1.5", {1, "b", "A_B", -1.0, -99}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        elog_reset_register();
        Parsed got = parse(c.line);
        EXPECT_EQ(got.result, c.want.result);
        EXPECT_EQ(got.rep, c.want.rep);
        EXPECT_EQ(got.srcname, c.want.srcname);
        EXPECT_EQ(got.time, c.want.time);
        EXPECT_EQ(got.nbytes, c.want.nbytes);
        EXPECT_EQ(elog_register_text(), "");
    }
}

// ---- The line search ----

struct Found {
    int result;
    long fpos;
    std::string line;
};

// The results of torvik_read_line on a file until the end of the data.
std::vector<Found> search(const std::string &path, int verbose) {
    std::vector<Found> found;
    int orb = torvikopen(cs(path), cs("r"));
    EXPECT_GE(orb, 1);
    torvikset(orb, TORVIK_VERBOSE, verbose, 0);
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    for (;;) {
        char line[1024];
        long fpos = -1;
        int result = torvik_read_line(atorvik, line, sizeof line, &fpos);
        found.push_back({result, fpos, result == 0 ? line : ""});
        if (result != 0) break;
    }
    torvikclose(orb);
    return found;
}

TEST(TorvikFormat, LineSearchClassesAndSkipMessages) {
    ScratchDir dir;
    std::string path = dir.file("lines");
    write_file(path,
               "junk1\n"               // 0: reported at 0
               "# comment\n"           // 6: silent
               "\n"                    // 16: silent
               "#orb\n"                // 17: silent, not a header
               "junk two\n"            // 22: reported at 6
               "#orbb A_B 5 1.5\n"     // 31: a header
               "x\n"                   // 47: reported at 47
               "#orb b C_D 0 2.0\n");  // 49: a header
    const std::vector<Found> want = {
        {0, 31, "#orbb A_B 5 1.5"}, {0, 49, "#orb b C_D 0 2.0"}, {-2, -1, ""}};
    for (int verbose : {0, 1}) {
        SCOPED_TRACE(verbose);
        ChildResult r = in_child([&] {
            for (const Found &f : search(path, verbose))
                out(std::to_string(f.result) + " " + std::to_string(f.fpos) + " " + f.line + "|");
            out(elog_register_text());
        });
        std::string listed;
        for (const Found &f : want)
            listed += std::to_string(f.result) + " " + std::to_string(f.fpos) + " " + f.line + "|";
        if (verbose == 0) {
            EXPECT_EQ(r.out, listed);
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.out, listed + P() + ": skipping 5 bytes line at offset 0 in " + path + "\n" +
                                 P() + ": skipping 8 bytes line at offset 6 in " + path + "\n" +
                                 P() + ": skipping 1 bytes line at offset 47 in " + path + "\n");
            EXPECT_EQ(r.err, hexdump_text("junk1") + hexdump_text("junk two") + hexdump_text("x"));
        }
    }
}

TEST(TorvikFormat, SkipMessageDumpsAtMost64Bytes) {
    ScratchDir dir;
    std::string path = dir.file("long");
    const std::string line(100, 'q');
    write_file(path, line + "\n");
    ChildResult r = in_child([&] {
        std::vector<Found> found = search(path, 3);
        out(std::to_string(found.size()) + " " + std::to_string(found[0].result) + "|" +
            elog_register_text());
    });
    EXPECT_EQ(r.out, "1 -2|" + P() + ": skipping 100 bytes line at offset 0 in " + path + "\n");
    EXPECT_EQ(r.err, hexdump_text(line.substr(0, 64)));
}

// ---- Header re-reads ----

// A header that does not parse yet is read again a second later: a writer
// completing it in the meantime gets its packet delivered.
TEST(TorvikFormat, HeaderCompletedInPlaceIsDelivered) {
    ScratchDir dir;
    std::string path = dir.file("growing");
    const std::string incomplete = "#orb b A_B 3" + std::string(19, ' ') + "\nabc\n";
    write_file(path, incomplete);
    int orb = torvikopen(cs(path), cs("r"));
    ASSERT_GE(orb, 1);
    std::thread writer([&] {
        usleep(300000);
        int fd = open(path.c_str(), O_WRONLY);
        const char time[] = "1700000000.2500000";
        EXPECT_EQ(pwrite(fd, time, 18, 13), 18);
        close(fd);
    });
    elog_reset_register();
    int pktid = -1, nbytes = -1, bufsize = 0;
    char srcname[64];
    double time = 0;
    char *packet = nullptr;
    int result = torvikreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize);
    writer.join();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(pktid, 0);
    EXPECT_STREQ(srcname, "A_B");
    EXPECT_EQ(time, kTime);
    EXPECT_EQ(std::string(packet, static_cast<std::size_t>(nbytes)), "abc");
    EXPECT_EQ(elog_register_text(), "");
    std::free(packet);
    torvikclose(orb);
}

// One that stays bad is given up with -1 and a message; the next read
// goes on after it.
TEST(TorvikFormat, HeaderThatStaysBadIsPassedOver) {
    ScratchDir dir;
    std::string path = dir.file("bad");
    const std::string first = "#orb b G_H 1 1700000000.0000000\nQ\n";
    write_file(path, first + "#orb b A_B 3\nabc\n" + kEndPacket);
    int orb = torvikopen(cs(path), cs("r"));
    ASSERT_GE(orb, 1);
    elog_reset_register();
    int pktid = -1, nbytes = -1, bufsize = 0;
    char srcname[64];
    double time = 0;
    char *packet = nullptr;
    ASSERT_EQ(torvikreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize), 0);
    EXPECT_EQ(pktid, 0);
    EXPECT_EQ(torvikreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize), -1);
    EXPECT_EQ(pktid, 0);
    EXPECT_EQ(elog_register_text(), P() + ": bad packet header at offset " +
                                        std::to_string(first.size()) + " in " + path +
                                        ": '#orb b A_B 3'\n");
    ASSERT_EQ(torvikreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize), 0);
    EXPECT_EQ(pktid, 1);
    EXPECT_STREQ(srcname, "ZZ_END");
    EXPECT_EQ(std::string(packet, static_cast<std::size_t>(nbytes)), "ok");
    std::free(packet);
    torvikclose(orb);
    elog_reset_register();
}

// ---- The newest-packet scan ----

struct Scan {
    int result;
    int pktid;
    std::vector<std::string> index;  // "pktid fpos srcname" per slot
};

Scan scan(const std::string &path, int verbose = 0) {
    Scan s{-99, -99, {}};
    int orb = torvikopen(cs(path), cs("r"));
    EXPECT_GE(orb, 1);
    if (orb < 1) return s;
    torvikset(orb, TORVIK_VERBOSE, verbose, 0);
    Torvikfile *atorvik = fd2torvik(orb, nullptr);
    s.result = torvik_newest(atorvik);
    s.pktid = atorvik->pktid;
    for (int i = 0; i < maxtbl(atorvik->index); i++) {
        auto *e = static_cast<TorvikPkt *>(gettbl(atorvik->index, i));
        s.index.push_back(std::to_string(e->pktid) + " " + std::to_string(e->fpos) + " " +
                          e->srcname);
    }
    torvikclose(orb);
    return s;
}

std::string raw(const std::string &name, const std::string &body, double time = kTime) {
    char header[128];
    std::snprintf(header, sizeof header, "#orb b %s %d %.7f\n", name.c_str(),
                  static_cast<int>(body.size()), time);
    return header + body + "\n";
}

TEST(TorvikNewest, MarkerLeavesPktidOnItsIdAndCountsOneLess) {
    ScratchDir dir;
    // The first packet of a file named like a segment takes the id after
    // its last ".".
    std::string path = dir.file("1700000000.100");
    const std::string a = raw("A_B", "12345"), b = raw("C_D", "xyz");
    write_file(path, a + b + "#orb b LastSegmentPacket 0 1700000001.0000000\n");
    Scan s = scan(path);
    EXPECT_EQ(s.result, 101);
    EXPECT_EQ(s.pktid, 102);
    const std::vector<std::string> index = {
        "100 0 A_B", "101 " + std::to_string(a.size()) + " C_D",
        "102 " + std::to_string(a.size() + b.size()) + " LastSegmentPacket"};
    EXPECT_EQ(s.index, index);
}

TEST(TorvikNewest, ShortPacketsAtTheEndAreNotMissed) {
    ScratchDir dir;
    std::string path = dir.file("short");
    std::string contents = raw("BIG", std::string(300, '#'));
    for (const char *name : {"S1", "S2", "S3", "S4"}) contents += raw(name, "x");
    contents += raw("S5", "");
    write_file(path, contents);
    Scan s = scan(path);
    EXPECT_EQ(s.result, 5);
    EXPECT_EQ(s.pktid, 5);
    ASSERT_EQ(s.index.size(), 6u);
    EXPECT_EQ(s.index[5], "5 " + std::to_string(contents.size() - raw("S5", "").size()) + " S5");
}

TEST(TorvikNewest, HexDumpLinesArePassedByTheLineSearch) {
    ScratchDir dir;
    std::string path = dir.file("hex");
    const std::string body(20, '#');
    int orb = torvikopen(cs(path), cs("x"));
    ASSERT_GE(orb, 1);
    std::string copy = body;
    ASSERT_EQ(torvikput(orb, cs("A_B"), kTime, copy.data(), 20), 0);
    ASSERT_EQ(torvikput(orb, cs("C_D"), kEndTime, copy.data(), 20), 0);
    torvikclose(orb);
    const std::string contents = read_file(path);
    const std::string header1 = "#orb x A_B 20 1700000000.2500000\n";
    const std::string line1 = "\t00000000  2323 2323 2323 2323 2323 2323 2323 2323 ################";
    const std::string line2 =
        "\t00000010  2323 2323" + std::string(30, ' ') + " ####";
    const std::string packet1 = header1 + line1 + "\n" + line2 + "\n\n";
    ASSERT_EQ(contents.substr(0, packet1.size()), packet1);
    const std::size_t second = packet1.size();
    const std::size_t header2 = std::string("#orb x C_D 20 1700000001.0000000\n").size();

    ChildResult quiet = in_child([&] {
        Scan s = scan(path, 0);
        out(std::to_string(s.result) + " " + s.index.back() + "|" + elog_register_text());
    });
    EXPECT_EQ(quiet.out, "1 1 " + std::to_string(second) + " C_D|");
    EXPECT_EQ(quiet.err, "");

    ChildResult verbose = in_child([&] {
        Scan s = scan(path, 1);
        out(std::to_string(s.result) + " " + s.index.back() + "|" + elog_register_text());
    });
    auto skipped = [&](const std::string &line, std::size_t at) {
        return P() + ": skipping " + std::to_string(line.size()) + " bytes line at offset " +
               std::to_string(at) + " in " + path + "\n";
    };
    EXPECT_EQ(verbose.out, "1 1 " + std::to_string(second) + " C_D|" +
                               skipped(line1, header1.size()) +
                               skipped(line2, header1.size() + line1.size() + 1) +
                               skipped(line1, second + header2) +
                               skipped(line2, second + header2 + line1.size() + 1));
    // The first 64 bytes of each line skipped.
    const std::string dumps = hexdump_text(line1.substr(0, 64)) + hexdump_text(line2);
    EXPECT_EQ(verbose.err, dumps + dumps);
}

// Bodies that hold header-like text are passed whole: a raw body by its
// count, an ascii body decoded, a message body as its one line; fake and
// synthetic packets have none.
TEST(TorvikNewest, BodiesOfEveryRepresentationArePassed) {
    ScratchDir dir;
    std::string path = dir.file("mixed");
    int orb = torvikopen(cs(path), cs("w"));
    ASSERT_GE(orb, 1);
    struct Put {
        const char *rep;
        const char *name;
        std::string body;
        int nbytes;
    };
    const std::string fake_header = "\n#orb b FAKE 1 1.0\nQ\n";
    const std::vector<Put> puts = {
        {"a", "ASC", "x" + fake_header, static_cast<int>(fake_header.size() + 1)},
        {"m", "MSG", fake_header.substr(1, 17), 17},
        {"f", "FAK", "", 200},
        {"s", "SIG", "", 100},
        {"b", "RAW", fake_header, static_cast<int>(fake_header.size())},
        {"x", "HEX", fake_header, static_cast<int>(fake_header.size())},
        {"m", "MSG2", "#orb", 4},
    };
    for (const Put &p : puts) {
        ASSERT_EQ(torvikset(orb, TORVIK_REPRESENTATION, p.rep, 0), 0);
        std::string body = p.body;
        ASSERT_EQ(torvikput(orb, cs(p.name), kTime, body.data(), p.nbytes), 0) << p.rep;
    }
    torvikclose(orb);
    elog_reset_register();
    Scan s = scan(path);
    EXPECT_EQ(s.result, 6);
    std::vector<std::string> names;
    for (const std::string &entry : s.index) names.push_back(entry.substr(entry.rfind(' ') + 1));
    EXPECT_EQ(names, (std::vector<std::string>{"ASC", "MSG", "FAK", "SIG", "RAW", "HEX", "MSG2"}));
    EXPECT_EQ(elog_register_text(), "");
}

TEST(TorvikNewest, FileWithoutHeadersGivesMinusOne) {
    ScratchDir dir;
    for (const std::string &contents : {std::string(), std::string("junk\n#orb\n\n"),
                                        std::string("#orb b A_B 3\nabc\n")}) {
        std::string path = dir.file("none");
        write_file(path, contents);
        Scan s = scan(path);
        EXPECT_EQ(s.result, -1) << contents;
        EXPECT_EQ(s.pktid, -1) << contents;
    }
}

// ---- The receive-time header form ----

// Run in a fresh process (this binary, exec'd with the variable set) so
// that no earlier header has fixed the form.
void receive_time_probe(const char *path) {
    char *packet = nullptr;
    int bufsize = 0;
    double before = std_now();
    int orb = torvikopen(const_cast<char *>(path), const_cast<char *>("b"));
    torvikput(orb, const_cast<char *>("AK_ANM_BHZ"), kTime, const_cast<char *>("abc"), 3);
    // Looked up once: unsetting it now changes nothing.
    unsetenv("TORVIKRECVTIME");
    torvikput(orb, const_cast<char *>("AK_ANM_BHN"), kEndTime, const_cast<char *>("de"), 2);
    double after = std_now();
    torvikclose(orb);
    std::printf("PROBE:%.6f %.6f\n", before, after);
    orb = torvikopen(const_cast<char *>(path), const_cast<char *>("r"));
    for (;;) {
        int pktid, nbytes;
        char srcname[64];
        double time;
        if (torvikreap(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize) != 0) break;
        std::printf("%d %s %.7f %.*s\n", pktid, srcname, time, nbytes, packet);
    }
    torvikclose(orb);
    std::free(packet);
    std::fflush(stdout);
    std::exit(0);
}

class ProbeEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (const char *path = std::getenv("TORVIK_FORMAT_PROBE")) receive_time_probe(path);
    }
};
::testing::Environment *const probe_env =
    ::testing::AddGlobalTestEnvironment(new ProbeEnvironment);

TEST(TorvikFormat, ReceiveTimeEndsTheHeaderAndIsIgnoredOnReading) {
    ScratchDir dir;
    std::string path = dir.file("recv");
    ChildResult r = in_child([&] {
        setenv("TORVIK_FORMAT_PROBE", path.c_str(), 1);
        setenv("TORVIKRECVTIME", "", 1);
        exec_self("TorvikFormat.ParseLineTable");
    });
    ASSERT_TRUE(r.exited);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::size_t at = r.out.find("PROBE:");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string probe = r.out.substr(at + 6);
    double before = 0, after = 0;
    ASSERT_EQ(std::sscanf(probe.c_str(), "%lf %lf", &before, &after), 2) << probe;
    EXPECT_EQ(probe.substr(probe.find('\n') + 1),
              "0 AK_ANM_BHZ 1700000000.2500000 abc\n1 AK_ANM_BHN 1700000001.0000000 de\n");

    const std::regex form(
        "#orb b AK_ANM_BHZ 3 1700000000\\.2500000 # ([0-9]+\\.[0-9]{6})\nabc\n"
        "#orb b AK_ANM_BHN 2 1700000001\\.0000000 # ([0-9]+\\.[0-9]{6})\nde\n");
    std::smatch m;
    std::string contents = read_file(path);
    ASSERT_TRUE(std::regex_match(contents, m, form)) << contents;
    for (int i : {1, 2}) {
        double received = std::stod(m[i].str());
        EXPECT_GE(received, before - 1e-6);
        EXPECT_LE(received, after + 1e-6);
    }
}

// ---- orbpkt_string ----

TEST(TorvikFormat, OrbpktStringIsTheHexHeaderAndDump) {
    std::string body = kHexBody;
    struct Case {
        int nbytes;
        std::string want;
    };
    const Case cases[] = {
        {17, "#orb x AK_ANM_BHZ 17 1700000000.2500000\n" + kHexText},
        {0, "#orb x AK_ANM_BHZ 0 1700000000.2500000\n"},
        {-1, "#orb x AK_ANM_BHZ -1 1700000000.2500000\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(take(orbpkt_string(cs("AK_ANM_BHZ"), kTime, body.data(), c.nbytes)), c.want)
            << c.nbytes;
    EXPECT_EQ(take(orbpkt_string(cs("A"), -1.5, body.data(), 1)),
              "#orb x A 1 -1.5000000\n\t00000000  48" + std::string(37, ' ') + " H\n");
}

}  // namespace
