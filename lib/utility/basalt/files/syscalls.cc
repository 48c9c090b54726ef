// Interrupt-safe wrappers around stat, lstat, fstat, lseek, read and write,
// and the setters of a descriptor's status flags.
//
// A wrapper repeats its call while the call fails with EINTR (a signal
// handler installed without SA_RESTART ran meanwhile) and hands back the
// last result with errno as the call left it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "pathtools.h"

namespace {

int change_status_flags(int fd, int set, int clear) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return -1;
    flags = (flags | set) & ~clear;
    if (fcntl(fd, F_SETFL, flags) < 0) return -1;
    return 0;
}

}  // namespace

extern "C" {

int restat(const char *path, struct stat *buf) {
    int rc;
    do {
        rc = stat(path, buf);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

int relstat(const char *path, struct stat *buf) {
    int rc;
    do {
        rc = lstat(path, buf);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

int refstat(int fd, struct stat *buf) {
    int rc;
    do {
        rc = fstat(fd, buf);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// lseek64: offsets beyond 2 GB where off_t has 32 bits (32-bit ARM).
int64_t relseek(int fd, int64_t offset, int whence) {
    int64_t rc;
    do {
        rc = lseek64(fd, static_cast<off64_t>(offset), whence);
    } while (rc == -1 && errno == EINTR);
    return rc;
}

ssize_t reread(int fd, void *buf, size_t nbytes) {
    ssize_t n;
    do {
        errno = 0;
        n = read(fd, buf, nbytes);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t rewrite(int fd, const void *buf, size_t nbytes) {
    ssize_t n;
    do {
        errno = 0;
        n = write(fd, buf, nbytes);
    } while (n < 0 && errno == EINTR);
    return n;
}

int set_fl(int fd, int flags) { return change_status_flags(fd, flags, 0); }

int clr_fl(int fd, int flags) { return change_status_flags(fd, 0, flags); }

}  // extern "C"
