// File systems: the mount that holds a path, the room left on it, and
// whether it is a remote (NFS) mount.
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc_private.h"
#include "elog.h"
#include "host_private.h"
#include "kitbag.h"
#include "pathtools.h"

namespace {

constexpr std::size_t kPathBuffer = 4096;
constexpr std::size_t kHostBuffer = 64;
constexpr char kDefaultMountTable[] = "/etc/mtab";

// The mount table's path, guarded by its lock.
pthread_mutex_t mount_table_lock = PTHREAD_MUTEX_INITIALIZER;
char mount_table[kPathBuffer] = "/etc/mtab";

void current_mount_table(char *out) {
    kitbag::HostLock hold(&mount_table_lock);
    kitbag::copy_bounded(out, mount_table, kPathBuffer);
}

// The home directory of user (the login name when user is empty) into out;
// false when there is no such user.
bool home_directory(const char *user, char *out) {
    char *home = homedir(user);
    if (home == nullptr) return false;
    bool fits = std::strlen(home) < kPathBuffer;
    if (fits) std::strcpy(out, home);
    std::free(home);
    return fits;
}

// A path beginning with '~' with its first component replaced by that
// user's home directory; other paths, and names of unknown users, stay as
// they are. False when the result does not fit.
bool expand_home(const char *path, char *out) {
    if (path[0] != '~') {
        if (std::strlen(path) >= kPathBuffer) return false;
        std::strcpy(out, path);
        return true;
    }
    const char *rest = std::strchr(path, '/');
    std::size_t name_len = rest ? static_cast<std::size_t>(rest - path) - 1 : std::strlen(path) - 1;
    char user[256];
    char home[kPathBuffer];
    if (name_len < sizeof user) {
        std::memcpy(user, path + 1, name_len);
        user[name_len] = '\0';
        if (home_directory(user, home)) {
            int n = std::snprintf(out, kPathBuffer, "%s%s", home, rest ? rest : "");
            return n >= 0 && static_cast<std::size_t>(n) < kPathBuffer;
        }
    }
    if (std::strlen(path) >= kPathBuffer) return false;
    std::strcpy(out, path);
    return true;
}

// The absolute form of path with "." and empty components dropped and ".."
// folded, "~" expanded; "/" for the root. False when the current directory
// cannot be read (logged) or the result does not fit.
bool absolute_path(const char *path, char *out) {
    char joined[kPathBuffer];
    if (!expand_home(path, joined)) return false;
    if (joined[0] != '/') {
        char cwd[kPathBuffer];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            elog_log(1, "Can't discover current directory: getcwd(3) fails\n");
            return false;
        }
        const char *rel = joined;
        if (rel[0] == '.' && rel[1] == '/') rel += 2;
        char tmp[kPathBuffer];
        int n = std::snprintf(tmp, sizeof tmp, "%s/%s", cwd, rel);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof tmp) return false;
        std::strcpy(joined, tmp);
    }
    // Fold component by component into out.
    std::size_t len = 0;
    const char *s = joined;
    while (*s != '\0') {
        while (*s == '/') ++s;
        const char *end = s;
        while (*end != '\0' && *end != '/') ++end;
        std::size_t n = static_cast<std::size_t>(end - s);
        if (n == 0 || (n == 1 && s[0] == '.')) {
            // nothing
        } else if (n == 2 && s[0] == '.' && s[1] == '.') {
            while (len > 0 && out[len - 1] != '/') --len;
            if (len > 0) --len;  // the '/' before the folded component
        } else {
            if (len + 1 + n >= kPathBuffer) return false;
            out[len++] = '/';
            std::memcpy(out + len, s, n);
            len += n;
        }
        s = end;
    }
    if (len == 0) out[len++] = '/';
    out[len] = '\0';
    return true;
}

// Replaces the octal escapes of the mount table ("\040" for a blank) in
// place by the characters they stand for.
void unescape_field(char *s) {
    char *out = s;
    for (const char *in = s; *in != '\0';) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
            in[3] >= '0' && in[3] <= '7') {
            *out++ = static_cast<char>(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0'));
            in += 4;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

// The next blank- or tab-separated word of *s, cut in place; null when none.
char *next_word(char **s) {
    char *p = *s;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0' || *p == '\n') return nullptr;
    char *word = p;
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n') ++p;
    if (*p != '\0') *p++ = '\0';
    *s = p;
    return word;
}

// True when the mount point holds the path: the path is the mount point or
// lies below it.
bool holds(const char *mount_point, const char *path) {
    std::size_t n = std::strlen(mount_point);
    if (n == 0 || std::strncmp(mount_point, path, n) != 0) return false;
    return mount_point[n - 1] == '/' || path[n] == '\0' || path[n] == '/';
}

}  // namespace

namespace kitbag {

void set_mount_table(const char *path) {
    kitbag::HostLock hold(&mount_table_lock);
    copy_bounded(mount_table, path != nullptr ? path : kDefaultMountTable, sizeof mount_table);
}

void fill_infopath(InfoPath *info, const FsCounts &c) {
    info->device = static_cast<unsigned long>(c.fsid);
    if (sizeof(unsigned long) < sizeof c.fsid && c.fsid > static_cast<std::uint64_t>(ULONG_MAX))
        info->device = ULONG_MAX;
    double frsize = static_cast<double>(c.frsize);
    info->avail = static_cast<double>(c.bavail) * frsize;
    info->total = static_cast<double>(c.blocks) * frsize;
    info->avail_inodes = static_cast<double>(c.favail);
    info->total_inodes = static_cast<double>(c.files);
}

}  // namespace kitbag

extern "C" int fspath(char *path, char *host, char *fs) {
    host[0] = '\0';
    fs[0] = '\0';
    char abs[kPathBuffer];
    struct stat st;
    if (path == nullptr || !absolute_path(path, abs)) {
        elog_log(1, "can't stat %s", path != nullptr ? path : "(null)");
        return -1;
    }
    int rc;
    do rc = stat(abs, &st);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        elog_log(1, "can't stat %s", abs);
        return -1;
    }
    // Match against the path with its links resolved: that is where the
    // data lies.
    char real[PATH_MAX];
    if (realpath(abs, real) != nullptr && std::strlen(real) < kPathBuffer) std::strcpy(abs, real);

    char table[kPathBuffer];
    current_mount_table(table);
    FILE *mounts = std::fopen(table, "re");
    if (mounts == nullptr) {
        elog_log(1, "can't open %s", table);
        return -1;
    }
    char *line = nullptr;
    std::size_t capacity = 0;
    std::size_t best = 0;
    bool found = false;
    while (getline(&line, &capacity, mounts) >= 0) {
        char *cursor = line;
        char *device = next_word(&cursor);
        char *mount_point = device ? next_word(&cursor) : nullptr;
        if (mount_point == nullptr) continue;
        unescape_field(device);
        unescape_field(mount_point);
        std::size_t n = std::strlen(mount_point);
        if (!holds(mount_point, abs) || (found && n <= best)) continue;
        found = true;
        best = n;
        if (char *colon = std::strchr(device, ':')) {
            *colon = '\0';
            kitbag::copy_bounded(host, device, kHostBuffer);
            kitbag::copy_bounded(fs, colon + 1, kPathBuffer);
        } else {
            host[0] = '\0';
            kitbag::copy_bounded(fs, device, kPathBuffer);
        }
    }
    std::free(line);
    std::fclose(mounts);
    return found ? 0 : -1;
}

extern "C" InfoPath *infopath(char *path) {
    auto *info = static_cast<InfoPath *>(
        kitbag::checked_malloc(sizeof(InfoPath), 1, "info", __FILE__, __LINE__));
    std::memset(info, 0, sizeof *info);
    char expanded[kPathBuffer];
    if (path == nullptr || !expand_home(path, expanded) ||
        fspath(expanded, info->host, info->fs) < 0) {
        elog_log(0, "can't resolve host, filesystem for %s", path != nullptr ? path : "(null)");
        std::free(info);
        return nullptr;
    }
    struct statvfs64 sv;
    if (statvfs64(expanded, &sv) < 0) {
        elog_log(1, "statvfs on '%s' fails", expanded);
        std::free(info);
        return nullptr;
    }
    kitbag::FsCounts counts{sv.f_bavail, sv.f_blocks, sv.f_frsize,
                            sv.f_favail, sv.f_files,  sv.f_fsid};
    kitbag::fill_infopath(info, counts);
    return info;
}

extern "C" int is_nfs(char *path) {
    char host[kHostBuffer];
    char fs[kPathBuffer];
    if (fspath(path, host, fs) < 0) return -1;
    return host[0] != '\0' ? 1 : 0;
}
