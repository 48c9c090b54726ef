// Appending records: plain, null, from name/value pairs, and with checks of
// the primary and alternate keys and assignment of a new id.
#include <unistd.h>

#include <climits>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

constexpr int kStackRecord = 4096;
constexpr int kTruncateAttempts = 5;

// Appends one record image to an in-memory table; its number.
int append_in_memory(Table *t, const char *record, int size) {
    if (t->size > INT_MAX - size) {
        elog_log(0, "Table %s is full\n", t->name);
        return dbINVALID;
    }
    if (t->size + size > t->allocated) {
        long long room = t->allocated > 0 ? 2LL * t->allocated : size;
        if (room < t->size + size) room = t->size + size;
        if (room > INT_MAX) room = INT_MAX;
        t->data = static_cast<char *>(LF_REALLOC(t->data, static_cast<std::size_t>(room), "table->data"));
        t->allocated = static_cast<int>(room);
    }
    std::memcpy(t->data + t->size, record, static_cast<std::size_t>(size));
    t->size += size;
    t->count++;
    return t->count - 1;
}

// Appends one record image to a table file under the table lock; its
// number.
int append_to_file(Database *d, Relation *rel, Table *t, const char *record) {
    int size = rel->size;
    char stack[kStackRecord + 1];
    Owned<char> heap(size > kStackRecord ? static_cast<char *>(LF_MALLOC(size + 10, "temp")) : nullptr);
    char *work = heap.get() ? heap.get() : stack;
    std::memcpy(work, record, static_cast<std::size_t>(size));
    if (rel->terminator && size > 0) work[size - 1] = rel->terminator;
    work[size] = '\0';

    if (_dblock(d, t) != 0) return dbINVALID;
    // The file is open for appending: the write lands at its end, and the
    // offset after it is the end of this record.
    ssize_t wrote = rewrite(t->fd, work, static_cast<std::size_t>(size));
    int64_t end = relseek(t->fd, 0, SEEK_CUR);
    if (end < 0) {
        elog_log(1, "lseek fails in dbadd on %s.\n", t->path);
        _dbunlock(d, t);
        return dbINVALID;
    }
    if (wrote != size) {
        int64_t old_end = end - (wrote > 0 ? wrote : 0);
        elog_log(1, "Can't write record '%s' to table %s\n", work, t->path);
        for (int attempt = 0; attempt < kTruncateAttempts; attempt++) {
            if (ftruncate(t->fd, static_cast<off_t>(old_end)) == 0) break;
            elog_log(1, "Can't truncate table %s to length %d, attempt #%d", t->path,
                     static_cast<int>(old_end), attempt);
            sleep(1);
        }
        _dbunlock(d, t);
        return dbINVALID;
    }
    int number = size > 0 ? static_cast<int>(end / size) - 1 : 0;
    if (d->dblocks != 0 && fsync(t->fd) != 0) {
        elog_log(1, "Couldn't fsync table %s\n", t->path);
        _dbunlock(d, t);
        return dbINVALID;
    }
    if (extend_table(d, t, end) != 0) {
        _dbunlock(d, t);
        return dbINVALID;
    }
    if (_dbunlock(d, t) != 0) return dbINVALID;
    return number;
}

// The field of `name` in a base table, or null.
Field *own_field(Relation *rel, const char *name) {
    int id = field_id_by_name(rel, name);
    Field *f = id >= 0 ? field_at(rel, id) : nullptr;
    return f != nullptr && !f->is_dbptr && f->table == rel->id ? f : nullptr;
}

bool holds_null(Relation *rel, const char *record, const char *name) {
    Field *f = own_field(rel, name);
    return f != nullptr &&
           std::memcmp(record + f->offset, rel->null + f->offset, field_width(f)) == 0;
}

// A key name as the null tests read it: a range "a::b" has the start a
// and the plain part b; any other key is its own plain part.
class KeyName {
  public:
    explicit KeyName(const char *key)
        : start_(std::strlen(key) + 1, "key"), end_(std::strlen(key) + 1, "key"), plain_(key) {
        const char *sep = std::strstr(key, "::");
        if (sep == nullptr) return;
        std::memcpy(start_.get(), key, static_cast<std::size_t>(sep - key));
        std::strcpy(end_.get(), sep + 2);
        range_ = true;
        plain_ = end_.get();
    }
    const char *start() { return range_ ? start_.get() : nullptr; }
    const char *plain() const { return plain_; }

  private:
    WorkBuffer start_, end_;
    const char *plain_;
    bool range_ = false;
};

bool is_open_end(const char *name) {
    return std::strcmp(name, "offdate") == 0 || std::strcmp(name, "endtime") == 0;
}

// Whether some key of the list holds its null value.
bool nullfield(Relation *rel, const char *record, Tbl *keys) {
    for (int i = 0; i < maxtbl(keys); i++) {
        KeyName key(static_cast<char *>(gettbl(keys, i)));
        if (key.start() != nullptr && holds_null(rel, record, key.start())) return true;
        if (holds_null(rel, record, key.plain()) && !is_open_end(key.plain())) return true;
    }
    return false;
}

// Whether every key of the list holds its null value.
bool allnull(Relation *rel, const char *record, Tbl *keys) {
    static const char *const kNeverNull[] = {"instype", "band",    "digital", "ncalib",
                                             "ncalper", "offdate", "endtime"};
    for (int i = 0; i < maxtbl(keys); i++) {
        KeyName key(static_cast<char *>(gettbl(keys, i)));
        if (key.start() != nullptr && holds_null(rel, record, key.start())) return true;
        if (!holds_null(rel, record, key.plain())) return false;
        for (const char *name : kNeverNull)
            if (std::strcmp(key.plain(), name) == 0) return false;
    }
    return true;
}

// The first field, in field order, in which the new record a differs from
// the existing record b and does not hold its null value; the Timedate
// field is passed over. Null when none.
const char *cmprcd(Relation *rel, const char *a, const char *b, const char *timedate) {
    for (int i = 0; i < rel->ndata; i++) {
        Field *f = field_at(rel, i);
        int width = field_width(f);
        if (std::memcmp(a + f->offset, b + f->offset, width) == 0) continue;
        if (std::memcmp(a + f->offset, rel->null + f->offset, width) == 0) continue;
        const char *name = field_name(f);
        if (timedate != nullptr && *timedate != '\0' && std::strcmp(name, timedate) == 0) continue;
        return name;
    }
    return nullptr;
}

// Searches the existing records for the key of the scratch record: the
// number of an equal record, -103 minus the number of a conflicting one, or
// 1 when no record has that key.
int check_key(Dbptr scratch, Relation *rel, Table *t, Tbl *keys, const char *which,
              const char *timedate) {
    int *matches = nullptr;
    int n = key_matches(scratch, keys, &matches);
    if (n < 0) return dbINVALID;
    Owned<int> owned(matches);
    if (n == 0) return 1;
    int last = -1;
    const char *differs = nullptr;
    for (int i = 0; i < n; i++) {
        last = matches[i];
        const char *existing = t->data + static_cast<std::size_t>(last) * rel->size;
        differs = cmprcd(rel, t->scratch, existing, timedate);
        if (differs == nullptr) return last;
    }
    elog_log(0,
             "Couldn't add a new record to table %s\n\tThe new record matched the %s key of "
             "record #%d, but field '%s' is different.\n",
             t->path, which, last, differs);
    return -103 - last;
}

}  // namespace

extern "C" {

int dbadd(Dbptr db, const char *record) {
    Resolved r;
    if (resolve_table(db, &r) != RESOLVED_TABLE) {
        elog_log(0, "dbadd requires db pointer to table\n");
        return dbINVALID;
    }
    Database *d = r.database;
    Relation *rel = r.relation;
    Table *t = r.table;
    if (t->data == nullptr && !rel->transient) {
        if (map_table(d, rel, 1) != 0) {
            elog_log(0, "Can't write to table %s\n", t->path);
            return dbINVALID;
        }
        if (resolve(db, &r) != RESOLVED_TABLE || (t->data == nullptr && t->size != 0))
            return dbINVALID;
    }
    if (record == nullptr) {
        record = t->scratch;
        if (record == nullptr) {
            elog_log(0, "Expecting to add scratch record to %s, but scratch record doesn't exist.\n",
                     t->path);
            return dbINVALID;
        }
    }
    // Null records never enter the indexes.
    const char *null = null_record(db);
    bool indexed = null == nullptr || std::memcmp(record, null, rel->size) != 0;
    if (!t->writable) {
        if (t->fd >= 0)
            elog_log(0, "Table %s is opened read-only and cannot be updated\n", t->path);
        else
            elog_log(0, "Table %s does not exist and database was opened read-only\n", t->name);
        return dbINVALID;
    }
    int number = rel->transient ? append_in_memory(t, record, rel->size)
                                : append_to_file(d, rel, t, record);
    if (number >= 0 && indexed)
        index_record_added(t, make_dbptr(db.database, db.table, dbALL, number));
    return number;
}

int dbaddnull(Dbptr db) {
    if (dbget(make_dbptr(db.database, db.table, dbALL, dbNULL), nullptr) != 0) return dbINVALID;
    return dbadd(make_dbptr(db.database, db.table, dbALL, dbALL), nullptr);
}

int dbaddv(Dbptr db, const char *table, ...) {
    db.field = dbALL;
    db.record = dbALL;
    if (table != nullptr && *table != '\0') db = dblookup(db, nullptr, table, nullptr, nullptr);
    Resolved r;
    if (resolve(db, &r) == RESOLVED_TABLE && r.relation->is_view) {
        elog_log(0, "dbaddv may only be used with base tables, not views.\n");
        return dbINVALID;
    }
    Dbptr scratch = make_dbptr(db.database, db.table, dbALL, dbSCRATCH);
    if (dbget(make_dbptr(db.database, db.table, dbALL, dbNULL), nullptr) != 0) return dbINVALID;
    va_list ap;
    va_start(ap, table);
    int result = put_values(scratch, &ap, true, "dbputv");
    va_end(ap);
    if (result != 0) return result;
    return dbaddchk(db, nullptr);
}

int dbaddchk(Dbptr db, const char *record) {
    Dbptr scratch = make_dbptr(db.database, db.table, dbALL, dbSCRATCH);
    Resolved r;
    if (resolve(scratch, &r) != RESOLVED_RECORD) {
        elog_log(0, "dbaddchk requires a db pointer to a table\n");
        return dbINVALID;
    }
    Relation *rel = r.relation;
    Table *t = r.table;
    if (rel->is_view) {
        elog_log(0, "dbaddchk may only be used with primary tables, not views\n");
        return dbINVALID;
    }
    if (t->fd >= 0 && !t->writable) {
        elog_log(0, "Table %s is opened read-only and cannot be updated\n", t->path);
        return dbINVALID;
    }
    if (record != nullptr) sncopy(t->scratch, record, rel->size);
    Dbptr table = make_dbptr(db.database, db.table, dbALL, dbALL);
    int count = 0;
    // The keys, the Timedate name and the id name as the catalogue holds
    // them (what dbquery answers for them).
    Tbl *primary = rel->primary, *alternate = rel->alternate;
    const char *timedate = r.database->schema->timedate;
    // The records are searched only by keys: without keys their count does
    // not matter.
    if ((maxtbl(primary) > 0 || maxtbl(alternate) > 0) &&
        (dbquery(table, QUERY_RECORD_COUNT, &count) < 0 || count < 0))
        return dbINVALID;
    if (null_record(table) == nullptr) return dbINVALID;

    if (count > 0) {
        int found = check_key(scratch, rel, t, primary, "primary", timedate);
        if (found == 1 && maxtbl(alternate) > 0)
            found = check_key(scratch, rel, t, alternate, "alternate", timedate);
        if (found != 1) return found;
    }

    const char *id_name = rel->defines;
    Field *id_field = nullptr;
    if (id_name != nullptr && (id_field = own_field(rel, id_name)) != nullptr &&
        holds_null(rel, t->scratch, id_name)) {
        int id = dbnextid(table, id_name);
        if (id < 0) {
            elog_log(0, "Can't assign new %s to add record", id_name);
            return dbINVALID;
        }
        dbputv(scratch, nullptr, id_name, id, nullptr);
    } else {
        id_field = nullptr;
    }

    const char *name = rel->name;
    int result = dbINVALID;
    if (nullfield(rel, t->scratch, primary)) {
        elog_log(0, "Can't add record with null primary key to %s\n", name);
    } else if (maxtbl(alternate) > 0 && allnull(rel, t->scratch, alternate)) {
        elog_log(0, "Can't add record with null alternate key to %s\n", name);
    } else {
        result = dbadd(table, nullptr);
    }
    if (id_field != nullptr) {
        // The used id leaves the scratch record.
        Dbptr field = scratch;
        field.field = id_field->id;
        WorkBuffer text(static_cast<std::size_t>(field_width(id_field)) + 1, "temp");
        std::memcpy(text.get(), rel->null + id_field->offset, field_width(id_field));
        dbput(field, text.get());
    }
    return result;
}

}  // extern "C"
