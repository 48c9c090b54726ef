// Table locks between processes, by the database's lock mode: -1 a POSIX
// record lock on the table file, -2 a lock on the table's lock file (with
// the table reopened and remapped on taking it), 0 none.
//
// Record locks do not count: a process that locks twice holds one lock,
// released by its first unlock. The locks of a table nest within a process,
// so that an operation that locks may call another that locks: only the
// outermost lock and unlock reach the file.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

// Opens (creating) the lock file of a table; leaves lockfd -1 on failure.
void open_lock_file(Table *t) {
    if (t->path == nullptr) return;
    if (t->lockname == nullptr) t->lockname = dblockname(t->path);
    struct stat st;
    if (restat(t->lockname, &st) != 0 && errno != ENOENT) {
        elog_log(1, "Can't use the lock file '%s'", t->lockname);
        return;
    }
    t->lockfd = open(t->lockname, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (t->lockfd < 0) elog_log(1, "Can't open lock file '%s' for writing", t->lockname);
}

// Whether the table has its lock file open (opening it when needed); logs
// "no lock file '...' to lock" (or "to unlock") when not.
bool have_lock_file(Table *t, const char *action) {
    if (t->lockfd < 0) open_lock_file(t);
    if (t->lockfd >= 0) return true;
    elog_log(0, "no lock file '%s' to %s", t->lockname ? t->lockname : "", action);
    return false;
}

// Closes and maps the table again, so that what other hosts wrote is seen.
int reopen_table(Database *db, Table *t) {
    if (t->data != nullptr) {
        if (t->size > 0) msync(t->data, t->size, MS_SYNC);
        if (t->fd >= 0 && fdatasync(t->fd) != 0)
            elog_complain(1, "fdatasync %s failed in lock routines", t->path);
        if (unmap_table_data(t) != 0)
            elog_complain(1, "lock routines couldn't munmap '%s'\n", t->path);
    }
    if (t->fd >= 0 && close(t->fd) != 0) elog_complain(1, "close(%s) failed in lock routines", t->path);
    t->fd = -1;
    t->size = 0;
    t->count = 0;
    return map_table(db, t->relation, 1);
}

int unlock_file(Database *db, Table *t) {
    if (db->dblocks == -1) {
        relseek(t->fd, 0, SEEK_SET);
        if (lockf(t->fd, F_ULOCK, 0) != 0) {
            elog_log(1, "Can't unlock table '%s' fd=%d\n", t->path, t->fd);
            return dbINVALID;
        }
        return 0;
    }
    if (!have_lock_file(t, "unlock")) return dbINVALID;
    if (lockf(t->lockfd, F_ULOCK, 0) != 0) {
        elog_log(1, "Can't unlock lockfile '%s' in _dbunlock fd=\n", t->lockname);
        return dbINVALID;
    }
    return 0;
}

}  // namespace

namespace ledgeform {

int lock_table(Database *db, Table *t) {
    if (_dblock(db, t) != 0) return dbINVALID;
    if (map_table(db, t->relation, 0) != 0) {
        _dbunlock(db, t);
        return dbINVALID;
    }
    return 0;
}

}  // namespace ledgeform

extern "C" {

int _dblock(Database *db, Table *t) {
    if (db->dblocks == 0) return 0;
    if (t->lockdepth > 0) {
        t->lockdepth++;
        return 0;
    }
    if (db->dblocks == -1) {
        if (t->data == nullptr && t->size != 0) return dbINVALID;
        relseek(t->fd, 0, SEEK_SET);
        if (lockf(t->fd, F_LOCK, 0) != 0) {
            if (path_is_nfs(t->path) == 1)
                elog_log(0, "DBLOCKS is set, but the table %s is nfs", t->path);
            else
                elog_log(1, "Can't lock table '%s'\n", t->path);
            return dbINVALID;
        }
        t->lockdepth = 1;
        return 0;
    }
    if (!have_lock_file(t, "lock")) return dbINVALID;
    if (lockf(t->lockfd, F_LOCK, 0) != 0) {
        elog_log(1, "_dblock can't lock lockfile '%s'\n", t->lockname);
        return dbINVALID;
    }
    t->lockdepth = 1;
    if (reopen_table(db, t) != 0) {
        _dbunlock(db, t);
        return dbINVALID;
    }
    return 0;
}

int _dbunlock(Database *db, Table *t) {
    if (db->dblocks == 0) return 0;
    if (t->lockdepth > 1) {
        t->lockdepth--;
        return 0;
    }
    t->lockdepth = 0;
    return unlock_file(db, t);
}

}  // extern "C"
