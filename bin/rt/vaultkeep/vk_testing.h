// Test helpers for the disk ring server: test rings, a running vaultkeep
// process on a loopback port, and a client that speaks the protocol record
// by record.
#ifndef VK_TESTING_H
#define VK_TESTING_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "kestrel.h"
#include "free_port.h"
#include "scratch_dir.h"

namespace vktest {

constexpr double kFirstTime = 1700000000.0;
constexpr int kBodyBytes = 512;

// Lighter runs under the sanitizers and the emulator.
bool light();

// The body of packet i (deterministic bytes).
std::string body_of(int i, int size = kBodyBytes);

// Appends count packets to a segment directory (made when missing),
// sources in turn, packet i at kFirstTime + first + i seconds.
void write_ring(const std::string &dir, int count, const std::vector<std::string> &sources,
                int first = 0, int size = kBodyBytes);

using testsupport::free_port;

// Collects the exit of process *pid without waiting: true once it has
// ended (or there is none), with *status its exit status or 128 + signal
// and *pid reset to -1.
bool reap_exit(pid_t *pid, int *status);

// The parameter file that admits the loopback address.
std::string loopback_pf(const std::string &more = "");

// A vaultkeep process serving scratch/ring on a free port.
class Server {
  public:
    Server();
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Writes vaultkeep.pf (and, when given, other files of the parameter
    // path) and starts the program; true once it listens.
    bool start(const std::string &pf = loopback_pf(), const std::vector<std::string> &args = {},
               int nofile = 0);

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &dir() const { return scratch_.path(); }
    std::string ring() const { return scratch_.file("ring"); }
    std::string file(const std::string &name) const { return scratch_.file(name); }
    // What the program has written on standard error so far.
    std::string log() const;
    // Waits up to `seconds` for `text` to appear in the log.
    bool log_shows(const std::string &text, double seconds = 10.0) const;

    // Descriptors and threads of the process now.
    int descriptors() const;
    int threads() const;
    // The thread count once it has stopped changing (connection threads
    // that are ending have ended).
    int settled_threads() const;

    // Sends a signal; waits up to `seconds` for the end: the exit status, or
    // -1 when it did not end, 128 + signal when a signal ended it.
    void signal(int sig);
    int wait_exit(double seconds);
    bool running();

  private:
    // True once the process has ended (its status kept).
    bool reaped();

    testsupport::ScratchDir scratch_;
    int port_ = 0;
    pid_t pid_ = -1;
    int exit_status_ = -1;
};

// One connection, record by record.
class Client {
  public:
    // rcvbuf, when given, is the socket's receive buffer size.
    explicit Client(int port, int rcvbuf = 0);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    Orbrequest *req() { return request_; }
    Orbresponse *resp() { return response_; }

    bool send_raw(const std::string &bytes);
    // Sends the request record as it stands.
    bool send();
    // Reads the next response; false on a time-out or the end of the
    // connection.
    bool receive(int timeout_ms = 20000);
    // Sends a request of the code (filled by fill) and reads one response.
    bool call(int code, const std::function<void(Orbrequest *)> &fill = nullptr);
    // Sends an open (or liveness) request and reads the reply; true when
    // the reply says result 0.
    bool open(char perm = 'r', int code = ORBOPEN);
    // True once the server has closed the connection (within timeout_ms).
    bool closed_by_server(int timeout_ms = 20000);
    void close();

  private:
    int fd_ = -1;
    Bns *in_ = nullptr;
    Bns *out_ = nullptr;
    Orbrequest *request_ = nullptr;
    Orbresponse *response_ = nullptr;
};

// Replaces a text the request owns.
void replace(char **field, const char *text);

// Fills the open string of a request.
void fill_hello(Orbrequest *request, char perm);

// A client opens, gets the oldest packet and closes: the server serves.
bool served(int port);

// Resident memory of a process in kilobytes.
long resident_kb(pid_t pid);

// CPU time a process has used so far (user and system), in seconds; -1
// when it cannot be read.
double cpu_seconds(pid_t pid);

// Selects sources with the expression on an open connection and gets every
// packet from the oldest on: their source names (empty when the selection
// failed).
std::vector<std::string> selected_sources(Client &c, const char *select);

// The status of the server, through a connection of its own.
bool status_of(int port, Orbstat *status);

// A suite whose tests share one server over a ring of test packets.
class SharedServer : public ::testing::Test {
  protected:
    static void start_shared(int packets, const std::vector<std::string> &sources);
    static void stop_shared();
    static int port() { return server_->port(); }
    static Server *server_;
};

// v as 4 big-endian bytes.
std::string be32(uint32_t v);

// Waits up to `seconds` until the condition holds.
bool eventually(const std::function<bool()> &condition, double seconds = 20.0);

}  // namespace vktest

#endif
