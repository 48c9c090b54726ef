// The two special records of a table: the null record (every field at its
// null value) and the scratch record (a work record for building appends).
#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

constexpr std::size_t kFormatBuffer = 1024;

// Writes the null value of one attribute into its field; false when the
// null text is not a number where one is needed, or the attribute has no
// type that holds a value.
bool write_null_value(const Attribute *a, char *dest) {
    char buf[kFormatBuffer];
    const char *text = a->null;
    int width = a->size;
    switch (a->type) {
        case dbSTRING:
            format_string(buf, sizeof buf, a->format, text);
            sncopy(dest, buf, width);
            return true;
        case dbINTEGER:
        case dbYEARDAY:
        case kBshort:
        case kBint: {
            int v = std::atoi(text);
            dbc2d(&v, dest, width, a->format, a->type);
            return true;
        }
        case dbREAL:
        case dbTIME:
        case kBfloat:
        case kBdouble: {
            char *end = nullptr;
            double v = fix_strtod(text, &end);
            dbc2d(&v, dest, width, a->format, a->type);
            return end != nullptr && end != text && whitespace(end);
        }
        case kDbptrType: {
            Dbptr p = read_dbptr(text);
            std::memcpy(dest, &p, sizeof p);
            return true;
        }
        case kWaveform:
        case kResponse: {
            double unused = 0.0;
            return dbc2d(&unused, dest, width, a->format, a->type) == 0;
        }
        default:
            // An attribute without a type (the schema gave it none).
            elog_log(0, "no null value specified for type %d\n", a->type);
            return false;
    }
}

}  // namespace

namespace ledgeform {

void blank_record(Relation *rel, char *image) {
    int size = rel->size;
    std::memset(image, ' ', static_cast<std::size_t>(size));
    image[size] = '\0';
    int last = size - (rel->terminator ? 1 : 0);
    if (rel->separator) {
        for (int i = 0; i < rel->ndata; i++) {
            Field *f = field_at(rel, i);
            if (f == nullptr || f->table != rel->id || f->is_dbptr) continue;
            int at = f->offset + field_width(f);
            if (at < last) image[at] = rel->separator;
        }
    }
    if (rel->terminator && size > 0) image[size - 1] = rel->terminator;
}

char *null_record(Dbptr db) {
    Resolved r;
    db.field = dbALL;
    db.record = dbNULL;
    if (resolve(db, &r) != RESOLVED_RECORD) return nullptr;
    return r.relation->null;
}

}  // namespace ledgeform

extern "C" {

void new_scratch(Dbptr db, Table *table) {
    Relation *rel = table->relation;
    char *scratch = static_cast<char *>(
        LF_MALLOC(static_cast<std::size_t>(rel->size) + 1, "table->scratch"));
    blank_record(rel, scratch);
    // Each base-table slot of a view reaches its base table's scratch record.
    for (int k = 0; k < maxtbl(rel->relrefs); k++) {
        auto *ref = static_cast<Relref *>(gettbl(rel->relrefs, k));
        if (ref->kind != 2) continue;
        Dbptr slot = make_dbptr(db.database, ref->relation->id, dbALL, dbSCRATCH);
        std::memcpy(scratch + ref->offset, &slot, sizeof slot);
    }
    table->scratch = scratch;
}

int new_null(Dbptr db) {
    Resolved r;
    if (resolve_table(db, &r) != RESOLVED_TABLE) return dbINVALID;
    Relation *rel = r.relation;
    char *null = static_cast<char *>(
        LF_MALLOC(static_cast<std::size_t>(rel->size) + 1, "nullrecord"));
    blank_record(rel, null);
    std::free(rel->null);
    rel->null = null;
    int result = 0;
    for (int i = 0; i < rel->nfields; i++) {
        Field *f = field_at(rel, i);
        if (f == nullptr || f->table != rel->id) continue;
        char *dest = null + f->offset;
        if (f->is_dbptr) {
            Relation *base = slot_relation(f);
            if (base == rel) continue;
            Dbptr slot = make_dbptr(db.database, base->id, dbALL, dbNULL);
            std::memcpy(dest, &slot, sizeof slot);
            continue;
        }
        auto *a = static_cast<Attribute *>(f->attribute);
        if (a->null == nullptr) {
            if (a->type == kDbptrType) {
                Dbptr invalid = dbinvalid();
                std::memcpy(dest, &invalid, sizeof invalid);
            }
            continue;
        }
        if (!write_null_value(a, dest)) result = dbINVALID;
    }
    return result;
}

}  // extern "C"
