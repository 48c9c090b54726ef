// The ring-to-disk copier against the plain cost of synchronous writes:
//
//   copy:spillway  spillway (default options) copies every packet of a
//                  running vaultkeep into a new directory: 2000 packets of
//                  512 bytes from ten sources, each source a packet a
//                  second (so a packet every 0.1 s of packet time), as a
//                  station ring holds them
//   copy:dd        dd oflag=dsync writes the same bytes (the packets as
//                  they stand in a segment file) in packet-sized blocks,
//                  one synchronous write per packet, into a new file
//
// Items are packets copied; the ratio printed at the end is the time of
// spillway over the time of dd (the goal: at least 0.9x of dd's rate,
// that is a time ratio of at most 1.11). Both write to the same file
// system: a scratch directory under $TMPDIR (or /var/tmp). The copier's
// state saves are part of its cost.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "kestrel.h"
#include "kitbag.h"
#include "support/ratio_main.h"
#include "support/vaultkeep_process.h"
#include "torvik.h"

namespace {

namespace fs = std::filesystem;

constexpr int kBody = 512;
constexpr int kPackets = 2000;
constexpr int kSources = 10;
constexpr double kBaseTime = 1700000000.0;

std::string body(int i) {
    std::string s(kBody, '\0');
    for (int b = 0; b < kBody; b++) s[static_cast<std::size_t>(b)] = static_cast<char>(i * 31 + b * 7);
    return s;
}

// Runs a program to its end with its output in log; true on status 0.
bool run(const std::vector<std::string> &args, const std::string &log) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The source directory, the bytes of its packets and a vaultkeep serving
// it for the whole run.
class Source {
  public:
    Source() {
        root_ = benchsupport::scratch_root("spillway-bench");
        const std::string ring = root_ + "/ring";
        fs::create_directory(ring);
        const int orb = torvikopen(const_cast<char *>(ring.c_str()), const_cast<char *>("b"));
        for (int i = 0; i < kPackets; i++) {
            std::string b = body(i);
            // Source names of one length: every packet takes the same bytes.
            char name[16];
            std::snprintf(name, sizeof name, "AK_ST%d_BHZ", i % kSources);
            if (torvikput(orb, name, kBaseTime + i * (1.0 / kSources), b.data(), kBody) != 0)
                std::abort();
        }
        torvikclose(orb);
        // The packets as they stand in the segment file, without its marker.
        const std::string file = fs::directory_iterator(ring)->path().string();
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        block_ = bytes.find("\n#orb", 0) + 1;
        bytes.resize(block_ * kPackets);
        std::ofstream(root_ + "/bytes", std::ios::binary) << bytes;

        port_ = benchsupport::free_port();
        pid_ = benchsupport::start_vaultkeep(VAULTKEEP_PROGRAM, root_, ring, port_);
        // Ready once a client can open it.
        for (int tries = 0; tries < 500; tries++) {
            const int orb = orbopen(const_cast<char *>(ring_name().c_str()), const_cast<char *>("r"));
            if (orb >= 0) {
                orbclose(orb);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::abort();
    }
    ~Source() {
        benchsupport::stop_process(pid_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    std::string ring_name() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::string &root() const { return root_; }
    std::size_t block() const { return block_; }

  private:
    std::string root_;
    std::size_t block_ = 0;
    int port_ = 0;
    pid_t pid_ = -1;
};

Source &source() {
    static Source s;
    return s;
}

void BM_CopySpillway(benchmark::State &state) {
    Source &s = source();
    const std::string target = s.root() + "/copy";
    for (auto _ : state) {
        state.PauseTiming();
        std::error_code ec;
        fs::remove_all(target, ec);
        state.ResumeTiming();
        if (!run({SPILLWAY_PROGRAM, s.ring_name(), target, "1", "last"}, s.root() + "/spillway.log")) {
            state.SkipWithError("spillway failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kPackets);
}

void BM_CopyDd(benchmark::State &state) {
    Source &s = source();
    const std::string target = s.root() + "/dd.out";
    for (auto _ : state) {
        state.PauseTiming();
        std::error_code ec;
        fs::remove(target, ec);
        state.ResumeTiming();
        if (!run({"dd", "if=" + s.root() + "/bytes", "of=" + target, "bs=" + std::to_string(s.block()),
                  "oflag=dsync"},
                 s.root() + "/dd.log")) {
            state.SkipWithError("dd failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kPackets);
}

BENCHMARK(BM_CopySpillway)->Name("copy:spillway")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyDd)->Name("copy:dd")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"spillway"}); }
