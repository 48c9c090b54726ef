// Database pointers from names: dblookup, and the attribute lookups
// dbfield_type and dbtables.
#include <cstdio>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

bool named(const char *s) { return s != nullptr && *s != '\0'; }

// A saved view of the table name along the database's path, or false.
bool saved_view(Database *db, const char *tname, Dbptr *result) {
    char path[kPathBuffer];
    find_path(db->dbname, tname, db->dbpath, path);
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) return false;
    Dbptr view;
    int rc = dbread_view(file, &view, tname);
    std::fclose(file);
    if (rc != 0) return false;
    *result = view;
    return true;
}

// The length of the text of a field without its trailing blanks, and its
// start after the leading ones.
const char *stripped(const char *text, int width, int *length) {
    int begin = 0, end = width;
    while (begin < end && text[begin] == ' ') begin++;
    while (end > begin && text[end - 1] == ' ') end--;
    *length = end - begin;
    return text + begin;
}

// The first record whose field (of width `width`) holds key, stripped; -102
// when none.
int find_key(Dbptr db, const char *key, int width, int count) {
    int key_length = 0;
    const char *key_text = stripped(key, static_cast<int>(std::strlen(key)), &key_length);
    Resolved r;
    db.record = 0;
    if (count > 0 && resolve(db, &r) == RESOLVED_FIELD && r.final.table == db.table) {
        // The field lives in this table: walk its records in place.
        int record_size = r.relation->size;
        const char *field = r.data;
        for (int i = 0; i < count; i++, field += record_size) {
            int length = 0;
            const char *text = stripped(field, width, &length);
            if (length == key_length && std::memcmp(text, key_text, length) == 0) return i;
        }
        return dbINVALID;
    }
    WorkBuffer buffer(static_cast<std::size_t>(width) + 1, "temp");
    for (int i = 0; i < count; i++) {
        db.record = i;
        if (dbget(db, buffer.get()) != 0) continue;
        int length = 0;
        const char *text = stripped(buffer.get(), static_cast<int>(std::strlen(buffer.get())), &length);
        if (length == key_length && std::memcmp(text, key_text, length) == 0) return i;
    }
    return dbINVALID;
}

}  // namespace

extern "C" {

Dbptr dblookup(Dbptr start, const char *dbname, const char *tname, const char *fname,
               const char *rname) {
    Dbptr result = start;
    int closed = 0;
    Database *db = nullptr;
    if (named(dbname)) {
        Dbptr opened;
        if (LGdbopen(dbname, "r+", &opened) != 0) return dbinvalid();
        result.database = opened.database;
        result.table = dbALL;
        result.field = dbALL;
    }
    db = database_by_id(result.database, &closed);
    if (db == nullptr) return dbinvalid();
    Schema *schema = db->schema;

    if (named(tname)) {
        if (std::strcmp(tname, "dbALL") == 0) result.table = dbALL;
        Relation *rel = relation_named(schema, tname);
        if (rel == nullptr && schema->extdir != nullptr) {
            if (add_extension(result, schema, tname)) {
                rel = relation_named(schema, tname);
                if (rel == nullptr) {
                    elog_complain(0, "\n** extension file for %s doesn't define %s **\n\n", tname,
                                  tname);
                    result.table = result.field = dbINVALID;
                    return result;
                }
            }
        }
        if (rel == nullptr) {
            Dbptr view;
            if (saved_view(db, tname, &view)) {
                result = view;
            } else {
                result.table = result.field = dbINVALID;
                return result;
            }
        } else {
            result.table = rel->id;
            result.field = dbALL;
        }
    } else if (relation_at(schema, result.table) == nullptr) {
        result.table = result.field = dbINVALID;
        return result;
    }
    Relation *rel = relation_at(schema, result.table);

    if (named(fname)) {
        result.field = std::strcmp(fname, "dbALL") == 0 ? dbALL : field_id_by_name(rel, fname);
    } else if (result.field != dbALL && (result.field < 0 || result.field >= rel->ndata)) {
        result.field = dbINVALID;
        return result;
    }

    if (named(rname)) {
        if (std::strcmp(rname, "dbNULL") == 0) {
            result.record = dbNULL;
        } else if (std::strcmp(rname, "dbALL") == 0) {
            result.record = dbALL;
        } else if (std::strcmp(rname, "dbINVALID") == 0) {
            result.record = dbINVALID;
        } else if (std::strcmp(rname, "dbSCRATCH") == 0) {
            result.record = dbSCRATCH;
        } else {
            int count = 0, width = 0;
            if (dbquery(result, QUERY_RECORD_COUNT, &count) < 0 ||
                (width = dbquery(result, QUERY_FIELD_SIZE, &width)) <= 0)
                result.record = dbINVALID;
            else
                result.record = find_key(result, rname, width, count);
        }
    }
    return result;
}

int dbfield_type(Dbptr db, const char *name) {
    db.table = db.field = db.record = dbALL;
    Resolved r;
    if (resolve(db, &r) == dbINVALID || name == nullptr) return dbINVALID;
    Schema *schema = r.database->schema;
    const char *dot = std::strchr(name, '.');
    if (dot != nullptr) {
        std::size_t n = static_cast<std::size_t>(dot - name);
        WorkBuffer table(n + 1, "temp");
        std::memcpy(table.get(), name, n);
        if (relation_named(schema, table.get()) == nullptr) return dbINVALID;
        name = dot + 1;
    }
    auto *a = static_cast<Attribute *>(getarr(schema->attributes, name));
    return a != nullptr ? a->type : dbINVALID;
}

Tbl *dbtables(Dbptr db, const char *name) {
    db.table = db.field = db.record = dbALL;
    Resolved r;
    if (name == nullptr || resolve(db, &r) == dbINVALID) return _db_nulltbl;
    auto *a = static_cast<Attribute *>(getarr(r.database->schema->attributes, name));
    return a != nullptr ? a->relations : _db_nulltbl;
}

}  // extern "C"
