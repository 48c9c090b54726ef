// The catalogue records of an open database: constructors, destructors and
// the shared empty values.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "ledgeform_private.h"

namespace {

char empty_text[] = "";

}  // namespace

extern "C" {

char *db_nullstr = empty_text;
Tbl *_db_nulltbl = newtbl(1);

}  // extern "C"

namespace ledgeform {

namespace {

char p_dbptr_name[] = "p_dbptr";
char p_dbptr_null[] = "-102 -102 -102 -102";
char p_dbptr_format[] = "%4i %4i %4i %4i";
char p_dbptr_description[] = "internal dbptr to table record for views";
char p_dbptr_detail[] = "part of the implementation of views.";

}  // namespace

Attribute p_dbptr = {p_dbptr_name, -1, 16, kDbptrType, 0, p_dbptr_null, p_dbptr_format,
                     nullptr, nullptr, p_dbptr_description, p_dbptr_detail, nullptr,
                     nullptr};

void out_of_memory(const char *file, int line, std::size_t count, const char *what) {
    const char *base = std::strrchr(file, '/');
    elog_die(1, "Out of memory at line %d in '%s'\n\tCan't malloc %u bytes for %s\n", line,
             base ? base + 1 : file, static_cast<unsigned>(count), what);
    std::abort();  // elog_die does not return
}

char *checked_strdup(const char *s, const char *what, const char *file, int line) {
    std::size_t n = std::strlen(s) + 1;
    char *p = static_cast<char *>(checked_malloc(n, n, what, file, line));
    std::memcpy(p, s, n);
    return p;
}

void free_text(char *s) {
    if (s != db_nullstr) std::free(s);
}

char *copy_text(const char *s) { return s == nullptr ? nullptr : LF_STRDUP(s, "string"); }

void replace_text(char **slot, const char *s) {
    char *copy = copy_text(s);
    free_text(*slot);
    *slot = copy;
}

Relation *relation_built_on(Schema *schema, const Relation *rel) {
    for (int i = 0; i < schema->nrelations; i++) {
        Relation *other = relation_at(schema, i);
        if (other == nullptr || other == rel) continue;
        for (int k = 0; k < maxtbl(other->relrefs); k++) {
            auto *ref = static_cast<Relref *>(gettbl(other->relrefs, k));
            if (ref->relation == rel) return other;
        }
    }
    return nullptr;
}

void add_closed_bases(Schema *schema, Relation *rel, Tbl *list) {
    for (int k = 0; rel->relrefs != nullptr && k < maxtbl(rel->relrefs); k++) {
        Relation *base = static_cast<Relref *>(gettbl(rel->relrefs, k))->relation;
        if (base == rel || relation_at(schema, base->id) == base) continue;
        bool listed = false;
        for (int i = 0; i < maxtbl(list) && !listed; i++) listed = gettbl(list, i) == base;
        if (!listed) pushtbl(list, base);
    }
}

void unlist_relation(Relation *r) {
    for (int i = 0; i < maxtbl(r->fields); i++) {
        Field *f = field_at(r, i);
        if (f == nullptr || f->is_dbptr || f->table != r->id || f->attribute == nullptr)
            continue;
        Tbl *names = static_cast<Attribute *>(f->attribute)->relations;
        for (int k = maxtbl(names) - 1; k >= 0; k--)
            if (std::strcmp(static_cast<char *>(gettbl(names, k)), r->name) == 0)
                deltbl(names, k);
    }
}

}  // namespace ledgeform

using ledgeform::free_text;

namespace {

void free_string(void *s) { free_text(static_cast<char *>(s)); }

// Frees a key list of a relation unless it is the shared empty list.
void free_key_list(Tbl *list) {
    if (list != nullptr && list != _db_nulltbl) freetbl(list, free_string);
}

void free_index_value(void *index) { dbfree_index(static_cast<Dbindex *>(index)); }

}  // namespace

extern "C" {

Database *new_database(void) {
    Database *db = LF_NEW_RECORD(Database, "database");
    db->id = -1;
    db->dblocks = 0;
    db->description = db_nullstr;
    db->detail = db_nullstr;
    db->lastids = newarr(nullptr);
    return db;
}

Schema *new_schema(void) {
    Schema *schema = LF_NEW_RECORD(Schema, "schema");
    schema->name = db_nullstr;
    schema->description = db_nullstr;
    schema->detail = db_nullstr;
    schema->attributes = newarr(nullptr);
    schema->attribute_names = newtbl(250);
    schema->defines = newarr(nullptr);
    schema->relation_index = newarr(nullptr);
    schema->relations = newtbl(50);
    schema->relation_names = newtbl(50);
    return schema;
}

Attribute *new_attribute(void) {
    Attribute *a = LF_NEW_RECORD(Attribute, "attribute");
    a->id = -1;
    a->size = 0;
    a->type = -1;
    a->description = db_nullstr;
    a->detail = db_nullstr;
    a->relations = newtbl(10);
    return a;
}

Relation *new_relation(void) {
    Relation *r = LF_NEW_RECORD(Relation, "relation");
    r->id = -1;
    r->separator = ' ';
    r->terminator = '\n';
    r->field_index = newarr(nullptr);
    r->fields = newtbl(0);
    r->field_names = newtbl(0);
    r->fieldlist = newtbl(0);
    r->base_names = newtbl(0);
    r->relrefs = newtbl(0);
    r->primary = _db_nulltbl;
    r->alternate = _db_nulltbl;
    r->foreign = _db_nulltbl;
    r->description = db_nullstr;
    r->detail = db_nullstr;
    return r;
}

Field *new_field(void) {
    Field *f = LF_NEW_RECORD(Field, "f");
    f->id = -1;
    f->offset = -1;
    f->table = -1;
    f->is_dbptr = 0;
    f->attribute = nullptr;
    return f;
}

Table *new_table(void) {
    Table *t = LF_NEW_RECORD(Table, "table");
    t->id = -1;
    t->indexes = newarr(nullptr);
    t->fd = -1;
    t->lockfd = -1;
    return t;
}

int dbfree_table(Table *table) {
    if (table == nullptr) return 0;
    int result = 0;
    if (table->fd >= 0 && close(table->fd) != 0) {
        elog_log(1, "Couldn't close %s\n", table->path ? table->path : table->name);
        result = dbINVALID;
    }
    if (table->lockfd >= 0 && close(table->lockfd) != 0) {
        elog_log(1, "Couldn't close %s\n", table->lockname);
        result = dbINVALID;
    }
    bool in_memory = table->relation != nullptr && table->relation->transient;
    if (in_memory) {
        std::free(table->data);
    } else if (table->data != nullptr) {
        if (table->size > 0 && msync(table->data, table->size, MS_SYNC) != 0) {
            elog_log(1, "couldn't sync %s data to disk\n", table->path);
            result = dbINVALID;
        }
        if (munmap(table->data, table->mapsize) != 0) {
            elog_log(1, "Couldn't unmap %s\n", table->path);
            result = dbINVALID;
        }
    }
    std::free(table->path);
    std::free(table->dir);
    std::free(table->lockname);
    std::free(table->scratch);
    if (table->indexes != nullptr) freearr(table->indexes, free_index_value);
    std::free(table);
    return result;
}

void dbfree_field(Field *field) { std::free(field); }

void dbfree_attribute(Attribute *a) {
    if (a == nullptr) return;
    free_text(a->name);
    free_text(a->null);
    free_text(a->format);
    free_text(a->range);
    free_text(a->units);
    free_text(a->description);
    free_text(a->detail);
    if (a->relations != nullptr) freetbl(a->relations, nullptr);
    std::free(a);
}

void dbfree_relation(Relation *r) {
    if (r == nullptr) return;
    // The relation's name leaves the lists of the attributes it holds.
    ledgeform::unlist_relation(r);
    ledgeform::free_relation_record(r);
}

}  // extern "C"

void ledgeform::free_relation_record(Relation *r) {
    if (r->fieldlist != nullptr) freetbl(r->fieldlist, free_string);
    free_key_list(r->primary);
    free_key_list(r->alternate);
    free_key_list(r->foreign);
    std::free(r->null);
    if (r->fields != nullptr) freetbl(r->fields, [](void *f) { dbfree_field(static_cast<Field *>(f)); });
    if (r->field_index != nullptr) freearr(r->field_index, nullptr);
    if (r->field_names != nullptr) freetbl(r->field_names, nullptr);
    if (r->base_names != nullptr) freetbl(r->base_names, nullptr);
    if (r->relrefs != nullptr) freetbl(r->relrefs, std::free);
    free_text(r->defines);
    free_text(r->description);
    free_text(r->detail);
    free_text(r->name);
    std::free(r);
}

extern "C" {

void dbfree_schema(Schema *schema) {
    if (schema == nullptr) return;
    freearr(schema->relation_index, nullptr);
    freearr(schema->defines, free_string);
    // Tables closed while views were built on them are held by those views.
    Tbl *closed = newtbl(0);
    for (int i = 0; i < maxtbl(schema->relations); i++)
        if (auto *rel = static_cast<Relation *>(gettbl(schema->relations, i)))
            ledgeform::add_closed_bases(schema, rel, closed);
    for (int i = 0; i < maxtbl(schema->relations); i++)
        dbfree_relation(static_cast<Relation *>(gettbl(schema->relations, i)));
    freetbl(closed, [](void *r) { ledgeform::free_relation_record(static_cast<Relation *>(r)); });
    freetbl(schema->relations, nullptr);
    freetbl(schema->relation_names, nullptr);
    if (schema->table_names != nullptr) freetbl(schema->table_names, free_string);
    freearr(schema->attributes, [](void *a) { dbfree_attribute(static_cast<Attribute *>(a)); });
    freetbl(schema->attribute_names, nullptr);
    free_text(schema->name);
    free_text(schema->schemas);
    free_text(schema->extdir);
    free_text(schema->description);
    free_text(schema->detail);
    free_text(schema->timedate);
    std::free(schema);
}

int dbfree_database(Database *db) {
    if (db == nullptr) return 0;
    int result = 0;
    if (db->tables != nullptr) {
        for (int i = 0; i < maxtbl(db->tables); i++)
            result |= dbfree_table(ledgeform::table_at(db, i));
        freetbl(db->tables, nullptr);
    }
    if (db->tablefiles != nullptr) freearr(db->tablefiles, std::free);
    if (db->lastids != nullptr) freearr(db->lastids, nullptr);
    free_text(db->dbname);
    free_text(db->schema_name);
    free_text(db->dbpath);
    free_text(db->abspath);
    free_text(db->dir);
    free_text(db->openperm);
    free_text(db->dbidserver);
    free_text(db->description);
    free_text(db->detail);
    std::free(db);
    return result;
}

void dbfree_jig(Jig *jig) {
    if (jig == nullptr) return;
    if (jig->keys != nullptr) freetbl(jig->keys, std::free);
    if (jig->components != nullptr)
        freetbl(jig->components, [](void *c) {
            auto *component = static_cast<Key_component *>(c);
            dbex_free(component->expr);
            std::free(component);
        });
    if (jig->elements != nullptr) freetbl(jig->elements, std::free);
    std::free(jig);
}

void dbfree_index(Dbindex *index) {
    if (index == nullptr) return;
    dbfree_jig(index->jig);
    if (index->entries != nullptr) freetbl(index->entries, nullptr);
    std::free(index->name);
    std::free(index->path);
    std::free(index);
}

}  // extern "C"
