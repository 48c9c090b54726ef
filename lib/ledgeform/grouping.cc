// Grouping: a table sorted by some keys turned into a small group table,
// one record per run of records with equal key texts, each naming its run
// by a bundle {database, table, end (exclusive), first record}.
#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

// The attributes of a group table's bundle and its kind.
const char kDeclareBundle[] =
    "Attribute bundle Dbptr ( 32 ) Description ( \"database pointer to bundled/grouped data\" )  Format ( \"%d %d %d %d\" )  Detail { A bundle is a special database pointer which refers to either an entire table or view, or to a contiguous subset of some table or view.  In the former case, both the record number and the field number should be dbALL.  In the latter case, the record number and the field number specify a range of records in the table.   } ;Attribute bundletype Integer ( 20 ) Format (\"%20d\" )  Description ( \"type of bundle\" )  Detail {  The bundle type is an arbitrary integer which specifies the kind of the bundle.  } ;";

}  // namespace

extern "C" {

int dbadd_bundle(Dbptr db) {
    db.table = db.field = db.record = dbALL;
    Resolved r;
    if (resolve(db, &r) != RESOLVED_DATABASE || r.database == nullptr) return -1;
    if (getarr(r.database->schema->attributes, "bundle") != nullptr) return 0;
    if (dbcompile(db, kDeclareBundle) != 0) {
        elog_log(0, "Failed to compile bundle/bundletype attributes");
        return -1;
    }
    return 0;
}

Dbptr dbmkgroup_relation(Dbptr db, Tbl *keys, const char *name) {
    Tbl *list = keys != nullptr ? keys : newtbl(0);
    Owned<char> joined(jointbl(list, const_cast<char *>(" ")));
    if (list != keys) freetbl(list, nullptr);
    const char *fields = joined.get() != nullptr ? joined.get() : "";
    char generated[32];
    if (name == nullptr || *name == '\0') {
        Dbptr d = db;
        d.table = d.field = d.record = dbALL;
        int n = 0;
        dbquery(d, QUERY_TABLE_COUNT, &n);
        std::snprintf(generated, sizeof generated, "View%d", n);
        name = generated;
    }
    if (dbadd_bundle(db) != 0) return dbinvalid();
    std::size_t size = 2 * std::strlen(fields) + std::strlen(name) + 1024;
    Owned<char> text(static_cast<char *>(LF_MALLOC(size, "schema")));
    std::snprintf(text.get(), size,
                  "Relation %s Fields ( %s bundle bundletype ) Primary ( %s) Transient ;", name,
                  fields, fields);
    Dbptr d = db;
    d.table = d.field = d.record = dbALL;
    if (dbcompile(d, text.get()) != 0) {
        elog_log(0, "attempting to compile\n'%s'\n", text.get());
        return dbinvalid();
    }
    return dblookup(d, nullptr, name, nullptr, nullptr);
}

Dbptr dbgroup(Dbptr db, Tbl *keys, const char *name, int type) {
    Dbptr group = dbmkgroup_relation(db, keys, name);
    Dbptr work = group;
    work.field = dbALL;
    work.record = dbSCRATCH;
    int nkeys = keys != nullptr ? maxtbl(keys) : 0;
    Dbptr table = db;
    table.field = table.record = dbALL;
    Owned<Dbptr> fields(static_cast<Dbptr *>(LF_MALLOC(sizeof(Dbptr) * (nkeys + 1), "avalue")));
    Owned<Dbptr> targets(static_cast<Dbptr *>(LF_MALLOC(sizeof(Dbptr) * (nkeys + 1), "avalue")));
    int widest = 0;
    for (int k = 0; k < nkeys; k++) {
        auto *key = static_cast<char *>(gettbl(keys, k));
        fields.get()[k] = dblookup(table, nullptr, nullptr, key, nullptr);
        if (fields.get()[k].field < 0) {
            elog_log(0, "Field '%s' not present in table '%s'.\n", key, [&] {
                char *t = db_nullstr;
                dbquery(table, QUERY_TABLE_NAME, &t);
                return t;
            }());
            return dbinvalid();
        }
        targets.get()[k] = dblookup(work, nullptr, nullptr, key, nullptr);
        int width = 0;
        dbquery(fields.get()[k], QUERY_FIELD_SIZE, &width);
        if (width > widest) widest = width;
    }
    int count = -1;
    if (dbquery(table, QUERY_RECORD_COUNT, &count) < 0 || count < 0) return dbinvalid();
    if (count == 0) {
        // Nothing to group: the group table stays empty.
        if (group.database < 0 || group.table < 0) return dbinvalid();
        group.field = group.record = dbALL;
        return group;
    }
    // The previous texts of every key, one after the other, and a buffer
    // for the text just read.
    auto stride = static_cast<std::size_t>(widest) + 1;
    Owned<char> previous(static_cast<char *>(LF_CALLOC(stride * (nkeys + 1), "avalue")));
    Owned<char> value(static_cast<char *>(LF_CALLOC(stride, "avalue")));
    dbputv(work, nullptr, "bundletype", type, nullptr);
    for (int k = 0; k < nkeys; k++) {
        Dbptr f = fields.get()[k];
        f.record = 0;
        char *prev = previous.get() + k * stride;
        dbget(f, prev);
        dbput(targets.get()[k], prev);
    }
    Dbptr current = group;
    current.field = dbALL;
    current.record = dbadd(group, nullptr);
    if (current.record < 0) return dbinvalid();
    Dbptr bundle = db;
    bundle.record = 0;
    // Ends the current group's bundle at record end and opens the next group.
    auto next_group = [&](int end) {
        bundle.field = end;
        dbputv(current, nullptr, "bundle", bundle, nullptr);
        bundle.record = end;
        current.record = dbadd(group, nullptr);
        return current.record >= 0;
    };
    bool started = false;  // whether the previous record started a group
    for (int i = 1; i < count; i++) {
        if (started && !next_group(i - 1)) return dbinvalid();
        started = false;
        for (int k = 0; k < nkeys; k++) {
            Dbptr f = fields.get()[k];
            f.record = i;
            dbget(f, value.get());
            char *prev = previous.get() + k * stride;
            if (std::strcmp(value.get(), prev) != 0) {
                started = true;
                std::strcpy(prev, value.get());
                dbput(targets.get()[k], prev);
            }
        }
    }
    if (started && !next_group(count - 1)) return dbinvalid();
    bundle.field = count;
    dbputv(current, nullptr, "bundle", bundle, nullptr);
    group.field = group.record = dbALL;
    return group;
}

}  // extern "C"
