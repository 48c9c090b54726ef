// Hostile and failing clients, signals and exhausted resources: after each
// the server goes on serving its other clients.
#include <gtest/gtest.h>

#include <regex.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "child.h"
#include "costly_patterns.h"
#include "scratch_dir.h"
#include "vk_testing.h"

namespace {

using vktest::be32;
using vktest::Client;
using vktest::Server;

constexpr int kPackets = 30;
const std::vector<std::string> kSources = {"AA_BBB_HHZ", "AA_CCC_HHZ"};

int count_of(const std::string &text, const std::string &what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

class Faults : public vktest::SharedServer {
  protected:
    static void SetUpTestSuite() { start_shared(kPackets, kSources); }
    static void TearDownTestSuite() { stop_shared(); }
    void TearDown() override {
        EXPECT_TRUE(vktest::served(port())) << server_->log();
        EXPECT_EQ(server_->log().find("quitting because log has"), std::string::npos);
    }
};

TEST_F(Faults, ASilentClientIsClosedAfterTheTimeOut) {
    Client silent(port());
    ASSERT_TRUE(silent.connected());
    EXPECT_TRUE(vktest::served(port())) << "served while the silent client waits";
    EXPECT_TRUE(silent.closed_by_server(20000));
    EXPECT_TRUE(server_->log_shows("connection denied: bad request * unknown: -1"));
}

TEST_F(Faults, GarbageBeforeTheSyncWordIsPassedOver) {
    Client c(port());
    ASSERT_TRUE(c.open());
    ASSERT_TRUE(c.send_raw("garbage orb orbx \x01\x02"));
    ASSERT_TRUE(c.call(ORBGET, [](Orbrequest *r) { r->pktcode = 3; }));
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_EQ(c.resp()->pkg->pktid, 3);

    Client first(port());
    ASSERT_TRUE(first.send_raw("xxxx"));
    EXPECT_TRUE(first.closed_by_server()) << "a connection must begin with an open";
}

TEST_F(Faults, ABadHandshakeIsRefusedWithoutAReply) {
    Client c(port());
    c.req()->what = ORBOPEN;
    vktest::fill_hello(c.req(), 'r');
    std::memcpy(&c.req()->hello->handshake, "ormb", 4);
    ASSERT_TRUE(c.send());
    EXPECT_FALSE(c.receive(3000));
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_TRUE(server_->log_shows("127.0.0.1: connection denied: bad handshake"));
}

TEST_F(Faults, AHalfSentRecordBlocksNobody) {
    Client half(port());
    ASSERT_TRUE(half.open());
    ASSERT_TRUE(half.send_raw("orbm" + be32(ORBGET) + be32(4) + std::string("\0\0", 2)));
    for (int i = 0; i < 3; i++) EXPECT_TRUE(vktest::served(port()));
    // After the read time-out the rest is passed over, and the next whole
    // record is served.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_TRUE(half.call(ORBTELL));
    EXPECT_EQ(half.resp()->what, ORBTELL);
}

TEST_F(Faults, ADeclaredLengthOfTwoToThe31AllocatesNothing) {
    Client c(port());
    ASSERT_TRUE(c.open());
    const long before = vktest::resident_kb(server_->pid());
    ASSERT_TRUE(c.send_raw("orbm" + be32(ORBPUT) + be32(0x80000000u)));
    ASSERT_TRUE(c.call(ORBVERSION)) << "the next record is served";
    EXPECT_EQ(c.resp()->version, 7);
    EXPECT_LT(vktest::resident_kb(server_->pid()) - before, 16 * 1024);
}

TEST_F(Faults, TheTwelfthUnknownCodeEndsTheClient) {
    Client c(port());
    ASSERT_TRUE(c.open());
    for (int i = 1; i <= 11; i++) {
        ASSERT_TRUE(c.call(90 + i)) << i;
        EXPECT_EQ(c.resp()->result, -1);
        EXPECT_STREQ(c.resp()->errmsg, "unknown command");
    }
    ASSERT_TRUE(c.call(ORBVERSION)) << "still connected after eleven";
    ASSERT_TRUE(c.call(200));
    EXPECT_EQ(c.resp()->result, -1);
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_TRUE(server_->log_shows("more than 10 errors"));
}

TEST_F(Faults, SixtyInvalidSelectionsAreCountedAndAnswered) {
    int answered = 0;
    while (answered < 60) {
        Client c(port());
        ASSERT_TRUE(c.open());
        while (answered < 60 && c.call(ORBSELECT, [](Orbrequest *r) { vktest::replace(&r->select, "AA_(("); })) {
            EXPECT_EQ(c.resp()->result, 0);
            EXPECT_EQ(c.resp()->nselections, -1);
            answered++;
        }
    }
    EXPECT_TRUE(server_->running());
}

// Selections the regex engine would take minutes to hours (and gigabytes)
// over are refused at once, as selections that do not compile, and leave
// no thread of the server at work; an ordinary selection is served as ever.
TEST_F(Faults, CostlyPatternsAreRefusedAtOnce) {
    for (const std::string &pattern : testsupport::costly_patterns()) {
        for (int code : {ORBSELECT, ORBREJECT}) {
            SCOPED_TRACE(pattern + (code == ORBSELECT ? " as select" : " as reject"));
            Client c(port());
            ASSERT_TRUE(c.open());
            c.req()->what = code;
            vktest::replace(code == ORBSELECT ? &c.req()->select : &c.req()->reject, pattern.c_str());
            ASSERT_TRUE(c.send());
            ASSERT_TRUE(c.receive(5000)) << "no answer at once";
            EXPECT_EQ(c.resp()->what, code);
            EXPECT_EQ(c.resp()->nselections, -1);
            EXPECT_TRUE(server_->log_shows(std::string(code == ORBSELECT ? "selection" : "rejection") +
                                           " expression '" + pattern + "' refused: pattern too complex ("));
        }
    }
    const double before = vktest::cpu_seconds(server_->pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(vktest::cpu_seconds(server_->pid()) - before, 0.5) << "the server is still at work";
    Client c(port());
    ASSERT_TRUE(c.open());
    EXPECT_EQ(vktest::selected_sources(c, "AA_BBB_H.Z"),
              std::vector<std::string>(kPackets / 2, "AA_BBB_HHZ"));
}

// Selections of the kinds users write (lists of stations and packet types,
// classes, parts anchored and not) are served, each listing the packets
// whose whole source name the engine matches.
TEST(FaultsAlone, OrdinarySelectionsListTheirPackets) {
    const std::vector<std::string> &names = testsupport::source_names();
    Server s;
    vktest::write_ring(s.ring(), static_cast<int>(names.size()), names);
    ASSERT_TRUE(s.start());
    for (const std::string &select : testsupport::ordinary_selects()) {
        regex_t re;
        ASSERT_EQ(regcomp(&re, select.c_str(), REG_EXTENDED), 0) << select;
        std::vector<std::string> expected;
        for (const std::string &name : names)
            if (testsupport::matches_whole(re, name)) expected.push_back(name);
        regfree(&re);
        ASSERT_FALSE(expected.empty()) << select;
        Client c(s.port());
        ASSERT_TRUE(c.open());
        EXPECT_EQ(vktest::selected_sources(c, select.c_str()), expected) << select;
    }
    EXPECT_EQ(s.log().find("refused"), std::string::npos) << s.log();
}

TEST_F(Faults, ADisconnectDuringAReapIsQuiet) {
    Orbstat before;
    ASSERT_TRUE(vktest::status_of(port(), &before));
    {
        Client c(port());
        ASSERT_TRUE(c.open());
        c.req()->what = ORBREAP;
        c.req()->reap_maxpkts = 0;
        ASSERT_TRUE(c.send());
        for (int i = 0; i < 5; i++) ASSERT_TRUE(c.receive());
    }
    Orbstat after;
    EXPECT_TRUE(vktest::eventually([&] {
        return vktest::status_of(port(), &after) && after.nclients == before.nclients;
    }));
    EXPECT_EQ(server_->log().find("failed to send"), std::string::npos);
}

TEST(FaultsAlone, AClientThatStopsReadingIsDropped) {
    Server s;
    vktest::write_ring(s.ring(), 256, kSources, 0, 64 * 1024);  // 16 MB
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(vktest::served(s.port()));
    const int threads = s.settled_threads();
    Client c(s.port(), 4096);
    ASSERT_TRUE(c.open());
    c.req()->what = ORBREAP;
    c.req()->reap_maxpkts = 0;
    ASSERT_TRUE(c.send());
    EXPECT_TRUE(vktest::served(s.port())) << "served while the reap is stuck";
    // The send times out (the test's stream time-out is 2 s) and the
    // client's threads end.
    EXPECT_TRUE(vktest::eventually([&] { return s.threads() == threads; }, 30.0))
        << s.threads() << " threads, " << threads << " before";
    EXPECT_TRUE(s.log_shows("failed to send reap packet"));
    EXPECT_TRUE(vktest::served(s.port()));
}

TEST(FaultsAlone, TerminationSignalShutsDownAfterThreeSeconds) {
    Server s;
    vktest::write_ring(s.ring(), 3, kSources);
    ASSERT_TRUE(s.start());
    Client c(s.port());
    ASSERT_TRUE(c.open());
    const auto start = std::chrono::steady_clock::now();
    s.signal(SIGTERM);
    ASSERT_TRUE(s.log_shows("received signal #15=TERM: Terminated\n\tShutting down\n"));
    s.signal(SIGTERM);  // changes nothing
    Client late(s.port());
    EXPECT_TRUE(late.closed_by_server(5000)) << "no new client is served";
    EXPECT_EQ(s.wait_exit(30), 1) << s.log();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 2.5);
    EXPECT_NE(s.log().find("halted by signal #15\n"), std::string::npos) << s.log();
    EXPECT_EQ(count_of(s.log(), "received signal"), 1);
}

TEST(FaultsAlone, RunningOutOfDescriptors) {
    Server s;
    vktest::write_ring(s.ring(), kPackets, kSources);
    ASSERT_TRUE(s.start(vktest::loopback_pf(), {}, 40));
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 60; i++) {
        auto c = std::make_unique<Client>(s.port());
        c->req()->what = ORBOPEN;
        vktest::fill_hello(c->req(), 'r');
        ASSERT_TRUE(c->send());
        const bool answered = c->receive(1500);
        clients.push_back(std::move(c));
        if (!answered) break;
    }
    ASSERT_LT(clients.size(), 60u) << "the descriptors did not run out";
    // A burst of connections: they fail at the accept, or when their thread
    // reads the parameter file.
    std::vector<std::unique_ptr<Client>> burst;
    for (int i = 0; i < 30; i++) burst.push_back(std::make_unique<Client>(s.port()));
    EXPECT_TRUE(vktest::eventually([&] {
        return s.log().find("accept error") != std::string::npos ||
               s.log().find("Thread giving up") != std::string::npos;
    })) << s.log();
    burst.clear();
    // The clients in are still answered: a request that needs a descriptor
    // (a get that opens a segment file, a status) fails by itself.
    Client &first = *clients.front();
    ASSERT_TRUE(first.call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBOLDEST; }));
    ASSERT_TRUE(first.call(ORBVERSION));
    EXPECT_EQ(first.resp()->version, 7);
    ASSERT_TRUE(first.call(ORBSTAT));
    if (first.resp()->result != 0) {
        EXPECT_EQ(std::string(first.resp()->errmsg), "failed to open vaultkeep on " + s.ring());
    }
    // The accept loop backs off and reports once a second at most.
    const int reported = count_of(s.log(), "accept error");
    const auto since = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; i++) burst.push_back(std::make_unique<Client>(s.port()));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    EXPECT_LE(count_of(s.log(), "accept error") - reported, static_cast<int>(seconds) + 2);
    burst.clear();
    EXPECT_TRUE(s.running());
    clients.clear();
    EXPECT_TRUE(vktest::eventually([&] { return vktest::served(s.port()); }, 30.0)) << s.log();
}

TEST(FaultsAlone, AStatusRequestWhileTheDirectoryIsGoneFailsAlone) {
    Server s;
    vktest::write_ring(s.ring(), kPackets, kSources);
    ASSERT_TRUE(s.start());
    Client c(s.port());
    ASSERT_TRUE(c.open());
    std::filesystem::rename(s.ring(), s.ring() + ".away");
    ASSERT_TRUE(c.call(ORBSTAT));
    EXPECT_EQ(c.resp()->result, -1);
    EXPECT_EQ(std::string(c.resp()->errmsg), "failed to open vaultkeep on " + s.ring());
    EXPECT_TRUE(s.running());
    std::filesystem::rename(s.ring() + ".away", s.ring());
    ASSERT_TRUE(c.call(ORBSTAT));
    EXPECT_EQ(c.resp()->result, 0);
    EXPECT_EQ(c.resp()->orbstat.maxpkts, kPackets - 1);
}

TEST(FaultsAlone, StartUpRefusals) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-x", "ring"}, "Usage: "},
        {{}, "Usage: "},
        {{"ring:nosuchname"}, "Don't understand ringhold port 'nosuchname'"},
        {{std::string(5000, 'd') + ":7000"}, "Don't understand vaultkeep name"},
    };
    for (const Case &k : cases) {
        testsupport::ScratchDir dir;
        testsupport::write_file(dir.file("vaultkeep.pf"), vktest::loopback_pf());
        const testsupport::ChildResult r = testsupport::run_in_child([&] {
            if (chdir(dir.path().c_str()) != 0) _exit(3);
            setenv("PFPATH", dir.path().c_str(), 1);
            std::vector<char *> argv{const_cast<char *>(VAULTKEEP_PROGRAM)};
            for (const std::string &a : k.args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(VAULTKEEP_PROGRAM, argv.data());
            _exit(127);
        });
        EXPECT_EQ(r.exit_code, 1) << k.message;
        EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
    }
}

}  // namespace
