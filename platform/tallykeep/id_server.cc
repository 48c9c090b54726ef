// The id server stand-in: one request per connection, served in order by
// one thread.
#include "id_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tallykeep {

namespace {

constexpr int kMaxName = 1024;
constexpr int kReadTimeoutMs = 5000;

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

IdServer::IdServer(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        pipe2(stop_pipe_, O_CLOEXEC) != 0) {
        close(fd);
        return;
    }
    listen_fd_ = fd;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

IdServer::~IdServer() {
    if (listen_fd_ < 0) return;
    char b = 'x';
    (void)!write(stop_pipe_[1], &b, 1);
    thread_.join();
    for (int fd : hanging_) close(fd);
    close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
}

std::string IdServer::address() const { return "127.0.0.1:" + std::to_string(port_); }

void IdServer::set_reply(const std::string &reply) {
    std::lock_guard<std::mutex> hold(lock_);
    reply_ = reply;
}

void IdServer::set_next(const std::string &name, int next) {
    std::lock_guard<std::mutex> hold(lock_);
    next_[name] = next;
}

std::vector<std::string> IdServer::requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

void IdServer::serve() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        connections_++;
        converse(fd);
    }
}

void IdServer::converse(int fd) {
    std::string name;
    bool whole = false;
    while (static_cast<int>(name.size()) < kMaxName) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kReadTimeoutMs) <= 0) break;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (c == '\0') {
            whole = true;
            break;
        }
        name += c;
    }
    std::string reply;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (whole) requests_.push_back(name);
        if (reply_) {
            reply = *reply_;
        } else if (whole) {
            auto it = next_.find(name);
            int id = it == next_.end() ? 1 : it->second;
            next_[name] = id + 1;
            reply = std::to_string(id);
        }
    }
    switch (behaviour_.load()) {
        case Behaviour::kAnswer:
            if (whole) write_all(fd, reply.data(), reply.size());
            break;
        case Behaviour::kClose: break;
        case Behaviour::kHang: hanging_.push_back(fd); return;
    }
    close(fd);
}

}  // namespace tallykeep
