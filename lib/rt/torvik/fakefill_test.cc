// The generators: fake packet bodies (and their checking, in children so
// that every checker starts fresh) and synthetic-signal packets through the
// test signal generator and the packet library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bns.h"
#include "child.h"
#include "elog_capture.h"
#include "fake.h"
#include "gannet.h"
#include "imksignal.h"
#include "randomfill.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;

const std::string P = testsupport::elog_program_name();

constexpr double kTime = 1700000000.25;

// A packet made by fakefill into a buffer of its own.
struct Made {
    int sequence;
    std::string packet;
};

Made make(const std::string &name, int nbytes, double time = kTime, const char *rep = "f") {
    std::vector<char> buffer(static_cast<std::size_t>(nbytes));
    char *packet = buffer.data();
    int n = nbytes;
    int bufsize = nbytes;
    const int sequence =
        fakefill(const_cast<char *>(rep), const_cast<char *>(name.c_str()), time, &packet, &n,
                 &bufsize);
    EXPECT_EQ(packet, buffer.data());
    EXPECT_EQ(n, nbytes);
    return {sequence, std::string(packet, static_cast<std::size_t>(nbytes))};
}

std::string encoded(Fakepkt s) {
    Bns *bns = bnsnew(-1, 0);
    EXPECT_EQ(pbnsFakepkt(bns, &s), 0);
    std::string e(bns->data + bns->fp, bns->data + bns->lp);
    bnsfree(bns);
    return e;
}

Fakepkt expected_header(const std::string &stored, int sequence, int nbytes, const char *rep) {
    Fakepkt s;
    std::memset(&s, 0, sizeof s);
    initFakepkt(&s);
    std::memcpy(s.rep, rep, std::min<std::size_t>(std::strlen(rep), 6));
    std::memcpy(s.srcname, stored.data(), stored.size());
    s.nsrcname = static_cast<unsigned>(stored.size());
    s.nbytes = static_cast<unsigned>(nbytes);
    s.sequence = sequence;
    s.seqid = static_cast<int>(getpid());
    s.time = kTime;
    return s;
}

int check(const std::string &name, std::string packet, int nbytes = -1) {
    return fakecheck(const_cast<char *>(name.c_str()), kTime, packet.data(),
                     nbytes < 0 ? static_cast<int>(packet.size()) : nbytes);
}

// The big-endian 32-bit integer at offset `at`.
std::int32_t be32(const std::string &packet, std::size_t at) {
    const auto *p = reinterpret_cast<const unsigned char *>(packet.data() + at);
    return static_cast<std::int32_t>((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                     (std::uint32_t{p[2]} << 8) | p[3]);
}

// ---- Fake packets ----

TEST(Fakefill, PacketIsTheEncodedHeaderThenAVerifiableFill) {
    struct Case {
        std::string name;
        std::string stored;
        const char *rep;
    } cases[] = {
        {"DQ_FAK_BHZ", "DQ_FAK_BHZ", "fake-packets"},
        {"", "", "f"},
        {std::string(63, 'a'), std::string(63, 'a'), "f"},
        // The name is kept with its terminator: 63 characters at most.
        {std::string(70, 'b'), std::string(63, 'b'), "fx"},
    };
    for (const Case &c : cases) {
        const Made m = make(c.name, 200, kTime, c.rep);
        const std::string header = encoded(expected_header(c.stored, m.sequence, 200, c.rep));
        ASSERT_EQ(header.size(), 36 + c.stored.size());
        EXPECT_EQ(m.packet.substr(0, header.size()), header) << c.name;
        EXPECT_EQ(check_random(m.packet.data() + header.size(),
                               static_cast<int>(200 - header.size())),
                  0)
            << c.name;
    }
}

TEST(Fakefill, ConsecutivePacketsCountOnAndContinueTheFill) {
    const Made a = make("DQ_FAK_BHZ", 146);
    const Made b = make("DQ_FAK_BHZ", 100);
    EXPECT_EQ(b.sequence, a.sequence + 1);
    // The first fill held its 4-byte start and 96 pattern bytes.
    EXPECT_EQ(be32(b.packet, 46), (be32(a.packet, 46) + 96) % 32768);
}

TEST(Fakefill, AMissingOrSmallerBufferIsGrown) {
    char *packet = nullptr;
    int n = 80;
    int bufsize = 0;
    fakefill(const_cast<char *>("f"), const_cast<char *>("X"), kTime, &packet, &n, &bufsize);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(bufsize, 80);
    EXPECT_EQ(check_random(packet + 37, 43), 0);
    n = 60;
    fakefill(const_cast<char *>("f"), const_cast<char *>("X"), kTime, &packet, &n, &bufsize);
    EXPECT_EQ(bufsize, 80);  // never shrunk
    EXPECT_EQ(check_random(packet + 37, 23), 0);
    std::free(packet);
}

TEST(Fakefill, CheckedInOrderThenTheSecondAgain) {
    ChildResult r = in_child([] {
        const Made a = make("DQ_FAK_BHZ", 120);
        const Made b = make("DQ_FAK_BHZ", 120);
        // The sender id: the header's last field.
        out(std::to_string(be32(a.packet, 42)) + " " + std::to_string(a.sequence) + " " +
            std::to_string(b.sequence) + " ");
        // One check at a time: the order matters.
        out(std::to_string(check("DQ_FAK_BHZ", a.packet)));
        out(std::to_string(check("DQ_FAK_BHZ", b.packet)));
        out(std::to_string(check("DQ_FAK_BHZ", b.packet)));
    });
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, std::regex("([0-9]+) ([0-9]+) ([0-9]+) (...)")))
        << r.out;
    const int n = std::stoi(m[2]);
    EXPECT_EQ(std::stoi(m[3]), n + 1);
    EXPECT_EQ(m[4], "001");
    EXPECT_EQ(r.err, P + ": sequence numbers (for " + m[1].str() + ") wrong: wanted " +
                         std::to_string(n + 2) + ", got " + std::to_string(n + 1) + "\n");
}

TEST(Fakefill, AChangedFillIsOneProblemAndAChangedSizeHidesIt) {
    ChildResult r = in_child([] {
        Made a = make("AK_ANM_BHZ", 150);
        Made b = make("AK_ANM_BHZ", 150);
        Made c = make("AK_ANM_BHZ", 150);
        a.packet[120] = static_cast<char>(a.packet[120] ^ 1);
        b.packet[120] = static_cast<char>(b.packet[120] ^ 1);
        out(std::to_string(check("AK_ANM_BHZ", a.packet)));
        out(std::to_string(check("AK_ANM_BHZ", b.packet, 149)));
        out(std::to_string(check("AK_ANM_BHZ", c.packet)));
    });
    EXPECT_EQ(r.out, "110");
    EXPECT_EQ(r.err, P + ": fill portions don't match\n" + P + ": sizes don't match: 150 != 149\n");
}

TEST(Fakefill, TooSmallAPacketStopsTheProcess) {
    // A 10-character name takes a 46-byte header; the fill needs 5 more.
    const std::regex unexpected(P + R"( \*fatal\*: Unexpected failure: file randomfill\.cc, line [0-9]+\n)");
    for (int size : {0, 45}) {
        ChildResult r = in_child([&] { make("DQ_FAK_BHZ", size); });
        EXPECT_TRUE(r.exited) << size;
        EXPECT_EQ(r.exit_code, 1) << size;
        EXPECT_EQ(r.err, P + " *fatal*: packet size (" + std::to_string(size) +
                             ") is too small to contain header (46)!!\n");
    }
    for (int size : {46, 50}) {
        ChildResult r = in_child([&] { make("DQ_FAK_BHZ", size); });
        EXPECT_EQ(r.exit_code, 1) << size;
        EXPECT_TRUE(std::regex_match(r.err, unexpected)) << r.err;
    }
    ChildResult r = in_child([] { out(std::to_string(check("DQ_FAK_BHZ", make("DQ_FAK_BHZ", 51).packet))); });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, "");
}

TEST(Fakefill, ThreadsShareOneCounterAndFill) {
    ChildResult r = in_child([] {
        constexpr int kThreads = 4, kEach = 25;
        std::mutex lock;
        std::vector<Made> made;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; i++) {
                    Made m = make("DQ_FAK_BHZ", 60 + t * 7 + i);
                    std::lock_guard<std::mutex> guard(lock);
                    made.push_back(std::move(m));
                }
            });
        for (std::thread &t : threads) t.join();
        std::sort(made.begin(), made.end(),
                  [](const Made &a, const Made &b) { return a.sequence < b.sequence; });
        int problems = 0, gaps = 0;
        for (std::size_t i = 0; i < made.size(); i++) {
            if (i > 0 && made[i].sequence != made[i - 1].sequence + 1) gaps++;
            problems += check("DQ_FAK_BHZ", made[i].packet);
        }
        out(std::to_string(made.size()) + " " + std::to_string(gaps) + " " +
            std::to_string(problems));
    });
    EXPECT_EQ(r.out, "100 0 0");
    EXPECT_EQ(r.err, "");
}

// ---- Synthetic-signal packets ----

constexpr double kT0 = 1700000000.0;

// The first synthetic packet of the process fixes t0: make it here, before
// any test's own.
void prime() {
    static std::once_flag once;
    std::call_once(once, [] {
        char srcname[64] = "x";
        char *packet = nullptr;
        int n = 1, bufsize = 0;
        ASSERT_EQ(fakesignal(const_cast<char *>("s"), srcname, kT0, &packet, &n, &bufsize), 0);
        std::free(packet);
    });
}

struct Signal {
    int result = 0;
    std::string srcname;
    int nbytes = 0;
    int bufsize = 0;
    Packet *pkt = nullptr;
    Imksignal_call call{};
    Signal() = default;
    Signal(const Signal &) = delete;
    Signal &operator=(const Signal &) = delete;
    ~Signal() { freePkt(pkt); }
    const PktChannel *chan() const { return pkt && pkt->nchannels == 1 ? pkt->channels[0] : nullptr; }
};

void synthesize(Signal &s, const std::string &rep, const std::string &name, double time,
                int nsamp) {
    prime();
    char srcname[64] = {};
    std::snprintf(srcname, sizeof srcname, "%s", name.c_str());
    char *packet = nullptr;
    int n = nsamp;
    int bufsize = 0;
    s.result = fakesignal(const_cast<char *>(rep.c_str()), srcname, time, &packet, &n, &bufsize);
    s.srcname = srcname;
    s.nbytes = n;
    s.bufsize = bufsize;
    imksignal_last_call(&s.call);
    if (s.result == 0) {
        EXPECT_EQ(unstuffPkt(srcname, time, packet, n, &s.pkt), 0) << name;
    }
    std::free(packet);
}

TEST(Fakesignal, SourceNameGivesCodesWaveformFrequencyRatesAndAmplitude) {
    struct Case {
        std::string name;
        std::string net, sta, chan, waveform;
        double freq, samprate, calib, amp;
    } cases[] = {
        {"no-slash", "DQ", "FAK", "BHN", "saw", 0.01, 40.0, 1.0, 100000.0},
        {"AK_ANM_HHZ/sin", "AK", "ANM", "HHZ", "sin", 0.01, 100.0, 1.0, 100000.0},
        {"SH_STA_LLZ/sqr0.5", "SH", "STA", "LLZ", "sqr", 0.5, 1.0, 10.0, 1000.0},
        {"S4_X_Y_UBZ/tri2", "S4", "X_Y", "UBZ", "tri", 2.0, 0.01, 1000.0, 2147483647.0},
        {"XX_YY_VVZ/saw", "XX", "YY", "VVZ", "saw", 0.01, 0.1, 1000.0, 100000.0},
        {"XX_YY_QUZ/imp", "XX", "YY", "QUZ", "imp", 0.01, 100.0, 1000.0, 100000.0},
        {"XX_YY_B/sa", "XX", "YY", "B", "sa", 0.01, 40.0, 1000.0, 100000.0},
        // Not all three separators, or not in order: the defaults.
        {"XX_YY/saw", "DQ", "FAK", "BHN", "saw", 0.01, 40.0, 1.0, 100000.0},
        {"XX/YY_ZZ_HHZ", "DQ", "FAK", "BHN", "saw", 0.01, 40.0, 1.0, 100000.0},
        {"XX_YY_ZZ", "DQ", "FAK", "BHN", "saw", 0.01, 40.0, 1.0, 100000.0},
    };
    for (const Case &c : cases) {
        Signal s;
        synthesize(s, "s", c.name, kT0 + 100.0, 10);
        ASSERT_EQ(s.result, 0) << c.name;
        ASSERT_NE(s.chan(), nullptr) << c.name;
        const PktChannel *ch = s.chan();
        EXPECT_EQ(s.srcname, c.net + "_" + c.sta + "_" + c.chan + "/dbug") << c.name;
        EXPECT_EQ(s.nbytes, GANNET_HEADER_BYTES + GANNET_CHANNEL_BYTES + 40) << c.name;
        EXPECT_EQ(s.pkt->version, 1);
        EXPECT_STREQ(s.pkt->parts.src_suffix, "dbug");
        EXPECT_STREQ(ch->segtype, "V");
        EXPECT_EQ(std::string(ch->net) + "|" + ch->sta + "|" + ch->chan,
                  c.net + "|" + c.sta + "|" + c.chan);
        EXPECT_EQ(ch->time, kT0 + 100.0);
        EXPECT_EQ(ch->nsamp, 10);
        EXPECT_EQ(ch->samprate, c.samprate) << c.name;
        EXPECT_EQ(ch->calib, c.calib) << c.name;
        EXPECT_EQ(ch->calper, c.calib) << c.name;

        EXPECT_STREQ(s.call.waveform, c.waveform.c_str()) << c.name;
        EXPECT_EQ(s.call.time, kT0 + 100.0);
        EXPECT_EQ(s.call.nsamp, 10);
        EXPECT_EQ(s.call.samprate, c.samprate) << c.name;
        EXPECT_EQ(s.call.t0, kT0);
        EXPECT_EQ(s.call.freq, c.freq) << c.name;
        EXPECT_EQ(s.call.slew, 0.0);
        EXPECT_EQ(s.call.amp, c.amp) << c.name;

        // The samples are the generator's for those arguments.
        std::vector<int> want(10);
        std::string waveform = c.waveform;
        imksignal(waveform.data(), want.data(), kT0 + 100.0, 10, c.samprate, kT0, c.freq, 0.0,
                  c.amp);
        EXPECT_EQ(std::vector<int>(ch->data, ch->data + 10), want) << c.name;
    }
}

TEST(Fakesignal, RepresentationScalesRateAndCalibrationAndGivesTheSlew) {
    struct Case {
        std::string rep;
        double samprate, calib, slew;
    } cases[] = {
        {"s", 40.0, 1.0, 0.0},
        {"s++>", 40.0 * 1.1 * 1.1, 1.0 * 1.1, 0.0},
        {"s-<<", 40.0 * 0.9, 1.0 * 0.9 * 0.9, 0.0},
        {"s+0.25", 40.0 * 1.1, 1.0, 0.25},
        {"s>-3e-4", 40.0 * 0.9, 1.1, 3e-4},  // "-" is a rate step; the slew starts at "3"
        {"s>x", 40.0, 1.1, 0.0},
        {"s>>x2", 40.0, 1.1 * 1.1, 0.0},
        {"", 40.0, 1.0, 0.0},
    };
    for (const Case &c : cases) {
        Signal s;
        synthesize(s, c.rep, "DQ_FAK_BHN/saw", kT0 + 5.0, 4);
        ASSERT_EQ(s.result, 0) << c.rep;
        EXPECT_EQ(s.chan()->samprate, c.samprate) << c.rep;
        EXPECT_EQ(s.chan()->calib, c.calib) << c.rep;
        EXPECT_EQ(s.chan()->calper, c.calib) << c.rep;
        EXPECT_EQ(s.call.samprate, s.chan()->samprate) << c.rep;
        EXPECT_EQ(s.call.slew, c.slew) << c.rep;
    }
}

TEST(Fakesignal, BufferGrowsToThePacketAndNeverShrinks) {
    prime();
    char srcname[64] = "DQ_FAK_BHN/saw";
    char *packet = nullptr;
    int bufsize = 0;
    const int per_packet = GANNET_HEADER_BYTES + GANNET_CHANNEL_BYTES;
    struct Step {
        int nsamp, nbytes, bufsize;
    } steps[] = {
        {10, per_packet + 40, per_packet + 40},
        {1000, per_packet + 4000, per_packet + 4000},
        {3, per_packet + 12, per_packet + 4000},
        {0, per_packet, per_packet + 4000},
    };
    for (const Step &s : steps) {
        std::strcpy(srcname, "DQ_FAK_BHN/saw");
        int n = s.nsamp;
        ASSERT_EQ(fakesignal(const_cast<char *>("s"), srcname, kT0, &packet, &n, &bufsize), 0);
        EXPECT_EQ(n, s.nbytes) << s.nsamp;
        EXPECT_EQ(bufsize, s.bufsize) << s.nsamp;
    }
    std::free(packet);
}

TEST(Fakesignal, SampleCountsOutOfRangeAreRefused) {
    prime();
    for (int nsamp : {-1, INT_MIN, 16777217, INT_MAX}) {
        ChildResult r = in_child([&] {
            char srcname[64] = "DQ_FAK_BHN/saw";
            char *packet = nullptr;
            int n = nsamp, bufsize = 0;
            out(std::to_string(fakesignal(const_cast<char *>("s"), srcname, kT0, &packet, &n,
                                          &bufsize)) +
                " " + std::to_string(n == nsamp) + std::to_string(packet == nullptr));
        });
        EXPECT_EQ(r.out, "-1 11") << nsamp;
        EXPECT_EQ(r.err, P + ": fakesignal: can't make a packet of " + std::to_string(nsamp) +
                             " samples (0 to 16777216)\n");
    }
}

TEST(Fakesignal, ThreadsEachGetTheirOwnPacket) {
    prime();
    const std::string names[] = {"AA_ONE_BHZ/saw", "BB_TWO_HHN/sin", "CC_THREE_LLE/sqr",
                                 "DD_FOUR_BHZ/tri"};
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; i++) {
                char srcname[64];
                std::snprintf(srcname, sizeof srcname, "%s", names[t].c_str());
                char *packet = nullptr;
                int n = 5 + i, bufsize = 0;
                Packet *pkt = nullptr;
                if (fakesignal(const_cast<char *>("s"), srcname, kT0 + i, &packet, &n, &bufsize) != 0 ||
                    unstuffPkt(srcname, 0, packet, n, &pkt) != 0 ||
                    names[t].substr(0, names[t].find('/')) + "/dbug" != srcname ||
                    pkt->channels[0]->nsamp != 5 + i || pkt->channels[0]->time != kT0 + i)
                    bad[t]++;
                freePkt(pkt);
                std::free(packet);
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));
}

// ---- The test generator itself ----

TEST(Imksignal, WaveformsOverOneCycle) {
    struct Case {
        const char *waveform;
        double amp;
        int result;
        std::vector<int> samples;
    } cases[] = {
        {"saw", 100, 0, {-100, -50, 0, 50, -100}},
        {"sin", 100, 0, {0, 100, 0, -100, 0}},
        {"sqr", 100, 0, {100, 100, -100, -100, 100}},
        {"tri", 100, 0, {-100, 0, 100, 0, -100}},
        {"imp", 100, 0, {100, 0, 0, 0, 100}},
        {"zer", 100, 0, {0, 0, 0, 0, 0}},
        {"saw", 3e9, 0, {INT_MIN, -1500000000, 0, 1500000000, INT_MIN}},
        {"xyz", 100, -1, {0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        std::vector<int> got(5, 7);
        std::string w = c.waveform;
        // 4 samples a cycle, starting at t0.
        EXPECT_EQ(imksignal(w.data(), got.data(), 10.0, 5, 4.0, 10.0, 1.0, 0.0, c.amp), c.result);
        EXPECT_EQ(got, c.samples) << c.waveform << " " << c.amp;
    }
}

TEST(Imksignal, ConsecutivePacketsContinueThePhase) {
    // Times and rates exact in binary, so that both ways give equal phases.
    std::vector<int> whole(16), first(8), second(8);
    char saw[] = "saw";
    imksignal(saw, whole.data(), 104.0, 16, 2.0, 100.0, 0.125, 0.0625, 1000.0);
    imksignal(saw, first.data(), 104.0, 8, 2.0, 100.0, 0.125, 0.0625, 1000.0);
    imksignal(saw, second.data(), 108.0, 8, 2.0, 100.0, 0.125, 0.0625, 1000.0);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, whole);
}

}  // namespace
