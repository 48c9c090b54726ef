// Line readers over mapped files and over the captured output of commands.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc_private.h"
#include "elog.h"
#include "kitbag.h"
#include "strtools.h"
#include "tbl.h"

namespace {

class Locked {
  public:
    explicit Locked(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~Locked() { pthread_mutex_unlock(m_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

  private:
    pthread_mutex_t *m_;
};

// The readers by handle; a free slot holds null. Guarded by gx_lock, which
// also covers the opening of readers.
pthread_mutex_t gx_lock = PTHREAD_MUTEX_INITIALIZER;
Tbl *gxFiles = nullptr;

Tbl *reader_table() {
    if (gxFiles == nullptr) gxFiles = newtbl(0);
    return gxFiles;
}

// A new record without data: no command, no output file.
Gxfile *gnew() {
    auto *gx = static_cast<Gxfile *>(
        kitbag::checked_malloc(sizeof(Gxfile), 1, "mapped", __FILE__, __LINE__));
    gx->map = nullptr;
    gx->len = 0;
    gx->pid = -1;
    gx->fd = -1;
    gx->pipe = 0;
    gx->pos = 0;
    return gx;
}

// Puts gx into the lowest free slot and returns its number. Under gx_lock.
int take_slot(Gxfile *gx) {
    Tbl *table = reader_table();
    int n = maxtbl(table);
    for (int i = 0; i < n; i++) {
        if (gettbl(table, i) == nullptr) {
            settbl(table, i, gx);
            return i;
        }
    }
    return pushtbl(table, gx);
}

Gxfile *find_reader(int handle) {
    Locked hold(&gx_lock);
    return static_cast<Gxfile *>(gettbl(reader_table(), handle));
}

void wait_for(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Makes fd the descriptor target of the child, kept open across exec.
void move_to(int fd, int target) {
    if (fd == target) {
        fcntl(fd, F_SETFD, 0);
    } else {
        dup2(fd, target);
    }
}

void write_all(int fd, const char *text, std::size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

// The child of gxpipe. Only calls that are safe between fork and exec in a
// threaded process: everything it needs was made before the fork. A child
// that cannot exec leaves through _exit, so the parent's buffered output is
// not written a second time.
[[noreturn]] void run_command(int input, int unused_end, int output, char **argv, char **envp,
                              const char *failure, std::size_t failure_len) {
    close(unused_end);
    move_to(input, 0);
    move_to(output, 1);
    move_to(output, 2);
    if (argv[0] != nullptr) execve(argv[0], argv, envp);
    write_all(2, failure, failure_len);
    _exit(1);
}

}  // namespace

extern "C" int gxopen(char *path) {
    Locked hold(&gx_lock);
    const char *name = path != nullptr ? path : "(null)";
    int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        if (path == nullptr) errno = EFAULT;
        elog_complain(1, "Couldn't open %s\n", name);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) < 0) {
        close(fd);
        elog_complain(0, "fstat failed for '%s'\n", name);
        return -1;
    }
    if (st.st_size == 0) {
        close(fd);
        elog_complain(0, "'%s' is empty\n", name);
        return -1;
    }
    // Offsets are ints: a file beyond their range cannot be read through
    // a handle.
    void *map = st.st_size <= INT_MAX
                    ? mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0)
                    : MAP_FAILED;
    close(fd);
    if (map == MAP_FAILED) {
        elog_complain(0, "Can't map file %s\n", name);
        return -1;
    }
    Gxfile *gx = gnew();
    gx->map = static_cast<char *>(map);
    gx->len = static_cast<int>(st.st_size);
    return take_slot(gx);
}

extern "C" int gxpipe(char *command, char **envp, int *pipefd) {
    Locked hold(&gx_lock);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0) {
        int err = errno;
        elog_log(1, "Couldn't create pipes");
        errno = err;
        return -1;
    }
    char name[] = "/tmp/gxpipeXXXXXX";
    int output = mkostemp(name, O_CLOEXEC);
    if (output < 0) {
        int err = errno;
        close(ends[0]);
        close(ends[1]);
        elog_log(0, "mkstemp failed'");
        errno = err;
        return -1;
    }
    unlink(name);

    // The argument list and the failure message, made before the fork.
    const char *line = command != nullptr ? command : "";
    char *copy = KITBAG_STRDUP(line, "command");
    Tbl *words = split(copy, ' ');
    int argc = maxtbl(words);
    auto **argv = static_cast<char **>(
        KITBAG_MALLOC(sizeof(char *) * (static_cast<std::size_t>(argc) + 1), "argv"));
    for (int i = 0; i < argc; i++) argv[i] = static_cast<char *>(gettbl(words, i));
    argv[argc] = nullptr;
    const char *program = argc > 0 ? argv[0] : "";
    // The message has the form of a fatal message of the log, which names
    // the program once it has been used.
    elog_mark();
    const char *format = "%s *fatal*: Couldn't exec '%s' : '%s'\n";
    int failure_len = std::snprintf(nullptr, 0, format, Program_Name, program, line);
    if (failure_len < 0) failure_len = 0;
    auto *failure = static_cast<char *>(
        KITBAG_MALLOC(static_cast<std::size_t>(failure_len) + 1, "message"));
    std::snprintf(failure, static_cast<std::size_t>(failure_len) + 1, format, Program_Name,
                  program, line);
    static char *no_environment[] = {nullptr};
    char **environment = envp != nullptr ? envp : no_environment;

    Gxfile *gx = gnew();
    gx->fd = output;
    int handle = take_slot(gx);

    pid_t pid = fork();
    if (pid == 0)
        run_command(ends[0], ends[1], output, argv, environment, failure,
                    static_cast<std::size_t>(failure_len));
    int err = errno;
    std::free(failure);
    std::free(argv);
    freetbl(words, nullptr);
    std::free(copy);
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        close(output);
        settbl(reader_table(), handle, nullptr);
        std::free(gx);
        elog_log(0, "fork failed");
        errno = err;
        return -1;
    }
    gx->pipe = ends[0];
    if (pipefd != nullptr) *pipefd = ends[0];
    gx->pid = static_cast<int>(pid);
    return handle;
}

extern "C" int gxmap(Gxfile *gx) {
    if (gx->pid <= 0) {
        elog_log(0, "no pid");
        return -1;
    }
    close(gx->pipe);
    gx->pipe = -1;
    wait_for(static_cast<pid_t>(gx->pid));
    gx->pid = -1;
    if (gx->fd < 0) {
        elog_log(0, "no open file");
        return -1;
    }
    struct stat st;
    if (fstat(gx->fd, &st) < 0) {
        elog_log(1, "fstat failed\n");
        return -1;
    }
    if (st.st_size == 0) {
        elog_log(1, "output is empty");
        return -1;
    }
    void *map = MAP_FAILED;
    if (st.st_size <= INT_MAX) {
        map = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, gx->fd, 0);
    } else {
        errno = EFBIG;
    }
    if (map == MAP_FAILED) {
        elog_log(1, "can't map command output");
        return -1;
    }
    close(gx->fd);
    gx->fd = -1;
    gx->map = static_cast<char *>(map);
    gx->len = static_cast<int>(st.st_size);
    gx->pos = 0;
    return 0;
}

extern "C" int gxline(int handle, char *buf, int size) {
    // A buffer of one byte leaves no room for any character.
    if (size <= 1) {
        if (size == 1) buf[0] = '\0';
        return 0;
    }
    buf[0] = '\0';
    Gxfile *gx = find_reader(handle);
    if (gx == nullptr) return 0;
    if (gx->map == nullptr && gxmap(gx) < 0) return 0;
    const char *data = gx->map;
    int pos = gx->pos;
    int copied = 0;
    bool newline = false;
    while (copied < size - 1 && pos < gx->len) {
        char c = data[pos];
        if (c == '\0') break;
        ++pos;
        if (c == '\n') {
            newline = true;
            break;
        }
        buf[copied++] = c;
    }
    buf[copied] = '\0';
    int consumed = pos - gx->pos;
    gx->pos = pos;
    if (consumed == size - 1 && !newline) return 2;
    return consumed > 0 ? 1 : 0;
}

extern "C" int gxtell(int handle) {
    Locked hold(&gx_lock);
    auto *gx = static_cast<Gxfile *>(gettbl(reader_table(), handle));
    return gx != nullptr ? gx->pos : -1;
}

extern "C" int gxseek(int handle, int pos) {
    Locked hold(&gx_lock);
    auto *gx = static_cast<Gxfile *>(gettbl(reader_table(), handle));
    if (gx == nullptr) return 0;
    if (pos < 0 || pos > gx->len) return -1;
    gx->pos = pos;
    return 0;
}

extern "C" int gxclose(int handle) {
    Gxfile *gx;
    {
        Locked hold(&gx_lock);
        Tbl *table = reader_table();
        gx = static_cast<Gxfile *>(gettbl(table, handle));
        if (gx == nullptr) return 0;
        settbl(table, handle, nullptr);
    }
    int rc = 0;
    if (gx->map != nullptr) rc = munmap(gx->map, static_cast<std::size_t>(gx->len));
    if (gx->fd >= 0) close(gx->fd);
    // A command that was never read is waited for here, so that it does not
    // stay behind as a zombie with its pipe end open.
    if (gx->pid > 0) {
        close(gx->pipe);
        wait_for(static_cast<pid_t>(gx->pid));
    }
    std::free(gx);
    return rc;
}
