// Building the catalogue from compiled statements: attributes, relations
// (fields, offsets, record sizes, view slots) and relations made Like
// another.
#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

// Largest record a relation may have.
constexpr long long kMaxRecord = 1 << 30;
// Largest width of one attribute.
constexpr int kMaxWidth = 1 << 20;
// Most fields (data fields and slots) of one relation. A view takes every
// field of each component, so views of views grow as fast as their
// definitions nest: the limit keeps them within reach.
constexpr int kMaxFields = 1 << 10;

const char *shown(const char *s) { return s != nullptr ? s : "(*empty*)"; }

// Compares one text member of two definitions of an attribute; logs a
// difference. Two null texts are equal.
bool same_text(const char *format, const char *a, const char *b) {
    if (a == nullptr && b == nullptr) return true;
    if (a != nullptr && b != nullptr && std::strcmp(a, b) == 0) return true;
    elog_log(0, format, shown(a), shown(b));
    return false;
}

bool same_attribute(const Attribute *a, const Attribute *b) {
    bool same = true;
    if (a->size != b->size) {
        elog_log(0, "sizes differ: %d != %d\n", a->size, b->size);
        same = false;
    }
    if (a->type != b->type) {
        elog_log(0, "data types differ: %d != %d\n", a->type, b->type);
        same = false;
    }
    same &= same_text("nulls differ: '%s' != '%s'\n", a->null, b->null);
    same &= same_text("formats differ: '%s' != '%s'\n", a->format, b->format);
    same &= same_text("range differs: '%s' != '%s'\n", a->range, b->range);
    same &= same_text("units differ: '%s' != '%s'\n", a->units, b->units);
    same &= same_text("descriptions differ: '%s' != '%s'\n", a->description, b->description);
    same &= same_text("details differ:\n'%s'\n   !=\n'%s'\n", a->detail, b->detail);
    return same;
}

Field *add_field(Relation *r, int id, int offset, int table, int is_dbptr, void *attribute) {
    Field *f = new_field();
    f->id = id;
    f->offset = offset;
    f->table = table;
    f->is_dbptr = is_dbptr;
    f->attribute = attribute;
    settbl(r->fields, id, f);
    return f;
}

Relref *new_relref(Relation *base, int first, int kind, int offset) {
    Relref *ref = LF_NEW_RECORD(Relref, "relref");
    ref->relation = base;
    ref->first = first;
    ref->kind = kind;
    ref->offset = offset;
    return ref;
}

Tbl *copy_list(Tbl *list) {
    if (list == nullptr || list == _db_nulltbl) return _db_nulltbl;
    Tbl *copy = newtbl(maxtbl(list));
    for (int i = 0; i < maxtbl(list); i++)
        pushtbl(copy, LF_STRDUP(static_cast<char *>(gettbl(list, i)), "key"));
    return copy;
}

void free_list(Tbl *list) {
    if (list != nullptr && list != _db_nulltbl) freetbl(list, std::free);
}

// Adds the slots and fields of a view component at *offset; returns the next
// field id.
int add_component(Relation *r, Relation *component, long long *offset, int count) {
    r->is_view = 1;
    *offset = (*offset + 7) & ~7LL;
    for (int k = 0; k < maxtbl(component->relrefs); k++) {
        auto *ref = static_cast<Relref *>(gettbl(component->relrefs, k));
        Relation *base = ref->relation;
        int slot = static_cast<int>(*offset);
        pushtbl(r->relrefs, new_relref(base, count, 2, slot));
        pushtbl(r->base_names, base->name);
        for (int i = 0; i < base->ndata; i++) {
            Field *bf = field_at(base, i);
            if (bf == nullptr || bf->is_dbptr || bf->table != base->id) continue;
            add_field(r, count, slot, base->id, 0, bf->attribute);
            // The copy keeps the base field's id.
            field_at(r, count)->id = bf->id;
            pushtbl(r->field_names, static_cast<Attribute *>(bf->attribute)->name);
            count++;
        }
        *offset += 16;
    }
    return count;
}

}  // namespace

namespace ledgeform {

int field_id_by_name(Relation *rel, const char *name) {
    const char *dot = std::strchr(name, '.');
    const char *fname = dot ? dot + 1 : name;
    std::size_t table_length = dot ? static_cast<std::size_t>(dot - name) : 0;
    auto table_matches = [&](const char *table) {
        return dot == nullptr ||
               (std::strncmp(table, name, table_length) == 0 && table[table_length] == '\0');
    };
    if (rel->has_fields) {
        if (!table_matches(rel->name)) return dbINVALID;
        auto *f = static_cast<Field *>(getarr(rel->field_index, fname));
        return f ? f->id : dbINVALID;
    }
    for (int k = 0; k < maxtbl(rel->relrefs); k++) {
        auto *ref = static_cast<Relref *>(gettbl(rel->relrefs, k));
        if (!table_matches(ref->relation->name)) continue;
        auto *f = static_cast<Field *>(getarr(ref->relation->field_index, fname));
        if (f != nullptr && !f->is_dbptr) return f->id + ref->first;
    }
    auto *slot = static_cast<Field *>(getarr(rel->field_index, fname));
    return slot ? slot->id : dbINVALID;
}

}  // namespace ledgeform

extern "C" {

int dbadd_attribute(Schema *schema, Attribute *a) {
    if (a->size < 0 || a->size > kMaxWidth ||
        (binary_size(a->type) > 0 && a->size < binary_size(a->type))) {
        elog_log(0, "Attribute %s has a size (%d) its type %d cannot use\n", a->name, a->size,
                 a->type);
        return dbINVALID;
    }
    auto *old = static_cast<Attribute *>(getarr(schema->attributes, a->name));
    if (old != nullptr) {
        if (!same_attribute(a, old)) {
            elog_log(0, "conflicting Attribute %s in schema %s\n", a->name, schema->name);
            return dbINVALID;
        }
        // An identical definition: the first one stays, with the relations
        // that already hold it; the repeat stays its caller's.
        return 0;
    }
    a->id = schema->nattributes++;
    setarr(schema->attributes, a->name, a);
    pushtbl(schema->attribute_names, a->name);
    return 0;
}

int dbadd_relation(Schema *schema, Relation *r) {
    int result = 0;
    if (r->name == nullptr || std::strcmp(r->name, "Anonymous") == 0) {
        char name[32];
        std::snprintf(name, sizeof name, "View%d", schema->nrelations);
        replace_text(&r->name, name);
    }
    r->id = schema->nrelations++;

    long long offset = 0;
    int count = 0;
    bool ends_in_slot = false;
    // Whether the relation would hold more than kMaxFields with more fields
    // (own: the relation's own slot comes with them).
    auto too_many = [&](int more, bool own) {
        return count + maxtbl(r->relrefs) + more + (own || r->has_fields ? 1 : 0) > kMaxFields;
    };
    for (int i = 0; i < maxtbl(r->fieldlist); i++) {
        const char *name = static_cast<char *>(gettbl(r->fieldlist, i));
        Relation *component = relation_named(schema, name);
        bool is_component = component != nullptr && component != r;
        if (too_many(is_component ? component->nfields : 1, !is_component)) {
            elog_log(0, "Relation %s would have more than %d fields\n", r->name, kMaxFields);
            result = dbINVALID;
            break;
        }
        if (is_component) {
            count = add_component(r, component, &offset, count);
            ends_in_slot = true;
            continue;
        }
        const char *dot = std::strchr(name, '.');
        auto *a = static_cast<Attribute *>(getarr(schema->attributes, dot ? dot + 1 : name));
        if (a == nullptr) {
            elog_log(0, "Attribute %s in relation %s not found\n", name, r->name);
            result = dbINVALID;
            continue;
        }
        if (getarr(r->field_index, name) != nullptr) {
            elog_log(0, "Field %s used more than once in relation %s\n", name, r->name);
            result = dbINVALID;
            continue;
        }
        r->has_fields = 1;
        Field *f = add_field(r, count++, static_cast<int>(offset), r->id, 0, a);
        pushtbl(a->relations, r->name);
        pushtbl(r->field_names, const_cast<char *>(name));
        setarr(r->field_index, name, f);
        offset += a->size + (r->separator ? 1 : 0);
        ends_in_slot = false;
        if (offset > kMaxRecord) break;
    }
    if (offset > kMaxRecord) {
        elog_log(0, "Records of relation %s would be too large\n", r->name);
        offset = 0;
        result = dbINVALID;
    }
    // The terminator follows the last field, in the place of its separator;
    // after a view slot it takes a byte of its own (a table in memory has
    // none).
    if (ends_in_slot)
        r->size = static_cast<int>(offset) + (r->terminator && !r->transient ? 1 : 0);
    else
        r->size = static_cast<int>(offset) - (r->separator && count > 0 ? 1 : 0) +
                  (r->terminator ? 1 : 0);
    r->ndata = count;

    if (Relation *old = relation_named(schema, r->name)) {
        elog_log(0, "Duplicate relation %s in schema %s\n", r->name, schema->name);
        (void)old;
    }
    setarr(schema->relation_index, r->name, r);
    settbl(schema->relations, r->id, r);
    settbl(schema->relation_names, r->id, r->name);
    if (schema->table_names != nullptr) {
        bool present = false;
        for (int i = 0; i < maxtbl(schema->table_names) && !present; i++)
            present = std::strcmp(static_cast<char *>(gettbl(schema->table_names, i)), r->name) == 0;
        if (!present) pushtbl(schema->table_names, LF_STRDUP(r->name, "name"));
    }

    if (r->has_fields) unshifttbl(r->relrefs, new_relref(r, 0, 3, 0));
    r->nbases = maxtbl(r->relrefs);
    r->nfields = r->ndata + r->nbases;
    for (int k = 0; k < r->nbases; k++) {
        auto *ref = static_cast<Relref *>(gettbl(r->relrefs, k));
        Field *slot = add_field(r, r->ndata + k, ref->offset, r->id, 1, ref->relation);
        if (ref->kind == 2 && getarr(r->field_index, ref->relation->name) == nullptr)
            setarr(r->field_index, ref->relation->name, slot);
    }

    if (r->defines != nullptr) {
        auto *f = static_cast<Field *>(getarr(r->field_index, r->defines));
        if (f == nullptr || f->is_dbptr) {
            elog_log(0, "Defines field %s is not a field in relation %s\n", r->defines, r->name);
            result = dbINVALID;
        } else {
            auto *a = static_cast<Attribute *>(f->attribute);
            char *copy = LF_STRDUP(r->name, "defines");
            std::free(setarr(schema->defines, a->name, copy));
            a->defined_by = copy;
        }
    }
    return result;
}

int dbadd_like_relation(Schema *schema, Relation *r, const char *model_name) {
    Relation *model = relation_named(schema, model_name);
    if (model == nullptr) {
        elog_log(0, "Can't find relation %s to make like relation %s\n", model_name, r->name);
        return dbINVALID;
    }
    r->like = model->name;
    r->separator = model->separator;
    r->terminator = model->terminator;
    if (model->transient) r->transient = 1;
    freetbl(r->fieldlist, std::free);
    r->fieldlist = newtbl(maxtbl(model->fieldlist));
    for (int i = 0; i < maxtbl(model->fieldlist); i++)
        pushtbl(r->fieldlist, LF_STRDUP(static_cast<char *>(gettbl(model->fieldlist, i)), "f"));
    // The lists are the relation's own copies, so that closing the model
    // leaves them whole.
    free_list(r->primary);
    free_list(r->alternate);
    free_list(r->foreign);
    r->primary = copy_list(model->primary);
    r->alternate = copy_list(model->alternate);
    r->foreign = copy_list(model->foreign);
    free_text(r->defines);
    r->defines = nullptr;
    return dbadd_relation(schema, r);
}

}  // extern "C"
