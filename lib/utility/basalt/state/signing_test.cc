// Tests of the signing client against a stand-in daemon on the loopback.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../../../../platform/quillmark/fake_signer.cc"
#include "bns.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"
#include "signing.h"

namespace {

using quillmark::Behaviour;
using quillmark::FakeSigner;
using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::ScratchDir;
using testsupport::write_file;

// Each test runs its calls in a child: the daemon's address is read once
// per process. The child works in a scratch directory that is also the
// parameter-file path.
class SigningTest : public ::testing::Test {
  protected:
    ChildResult run(const std::function<void()> &body) {
        const std::string dir = dir_.path();
        return in_child([&] {
            if (chdir(dir.c_str()) != 0) std::_Exit(3);
            setenv("PFPATH", dir.c_str(), 1);
            unsetenv("BNS_TIMEOUT");
            body();
        });
    }
    void write_sgpf(const std::string &server) {
        write_file(dir_.file("sg.pf"), "server " + server + "\n");
    }
    static std::string loopback(const FakeSigner &s) {
        return "127.0.0.1:" + std::to_string(s.port());
    }
    ScratchDir dir_;
};

void expect_clean(const ChildResult &r) {
    EXPECT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(SigningTest, SignSendsRequestAndReturnsSignature) {
    const ChildResult r = run([&] {
        FakeSigner signer;
        ASSERT_TRUE(signer.ok());
        write_sgpf(loopback(signer));
        std::string data("abc\0def\nxyz", 11);
        char sig[SG_MAX_SIGNATURE + 1];
        const int rc = sgsign(const_cast<char *>("alice"), data.data(), 11, sig);
        out(std::to_string(rc) + "|" + sig + "|");
        const auto reqs = signer.requests();
        if (reqs.size() == 1) {
            const auto &q = reqs[0];
            out(q.verb + "|" + q.signer + "|" + std::to_string(q.length) + "|" +
                (q.data == data ? "same" : "differs") + "|" + (sig == FakeSigner::signature_of("alice", data) ? "ok" : "bad"));
        }
    });
    expect_clean(r);
    EXPECT_EQ(r.out.substr(0, 2), "0|");
    EXPECT_NE(r.out.find("|sign|alice|11|same|ok"), std::string::npos) << r.out;
}

TEST_F(SigningTest, VerifyGoodAndBadSignature) {
    const ChildResult r = run([&] {
        FakeSigner signer;
        write_sgpf(loopback(signer));
        char data[] = "payload";
        std::string good = FakeSigner::signature_of("bob", "payload");
        const int ok = sgverify(const_cast<char *>("bob"), data, 7, good.data());
        char bad[] = "0000";
        const int no = sgverify(const_cast<char *>("bob"), data, 7, bad);
        out(std::to_string(ok) + " " + std::to_string(no));
    });
    expect_clean(r);
    EXPECT_EQ(r.out, "1 0");
}

TEST_F(SigningTest, VerifyReplyLines) {
    struct Case {
        const char *reply;
        int expected;
    };
    const Case cases[] = {{"1\n", 1}, {"0\n", 0}, {"\n", 0}, {"yes\n", 0}, {"7\n", 7}, {"-3\n", -3}};
    for (const Case &c : cases) {
        const ChildResult r = run([&] {
            FakeSigner signer;
            signer.set_reply(c.reply);
            write_sgpf(loopback(signer));
            char data[] = "d";
            char sig[] = "s";
            out(std::to_string(sgverify(const_cast<char *>("k"), data, 1, sig)));
        });
        expect_clean(r);
        EXPECT_EQ(r.out, std::to_string(c.expected)) << "reply " << c.reply;
    }
}

TEST_F(SigningTest, LongSignatureIsSentCutTo512) {
    const ChildResult r = run([&] {
        FakeSigner signer;
        write_sgpf(loopback(signer));
        std::string sig(700, 'x');
        char data[] = "d";
        sgverify(const_cast<char *>("k"), data, 1, sig.data());
        const auto reqs = signer.requests();
        out(reqs.size() == 1 ? std::to_string(reqs[0].signature.size()) : "none");
    });
    expect_clean(r);
    EXPECT_EQ(r.out, "512");
}

TEST_F(SigningTest, LongSignatureReplyIsCutTo512) {
    const ChildResult r = run([&] {
        FakeSigner signer;
        signer.set_reply(std::string(600, 'y') + "\n");
        write_sgpf(loopback(signer));
        char sig[SG_MAX_SIGNATURE + 1];
        char data[] = "d";
        const int rc = sgsign(const_cast<char *>("k"), data, 1, sig);
        out(std::to_string(rc) + " " + std::to_string(std::strlen(sig)));
    });
    expect_clean(r);
    EXPECT_EQ(r.out, "0 512");
}

TEST_F(SigningTest, NoReply) {
    const Behaviour behaviours[] = {Behaviour::kClose, Behaviour::kHang};
    for (Behaviour b : behaviours) {
        const ChildResult r = run([&] {
            FakeSigner signer;
            signer.set_behaviour(b);
            write_sgpf(loopback(signer));
            setenv("BNS_TIMEOUT", "200", 1);
            char sig[SG_MAX_SIGNATURE + 1];
            char data[] = "d";
            const int s = sgsign(const_cast<char *>("k"), data, 1, sig);
            const int v = sgverify(const_cast<char *>("k"), data, 1, sig);
            out(std::to_string(s) + " " + std::to_string(v));
        });
        expect_clean(r);
        EXPECT_EQ(r.out, "1 -1");
    }
}

TEST_F(SigningTest, MissingSgPfAndLaterReread) {
    const ChildResult r = run([&] {
        FakeSigner signer;
        char sig[SG_MAX_SIGNATURE + 1];
        char data[] = "d";
        const int s = sgsign(const_cast<char *>("k"), data, 1, sig);
        const int v = sgverify(const_cast<char *>("k"), data, 1, sig);
        const int before = signer.connections();
        write_sgpf(loopback(signer));
        const int later = sgsign(const_cast<char *>("k"), data, 1, sig);
        out(std::to_string(s) + " " + std::to_string(v) + " " + std::to_string(before) + " " +
            std::to_string(later));
    });
    expect_clean(r);
    EXPECT_EQ(r.out, "-1 -1 0 0");
}

TEST_F(SigningTest, AddressForms) {
    // With the default port: only when it is free here.
    {
        FakeSigner probe(SG_DEFAULT_PORT);
        if (!probe.ok()) GTEST_SKIP() << "port " << SG_DEFAULT_PORT << " in use";
    }
    struct Case {
        std::string server;  // "@" stands for the free port
        bool default_port;
    };
    const Case cases[] = {{"localhost", true}, {"localhost:", true}, {":@", false}, {"127.0.0.1:@", false}};
    for (const Case &c : cases) {
        const ChildResult r = run([&] {
            FakeSigner signer(c.default_port ? SG_DEFAULT_PORT : 0);
            if (!signer.ok()) {
                out("no server");
                return;
            }
            std::string server = c.server;
            const auto at = server.find('@');
            if (at != std::string::npos) server.replace(at, 1, std::to_string(signer.port()));
            write_sgpf(server);
            char sig[SG_MAX_SIGNATURE + 1];
            char data[] = "d";
            const int rc = sgsign(const_cast<char *>("k"), data, 1, sig);
            out(std::to_string(rc) + " " + std::to_string(signer.connections()));
        });
        expect_clean(r);
        EXPECT_EQ(r.out, "0 1") << c.server << r.err;
    }
}

TEST_F(SigningTest, UnresolvableHostIsLoggedAndReleasesTheLock) {
    const ChildResult r = run([&] {
        write_sgpf("no-such-host.invalid:1234");
        char sig[SG_MAX_SIGNATURE + 1];
        char data[] = "d";
        const int first = sgsign(const_cast<char *>("k"), data, 1, sig);
        const int second = sgverify(const_cast<char *>("k"), data, 1, sig);
        out(std::to_string(first) + " " + std::to_string(second) + "\n");
        out(testsupport::elog_register_text());
    });
    expect_clean(r);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "-1 -1");
    const std::string msg = "Can't find ip address for host 'no-such-host.invalid'";
    const auto first = r.out.find(msg);
    ASSERT_NE(first, std::string::npos) << r.out;
    // The second failure is logged too (the register folds the repeat).
    EXPECT_NE(r.out.find("repeated 2 times", first), std::string::npos) << r.out;
}

TEST_F(SigningTest, ConnectFailureComplainsOnlyWithVerboseFile) {
    int port;
    {
        FakeSigner gone;
        port = gone.port();
    }
    for (bool verbose : {false, true}) {
        if (verbose) write_file(dir_.file("verbose"), "");
        const ChildResult r = run([&] {
            write_sgpf("127.0.0.1:" + std::to_string(port));
            char sig[SG_MAX_SIGNATURE + 1];
            char data[] = "d";
            const int s = sgsign(const_cast<char *>("k"), data, 1, sig);
            const int v = sgverify(const_cast<char *>("k"), data, 1, sig);
            out(std::to_string(s) + " " + std::to_string(v));
        });
        expect_clean(r);
        EXPECT_EQ(r.out, "-1 -1");
        EXPECT_EQ(r.err.find("Can't connect to server") != std::string::npos, verbose) << r.err;
    }
}

TEST_F(SigningTest, OverlongSignerNameIsRefused) {
    const ChildResult r = run([&] {
        FakeSigner signer;
        write_sgpf(loopback(signer));
        std::string name(1100, 'n');
        char sig[SG_MAX_SIGNATURE + 1];
        char data[] = "d";
        const int s = sgsign(name.data(), data, 1, sig);
        const int v = sgverify(name.data(), data, 1, sig);
        std::string fits(1000, 'f');
        const int ok = sgsign(fits.data(), data, 1, sig);
        out(std::to_string(s) + " " + std::to_string(v) + " " + std::to_string(ok) + " " +
            std::to_string(signer.connections()));
    });
    expect_clean(r);
    EXPECT_EQ(r.out, "-1 -1 0 1");
}

TEST_F(SigningTest, ThreadsTakeTurns) {
    const ChildResult r = run([&] {
        FakeSigner signer;
        write_sgpf(loopback(signer));
        std::atomic<int> good{0};
        auto work = [&good](int id) {
            for (int i = 0; i < 10; i++) {
                std::string data = "t" + std::to_string(id) + "-" + std::to_string(i);
                char sig[SG_MAX_SIGNATURE + 1];
                if (sgsign(const_cast<char *>("k"), data.data(), static_cast<int>(data.size()), sig) == 0 &&
                    sig == FakeSigner::signature_of("k", data))
                    good++;
            }
        };
        std::thread a(work, 1), b(work, 2);
        a.join();
        b.join();
        out(std::to_string(good.load()));
    });
    expect_clean(r);
    EXPECT_EQ(r.out, "20");
}

}  // namespace
