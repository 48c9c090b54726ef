// New ids for records appended with a null id: the largest id in use in the
// table that defines the id name, and the database's "lastid" table, whose
// record for the name holds the last id handed out, updated under its table
// lock.
#include <cstdint>

#include "ledgeform_private.h"

namespace ledgeform {

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

}  // namespace

int next_id(Dbptr db, const char *name) {
    db.table = db.field = db.record = dbALL;
    Resolved r;
    if (resolve(db, &r) == dbINVALID) return -1;
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
        elog_log(0, "no id server client to ask %s for a new %s\n", d->dbidserver, name);
        return -1;
    }
    Table *t = lr.table;
    if (t->fd < 0 && !lr.relation->transient && map_table(d, lr.relation, 1) != 0) {
        elog_log(1, "Can't create lastid table '%s'\n", t->path);
        return -1;
    }
    if (_dblock(d, t) != 0) return -1;
    if (map_table(d, lr.relation, 0) != 0) {
        _dbunlock(d, t);
        return -1;
    }
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
    if (_dbunlock(d, t) != 0) result = -1;
    return result == 0 ? id : -1;
}

}  // namespace ledgeform
