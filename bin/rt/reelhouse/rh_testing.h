// Test helpers for reelhouse: the program started through the launcher
// on a loopback port, over a file or directory of test packets, and the
// packets of a file or directory read back whole.
#ifndef RH_TESTING_H
#define RH_TESTING_H

#include <string>
#include <vector>

#include "launcher.h"
#include "scratch_dir.h"
#include "vk_testing.h"

namespace rhtest {

// One packet as read back.
struct Packet {
    int pktid = 0;
    std::string srcname;
    double time = 0.0;
    std::string body;
    bool operator==(const Packet &o) const {
        return pktid == o.pktid && srcname == o.srcname && time == o.time && body == o.body;
    }
};

// Every packet of a packet file or segment directory, oldest first.
std::vector<Packet> read_packets(const std::string &path);

// A launcher starting reelhouse with args and the operand for each
// connection, in a scratch directory of its own.
class Served {
  public:
    Served() = default;
    // True once the launcher listens. The programs' streams time out after
    // two seconds unless env says otherwise.
    bool start(const std::string &operand, const std::vector<std::string> &args = {},
               const std::vector<std::string> &env = {"BNS_TIMEOUT=2000"});
    testsupport::Launcher &launcher() { return launcher_; }
    int port() const { return launcher_.port(); }
    std::string file(const std::string &name) const { return scratch_.file(name); }
    // Waits for the end of the n-th program started (from 1); its exit
    // status, or 128 + signal, or -1 when it did not end in time.
    int status_of(std::size_t n, double seconds = 30.0);

  private:
    testsupport::ScratchDir scratch_;
    testsupport::Launcher launcher_;
};

// True once the process catches sig (it has installed its handlers);
// waits up to 20 seconds.
bool catches(int pid, int sig);

// Runs a program with arguments, waits for it; its exit status and what
// it wrote on standard output and error.
struct Run {
    int status = -1;
    std::string out;
    std::string err;
};
Run run(const std::vector<std::string> &argv);

}  // namespace rhtest

#endif
