// The search of a table's records by key that the duplicate check of
// appends stands on: the records whose keys match a record's keys. Keys are
// field names and ranges "start::end" of two fields; values compare by type
// (strings without their blanks, numbers by value, year-days and times as
// epoch times), ranges by overlap, and a matching range decides the match.
// The records are walked in order; an index of the table would find them by
// binary search.
#include <cctype>
#include <cmath>

#include "ledgeform_private.h"

namespace ledgeform {

namespace {

struct KeyField {
    const Field *field = nullptr;
    int type = 0;  // dbSTRING, dbINTEGER, or dbREAL for every time-like key
    int kind = 0;  // as the field's type; kOffdateKey for "offdate"
};

struct KeyPart {
    KeyField start;
    KeyField end;  // for a range
    bool range = false;
};

bool is_expression(const char *key) {
    for (const char *p = key; *p != '\0'; p++)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '_' && *p != '.' && *p != ':')
            return true;
    return false;
}

bool compile_field(Relation *rel, const char *name, KeyField *out) {
    int id = field_id_by_name(rel, name);
    const Field *f = id >= 0 ? field_at(rel, id) : nullptr;
    if (f == nullptr || f->is_dbptr) {
        elog_log(0, "Can't find key field '%s' in table\n", name);
        return false;
    }
    out->field = f;
    out->kind = std::strcmp(name, "offdate") == 0 ? kOffdateKey : field_type(f);
    switch (out->kind) {
        case dbSTRING: out->type = dbSTRING; return true;
        case dbINTEGER: out->type = dbINTEGER; return true;
        case dbREAL:
        case dbTIME:
        case dbYEARDAY:
        case kOffdateKey: out->type = dbREAL; return true;
        default: elog_log(0, "'%s' has bad type for index.\n", name); return false;
    }
}

bool compile_key(Relation *rel, const char *key, KeyPart *part) {
    if (is_expression(key)) {
        elog_log(0, "Can't find key field '%s' in table\n", key);
        return false;
    }
    const char *sep = std::strstr(key, "::");
    if (sep == nullptr) return compile_field(rel, key, &part->start);
    std::size_t n = static_cast<std::size_t>(sep - key);
    WorkBuffer start(n + 1, "key");
    std::memcpy(start.get(), key, n);
    part->range = true;
    if (!compile_field(rel, start.get(), &part->start) || !compile_field(rel, sep + 2, &part->end))
        return false;
    if (part->start.type == dbSTRING) {
        elog_log(0, "Illegal range expression: '%s' (bad type)\n", start.get());
        return false;
    }
    if (part->start.type != part->end.type) {
        elog_log(0, part->start.type == dbINTEGER
                        ? "Illegal range: '%s' (components aren't both integer)\n"
                        : "Illegal range: '%s' (components don't have same type)\n",
                 start.get());
        return false;
    }
    return true;
}

double number_of(const KeyField &k, const char *record) {
    const Field *f = k.field;
    const char *data = record + f->offset;
    int width = field_width(f);
    if (k.kind == dbINTEGER || k.kind == dbYEARDAY || k.kind == kOffdateKey) {
        int v = 0;
        dbd2c(data, width, &v, k.kind == kOffdateKey ? kOffdateKey : dbINTEGER);
        if (k.kind == dbYEARDAY) return epoch(v);
        if (k.kind == kOffdateKey) return v == -1 ? an_infinity() : epoch(v) + 86400.0 - 1.0;
        return v;
    }
    double d = 0.0;
    dbd2c(data, width, &d, k.kind);
    return d;
}

bool same_value(const KeyField &k, const char *a, const char *b) {
    if (k.type != dbSTRING) return number_of(k, a) == number_of(k, b);
    int width = field_width(k.field);
    WorkBuffer x(static_cast<std::size_t>(width) + 1, "key"), y(static_cast<std::size_t>(width) + 1, "key");
    dbd2c(a + k.field->offset, width, x.get(), dbSTRING);
    dbd2c(b + k.field->offset, width, y.get(), dbSTRING);
    return std::strcmp(x.get(), y.get()) == 0;
}

bool overlaps(const KeyPart &p, const char *a, const char *b) {
    double s = number_of(p.start, a), t = number_of(p.end, a);
    double start = number_of(p.start, b), end = number_of(p.end, b);
    return (start <= s && s <= end) || (s <= start && start <= t);
}

bool matches(const KeyPart *parts, int n, const char *a, const char *b) {
    for (int i = 0; i < n; i++) {
        if (parts[i].range) return overlaps(parts[i], a, b);
        if (!same_value(parts[i].start, a, b)) return false;
    }
    return true;
}

}  // namespace

int key_matches(Dbptr probe, Tbl *keys, int **records) {
    *records = nullptr;
    int nkeys = keys != nullptr ? maxtbl(keys) : 0;
    if (nkeys == 0) return 0;
    Resolved r;
    if (resolve(probe, &r) != RESOLVED_RECORD || r.data == nullptr) return dbINVALID;
    Relation *rel = r.relation;
    Owned<KeyPart> parts(static_cast<KeyPart *>(LF_CALLOC(sizeof(KeyPart) * nkeys, "key")));
    for (int i = 0; i < nkeys; i++)
        if (!compile_key(rel, static_cast<char *>(gettbl(keys, i)), &parts.get()[i])) return dbINVALID;
    Table *t = r.table;
    int count = t->count;
    int *found = static_cast<int *>(LF_MALLOC(sizeof(int) * (count > 0 ? count : 1), "key"));
    int n = 0;
    for (int i = 0; i < count; i++)
        if (matches(parts.get(), nkeys, r.data, t->data + static_cast<std::size_t>(i) * rel->size))
            found[n++] = i;
    *records = found;
    return n;
}

}  // namespace ledgeform
