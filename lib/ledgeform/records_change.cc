// Changing tables: deleting, blanking, compacting and truncating records,
// and destroying a database's files.
//
// Deleting, compacting and truncating a table file hold its table lock, so
// that a record another process appends meanwhile is neither lost nor
// moved over.
#include <unistd.h>

#include <cerrno>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

// The table lock of a file table (an in-memory table has none).
int lock(Database *d, Table *t) { return t->relation->transient ? 0 : lock_table(d, t); }
int unlock(Database *d, Table *t) { return t->relation->transient ? 0 : _dbunlock(d, t); }

char *record_at(Table *t, int record) {
    return t->data + static_cast<std::size_t>(record) * t->relation->size;
}

}  // namespace

extern "C" {

int dbdelete(Dbptr db) {
    db.field = dbALL;
    Resolved r;
    if (resolve(db, &r) != RESOLVED_RECORD || db.record < 0) return dbINVALID;
    Database *d = r.database;
    Table *t = r.table;
    Relation *rel = r.relation;
    if (!t->writable) {
        elog_log(0, "dbdelete: Table %s (%s) is opened read-only and can't be modified.\n",
                 t->name, t->path);
        return dbINVALID;
    }
    if (lock(d, t) != 0) return dbINVALID;
    if (resolve(db, &r) != RESOLVED_RECORD) {
        unlock(d, t);
        return dbINVALID;
    }
    int size = rel->size;
    std::memmove(record_at(t, db.record), record_at(t, db.record + 1),
                 static_cast<std::size_t>(t->count - db.record - 1) * size);
    if (rel->transient) {
        t->size -= size;
        t->count--;
    } else {
        int length = t->size - size;
        if (unmap_table_data(t) != 0) {
            elog_log(1, "munmap fails in dbdelete in %s", t->path);
            unlock(d, t);
            return dbINVALID;
        }
        if (ftruncate(t->fd, length) != 0) {
            elog_log(1, "ftruncate fails in dbdelete in %s", t->path);
            unlock(d, t);
            map_table(d, rel, 0);
            return dbINVALID;
        }
        t->size = length;
        t->count = size > 0 ? length / size : 0;
        int unlocked = unlock(d, t);
        if (map_table(d, rel, 0) != 0 || unlocked != 0) return dbINVALID;
    }
    index_record_deleted(t, db);
    return 0;
}

int dbmark(Dbptr db) {
    db.field = dbALL;
    Resolved r;
    if (resolve(db, &r) != RESOLVED_RECORD) return dbINVALID;
    if (!r.table->writable) {
        elog_log(0, "dbmark: Table %s (%s) is opened read-only and can't be modified.\n",
                 r.table->name, r.table->path);
        return dbINVALID;
    }
    const char *null = null_record(db);
    if (null == nullptr) return dbINVALID;
    index_record_marked(r.table, db);
    std::memcpy(r.data, null, static_cast<std::size_t>(r.relation->size));
    return 0;
}

int dbcrunch(Dbptr db) {
    Resolved r;
    if (resolve_table(db, &r) != RESOLVED_TABLE) return dbINVALID;
    Database *d = r.database;
    Table *t = r.table;
    if (t == nullptr || t->count == 0) return 0;
    if (!t->writable) {
        elog_log(0, "dbcrunch : Table %s (%s) is opened read-only and can't be modified.\n",
                 t->name, t->path);
        return dbINVALID;
    }
    const char *null = null_record(db);
    if (null == nullptr || lock(d, t) != 0) return dbINVALID;
    std::size_t size = static_cast<std::size_t>(r.relation->size);
    int count = t->count;
    auto is_null = [&](int i) { return std::memcmp(record_at(t, i), null, size) == 0; };
    int kept = 0;
    while (kept < count && !is_null(kept)) kept++;
    if (kept == count) {
        unlock(d, t);
        return 0;
    }
    int i = kept;
    while (i < count) {
        while (i < count && is_null(i)) i++;
        int run = i;
        while (i < count && !is_null(i)) i++;
        if (i > run) {
            std::memmove(record_at(t, kept), record_at(t, run), (i - run) * size);
            kept += i - run;
        }
    }
    int result = dbtruncate(db, kept);
    if (unlock(d, t) != 0) result = dbINVALID;
    return result;
}

int dbtruncate(Dbptr db, int n) {
    Resolved r;
    if (resolve_table(db, &r) != RESOLVED_TABLE) {
        elog_log(0, "dbtruncate requires db pointer to table\n");
        return dbINVALID;
    }
    Database *d = r.database;
    Table *t = r.table;
    if (n < 0) {
        elog_log(0, "dbtruncate can't keep %d records\n", n);
        return dbINVALID;
    }
    if (t->data != nullptr && !t->writable) {
        elog_log(0, "Table %s is opened read-only and cannot be updatedn", t->path);
        return dbINVALID;
    }
    if (lock(d, t) != 0) return dbINVALID;
    int result = 0;
    char *path = nullptr;
    dbquery(db, QUERY_TABLE_PATH, &path);
    if (t->data != nullptr) {
        int size = dbquery(db, QUERY_RECORD_SIZE, &size);
        int count = 0;
        if (dbquery(db, QUERY_RECORD_COUNT, &count) < 0) {
            unlock(d, t);
            return dbINVALID;
        }
        int keep = count < n ? count : n;
        int length = keep * size;
        // The records cut off leave the indexes with the rest of their
        // numbering: build them again when next asked.
        if (keep < count) index_drop_all(t);
        if (r.relation->transient) {
            t->count = keep;
            t->size = length;
        } else if (keep < count) {
            unmap_table_data(t);
            if (truncate(path, length) != 0) {
                elog_log(1, "Can't truncate file '%s' to length %d\n", path, length);
                result = dbINVALID;
            }
        }
    }
    if (map_table(d, r.relation, 0) != 0) result = dbINVALID;
    if (unlock(d, t) != 0) result = dbINVALID;
    return result;
}

int dbdestroy(Dbptr db) {
    db.table = db.field = db.record = dbALL;
    int writable = 0;
    if (dbquery(db, QUERY_DATABASE_WRITABLE, &writable) != 0 || !writable) {
        elog_log(0, "Can't destroy a database opened read-only.\n");
        return dbINVALID;
    }
    int result = 0;
    Tbl *names = nullptr;
    dbquery(db, QUERY_TABLE_NAMES, &names);
    for (int i = 0; i < maxtbl(names); i++) {
        Dbptr t = dblookup(db, nullptr, static_cast<char *>(gettbl(names, i)), nullptr, nullptr);
        char *path = nullptr;
        if (t.table < 0 || dbquery(t, QUERY_TABLE_PATH, &path) != 0 || path == nullptr) continue;
        if (is_present(path) && unlink(path) != 0) {
            elog_log(1, "Couldn't remove file %s\n", path);
            result = dbINVALID;
        }
        Owned<char> lockname(dblockname(path));
        if (is_present(lockname.get()) && unlink(lockname.get()) != 0) {
            elog_log(1, "Couldn't remove lock file %s\n", lockname.get());
            result = dbINVALID;
        }
    }
    char *descriptor = nullptr;
    if (dbquery(db, QUERY_DATABASE_PATH, &descriptor) == 0 && is_file(descriptor) &&
        unlink(descriptor) != 0) {
        elog_log(1, "Couldn't remove descriptor file %s\n", descriptor);
        result = dbINVALID;
    }
    return result | LGdbclose(db);
}

}  // extern "C"
