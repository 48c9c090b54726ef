#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;

const std::string P = testsupport::elog_program_name();

// The generator written out plainly (64-bit products reduced by the moduli),
// to hold the library's 32-bit stepping against.
struct Reference {
    std::int64_t s1 = 55555, s2 = 99999;
    std::int64_t next_z() {
        s1 = 40014 * s1 % 2147483563;
        s2 = 40692 * s2 % 2147483399;
        std::int64_t z = s1 + s2 - 2147483563;
        if (z <= 0) z += 2147483562;
        return z;
    }
    double next() { return static_cast<double>(next_z()) * (1.0 / 2147483563.0); }
};

// The first n bytes of the pattern table.
std::vector<unsigned char> reference_table(std::size_t n) {
    Reference r;
    std::vector<unsigned char> table(n);
    for (auto &b : table) b = static_cast<unsigned char>(static_cast<int>(r.next() * 255.0));
    return table;
}

std::uint32_t fnv1a(const unsigned char *p, std::size_t n) {
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < n; i++) h = (h ^ p[i]) * 16777619u;
    return h;
}

std::string hex(const char *p, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; i++) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", static_cast<unsigned char>(p[i]));
        s += b;
    }
    return s;
}

std::string g17(double x) {
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", x);
    return b;
}

// The bytes a packet filled from `start` must hold after its index.
std::vector<unsigned char> body(std::size_t start, std::size_t length, std::size_t table_size) {
    const std::vector<unsigned char> table = reference_table(table_size);
    std::vector<unsigned char> b(length);
    for (std::size_t j = 0; j < length; j++) b[j] = table[(start + j) % table_size];
    return b;
}

// Matches the fatal message of an impossible internal state.
void expect_unexpected_failure(const ChildResult &r) {
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    const std::regex message(P + R"( \*fatal\*: Unexpected failure: file randomfill\.cc, line [0-9]+\n)");
    EXPECT_TRUE(std::regex_match(r.err, message)) << r.err;
}

// ---- The generator ----

TEST(Disordered, FirstValuesOfAFreshProcess) {
    ChildResult r = in_child([] {
        std::string s;
        for (int i = 0; i < 3; i++) s += g17(disordered()) + "\n";
        out(s);
    });
    const double f = 1.0 / 2147483563.0;
    EXPECT_EQ(r.out, g17(1997170115 * f) + "\n" + g17(1986390560 * f) + "\n" +
                         g17(1086193005 * f) + "\n");
    EXPECT_NEAR(1997170115 * f, 0.9300048435, 1e-10);
    EXPECT_NEAR(1986390560 * f, 0.9249852219, 1e-10);
    EXPECT_NEAR(1086193005 * f, 0.5057980530, 1e-10);
}

TEST(Disordered, FollowsTheCombinedGenerator) {
    ChildResult r = in_child([] {
        Reference ref;
        int mismatches = 0;
        for (int i = 0; i < 200000; i++) {
            double v = disordered();
            if (v != ref.next() || !(v > 0.0 && v < 1.0)) mismatches++;
        }
        out("mismatches " + std::to_string(mismatches));
    });
    EXPECT_EQ(r.out, "mismatches 0");
}

TEST(Disordered, ReferenceStateAfterTheFirstStep) {
    Reference ref;
    EXPECT_EQ(ref.next_z(), 1997170115);
    EXPECT_EQ(ref.s1, 75494207);
    EXPECT_EQ(ref.s2, 1921675909);
    EXPECT_EQ(ref.next_z(), 1986390560);
    EXPECT_EQ(ref.next_z(), 1086193005);
}

TEST(Disordered, ConcurrentCallersShareOneSequence) {
    constexpr int kThreads = 6;
    constexpr int kEach = 20000;
    ChildResult r = in_child([] {
        std::vector<std::vector<double>> drawn(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&drawn, t] {
                for (int i = 0; i < kEach; i++) drawn[t].push_back(disordered());
            });
        for (auto &th : threads) th.join();
        // Every value of the sequence taken exactly once, each thread's in
        // increasing positions.
        // (The sequence repeats a few values: a value may sit at several
        // positions.)
        std::map<double, std::vector<int>> positions;
        Reference ref;
        for (int i = 0; i < kThreads * kEach; i++) positions[ref.next()].push_back(i);
        std::vector<char> taken(kThreads * kEach, 0);
        int bad = 0;
        for (const auto &values : drawn) {
            int last = -1;
            for (double v : values) {
                auto at = positions.find(v);
                int found = -1;
                if (at != positions.end())
                    for (int k : at->second)
                        if (!taken[k] && k > last) {
                            found = k;
                            break;
                        }
                if (found < 0) {
                    bad++;
                    continue;
                }
                taken[found] = 1;
                last = found;
            }
        }
        out("bad " + std::to_string(bad));
    });
    EXPECT_EQ(r.out, "bad 0");
    EXPECT_EQ(r.err, "");  // nothing from a thread checker either
}

TEST(RDisordered, PrivateGeneratorStartsFromTheSeeds) {
    Hook *hook = nullptr;
    Reference ref;
    const double f = 1.0 / 2147483563.0;
    EXPECT_EQ(r_disordered(&hook), 1997170115 * f);
    ASSERT_NE(hook, nullptr);
    EXPECT_EQ(hook->magic, HOOK_MAGIC);
    EXPECT_NE(hook->p, nullptr);
    EXPECT_EQ(r_disordered(&hook), 1986390560 * f);
    EXPECT_EQ(r_disordered(&hook), 1086193005 * f);
    ref.next();
    ref.next();
    ref.next();
    int mismatches = 0;
    for (int i = 0; i < 100000; i++)
        if (r_disordered(&hook) != ref.next()) mismatches++;
    EXPECT_EQ(mismatches, 0);
    free_hook(&hook);
    EXPECT_EQ(hook, nullptr);
}

TEST(RDisordered, HooksAreIndependentOfEachOtherAndOfTheProcessGenerator) {
    // In a child: the process-wide generator of this test process stays
    // untouched for the children of the other tests.
    ChildResult r = in_child([] {
        Hook *a = nullptr;
        Hook *b = nullptr;
        std::vector<double> from_a, from_b, global;
        for (int i = 0; i < 50; i++) {
            from_a.push_back(r_disordered(&a));
            global.push_back(disordered());
            if (i % 2 == 0) from_b.push_back(r_disordered(&b));
        }
        for (int i = 0; i < 25; i++) from_b.push_back(r_disordered(&b));
        std::string s = from_a == from_b ? "same" : "different";
        s += from_a == global ? " same" : " different";
        // A released hook starts over.
        free_hook(&a);
        s += r_disordered(&a) == from_b[0] ? " restarted" : " continued";
        free_hook(&a);
        free_hook(&b);
        out(s);
    });
    EXPECT_EQ(r.out, "same same restarted");
}

TEST(RDisordered, OneHookPerThread) {
    // Threads in a child: thread arenas left in this process would defeat
    // the memory limit of the out-of-memory test.
    ChildResult r = in_child([] {
        constexpr int kThreads = 4;
        std::vector<int> mismatches(kThreads, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&mismatches, t] {
                Hook *hook = nullptr;
                Reference ref;
                for (int i = 0; i < 20000; i++)
                    if (r_disordered(&hook) != ref.next()) mismatches[t]++;
                free_hook(&hook);
            });
        for (auto &th : threads) th.join();
        std::string s;
        for (int m : mismatches) s += std::to_string(m) + " ";
        out(s);
    });
    EXPECT_EQ(r.out, "0 0 0 0 ");
    EXPECT_EQ(r.err, "");
}

// ---- The pattern ----

TEST(RandomFill, KnownBytes) {
    ChildResult r = in_child([] {
        char packet[16];
        int index = 0;
        fill_random(packet, 8, &index);
        std::string s = hex(packet, 8) + " -> " + std::to_string(index) + "\n";
        fill_random(packet, 6, &index);
        s += hex(packet, 6) + " -> " + std::to_string(index) + "\n";
        fill_random(packet, 10, &index);
        s += hex(packet, 10) + " -> " + std::to_string(index) + "\n";
        out(s);
    });
    // Pattern bytes 237 235 128 247 | 115 98 | ...
    const std::vector<unsigned char> t = reference_table(16);
    EXPECT_EQ(t[0], 237);
    EXPECT_EQ(t[5], 98);
    char tail[10] = {0, 0, 0, 6};
    for (int j = 0; j < 6; j++) tail[4 + j] = static_cast<char>(t[6 + j]);
    EXPECT_EQ(r.out, "00 00 00 00 ED EB 80 F7 -> 4\n"
                     "00 00 00 04 73 62 -> 6\n" +
                         hex(tail, 10) + " -> 12\n");
}

TEST(RandomFill, TableIsTheSameOnEveryHost) {
    // The first 32768 bytes of the table, through consecutive fills.
    ChildResult r = in_child([] {
        std::vector<unsigned char> table;
        int index = 0;
        char packet[1004];
        while (table.size() < 32768) {
            fill_random(packet, sizeof packet, &index);
            table.insert(table.end(), packet + 4, packet + sizeof packet);
        }
        table.resize(32768);
        char b[64];
        std::snprintf(b, sizeof b, "%08x %d", fnv1a(table.data(), table.size()), index);
        out(b);
    });
    const std::vector<unsigned char> table = reference_table(32768);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%08x %d", fnv1a(table.data(), table.size()),
                  33 * 1000 % 32768);
    EXPECT_EQ(r.out, expected);
    // The same digest on every build (the bytes depend on nothing of the
    // host).
    EXPECT_EQ(fnv1a(table.data(), table.size()), 0x90d51917u);
}

TEST(RandomFill, WrapsAtTheEndOfTheTable) {
    ChildResult r = in_child([] {
        char packet[20];
        int index = 32760;
        fill_random(packet, sizeof packet, &index);
        out(hex(packet, sizeof packet) + " -> " + std::to_string(index) + " check " +
            std::to_string(check_random(packet, sizeof packet)));
    });
    const std::vector<unsigned char> b = body(32760, 16, 32768);
    char expected[20] = {0, 0, 0x7F, static_cast<char>(0xF8)};
    std::memcpy(expected + 4, b.data(), 16);
    EXPECT_EQ(r.out, hex(expected, 20) + " -> 8 check 0");
    EXPECT_EQ(b[8], reference_table(1)[0]);
}

TEST(RandomFill, BadStartOrSizeEndsTheProcess) {
    struct Case {
        int start, nchar;
    };
    const Case cases[] = {{0, 4}, {0, 0}, {0, -5}, {-1, 10}, {32768, 10}, {40000, 10}};
    for (const Case &c : cases) {
        ChildResult r = in_child([&c] {
            char packet[16];
            int index = c.start;
            fill_random(packet, c.nchar, &index);
            out("returned");
        });
        SCOPED_TRACE("start " + std::to_string(c.start) + " nchar " + std::to_string(c.nchar));
        expect_unexpected_failure(r);
    }
}

TEST(CheckRandom, Results) {
    ChildResult r = in_child([] {
        char packet[64];
        int index = 0;
        fill_random(packet, 8, &index);
        std::string s = std::to_string(check_random(packet, 8));
        packet[6] ^= 1;
        s += " " + std::to_string(check_random(packet, 8));
        packet[5] ^= 1;  // two differences: the first one counts
        s += " " + std::to_string(check_random(packet, 8));

        fill_random(packet, 64, &index);
        s += " " + std::to_string(check_random(packet, 64));
        s += " " + std::to_string(check_random(packet, 10));  // a prefix verifies too
        packet[63] ^= 0x40;
        s += " " + std::to_string(check_random(packet, 64));
        s += " " + std::to_string(check_random(packet, 4));  // no pattern bytes

        const unsigned char bad_starts[][4] = {
            {0x00, 0x00, 0x80, 0x00}, {0xFF, 0xFF, 0xFF, 0xFF}, {0x80, 0, 0, 0}, {0, 1, 0, 0}};
        for (const auto &head : bad_starts) {
            std::memcpy(packet, head, 4);
            s += " " + std::to_string(check_random(packet, 64));
        }
        // Too short to hold a start index: nothing is read.
        s += " " + std::to_string(check_random(packet, 3));
        s += " " + std::to_string(check_random(packet, 0));
        s += " " + std::to_string(check_random(nullptr, 10));
        out(s);
    });
    EXPECT_EQ(r.out, "0 7 6 0 0 64 0 -1 -1 -1 -1 -1 -1 -1");
    EXPECT_EQ(r.err, "");
}

TEST(CheckRandom, SeesEveryByteOfAFilledPacket) {
    ChildResult r = in_child([] {
        std::vector<char> packet(3000);
        int index = 31000;  // wraps inside the packet
        fill_random(packet.data(), static_cast<int>(packet.size()), &index);
        std::string s;
        for (std::size_t i = 4; i < packet.size(); i += 97) {
            packet[i] ^= 0x10;
            s += std::to_string(check_random(packet.data(), static_cast<int>(packet.size())) ==
                                static_cast<int>(i + 1));
            packet[i] ^= 0x10;
        }
        s += std::to_string(check_random(packet.data(), static_cast<int>(packet.size())) == 0);
        out(s);
    });
    EXPECT_EQ(r.out, std::string(r.out.size(), '1'));
    EXPECT_EQ(r.out.size(), 32u);
}

TEST(RandomFill, LargePacketsLeaveAValidIndex) {
    ChildResult r = in_child([] {
        std::string s;
        // A fill larger than the start range grows the table to nchar + 1
        // bytes; the pattern wraps there, and the index left behind is still
        // a valid start.
        std::vector<char> big(40000);
        int index = 0;
        fill_random(big.data(), 40000, &index);
        s += std::to_string(index) + " " + std::to_string(check_random(big.data(), 40000));
        char packet[100];
        fill_random(packet, sizeof packet, &index);
        s += " " + std::to_string(index) + " " + std::to_string(check_random(packet, 100));
        out(s + "\n");
        std::fflush(stdout);

        // A check that large grows the table as well.
        index = 32760;
        std::vector<char> other(50000, 0);
        std::memcpy(other.data(), "\0\0\0\0", 4);
        check_random(other.data(), 50000);  // table now 50001 bytes
        fill_random(packet, sizeof packet, &index);
        s = std::to_string(index) + " " + std::to_string(check_random(packet, 100));
        fill_random(packet, sizeof packet, &index);
        s += " " + std::to_string(index);
        out(s + "\n");
    });
    // 39996 mod 32768 = 7228; then 7228 + 96. Second part: 32760 + 96 =
    // 32856, taken mod 32768 = 88; then 88 + 96.
    EXPECT_EQ(r.out, "7228 0 7324 0\n88 0 184\n");
    EXPECT_EQ(r.err, "");
}

TEST(RandomFill, GrownTableContinuesTheSequence) {
    ChildResult r = in_child([] {
        std::vector<char> big(40004);
        int index = 0;
        fill_random(big.data(), static_cast<int>(big.size()), &index);
        out(std::to_string(fnv1a(reinterpret_cast<unsigned char *>(big.data()) + 4, 40000)));
    });
    const std::vector<unsigned char> table = reference_table(40000);
    EXPECT_EQ(r.out, std::to_string(fnv1a(table.data(), table.size())));
}

TEST(SetRandom, ChangesTheStartRange) {
    ChildResult r = in_child([] {
        std::string s = std::to_string(set_random(100));
        char packet[14];
        int index = 99;
        fill_random(packet, 8, &index);  // table built to 100 bytes: wraps at 100
        s += " " + std::to_string(index);
        packet[0] = 0, packet[1] = 0, packet[2] = 0, packet[3] = 100;
        s += " " + std::to_string(check_random(packet, 8));
        s += " " + std::to_string(set_random(32768));
        // The table grows to the new size and keeps its first bytes.
        index = 96;
        fill_random(packet, 14, &index);
        s += " " + std::to_string(index) + " " + hex(packet, 14);
        // Lowered again: the table keeps its 32768 bytes; indexes past the
        // range are brought back into it.
        s += " " + std::to_string(set_random(100));
        index = 96;
        fill_random(packet, 14, &index);
        s += " " + std::to_string(index) + " " + std::to_string(check_random(packet, 14));
        out(s);
        std::fflush(stdout);
        index = 100;
        fill_random(packet, 8, &index);
        out(" returned");
    });
    const std::vector<unsigned char> t = reference_table(112);
    char expected[14] = {0, 0, 0, 96};
    for (int j = 0; j < 10; j++) expected[4 + j] = static_cast<char>(t[96 + j]);
    EXPECT_EQ(r.out, "32768 3 -1 100 106 " + hex(expected, 14) + " 32768 6 0");
    expect_unexpected_failure(ChildResult{"", r.err, r.exited, r.exit_code, r.signal});
}

TEST(SetRandom, LargerRangeGrowsTheTable) {
    ChildResult r = in_child([] {
        std::string s = std::to_string(set_random(40000));
        char packet[12];
        int index = 39998;
        fill_random(packet, sizeof packet, &index);
        s += " " + std::to_string(index) + " " + std::to_string(check_random(packet, 12));
        s += " " + std::to_string(fnv1a(reinterpret_cast<unsigned char *>(packet) + 4, 8));
        out(s);
    });
    const std::vector<unsigned char> b = body(39998, 8, 40000);
    EXPECT_EQ(r.out, "32768 6 0 " + std::to_string(fnv1a(b.data(), 8)));
}

TEST(RandomFill, TableThatCannotGrowIsFatal) {
    if (testsupport::under_address_sanitizer()) GTEST_SKIP() << "exhausts memory on purpose";
    ChildResult r = in_child([] {
        char packet[8] = {0};
        set_random(1500000000);
        testsupport::leave_little_memory(std::size_t(16) << 20);
        check_random(packet, 8);
        out("returned");
    });
    if (testsupport::memory_not_limited(r)) GTEST_SKIP() << "the address-space limit does not hold here";
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("\tCan't malloc 1500000000 bytes for saved\n"), std::string::npos) << r.err;
}

TEST(RandomFill, ConcurrentFillsChecksAndGrowth) {
    constexpr int kThreads = 6;
    ChildResult r = in_child([] {
        std::vector<int> failures(kThreads, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&failures, t] {
                std::vector<char> packet(2000);
                for (int i = 0; i < 300; i++) {
                    int index = (t * 131 + i * 17) % 1000;
                    const int n = 5 + (i * 37 + t) % 1990;
                    fill_random(packet.data(), n, &index);
                    if (check_random(packet.data(), n) != 0) failures[t]++;
                    if (i % 50 == 0 && t % 2 == 0) {
                        // Grow the table while the others read it.
                        std::vector<char> big(33000 + t * 1000 + i * 10);
                        int start = 0;
                        fill_random(big.data(), static_cast<int>(big.size()), &start);
                    }
                }
            });
        for (auto &th : threads) th.join();
        int total = 0;
        for (int f : failures) total += f;
        out("failures " + std::to_string(total));
    });
    EXPECT_EQ(r.out, "failures 0");
    EXPECT_EQ(r.err, "");  // nothing from a thread checker either
}

}  // namespace
