// Test helpers for the disk ring server (see vk_testing.h).
#include "vk_testing.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "child.h"
#include "torvik.h"

namespace vktest {

namespace {

char kSync[] = "orbm";

int count_entries(const std::string &dir) {
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
    }
    return n;
}

// True while something listens on the port (IPv4).
bool listening(int port) {
    FILE *f = std::fopen("/proc/net/tcp", "r");
    if (f == nullptr) return false;
    char line[512];
    bool found = false;
    char want[16];
    std::snprintf(want, sizeof want, ":%04X", port);
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        unsigned local_port = 0, state = 0;
        char address[64];
        if (std::sscanf(line, " %*d: %63[0-9A-F]:%x %*s %x", address, &local_port, &state) == 3)
            found = static_cast<int>(local_port) == port && state == 0x0A;
    }
    std::fclose(f);
    return found;
}

}  // namespace

bool light() {
#ifdef KORVANEL_EMULATED
    return true;
#else
    return testsupport::under_address_sanitizer() || testsupport::under_thread_sanitizer();
#endif
}

std::string body_of(int i, int size) {
    std::string s(static_cast<std::size_t>(size), '\0');
    for (int b = 0; b < size; b++) s[static_cast<std::size_t>(b)] = static_cast<char>(i * 31 + b * 7);
    return s;
}

void write_ring(const std::string &dir, int count, const std::vector<std::string> &sources,
                int first, int size) {
    std::filesystem::create_directories(dir);
    const int orb = torvikopen(const_cast<char *>(dir.c_str()), const_cast<char *>("b"));
    if (orb < 0) std::abort();
    for (int i = first; i < first + count; i++) {
        std::string body = body_of(i, size);
        const std::string &source = sources[static_cast<std::size_t>(i) % sources.size()];
        if (torvikput(orb, const_cast<char *>(source.c_str()), kFirstTime + i, body.data(), size) != 0)
            std::abort();
    }
    torvikclose(orb);
}

bool reap_exit(pid_t *pid, int *status) {
    if (*pid <= 0) return true;
    int how;
    if (waitpid(*pid, &how, WNOHANG) != *pid) return false;
    *status = WIFEXITED(how) ? WEXITSTATUS(how) : 128 + WTERMSIG(how);
    *pid = -1;
    return true;
}

std::string loopback_pf(const std::string &more) {
    return "valid_ip_addresses &Tbl{\n127.0.0.1 255.255.255.255\n}\n" + more;
}

Server *SharedServer::server_ = nullptr;

void SharedServer::start_shared(int packets, const std::vector<std::string> &sources) {
    server_ = new Server;
    write_ring(server_->ring(), packets, sources);
    ASSERT_TRUE(server_->start());
}

void SharedServer::stop_shared() {
    delete server_;
    server_ = nullptr;
}

std::string be32(uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
}

bool eventually(const std::function<bool()> &condition, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Server::Server() = default;

Server::~Server() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    // A sanitizer's report from the server fails the test that ran it.
    const std::string text = log();
    for (const char *report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                               "ERROR: LeakSanitizer", "runtime error:"})
        if (text.find(report) != std::string::npos) ADD_FAILURE() << text;
}

bool Server::start(const std::string &pf, const std::vector<std::string> &args, int nofile) {
    testsupport::write_file(file("vaultkeep.pf"), pf);
    std::filesystem::create_directories(ring());
    for (int attempt = 0; attempt < 5; attempt++) {
        port_ = free_port();
        const std::string operand = ring() + ":" + std::to_string(port_);
        const std::string logfile = file("vaultkeep.log");
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir().c_str()) != 0) _exit(126);
            for (const char *v : {"ELOG_MAXMSG", "ELOG_WAIT", "ELOG_SIGNALS", "ELOG_DELIVER",
                                  "ELOG_TAG", "ELOG_DEBUG"})
                unsetenv(v);
            setenv("PFPATH", dir().c_str(), 1);
            setenv("BNS_TIMEOUT", "2000", 1);
            if (nofile > 0) {
                rlimit rl = {static_cast<rlim_t>(nofile), static_cast<rlim_t>(nofile)};
                setrlimit(RLIMIT_NOFILE, &rl);
            }
            const int log = ::open(logfile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(log, 1);
            dup2(log, 2);
            for (int fd = 3; fd < 4096; fd++) ::close(fd);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(VAULTKEEP_PROGRAM));
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(const_cast<char *>(operand.c_str()));
            argv.push_back(nullptr);
            execv(VAULTKEEP_PROGRAM, argv.data());
            _exit(127);
        }
        if (eventually([&] { return listening(port_) || !running(); }, 60.0) && running())
            return true;
        // Another process took the port in between: try another.
        wait_exit(5.0);
    }
    return false;
}

std::string Server::log() const { return testsupport::read_file(file("vaultkeep.log")); }

bool Server::log_shows(const std::string &text, double seconds) const {
    return eventually([&] { return log().find(text) != std::string::npos; }, seconds);
}

int Server::descriptors() const { return count_entries("/proc/" + std::to_string(pid_) + "/fd"); }

int Server::threads() const { return count_entries("/proc/" + std::to_string(pid_) + "/task"); }

int Server::settled_threads() const {
    int n = threads();
    for (int i = 0; i < 20; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const int now = threads();
        if (now == n) break;
        n = now;
    }
    return n;
}

void Server::signal(int sig) { ::kill(pid_, sig); }

bool Server::reaped() {
    return reap_exit(&pid_, &exit_status_);
}

bool Server::running() { return !reaped(); }

int Server::wait_exit(double seconds) {
    return eventually([&] { return reaped(); }, seconds) ? exit_status_ : -1;
}

Client::Client(int port, int rcvbuf) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    in_ = bnsnew(fd, 0);
    out_ = bnsnew(fd, 0);
    request_ = newOrbrequest();
    response_ = newOrbresponse();
}

Client::~Client() { close(); }

void Client::close() {
    bnsfree(in_);
    bnsfree(out_);
    freeOrbrequest(request_);
    freeOrbresponse(response_);
    in_ = out_ = nullptr;
    request_ = nullptr;
    response_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Client::send_raw(const std::string &bytes) {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
}

bool Client::send() {
    return fd_ >= 0 && bnsput(out_, kSync, BNS_BYTES, 4) == 0 &&
           pbnsOrbrequest(out_, request_) == 0 && bnsflush(out_) == 0;
}

bool Client::receive(int timeout_ms) {
    if (fd_ < 0) return false;
    bnstimeout(in_, timeout_ms);
    return gbnsSync(in_, kSync, 4, 1) == 0 && gbnsOrbresponse(in_, response_) == 0;
}

bool Client::call(int code, const std::function<void(Orbrequest *)> &fill) {
    if (fd_ < 0) return false;
    request_->what = code;
    if (fill) fill(request_);
    return send() && receive();
}

void replace(char **field, const char *text) {
    std::free(*field);
    *field = strdup(text);
}

void fill_hello(Orbrequest *request, char perm) {
    if (request->hello == nullptr) request->hello = newOrbOpenString();
    OrbOpenString *h = request->hello;
    std::memset(h, 0, sizeof *h);
    std::memcpy(&h->handshake, kSync, 4);
    h->pid = static_cast<int>(getpid());
    h->perm = perm;
    std::snprintf(h->what, sizeof h->what, "vaultkeep test client");
    std::snprintf(h->who, sizeof h->who, "tester");
}

bool Client::open(char perm, int code) {
    return call(code, [perm](Orbrequest *r) { fill_hello(r, perm); }) && response_->result == 0;
}

bool Client::closed_by_server(int timeout_ms) {
    if (fd_ < 0) return true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
    return false;
}

bool served(int port) {
    Client c(port);
    const bool ok = c.open() && c.call(ORBGET, [](Orbrequest *r) { r->pktcode = ORBOLDEST; }) &&
                    c.resp()->result == 0;
    c.call(ORBCLOSE);
    return ok;
}

long resident_kb(pid_t pid) {
    const std::string status = testsupport::read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

double cpu_seconds(pid_t pid) {
    const std::string stat = testsupport::read_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name in parentheses may hold blanks: count from its end.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; i++)
        if (i == 14 || i == 15) ticks += std::atol(field.c_str());
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::vector<std::string> selected_sources(Client &c, const char *select) {
    std::vector<std::string> names;
    if (!c.call(ORBSELECT, [select](Orbrequest *r) { replace(&r->select, select); }) ||
        c.resp()->nselections < 0)
        return names;
    int code = ORBOLDEST;
    while (c.call(ORBGET, [code](Orbrequest *r) { r->pktcode = code; }) && c.resp()->result == 0) {
        names.push_back(c.resp()->pkg->srcname);
        code = ORBNEXT;
    }
    return names;
}

bool status_of(int port, Orbstat *status) {
    Client c(port);
    if (!c.open() || !c.call(ORBSTAT) || c.resp()->result != 0) return false;
    *status = c.resp()->orbstat;
    c.call(ORBCLOSE);
    return true;
}

}  // namespace vktest
