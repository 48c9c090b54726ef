// New ids for records appended with a null id: from the database's id
// server when it names one, else from its "lastid" table, whose record for
// an id name holds the last id handed out. The lastid table is read and
// written under its table lock, held from the lookup of the record to the
// write of the new id (appending the record on first use nests inside it),
// so that two processes never get the same id.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

// The largest id of the name in use in its defining table (0 when none
// defines it or the table is empty).
int largest_in_use(Dbptr db, Database *d, const char *name) {
    auto *defining = static_cast<char *>(getarr(d->schema->defines, name));
    if (defining == nullptr) return 0;
    Dbptr t = dblookup(db, nullptr, defining, nullptr, nullptr);
    int count = 0;
    if (t.table < 0 || dbquery(t, QUERY_RECORD_COUNT, &count) < 0) return 0;
    int largest = 0;
    for (t.record = 0; t.record < count; t.record++) {
        int id = 0;
        if (dbgetv(t, nullptr, name, &id, nullptr) == 0 && id > largest) largest = id;
    }
    return largest;
}

// Forces the bytes of one record of a mapped table to its file, so that a
// process on another host that takes the lock next reads them.
void flush_record(Table *t, int record, int size) {
    if (t->data == nullptr || t->relation->transient) return;
    long page = sysconf(_SC_PAGESIZE);
    auto start = reinterpret_cast<uintptr_t>(t->data) + static_cast<uintptr_t>(record) * size;
    uintptr_t aligned = start / page * page;
    msync(reinterpret_cast<void *>(aligned), start - aligned + size, MS_SYNC);
}

// The next id from the lastid table, under its lock.
int next_from_table(Database *d, Dbptr lastid, Resolved *lr, const char *name, int largest) {
    Table *t = lr->table;
    if (t->fd < 0 && !lr->relation->transient && map_table(d, lr->relation, 1) != 0) {
        elog_log(1, "Can't create lastid table '%s'\n", t->path);
        return -1;
    }
    int width = 0;
    width = dbquery(dblookup(lastid, nullptr, nullptr, "keyname", nullptr), QUERY_FIELD_SIZE, &width);
    if (width <= 0 || std::strlen(name) > static_cast<std::size_t>(width)) {
        // A longer name would be cut when stored and never found again.
        elog_log(0, "id name '%s' does not fit the keyname field of the lastid table\n", name);
        return -1;
    }
    if (lock_table(d, t) != 0) return -1;
    Dbptr record = dblookup(lastid, nullptr, nullptr, "keyname", name);
    if (record.record < 0) {
        record.record = dbaddv(lastid, nullptr, "keyname", name, "keyvalue", largest, nullptr);
        if (record.record < 0) {
            _dbunlock(d, t);
            return -1;
        }
    }
    record.field = dbALL;
    int last = 0;
    int result = 0;
    if (dbgetv(record, nullptr, "keyvalue", &last, nullptr) != 0) result = -1;
    int id = (last > largest ? last : largest) + 1;
    if (result == 0 && dbputv(record, nullptr, "keyvalue", id, nullptr) != 0) result = -1;
    if (result == 0 && d->dblocks != 0) flush_record(t, record.record, lr->relation->size);
    if (_dbunlock(d, t) != 0) result = -1;
    return result == 0 ? id : -1;
}

}  // namespace

extern "C" int dbnextid(Dbptr db, const char *name) {
    db.table = db.field = db.record = dbALL;
    Resolved r;
    if (name == nullptr || resolve(db, &r) == dbINVALID) return -1;
    Database *d = r.database;
    int largest = -1;
    if (getarr(d->lastids, name) == nullptr) {
        largest = largest_in_use(db, d, name);
        setarr(d->lastids, name, reinterpret_cast<void *>(static_cast<intptr_t>(largest)));
    }
    Dbptr lastid = dblookup(db, nullptr, "lastid", nullptr, nullptr);
    Resolved lr;
    if (lastid.table < 0 || resolve(lastid, &lr) == dbINVALID) return -1;
    if (d->dbidserver != nullptr) {
        int id = dbidrequest(name, d->dbidserver);
        if (largest >= id) {
            elog_log(0, "idserver returns new id for %s = %d, but database already has id=%d", name,
                     id, largest);
            return -1;
        }
        return id;
    }
    return next_from_table(d, lastid, &lr, name, largest);
}
