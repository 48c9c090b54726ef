// Copying records and fields out and in, and writing and reading values of
// fields by name.
#include <sys/time.h>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

int no_data(Dbptr db) {
    elog_log(0, "db pointer (%d %d %d %d) doesn't resolve to data", db.database, db.table,
             db.field, db.record);
    return dbINVALID;
}

bool read_only(const Resolved &r) {
    return r.table != nullptr && !is_scratch(r) && !r.table->writable;
}

// The address and width of field `id` of the resolved record, reaching the
// base table of a view field; false when it does not resolve to a field.
bool field_data(Dbptr record, const Resolved &rec, int id, Resolved *out) {
    Field *f = field_at(rec.relation, id);
    if (f != nullptr && f->table == rec.relation->id && rec.data != nullptr) {
        // An own field: no need to resolve again.
        *out = rec;
        out->field = f;
        out->data = rec.data + f->offset;
        out->size = f->is_dbptr ? 16 : field_width(f);
        out->final.field = id;
        return true;
    }
    record.field = id;
    return resolve(record, out) == RESOLVED_FIELD && out->data != nullptr;
}

// Writes the current time into the Timedate field of the record that r
// resolved into, and touches its table file.
void stamp_timedate(const Resolved &r, double time) {
    const char *name = r.database->schema->timedate;
    auto *f = static_cast<Field *>(getarr(r.relation->field_index, name));
    if (f != nullptr && !f->is_dbptr && f->table == r.relation->id) {
        char *record = r.data - r.field->offset;
        Attribute *a = field_attribute(f);
        dbc2d(&time, record + f->offset, a->size, a->format, a->type);
    }
    if (!is_scratch(r) && r.table->path != nullptr) utimes(r.table->path, nullptr);
}

int put_one(const Resolved &fr, const char *name, va_list *ap) {
    Attribute *a = field_attribute(fr.field);
    union {
        char *s;
        int i;
        double d;
        Dbptr p;
    } value;
    switch (a->type) {
        case dbSTRING: value.s = va_arg(*ap, char *); break;
        case dbINTEGER:
        case dbYEARDAY:
        case kBshort:
        case kBint: value.i = va_arg(*ap, int); break;
        case dbREAL:
        case dbTIME:
        case kBfloat:
        case kBdouble: value.d = va_arg(*ap, double); break;
        case kDbptrType: value.p = va_arg(*ap, Dbptr); break;
        default:
            elog_log(0, "bad type %d set for %s in table %s.\n", a->type, name, fr.relation->name);
            return dbINVALID;
    }
    dbc2d(&value, fr.data, fr.size, a->format, a->type);
    return 0;
}

}  // namespace

namespace ledgeform {

int put_values(Dbptr db, va_list *ap, bool adding, const char *caller) {
    Resolved r;
    int level = resolve(db, &r);
    if (level != RESOLVED_FIELD && level != RESOLVED_RECORD) {
        elog_log(0, "bad db type in %s\n", caller);
        return dbINVALID;
    }
    if (adding && r.relation->is_view) {
        elog_log(0, "dbaddv may only be used with base tables, not views.\n");
        return dbINVALID;
    }
    if (r.table->fd >= 0 && (adding || !is_scratch(r)) && !r.table->writable) {
        elog_log(0, "Table %s is opened read-only and cannot be updated\n", r.table->path);
        return dbINVALID;
    }
    double time = now();
    const Table *previous = nullptr;
    const char *timedate = r.database->schema->timedate;
    for (const char *name = va_arg(*ap, const char *); name != nullptr;
         name = va_arg(*ap, const char *)) {
        int id = field_id_by_name(r.relation, name);
        if (id < 0) {
            elog_log(0, "no field %s in table %s.\n", name, r.relation->name);
            return dbINVALID;
        }
        Resolved fr;
        if (!field_data(db, r, id, &fr)) {
            elog_log(0, "Can't resolve db pointer in %s: %d %d %d %d\n", caller, db.database,
                     db.table, id, db.record);
            return dbINVALID;
        }
        if (fr.table->fd >= 0 && read_only(fr)) {
            elog_log(0, "Table %s is opened read-only and cannot be updated\n", fr.table->path);
            return dbINVALID;
        }
        IndexChange change(fr.table, fr.final);
        if (timedate != nullptr && fr.table != previous) {
            stamp_timedate(fr, time);
            previous = fr.table;
        }
        if (put_one(fr, name, ap) != 0) return dbINVALID;
    }
    return 0;
}

}  // namespace ledgeform

extern "C" {

int dbget(Dbptr db, char *buffer) {
    Resolved r;
    int level = resolve(db, &r);
    if (buffer != nullptr) {
        if (level == RESOLVED_FIELD) {
            if (r.data == nullptr) return no_data(db);
            std::memcpy(buffer, r.data, static_cast<std::size_t>(r.size));
            if (!is_binary_type(field_type(r.field))) buffer[r.size] = '\0';
            return 0;
        }
        if (level == RESOLVED_RECORD || level == RESOLVED_TABLE) {
            if (r.data == nullptr && r.size > 0) return no_data(db);
            if (r.size > 0) std::memcpy(buffer, r.data, static_cast<std::size_t>(r.size));
            buffer[r.size] = '\0';
            return 0;
        }
        buffer[0] = '\0';
        return dbINVALID;
    }
    if (level != RESOLVED_FIELD && level != RESOLVED_RECORD) return dbINVALID;
    if (r.data == nullptr) return no_data(db);
    if (r.table->scratch == nullptr) new_scratch(r.final, r.table);
    int offset = level == RESOLVED_FIELD ? r.field->offset : 0;
    std::memmove(r.table->scratch + offset, r.data, static_cast<std::size_t>(r.size));
    return 0;
}

int dbgetv(Dbptr db, const char *table, ...) {
    db.field = dbALL;
    if (table != nullptr && *table != '\0') db = dblookup(db, nullptr, table, nullptr, nullptr);
    Resolved r;
    if (resolve(db, &r) != RESOLVED_RECORD) return dbINVALID;
    va_list ap;
    va_start(ap, table);
    int sum = 0;
    for (const char *name = va_arg(ap, const char *); name != nullptr;
         name = va_arg(ap, const char *)) {
        void *address = va_arg(ap, void *);
        if (address == nullptr) {
            elog_log(0, "field '%s' has no matching variable in dbgetv", name);
            sum = dbINVALID;
            break;
        }
        int id = field_id_by_name(r.relation, name);
        if (id < 0) {
            elog_log(0, "no field %s in table %s.\n", name, r.relation->name);
            sum = dbINVALID;
            break;
        }
        Resolved fr;
        if (!field_data(db, r, id, &fr)) {
            elog_log(0, "Can't resolve db pointer in dbgetv: %d %d %d %d\n", db.database,
                     db.table, id, db.record);
            sum = dbINVALID;
            break;
        }
        sum += dbd2c(fr.data, fr.size, address, field_type(fr.field));
    }
    va_end(ap);
    return sum;
}

int dbput(Dbptr db, const char *text) {
    Resolved r;
    int level = resolve(db, &r);
    if (level != RESOLVED_FIELD && level != RESOLVED_RECORD && level != RESOLVED_TABLE)
        return dbINVALID;
    if (read_only(r)) {
        elog_log(0, "Table %s is opened read-only\n", r.table->path);
        return dbINVALID;
    }
    if (r.data == nullptr) return no_data(db);
    IndexChange change(r.table, r.final);
    if (level == RESOLVED_FIELD) {
        Field *f = r.field;
        const char *source = text;
        if (source == nullptr) {
            if (r.table->scratch == nullptr) new_scratch(r.final, r.table);
            source = r.table->scratch + f->offset;
        }
        if (is_binary_type(field_type(f)) || text == nullptr)
            std::memmove(r.data, source, static_cast<std::size_t>(r.size));
        else
            sncopy(r.data, source, r.size);
        return 0;
    }
    if (text == nullptr) {
        if (level != RESOLVED_RECORD) return dbINVALID;
        if (r.table->scratch == nullptr) new_scratch(r.final, r.table);
        std::memmove(r.data, r.table->scratch, static_cast<std::size_t>(r.size));
        return 0;
    }
    std::memmove(r.data, text, static_cast<std::size_t>(r.size));
    return 0;
}

int dbputx(Dbptr db, void *value) {
    Resolved r;
    if (resolve(db, &r) != RESOLVED_FIELD) {
        elog_log(0, "Can't resolve db pointer in dbputx: %d %d %d %d\n", db.database, db.table,
                 db.field, db.record);
        return dbINVALID;
    }
    if (read_only(r)) {
        elog_log(0, "Table %s is opened read-only and cannot be updated\n", r.table->path);
        return dbINVALID;
    }
    if (r.data == nullptr) return no_data(db);
    IndexChange change(r.table, r.final);
    Attribute *a = field_attribute(r.field);
    dbc2d(value, r.data, r.size, a->format, a->type);
    return 0;
}

int dbputv(Dbptr db, const char *table, ...) {
    db.field = dbALL;
    if (table != nullptr && *table != '\0') db = dblookup(db, nullptr, table, nullptr, nullptr);
    va_list ap;
    va_start(ap, table);
    int result = put_values(db, &ap, false, "dbputv");
    va_end(ap);
    return result;
}

}  // extern "C"
