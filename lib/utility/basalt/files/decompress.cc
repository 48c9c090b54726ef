// Decompression on open: compressed files are opened by name suffix
// through the outside commands "zcat", "bzcat" and "gunzip".
//
// The commands are started with fork and execvp, never through a shell, and
// read the compressed file on their standard input: the file is opened here,
// so its name never reaches a command line (a name holding blanks, shell
// characters or a leading "-" is just a name). A copy is written into a
// temporary file in "/var/tmp" that is unlinked as soon as it is made; the
// data lives as long as the descriptor, stream or mapping. A command that
// does not exit with status 0 makes the open fail, and its partial output
// is dropped. Nothing here logs.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "mapfile.h"

namespace {

// Where decompressed copies are made.
constexpr const char kTempDir[] = "/var/tmp";

// Descriptors are closed on exec, so that a command started by another
// thread meanwhile does not hold them; large files open on 32-bit boards.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_LARGEFILE;

enum class Codec { none, gzip, bzip2 };

bool ends_with(const char *name, std::size_t len, const char *suffix) {
    std::size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(name + len - n, suffix, n) == 0;
}

// ".Z" and ".gz": compress or gzip; ".bz2": bzip2.
Codec codec_of(const char *name) {
    std::size_t len = std::strlen(name);
    if (ends_with(name, len, ".Z") || ends_with(name, len, ".gz")) return Codec::gzip;
    if (ends_with(name, len, ".bz2")) return Codec::bzip2;
    return Codec::none;
}

// The command for a codec; `gunzip` picks gunzip over zcat for gzip.
const char *command_for(Codec codec, bool gunzip) {
    if (codec == Codec::bzip2) return "bzcat";
    return gunzip ? "gunzip" : "zcat";
}

void close_keeping_errno(int fd) {
    int err = errno;
    close(fd);
    errno = err;
}

// Waits for the child pid: true when it exited with status 0. errno is EIO
// for any other end, or as waitpid left it.
bool exited_well(pid_t pid) {
    int status = 0;
    pid_t rc;
    do {
        rc = waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return false;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    errno = EIO;
    return false;
}

// Starts program with input as standard input and output as standard
// output; the rest is inherited. Returns the child's id, or -1.
//
// The child does only what is safe between fork and exec in a threaded
// process: it moves descriptors, gives the command the default SIGPIPE
// disposition and an empty signal mask (a server ignores SIGPIPE, and a
// thread may block signals), execs, and leaves through _exit when that
// fails, so that buffered output of the parent is not written twice.
pid_t start(const char *program, int input, int output) {
    char *argv[] = {const_cast<char *>(program), nullptr};
    pid_t pid = fork();
    if (pid != 0) return pid;
    // A descriptor among 0 to 2 (the process had closed its own) is moved
    // out of the way first, so that neither move overwrites the other and
    // each clears the close-on-exec flag.
    if (input < 3) input = fcntl(input, F_DUPFD_CLOEXEC, 3);
    if (output < 3) output = fcntl(output, F_DUPFD_CLOEXEC, 3);
    if (input < 0 || output < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0) _exit(126);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(program, argv);
    _exit(127);
}

// Decompresses the open file `input` with program into a new temporary
// file (name prefix `prefix`) and returns a read-only descriptor of the
// copy, positioned at its start; -1 with errno set on failure, when
// nothing of the copy remains.
int decompressed_copy(int input, const char *program, const char *prefix) {
    char name[64];
    std::snprintf(name, sizeof name, "%s/%sXXXXXX", kTempDir, prefix);
    int output = mkostemp64(name, O_CLOEXEC);
    if (output < 0) return -1;
    // A second, read-only description of the same file: it starts at
    // offset 0 whatever the command writes through the first one.
    int copy = open(name, kOpenFlags);
    int err = errno;
    unlink(name);
    if (copy < 0) {
        close(output);
        errno = err;
        return -1;
    }
    pid_t pid = start(program, input, output);
    err = errno;
    close(output);
    if (pid < 0) {
        close(copy);
        errno = err;
        return -1;
    }
    if (!exited_well(pid)) {
        close_keeping_errno(copy);
        return -1;
    }
    return copy;
}

// Opens name for reading, or a decompressed copy of it by its suffix.
int open_maybe_decompressed(const char *name, bool gunzip, const char *prefix) {
    if (name == nullptr) {
        errno = EFAULT;
        return -1;
    }
    int fd;
    do {
        fd = open(name, kOpenFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    Codec codec = codec_of(name);
    if (codec == Codec::none) return fd;
    int copy = decompressed_copy(fd, command_for(codec, gunzip), prefix);
    close_keeping_errno(fd);
    return copy;
}

FILE *stream_on(int fd) {
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "r");
    if (f == nullptr) close_keeping_errno(fd);
    return f;
}

// ---- gz_cat: a stream on the command's output ----

// The state of one pipe stream. Reading the end of the output waits for
// the command; a command that failed turns that end into a read error.
struct Pipe {
    int fd;        // read end of the pipe; -1 once closed
    pid_t pid;     // the command; -1 once waited for
    bool failed;   // the command ended badly
};

ssize_t pipe_read(void *cookie, char *buf, size_t size) {
    auto *p = static_cast<Pipe *>(cookie);
    if (p->failed) {
        errno = EIO;
        return -1;
    }
    ssize_t n;
    do {
        n = read(p->fd, buf, size);
    } while (n < 0 && errno == EINTR);
    if (n != 0 || p->pid < 0) return n;
    // End of the output: the command's status tells an end from a failure.
    bool ok = exited_well(p->pid);
    p->pid = -1;
    if (ok) return 0;
    p->failed = true;
    errno = EIO;
    return -1;
}

int pipe_close(void *cookie) {
    auto *p = static_cast<Pipe *>(cookie);
    int rc = p->failed ? -1 : 0;
    close(p->fd);
    // A command stopped early by the closed pipe is not a failure of the
    // reader, who wanted no more.
    if (p->pid > 0) exited_well(p->pid);
    std::free(p);
    if (rc < 0) errno = EIO;
    return rc;
}

FILE *command_stream(int input, const char *program) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0) return nullptr;
    pid_t pid = start(program, input, ends[1]);
    int err = errno;
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        errno = err;
        return nullptr;
    }
    auto *p = BASALT_NEW_RECORD(Pipe, "gz_cat pipe");
    p->fd = ends[0];
    p->pid = pid;
    p->failed = false;
    cookie_io_functions_t io;
    std::memset(&io, 0, sizeof io);
    io.read = pipe_read;
    io.close = pipe_close;
    FILE *f = fopencookie(p, "r", io);
    if (f == nullptr) {
        err = errno;
        pipe_close(p);
        errno = err;
    }
    return f;
}

}  // namespace

extern "C" {

int gz_openfd(const char *filename) {
    return open_maybe_decompressed(filename, false, "gzO");
}

FILE *gz_open(const char *filename) {
    return stream_on(open_maybe_decompressed(filename, false, "gzS"));
}

FILE *zopen(const char *filename) {
    return stream_on(open_maybe_decompressed(filename, true, "zoP"));
}

FILE *gz_cat(const char *filename) {
    if (filename == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    int fd;
    do {
        fd = open(filename, kOpenFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    Codec codec = codec_of(filename);
    if (codec == Codec::none) return stream_on(fd);
    FILE *f = command_stream(fd, command_for(codec, false));
    close_keeping_errno(fd);
    return f;
}

}  // extern "C"
