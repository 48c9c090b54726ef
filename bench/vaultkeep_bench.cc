// The disk ring server streaming to many readers, against the plain limit
// of this machine:
//
//   stream:vaultkeep/N  N clients connect to a running vaultkeep, each asks
//                       for every packet of a directory of 512-byte packets
//                       (one counted reap from the oldest) and reads the
//                       stream to its end
//   stream:tcp/N        N loopback TCP connections, each fed by a plain
//                       sender thread with the same bytes in sends of the
//                       size the server makes (packets gathered up to its
//                       batch size), and read to the end by the same
//                       readers
//
// Items are packets delivered to all readers. First the server's resident
// memory per connected client is printed, then the table, then the ratios
// (the goal: at least 0.5x of the peer's rate, that is a time ratio of at
// most 2, at 10 and 100 readers).
//
// The directory lives in a scratch directory under $TMPDIR (or /var/tmp),
// made once per run and removed at the end.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kestrel.h"
#include "kitbag.h"
#include "reap_batch.h"
#include "support/ratio_main.h"
#include "support/vaultkeep_process.h"
#include "torvik.h"

namespace {

namespace fs = std::filesystem;

constexpr int kBody = 512;
constexpr int kPackets = 5000;
constexpr double kBaseTime = 1700000000.0;
constexpr int kMemoryClients = 100;
char kName[] = "AK_BRW_BHZ";
char kSync[] = "orbm";

std::string body() {
    std::string s(kBody, '\0');
    for (int i = 0; i < kBody; i++) s[static_cast<std::size_t>(i)] = static_cast<char>(i * 37 + 11);
    return s;
}

int connect_to(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listen_any(int *port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 256) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        std::abort();
    *port = ntohs(sa.sin_port);
    return fd;
}

// Sends one request record on fd.
bool send_request(int fd, Orbrequest *r) {
    Bns *out = bnsnew(fd, 0);
    const bool ok = bnsput(out, kSync, BNS_BYTES, 4) == 0 && pbnsOrbrequest(out, r) == 0 &&
                    bnsflush(out) == 0;
    bnsfree(out);
    return ok;
}

// The bytes of one streamed packet and of the terminator, as the server
// sends them.
std::string encoded(int pktid, bool terminator) {
    Orbresponse *r = newOrbresponse();
    r->what = ORBREAP;
    r->pkg = newPktpkg();
    const std::string b = body();
    r->pkg->pktid = terminator ? ORBREAPEND : pktid;
    r->pkg->time = terminator ? 0.0 : kBaseTime + pktid;
    std::strcpy(r->pkg->srcname, terminator ? "" : kName);
    if (!terminator) {
        r->pkg->packet = static_cast<char *>(std::malloc(kBody));
        std::memcpy(r->pkg->packet, b.data(), kBody);
        r->pkg->packetsize = kBody;
    }
    Bns *out = bnsnew(-1, 0);
    bnsput(out, kSync, BNS_BYTES, 4);
    pbnsOrbresponse(out, r);
    std::string bytes(out->data + out->fp, out->data + out->lp);
    bnsfree(out);
    freeOrbresponse(r);
    return bytes;
}

// Reads exactly n bytes; false when the stream ends first.
bool read_bytes(int fd, std::size_t n) {
    static thread_local std::vector<char> buffer(1 << 16);
    while (n > 0) {
        const ssize_t r = ::recv(fd, buffer.data(), std::min(n, buffer.size()), 0);
        if (r <= 0) return false;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// The directory and a vaultkeep serving it for the whole run.
class Ring {
  public:
    Ring() {
        root_ = benchsupport::scratch_root("vaultkeep-bench");
        const std::string ring = root_ + "/ring";
        fs::create_directory(ring);
        const int orb = torvikopen(const_cast<char *>(ring.c_str()), const_cast<char *>("b"));
        std::string b = body();
        for (int i = 0; i < kPackets; i++)
            if (torvikput(orb, kName, kBaseTime + i, b.data(), kBody) != 0) std::abort();
        torvikclose(orb);
        int probe = 0;
        ::close(listen_any(&probe));
        port_ = probe;
        start(ring);
        stream_bytes_ = 0;
        for (int i = 0; i < kPackets; i++) stream_bytes_ += encoded(i, false).size();
        stream_bytes_ += encoded(0, true).size();
    }
    ~Ring() {
        benchsupport::stop_process(pid_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    Ring(const Ring &) = delete;
    Ring &operator=(const Ring &) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // Bytes a client reads for the whole directory and the terminator.
    std::size_t stream_bytes() const { return stream_bytes_; }

  private:
    void start(const std::string &ring) {
        pid_ = benchsupport::start_vaultkeep(VAULTKEEP_PROGRAM, root_, ring, port_);
        // Ready once a liveness request is answered.
        for (int tries = 0; tries < 500; tries++) {
            const int fd = connect_to(port_);
            if (fd >= 0) {
                Orbrequest *r = newOrbrequest();
                r->what = ORBRUP;
                r->hello = newOrbOpenString();
                std::memcpy(&r->hello->handshake, kSync, 4);
                r->hello->perm = 'r';
                const bool sent = send_request(fd, r);
                freeOrbrequest(r);
                char c;
                const bool answered = sent && ::recv(fd, &c, 1, 0) == 1;
                ::close(fd);
                if (answered) return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::abort();
    }

    std::string root_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::size_t stream_bytes_ = 0;
};

Ring &ring() {
    static Ring r;
    return r;
}

// Opens a connection and asks for the whole directory by one counted reap;
// the descriptor, or -1.
int reaping_client(int port, int count) {
    const int fd = connect_to(port);
    if (fd < 0) return -1;
    Orbrequest *r = newOrbrequest();
    r->hello = newOrbOpenString();
    std::memcpy(&r->hello->handshake, kSync, 4);
    r->hello->perm = 'r';
    r->what = ORBOPEN;
    Bns *in = bnsnew(fd, 0);
    Orbresponse *reply = newOrbresponse();
    bool ok = send_request(fd, r) && gbnsSync(in, kSync, 4, 1) == 0 &&
              gbnsOrbresponse(in, reply) == 0 && reply->result == 0;
    r->what = ORBSEEK;
    r->pktcode = ORBOLDEST;
    ok = ok && send_request(fd, r) && gbnsSync(in, kSync, 4, 1) == 0 &&
         gbnsOrbresponse(in, reply) == 0 && reply->pktid == 0;
    r->what = ORBREAP;
    r->reap_maxpkts = count;
    ok = ok && send_request(fd, r);
    // Nothing of the stream was read into the stream buffer: replies are
    // read before the reap request goes out.
    freeOrbrequest(r);
    freeOrbresponse(reply);
    bnsfree(in);
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void BM_StreamVaultkeep(benchmark::State &state) {
    const int readers = static_cast<int>(state.range(0));
    Ring &r = ring();
    for (auto _ : state) {
        std::vector<std::thread> threads;
        std::atomic<int> failures{0};
        for (int i = 0; i < readers; i++) {
            threads.emplace_back([&] {
                const int fd = reaping_client(r.port(), kPackets);
                if (fd < 0 || !read_bytes(fd, r.stream_bytes())) failures++;
                if (fd >= 0) ::close(fd);
            });
        }
        for (std::thread &t : threads) t.join();
        if (failures > 0) {
            state.SkipWithError("a reader failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * readers * kPackets);
}

void BM_StreamTcp(benchmark::State &state) {
    const int readers = static_cast<int>(state.range(0));
    // The stream cut where the server cuts it: a send once a batch's worth
    // of packets is waiting, the rest with the terminator.
    std::vector<std::string> sends(1);
    for (int i = 0; i < kPackets; i++) {
        if (sends.back().size() >= static_cast<std::size_t>(vaultkeep::kReapBatchBytes))
            sends.emplace_back();
        sends.back() += encoded(i, false);
    }
    if (sends.back().size() >= static_cast<std::size_t>(vaultkeep::kReapBatchBytes))
        sends.emplace_back();
    sends.back() += encoded(0, true);
    std::size_t total = 0;
    for (const std::string &p : sends) total += p.size();
    int port = 0;
    const int listener = listen_any(&port);
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int i = 0; i < readers; i++) {
            threads.emplace_back([&] {
                const int fd = connect_to(port);
                read_bytes(fd, total);
                ::close(fd);
            });
            threads.emplace_back([&] {
                const int fd = ::accept(listener, nullptr, nullptr);
                for (const std::string &p : sends)
                    if (::send(fd, p.data(), p.size(), MSG_NOSIGNAL) < 0) break;
                ::close(fd);
            });
        }
        for (std::thread &t : threads) t.join();
    }
    ::close(listener);
    state.SetItemsProcessed(state.iterations() * readers * kPackets);
}

long resident_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Resident memory of the server per client, for two kinds of client:
// connected after a short counted reap (the client thread alone), and in
// the middle of an unlimited reap from the oldest packet that the client
// has stopped reading (client and reap threads, the read-ahead grown, the
// stream blocked on a full socket).
void print_memory_per_client() {
    Ring &r = ring();
    const std::size_t packet_bytes = encoded(0, false).size();
    const std::size_t terminator_bytes = encoded(0, true).size();
    struct Kind {
        const char *name;
        int count;             // of the reap; 0: unlimited
        std::size_t read;      // bytes each client reads before it rests
    } kinds[] = {{"after a counted reap", 10, 10 * packet_bytes + terminator_bytes},
                 {"streaming", 0, 100 * packet_bytes}};
    for (const Kind &kind : kinds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const long idle = resident_kb(r.pid());
        std::vector<int> fds;
        for (int i = 0; i < kMemoryClients; i++) {
            const int fd = reaping_client(r.port(), kind.count);
            if (fd >= 0 && read_bytes(fd, kind.read))
                fds.push_back(fd);
            else if (fd >= 0)
                ::close(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const long busy = resident_kb(r.pid());
        std::printf("Server memory, clients %s: %ld kB idle, %ld kB with %zu clients: %.1f kB per "
                    "client\n",
                    kind.name, idle, busy, fds.size(),
                    static_cast<double>(busy - idle) / static_cast<double>(fds.size()));
        for (int fd : fds) ::close(fd);
    }
    std::printf("\n");
}

BENCHMARK(BM_StreamVaultkeep)->Name("stream:vaultkeep")->Arg(1)->Arg(10)->Arg(100)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamTcp)->Name("stream:tcp")->Arg(1)->Arg(10)->Arg(100)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    ignoreSIGPIPE();
    // Measured first, on the fresh server, before streaming has grown its
    // heap.
    print_memory_per_client();
    return benchsupport::ratio_main(argc, argv, {"vaultkeep"});
}
