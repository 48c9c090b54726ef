// The client calls of libkestrel, the ringcat client and the error log's
// relay, end to end against a running vaultkeep (and, for writing, a small
// server of the test's own).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "fake_signer.h"
#include "scratch_dir.h"
#include "vk_testing.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using vktest::kFirstTime;
using vktest::Server;

constexpr int kPackets = 40;
const std::vector<std::string> kSources = {"AA_BBB_HHZ", "AA_CCC_HHZ", "XX_YYY_BHZ"};

class ClientCalls : public vktest::SharedServer {
  protected:
    static void SetUpTestSuite() { start_shared(kPackets, kSources); }
    static void TearDownTestSuite() { stop_shared(); }
    static std::string ring() { return ":" + std::to_string(server_->port()); }
    static int open_ring() { return orbopen(const_cast<char *>(ring().c_str()), const_cast<char *>("r&")); }

};

struct Packet {
    int pktid = 0;
    std::string srcname;
    double time = 0;
    std::string body;
};

// The next n packets of the reap.
std::vector<Packet> reap(int orb, int n) {
    std::vector<Packet> got;
    char *buffer = nullptr;
    int bufsize = 0;
    for (int i = 0; i < n; i++) {
        Packet p;
        char srcname[64];
        int nbytes = 0;
        if (orbreap(orb, &p.pktid, srcname, &p.time, &buffer, &nbytes, &bufsize) != 0) break;
        p.srcname = srcname;
        p.body.assign(buffer, static_cast<std::size_t>(nbytes));
        got.push_back(p);
    }
    std::free(buffer);
    return got;
}

std::vector<int> ids(const std::vector<Packet> &packets) {
    std::vector<int> v;
    for (const Packet &p : packets) v.push_back(p.pktid);
    return v;
}

void expect_whole(const Packet &p) {
    EXPECT_EQ(p.srcname, kSources[static_cast<std::size_t>(p.pktid) % kSources.size()]);
    EXPECT_EQ(p.time, kFirstTime + p.pktid);
    EXPECT_EQ(p.body, vktest::body_of(p.pktid));
}

TEST_F(ClientCalls, ACopyFromTheOldestPacketLosesNothing) {
    const int orb = open_ring();
    ASSERT_GE(orb, 0);
    EXPECT_EQ(orbseek(orb, ORBOLDEST), 0);
    // The copier's order: position, select, look at the current packet, reap.
    EXPECT_EQ(orbselect(orb, const_cast<char *>(".*")), 0);
    int pktid = -1, nbytes = 0, bufsize = 0;
    char srcname[64];
    double time = 0;
    char *packet = nullptr;
    ASSERT_EQ(orbget(orb, ORBCURRENT, &pktid, srcname, &time, &packet, &nbytes, &bufsize), 0);
    EXPECT_EQ(pktid, 0);
    EXPECT_EQ(std::string(packet, static_cast<std::size_t>(nbytes)), vktest::body_of(0));
    std::free(packet);
    const std::vector<Packet> got = reap(orb, kPackets);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kPackets));
    for (int i = 0; i < kPackets; i++) {
        EXPECT_EQ(got[static_cast<std::size_t>(i)].pktid, i);
        expect_whole(got[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(orbclose(orb), 0);
    EXPECT_EQ(orbclose(orb), -1) << "closed already";
}

TEST_F(ClientCalls, ACopyAfterATimeStartsWithThePacketAfterIt) {
    const int orb = open_ring();
    EXPECT_EQ(orbafter(orb, kFirstTime + 14.5), 15);
    EXPECT_EQ(ids(reap(orb, 3)), (std::vector<int>{15, 16, 17}));
    EXPECT_LT(orbafter(orb, kFirstTime + 1e6), 0);
    orbclose(orb);
}

TEST_F(ClientCalls, ASelectionMadeAfterPositioningExcludesTheLandedPacket) {
    const int orb = open_ring();
    EXPECT_EQ(orbseek(orb, ORBOLDEST), 0);  // AA_BBB_HHZ
    EXPECT_EQ(orbselect(orb, const_cast<char *>("AA_.*")), 0);
    EXPECT_EQ(orbreject(orb, const_cast<char *>("AA_BBB_HHZ")), 0);
    EXPECT_EQ(ids(reap(orb, 3)), (std::vector<int>{1, 4, 7}));
    EXPECT_LT(orbselect(orb, const_cast<char *>("AA_(")), 0) << "an expression that does not compile";
    orbclose(orb);
}

TEST_F(ClientCalls, CallsDuringAReapPassOverTheStreamedPackets) {
    const int orb = open_ring();
    EXPECT_EQ(ids(reap(orb, 2)), (std::vector<int>{0, 1}));
    EXPECT_EQ(orbseek(orb, 30), 30) << "the reply, not a streamed packet";
    EXPECT_EQ(ids(reap(orb, 2)), (std::vector<int>{30, 31}));
    EXPECT_EQ(orbseek(orb, 5000), -1);
    orbclose(orb);
}

TEST_F(ClientCalls, OpensThatFail) {
    const std::string nobody = ":" + std::to_string(vktest::free_port());
    EXPECT_LT(orbopen(const_cast<char *>(nobody.c_str()), const_cast<char *>("r")), 0);
    EXPECT_LT(orbopen(const_cast<char *>(ring().c_str()), const_cast<char *>("w")), 0)
        << "vaultkeep refuses writing";
    EXPECT_LT(orbseek(12345, ORBOLDEST), 0) << "not a connection";
    const ChildResult r = in_child([&] {
        setenv("PFPATH", server_->dir().c_str(), 1);
        testsupport::replace_file(server_->file("ringhold_names.pf"),
                                "vault " + std::to_string(server_->port()) + " local ring\n");
        const int orb = orbopen(const_cast<char *>("localhost:vault"), const_cast<char *>("r"));
        out(std::to_string(orb >= 0) + " " +
            std::to_string(orbopen(const_cast<char *>("localhost:nosuchname"), const_cast<char *>("r")) < 0));
    });
    EXPECT_EQ(r.out, "1 1") << r.err;
}

TEST_F(ClientCalls, ResurrectionSavesThePositionFromTheFirstRun) {
    testsupport::ScratchDir state;
    const std::string file = state.file("state");
    auto run = [&](int copy) {
        return in_child([&] {
            int quit = 0;
            exhume(const_cast<char *>(file.c_str()), &quit, 1, nullptr);
            const int orb = open_ring();
            int pktid = -1;
            double time = 0;
            const int restored = orbresurrect(orb, &pktid, &time);
            if (restored != 0 && orbseek(orb, ORBOLDEST) != 0) _exit(3);
            std::string line = std::to_string(restored) + " " + std::to_string(pktid) + ":";
            for (const Packet &p : reap(orb, copy)) {
                pktid = p.pktid;
                time = p.time;
                line += " " + std::to_string(p.pktid);
            }
            bury();
            orbclose(orb);
            out(line);
        });
    };
    EXPECT_EQ(run(3).out, "-1 -1: 0 1 2") << "a first run starts at the oldest packet";
    const std::string saved = testsupport::read_file(file);
    EXPECT_NE(saved.find("pktid\t2"), std::string::npos) << saved;
    EXPECT_NE(saved.find("time\t"), std::string::npos) << saved;
    EXPECT_EQ(run(2).out, "0 2: 3 4") << "a restart goes on after the saved packet";
    EXPECT_EQ(run(1).out, "0 4: 5");

    // A saved id that now names a packet of another time: the first packet
    // after the saved time.
    testsupport::write_file(file, "pktid\t30\ntime\t" + std::to_string(kFirstTime + 9.5) + "\n");
    EXPECT_EQ(run(1).out, "0 30: 10");
}

TEST(ClientCallsSigned, SignedOpenThroughTheSigningDaemon) {
    quillmark::FakeSigner signer;
    ASSERT_TRUE(signer.ok());
    Server s;
    vktest::write_ring(s.ring(), 3, kSources);
    testsupport::write_file(s.file("sg.pf"), "server 127.0.0.1:" + std::to_string(signer.port()) + "\n");
    ASSERT_TRUE(s.start("valid_ip_addresses &Tbl{\n10.0.0.0 255.0.0.0\n}\n"));
    const std::string ring = ":" + std::to_string(s.port());
    const ChildResult r = in_child([&] {
        setenv("PFPATH", s.dir().c_str(), 1);
        const int plain = orbopen(const_cast<char *>(ring.c_str()), const_cast<char *>("r"));
        const int orb = orbsignedopen(const_cast<char *>(ring.c_str()), const_cast<char *>("r"),
                                      const_cast<char *>("alice"));
        out(std::to_string(plain < 0) + " " + std::to_string(orb >= 0) + " " +
            std::to_string(orbseek(orb, ORBNEWEST)));
    });
    EXPECT_EQ(r.out, "1 1 2") << r.err;
    ASSERT_EQ(signer.requests().size(), 2u);
    EXPECT_EQ(signer.requests()[0].verb, "sign");
    EXPECT_EQ(signer.requests()[0].length, 165);
    EXPECT_EQ(signer.requests()[1].verb, "verify");
    EXPECT_EQ(signer.requests()[1].data, signer.requests()[0].data) << "both sign one block";
}

TEST_F(ClientCalls, RingcatPrintsEachPacket) {
    auto ringcat = [&](const std::vector<std::string> &args) {
        return in_child([&] {
            std::vector<char *> argv{const_cast<char *>(RINGCAT_PROGRAM)};
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(const_cast<char *>(ring().c_str()));
            argv.push_back(nullptr);
            execv(RINGCAT_PROGRAM, argv.data());
            _exit(127);
        });
    };
    EXPECT_EQ(ringcat({"-n", "2"}).out,
              "0 AA_BBB_HHZ 1700000000.00000 512\n1 AA_CCC_HHZ 1700000001.00000 512\n");
    EXPECT_EQ(ringcat({"-a", "1700000036.5", "-l"}).out,
              "37 AA_CCC_HHZ 1700000037.00000 512\n38 XX_YYY_BHZ 1700000038.00000 512\n"
              "39 AA_BBB_HHZ 1700000039.00000 512\n");
    EXPECT_EQ(ringcat({"-N", "-s", "XX_.*", "-n", "1"}).out, "38 XX_YYY_BHZ 1700000038.00000 512\n");
    const ChildResult bad = ringcat({"-q"});
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_NE(bad.err.find("Usage: "), std::string::npos);
}

// A ring server that takes one writer: it answers the open and
// acknowledges each put, keeping the packets.
class WritableRing {
  public:
    WritableRing() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        ::bind(listener_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&sa), &len);
        name_ = ":" + std::to_string(ntohs(sa.sin_port));
        thread_ = std::thread([this] { serve(); });
    }
    ~WritableRing() {
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    const std::string &name() const { return name_; }
    // Waits for the writer to close; what it put.
    const std::vector<Packet> &finish() {
        thread_.join();
        return packets_;
    }
    char perm() const { return perm_; }

  private:
    void serve() {
        const int fd = ::accept(listener_, nullptr, nullptr);
        Bns *in = bnsnew(fd, 0);
        Bns *out = bnsnew(fd, 0);
        Orbrequest *q = newOrbrequest();
        Orbresponse *r = newOrbresponse();
        char sync[] = "orbm";
        while (gbnsSync(in, sync, 4, 1) == 0 && gbnsOrbrequest(in, q) == 0) {
            r->what = q->what;
            r->result = 0;
            if (q->what == ORBOPEN) perm_ = q->hello->perm;
            if (q->what == ORBPUTACK) {
                packets_.push_back({0, q->pkg->srcname, q->pkg->time,
                                    std::string(q->pkg->packet, static_cast<std::size_t>(q->pkg->packetsize))});
                r->pktid = static_cast<int>(packets_.size());
            }
            bnsput(out, sync, BNS_BYTES, 4);
            pbnsOrbresponse(out, r);
            bnsflush(out);
            if (q->what == ORBCLOSE) break;
        }
        freeOrbrequest(q);
        freeOrbresponse(r);
        bnsfree(in);
        bnsfree(out);
        ::close(fd);
    }

    int listener_ = -1;
    std::string name_;
    char perm_ = 0;
    std::vector<Packet> packets_;
    std::thread thread_;
};

TEST(ClientCallsLog, OrbelogPutsTheTextAsALogPacket) {
    WritableRing ring;
    const double before = static_cast<double>(time(nullptr));
    EXPECT_EQ(orbelog(const_cast<char *>(ring.name().c_str()), const_cast<char *>("/usr/bin/spillway"),
                      const_cast<char *>("disk nearly full\n")),
              0);
    const std::vector<Packet> &got = ring.finish();
    EXPECT_EQ(ring.perm(), 'w');
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].srcname, "spillway/log");
    EXPECT_EQ(got[0].body, "disk nearly full\n");
    EXPECT_GE(got[0].time, before - 1);
}

TEST(ClientCallsLog, WithoutARingTheTextGoesToStandardError) {
    const std::string nobody = ":" + std::to_string(vktest::free_port());
    const ChildResult r = in_child([&] {
        out(std::to_string(orbelog(const_cast<char *>(nobody.c_str()), const_cast<char *>("prog"),
                                   const_cast<char *>("lost line\n"))));
    });
    EXPECT_EQ(r.out, "-1");
    EXPECT_EQ(r.err, "prog: lost line\n");
}

TEST(ClientCallsLog, TheErrorLogRelaysThroughTheInstalledLibrary) {
    testsupport::ScratchDir root;
    std::filesystem::create_directories(root.file("lib"));
    std::filesystem::create_symlink(KESTREL_LIBRARY, root.file("lib/libkestrel.so.3"));
    WritableRing ring;
    const ChildResult r = in_child([&] {
        setenv("KORVANEL", root.path().c_str(), 1);
        setenv("ELOG_DELIVER", ("orb:" + ring.name()).c_str(), 1);
        elog_complain(0, "relayed complaint");
    });
    EXPECT_TRUE(r.exited);
    const std::vector<Packet> &got = ring.finish();
    ASSERT_EQ(got.size(), 1u) << r.err;
    EXPECT_EQ(got[0].srcname, testsupport::elog_program_name() + "/log");
    EXPECT_NE(got[0].body.find("relayed complaint"), std::string::npos) << got[0].body;
}

}  // namespace
