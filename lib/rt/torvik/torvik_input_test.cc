// A handle's input: packets read back whole across read-ahead blocks and
// bodies larger than a block, every representation mixed in one file and
// read again after seeks, header lines and times read exactly as the
// header parser and the time parser read them, and a header line longer
// than the line buffer.
#include "torvik.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "elog_capture.h"
#include "scratch_dir.h"
#include "timeparse.h"
#include "torvik_testing.h"

namespace {

using testsupport::elog_register_text;
using testsupport::elog_reset_register;
using testsupport::ScratchDir;
using testsupport::write_file;
using torvik_testing::cs;
using torvik_testing::fixed7;
using torvik_testing::Got;
using torvik_testing::raw_packet;
using torvik_testing::Reader;

[[maybe_unused]] const bool kPlainHeaders = (unsetenv("TORVIKRECVTIME"), true);

struct Pkt {
    int pktid;
    std::string src;
    double time;
    std::string body;
};

void expect_packet(const Got &g, const Pkt &p) {
    EXPECT_EQ(g.result, 0) << p.pktid;
    EXPECT_EQ(g.pktid, p.pktid);
    EXPECT_EQ(g.src, p.src) << p.pktid;
    EXPECT_EQ(g.time, p.time) << p.pktid;
    EXPECT_TRUE(g.body == p.body) << "body of packet " << p.pktid << ": " << g.body.size()
                                  << " bytes, wanted " << p.body.size();
}

std::string bytes(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
    return s;
}

// Raw packets of many sizes, some larger than any read-ahead block and
// some with newlines and header-like text in their bodies.
std::vector<Pkt> raw_packets() {
    std::vector<Pkt> pkts;
    const std::size_t sizes[] = {0, 1, 511, 512, 4095, 4096, 70000, 131072, 131073, 300000, 3, 65536};
    double t = 1700000000.0;
    for (int round = 0; round < 3; round++)
        for (std::size_t size : sizes) {
            int id = static_cast<int>(pkts.size());
            std::string body = bytes(size, static_cast<unsigned>(id));
            if (size > 40) body.replace(7, 31, "\n#orb b FAKE_X_Y 10 1.0\nabc\n\n");
            pkts.push_back({id, "NN_S" + std::to_string(id) + "_BHZ", t, body});
            t += 0.0123457;
        }
    return pkts;
}

TEST(TorvikInput, PacketsOfEverySizeReadBackWholeForwardAndBack) {
    ScratchDir dir;
    const std::vector<Pkt> pkts = raw_packets();
    std::string file;
    for (const Pkt &p : pkts) file += raw_packet(p.src, p.time, p.body);
    write_file(dir.file("1700000000.0"), file);
    for (const std::string &path : {dir.file("1700000000.0"), dir.path()}) {
        Reader r(path);
        ASSERT_GT(r.id(), 0);
        for (const Pkt &p : pkts) expect_packet(r.reap(), p);
        EXPECT_EQ(r.reap().result, -1);
        // Back through the index, over bodies larger than a block.
        for (auto it = pkts.rbegin() + 1; it != pkts.rend(); ++it) expect_packet(r.get(ORBPREV), *it);
        for (int id : {20, 3, 35, 0, 8}) expect_packet(r.get(id), pkts[static_cast<std::size_t>(id)]);
        expect_packet(r.get(ORBNEXT), pkts[9]);
    }
}

// Every representation in one file, read forward and then again by id in
// a jumping order: dump bodies are read through the descriptor layer and
// the others through the handle's own buffer, and the two take turns.
TEST(TorvikInput, MixedRepresentationsReadForwardAndByIdInAnyOrder) {
    ScratchDir dir;
    const std::string path = dir.file("mixed");
    const char *reps[] = {"b", "x", "a", "m", "f", "x", "b", "b", "a", "m", "x", "x", "b"};
    std::vector<Pkt> pkts;
    {
        int orb = torvikopen(cs(path), cs("w"));
        ASSERT_GT(orb, 0);
        double t = 1700000000.5;
        for (const char *rep : reps) {
            int id = static_cast<int>(pkts.size());
            std::string body = *rep == 'm' ? "a message line " + std::to_string(id)
                                           : bytes(static_cast<std::size_t>(100 + 37 * id), static_cast<unsigned>(id));
            torvikset(orb, TORVIK_REPRESENTATION, rep, 0);
            std::string src = "NN_R" + std::to_string(id) + "_BHZ";
            ASSERT_EQ(torvikput(orb, cs(src), t, body.data(), static_cast<int>(body.size())), 0);
            pkts.push_back({id, src, t, body});
            t += 0.25;
        }
        torvikclose(orb);
    }
    Reader r(path);
    ASSERT_GT(r.id(), 0);
    std::vector<Got> forward;
    for (std::size_t i = 0; i < pkts.size(); i++) forward.push_back(r.reap());
    for (std::size_t i = 0; i < pkts.size(); i++) {
        if (*reps[i] == 'f') {
            // A fake body is made when read: its size and name are kept.
            EXPECT_EQ(forward[i].result, 0);
            EXPECT_EQ(forward[i].body.size(), pkts[i].body.size());
            continue;
        }
        expect_packet(forward[i], pkts[i]);
    }
    EXPECT_EQ(r.reap().result, -1);
    for (int id : {3, 0, 12, 1, 5, 2, 8, 10, 6, 11, 7, 9}) expect_packet(r.get(id), pkts[static_cast<std::size_t>(id)]);
    for (int id = 10; id < 13; id++) expect_packet(r.get(ORBNEXT), pkts[static_cast<std::size_t>(id)]);
}

// A header is delivered from a file exactly as the header parser reads the
// line: the writer's own form and every other form take the same road to
// the same fields.
TEST(TorvikInput, HeaderLinesAreReadAsTheParserReadsThem) {
    const std::string name63(63, 'N'), name70(70, 'L');
    const std::string lines[] = {
        "#orb b AK_BRW_BHZ 3 1700000000.0250001",
        "#orb b\tAK_BRW_BHZ\t3\t1700000000.0250001",
        "#orb b  AK_BRW_BHZ 3  1700000000.0250001 ",
        "#orb b AK_BRW_BHZ 3 1700000000.0250001\r",
        "#orb b AK_BRW_BHZ 3 1700000000.0250001 # 1700000005.123456",
        "#orb b AK_BRW_BHZ 3 1700000000.0250001#x",
        "#orb b AK_BRW_BHZ 3 0001700000000.5000000",
        "#orb b AK_BRW_BHZ 3 -1700000000.2500000",
        "#orb b AK_BRW_BHZ 3 1700000000",
        "#orb b AK_BRW_BHZ 3 1700000000.",
        "#orb b AK_BRW_BHZ 3 1.7e9",
        "#orb b AK_BRW_BHZ 3 0.5000000",
        "#orb b AK_BRW_BHZ 3 1700000000.0000000000000001",
        "#orb b AK_BRW_BHZ 3 12345678901234567890.5",
        "#orb b AK_BRW_BHZ 3 16777216.0000001",
        "#orb b AK_BRW_BHZ 3 35184372088831.9999999",
        "#orb b AK_BRW_BHZ 3 35184372088832.5",
        "#orb b AK_BRW_BHZ 3 2023-11-14 22:13:20.25",
        "#orb b AK_BRW_BHZ +3 1700000000.5",
        "#orb b AK_BRW_BHZ 0003 1700000000.5",
        "#orb b AK_BRW_BHZ 3abc 1700000000.5",
        "#orb b " + name63 + " 3 1700000000.5",
        "#orb b " + name70 + " 3 1700000000.5",
        "#orb bxyzbxyzbxyzbxy AK_BRW_BHZ 3 1700000000.5",
        "#orb bxyzbxyzbxyzbxyzbxyz AK_BRW_BHZ 3 1700000000.5",
        "#orbb AK_BRW_BHZ 3 1700000000.5",
        std::string("#orb b AK_BRW_BHZ 3 1700000000.5\0 junk", 39),
        std::string("#orb b AK_B\0RW_BHZ 3 1700000000.5", 33),
        "#orb b AK_\x01RW_BHZ 3 1700000000.0250001",
        "#orb b AK_\xc3\xa9W_BHZ 3 1700000000.0250001",
        "#orb b AK_BRW_BHZ 00000003 1700000000.0250001",
        "#orb b AK_BRW_BHZ 03 1700000000.5",
        // The newline as the 64th byte of the line, and as the 65th.
        "#orb b " + std::string(35, 'M') + " 3 1700000000.0250001",
        "#orb b " + std::string(36, 'M') + " 3 1700000000.0250001",
    };
    ScratchDir dir;
    // Each line at the end of the file and with more lines after it (a
    // reader takes a header that the bytes after it make long enough for
    // a wider look the same way).
    for (const std::string &after : {std::string(), "#" + std::string(80, '-') + "\n"}) {
        for (const std::string &line : lines) {
            char rep[16] = "", src[64] = "";
            double time = 0;
            int nbytes = 0;
            std::string copy = line;
            const int parsed = torvik_parse_line(copy.data(), rep, src, &time, &nbytes);
            const std::string path = dir.file("one");
            write_file(path, "#orb b FIRST_X_Y 1 1.5\nq\n" + line + "\nabc\n" + after);
            Reader r(path);
            ASSERT_EQ(r.reap().result, 0) << line;
            elog_reset_register();
            Got g = r.reap();
            if (parsed != 0) {
                // Cut at its NUL, the line lacks fields: passed over.
                EXPECT_EQ(g.result, -1) << line;
                EXPECT_NE(elog_register_text().find("bad packet header"), std::string::npos) << line;
                continue;
            }
            ASSERT_EQ(nbytes, 3) << line;
            EXPECT_EQ(g.result, 0) << line;
            EXPECT_EQ(g.src, src) << line;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(g.time), std::bit_cast<std::uint64_t>(time)) << line;
            EXPECT_EQ(g.body, "abc") << line;
        }
    }
}

// Header times against the time parser, bit for bit: the times a writer
// prints, and decimals of every length around the ranges and halfway
// points where rounding is hardest.
TEST(TorvikInput, TimesAreReadAsTheTimeParserReadsThem) {
    std::mt19937_64 rng(20240917);
    std::vector<std::string> times;
    for (int i = 0; i < 40000; i++) {
        char text[64];
        double t = 1.0e9 + static_cast<double>(rng() % 2000000000000000ULL) * 1e-6;
        std::snprintf(text, sizeof text, "%.7f", t);
        times.push_back(text);
        // Halfway between two neighbouring doubles, to 1..12 decimals.
        long double mid = (static_cast<long double>(t) + std::nextafter(t, 1e300)) / 2;
        std::snprintf(text, sizeof text, "%.*Lf", static_cast<int>(rng() % 12) + 1, mid);
        times.push_back(text);
    }
    for (int i = 0; i < 20000; i++) {
        std::string s = rng() % 5 == 0 ? "-" : "";
        const int whole = 1 + static_cast<int>(rng() % 19), fraction = static_cast<int>(rng() % 19);
        for (int d = 0; d < whole; d++) s += static_cast<char>('0' + (d == 0 ? 1 + rng() % 9 : rng() % 10));
        s += '.';
        for (int d = 0; d < fraction; d++) s += static_cast<char>('0' + rng() % 10);
        times.push_back(s);
    }
    for (double edge : {16777216.0, 16777215.9999999, 35184372088832.0, 35184372088831.5, 1.0, 9.5})
        times.push_back(fixed7(edge));
    int wrong = 0;
    for (const std::string &text : times) {
        std::string line = "#orb b A_B 1 " + text;
        char rep[16], src[64];
        double read = 0, parsed = 0;
        int nbytes;
        ASSERT_EQ(torvik_parse_line(line.data(), rep, src, &read, &nbytes), 0) << line;
        std::string copy = text;
        ASSERT_EQ(zstr2epoch(copy.data(), &parsed), 0) << text;
        if (std::bit_cast<std::uint64_t>(read) != std::bit_cast<std::uint64_t>(parsed) && wrong++ < 5)
            ADD_FAILURE() << text << ": read " << read << ", parser " << parsed;
    }
    EXPECT_EQ(wrong, 0);
}

// The times a writer prints, read back from a file through the reader,
// bit for bit as the time parser reads them: every moment of the years a
// writer's clock shows, the ends of the ten-digit range and the times
// around it, with byte counts of one to eight digits.
TEST(TorvikInput, TimesReadFromAFileAreTheTimeParsersToo) {
    std::mt19937_64 rng(20261211);
    std::vector<std::string> times;
    for (int i = 0; i < 20000; i++) {
        char text[64];
        double t = 1.0e9 + static_cast<double>(rng() % 9000000000000000ULL) * 1e-6;
        std::snprintf(text, sizeof text, "%.7f", t);
        times.push_back(text);
    }
    for (const char *edge : {"1000000000.0000000", "9999999999.9999999", "999999999.9999999",
                             "10000000000.0000001", "1700000000.5000000", "1700000000.0000001",
                             "4294967295.9999999", "0999999999.5000000", "1700000000.00000001",
                             "1700000000.123456", "-1700000000.2500000"})
        times.push_back(edge);
    std::string file;
    std::vector<std::string> counts;
    for (std::size_t i = 0; i < times.size(); i++) {
        // "1" to "00000003" and "3" to "00000001": the body is 1 to 3 bytes.
        const std::size_t size = 1 + i % 3;
        std::string count = std::to_string(size);
        count.insert(0, (i / 3) % 8, '0');
        file += "#orb b A_B_C " + count + " " + times[i] + "\n" + std::string(size, 'x') + "\n";
    }
    ScratchDir dir;
    const std::string path = dir.file("times");
    write_file(path, file);
    Reader r(path);
    int wrong = 0;
    for (std::size_t i = 0; i < times.size(); i++) {
        Got g = r.reap();
        ASSERT_EQ(g.result, 0) << times[i];
        ASSERT_EQ(g.body, std::string(1 + i % 3, 'x')) << times[i];
        std::string copy = times[i];
        double parsed = 0;
        ASSERT_EQ(zstr2epoch(copy.data(), &parsed), 0) << times[i];
        if (std::bit_cast<std::uint64_t>(g.time) != std::bit_cast<std::uint64_t>(parsed) &&
            wrong++ < 5)
            ADD_FAILURE() << times[i] << ": read " << fixed7(g.time) << ", parser " << fixed7(parsed);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(r.reap().result, -1);
}

// A header line ends at its newline, also where the line after it would
// complete its fields: the short line is a header that does not parse,
// and the line after it is not a header.
TEST(TorvikInput, AHeaderNeverTakesItsFieldsFromTheNextLine) {
    ScratchDir dir;
    const std::string path = dir.file("split");
    const std::string first = raw_packet("A_X_Y", 1700000000.5, "one");
    write_file(path, first + "#orb b\nB 7 3 1700000001.5\nabc\n" +
                         raw_packet("C_X_Y", 1700000002.5, "six"));
    Reader r(path);
    EXPECT_EQ(r.reap().src, "A_X_Y");
    elog_reset_register();
    Got bad = r.reap();
    EXPECT_EQ(bad.result, -1);
    EXPECT_NE(elog_register_text().find("bad packet header at offset " + std::to_string(first.size())), std::string::npos)
        << elog_register_text();
    Got next = r.reap();
    EXPECT_EQ(next.result, 0);
    EXPECT_EQ(next.src, "C_X_Y");
    EXPECT_EQ(next.body, "six");
}

// A header line longer than the line buffer is cut for parsing, but its
// index entry holds the offset where the line begins, so that a seek
// back to its packet lands on it.
TEST(TorvikInput, ALongHeaderLineIsIndexedAtItsStart) {
    ScratchDir dir;
    const std::string path = dir.file("long");
    const std::string long_header = "#orb b LONG_X_Y 3 1700000001.5 # " + std::string(1500, 'z') + "\n";
    write_file(path, raw_packet("A_X_Y", 1700000000.5, "one") + long_header + "two\n" +
                         raw_packet("C_X_Y", 1700000002.5, "six"));
    Reader r(path);
    for (int i = 0; i < 3; i++) ASSERT_EQ(r.reap().result, 0);
    Got back = r.get(1);
    EXPECT_EQ(back.result, 0);
    EXPECT_EQ(back.src, "LONG_X_Y");
    EXPECT_EQ(back.body, "two");
    EXPECT_EQ(r.get(ORBNEXT).src, "C_X_Y");
}

}  // namespace
