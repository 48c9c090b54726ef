// tcplaunch: accepts TCP connections on a loopback port and starts a
// program once per connection, with the connected socket as the program's
// standard input. The program and its arguments are passed to execv as
// they are: no shell sees them.
//
//   tcplaunch [-p port] program [argument...]
//
// Port 0 (the default) takes any free port. When it listens it prints
// "listening on port N" on standard output. On standard error it logs
// each start ("pid N serves A:P") and each end ("pid N exited with status
// S" or "pid N killed by signal S"). SIGHUP, SIGINT, SIGQUIT and SIGTERM
// stop it (status 0); the programs it started go on serving their
// connections.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kBacklog = 64;
constexpr int kTerminationSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
// Pause after an accept that failed for want of descriptors or memory.
constexpr int kAcceptPauseMillis = 100;

int wake_pipe[2] = {-1, -1};
std::atomic<int> stopping{0};

void wake(int sig) {
    const int saved = errno;
    if (sig != SIGCHLD) stopping.store(1);
    const char byte = 'w';
    (void)!::write(wake_pipe[1], &byte, 1);
    errno = saved;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "Usage: tcplaunch [-p port] program [argument...]\n");
    std::exit(1);
}

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "tcplaunch: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void handle(int sig, void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = handler == SIG_DFL || handler == SIG_IGN ? 0 : SA_RESTART;
    sigaction(sig, &action, nullptr);
}

int listen_on(int port) {
    // Not blocking: a connection that went away between poll and accept
    // must not hold the loop.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) fail("socket");
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) fail("bind");
    if (::listen(fd, kBacklog) != 0) fail("listen");
    return fd;
}

// Logs the end of every started program that has ended.
void reap_children() {
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        if (WIFEXITED(status))
            std::fprintf(stderr, "tcplaunch: pid %d exited with status %d\n", static_cast<int>(pid),
                         WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            std::fprintf(stderr, "tcplaunch: pid %d killed by signal %d\n", static_cast<int>(pid),
                         WTERMSIG(status));
        std::fflush(stderr);
    }
}

void start(int connection, const sockaddr_in &peer, char **command) {
    const pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "tcplaunch: fork: %s\n", std::strerror(errno));
        return;
    }
    if (pid == 0) {
        for (int sig : kTerminationSignals) handle(sig, SIG_DFL);
        handle(SIGCHLD, SIG_DFL);
        handle(SIGPIPE, SIG_DFL);
        // The connection becomes standard input (dup2 clears close-on-exec);
        // the listener and the pipe close on exec.
        if (dup2(connection, STDIN_FILENO) < 0) _exit(126);
        if (connection != STDIN_FILENO) ::close(connection);
        execv(command[0], command);
        std::fprintf(stderr, "tcplaunch: can't run %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }
    char dotted[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
    std::fprintf(stderr, "tcplaunch: pid %d serves %s:%d\n", static_cast<int>(pid), dotted,
                 ntohs(peer.sin_port));
    std::fflush(stderr);
}

}  // namespace

int main(int argc, char **argv) {
    int port = 0;
    int c;
    while ((c = getopt(argc, argv, "+p:")) != -1) {
        switch (c) {
            case 'p': {
                char *end = nullptr;
                const long value = std::strtol(optarg, &end, 10);
                if (end == optarg || *end != '\0' || value < 0 || value > 65535) usage();
                port = static_cast<int>(value);
                break;
            }
            default: usage();
        }
    }
    if (optind >= argc) usage();
    char **command = argv + optind;

    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe");
    for (int sig : kTerminationSignals) handle(sig, wake);
    handle(SIGCHLD, wake);
    handle(SIGPIPE, SIG_IGN);

    const int listener = listen_on(port);
    sockaddr_in bound;
    socklen_t len = sizeof bound;
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &len) != 0) fail("getsockname");
    std::printf("listening on port %d\n", ntohs(bound.sin_port));
    std::fflush(stdout);

    while (stopping.load() == 0) {
        pollfd p[2] = {{listener, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) fail("poll");
        if (p[1].revents & POLLIN) {
            char drain[64];
            while (::read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        reap_children();
        if (stopping.load() != 0) break;
        if (!(p[0].revents & POLLIN)) continue;
        sockaddr_in peer;
        socklen_t peer_len = sizeof peer;
        const int connection =
            accept4(listener, reinterpret_cast<sockaddr *>(&peer), &peer_len, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
            std::fprintf(stderr, "tcplaunch: accept: %s\n", std::strerror(errno));
            std::fflush(stderr);
            poll(nullptr, 0, kAcceptPauseMillis);
            continue;
        }
        start(connection, peer, command);
        ::close(connection);
    }
    ::close(listener);
    std::fprintf(stderr, "tcplaunch: stopping\n");
    return 0;
}
