// The paths of the running executable and of other processes' executables.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "alloc_private.h"
#include "kitbag.h"

namespace {

constexpr std::size_t kPathSize = 4096;

char exec_name[kPathSize];
pthread_once_t exec_name_once = PTHREAD_ONCE_INIT;

void read_exec_name() {
    ssize_t n = readlink("/proc/self/exe", exec_name, sizeof exec_name - 1);
    exec_name[n > 0 ? n : 0] = '\0';
}

}  // namespace

extern "C" char *getexecname(void) {
    pthread_once(&exec_name_once, read_exec_name);
    return exec_name;
}

extern "C" char *pidexecname(int pid) {
    char path[64];
    char text[kPathSize];

    std::snprintf(path, sizeof path, "/proc/%d/exe", pid);
    ssize_t n = readlink(path, text, sizeof text - 1);
    if (n > 0) {
        text[n] = '\0';
        return KITBAG_STRDUP(text, "execname");
    }

    // No executable link to read (another user's process, a kernel thread):
    // fall back on the command line, whose arguments are separated by NULs.
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        elog_log(1, "failed to read %s", path);
        return KITBAG_STRDUP("", "execname");
    }
    std::size_t got = 0;
    while (got < sizeof text - 1) {
        ssize_t r = read(fd, text + got, sizeof text - 1 - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    close(fd);
    for (std::size_t i = 0; i < got; i++)
        if (text[i] == '\0') text[i] = ' ';
    text[got] = '\0';
    return KITBAG_STRDUP(text, "execname");
}
