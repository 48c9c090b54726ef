// The test stand-in for the signing daemon (see fake_signer.h).

#include "fake_signer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillmark {

FakeSigner::FakeSigner(int port) {
    if (::pipe(stop_pipe_) < 0) return;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || ::listen(fd, 16) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0) {
        ::close(fd);
        return;
    }
    port_ = ntohs(sa.sin_port);
    listen_fd_ = fd;
    thread_ = std::thread([this] { serve(); });
}

FakeSigner::~FakeSigner() {
    if (stop_pipe_[1] >= 0) {
        char c = 'x';
        (void)!::write(stop_pipe_[1], &c, 1);
    }
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    for (int fd : stop_pipe_)
        if (fd >= 0) ::close(fd);
}

void FakeSigner::set_reply(const std::string &reply) {
    std::lock_guard<std::mutex> guard(lock_);
    reply_ = reply;
}

std::vector<Request> FakeSigner::requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

std::string FakeSigner::signature_of(const std::string &signer, const std::string &data) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](unsigned char c) {
        h ^= c;
        h *= 1099511628211ull;
    };
    for (unsigned char c : signer) mix(c);
    mix('\n');
    for (unsigned char c : data) mix(c);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

// Waits until fd is readable; false when the server is told to stop.
bool FakeSigner::wait_readable(int fd) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[1].revents != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

bool FakeSigner::read_exact(int fd, std::string &into, size_t n) {
    while (into.size() < n) {
        if (!wait_readable(fd)) return false;
        char buf[4096];
        size_t want = n - into.size();
        if (want > sizeof buf) want = sizeof buf;
        const ssize_t r = ::recv(fd, buf, want, 0);
        if (r <= 0) return false;
        into.append(buf, static_cast<size_t>(r));
    }
    return true;
}

bool FakeSigner::read_line(int fd, std::string &line) {
    line.clear();
    for (;;) {
        if (!wait_readable(fd)) return false;
        char c;
        const ssize_t r = ::recv(fd, &c, 1, 0);
        if (r <= 0) return false;
        if (c == '\n') return true;
        line.push_back(c);
    }
}

void FakeSigner::converse(int fd) {
    Request req;
    std::string length;
    bool complete = read_line(fd, req.verb) && read_line(fd, req.signer) && read_line(fd, length);
    if (complete) {
        req.length = std::atoi(length.c_str());
        complete = req.length >= 0 && read_exact(fd, req.data, static_cast<size_t>(req.length));
        if (complete && req.verb == "verify") complete = read_line(fd, req.signature);
    }
    req.complete = complete;
    std::optional<std::string> reply;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(req);
        reply = reply_;
    }
    const Behaviour behaviour = behaviour_.load();
    if (behaviour == Behaviour::kHang) {
        std::string ignored;
        while (read_line(fd, ignored)) {
        }
        return;
    }
    if (behaviour == Behaviour::kClose || !complete) return;
    std::string answer;
    if (reply) {
        answer = *reply;
    } else if (req.verb == "sign") {
        answer = signature_of(req.signer, req.data) + "\n";
    } else {
        answer = req.signature == signature_of(req.signer, req.data) ? "1\n" : "0\n";
    }
    (void)!::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
}

void FakeSigner::serve() {
    for (;;) {
        if (!wait_readable(listen_fd_)) return;
        const int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) continue;
        connections_.fetch_add(1);
        converse(fd);
        ::close(fd);
    }
}

}  // namespace quillmark
