// A stand-in for the database library's id server, for tests: a loopback
// TCP server that takes one request per connection, an id name ended by a
// zero byte, and answers with the next id of that name as decimal text,
// then closes the connection. Ids of a name run on from 1 (or from what
// set_next gave). It serves in a thread of its own until it is destroyed.
#ifndef TALLYKEEP_ID_SERVER_H
#define TALLYKEEP_ID_SERVER_H

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tallykeep {

enum class Behaviour {
    kAnswer,  // answer with the next id (or with the fixed reply)
    kClose,   // read the request, then close without answering
    kHang,    // read the request, then keep the connection open unanswered
};

class IdServer {
  public:
    // Listens on 127.0.0.1 at port (0: a free port). ok() tells whether it
    // could.
    explicit IdServer(int port = 0);
    ~IdServer();
    IdServer(const IdServer &) = delete;
    IdServer &operator=(const IdServer &) = delete;

    bool ok() const { return listen_fd_ >= 0; }
    int port() const { return port_; }
    // "127.0.0.1:<port>", the text a database names its id server by.
    std::string address() const;

    void set_behaviour(Behaviour b) { behaviour_.store(b); }
    // Bytes sent instead of the next id (so that empty, cut, long or
    // malformed replies can be sent).
    void set_reply(const std::string &reply);
    // The next id the name gets.
    void set_next(const std::string &name, int next);

    // The names asked for, in order (requests that came whole).
    std::vector<std::string> requests();
    int connections() const { return connections_.load(); }

  private:
    void serve();
    void converse(int fd);

    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<Behaviour> behaviour_{Behaviour::kAnswer};
    std::atomic<int> connections_{0};
    std::mutex lock_;
    std::optional<std::string> reply_;
    std::map<std::string, int> next_;
    std::vector<std::string> requests_;
    std::vector<int> hanging_;
    std::thread thread_;
};

}  // namespace tallykeep

#endif
