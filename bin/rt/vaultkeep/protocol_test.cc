// The ring-buffer protocol against a running vaultkeep over loopback TCP:
// the open, every request code with its reply, streaming, status and
// client lists, halt, kill and liveness.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fake_signer.h"
#include "kitbag.h"
#include "scratch_dir.h"
#include "torvik.h"
#include "vk_testing.h"

namespace {

using vktest::be32;
using vktest::Client;
using vktest::kFirstTime;
using vktest::Server;

constexpr int kPackets = 30;
const std::vector<std::string> kSources = {"AA_BBB_HHZ", "AA_CCC_HHZ", "XX_YYY_BHZ"};

class Protocol : public vktest::SharedServer {
  protected:
    static void SetUpTestSuite() { start_shared(kPackets, kSources); }
    static void TearDownTestSuite() { stop_shared(); }
    void SetUp() override {
        ASSERT_TRUE(server_->running()) << server_->log();
        testsupport::replace_file(server_->file("vaultkeep.pf"), vktest::loopback_pf());
    }


    // An open connection.
    static std::unique_ptr<Client> opened() {
        auto c = std::make_unique<Client>(port());
        EXPECT_TRUE(c->open());
        return c;
    }

};

// Calls code with pktcode on c; the reply's pktid.
int seek(Client &c, int pktcode) {
    EXPECT_TRUE(c.call(ORBSEEK, [pktcode](Orbrequest *r) { r->pktcode = pktcode; }));
    EXPECT_EQ(c.resp()->result, 0);
    return c.resp()->pktid;
}

void expect_packet(const Pktpkg *pkg, int pktid) {
    EXPECT_EQ(pkg->pktid, pktid);
    EXPECT_STREQ(pkg->srcname, kSources[static_cast<std::size_t>(pktid) % kSources.size()].c_str());
    EXPECT_EQ(pkg->srcnamesize, std::strlen(pkg->srcname) + 1);
    EXPECT_EQ(pkg->time, kFirstTime + pktid);
    EXPECT_EQ(std::string(pkg->packet, static_cast<std::size_t>(pkg->packetsize)),
              vktest::body_of(pktid));
}

// Reaps with the count; the pktids of the packets streamed up to the
// terminator (which is not included).
std::vector<int> counted_reap(Client &c, int count) {
    std::vector<int> ids;
    c.req()->what = ORBREAP;
    c.req()->reap_maxpkts = count;
    EXPECT_TRUE(c.send());
    while (c.receive()) {
        EXPECT_EQ(c.resp()->what, ORBREAP);
        if (c.resp()->pkg->pktid == ORBREAPEND) {
            EXPECT_EQ(c.resp()->pkg->packetsize, 0);
            EXPECT_STREQ(c.resp()->pkg->srcname, "");
            EXPECT_EQ(c.resp()->pkg->srcnamesize, 1);
            EXPECT_EQ(c.resp()->pkg->time, 0.0);
            return ids;
        }
        expect_packet(c.resp()->pkg, c.resp()->pkg->pktid);
        ids.push_back(c.resp()->pkg->pktid);
    }
    ADD_FAILURE() << "no terminator";
    return ids;
}

TEST_F(Protocol, OpenReplyCarriesTheStartTimes) {
    Client c(port());
    ASSERT_TRUE(c.open());
    EXPECT_EQ(c.resp()->what, ORBOPEN);
    EXPECT_EQ(c.resp()->orb_start, 794662200.0);
    EXPECT_GT(c.resp()->server_start, kFirstTime);
    EXPECT_EQ(c.resp()->latest_pktid, 0);
}

TEST_F(Protocol, GetAndSeekPosition) {
    auto c = opened();
    EXPECT_EQ(seek(*c, ORBOLDEST), 0);
    struct Case {
        int pktcode;
        int pktid;  // -1: refused
    } cases[] = {{ORBCURRENT, 0}, {ORBNEXT, 1}, {ORBNEXT, 2}, {ORBPREV, 1},
                 {17, 17},        {ORBNEWEST, kPackets - 1}, {ORBNEXT, -1}};
    for (const Case &k : cases) {
        ASSERT_TRUE(c->call(ORBGET, [&](Orbrequest *r) { r->pktcode = k.pktcode; }));
        EXPECT_EQ(c->resp()->what, ORBGET);
        if (k.pktid < 0) {
            EXPECT_EQ(c->resp()->result, -1) << k.pktcode;
            EXPECT_EQ(c->resp()->nerr, 0);
            EXPECT_STREQ(c->resp()->errmsg, "");
        } else {
            EXPECT_EQ(c->resp()->result, 0) << k.pktcode;
            expect_packet(c->resp()->pkg, k.pktid);
        }
    }
    ASSERT_TRUE(c->call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBSTASHPKT; }));
    EXPECT_EQ(c->resp()->result, -1);
    EXPECT_STREQ(c->resp()->errmsg, "no get stash");
    EXPECT_EQ(c->resp()->nerr, 12);

    EXPECT_EQ(seek(*c, 4), 4);
    EXPECT_LT(seek(*c, 5000), 0) << "no such packet: result 0, a negative pktid";
    ASSERT_TRUE(c->call(ORBTELL));
    EXPECT_EQ(c->resp()->pktid, 4) << "the position is unchanged";
    ASSERT_TRUE(c->call(ORBGET2, [](Orbrequest *r) { r->pktcode = 9; }));
    EXPECT_EQ(c->resp()->what, ORBGET2);
    expect_packet(c->resp()->pkg, 9);
}

TEST_F(Protocol, AfterPositionsOnTheFirstLaterPacket) {
    auto c = opened();
    ASSERT_TRUE(c->call(ORBAFTER, [](Orbrequest *r) { r->time = kFirstTime + 9.5; }));
    EXPECT_EQ(c->resp()->result, 0);
    EXPECT_EQ(c->resp()->pktid, 10);
    ASSERT_TRUE(c->call(ORBTELL));
    EXPECT_EQ(c->resp()->pktid, 10);
    ASSERT_TRUE(c->call(ORBAFTER, [](Orbrequest *r) { r->time = kFirstTime + 1e6; }));
    EXPECT_EQ(c->resp()->result, -1);
    EXPECT_EQ(c->resp()->nerr, 0);
}

TEST_F(Protocol, CountedReapStartsOnTheLandedPacketAndEndsWithATerminator) {
    auto c = opened();
    EXPECT_EQ(seek(*c, ORBOLDEST), 0);
    EXPECT_EQ(counted_reap(*c, 3), (std::vector<int>{0, 1, 2}));
    ASSERT_TRUE(c->call(ORBTELL));
    EXPECT_EQ(c->resp()->pktid, ORBREAPEND);
    EXPECT_EQ(counted_reap(*c, 2), (std::vector<int>{3, 4})) << "a new reap goes on";
    ASSERT_TRUE(c->call(ORBAFTER, [](Orbrequest *r) { r->time = kFirstTime + 19.5; }));
    EXPECT_EQ(counted_reap(*c, 2), (std::vector<int>{20, 21}));
}

// The client's own record in the client list, as another request sees it.
Orbclient own_record(Client &c) {
    Orbclient found{};
    if (!c.call(ORBMYTHREAD)) return found;
    const int thread = c.resp()->thread;
    if (!c.call(ORBCLIENTS)) return found;
    for (int i = 0; i < c.resp()->nclient; i++)
        if (c.resp()->client[i].thread == thread) found = c.resp()->client[i];
    return found;
}

TEST_F(Protocol, PacketsThatFollowOneAnotherShareSends) {
    auto c = opened();
    EXPECT_EQ(seek(*c, ORBOLDEST), 0);
    const Orbclient before = own_record(*c);
    std::vector<int> all(kPackets);
    for (int i = 0; i < kPackets; i++) all[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(counted_reap(*c, kPackets), all);
    const Orbclient after = own_record(*c);
    // Every packet and the terminator counted, in a few writes: the
    // replies to the two list requests and the stream.
    EXPECT_EQ(after.packets - before.packets, static_cast<unsigned>(kPackets) + 1);
    EXPECT_EQ(after.bytes - before.bytes, static_cast<unsigned>(kPackets) * 512u);
    EXPECT_LE(after.nwrites - before.nwrites, 4u);
    EXPECT_EQ(after.pktid, ORBREAPEND);
}

TEST_F(Protocol, ReapFollowsTheSelectionInForceWhenItStarts) {
    auto c = opened();
    EXPECT_EQ(seek(*c, ORBOLDEST), 0);  // an AA_BBB_HHZ packet
    ASSERT_TRUE(c->call(ORBSELECT, [](Orbrequest *r) { vktest::replace(&r->select, "AA_.*"); }));
    EXPECT_EQ(c->resp()->nselections, 0);
    ASSERT_TRUE(c->call(ORBREJECT, [](Orbrequest *r) { vktest::replace(&r->reject, "AA_BBB_HHZ"); }));
    EXPECT_EQ(c->resp()->nselections, 0);
    EXPECT_EQ(counted_reap(*c, 3), (std::vector<int>{1, 4, 7}));
    ASSERT_TRUE(c->call(ORBREJECT, [](Orbrequest *r) { vktest::replace(&r->reject, ""); }));
    EXPECT_EQ(counted_reap(*c, 2), (std::vector<int>{9, 10}));
}

TEST_F(Protocol, UnlimitedReapStreamsUntilTheNextRequest) {
    auto c = opened();
    c->req()->what = ORBREAP2;
    c->req()->reap_maxpkts = 0;
    ASSERT_TRUE(c->send());
    for (int i = 0; i < 10; i++) {
        ASSERT_TRUE(c->receive());
        EXPECT_EQ(c->resp()->what, ORBREAP2);
        expect_packet(c->resp()->pkg, i);
    }
    c->req()->what = ORBVERSION;
    ASSERT_TRUE(c->send());
    int streamed = 0;
    while (c->receive() && c->resp()->what == ORBREAP2) streamed++;
    EXPECT_EQ(c->resp()->what, ORBVERSION);
    EXPECT_EQ(c->resp()->version, 7);
    EXPECT_LE(streamed, kPackets - 10);
    EXPECT_FALSE(c->receive(1500)) << "nothing follows the reply";
}

TEST_F(Protocol, ReapAtTheEndSendsANewPacketWithinAboutASecond) {
    auto c = opened();
    EXPECT_EQ(seek(*c, ORBNEWEST), kPackets - 1);
    ASSERT_TRUE(c->call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBCURRENT; }));
    c->req()->what = ORBREAP;
    c->req()->reap_maxpkts = -1;
    ASSERT_TRUE(c->send());
    ASSERT_TRUE(c->receive());
    EXPECT_EQ(c->resp()->pkg->pktid, kPackets - 1) << "the landed packet first";
    EXPECT_FALSE(c->receive(1500));
    vktest::write_ring(server_->ring(), 1, kSources, kPackets);
    ASSERT_TRUE(c->receive(5000));
    expect_packet(c->resp()->pkg, kPackets);
}

TEST_F(Protocol, SelectionKeepsItsFirst95CharactersInTheClientRecord) {
    std::string expression = "AA_BBB_HHZ";
    while (expression.size() < 200) expression += "|Q";
    auto c = opened();
    ASSERT_TRUE(c->call(ORBSELECT, [&](Orbrequest *r) { vktest::replace(&r->select, expression.c_str()); }));
    EXPECT_EQ(c->resp()->nselections, 0);
    ASSERT_TRUE(c->call(ORBMYTHREAD));
    const int thread = c->resp()->thread;
    ASSERT_TRUE(c->call(ORBCLIENTS));
    const Orbclient *me = nullptr;
    for (int i = 0; i < c->resp()->nclient; i++)
        if (c->resp()->client[i].thread == thread) me = &c->resp()->client[i];
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(me->nselect, 95);
    EXPECT_EQ(std::string(me->select), expression.substr(0, 95));
    EXPECT_EQ(counted_reap(*c, 2), (std::vector<int>{0, 3})) << "the whole expression applies";
}

TEST_F(Protocol, StatusDescribesTheServerAndTheDirectory) {
    auto c = opened();
    ASSERT_TRUE(c->call(ORBSTAT));
    const Orbstat &s = c->resp()->orbstat;
    EXPECT_EQ(c->resp()->result, 0);
    EXPECT_EQ(s.port, port());
    EXPECT_EQ(s.pid, server_->pid());
    EXPECT_GE(s.nclients, 1);
    EXPECT_GE(s.opens, 1);
    EXPECT_GE(s.maxsrc, 1);
    EXPECT_GT(s.maxdata, 30u * 512u);
    EXPECT_GE(s.maxpkts, kPackets - 1);
    EXPECT_EQ(s.orb_start, 794662200.0);
    EXPECT_EQ(std::string(s.version).rfind("* Release 7.2.3 ", 0), 0u) << s.version;
    EXPECT_NE(std::string(s.host).find(":" + server_->dir()), std::string::npos) << s.host;
    EXPECT_STRNE(s.who, "");
    EXPECT_LT(std::fabs(s.when - static_cast<double>(time(nullptr))), 60.0);
    EXPECT_LE(s.started, s.when);
}

TEST_F(Protocol, ClientAndSourceLists) {
    auto a = opened();
    auto b = opened();
    ASSERT_TRUE(b->call(ORBGET, [](Orbrequest *r) { r->pktcode = 3; }));
    ASSERT_TRUE(b->call(ORBMYTHREAD));
    const int bthread = b->resp()->thread;
    ASSERT_TRUE(a->call(ORBCLIENTS));
    EXPECT_GT(a->resp()->client_when, kFirstTime);
    ASSERT_GE(a->resp()->nclient, 2);
    bool seen = false;
    for (int i = 0; i < a->resp()->nclient; i++) {
        const Orbclient &k = a->resp()->client[i];
        if (k.thread != bthread) continue;
        seen = true;
        EXPECT_EQ(k.pktid, 3);
        EXPECT_EQ(k.packets, 1u);
        EXPECT_EQ(k.bytes, 512u);
        EXPECT_EQ(k.lastpkt, kFirstTime + 3);
        EXPECT_EQ(k.lastrequest, ORBMYTHREAD);
        EXPECT_EQ(k.nrequests, 3u);
        EXPECT_STREQ(k.who, "tester");
        EXPECT_STREQ(k.what, "vaultkeep test client");
        EXPECT_STREQ(k.host, "?");
        EXPECT_EQ(k.perm, 'r');
        EXPECT_EQ(std::memcmp(k.address, "\x7f\0\0\1", 4), 0);
        EXPECT_GT(k.port, 0);
        EXPECT_GT(k.fd, 2);
    }
    EXPECT_TRUE(seen);
    ASSERT_TRUE(a->call(ORBSOURCES));
    EXPECT_EQ(a->resp()->result, 0);
    EXPECT_EQ(a->resp()->nsource, 0);
    EXPECT_GT(a->resp()->source_when, kFirstTime);
}

TEST_F(Protocol, SmallRequests) {
    auto c = opened();
    struct Case {
        int code;
        int value;  // field set in the request
        int result;
        const char *errmsg;
    } cases[] = {
        {ORBPUT, 0, -1, "no writing to vaultkeep"},
        {ORBPUT2, 0, -1, "no writing to vaultkeep"},
        {ORBSTASHOP, 0, -1, "no stash operations"},
        {ORBLOGGING, 7, -1, "unknown logging flag"},
        {ORBLOGGING, -3, 0, ""},
        {ORBLOGGING, -1, 0, ""},
        {ORBSETPRIO, 5, 0, ""},
        {ORBOPEN, 0, -1, "unknown command"},
        {ORBCHALLENGE, 0, -1, "unknown command"},
        {ORBPUTACK, 0, -1, "unknown command"},
        {77, 0, -1, "unknown command"},
    };
    for (const Case &k : cases) {
        ASSERT_TRUE(c->call(k.code, [&](Orbrequest *r) {
            r->logflag = k.value;
            r->newpri = k.value;
            if (k.code == ORBPUT || k.code == ORBPUT2 || k.code == ORBPUTACK) {
                if (r->pkg == nullptr) r->pkg = newPktpkg();
                std::strcpy(r->pkg->srcname, "AA_BBB_HHZ");
            }
            if (k.code == ORBOPEN) vktest::fill_hello(r, 'r');
        })) << k.code;
        EXPECT_EQ(c->resp()->what, k.code);
        EXPECT_EQ(c->resp()->result, k.result) << k.code;
        if (k.result != 0) {
            EXPECT_STREQ(c->resp()->errmsg, k.errmsg) << k.code;
            EXPECT_EQ(c->resp()->nerr, static_cast<int>(std::strlen(k.errmsg)));
        }
    }
    ASSERT_TRUE(c->call(ORBVERSION));
    EXPECT_EQ(c->resp()->version, 7);
    for (int flag : {1, 2, 3, -1, 0}) {
        ASSERT_TRUE(c->call(ORBSTASHFLAG, [flag](Orbrequest *r) { r->stashflag = flag; }));
        const int expected = flag == 3 || flag == -1 ? 2 : flag;
        EXPECT_EQ(c->resp()->stashflag, expected) << flag;
    }
    ASSERT_TRUE(c->call(ORBCLOSE));
    EXPECT_EQ(c->resp()->result, 0);
    EXPECT_TRUE(c->closed_by_server());
}

TEST_F(Protocol, KillEndsTheNamedClientOnly) {
    auto a = opened();
    auto b = opened();
    ASSERT_TRUE(b->call(ORBMYTHREAD));
    const int bthread = b->resp()->thread;
    ASSERT_TRUE(a->call(ORBKILL, [](Orbrequest *r) { r->thread = 999999; }));
    EXPECT_EQ(a->resp()->result, 0);
    ASSERT_TRUE(b->call(ORBVERSION)) << "a kill of nobody changes nothing";
    ASSERT_TRUE(a->call(ORBKILL, [bthread](Orbrequest *r) { r->thread = bthread; }));
    EXPECT_EQ(a->resp()->result, 0);
    EXPECT_TRUE(b->closed_by_server());
    ASSERT_TRUE(a->call(ORBVERSION));
    EXPECT_TRUE(server_->log_shows("kill " + std::to_string(bthread)));
    ASSERT_TRUE(a->call(ORBMYTHREAD));
    const int athread = a->resp()->thread;
    ASSERT_TRUE(a->call(ORBKILL, [athread](Orbrequest *r) { r->thread = athread; }));
    EXPECT_EQ(a->resp()->result, 0) << "a client that kills itself gets the reply";
    EXPECT_TRUE(a->closed_by_server());
}

TEST_F(Protocol, LivenessAnswersAndEndsTheConnection) {
    auto a = opened();
    EXPECT_EQ(seek(*a, 12), 12);
    ASSERT_TRUE(a->call(ORBMYTHREAD));
    const int athread = a->resp()->thread;
    Orbstat before;
    ASSERT_TRUE(vktest::status_of(port(), &before));
    struct Case {
        int athread;
        int active;
        int latest;
    } cases[] = {{athread, 1, 12}, {0, 0, -2}, {-5, 0, -2}, {999999, 0, -2}};
    for (const Case &k : cases) {
        Client r(port());
        ASSERT_TRUE(r.call(ORBRUP, [&](Orbrequest *q) {
            vktest::fill_hello(q, 'r');
            q->athread = k.athread;
        }));
        EXPECT_EQ(r.resp()->what, ORBRUP);
        EXPECT_EQ(r.resp()->result, 0);
        EXPECT_EQ(r.resp()->active, k.active) << k.athread;
        EXPECT_EQ(r.resp()->latest_pktid, k.latest) << k.athread;
        EXPECT_EQ(r.resp()->orb_start, 794662200.0);
        EXPECT_TRUE(r.closed_by_server());
    }
    Orbstat after;
    ASSERT_TRUE(vktest::status_of(port(), &after));
    EXPECT_EQ(after.rejected, before.rejected) << "liveness is not a refusal";
}

TEST_F(Protocol, ChallengeCarriesTheAddressAndTheTime) {
    Client c(port());
    ASSERT_TRUE(c.call(ORBCHALLENGE));
    EXPECT_EQ(c.resp()->what, ORBCHALLENGE);
    EXPECT_EQ(std::memcmp(c.resp()->challenge, "\x7f\0\0\1", 4), 0);
    unsigned char *cursor = reinterpret_cast<unsigned char *>(c.resp()->challenge + 4);
    double when = 0;
    md2hd(&cursor, &when, 1);
    EXPECT_LT(std::fabs(when - static_cast<double>(time(nullptr))), 60.0);
    ASSERT_TRUE(c.open()) << "then the open is served";
    EXPECT_EQ(c.resp()->what, ORBOPEN);
}

// ---- access control, each with a parameter file of its own ----

TEST_F(Protocol, AddressesOutsideTheListAreRefused) {
    struct Case {
        std::string message;
        std::string errmsg;
        int nerr;
    } cases[] = {
        {"", "", 0},
        {"reject_message x\n", "", 0},
        {"reject_message go away\n", "go away", 8},
        {"reject_message " + std::string(600, 'm') + "\n", std::string(511, 'm'), 512},
    };
    for (const Case &k : cases) {
        testsupport::replace_file(server_->file("vaultkeep.pf"),
                                "valid_ip_addresses &Tbl{\n10.0.0.0 255.0.0.0\n}\n" + k.message);
        Client c(port());
        EXPECT_FALSE(c.open());
        EXPECT_EQ(c.resp()->what, ORBOPEN);
        EXPECT_EQ(c.resp()->result, -1);
        EXPECT_EQ(std::string(c.resp()->errmsg), k.errmsg);
        EXPECT_EQ(c.resp()->nerr, k.nerr);
        EXPECT_TRUE(c.closed_by_server());
    }
    EXPECT_TRUE(server_->log_shows("127.0.0.1: connection denied: permission denied (ip)"));
}

TEST_F(Protocol, RefusalsAreCountedAsRejected) {
    Orbstat before, after;
    ASSERT_TRUE(vktest::status_of(port(), &before));
    {
        Client w(port());
        EXPECT_FALSE(w.open('w'));
        EXPECT_EQ(w.resp()->result, -1);
        EXPECT_TRUE(w.closed_by_server());
    }
    EXPECT_TRUE(server_->log_shows("127.0.0.1: connection denied: attempt to open for writing"));
    {
        Client silent(port());  // sends nothing and goes
    }
    EXPECT_TRUE(server_->log_shows("127.0.0.1: connection denied: bad request * unknown: -1"));
    testsupport::replace_file(server_->file("vaultkeep.pf"),
                            "valid_ip_addresses &Tbl{\n127.0.0.1 255.255.255.255 AA_(\n}\n");
    {
        Client bad(port());
        EXPECT_FALSE(bad.open());
        EXPECT_EQ(bad.resp()->result, -1) << "a restriction that does not compile refuses";
        EXPECT_TRUE(bad.closed_by_server());
    }
    EXPECT_TRUE(server_->log_shows(
        "127.0.0.1: connection denied: bad regular expression 'AA_(' in parameter file"));
    testsupport::replace_file(server_->file("vaultkeep.pf"), vktest::loopback_pf());
    ASSERT_TRUE(vktest::eventually([&] {
        return vktest::status_of(port(), &after) && after.rejected == before.rejected + 3;
    }));
}

TEST_F(Protocol, AReadOnlyClientCannotHalt) {
    testsupport::replace_file(server_->file("vaultkeep.pf"),
                            "valid_ip_addresses &Tbl{\n127.0.0.1 255.255.255.255 readonly\n}\n");
    Client c(port());
    ASSERT_TRUE(c.open());
    ASSERT_TRUE(c.call(ORBHALT));
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_TRUE(server_->log_shows("*halt failed due to permissions*"));
    testsupport::replace_file(server_->file("vaultkeep.pf"), vktest::loopback_pf());
    auto d = opened();
    ASSERT_TRUE(d->call(ORBVERSION)) << "the server goes on";
}

// ---- servers of their own ----

// CPU seconds the process has used.
double cpu_seconds(pid_t pid) {
    const std::string stat = testsupport::read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    unsigned long utime = 0, stime = 0;
    std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(ProtocolWait, AGetOfTheNextPacketWaitsQuietlyAndNoticesAClientThatGoes) {
    Server s;
    vktest::write_ring(s.ring(), 3, kSources);
    ASSERT_TRUE(s.start());
    {
        Client c(s.port());
        ASSERT_TRUE(c.open());
        ASSERT_TRUE(c.call(ORBSEEK, [](Orbrequest *r) { r->pktcode = ORBNEWEST; }));
        c.req()->what = ORBGET;
        c.req()->pktcode = ORBNEXT_WAIT;
        ASSERT_TRUE(c.send());
        const double cpu = cpu_seconds(s.pid());
        EXPECT_FALSE(c.receive(2000));
        EXPECT_LT(cpu_seconds(s.pid()) - cpu, 0.5) << "the wait sleeps between tries";
        vktest::write_ring(s.ring(), 1, kSources, 3);
        ASSERT_TRUE(c.receive(5000));
        EXPECT_EQ(c.resp()->result, 0);
        expect_packet(c.resp()->pkg, 3);
    }
    const int threads = s.settled_threads();
    {
        Client gone(s.port());
        ASSERT_TRUE(gone.open());
        ASSERT_TRUE(gone.call(ORBSEEK, [](Orbrequest *r) { r->pktcode = ORBNEWEST; }));
        gone.req()->what = ORBGET;
        gone.req()->pktcode = ORBNEXT_WAIT;
        ASSERT_TRUE(gone.send());
        EXPECT_FALSE(gone.receive(500));
    }
    EXPECT_TRUE(vktest::eventually([&] { return s.threads() < threads + 1; }, 10.0))
        << "the waiting thread ends with its client";
}

TEST(ProtocolStatus, PacketsOfOneTimeSpanTheWholeIdSpace) {
    Server s;
    const std::string dir = s.ring();
    std::filesystem::create_directories(dir);
    const int orb = torvikopen(const_cast<char *>(dir.c_str()), const_cast<char *>("b"));
    ASSERT_GE(orb, 0);
    std::string body = vktest::body_of(0);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(torvikput(orb, const_cast<char *>("AA_BBB_HHZ"), kFirstTime, body.data(), 512), 0);
    torvikclose(orb);
    ASSERT_TRUE(s.start());
    Orbstat status;
    ASSERT_TRUE(vktest::status_of(s.port(), &status));
    EXPECT_EQ(status.maxpkts, 2 + 2147483000);
}

TEST(ProtocolHalt, HaltEndsTheProcessWithStatusZero) {
    Server s;
    vktest::write_ring(s.ring(), 3, kSources);
    ASSERT_TRUE(s.start());
    Client c(s.port());
    ASSERT_TRUE(c.open());
    ASSERT_TRUE(c.call(ORBHALT));
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_TRUE(c.closed_by_server());
    Client late(s.port());
    EXPECT_TRUE(late.closed_by_server(10000)) << "no new connection is served";
    EXPECT_EQ(s.wait_exit(30), 0);
    EXPECT_NE(s.log().find("Exiting due to halt\n"), std::string::npos);
}

TEST(ProtocolSigned, SignedOpenEchoesTheChallengeOfItsConnection) {
    quillmark::FakeSigner signer;
    ASSERT_TRUE(signer.ok());
    Server s;
    vktest::write_ring(s.ring(), 3, kSources);
    testsupport::write_file(s.file("sg.pf"), "server 127.0.0.1:" + std::to_string(signer.port()) + "\n");
    // No address is admitted: only signed opens get in.
    ASSERT_TRUE(s.start("valid_ip_addresses &Tbl{\n10.0.0.0 255.0.0.0\n}\n"
                        "restrict &Arr{\nalice readonly\n}\n"));

    auto signed_open = [&](Client &c, const std::string &name, const char *challenge) {
        Orbrequest *r = c.req();
        vktest::fill_hello(r, 'r');
        std::memcpy(r->challenge, challenge, 12);
        std::string block(1, r->hello->perm);
        block += std::string(r->hello->what, sizeof r->hello->what);
        block += std::string(r->hello->who, sizeof r->hello->who);
        block += std::string(challenge, 12);
        std::snprintf(r->signer, sizeof r->signer, "%s", name.c_str());
        std::snprintf(r->signature, sizeof r->signature, "%s",
                      quillmark::FakeSigner::signature_of(name, block).c_str());
        return c.call(ORBSIGNEDOPEN) && c.resp()->result == 0;
    };

    char first[12];
    {
        Client c(s.port());
        ASSERT_TRUE(c.call(ORBCHALLENGE));
        std::memcpy(first, c.resp()->challenge, 12);
        ASSERT_TRUE(signed_open(c, "alice", first));
        EXPECT_EQ(c.resp()->what, ORBSIGNEDOPEN);
        ASSERT_TRUE(c.call(ORBHALT));
        EXPECT_TRUE(c.closed_by_server()) << "alice is restricted to reading";
    }
    {
        Client replay(s.port());
        ASSERT_TRUE(replay.call(ORBCHALLENGE));
        EXPECT_FALSE(signed_open(replay, "alice", first)) << "an old challenge is refused";
        EXPECT_EQ(replay.resp()->result, -1);
    }
    {
        Client unchallenged(s.port());
        EXPECT_FALSE(signed_open(unchallenged, "alice", first));
    }
    {
        Client bob(s.port());
        ASSERT_TRUE(bob.call(ORBCHALLENGE));
        char mine[12];
        std::memcpy(mine, bob.resp()->challenge, 12);
        ASSERT_TRUE(signed_open(bob, "bob", mine));
        ASSERT_TRUE(bob.call(ORBVERSION)) << "bob has no restriction";
    }
    {
        Client forged(s.port());
        ASSERT_TRUE(forged.call(ORBCHALLENGE));
        vktest::fill_hello(forged.req(), 'r');
        std::memcpy(forged.req()->challenge, forged.resp()->challenge, 12);
        std::strcpy(forged.req()->signer, "alice");
        std::strcpy(forged.req()->signature, "0000000000000000");
        ASSERT_TRUE(forged.call(ORBSIGNEDOPEN));
        EXPECT_EQ(forged.resp()->result, -1);
    }
    {
        // A signer name beyond its bound never reaches the daemon.
        Client longname(s.port());
        ASSERT_TRUE(longname.call(ORBCHALLENGE));
        const std::string body = std::string("orbm") + be32(1) + "r" + be32(0) + be32(0) +
                                 be32(100) + std::string(100, 's') + be32(0) + std::string(12, 'c');
        ASSERT_TRUE(longname.send_raw("orbm" + be32(ORBSIGNEDOPEN) + be32(body.size()) + body));
        EXPECT_TRUE(longname.closed_by_server());
    }
    EXPECT_TRUE(s.log_shows("127.0.0.1: connection denied: permission denied (quillmark)"));
    const int verifications = static_cast<int>(signer.requests().size());
    EXPECT_EQ(verifications, 3) << "alice, bob and the forged signature";
}

TEST(ProtocolSigned, AnUnreachableSigningDaemonRefuses) {
    Server s;
    vktest::write_ring(s.ring(), 3, kSources);
    testsupport::write_file(s.file("sg.pf"), "server 127.0.0.1:" + std::to_string(vktest::free_port()) + "\n");
    ASSERT_TRUE(s.start());
    Client c(s.port());
    ASSERT_TRUE(c.call(ORBCHALLENGE));
    vktest::fill_hello(c.req(), 'r');
    std::memcpy(c.req()->challenge, c.resp()->challenge, 12);
    std::strcpy(c.req()->signer, "alice");
    std::strcpy(c.req()->signature, "abc");
    ASSERT_TRUE(c.call(ORBSIGNEDOPEN));
    EXPECT_EQ(c.resp()->result, -1);
}

}  // namespace
