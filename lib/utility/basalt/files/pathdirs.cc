// Directories: making chains of them, and users' home directories.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "alloc.h"
#include "elog.h"
#include "kitbag.h"
#include "pathtools.h"

namespace {

constexpr mode_t kDirMode = 0775;
constexpr std::size_t kNameBuffer = 64;  // a login name, as kitbag gives it
constexpr std::size_t kFirstPwSize = 1024;
constexpr std::size_t kMaxPwSize = std::size_t{1} << 20;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using MallocChars = std::unique_ptr<char, FreeDeleter>;

// A malloc'd copy of the first n characters of s.
MallocChars prefix_copy(const char *s, std::size_t n) {
    MallocChars copy(static_cast<char *>(BASALT_MALLOC(n + 1, "dir")));
    std::memcpy(copy.get(), s, n);
    copy.get()[n] = '\0';
    return copy;
}

bool missing(const char *dir) {
    struct stat st;
    return restat(dir, &st) != 0 && errno == ENOENT;
}

}  // namespace

extern "C" {

int makedir(const char *dir) {
    if (dir == nullptr) dir = "";
    if (missing(dir)) {
        errno = 0;
        mkdir(dir, kDirMode);
    }

    if (missing(dir)) {
        const char *slash = std::strrchr(dir, '/');
        if (slash != nullptr) {
            const std::size_t n = static_cast<std::size_t>(slash - dir);
            if (n == 0) {
                mkdir(dir, kDirMode);
            } else {
                MallocChars parent = prefix_copy(dir, n);
                if (makedir(parent.get()) == 0) mkdir(dir, kDirMode);
            }
        }
    }

    struct stat st;
    if (restat(dir, &st) != 0) {
        elog_log(0, "Can't open or create directory %s\n", dir);
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        elog_log(0, "%s is not a directory\n", dir);
        return -1;
    }
    if (access(dir, W_OK) != 0) {
        elog_log(0, "can't write to directory %s\n", dir);
        return -1;
    }
    return 0;
}

int make_pathdirs(const char *filename) {
    if (filename == nullptr) return 0;
    const char *slash = std::strrchr(filename, '/');
    if (slash == nullptr) return 0;
    const std::size_t n = static_cast<std::size_t>(slash - filename);
    // A file directly under the root: its directory is "/".
    MallocChars dir = n == 0 ? prefix_copy("/", 1) : prefix_copy(filename, n);
    return makedir(dir.get());
}

char *homedir(const char *user) {
    char name[kNameBuffer] = "";
    if (user == nullptr || *user == '\0') {
        my_username(name);
        user = name;
    }

    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = hint > 0 && static_cast<std::size_t>(hint) <= kMaxPwSize
                           ? static_cast<std::size_t>(hint)
                           : kFirstPwSize;
    MallocChars strings(static_cast<char *>(BASALT_MALLOC(size, "pw_strings")));
    struct passwd entry;
    struct passwd *found = nullptr;
    for (;;) {
        const int rc = getpwnam_r(user, &entry, strings.get(), size, &found);
        if (rc == EINTR) continue;
        if (rc != ERANGE || size >= kMaxPwSize) break;
        size *= 2;
        strings.reset(static_cast<char *>(BASALT_MALLOC(size, "pw_strings")));
    }
    if (found == nullptr || entry.pw_dir == nullptr) return nullptr;
    return BASALT_STRDUP(entry.pw_dir, "home");
}

}  // extern "C"
