// Many clients at once: each reads the whole ring by counted reaps while a
// writer appends to it; every client gets every packet it selected once,
// in order, and the server ends with no client, thread or descriptor left
// over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "torvik.h"
#include "vk_testing.h"

namespace {

using vktest::Client;
using vktest::Server;

const std::vector<std::string> kSources = {"AA_BBB_HHZ", "AA_CCC_HHZ"};
constexpr int kReapCount = 100;

// Reads every packet from the oldest to `last` by counted reaps; the first
// fault found, or "".
std::string read_all(int port, bool only_bbb, int last) {
    Client c(port);
    if (!c.open()) return "open refused";
    if (only_bbb && !c.call(ORBSELECT, [](Orbrequest *r) { vktest::replace(&r->select, "AA_BBB_HHZ"); }))
        return "select failed";
    if (!c.call(ORBSEEK, [](Orbrequest *r) { r->pktcode = ORBOLDEST; }) || c.resp()->pktid != 0)
        return "seek failed";
    const int step = only_bbb ? 2 : 1;
    int expected = 0;
    while (expected <= last) {
        c.req()->what = ORBREAP;
        c.req()->reap_maxpkts = kReapCount;
        if (!c.send()) return "reap request failed";
        for (;;) {
            if (!c.receive(60000)) return "no packet at " + std::to_string(expected);
            const Pktpkg *pkg = c.resp()->pkg;
            if (pkg->pktid == ORBREAPEND) break;
            if (pkg->pktid != expected)
                return "got " + std::to_string(pkg->pktid) + " for " + std::to_string(expected);
            if (pkg->srcname != kSources[static_cast<std::size_t>(expected) % kSources.size()] ||
                std::string(pkg->packet, static_cast<std::size_t>(pkg->packetsize)) !=
                    vktest::body_of(expected))
                return "packet " + std::to_string(expected) + " differs";
            expected += step;
        }
    }
    c.call(ORBCLOSE);
    return "";
}

TEST(Load, ClientsReadTheWholeRingWhileAWriterAppends) {
    const bool light = vktest::light();
    const int nclients = light ? 16 : 200;
    const int before = light ? 100 : 1000;
    const int appended = light ? 100 : 1000;
    const int last = before + appended - 1;

    Server s;
    vktest::write_ring(s.ring(), before, kSources);
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(vktest::served(s.port()));
    // Idle again: only the threads of the process itself.
    const int threads = s.settled_threads();
    const int descriptors = s.descriptors();

    std::thread writer([&] {
        const int orb = torvikopen(const_cast<char *>(s.ring().c_str()), const_cast<char *>("b"));
        for (int i = before; i <= last; i++) {
            std::string body = vktest::body_of(i);
            torvikput(orb, const_cast<char *>(kSources[static_cast<std::size_t>(i) % 2].c_str()),
                      vktest::kFirstTime + i, body.data(), vktest::kBodyBytes);
            if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        torvikclose(orb);
    });
    std::mutex faults_mutex;
    std::vector<std::string> faults;
    std::vector<std::thread> readers;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < nclients; i++) {
        readers.emplace_back([&, i] {
            const bool only_bbb = i % 2 == 1;
            const std::string fault = read_all(s.port(), only_bbb, only_bbb ? last - 1 : last);
            if (!fault.empty()) {
                std::lock_guard<std::mutex> hold(faults_mutex);
                faults.push_back("client " + std::to_string(i) + ": " + fault);
            }
        });
    }
    writer.join();
    for (std::thread &t : readers) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(faults.empty()) << faults.front();
    std::printf("%d clients read %d packets each in %.1f s\n", nclients, last + 1, seconds);

    Orbstat status;
    EXPECT_TRUE(vktest::eventually([&] {
        return vktest::status_of(s.port(), &status) && status.nclients == 1;
    })) << status.nclients << " clients left";
    EXPECT_TRUE(vktest::eventually([&] {
        return s.threads() == threads && s.descriptors() == descriptors;
    })) << s.threads() << " threads (" << threads << " before), " << s.descriptors()
        << " descriptors (" << descriptors << " before)";
    EXPECT_GE(status.opens, nclients);
    EXPECT_EQ(status.errors, 0);
    EXPECT_EQ(s.log().find("failed"), std::string::npos) << s.log();
}

}  // namespace
