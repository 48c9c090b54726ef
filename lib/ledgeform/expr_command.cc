// The command operator: a program run without a shell, its output as a
// value.
//
// The child reads /dev/null, so that a program waiting for input ends;
// everything it writes is read to the end, so that a program with a lot to
// say never blocks on a full pipe; only the first kCommandOutput bytes are
// kept. A failed exec is reported back through a pipe that the exec closes
// and is an error of the evaluation, not a value.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "expr_private.h"

namespace ledgeform {

namespace {

// Reads fd to its end; keeps the first `room` bytes in buffer, their count
// in *kept.
void drain(int fd, char *buffer, std::size_t room, std::size_t *kept) {
    char scrap[4096];
    *kept = 0;
    for (;;) {
        char *into = *kept < room ? buffer + *kept : scrap;
        std::size_t want = *kept < room ? room - *kept : sizeof scrap;
        ssize_t n = read(fd, into, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (into != scrap) *kept += static_cast<std::size_t>(n);
    }
}

void close_all(std::initializer_list<int> fds) {
    for (int fd : fds)
        if (fd >= 0) close(fd);
}

}  // namespace

char *run_command(Tbl *words) {
    int n = maxtbl(words);
    auto **argv = static_cast<char **>(LF_CALLOC(sizeof(char *) * (n + 1), "argv"));
    Owned<char *> owned_argv(argv);
    for (int i = 0; i < n; i++) argv[i] = static_cast<char *>(gettbl(words, i));

    int output[2] = {-1, -1}, report[2] = {-1, -1};
    int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (input < 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
        elog_log(1, "Can't open pipes\n");
        close_all({input, output[0], output[1], report[0], report[1]});
        return nullptr;
    }
    pid_t pid = fork();
    if (pid < 0) {
        elog_log(1, "Can't fork");
        close_all({input, output[0], output[1], report[0], report[1]});
        return nullptr;
    }
    if (pid == 0) {
        // Only calls that are safe after fork in a threaded process.
        if (dup2(input, 0) >= 0 && dup2(output[1], 1) >= 0 && dup2(output[1], 2) >= 0)
            execvp(argv[0], argv);
        int error = errno;
        (void)!write(report[1], &error, sizeof error);
        _exit(127);
    }
    close_all({input, output[1], report[1]});
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    auto *text = static_cast<char *>(LF_MALLOC(kCommandOutput + 1, "output"));
    std::size_t kept = 0;
    drain(output[0], text, kCommandOutput, &kept);
    close(output[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof error)) {
        std::free(text);
        errno = error;
        elog_log(1, "Couldn't exec %s\n", argv[0]);
        return nullptr;
    }
    if (kept > 0 && text[kept - 1] == '\n') kept--;
    text[kept] = '\0';
    return text;
}

}  // namespace ledgeform
