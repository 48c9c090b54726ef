// A stand-in for the signing daemon, for tests: a loopback TCP server that
// speaks the daemon's conversation (one request per connection):
//   "sign\n<name>\n<length>\n" <data>              -> "<signature>\n"
//   "verify\n<name>\n<length>\n" <data> <sig> "\n" -> "1\n" or "0\n"
// Its signature is the hex FNV-1a digest of the name, a newline and the
// data. It serves in a thread of its own until it is destroyed.
#ifndef QUILLMARK_FAKE_SIGNER_H
#define QUILLMARK_FAKE_SIGNER_H

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillmark {

struct Request {
    std::string verb;       // "sign" or "verify"
    std::string signer;
    int length = 0;         // length line as sent
    std::string data;
    std::string signature;  // verify only
    bool complete = false;  // the whole request arrived
};

enum class Behaviour {
    kAnswer,  // answer as the daemon would (or with the fixed reply)
    kClose,   // read the request, then close without answering
    kHang,    // read the request, then keep the connection open unanswered
};

class FakeSigner {
  public:
    // Listens on 127.0.0.1 at port (0: a free port). ok() tells whether
    // it could.
    explicit FakeSigner(int port = 0);
    ~FakeSigner();
    FakeSigner(const FakeSigner &) = delete;
    FakeSigner &operator=(const FakeSigner &) = delete;

    bool ok() const { return listen_fd_ >= 0; }
    int port() const { return port_; }

    void set_behaviour(Behaviour b) { behaviour_.store(b); }
    // A reply line sent instead of the computed answer (newline included
    // by the caller, so that a reply without one can be sent too).
    void set_reply(const std::string &reply);

    std::vector<Request> requests();
    int connections() const { return connections_.load(); }

    static std::string signature_of(const std::string &signer, const std::string &data);

  private:
    void serve();
    void converse(int fd);
    bool read_exact(int fd, std::string &into, size_t n);
    bool read_line(int fd, std::string &line);
    bool wait_readable(int fd);

    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<Behaviour> behaviour_{Behaviour::kAnswer};
    std::atomic<int> connections_{0};
    std::mutex lock_;
    std::optional<std::string> reply_;
    std::vector<Request> requests_;
    std::thread thread_;
};

}  // namespace quillmark

#endif
