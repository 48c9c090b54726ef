// Parameter files: the search path, reading every file of a name into one
// tree, reading from a data directory, rereading on change, and the named
// registry of trees.
//
// Locks: `lockstate` guards the registry of pfupdate; `mutex` guards the
// named registry, and is held across the read of getPf and the reread of
// updatePf so that two threads never free each other's tree; `names`
// guards the process-lifetime copies of the names trees are read under.
// The parser holds its own lock per file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "alloc.h"
#include "arrays.h"
#include "elog.h"
#include "installroot.h"
#include "pathtools.h"
#include "pf.h"
#include "tbl.h"

namespace {

constexpr std::size_t kPathSize = 4096;  // paths of up to 4095 characters

// ".pf" is appended unless the name has more than 2 characters and already
// ends in ".pf". False when the result would not fit a path buffer.
bool with_pf_suffix(const char *name, char *out) {
    const std::size_t n = std::strlen(name);
    const bool has = n > 2 && std::strcmp(name + n - 3, ".pf") == 0;
    const std::size_t total = n + (has ? 0 : 3);
    if (total >= kPathSize) return false;
    std::memcpy(out, name, n);
    if (has) {
        out[n] = '\0';
    } else {
        std::memcpy(out + n, ".pf", 4);
    }
    return true;
}

bool readable(const char *path) {
    const int saved = errno;
    const bool ok = access(path, R_OK) == 0;
    errno = saved;
    return ok;
}

void free_text(void *p) { std::free(p); }

void free_pftime_entry(void *v) { freepftime(static_cast<Pftime *>(v)); }

// Process-lifetime copies of the names trees are registered and reread
// under, so that the `filename` of such a tree never outlives its text.
std::mutex names;
Arr *name_copies;

const char *lasting_name(const char *name) {
    std::lock_guard<std::mutex> hold(names);
    if (name_copies == nullptr) name_copies = newarr(nullptr);
    auto *copy = static_cast<char *>(getarr(name_copies, name));
    if (copy == nullptr) {
        copy = BASALT_STRDUP(name, "name");
        setarr(name_copies, name, copy);
    }
    return copy;
}

// ---- pfupdate's registry ----

std::mutex lockstate;
Arr *pfstate;

std::string state_key(const char *name, Pf **pf) {
    char address[2 + 2 * sizeof(uintptr_t) + 1];
    std::snprintf(address, sizeof address, "%" PRIxPTR, reinterpret_cast<uintptr_t>(pf));
    std::string key(name);
    key += '-';
    key += address;
    return key;
}

// ---- The named registry ----

std::mutex mutex;
Arr *Pflist;
// The variable updatePf hands pfupdate for each name: one per name for the
// process, so that pfupdate keeps one record per name.
Arr *update_slots;

void register_tree(const char *name, Pf *pf, bool free_old) {
    if (Pflist == nullptr) Pflist = newarr(nullptr);
    auto *old = static_cast<Pf *>(setarr(Pflist, name, pf));
    if (free_old && old != nullptr && old != pf) pffree(old);
}

// Reads and registers name; the caller holds `mutex`.
Pf *read_and_register(const char *name) {
    Pf *pf = nullptr;
    if (pfread(lasting_name(name), &pf) != 0) {
        pffree(pf);
        return nullptr;
    }
    register_tree(name, pf, true);
    return pf;
}

Pf *registered(const char *name) {
    return Pflist != nullptr ? static_cast<Pf *>(getarr(Pflist, name)) : nullptr;
}

}  // namespace

// ---- Candidates ----

Tbl *pffiles(const char *name, int all) {
    Tbl *list = nullptr;
    if (name == nullptr || std::strlen(name) >= kPathSize) return newtbl(0);

    char dir[kPathSize];
    char base[kPathSize];
    dirbase(name, dir, base);
    char file[kPathSize];
    if (!with_pf_suffix(base, file)) return newtbl(0);

    const int saved_errno = errno;
    const char *pfpath = std::getenv("PFPATH");
    std::string path;
    if (pfpath != nullptr) {
        path = pfpath;
    } else {
        path = getkorvanel();
        path += "/data/pf:.";
    }
    // An empty PFPATH names no directory (datasearch would take the empty
    // text for "DATAPATH").
    list = path.empty() ? newtbl(0) : datasearch(path.c_str(), "", file, all ? 3 : 1);
    errno = saved_errno;

    const bool explicit_location = std::strncmp(name, "./", 2) == 0 || name[0] == '/';
    if (!explicit_location && std::strcmp(dir, ".") == 0) return list;

    char whole[kPathSize];
    if (!with_pf_suffix(name, whole)) return list;
    if (!all && !readable(whole)) return list;
    for (int i = 0; i < maxtbl(list); i++)
        if (std::strcmp(static_cast<char *>(gettbl(list, i)), whole) == 0) return list;
    pushtbl(list, BASALT_STRDUP(whole, "pffiles"));
    return list;
}

Tbl *pftimes(const char *name) {
    Tbl *files = pffiles(name, 0);
    Tbl *times = inittbl(0, 10, 1, nullptr, sizeof(Pftime));
    for (int i = 0; i < maxtbl(files); i++) {
        auto *path = static_cast<char *>(gettbl(files, i));
        struct stat st;
        const int saved = errno;
        if (restat(path, &st) == 0) {
            Pftime entry;
            entry.time = st.st_mtime;
            entry.filename = path;
            pushtbl(times, &entry);
        } else {
            std::free(path);
        }
        errno = saved;
    }
    freetbl(files, nullptr);
    return times;
}

void freepftime(Pftime *v) {
    if (v == nullptr) return;
    std::free(v->filename);
    v->filename = nullptr;
}

int cmppftimes(Tbl *tbl1, Tbl *tbl2) {
    if (tbl1 == nullptr || tbl2 == nullptr) return tbl1 == tbl2 ? 0 : 1;
    const int n = maxtbl(tbl1);
    if (n != maxtbl(tbl2)) return 1;
    for (int i = 0; i < n; i++) {
        auto *a = static_cast<Pftime *>(gettbl(tbl1, i));
        auto *b = static_cast<Pftime *>(gettbl(tbl2, i));
        if (a->time != b->time || std::strcmp(a->filename, b->filename) != 0) return 1;
    }
    return 0;
}

// ---- Reading ----

int pfread(const char *name, Pf **pf) {
    Pf *tree = pfnew(ARRAY_PF);
    tree->filename = const_cast<char *>(name);
    if (pf != nullptr) *pf = tree;
    Pf *slot = tree;

    int result = 0;
    bool opened = false;
    Tbl *files = pffiles(name, 0);
    for (int i = 0; i < maxtbl(files); i++) {
        char path[kPathSize];
        std::snprintf(path, sizeof path, "%s", static_cast<char *>(gettbl(files, i)));
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            errno = 0;
            continue;
        }
        opened = true;
        setpffilename(path);
        result += pfinfd(fd, &slot);
        close(fd);
    }
    freetbl(files, free_text);
    tree->type = FILE_PF;
    if (pf == nullptr) {
        // Nobody to hand the tree to.
        pffree(tree);
        return opened ? result : -1;
    }
    if (opened && cntarr(tree->value.arr) > 0) return result;
    return -1;
}

int pfload(const char *envname, const char *dirname, const char *filename, Pf **pf) {
    Pf *tree = pfnew(ARRAY_PF);
    tree->filename = const_cast<char *>(filename);
    if (pf != nullptr) *pf = tree;
    Pf *slot = tree;

    char *path = datapath(envname, dirname, filename, "pf");
    int result = -1;
    if (path == nullptr) {
        elog_log(1, "Can't find parameter file %s/%s\n", dirname ? dirname : "",
                 filename ? filename : "");
    } else {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT) {
                elog_log(1, "can't open '%s'", path);
            } else {
                errno = 0;
            }
        } else {
            setpffilename(path);
            result = pfinfd(fd, &slot);
            close(fd);
        }
        std::free(path);
    }
    tree->type = FILE_PF;
    if (pf == nullptr) pffree(tree);
    return result;
}

int pfupdate(const char *name, Pf **pf) {
    if (name == nullptr || pf == nullptr) return -1;
    const std::string key = state_key(name, pf);
    Pfstate *record;
    {
        std::lock_guard<std::mutex> hold(lockstate);
        if (pfstate == nullptr) pfstate = newarr(nullptr);
        record = static_cast<Pfstate *>(getarr(pfstate, key.c_str()));
    }

    Tbl *times = pftimes(name);
    if (record != nullptr) {
        if (cmppftimes(times, record->files) == 0) {
            freetbl(times, free_pftime_entry);
            return 0;
        }
        freetbl(record->files, free_pftime_entry);
        record->files = times;
    } else {
        record = BASALT_NEW_RECORD(Pfstate, "state");
        record->files = times;
        record->pf = nullptr;
        std::lock_guard<std::mutex> hold(lockstate);
        setarr(pfstate, key.c_str(), record);
    }

    if (*pf != nullptr) pffree(*pf);
    *pf = nullptr;
    record->pf = nullptr;
    const int result = pfread(name, &record->pf);
    *pf = record->pf;
    return result == 0 ? 1 : result;
}

// ---- The named registry ----

Pf *getPf(const char *name) {
    if (name == nullptr) return nullptr;
    std::lock_guard<std::mutex> hold(mutex);
    Pf *pf = registered(name);
    if (pf == nullptr) pf = read_and_register(name);
    return pf;
}

Pf *existsPf(const char *name) {
    if (name == nullptr) return nullptr;
    std::lock_guard<std::mutex> hold(mutex);
    return registered(name);
}

void putPf(const char *name, Pf *pf) {
    if (name == nullptr) return;
    std::lock_guard<std::mutex> hold(mutex);
    register_tree(name, pf, true);
}

void putPf_nofree(const char *name, Pf *pf) {
    if (name == nullptr) return;
    std::lock_guard<std::mutex> hold(mutex);
    register_tree(name, pf, false);
}

int updatePf(const char *name) {
    if (name == nullptr) return -1;
    std::lock_guard<std::mutex> hold(mutex);
    Pf *pf = registered(name);
    if (pf == nullptr && (pf = read_and_register(name)) == nullptr) return -1;
    if (update_slots == nullptr) update_slots = newarr(nullptr);
    auto **slot = static_cast<Pf **>(getarr(update_slots, name));
    if (slot == nullptr) {
        slot = BASALT_NEW_RECORD(Pf *, "state");
        setarr(update_slots, name, slot);
    }
    *slot = pf;
    const int result = pfupdate(lasting_name(name), slot);
    // Any reread has freed the registered tree: what the variable holds now
    // (also the tree of a failed reread) takes its place.
    if (result != 0) register_tree(name, *slot, false);
    return result;
}

int freePf(const char *name) {
    if (name == nullptr) return -1;
    std::lock_guard<std::mutex> hold(mutex);
    Pf *pf = Pflist != nullptr ? static_cast<Pf *>(delarr(Pflist, name)) : nullptr;
    if (pf == nullptr) return -1;
    pffree(pf);
    return 0;
}
