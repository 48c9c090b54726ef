#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {

namespace {

void drain(int out_fd, int err_fd, std::string &out, std::string &err) {
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&out, &err};
    int open_count = 2;
    char buf[8192];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
}

}  // namespace

ChildResult run_in_child(const std::function<void()> &body,
                         const std::string &input) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe(out_pipe) || pipe(err_pipe) || pipe(in_pipe))
        throw std::runtime_error("pipe failed");
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1],
                       in_pipe[0], in_pipe[1]})
            close(fd);
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(0);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);
    if (!input.empty()) {
        ssize_t w = write(in_pipe[1], input.data(), input.size());
        (void)w;
    }
    close(in_pipe[1]);

    ChildResult result;
    drain(out_pipe[0], err_pipe[0], result.out, result.err);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

bool under_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

bool under_thread_sanitizer() {
#if defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

namespace {
constexpr char kMemoryNotLimited[] = "memory not limited\n";
}

void leave_little_memory(std::size_t headroom) {
    // The sanitizers' allocators reserve huge ranges and die rather than
    // fail an allocation: there is nothing to test under them.
    if (under_address_sanitizer() || under_thread_sanitizer()) {
        std::fputs(kMemoryNotLimited, stdout);
        std::fflush(stdout);
        _exit(0);
    }
    long pages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    std::size_t limit =
        static_cast<std::size_t>(pages) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) +
        headroom;
    struct rlimit rl;
    rl.rlim_cur = limit;
    rl.rlim_max = limit;
    setrlimit(RLIMIT_AS, &rl);
    if (void *probe = std::malloc(2 * headroom)) {
        std::free(probe);
        std::fputs(kMemoryNotLimited, stdout);
        std::fflush(stdout);
        _exit(0);
    }
}

bool memory_not_limited(const ChildResult &result) {
    return result.out.find(kMemoryNotLimited) != std::string::npos;
}

}  // namespace testsupport
