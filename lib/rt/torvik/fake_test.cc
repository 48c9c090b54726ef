// The fake packet header: its record, stream encoding and displays; the
// checker against packets built by hand; and fakesignal in a process that
// holds no signal generator.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bns.h"
#include "child.h"
#include "dumps.h"
#include "elog.h"
#include "elog_capture.h"
#include "fake.h"
#include "randomfill.h"
#include "stream_capture.h"

namespace {

using testsupport::printed;

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;

const std::string P = testsupport::elog_program_name();

constexpr double kTime = 1700000000.25;  // 11/14/2023  22:13:20.250
const std::string kTimeText = "11/14/2023  22:13:20.250";

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}


std::string hexdump_text(const std::string &data) {
    char *s = hexdump_string(0, data.data(), static_cast<int>(data.size()));
    std::string text = s;
    std::free(s);
    return text;
}

// A memory stream that fails at once when it runs dry.
struct Stream {
    Bns *bns;
    Stream() : bns(bnsnew(-1, 0)) { bnstimeout(bns, 0); }
    ~Stream() { bnsfree(bns); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    std::string unread() const { return std::string(bns->data + bns->fp, bns->data + bns->lp); }
};

Fakepkt record(const std::string &name, int sequence, unsigned nbytes, int seqid,
               const char *rep = "f", double time = kTime) {
    Fakepkt s;
    std::memset(&s, 0, sizeof s);
    initFakepkt(&s);
    std::memcpy(s.rep, rep, strnlen(rep, sizeof s.rep));
    std::memcpy(s.srcname, name.data(), std::min<std::size_t>(name.size(), 64));
    s.nsrcname = static_cast<unsigned>(name.size());
    s.sequence = sequence;
    s.nbytes = nbytes;
    s.seqid = seqid;
    s.time = time;
    return s;
}

std::string encoded(Fakepkt s) {
    Stream st;
    EXPECT_EQ(pbnsFakepkt(st.bns, &s), 0);
    return st.unread();
}

// A fake packet made without fakefill: the header of s and the random fill
// from index `fill` up to s.nbytes bytes in all.
std::string hand_made(const Fakepkt &s, int fill = 0) {
    std::string packet = encoded(s);
    const std::size_t header = packet.size();
    packet.resize(s.nbytes);
    fill_random(packet.data() + header, static_cast<int>(s.nbytes - header), &fill);
    return packet;
}

int check(const std::string &name, double time, std::string packet) {
    return fakecheck(const_cast<char *>(name.c_str()), time, packet.data(),
                     static_cast<int>(packet.size()));
}

std::string show(std::string packet) {
    return printed([&](FILE *f) {
        showfakePkt(3, const_cast<char *>("ignored"), 0.0, packet.data(),
                    static_cast<int>(packet.size()), f, 0);
    });
}

// ---- The record and its encoding ----

TEST(Fakepkt, NewRecordCarriesOnlyTheRecognitionCode) {
    Fakepkt *s = newFakepkt();
    EXPECT_EQ(std::string(s->magic, 6), std::string("magic\0", 6));
    EXPECT_EQ(s->sequence, 0);
    EXPECT_EQ(s->nsrcname, 0u);
    std::memset(s->magic, 'x', sizeof s->magic);
    initFakepkt(s);
    EXPECT_EQ(std::string(s->magic, 6), std::string("magic\0", 6));
    freeFakepkt(s);
}

TEST(Fakepkt, EncodingIsBigEndianByteForByte) {
    const std::string expected =
        std::string("magic\0", 6) + bytes({0x01, 0x02, 0x03, 0x04}) +  // sequence
        bytes({0x80, 0x00, 0x00, 0xff}) +                              // nbytes
        std::string("fx\0\0\0\0", 6) +                                 // rep
        bytes({0, 0, 0, 4}) + "AB_C" +                                 // nsrcname, srcname
        bytes({0x3f, 0xf8, 0, 0, 0, 0, 0, 0}) +                        // time 1.5
        bytes({0xff, 0xff, 0xff, 0xfe});                               // seqid -2
    ASSERT_EQ(expected.size(), 36u + 4u);
    EXPECT_EQ(encoded(record("AB_C", 0x01020304, 0x800000ffu, -2, "fx", 1.5)), expected);

    Stream st;
    buf2bns(st.bns, const_cast<char *>(expected.data()), static_cast<int>(expected.size()));
    Fakepkt back;
    std::memset(&back, 0x55, sizeof back);
    ASSERT_EQ(gbnsFakepkt(st.bns, &back), 0);
    EXPECT_EQ(back.sequence, 0x01020304);
    EXPECT_EQ(back.nbytes, 0x800000ffu);
    EXPECT_EQ(std::string(back.rep, 6), std::string("fx\0\0\0\0", 6));
    EXPECT_EQ(back.nsrcname, 4u);
    EXPECT_STREQ(back.srcname, "AB_C");
    EXPECT_EQ(back.time, 1.5);
    EXPECT_EQ(back.seqid, -2);
    EXPECT_EQ(st.unread(), "");
}

TEST(Fakepkt, EncodedHeaderTakes36BytesPlusTheName) {
    for (std::size_t n : {0u, 1u, 10u, 63u, 64u}) {
        const std::string name(n, 'n');
        const std::string e = encoded(record(name, 1, 100, 2));
        EXPECT_EQ(e.size(), 36 + n) << n;
        EXPECT_EQ(e.substr(24, n), name) << n;
    }
}

TEST(Fakepkt, ANameLongerThanTheRecordIsNotEncoded) {
    Fakepkt s = record(std::string(64, 'n'), 1, 100, 2);
    s.nsrcname = 65;
    Stream st;
    EXPECT_EQ(pbnsFakepkt(st.bns, &s), -1);
    // The other seven fields are still written.
    EXPECT_EQ(st.unread().size(), 36u);
}

TEST(Fakepkt, DecodingStopsAtTheFirstMissingField) {
    const std::string full = encoded(record("DQ_FAK_BHZ", 9, 300, 4));
    for (std::size_t n = 0; n < full.size(); n++) {
        Stream st;
        buf2bns(st.bns, const_cast<char *>(full.data()), static_cast<int>(n));
        Fakepkt back;
        EXPECT_EQ(gbnsFakepkt(st.bns, &back), -1) << n;
    }
}

TEST(Fakepkt, DecodedNamesOf64AndMoreFillTheRecordAndTheRestIsPassedOver) {
    for (unsigned declared : {64u, 70u, 300u}) {
        const std::string name(declared, 'q');
        const std::string body = std::string("magic\0", 6) + bytes({0, 0, 0, 5}) +
                                 bytes({0, 0, 1, 0}) + std::string("f\0\0\0\0\0", 6) +
                                 bytes({0, 0, static_cast<int>(declared >> 8),
                                        static_cast<int>(declared & 0xff)}) +
                                 name + bytes({0x3f, 0xf8, 0, 0, 0, 0, 0, 0}) +
                                 bytes({0, 0, 0, 7}) + "tail";
        Stream st;
        buf2bns(st.bns, const_cast<char *>(body.data()), static_cast<int>(body.size()));
        Fakepkt back;
        ASSERT_EQ(gbnsFakepkt(st.bns, &back), 0) << declared;
        EXPECT_EQ(back.nsrcname, declared);
        EXPECT_EQ(std::string(back.srcname, 64), std::string(64, 'q'));
        EXPECT_EQ(back.time, 1.5);
        EXPECT_EQ(back.seqid, 7);
        EXPECT_EQ(st.unread(), "tail");
    }
}

// ---- Displays ----

TEST(Fakepkt, DebugDisplayListsEveryField) {
    Fakepkt s = record("DQ_FAK_BHZ", 7, 120, 321);
    EXPECT_EQ(printed([&](FILE *f) { dbgFakepkt(&s, f, 0); }),
              "\tFakepkt->magic = 'magic' # recognition code for fake packets\n"
              "\tFakepkt->sequence = 7 # sequence # for checking\n"
              "\tFakepkt->nbytes = 120 # total #bytes in packet\n"
              "\tFakepkt->rep = 'f' # type of packet\n"
              "\tFakepkt->nsrcname = 10 # \n"
              "\tFakepkt->srcname = 'DQ_FAK_BHZ' # source name\n"
              "\tFakepkt->time =      1.7e+09 # packet time\n"
              "\tFakepkt->seqid = 321 # sequence id for checking\n");

    // Bytes that are not text are dumped; the name shows nsrcname bytes.
    s.rep[1] = '\x01';
    s.nsrcname = 2;
    EXPECT_EQ(printed([&](FILE *f) { dbgFakepkt(&s, f, 1); }),
              "\tFakepkt->magic = 'magic' # recognition code for fake packets\n"
              "\tFakepkt->sequence = 7 # sequence # for checking\n"
              "\tFakepkt->nbytes = 120 # total #bytes in packet\n"
              "\tFakepkt->rep (6 bytes) # # type of packet\n" +
                  hexdump_text(std::string("f\x01\0\0\0\0", 6)) +
                  "\tFakepkt->nsrcname = 2 # \n"
                  "\tFakepkt->srcname = 'DQ' # source name\n"
                  "\tFakepkt->time =      1.7e+09 # packet time\n"
                  "\tFakepkt->seqid = 321 # sequence id for checking\n");
}

TEST(Fakepkt, ShowPrintsOneLinePerFakePacket) {
    struct Case {
        std::string name;
        int sequence;
        unsigned nbytes;
        int seqid;
        std::string line;
    } cases[] = {
        {"DQ_FAK_BHZ", 12, 100, 77,
         " 10 DQ_FAK_BHZ                          " + kTimeText + " 100       77       12\n"},
        {"X", 123456789, 5000, 1234567890,
         "  1 X                                   " + kTimeText +
             " 5000 1234567890 123456789\n"},
        {"", 0, 41, -1,
         "  0                                     " + kTimeText + "  41       -1        0\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(show(hand_made(record(c.name, c.sequence, c.nbytes, c.seqid))), c.line)
            << c.name;
}

TEST(Fakepkt, ShowComplainsOfPacketsThatAreNotFake) {
    const std::string not_fake[] = {
        "",
        "mag",
        "magic",  // no NUL
        "Magic" + std::string(1, '\0') + std::string(94, 'x'),
        std::string(100, '\0'),
        std::string("magic\0", 6) + "short",  // the code, then too little
    };
    for (const std::string &packet : not_fake) {
        ChildResult r = in_child([&] { out(show(packet)); });
        EXPECT_EQ(r.out, "") << packet.size();
        EXPECT_EQ(r.err, P + ": not a fake packet\n") << packet.size();
    }
}

bool write_all(int fd, const std::string &s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string read_all(int fd) {
    std::string s;
    char buf[1024];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return s;
        s.append(buf, static_cast<std::size_t>(n));
    }
}

struct Asked {
    std::string shown;   // what the terminal showed (echo off)
    std::string record;  // dbgFakepkt of the record afterwards
    int status = -1;
};

// Runs askFakepkt on a fresh record in a child whose controlling terminal
// is a new pseudo-terminal, with `answers` typed on it.
Asked ask_on_pty(const std::string &answers) {
    Asked a;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return a;
    }
    const std::string slave_name = ptsname(master);
    int ready[2], report[2], done[2];
    if (pipe(ready) != 0 || pipe(report) != 0 || pipe(done) != 0) {
        ADD_FAILURE() << "no pipe";
        return a;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(master);
        close(ready[0]);
        close(report[0]);
        close(done[1]);
        setsid();
        const int slave = open(slave_name.c_str(), O_RDWR);
        if (slave < 0) _exit(90);
        ioctl(slave, TIOCSCTTY, 0);
        struct termios t;
        tcgetattr(slave, &t);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(slave, TCSANOW, &t);
        std::strcpy(Program_Name, "asktest");
        write_all(ready[1], "R");
        close(ready[1]);
        Fakepkt *s = newFakepkt();
        askFakepkt(s);
        write_all(report[1], printed([&](FILE *f) { dbgFakepkt(s, f, 0); }));
        close(report[1]);
        // The terminal stays open until the parent has read what it shows.
        char ack;
        while (read(done[0], &ack, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(report[1]);
    close(done[0]);
    read_all(ready[0]);  // the child has set the terminal up
    close(ready[0]);
    write_all(master, answers);
    a.record = read_all(report[0]);
    close(report[0]);
    // Everything the child showed is in the terminal by now.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    a.shown = read_all(master);
    close(done[1]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(master);
    a.status = status;
    return a;
}

TEST(Fakepkt, AskReadsEveryFieldFromTheTerminal) {
    const Asked a = ask_on_pty("magic\n42\n300\nfakes-and-more\n10\nDQ_FAK_BHZ extra\n1.5e9\n-7\n");
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.shown,
              "asktest: Fakepkt->magic = asktest: Fakepkt->sequence = "
              "asktest: Fakepkt->nbytes = asktest: Fakepkt->rep = "
              "asktest: Fakepkt->nsrcname = asktest: Fakepkt->srcname = "
              "asktest: Fakepkt->time = asktest: Fakepkt->seqid = ");
    // Words are cut to their fields; rep fills its 6 bytes.
    EXPECT_EQ(a.record,
              "\tFakepkt->magic = 'magic' # recognition code for fake packets\n"
              "\tFakepkt->sequence = 42 # sequence # for checking\n"
              "\tFakepkt->nbytes = 300 # total #bytes in packet\n"
              "\tFakepkt->rep = 'fakes-' # type of packet\n"
              "\tFakepkt->nsrcname = 10 # \n"
              "\tFakepkt->srcname = 'DQ_FAK_BHZ' # source name\n"
              "\tFakepkt->time =      1.5e+09 # packet time\n"
              "\tFakepkt->seqid = -7 # sequence id for checking\n");
}

// ---- The checker ----

TEST(Fakecheck, PacketsThatAreNotFakeCountNothing) {
    const std::string not_fake[] = {
        "", "m", "magic", "magiC" + std::string(60, '\0'), std::string(64, '\0'),
    };
    ChildResult r = in_child([&] {
        for (const std::string &packet : not_fake) out(std::to_string(check("x", 0, packet)));
    });
    EXPECT_EQ(r.out, "00000");
    EXPECT_EQ(r.err, "");
}

TEST(Fakecheck, AHeaderCutShortIsOneProblem) {
    const std::string full = encoded(record("DQ_FAK_BHZ", 1, 100, 5));
    ChildResult r = in_child([&] {
        out(std::to_string(check("DQ_FAK_BHZ", kTime, full.substr(0, 6))));
        out(std::to_string(check("DQ_FAK_BHZ", kTime, full.substr(0, 45))));
    });
    EXPECT_EQ(r.out, "11");
    EXPECT_EQ(r.err, P + ": fake packet header cut short: 6 bytes\n" + P +
                         ": fake packet header cut short: 45 bytes\n");
}

TEST(Fakecheck, EachDifferenceIsReported) {
    const std::string name = "AK_ANM_BHZ";
    const Fakepkt s = record(name, 0, 100, 31000);
    const std::string good = hand_made(s, 17);
    const std::size_t header = 36 + name.size();
    std::string flipped = good;
    flipped[header + 10] = static_cast<char>(flipped[header + 10] ^ 0x40);
    std::string shortened = flipped.substr(0, 99);
    std::string bad_index = good;
    bad_index[header] = '\x7f';  // a fill start far outside the pattern

    struct Case {
        const char *what;
        std::string given_name;
        double given_time;
        std::string packet;
        int count;
        std::string err;
    } cases[] = {
        {"intact", name, kTime, good, 0, ""},
        {"fill byte", name, kTime, flipped, 1, P + ": fill portions don't match\n"},
        {"fill start", name, kTime, bad_index, 1, P + ": fill portions don't match\n"},
        // The fill is not examined once something else differs.
        {"size and fill", name, kTime, shortened, 1, P + ": sizes don't match: 100 != 99\n"},
        {"name", "AK_ANM_BHN", kTime, good, 1,
         P + ": srcnames don't match: 'AK_ANM_BHZ' != 'AK_ANM_BHN'\n"},
        {"time", name, kTime + 1, good, 1,
         P + ": times don't match: " + kTimeText + " != 11/14/2023  22:13:21.250\n"},
        {"all three", "other", 0.0, shortened, 3,
         P + ": srcnames don't match: 'AK_ANM_BHZ' != 'other'\n" + P + ": times don't match: " +
             kTimeText + " != 01/01/1970  00:00:00.000\n" + P +
             ": sizes don't match: 100 != 99\n"},
    };
    for (const Case &c : cases) {
        // A fresh checker each time: every packet is the sender's first.
        ChildResult r = in_child([&] { out(std::to_string(check(c.given_name, c.given_time, c.packet))); });
        EXPECT_EQ(r.out, std::to_string(c.count)) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
}

TEST(Fakecheck, SequenceNumbersAreFollowedPerSender) {
    auto packet = [](int seqid, int sequence) {
        return hand_made(record("S", sequence, 60, seqid), sequence);
    };
    ChildResult r = in_child([&] {
        const std::pair<int, int> order[] = {
            {101, 5}, {202, 0}, {101, 6}, {202, 1}, {101, 8}, {101, 9}, {202, 1}, {303, 0},
        };
        for (const auto &[seqid, sequence] : order)
            out(std::to_string(check("S", kTime, packet(seqid, sequence))));
    });
    EXPECT_EQ(r.out, "00001010");
    EXPECT_EQ(r.err, P + ": sequence numbers (for 101) wrong: wanted 7, got 8\n" + P +
                         ": sequence numbers (for 202) wrong: wanted 2, got 1\n");
}

TEST(Fakecheck, ADeclaredNameBeyondTheRecordIsAProblem) {
    const std::string name(70, 'w');
    const std::string header = std::string("magic\0", 6) + bytes({0, 0, 0, 0}) +
                               bytes({0, 0, 0, 120}) + std::string("f\0\0\0\0\0", 6) +
                               bytes({0, 0, 0, 70}) + name +
                               bytes({0x41, 0xd9, 0x54, 0xfc, 0x40, 0x10, 0, 0}) +  // kTime
                               bytes({0, 0, 0, 9});
    ASSERT_EQ(header.size(), 106u);
    std::string packet = header + std::string(14, '\0');
    int index = 0;
    fill_random(packet.data() + header.size(), 14, &index);

    ChildResult r = in_child([&] { out(std::to_string(check(name, kTime, packet))); });
    EXPECT_EQ(r.out, "2");
    EXPECT_EQ(r.err, P + ": nsrcname = 70 > 64\n" + hexdump_text(packet) + P +
                         ": srcnames don't match: '" + std::string(64, 'w') + "' != '" + name +
                         "'\n");
}

// ---- Synthetic packets without a generator ----

TEST(Fakesignal, WithoutAGeneratorInTheProcessItComplainsAndFails) {
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "imksignal"), nullptr)
        << "this test binary must not hold a signal generator";
    ChildResult r = in_child([] {
        char srcname[64] = "DQ_FAK_BHZ/saw";
        char *packet = nullptr;
        int nsamp = 100;
        int bufsize = 0;
        const int result = fakesignal(const_cast<char *>("s"), srcname, kTime, &packet, &nsamp,
                                      &bufsize);
        out(std::to_string(result) + " " + srcname + " " + std::to_string(nsamp) + " " +
            std::to_string(bufsize) + " " + (packet == nullptr ? "null" : "set"));
    });
    EXPECT_EQ(r.out, "-1 DQ_FAK_BHZ/saw 100 0 null");
    EXPECT_EQ(r.err, P + ": fakesignal: no synthetic-signal generator (imksignal) is loaded in "
                         "this process\n");
}

}  // namespace
