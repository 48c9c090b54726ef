// Resolution of a database pointer into the catalogue records and the data
// address it designates: the first step of every operation.
#include "ledgeform_private.h"

namespace ledgeform {

int resolve(Dbptr db, Resolved *r) {
    *r = Resolved();
    for (;;) {
        int closed = 0;
        Database *database = database_by_id(db.database, &closed);
        if (database == nullptr) {
            if (closed)
                elog_log(0, "Bad database id %d (database was closed) in db pointer\n",
                         db.database);
            else
                elog_log(0, "Bad database id %d in db pointer\n", db.database);
            return dbINVALID;
        }
        *r = Resolved();
        r->database = database;
        r->final = db;
        Schema *schema = database->schema;
        if (db.table < 0 || db.table >= schema->nrelations) {
            if (db.table == dbALL) return RESOLVED_DATABASE;
            elog_log(0, "Bad table id %d in db pointer\n", db.table);
            return dbINVALID;
        }
        Relation *rel = relation_at(schema, db.table);
        if (rel == nullptr) {
            elog_log(0, "Bad table id %d (relation was closed) in db pointer\n", db.table);
            return dbINVALID;
        }
        Table *table = table_at(database, db.table);
        if (table == nullptr || table->data == nullptr) {
            map_table(database, rel, 0);
            table = table_at(database, db.table);
        }
        r->relation = rel;
        r->table = table;

        char *data = nullptr;
        switch (db.record) {
            case dbSCRATCH:
                if (table != nullptr && table->scratch == nullptr) new_scratch(db, table);
                data = table != nullptr ? table->scratch : nullptr;
                r->size = rel->size;
                break;
            case dbNULL:
                if (rel->null == nullptr) new_null(db);
                data = rel->null;
                r->size = rel->size;
                break;
            case dbALL:
                if (db.field == dbALL) {
                    r->data = table != nullptr ? table->data : nullptr;
                    r->size = table != nullptr ? table->size : 0;
                    return RESOLVED_TABLE;
                }
                break;
            default:
                if (db.record < 0 || table == nullptr || db.record >= table->count) {
                    elog_log(0, "Bad record id %d in db pointer\n", db.record);
                    return dbINVALID;
                }
                data = table->data + static_cast<std::size_t>(db.record) * rel->size;
                r->size = rel->size;
                break;
        }
        r->data = data;
        if (db.field == dbALL) return RESOLVED_RECORD;
        if (db.field < 0 || db.field >= rel->nfields) {
            elog_log(0, "Bad field id %d in db pointer\n", db.field);
            return dbINVALID;
        }
        Field *field = field_at(rel, db.field);
        r->field = field;
        r->size = field->is_dbptr ? 16 : field_width(field);
        if (data != nullptr) r->data = data + field->offset;
        if (field->table == rel->id) return RESOLVED_FIELD;

        // A field of a view lives in a base table: follow the record's slot.
        int record = dbALL;
        if (db.record != dbALL && r->data != nullptr) {
            Dbptr slot;
            std::memcpy(&slot, r->data, sizeof slot);
            record = slot.record;
        }
        db = make_dbptr(db.database, field->table, field->id, record);
    }
}

bool resolve_stored_field(Dbptr db, Resolved *r) {
    int closed = 0;
    Database *database = database_by_id(db.database, &closed);
    if (database == nullptr) return false;
    Relation *rel = relation_at(database->schema, db.table);
    if (rel == nullptr || !stored_field_in(rel, table_at(database, db.table), db, r)) return false;
    r->database = database;
    return true;
}

bool stored_field_in(Relation *rel, Table *table, Dbptr db, Resolved *r) {
    if (db.record < 0 || db.field < 0 || db.field >= rel->nfields || table == nullptr ||
        table->data == nullptr || db.record >= table->count)
        return false;
    Field *field = field_at(rel, db.field);
    if (field == nullptr || field->table != rel->id) return false;
    *r = Resolved();
    r->relation = rel;
    r->table = table;
    r->field = field;
    r->final = db;
    r->size = field->is_dbptr ? 16 : field_width(field);
    r->data = table->data + static_cast<std::size_t>(db.record) * rel->size + field->offset;
    return true;
}

}  // namespace ledgeform

using namespace ledgeform;

extern "C" {

Dbptr dbinvalid(void) { return make_dbptr(dbINVALID, dbINVALID, dbINVALID, dbINVALID); }

int dbresolve(Dbptr db, Database **database, Relation **relation, Table **table, Field **field,
              char **data, int *size) {
    Resolved r;
    int level = resolve(db, &r);
    if (database) *database = r.database;
    if (relation) *relation = r.relation;
    if (table) *table = r.table;
    if (field) *field = r.field;
    if (data) *data = r.data;
    if (size) *size = r.size;
    return level;
}

}  // extern "C"
