// State files: exhume, resurrect, bury.
//
// The state file is locked for exclusive use for the life of the process.
// A save writes "name+", locks it (when the state was locked), flushes it to
// disk and renames it over the state file; only then is the previous file
// closed, so the name always denotes a file this process has locked. A
// program that opens the state file checks, once it holds the lock, that the
// name still denotes the file it locked, and otherwise tries again on the
// file now there.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "alloc.h"
#include "arrays.h"
#include "bury.h"
#include "bury_private.h"
#include "elog.h"
#include "kitbag_host.h"
#include "pathtools.h"
#include "pf.h"
#include "pfaccess.h"
#include "tbl.h"
#include "timefmt.h"
#include "timeparse.h"
#include "values.h"

extern "C" {
BASALT_API Arr *PerlRelics = nullptr;
BASALT_API Pf *PerlOldRelics = nullptr;
}

namespace basalt::bury_detail {

pthread_mutex_t grave_mutex = PTHREAD_MUTEX_INITIALIZER;
Grave *grave = nullptr;

}  // namespace basalt::bury_detail

namespace {

using basalt::bury_detail::grave;
using basalt::bury_detail::grave_mutex;

constexpr const char *kTimeFormat = "%E (%j) %Y-%m-%d  %H:%M:%S.%u %z %A";

// Whether the state file is held under an exclusive lock, so that every
// file moved over its name must be locked too.
bool state_locked = false;
// The descriptor holding the lock when it could not be given a FILE.
int spare_fd = -1;

bool same_file(int fd, const char *path) {
    struct stat by_fd, by_name;
    if (fstat(fd, &by_fd) != 0 || stat(path, &by_name) != 0) return true;
    return by_fd.st_dev == by_name.st_dev && by_fd.st_ino == by_name.st_ino;
}

// Locks the open state file. When another process holds the lock on a
// local file system, the program dies; elsewhere it goes on without one.
void lockstate(Grave *g) {
    for (int attempt = 0; g->file != nullptr; attempt++) {
        if (lockf(fileno(g->file), F_TLOCK, 0) != 0) {
            if (is_nfs(g->filename) == 0)
                elog_die(1, "Can't lock state file '%s' for exclusive use: it is already in use.\n",
                         g->filename);
            elog_complain(1, "Can't lock '%s' on an nfs filesystem: proceeding without lock",
                          g->filename);
            return;
        }
        state_locked = true;
        // A save of the program that held the lock may have moved a new file
        // over the name between our open and our lock: the file locked is
        // then no longer the state file.
        if (attempt >= 100 || same_file(fileno(g->file), g->filename)) return;
        FILE *now = std::fopen(g->filename, "r+");
        if (now == nullptr) {
            errno = 0;
            return;
        }
        std::fclose(g->file);
        g->file = now;
        state_locked = false;
    }
}

// Text of one relic's current value; empty (nothing to write) for a string
// relic holding no string or an unknown type. buf holds at least 64 bytes.
std::string relic_text(const Relic_record *rec) {
    char buf[64];
    switch (rec->type) {
        case INT_RELIC:
            std::snprintf(buf, sizeof buf, "%d", *rec->relic.ip);
            return buf;
        case DOUBLE_RELIC:
            return strdbl(*rec->relic.dp, buf);
        case STRING_RELIC:
            return *rec->relic.sp;
        case TIME_RELIC: {
            char *s = zepoch2str(*rec->relic.dp, kTimeFormat, "UTC");
            std::string text = s != nullptr ? s : "";
            std::free(s);
            return text;
        }
        default:
            return {};
    }
}

bool has_value(const Relic_record *rec) {
    if (rec->type < INT_RELIC || rec->type > TIME_RELIC) return false;
    // A string relic pointing at no string has nothing to save.
    if (rec->type == STRING_RELIC && *rec->relic.sp == nullptr) return false;
    return true;
}

void sync_directory(const char *filename) {
    std::string dir = filename;
    auto slash = dir.rfind('/');
    if (slash == std::string::npos)
        dir = ".";
    else if (slash == 0)
        dir = "/";
    else
        dir.resize(slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Moves the alternate file (open on fd) over the state file and makes it the
// file held. 0, or -1 after complaining (fd is then closed).
int install_alternate(Grave *g, int fd) {
    if (state_locked) {
        // Lock the new file before it takes the name, and keep it open.
        lockf(fd, F_TLOCK, 0);
        if (rename(g->alternate, g->filename) != 0) {
            elog_complain(1, "failed to rename state file %s to %s", g->alternate, g->filename);
            close(fd);
            return -1;
        }
        sync_directory(g->filename);
        if (g->file != nullptr) std::fclose(g->file);
        if (spare_fd >= 0) close(spare_fd);
        spare_fd = -1;
        g->file = fdopen(fd, "r+");
        if (g->file == nullptr) spare_fd = fd;
        errno = 0;
        return 0;
    }
    if (close(fd) != 0) {
        elog_complain(1, "Can't close alternate state file %s", g->alternate);
        return -1;
    }
    if (rename(g->alternate, g->filename) != 0) {
        elog_complain(1, "failed to rename state file %s to %s", g->alternate, g->filename);
        return -1;
    }
    sync_directory(g->filename);
    return 0;
}

int exhume_common(char *filename, int *signal_stop, int sec, void (*mortician)(Pf *),
                  bool perl, Pf **pf) {
    pthread_mutex_lock(&grave_mutex);
    Grave *g = __atomic_load_n(&grave, __ATOMIC_ACQUIRE);
    if (g != nullptr) {
        if (pf != nullptr) *pf = g->old;
        pthread_mutex_unlock(&grave_mutex);
        return -2;
    }
    g = BASALT_NEW_RECORD(Grave, "grave");
    g->filename = BASALT_STRDUP(filename, "grave");
    std::size_t n = std::strlen(filename);
    g->alternate = static_cast<char *>(BASALT_MALLOC(n + 2, "grave"));
    std::memcpy(g->alternate, filename, n);
    g->alternate[n] = '+';
    g->alternate[n + 1] = '\0';
    g->relic_arr = newarr(nullptr);
    g->old = nullptr;
    g->signal_stop = signal_stop;
    if (signal_stop != nullptr) __atomic_store_n(signal_stop, 0, __ATOMIC_RELAXED);
    g->sec = sec;
    g->mortician = mortician;
    g->alarm_set = 0;
    __atomic_store_n(&grave, g, __ATOMIC_RELEASE);

    if (!perl) make_pathdirs(filename);

    int result;
    g->file = std::fopen(filename, "r+");
    if (g->file != nullptr) {
        lockstate(g);
        result = pfin(g->file, &g->old) == 0 ? 1 : 2;
    } else if (errno == ENOENT) {
        g->file = std::fopen(filename, "w+");
        if (g->file != nullptr) {
            if (!perl) lockstate(g);
            result = 0;
        } else {
            result = -1;
        }
        errno = 0;
    } else {
        result = -1;
        errno = 0;
    }
    Pf *old = g->old;
    pthread_mutex_unlock(&grave_mutex);

    if (signal_stop != nullptr) basalt::bury_detail::install_grave_handlers();
    if (pf != nullptr) *pf = old;
    return result;
}

}  // namespace

namespace basalt::bury_detail {

// The save; the caller holds grave_mutex.
int bury_locked(Grave *g) {
    __atomic_store_n(&g->alarm_set, 0, __ATOMIC_RELAXED);
    Pf *pf = pfnew(FILE_PF);
    if (g->mortician != nullptr) g->mortician(pf);

    Tbl *keys = keysarr(g->relic_arr);
    for (int i = 0; i < maxtbl(keys); i++) {
        char *name = static_cast<char *>(gettbl(keys, i));
        auto *rec = static_cast<Relic_record *>(getarr(g->relic_arr, name));
        if (rec == nullptr || !has_value(rec)) continue;
        pfset(pf, name, relic_text(rec).c_str());
    }

    char *text = pf2string(pf);
    int result = 0;
    int fd = open(g->alternate, O_RDWR | O_CREAT | O_TRUNC, 0664);
    if (fd < 0) {
        elog_complain(1, "Can't write alternate state file %s", g->alternate);
        result = -1;
    } else {
        int length = static_cast<int>(std::strlen(text));
        int written = static_cast<int>(rewrite(fd, text, static_cast<std::size_t>(length)));
        if (written != length) {
            elog_complain(1, "Wrote %d bytes to alternate state file %s instead of %d", written,
                          g->alternate, length);
            close(fd);
            result = -1;
        } else if (fsync(fd) != 0) {
            elog_complain(1, "Can't close alternate state file %s", g->alternate);
            close(fd);
            result = -1;
        } else {
            result = install_alternate(g, fd);
        }
    }

    std::free(text);
    freetbl(keys, nullptr);
    pffree(pf);
    return result;
}

}  // namespace basalt::bury_detail

extern "C" {

BASALT_API int exhume(char *filename, int *signal_stop, int sec, void (*mortician)(Pf *)) {
    return exhume_common(filename, signal_stop, sec, mortician, false, nullptr);
}

BASALT_API int perlexhume(char *filename, int *signal_stop, int sec, void (*mortician)(Pf *),
                          Pf **pf) {
    return exhume_common(filename, signal_stop, sec, mortician, true, pf);
}

BASALT_API int resurrect(char *name, Relic relic, Relic_type type) {
    Grave *g = __atomic_load_n(&grave, __ATOMIC_ACQUIRE);
    if (g == nullptr) return -1;
    auto *rec = BASALT_NEW_RECORD(Relic_record, "relic_record");

    int result = 1;
    char *value = nullptr;
    if (g->old != nullptr && pfeval(g->old, name, &value) == 0 && value != nullptr) {
        result = 0;
        switch (type) {
            case INT_RELIC:
                *relic.ip = std::atoi(value);
                break;
            case DOUBLE_RELIC:
                *relic.dp = std::atof(value);
                break;
            case STRING_RELIC:
                // The text belongs to the saved state, kept for the process.
                *relic.sp = value;
                break;
            case TIME_RELIC:
                *relic.dp = str2epoch(value);
                break;
            default:
                break;
        }
    }

    rec->relic = relic;
    rec->type = type;
    pthread_mutex_lock(&grave_mutex);
    void *earlier = setarr(g->relic_arr, name, rec);
    pthread_mutex_unlock(&grave_mutex);
    std::free(earlier);
    return result;
}

BASALT_API int bury(void) {
    Grave *g = __atomic_load_n(&grave, __ATOMIC_ACQUIRE);
    if (g == nullptr) return -1;
    pthread_mutex_lock(&grave_mutex);
    int result = basalt::bury_detail::bury_locked(g);
    pthread_mutex_unlock(&grave_mutex);
    return result;
}

}  // extern "C"
