#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "host_private.h"
#include "process_private.h"
#include "kitbag.h"
#include "scratch_dir.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// ---- Interface listings ----

const char kOldListing[] =
    "eth0      Link encap:Ethernet  HWaddr 00:11:22:33:44:55  \n"
    "          inet addr:192.168.1.10  Bcast:192.168.1.255  Mask:255.255.255.0\n"
    "          inet6 addr: fe80::211:22ff:fe33:4455/64 Scope:Link\n"
    "          UP BROADCAST RUNNING MULTICAST  MTU:1500  Metric:1\n"
    "\n"
    "lo        Link encap:Local Loopback  \n"
    "          inet addr:127.0.0.1  Mask:255.0.0.0\n"
    "          inet6 addr: ::1/128 Scope:Host\n"
    "\n"
    "wlan0     Link encap:Ethernet  HWaddr 00:aa:bb:cc:dd:ee  \n"
    "          inet addr:10.0.0.7  Bcast:10.0.0.255  Mask:255.255.255.0\n";

const char kDebianListing[] =
    "eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1400\n"
    "        inet 192.0.2.2  netmask 255.255.255.0  broadcast 192.0.2.255\n"
    "        inet6 fd00::2  prefixlen 64  scopeid 0x0<global>\n"
    "        ether 02:fc:00:00:00:01  txqueuelen 1000  (Ethernet)\n"
    "\n"
    "lo: flags=73<UP,LOOPBACK,RUNNING>  mtu 65536\n"
    "        inet 127.0.0.1  netmask 255.0.0.0\n"
    "        inet6 ::1  prefixlen 128  scopeid 0x10<host>\n"
    "\n"
    "eth1: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
    "        inet 172.16.5.4  netmask 255.255.0.0  broadcast 172.16.255.255\n";

// A listing of n addresses 10.1.x.y, with the loopback among them.
std::string many_addresses(int n) {
    std::string text = "lo: flags=73<UP,LOOPBACK,RUNNING>\n        inet 127.0.0.1  netmask 255.0.0.0\n";
    for (int i = 1; i <= n; i++)
        text += "eth" + std::to_string(i) + ": flags=4163<UP>\n        inet 10.1." +
                std::to_string(i / 256) + "." + std::to_string(i % 256) + "  netmask 255.0.0.0\n";
    return text;
}

std::vector<int> as_list(const int *ips, int n) { return std::vector<int>(ips, ips + n + 1); }

int host_order(const char *dotted) {
    struct in_addr a;
    inet_pton(AF_INET, dotted, &a);
    return static_cast<int>(ntohl(a.s_addr));
}

// An interface listing program of the test's own: prints the given text and
// counts its runs.
class FakeListing {
  public:
    explicit FakeListing(const std::string &text) {
        testsupport::write_file(dir_.file("listing"), text);
        testsupport::write_file(dir_.file("ifconfig"),
                                "#!/bin/sh\necho run >> " + dir_.file("runs") + "\n/bin/cat " +
                                    dir_.file("listing") + "\n");
        chmod(dir_.file("ifconfig").c_str(), 0755);
        program_ = dir_.file("ifconfig");
        kitbag::set_interface_program(program_.c_str());
        kitbag::forget_own_addresses();
    }
    ~FakeListing() {
        kitbag::set_interface_program(nullptr);
        kitbag::forget_own_addresses();
    }
    int runs() const {
        std::string text = testsupport::read_file(dir_.file("runs"));
        int n = 0;
        for (char c : text) n += c == '\n';
        return n;
    }
    void change(const std::string &text) { testsupport::write_file(dir_.file("listing"), text); }

  private:
    testsupport::ScratchDir dir_;
    std::string program_;
};

struct LineCase {
    const char *line;
    bool found;
    const char *dotted;
};

class ListingLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ListingLine, ReadsTheAddress) {
    const LineCase &c = GetParam();
    std::uint32_t addr = 0xdeadbeef;
    EXPECT_EQ(kitbag::listing_line_address(c.line, &addr), c.found) << c.line;
    if (c.found) {
        EXPECT_EQ(static_cast<int>(addr), host_order(c.dotted)) << c.line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ListingLine,
    ::testing::Values(
        LineCase{"          inet addr:192.168.1.10  Bcast:192.168.1.255  Mask:255.255.255.0", true,
                 "192.168.1.10"},
        LineCase{"        inet 192.0.2.2  netmask 255.255.255.0  broadcast 192.0.2.255", true,
                 "192.0.2.2"},
        LineCase{"        inet 127.0.0.1  netmask 255.0.0.0", true, "127.0.0.1"},
        LineCase{"inet addr:10.1.2.3\tMask:255.0.0.0", true, "10.1.2.3"},
        LineCase{"inet 255.255.255.254", true, "255.255.255.254"},
        LineCase{"        inet6 fd00::2  prefixlen 64  scopeid 0x0<global>", false, ""},
        LineCase{"          inet6 addr: fe80::1/64 Scope:Link", false, ""},
        LineCase{"eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1400", false, ""},
        LineCase{"        inet 256.1.1.1  netmask 255.0.0.0", false, ""},
        LineCase{"        inet 1.2.3  netmask 255.0.0.0", false, ""},
        LineCase{"        inet 1.2.3.4x  netmask", false, ""},
        LineCase{"inet addr:", false, ""},
        LineCase{"", false, ""}));

TEST(ListingAddresses, BothFormatsLoopbackSkipped) {
    int ips[32];
    ASSERT_EQ(kitbag::listing_addresses(kOldListing, ips), 2);
    EXPECT_EQ(as_list(ips, 2),
              (std::vector<int>{host_order("192.168.1.10"), host_order("10.0.0.7"), 0}));
    ASSERT_EQ(kitbag::listing_addresses(kDebianListing, ips), 2);
    EXPECT_EQ(as_list(ips, 2),
              (std::vector<int>{host_order("192.0.2.2"), host_order("172.16.5.4"), 0}));
    EXPECT_EQ(kitbag::listing_addresses("", ips), 0);
    EXPECT_EQ(ips[0], 0);
}

TEST(ListingAddresses, AtMost31) {
    int ips[32];
    for (int i = 0; i < 32; i++) ips[i] = -7;
    ASSERT_EQ(kitbag::listing_addresses(many_addresses(40).c_str(), ips), 31);
    EXPECT_EQ(ips[0], host_order("10.1.0.1"));
    EXPECT_EQ(ips[30], host_order("10.1.0.31"));
    EXPECT_EQ(ips[31], 0);
}

TEST(ListingAddresses, FirstAddressKeepsTheLoopback) {
    EXPECT_EQ(kitbag::listing_first_address(kOldListing), host_order("192.168.1.10"));
    EXPECT_EQ(kitbag::listing_first_address(kDebianListing), host_order("192.0.2.2"));
    EXPECT_EQ(kitbag::listing_first_address(many_addresses(2).c_str()), host_order("127.0.0.1"));
    EXPECT_EQ(kitbag::listing_first_address("no addresses\n"), 0);
}

TEST(MyIpAddress, FirstAddressOfTheListing) {
    FakeListing fake(kOldListing);
    EXPECT_EQ(my_ipaddress(), host_order("192.168.1.10"));
    fake.change(kDebianListing);
    EXPECT_EQ(my_ipaddress(), host_order("192.0.2.2"));
    fake.change(many_addresses(3));
    EXPECT_EQ(my_ipaddress(), host_order("127.0.0.1"));
    fake.change("nothing here\n");
    errno = EINVAL;
    EXPECT_EQ(my_ipaddress(), 0);
    EXPECT_EQ(errno, 0);
    // The spare stream given up for the pipe is taken back.
    EXPECT_EQ(kitbag::spare_files_open(), 2);
}

TEST(MyIps, ReadsTheListingOnceAMinute) {
    FakeListing fake(kOldListing);
    int ips[32];
    ASSERT_EQ(my_ips(ips), 2);
    EXPECT_EQ(as_list(ips, 2),
              (std::vector<int>{host_order("192.168.1.10"), host_order("10.0.0.7"), 0}));
    fake.change(kDebianListing);
    int again[32];
    ASSERT_EQ(my_ips(again), 2);
    EXPECT_EQ(as_list(again, 2), as_list(ips, 2));  // from the cache
    EXPECT_EQ(fake.runs(), 1);
    kitbag::forget_own_addresses();
    ASSERT_EQ(my_ips(again), 2);
    EXPECT_EQ(as_list(again, 2),
              (std::vector<int>{host_order("192.0.2.2"), host_order("172.16.5.4"), 0}));
    EXPECT_EQ(fake.runs(), 2);
}

TEST(MyIps, AtMost31AndNeverTheLoopback) {
    FakeListing fake(many_addresses(40));
    int ips[32];
    ASSERT_EQ(my_ips(ips), 31);
    EXPECT_EQ(ips[31], 0);
    for (int i = 0; i < 31; i++) EXPECT_NE(ips[i], host_order("127.0.0.1"));
}

TEST(MyIps, ListingWithoutAddresses) {
    FakeListing fake("lo: flags=73<UP,LOOPBACK,RUNNING>\n        inet 127.0.0.1\n");
    int ips[32] = {5, 5, 5};
    errno = EINVAL;
    EXPECT_EQ(my_ips(ips), 0);
    EXPECT_EQ(ips[0], 0);
    EXPECT_EQ(errno, 0);
}

TEST(MyIps, ProgramThatCannotRunGivesNoAddress) {
    kitbag::set_interface_program("/nonexistent/ifconfig");
    kitbag::forget_own_addresses();
    int ips[32] = {5};
    EXPECT_EQ(my_ips(ips), 0);
    EXPECT_EQ(ips[0], 0);
    kitbag::set_interface_program(nullptr);
    kitbag::forget_own_addresses();
}

TEST(MyIps, FailureToStartIsLoggedAndCached) {
    FakeListing fake(kOldListing);
    auto r = testsupport::run_in_child([&] {
        testsupport::elog_clear_environment();
        testsupport::elog_reset_register();
        struct rlimit limit = {64, 64};
        setrlimit(RLIMIT_NOFILE, &limit);
        std::vector<int> held;
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) held.push_back(fd);
        int ips[32] = {5};
        int n = my_ips(ips);
        std::string log = testsupport::elog_register_text();
        testsupport::elog_reset_register();
        for (int fd : held) close(fd);
        int n2 = my_ips(ips);  // within the minute: the failure stands
        std::printf("%d %d %d %d\n", n, n2, ips[0], testsupport::elog_register_count());
        std::printf("%s", log.c_str());
    });
    EXPECT_THAT(r.out, HasSubstr("0 0 0 0\n"));
    EXPECT_THAT(r.out, HasSubstr("Couldn't create pipes"));
    EXPECT_THAT(r.out, HasSubstr("failed to open ifconfig pipe"));
    EXPECT_THAT(r.out, HasSubstr("Too many open files"));
    EXPECT_EQ(fake.runs(), 0);
}

TEST(MyIps, SystemListing) {
    struct stat st;
    if (stat("/sbin/ifconfig", &st) != 0) GTEST_SKIP() << "no /sbin/ifconfig here";
    std::string text;
    if (FILE *p = popen("LANG=C /sbin/ifconfig -a", "r")) {
        char buf[1024];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
        pclose(p);
    }
    int expected[32];
    int n = kitbag::listing_addresses(text.c_str(), expected);
    kitbag::forget_own_addresses();
    int ips[32];
    ASSERT_EQ(my_ips(ips), n);
    EXPECT_EQ(as_list(ips, n), as_list(expected, n));
    for (int i = 0; i < n; i++) EXPECT_NE(ips[i], host_order("127.0.0.1"));
    kitbag::forget_own_addresses();
}

// ---- Names of the host ----

std::string uname_nodename() {
    struct utsname u;
    uname(&u);
    return u.nodename;
}

TEST(MyHostname, NodeNameCutAtFirstDot) {
    char buf[64];
    ASSERT_EQ(my_hostname(buf), 0);
    std::string node = uname_nodename();
    EXPECT_EQ(buf, node.substr(0, node.find('.')));
}

TEST(MyOs, OperatingSystemAndMachine) {
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    char buf[64];
    ASSERT_EQ(my_os(buf), 0);
    EXPECT_STREQ(buf, "Linux");
    ASSERT_EQ(my_hardware(buf), 0);
    EXPECT_STREQ(buf, u.machine);
}

// Runs body in a child with a host name of its own; "skip" when the host
// name cannot be changed here.
testsupport::ChildResult with_node_name(const std::string &name, const std::function<void()> &body) {
    return testsupport::run_in_child([&] {
        testsupport::elog_clear_environment();
        if (unshare(CLONE_NEWUTS) != 0 || sethostname(name.data(), name.size()) != 0) {
            std::printf("skip");
            return;
        }
        body();
    });
}

TEST(MyHostname, DomainIsCutOff) {
    auto r = with_node_name("board7.example.org", [] {
        char buf[64];
        int rc = my_hostname(buf);
        std::printf("%d %s", rc, buf);
    });
    if (r.out == "skip") GTEST_SKIP() << "cannot set a host name here";
    EXPECT_EQ(r.out, "0 board7");
}

TEST(MyHostname, LongNameIsCutToTheBuffer) {
    auto r = with_node_name(std::string(64, 'n'), [] {
        char buf[80];
        std::memset(buf, 'Z', sizeof buf);
        int rc = my_hostname(buf);
        std::printf("%d %zu %c", rc, std::strlen(buf), buf[64]);
    });
    if (r.out == "skip") GTEST_SKIP() << "cannot set a host name here";
    EXPECT_EQ(r.out, "0 63 Z");
}

// ---- Lookups ----

struct Resolved {
    int rc;
    std::string dotted;
    unsigned char bytes[4];
};

Resolved resolve(const std::string &name) {
    Resolved r{};
    int addr = 12345;
    char dotted[64] = "junk";
    std::string copy = name;
    r.rc = name2ip(copy.data(), &addr, dotted);
    r.dotted = dotted;
    std::memcpy(r.bytes, &addr, 4);
    return r;
}

TEST(Name2Ip, NamesAndNumbers) {
    Resolved local = resolve("localhost");
    EXPECT_EQ(local.rc, 0);
    EXPECT_EQ(local.dotted, "127.0.0.1");
    EXPECT_EQ(std::vector<int>(local.bytes, local.bytes + 4), (std::vector<int>{127, 0, 0, 1}));
    Resolved num = resolve("10.20.30.40");
    EXPECT_EQ(num.rc, 0);
    EXPECT_EQ(num.dotted, "10.20.30.40");
    EXPECT_EQ(std::vector<int>(num.bytes, num.bytes + 4), (std::vector<int>{10, 20, 30, 40}));
}

TEST(Name2Ip, UnknownName) {
    for (const char *name : {"kitbag-nosuchhost.invalid", ""}) {
        Resolved r = resolve(name);
        EXPECT_EQ(r.rc, -1) << name;
        EXPECT_EQ(r.dotted, "") << name;
        EXPECT_EQ(std::vector<int>(r.bytes, r.bytes + 4), (std::vector<int>{255, 255, 255, 255}));
    }
    int addr = 0;
    char dotted[64] = "junk";
    EXPECT_EQ(name2ip(nullptr, &addr, dotted), -1);
    EXPECT_EQ(addr, -1);
}

int network_order(const char *dotted) {
    struct in_addr a;
    inet_pton(AF_INET, dotted, &a);
    int addr;
    std::memcpy(&addr, &a, 4);
    return addr;
}

TEST(Ip2Name, LoopbackIsTheLocalHost) {
    char name[64] = "junk";
    EXPECT_EQ(ip2name(network_order("127.0.0.1"), name), 0);
    EXPECT_STREQ(name, "localhost");
}

TEST(Ip2Name, AddressWithoutNameComplainsOnce) {
    auto r = testsupport::run_in_child([] {
        testsupport::elog_clear_environment();
        char name[64];
        int a = ip2name(network_order("192.0.2.77"), name);
        std::printf("%d %s|", a, name);
        std::fflush(stdout);
        std::strcpy(name, "junk");
        int b = ip2name(network_order("192.0.2.77"), name);
        std::printf("%d %s|", b, name);
        int c = ip2name(network_order("192.0.2.78"), name);
        std::printf("%d %s", c, name);
    });
    const std::string P = testsupport::elog_program_name();
    EXPECT_EQ(r.out, "-1 192.0.2.77|-1 192.0.2.77|-1 192.0.2.78");
    EXPECT_EQ(r.err, P + ": Can't lookup hostname for ip address 192.0.2.77\n" + P +
                         ": Can't lookup hostname for ip address 192.0.2.78\n");
}

TEST(MyIp, OwnNameAndAddress) {
    char host[64];
    ASSERT_EQ(my_hostname(host), 0);
    Resolved expected = resolve(host);
    char name[64] = "", dotted[64] = "";
    int addr = 0;
    int rc = my_ip(name, dotted, &addr);
    ASSERT_EQ(rc, 0);
    if (expected.rc == 0) {
        EXPECT_EQ(dotted, expected.dotted);
        EXPECT_EQ(std::memcmp(&addr, expected.bytes, 4), 0);
        struct hostent *h = gethostbyname(host);
        ASSERT_NE(h, nullptr);
        EXPECT_STREQ(name, h->h_name);
    }
}

TEST(MyIp, UnresolvableHostNameFallsBackOnTheListing) {
    FakeListing fake(kDebianListing);
    auto r = with_node_name("kitbag-nowhere.invalid", [] {
        char name[64] = "", dotted[64] = "";
        int addr = 0;
        int rc = my_ip(name, dotted, &addr);
        unsigned char b[4];
        std::memcpy(b, &addr, 4);
        std::printf("%d %s %s %d.%d.%d.%d", rc, name, dotted, b[0], b[1], b[2], b[3]);
    });
    if (r.out == "skip") GTEST_SKIP() << "cannot set a host name here";
    EXPECT_EQ(r.out, "0 localhost 192.0.2.2 192.0.2.2");
}

TEST(MyIp, NoAddressAtAll) {
    FakeListing fake("lo: flags=73<UP,LOOPBACK,RUNNING>\n        inet 127.0.0.1\n");
    auto r = with_node_name("kitbag-nowhere.invalid", [] {
        char name[64] = "", dotted[64] = "junk";
        int addr = 0;
        int rc = my_ip(name, dotted, &addr);
        std::printf("%d %s [%s]", rc, name, dotted);
    });
    if (r.out == "skip") GTEST_SKIP() << "cannot set a host name here";
    EXPECT_EQ(r.out, "-1 localhost []");
}

// Runs body in a child that sees hosts as its /etc/hosts; "skip" when
// mounts cannot be made here.
testsupport::ChildResult with_hosts_file(const std::string &hosts, const std::string &node,
                                         const std::function<void()> &body) {
    testsupport::ScratchDir dir;
    testsupport::write_file(dir.file("hosts"), hosts);
    std::string file = dir.file("hosts");
    return testsupport::run_in_child([&] {
        testsupport::elog_clear_environment();
        if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(file.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
            sethostname(node.data(), node.size()) != 0) {
            std::printf("skip");
            return;
        }
        body();
    });
}

const char kProbeHosts[] =
    "127.0.0.1 localhost\n"
    "10.9.8.7 kitbag-probe.example kitbag-probe\n"
    "10.9.8.8 kitbag-other.example kitbag-other\n";

TEST(Lookups, NamesFromTheHostsFile) {
    auto r = with_hosts_file(kProbeHosts, "kitbag-probe", [] {
        char name[64] = "";
        int a = ip2name(network_order("10.9.8.8"), name);
        std::printf("%d %s|", a, name);
        Resolved x = resolve("kitbag-other");
        std::printf("%d %s|", x.rc, x.dotted.c_str());
        char dotted[64] = "";
        int addr = 0;
        int b = my_ip(name, dotted, &addr);
        std::printf("%d %s %s %d", b, name, dotted, addr == network_order("10.9.8.7"));
    });
    if (r.out == "skip") GTEST_SKIP() << "cannot mount a hosts file here";
    EXPECT_EQ(r.out, "0 kitbag-other.example|0 10.9.8.8|0 kitbag-probe.example 10.9.8.7 1");
    EXPECT_EQ(r.err, "");
}

TEST(Lookups, LongNamesAreCutToTheBuffer) {
    std::string longname(100, 'q');
    auto r = with_hosts_file("10.9.8.9 " + longname + "\n", "kitbag-probe", [] {
        char name[80];
        std::memset(name, 'Z', sizeof name);
        int a = ip2name(network_order("10.9.8.9"), name);
        std::printf("%d %zu %c", a, std::strlen(name), name[64]);
    });
    if (r.out == "skip") GTEST_SKIP() << "cannot mount a hosts file here";
    EXPECT_EQ(r.out, "0 63 Z");
}

// Every thread asks for its own names and must get its own answers.
TEST(Lookups, ThreadsGetTheirOwnAnswers) {
    std::string hosts = "127.0.0.1 localhost\n";
    constexpr int kThreads = 8;
    for (int t = 0; t < kThreads; t++)
        hosts += "10.7.0." + std::to_string(t + 1) + " kitbag-t" + std::to_string(t) + ".example kitbag-t" +
                 std::to_string(t) + "\n";
    auto r = with_hosts_file(hosts, "kitbag-t0", [] {
        std::vector<int> wrong(kThreads, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&wrong, t] {
                std::string own = "kitbag-t" + std::to_string(t) + ".example";
                std::string dotted = "10.7.0." + std::to_string(t + 1);
                for (int i = 0; i < 50; i++) {
                    Resolved x = resolve(own);
                    if (x.rc != 0 || x.dotted != dotted) wrong[t]++;
                    char name[64];
                    if (ip2name(network_order(dotted.c_str()), name) != 0 || own != name) wrong[t]++;
                    char mine[64], mydotted[64];
                    int addr;
                    if (my_ip(mine, mydotted, &addr) != 0 || std::string(mine) != "kitbag-t0.example" ||
                        std::string(mydotted) != "10.7.0.1")
                        wrong[t]++;
                }
            });
        }
        for (auto &th : threads) th.join();
        for (int t = 0; t < kThreads; t++) std::printf("%d ", wrong[t]);
    });
    if (r.out == "skip") GTEST_SKIP() << "cannot mount a hosts file here";
    EXPECT_EQ(r.out, "0 0 0 0 0 0 0 0 ");
}

// The same from threads of this process, with answers that need no hosts
// file: numeric names, the loopback, unnamed addresses and own addresses.
TEST(Lookups, ThreadsInThisProcess) {
    FakeListing fake(kOldListing);
    char host[64];
    my_hostname(host);
    char expect_name[64], expect_dotted[64];
    int expect_addr;
    int expect_rc = my_ip(expect_name, expect_dotted, &expect_addr);
    constexpr int kThreads = 8;
    // Unnamed addresses not asked for before in this process.
    static int round = 0;
    std::string unnamed_prefix = "10.254." + std::to_string(++round % 256) + ".";
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    testing::internal::CaptureStderr();
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; i++) {
                std::string dotted = "10." + std::to_string(t) + "." + std::to_string(i) + ".9";
                Resolved x = resolve(dotted);
                if (x.rc != 0 || x.dotted != dotted) wrong[t]++;
                char name[64];
                if (ip2name(network_order("127.0.0.1"), name) != 0 || std::string(name) != "localhost")
                    wrong[t]++;
                std::string unnamed = unnamed_prefix + std::to_string(t + 1);
                if (ip2name(network_order(unnamed.c_str()), name) != -1 || unnamed != name) wrong[t]++;
                char n2[64], d2[64];
                int a2;
                if (my_ip(n2, d2, &a2) != expect_rc ||
                    (expect_rc == 0 && (std::strcmp(n2, expect_name) != 0 ||
                                        std::strcmp(d2, expect_dotted) != 0 || a2 != expect_addr)))
                    wrong[t]++;
                int ips[32];
                if (my_ips(ips) != 2 || ips[0] != host_order("192.168.1.10") ||
                    ips[1] != host_order("10.0.0.7") || ips[2] != 0)
                    wrong[t]++;
                char user[64];
                if (my_username(user) != 0) wrong[t]++;
            }
        });
    }
    for (auto &th : threads) th.join();
    std::string err = testing::internal::GetCapturedStderr();
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(wrong[t], 0) << t;
    for (int t = 0; t < kThreads; t++) {
        std::string complaint =
            "Can't lookup hostname for ip address " + unnamed_prefix + std::to_string(t + 1) + "\n";
        std::size_t first = err.find(complaint);
        EXPECT_NE(first, std::string::npos) << complaint;
        EXPECT_EQ(err.find(complaint, first + 1), std::string::npos) << complaint;
    }
}

// ---- Login name ----

TEST(MyUsername, LoginNameOfTheUser) {
    auto r = testsupport::run_in_child([] {
        kitbag::forget_login_name();
        char buf[64] = "junk";
        int rc = my_username(buf);
        struct passwd *pw = getpwuid(geteuid());
        std::printf("%d %s %s", rc, buf, pw ? pw->pw_name : "(none)");
    });
    struct passwd *pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(r.out, std::string("0 ") + pw->pw_name + " " + pw->pw_name);
}

TEST(MyUsername, UserWithoutLoginName) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to change the user id";
    auto r = testsupport::run_in_child([] {
        kitbag::forget_login_name();
        if (setgid(54321) != 0 || setuid(54321) != 0) {
            std::printf("skip");
            return;
        }
        char buf[64] = "junk";
        int rc = my_username(buf);
        std::printf("%d %s", rc, buf);
    });
    if (r.out == "skip") GTEST_SKIP() << "cannot change the user id here";
    EXPECT_EQ(r.out, "-1 u#54321");
}

}  // namespace
