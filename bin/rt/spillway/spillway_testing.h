// Test helpers for the ring-to-disk copier: runs of the program against a
// ring server, the packets of a segment directory, and the comparison of a
// copy with its source. The ring may be served by any server that speaks
// the protocol; vktest::Server serves a test ring with vaultkeep.
#ifndef SPILLWAY_TESTING_H
#define SPILLWAY_TESTING_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "vk_testing.h"

namespace spilltest {

// The path of the program under test.
const char *program();

// The ring name of a server on a loopback port.
std::string ring_name(int port);

// One packet as a reader of a directory sees it.
struct Packet {
    int pktid = -1;
    std::string srcname;
    double time = 0.0;
    std::string body;
    // Same name, time and bytes (the id is the directory's own).
    bool same(const Packet &other) const {
        return srcname == other.srcname && time == other.time && body == other.body;
    }
};

// Every packet of a segment directory, in order.
std::vector<Packet> packets_of(const std::string &dir);

// The copy holds every packet of the source once, in order, byte for byte.
::testing::AssertionResult same_packets(const std::vector<Packet> &source,
                                        const std::vector<Packet> &copy);

// The copy holds every packet of the source in order, and goes back at
// most `restarts` times, each time by at most `most_back` packets, to a
// packet it already holds (the repeats of a restart). *repeats receives
// the number of repeated packets.
::testing::AssertionResult copy_with_repeats(const std::vector<Packet> &source,
                                             const std::vector<Packet> &copy, int restarts,
                                             int most_back, int *repeats);

// A copier process; standard output and error go to files in a scratch
// directory of its own.
class Copier {
  public:
    Copier();
    ~Copier();
    Copier(const Copier &) = delete;
    Copier &operator=(const Copier &) = delete;

    // Starts the program with args; with fsize above 0 the process may
    // write no file larger than that many bytes.
    void start(const std::vector<std::string> &args, long fsize = 0);
    pid_t pid() const { return pid_; }
    void signal(int sig);
    // The exit status (128 + signal when a signal ended it), or -1 when it
    // has not ended within `seconds`.
    int wait_exit(double seconds = 120.0);
    bool running();
    std::string out() const;
    std::string err() const;

  private:
    bool reaped();
    testsupport::ScratchDir scratch_;
    pid_t pid_ = -1;
    int exit_status_ = -1;
};

// A whole run: the exit status and what was printed.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};
Outcome run(const std::vector<std::string> &args, double seconds = 120.0, long fsize = 0);

// The position saved in a target directory's state file: the packet id
// and the time (-1 and 0 when there is none).
struct Saved {
    int pktid = -1;
    double time = 0.0;
};
Saved saved_position(const std::string &dir);

}  // namespace spilltest

#endif
