// File tests, sizes and dates, free space, is_changed, mkfile and
// verbose_exists.
//
// The tests never log and leave errno as they found it. They stat through
// the interrupt-safe wrappers, so symbolic links are followed.
#include "filetests.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "alloc.h"
#include "arrays.h"
#include "elog.h"
#include "kitbag.h"
#include "filesys_private.h"
#include "pathtools.h"
#include "strtools.h"

namespace {

using basalt::DirStream;
using basalt::ErrnoKeeper;
using basalt::kPathBuffer;

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// stat with a 64-bit record, repeated while interrupted: a file beyond
// 2 GB, or one with a large inode number, is tested like any other where
// off_t and ino_t have 32 bits (32-bit ARM).
bool stat_of(const char *path, struct stat64 *st) {
    if (path == nullptr) return false;
    int rc;
    do rc = stat64(path, st);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// Modification time of a stat record as a count that fits the results of
// filetime and the memory of is_changed: times before 1970 read as 0,
// times past the 32-bit range as its top.
unsigned int mtime_of(const struct stat64 &st) {
    const auto t = static_cast<std::int64_t>(st.st_mtime);
    if (t < 0) return 0;
    if (t > static_cast<std::int64_t>(UINT_MAX)) return UINT_MAX;
    return static_cast<unsigned int>(t);
}

// The directory reader of is_empty.
std::mutex empty_lock;

// is_changed: modification times last seen, keyed by the name as the
// caller wrote it; values are malloc'd unsigned ints. Entries stay for the
// life of the process.
std::mutex past_lock;
Arr *past = nullptr;

}  // namespace

extern "C" {

int is_file(const char *path) {
    ErrnoKeeper keep;
    struct stat64 st;
    return stat_of(path, &st) && S_ISREG(st.st_mode) ? 1 : 0;
}

int is_dir(const char *path) {
    ErrnoKeeper keep;
    struct stat64 st;
    return stat_of(path, &st) && S_ISDIR(st.st_mode) ? 1 : 0;
}

int is_present(const char *path) {
    ErrnoKeeper keep;
    struct stat64 st;
    return stat_of(path, &st) ? 1 : 0;
}

int is_empty(const char *path) {
    ErrnoKeeper keep;
    struct stat64 st;
    if (!stat_of(path, &st)) return 0;
    if (S_ISREG(st.st_mode)) return st.st_size == 0 ? 1 : 0;
    if (!S_ISDIR(st.st_mode)) return 0;

    // Entries other than "." and ".." are counted, so that a file system
    // whose listings lack those two still reads right; the first one
    // settles the answer.
    int failure = 0;
    int entries = 0;
    {
        std::lock_guard<std::mutex> hold(empty_lock);
        errno = 0;
        DirStream dir(opendir(path));
        if (!dir) {
            failure = errno != 0 ? errno : EIO;
        } else {
            errno = 0;
            struct dirent64 *entry;
            while ((entry = readdir64(dir.get())) != nullptr) {
                if (std::strcmp(entry->d_name, ".") == 0 ||
                    std::strcmp(entry->d_name, "..") == 0)
                    continue;
                entries++;
                break;
            }
            if (entry == nullptr) failure = errno;
        }
    }
    if (failure != 0) return -1;
    return entries == 0 ? 1 : 0;
}

int is_writable_file(const char *path) {
    ErrnoKeeper keep;
    if (path == nullptr || path[0] == '\0') return 0;
    struct stat64 st;
    if (stat_of(path, &st)) {
        if (!S_ISREG(st.st_mode)) return 0;
        return access(path, W_OK) == 0 ? 1 : 0;
    }
    // Absent: a file can be made when the directory part is a directory
    // that may be written and searched.
    if (std::strlen(path) >= kPathBuffer) return 0;
    char dir[kPathBuffer];
    char base[kPathBuffer];
    parsepath(path, dir, base, nullptr);
    const char *where = dir;
    if (dir[0] == '\0') where = path[0] == '/' ? "/" : ".";
    struct stat64 dst;
    if (!stat_of(where, &dst) || !S_ISDIR(dst.st_mode)) return 0;
    return access(where, W_OK | X_OK) == 0 ? 1 : 0;
}

int is_filename(const char *name) {
    if (name == nullptr) return 0;
    if (name[0] == '/') return 1;
    if (std::strncmp(name, "./", 2) == 0) return 1;
    if (std::strncmp(name, "../", 3) == 0) return 1;
    return 0;
}

unsigned int filesize(const char *path) {
    ErrnoKeeper keep;
    struct stat64 st;
    if (!stat_of(path, &st) || !S_ISREG(st.st_mode)) return 0;
    const auto size = static_cast<std::int64_t>(st.st_size);
    if (size < 0) return 0;
    if (size > static_cast<std::int64_t>(UINT_MAX)) return UINT_MAX;
    return static_cast<unsigned int>(size);
}

unsigned int filetime(const char *path) {
    ErrnoKeeper keep;
    struct stat64 st;
    if (!stat_of(path, &st)) return 0;
    return mtime_of(st);
}

unsigned int filemode(const char *path) {
    ErrnoKeeper keep;
    struct stat64 st;
    if (!stat_of(path, &st) || !S_ISREG(st.st_mode)) return 0;
    return static_cast<unsigned int>(st.st_mode);
}

int is_changed(const char *filename) {
    ErrnoKeeper keep;
    if (filename == nullptr) return 0;
    struct stat64 st;
    const unsigned int now = stat_of(filename, &st) ? mtime_of(st) : 0;

    std::lock_guard<std::mutex> hold(past_lock);
    if (past == nullptr) past = newarr(nullptr);
    auto *seen = static_cast<unsigned int *>(getarr(past, filename));
    const unsigned int before = seen != nullptr ? *seen : 0;
    if (now == before) return 0;
    if (seen != nullptr) {
        *seen = now;
    } else {
        setarr(past, filename, memdup(&now, static_cast<int>(sizeof now)));
    }
    return 1;
}

int freespace(const char *path, double mbavail) {
    ErrnoKeeper keep;
    if (path == nullptr || std::strlen(path) >= kPathBuffer) return 0;
    char copy[kPathBuffer];
    std::strcpy(copy, path);
    // A test does not log: whatever infopath says about a path it cannot
    // place is dropped again.
    const int mark = elog_mark();
    InfoPath *info = infopath(copy);
    elog_flush(0, mark);
    if (info == nullptr) return 0;
    const double available = info->avail / 1000000.0;
    std::free(info);
    return available > mbavail ? 1 : 0;
}

double gbytes(double bytes) { return bytes / 1e9; }
double mbytes(double bytes) { return bytes / 1e6; }
double kbytes(double bytes) { return bytes / 1e3; }

int mkfile(const char *name, unsigned int nbytes, const void *init,
           int initsize) {
    if (name == nullptr) name = "";
    Descriptor fd(open(name, O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0664));
    if (fd.get() < 0) {
        elog_log(1, "Can't create new file '%s'\n", name);
        return -1;
    }

    const auto *p = static_cast<const char *>(init);
    std::size_t left = init != nullptr && initsize > 0 ? static_cast<std::size_t>(initsize) : 0;
    while (left > 0) {
        const ssize_t n = rewrite(fd.get(), p, left);
        if (n <= 0) {
            if (n == 0 && errno == 0) errno = EIO;
            elog_log(1, "Failed to write initialization to new file '%s'\n", name);
            return -1;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }

    // A zero byte written at the last offset gives the file its length. It
    // is written only past the initialisation, which it would otherwise
    // overwrite; the truncation then cuts an initialisation longer than
    // nbytes (and is all there is to do for an empty file).
    const std::size_t written = init != nullptr && initsize > 0 ? static_cast<std::size_t>(initsize) : 0;
    if (nbytes > 0 && written < nbytes) {
        const std::int64_t last = static_cast<std::int64_t>(nbytes) - 1;
        if (relseek(fd.get(), last, SEEK_SET) != last) {
            elog_log(1, "Failed to seek to end of new file '%s'\n", name);
            return -1;
        }
        const char zero = 0;
        if (rewrite(fd.get(), &zero, 1) != 1) {
            elog_log(1, "Failed to write byte at end of new file '%s'\n", name);
            return -1;
        }
    }
    int rc;
    do rc = ftruncate64(fd.get(), static_cast<off64_t>(nbytes));
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        elog_log(1, "Can't truncate file '%s' to length %lld\n", name,
                 static_cast<long long>(nbytes));
        return -1;
    }
    return 0;
}

int verbose_exists(void) {
    struct stat64 st;
    if (stat_of("verbose", &st)) return 1;
    errno = 0;
    return 0;
}

}  // extern "C"
