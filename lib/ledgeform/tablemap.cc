// Opening and mapping table files, and keeping the mapping in step with the
// file's length.
//
// A file table is mapped shared. The mapping reaches past the end of the
// file (a quarter more, rounded to pages), so that a table growing by
// appends is remapped only now and then: the new records are seen through
// the pages already mapped.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "kitbag.h"
#include "ledgeform_private.h"

namespace ledgeform {

namespace {

int (*nfs_probe)(char *) = nullptr;

constexpr int kRaggedRetries = 100;
constexpr int kRaggedQuietSeconds = 59;

bool is_read_write(const Database *db) { return std::strcmp(db->openperm, "r+") == 0; }

// The path and directory of a table's file, as the search along the
// database's path finds it.
void set_table_path(Database *db, Table *t) {
    char found[kPathBuffer], cleaned[kPathBuffer];
    find_path(db->dbname, t->name, db->dbpath, found);
    const char *path = cleanpath(found, 0, cleaned) == 0 && cleaned[0] != '\0' ? cleaned : found;
    if (t->path == nullptr || std::strcmp(t->path, path) != 0) replace_text(&t->path, path);
    const char *slash = std::strrchr(path, '/');
    Owned<char> dir(slash == nullptr ? LF_STRDUP(".", "path")
                                     : strndup(path, slash == path ? 1 : slash - path));
    if (dir.get() == nullptr) out_of_memory(__FILE__, __LINE__, std::strlen(path), "path");
    if (t->dir == nullptr || std::strcmp(t->dir, dir.get()) != 0) replace_text(&t->dir, dir.get());
}

int attempt_open_table(Database *db, Table *t, int for_write) {
    struct stat st;
    if (restat(t->path, &st) != 0) {
        if (errno != ENOENT) {
            elog_log(1, "Can't stat table %s\n", t->path);
            return dbINVALID;
        }
        if (!is_read_write(db)) {
            t->writable = 0;
            return 0;
        }
        if (!for_write) {
            t->writable = access(t->dir, W_OK) == 0 ? 1 : 0;
            errno = 0;
            return 0;
        }
        if (db->dblocks == -1 && path_is_nfs(t->dir) == 1) {
            elog_log(0, "DBLOCKS is set, but the filesystem for %s is nfs", t->path);
            return dbINVALID;
        }
        t->fd = open(t->path, O_RDWR | O_APPEND | O_SYNC | O_CREAT | O_CLOEXEC, 0664);
        if (t->fd < 0) {
            elog_log(1, "Couldn't create table %s\n", t->path);
            return dbINVALID;
        }
        t->writable = 1;
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        elog_log(0, "%s is not a plain file.\n", t->path);
        return dbINVALID;
    }
    if (is_read_write(db)) {
        t->fd = open(t->path, O_RDWR | O_APPEND | O_SYNC | O_CLOEXEC);
        t->writable = t->fd >= 0 ? 1 : 0;
        if (t->fd < 0) {
            t->fd = open(t->path, O_RDONLY | O_CLOEXEC);
            if (t->fd < 0) {
                elog_log(1, "Can't open table '%s'\n", t->path);
                return dbINVALID;
            }
        }
    } else {
        t->fd = open(t->path, O_RDONLY | O_CLOEXEC);
        t->writable = 0;
        if (t->fd < 0) {
            elog_log(1, "Can't open table %s\n", t->path);
            return dbINVALID;
        }
    }
    return 0;
}

std::size_t page_round(std::size_t n) {
    std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

// Brings the mapping of a file table in step with the file of status st.
int remap_table(Database *db, Table *t, struct stat *st) {
    int record = t->relation->size;
    auto ragged = [&](const struct stat &s) { return record > 0 && s.st_size % record != 0; };
    for (int i = 0; i < kRaggedRetries && ragged(*st) &&
                    std::time(nullptr) - st->st_mtime <= kRaggedQuietSeconds;
         i++) {
        struct timespec pause = {0, 100000000};
        nanosleep(&pause, nullptr);
        if (fstat(t->fd, st) != 0) {
            elog_log(1, "stat of '%s' failed!\n", t->path);
            return dbINVALID;
        }
    }
    int result = 0;
    if (ragged(*st) || st->st_size > INT_MAX) {
        if (unmap_table_data(t) != 0) result = dbINVALID;
        t->size = 0;
        t->count = 0;
        t->writable = 0;
        close(t->fd);
        t->fd = -1;
        elog_complain(1, "Table '%s' has invalid length %lu.\n", t->path,
                      static_cast<unsigned long>(st->st_size));
        return dbINVALID;
    }
    int length = static_cast<int>(st->st_size);
    int prot = t->writable ? PROT_READ | PROT_WRITE : PROT_READ;
    bool covered = t->data != nullptr && t->mapsize >= length && t->mapprot == prot;
    if (!covered && t->data != nullptr && unmap_table_data(t) != 0) {
        elog_log(1, "Couldn't munmap %s\n", t->path);
        result = dbINVALID;
    }
    t->size = length;
    t->count = record > 0 ? length / record : 0;
    if (length == 0) {
        if (t->data != nullptr && unmap_table_data(t) != 0) result = dbINVALID;
        return result;
    }
    if (covered) return result;
    std::size_t room = page_round(static_cast<std::size_t>(length) + length / 4 + 65536);
    if (room > INT_MAX) room = static_cast<std::size_t>(length);
    void *data = mmap(nullptr, room, prot, MAP_SHARED | MAP_POPULATE, t->fd, 0);
    if (data == MAP_FAILED) {
        if (db->dblocks == -1 && path_is_nfs(t->path) == 1)
            elog_log(0, "DBLOCKS is local, but the filesystem for %s is nfs", t->path);
        else
            elog_log(1, "Can't mmap table '%s'.\n", t->path);
        t->data = nullptr;
        t->mapsize = 0;
        return dbINVALID;
    }
    t->data = static_cast<char *>(data);
    t->mapsize = static_cast<int>(room);
    t->mapprot = prot;
    return result;
}

}  // namespace

int path_is_nfs(const char *path) {
    int (*probe)(char *) = __atomic_load_n(&nfs_probe, __ATOMIC_ACQUIRE);
    if (probe == nullptr) probe = is_nfs;
    Owned<char> copy(LF_STRDUP(path ? path : "", "path"));
    return probe(copy.get());
}

void set_nfs_probe(int (*probe)(char *path)) {
    __atomic_store_n(&nfs_probe, probe, __ATOMIC_RELEASE);
}

int unmap_table_data(Table *t) {
    if (t->relation != nullptr && t->relation->transient) return 0;
    int result = 0;
    if (t->data != nullptr && munmap(t->data, t->mapsize) != 0) result = -1;
    t->data = nullptr;
    t->mapsize = 0;
    return result;
}

double now() { return std_now(); }

int extend_table(Database *db, Table *t, int64_t length) {
    if (length <= t->size) return 0;
    struct stat st;
    std::memset(&st, 0, sizeof st);
    st.st_size = static_cast<off_t>(length);
    st.st_mtime = 0;  // the length is whole: no wait
    return remap_table(db, t, &st);
}

}  // namespace ledgeform

using namespace ledgeform;

extern "C" int map_table(Database *db, Relation *rel, int for_write) {
    Table *t = table_at(db, rel->id);
    if (t == nullptr) {
        t = new_table();
        t->name = rel->name;
        t->id = rel->id;
        t->relation = rel;
        settbl(db->tables, rel->id, t);
    }
    if (rel->transient) {
        if (t->path == nullptr) set_table_path(db, t);
        if (t->data == nullptr) {
            long long records = rel->is_view > 50 ? rel->is_view : 50;
            long long bytes = records * rel->size;
            if (bytes > INT_MAX) bytes = INT_MAX;
            t->data = static_cast<char *>(LF_CALLOC(static_cast<std::size_t>(bytes), "table->data"));
            t->allocated = static_cast<int>(bytes);
            t->writable = 1;
        }
        t->count = rel->size > 0 ? t->size / rel->size : 0;
        return 0;
    }
    if (t->fd < 0) {
        set_table_path(db, t);
        if (attempt_open_table(db, t, for_write) != 0) return dbINVALID;
    }
    if (t->fd < 0) return 0;
    struct stat st;
    if (fstat(t->fd, &st) != 0) {
        elog_log(1, "stat of '%s' failed!\n", t->path);
        return dbINVALID;
    }
    if (st.st_size != t->size || (t->data == nullptr && st.st_size > 0) ||
        (t->data != nullptr && st.st_size == 0))
        return remap_table(db, t, &st);
    return 0;
}
