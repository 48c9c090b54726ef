// Directory listings: dirfiles (sorted names), directory (status records
// of the subdirectories and regular files) and fstraverse (a walk of the
// whole tree with a callback).
//
// The system's directory reader is not taken to be reentrant: dirfiles and
// directory each read under a mutex of their own and never hold two.
// Callbacks of fstraverse run with no lock held.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <memory>
#include <mutex>

#include "alloc.h"
#include "arrays.h"
#include "filetests.h"
#include "filesys_private.h"
#include "pathtools.h"
#include "tbl.h"

namespace {

using basalt::DirStream;
using basalt::ErrnoKeeper;
using basalt::kPathBuffer;

std::mutex dirfiles_lock;
std::mutex directory_lock;

bool is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// dir + "/" + name into out (kPathBuffer bytes); false when it would not
// fit, and the entry is then left out.
bool entry_path(const char *dir, const char *name, char *out) {
    const int n = std::snprintf(out, kPathBuffer, "%s/%s", dir, name);
    return n >= 0 && static_cast<std::size_t>(n) < kPathBuffer;
}

// The type of a directory entry with links followed: from the listing
// itself when it knows a plain file or directory, else from stat (64-bit
// record, so that large files and inode numbers do not fail it on 32-bit
// boards). 0 when stat fails.
mode_t entry_type(const char *dir, const struct dirent64 *entry) {
    if (entry->d_type == DT_REG) return S_IFREG;
    if (entry->d_type == DT_DIR) return S_IFDIR;
    char path[kPathBuffer];
    if (!entry_path(dir, entry->d_name, path)) return 0;
    struct stat64 st;
    int rc;
    do rc = stat64(path, &st);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return 0;
    return st.st_mode & S_IFMT;
}

template <typename To, typename From>
To clamped(From v) {
    using L = std::numeric_limits<To>;
    if constexpr (std::is_signed_v<From>) {
        if (v < 0) {
            if constexpr (!std::is_signed_v<To>) return 0;
            else if (static_cast<std::int64_t>(v) < static_cast<std::int64_t>(L::min())) return L::min();
            return static_cast<To>(v);
        }
    }
    if (static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(L::max())) return L::max();
    return static_cast<To>(v);
}

// The status record of an entry, links followed. Where struct stat has
// 32-bit sizes (32-bit boards), a file beyond 2 GB makes stat fail with
// EOVERFLOW; such a file is then described from the 64-bit record with its
// size limited to what the record can hold, instead of being left out.
bool entry_record(const char *path, struct stat *record) {
    if (restat(path, record) == 0) return true;
    if constexpr (sizeof(record->st_size) >= 8 && sizeof(record->st_ino) >= 8) {
        return false;
    } else {
        if (errno != EOVERFLOW) return false;
        struct stat64 big;
        int rc;
        do rc = stat64(path, &big);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) return false;
        std::memset(record, 0, sizeof *record);
        record->st_dev = big.st_dev;
        record->st_ino = clamped<decltype(record->st_ino)>(big.st_ino);
        record->st_mode = big.st_mode;
        record->st_nlink = big.st_nlink;
        record->st_uid = big.st_uid;
        record->st_gid = big.st_gid;
        record->st_rdev = big.st_rdev;
        record->st_size = clamped<decltype(record->st_size)>(big.st_size);
        record->st_blksize = big.st_blksize;
        record->st_blocks = clamped<decltype(record->st_blocks)>(big.st_blocks);
        record->st_atim = big.st_atim;
        record->st_mtim = big.st_mtim;
        record->st_ctim = big.st_ctim;
        return true;
    }
}

int compare_names(void *a, void *b, void *pvt) {
    return std::strcmp(*static_cast<char **>(a), *static_cast<char **>(b));
}

// One directory on the way down from the top of a walk; a subdirectory
// that is one of these (reached again through a link) is not entered.
struct Ancestor {
    dev_t dev;
    ino_t ino;
    const Ancestor *up;
};

bool is_ancestor(const struct stat *st, const Ancestor *chain) {
    for (; chain != nullptr; chain = chain->up)
        if (chain->dev == st->st_dev && chain->ino == st->st_ino) return true;
    return false;
}

using Visit = int (*)(const char *path, struct stat *statbuf, void *pvt);

// Saturating sum: a walk over a huge tree must not overflow its count.
void add_to(std::int64_t &sum, std::int64_t n) {
    sum += n;
    if (sum > INT_MAX) sum = INT_MAX;
    if (sum < INT_MIN) sum = INT_MIN;
}

// path/name cleaned, or null when it would be longer than a path may be.
char *sub_path(const char *path, const char *name) {
    if (std::strlen(path) + 1 + std::strlen(name) >= kPathBuffer) return nullptr;
    char *sub = concatpaths(path, name, static_cast<char *>(nullptr));
    if (sub != nullptr && sub[0] == '\0') {
        std::free(sub);
        return nullptr;
    }
    return sub;
}

int walk(const char *path, int flags, Visit user, void *pvt, const Ancestor *self) {
    Arr *dirs = nullptr;
    Arr *files = nullptr;
    if (directory(path, &dirs, &files) < 0) {
        freearr(dirs, std::free);
        freearr(files, std::free);
        return -1;
    }
    const bool depth_first = (flags & FSTRAVERSE_DEPTH_FIRST) != 0;
    const bool visit_dirs = (flags & FSTRAVERSE_NO_DIRS) == 0 && user != nullptr;
    const bool visit_files = (flags & FSTRAVERSE_NO_FILES) == 0 && user != nullptr;
    std::int64_t sum = 0;

    Tbl *dir_names = keysarr(dirs);
    auto subdirectories = [&] {
        for (int i = 0; i < maxtbl(dir_names); i++) {
            auto *name = static_cast<char *>(gettbl(dir_names, i));
            auto *record = static_cast<struct stat *>(getarr(dirs, name));
            char *sub = sub_path(path, name);
            if (sub == nullptr) continue;
            const Ancestor here{record->st_dev, record->st_ino, self};
            const bool enter = !is_ancestor(record, self);
            if (depth_first) {
                if (enter) add_to(sum, walk(sub, flags, user, pvt, &here));
                if (visit_dirs) add_to(sum, user(sub, record, pvt));
            } else {
                if (visit_dirs) add_to(sum, user(sub, record, pvt));
                if (enter) add_to(sum, walk(sub, flags, user, pvt, &here));
            }
            std::free(sub);
        }
    };

    if (depth_first) subdirectories();
    if (visit_files) {
        Tbl *file_names = keysarr(files);
        for (int i = 0; i < maxtbl(file_names); i++) {
            auto *name = static_cast<char *>(gettbl(file_names, i));
            auto *record = static_cast<struct stat *>(getarr(files, name));
            char *sub = sub_path(path, name);
            if (sub == nullptr) continue;
            add_to(sum, user(sub, record, pvt));
            std::free(sub);
        }
        freetbl(file_names, nullptr);
    }
    if (!depth_first) subdirectories();

    freetbl(dir_names, nullptr);
    freearr(dirs, std::free);
    freearr(files, std::free);
    return static_cast<int>(sum);
}

}  // namespace

extern "C" {

Tbl *dirfiles(const char *path, int flag) {
    ErrnoKeeper keep;
    Tbl *list = newtbl(20);
    if (path == nullptr || !is_dir(path)) return list;
    if (flag < 0 || flag > 2) return list;
    {
        std::lock_guard<std::mutex> hold(dirfiles_lock);
        DirStream dir(opendir(path));
        if (!dir) return list;
        struct dirent64 *entry;
        while ((entry = readdir64(dir.get())) != nullptr) {
            if (is_dot_or_dotdot(entry->d_name)) continue;
            if (flag != 0) {
                const mode_t type = entry_type(path, entry);
                if (flag == 1 && type != S_IFREG) continue;
                if (flag == 2 && type != S_IFDIR) continue;
            }
            pushtbl(list, BASALT_STRDUP(entry->d_name, "entry->d_name"));
        }
    }
    sorttbl(list, compare_names, nullptr);
    return list;
}

int directory(const char *path, Arr **dirs, Arr **files) {
    ErrnoKeeper keep;
    Arr *d = newarr(nullptr);
    Arr *f = newarr(nullptr);
    if (dirs != nullptr) *dirs = d;
    if (files != nullptr) *files = f;
    if (path == nullptr || !is_dir(path)) return -1;

    std::lock_guard<std::mutex> hold(directory_lock);
    DirStream dir(opendir(path));
    if (!dir) return 0;
    struct dirent64 *entry;
    char entry_name[kPathBuffer];
    while ((entry = readdir64(dir.get())) != nullptr) {
        if (is_dot_or_dotdot(entry->d_name)) continue;
        if (!entry_path(path, entry->d_name, entry_name)) continue;
        auto *record = BASALT_NEW_RECORD(struct stat, "entrystatbuf");
        if (!entry_record(entry_name, record)) {
            std::free(record);
            continue;
        }
        Arr *into = S_ISDIR(record->st_mode) ? d : S_ISREG(record->st_mode) ? f : nullptr;
        if (into == nullptr) {
            std::free(record);
            continue;
        }
        std::free(setarr(into, entry->d_name, record));
    }
    return 0;
}

int fstraverse(const char *path, int flags,
               int (*user)(const char *path, struct stat *statbuf, void *pvt),
               void *pvt) {
    if (path == nullptr) return -1;
    struct stat top;
    if (!entry_record(path, &top) || !S_ISDIR(top.st_mode)) return -1;
    const Ancestor root{top.st_dev, top.st_ino, nullptr};
    return walk(path, flags, user, pvt, &root);
}

}  // extern "C"
