// dbquery: questions about what a database pointer designates.
//
// Every code answers into one type, the one db.h names beside it (an int,
// a char *, a Tbl *, an Arr * or a data address), on every host: nothing is
// written through the caller's pointer in another type. Before resolving,
// the answer slot is set to "**bad dbquery**" for codes that answer text and
// to 0 (or a null pointer) for the others; QUERY_TYPE, which answers an int
// at a field and text at a database, is written once its level is known.
#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

enum class Answer { kInt, kText, kPointer, kMixed };
enum class Group { kDatabase, kTable, kField, kSize, kNone };

char bad_query[] = "**bad dbquery**";
char empty[] = "";
char lock_local[] = "local";
char lock_nfs[] = "nfs";
char lock_none[] = "none";
char lock_invalid[] = "*invalid*";

struct Code {
    int code;
    Group group;
    Answer answer;
};

constexpr Group D = Group::kDatabase, T = Group::kTable, F = Group::kField;
constexpr Answer I = Answer::kInt, S = Answer::kText, P = Answer::kPointer;

const Code kCodes[] = {
    {QUERY_NULL_VALUE, F, S},          {QUERY_TERMINATOR, T, I},
    {QUERY_SEPARATOR, T, I},           {QUERY_TABLE_FILES, D, P},
    {QUERY_TABLE_LOCKABLE, T, I},      {QUERY_DATABASE_SCHEMA, D, S},
    {QUERY_LOCK_MODE, D, S},           {QUERY_ID_SERVER, D, S},
    {QUERY_LAST_IDS, D, P},            {QUERY_DATABASE_WRITABLE, D, I},
    {QUERY_TABLE_NAMES, D, P},         {QUERY_DATABASE_PATH, D, S},
    {QUERY_TIMEDATE, D, S},            {QUERY_TRANSIENT, T, I},
    {QUERY_FIELD_TABLE, F, S},         {QUERY_IS_VIEW, T, I},
    {QUERY_TABLE_WRITABLE, T, I},      {QUERY_ATTRIBUTE_NAMES, D, P},
    {QUERY_DEFINES_INDEX, D, P},       {QUERY_VIEW_TABLES, T, P},
    {QUERY_ATTRIBUTE_RELATIONS, F, P}, {QUERY_FIELD_NAMES, T, P},
    {QUERY_TABLE_DATA, T, P},          {QUERY_FIELD_OFFSET, F, I},
    {QUERY_FORMAT, F, S},              {QUERY_RECORD_SIZE, T, I},
    {QUERY_BASE_COUNT, T, I},          {QUERY_RANGE, F, S},
    {QUERY_SCHEMA_DEFAULT, Group::kNone, S}, {QUERY_DEFINES, T, S},
    {QUERY_FOREIGN_KEYS, T, P},        {QUERY_ALTERNATE_KEY, T, P},
    {QUERY_PRIMARY_KEY, T, P},         {QUERY_TABLE_DIR, T, S},
    {QUERY_DBPATH, D, S},              {QUERY_TABLE_PATH, T, S},
    {QUERY_FIELD_TYPE, F, I},          {QUERY_UNITS, F, S},
    {QUERY_FIELD_FORMAT, F, S},        {QUERY_TYPE, F, Answer::kMixed},
    {QUERY_FIELD_SIZE, F, I},          {QUERY_TABLE_SIZE, T, I},
    {QUERY_SIZE, Group::kSize, I},     {QUERY_HAS_RECORDS, T, I},
    {QUERY_FIELD_NAME, F, S},          {QUERY_TABLE_NAME, T, S},
    {QUERY_DATABASE_NAME, D, S},       {QUERY_SCHEMA_NAME, D, S},
    {QUERY_NAME, F, S},                {QUERY_FIELD_DETAIL, F, S},
    {QUERY_TABLE_DETAIL, T, S},        {QUERY_DATABASE_DETAIL, D, S},
    {QUERY_SCHEMA_DETAIL, D, S},       {QUERY_DETAIL, F, S},
    {QUERY_FIELD_DESCRIPTION, F, S},   {QUERY_TABLE_DESCRIPTION, T, S},
    {QUERY_DATABASE_DESCRIPTION, D, S}, {QUERY_SCHEMA_DESCRIPTION, D, S},
    {QUERY_DESCRIPTION, F, S},         {QUERY_RECORD_COUNT, T, I},
    {QUERY_FIELD_COUNT, T, I},         {QUERY_TABLE_COUNT, D, I},
    {QUERY_DATABASE_COUNT, Group::kNone, I}, {QUERY_COUNT, F, I},
};

const Code *find_code(int code) {
    for (const Code &c : kCodes)
        if (c.code == code) return &c;
    return nullptr;
}

// The answer slot, written only in the code's own type.
class Slot {
  public:
    explicit Slot(void *value) : value_(value) {}
    int integer(int v) {
        if (value_ != nullptr) *static_cast<int *>(value_) = v;
        return v;
    }
    int text(const char *s) {
        if (value_ != nullptr) *static_cast<const char **>(value_) = s;
        return 0;
    }
    int pointer(const void *p) {
        if (value_ != nullptr) *static_cast<const void **>(value_) = p;
        return 0;
    }

  private:
    void *value_;
};

const char *text_or_empty(const char *s) { return s != nullptr ? s : empty; }

int record_count(Dbptr db, const Resolved &r, Slot &slot) {
    if (map_table(r.database, r.relation, 0) != 0) {
        slot.integer(0);
        return dbINVALID;
    }
    Table *table = table_at(r.database, db.table);
    return slot.integer(table != nullptr ? table->count : 0);
}

int table_lockable(const Resolved &r, Slot &slot) {
    if (r.table == nullptr || !r.table->writable) return slot.integer(0);
    switch (r.database->dblocks) {
        case -1: return slot.integer(path_is_nfs(r.table->path) == 1 ? 0 : 1);
        case -2:
        case 0: return slot.integer(1);
        default:
            elog_complain(0, "unknown DBLOCKS code %d", r.database->dblocks);
            return dbINVALID;
    }
}

int database_answer(Dbptr db, int code, const Resolved &r, Slot &slot) {
    Database *d = r.database;
    Schema *schema = d->schema;
    switch (code) {
        case QUERY_TABLE_FILES: return slot.pointer(dbtablefiles(db));
        case QUERY_DATABASE_SCHEMA: return slot.text(d->schema_name);
        case QUERY_LOCK_MODE:
            return slot.text(d->dblocks == -1   ? lock_local
                             : d->dblocks == -2 ? lock_nfs
                             : d->dblocks == 0  ? lock_none
                                                : lock_invalid);
        case QUERY_ID_SERVER: return slot.text(text_or_empty(d->dbidserver));
        case QUERY_LAST_IDS: return slot.pointer(d->lastids);
        case QUERY_DATABASE_WRITABLE:
            slot.integer(std::strcmp(d->openperm, "r+") == 0 ? 1 : 0);
            return 0;
        case QUERY_TABLE_NAMES: return slot.pointer(schema->table_names);
        case QUERY_DATABASE_PATH: return slot.text(d->abspath);
        case QUERY_TIMEDATE: return slot.text(text_or_empty(schema->timedate));
        case QUERY_ATTRIBUTE_NAMES: return slot.pointer(schema->attribute_names);
        case QUERY_DEFINES_INDEX: return slot.pointer(schema->defines);
        case QUERY_DBPATH: return slot.text(d->dbpath);
        case QUERY_DATABASE_NAME: return slot.text(d->dbname);
        case QUERY_SCHEMA_NAME: return slot.text(schema->name);
        case QUERY_DATABASE_DETAIL: return slot.text(d->detail);
        case QUERY_SCHEMA_DETAIL: return slot.text(schema->detail);
        case QUERY_DATABASE_DESCRIPTION: return slot.text(d->description);
        case QUERY_SCHEMA_DESCRIPTION: return slot.text(schema->description);
        case QUERY_TABLE_COUNT: return slot.integer(schema->nrelations);
        default: return dbINVALID;
    }
}

int table_answer(Dbptr db, int code, const Resolved &r, Slot &slot) {
    Relation *rel = r.relation;
    Table *table = r.table;
    switch (code) {
        case QUERY_TERMINATOR:
            slot.integer(static_cast<unsigned char>(rel->terminator));
            return 0;
        case QUERY_SEPARATOR:
            slot.integer(static_cast<unsigned char>(rel->separator));
            return 0;
        case QUERY_TABLE_LOCKABLE:
            return table_lockable(r, slot) == dbINVALID ? dbINVALID : 0;
        case QUERY_TRANSIENT: slot.integer(rel->transient); return 0;
        case QUERY_IS_VIEW: slot.integer(rel->is_view); return 0;
        case QUERY_TABLE_WRITABLE: slot.integer(table ? table->writable : 0); return 0;
        case QUERY_VIEW_TABLES: return slot.pointer(rel->base_names);
        case QUERY_FIELD_NAMES: return slot.pointer(rel->field_names);
        case QUERY_TABLE_DATA: return slot.pointer(table ? table->data : nullptr);
        case QUERY_RECORD_SIZE: return slot.integer(rel->size);
        case QUERY_BASE_COUNT: return slot.integer(rel->nbases);
        case QUERY_DEFINES: return slot.text(rel->defines);
        case QUERY_FOREIGN_KEYS: return slot.pointer(rel->foreign);
        case QUERY_ALTERNATE_KEY: return slot.pointer(rel->alternate);
        case QUERY_PRIMARY_KEY: return slot.pointer(rel->primary);
        case QUERY_TABLE_DIR: return slot.text(table ? table->dir : nullptr);
        case QUERY_TABLE_PATH: return slot.text(table ? table->path : nullptr);
        case QUERY_TABLE_SIZE: return slot.integer(table ? table->size : 0);
        case QUERY_HAS_RECORDS: return slot.integer(table && table->count > 0 ? 1 : 0);
        case QUERY_TABLE_NAME: return slot.text(rel->name);
        case QUERY_TABLE_DETAIL: return slot.text(rel->detail);
        case QUERY_TABLE_DESCRIPTION: return slot.text(rel->description);
        case QUERY_RECORD_COUNT: return record_count(db, r, slot);
        case QUERY_FIELD_COUNT: return slot.integer(rel->ndata);
        default: return dbINVALID;
    }
}

int field_answer(int code, const Resolved &r, Slot &slot) {
    Field *f = r.field;
    Attribute *a = field_attribute(f);
    Relation *base = slot_relation(f);
    switch (code) {
        case QUERY_NULL_VALUE: return slot.text(a->null);
        case QUERY_FIELD_TABLE: return slot.text(r.relation->name);
        case QUERY_ATTRIBUTE_RELATIONS:
            if (base != nullptr) return dbINVALID;
            return slot.pointer(a->relations);
        case QUERY_FIELD_OFFSET: slot.integer(f->offset); return 0;
        case QUERY_FORMAT:
        case QUERY_FIELD_FORMAT: return slot.text(a->format);
        case QUERY_RANGE: return slot.text(base ? nullptr : a->range);
        case QUERY_FIELD_TYPE:
        case QUERY_TYPE: return slot.integer(a->type);
        case QUERY_UNITS: return slot.text(base ? nullptr : a->units);
        case QUERY_FIELD_SIZE:
        case QUERY_SIZE: return slot.integer(f->is_dbptr ? 16 : a->size);
        case QUERY_FIELD_NAME:
        case QUERY_NAME: return slot.text(field_name(f));
        case QUERY_FIELD_DETAIL:
        case QUERY_DETAIL: return slot.text(base ? base->detail : a->detail);
        case QUERY_FIELD_DESCRIPTION:
        case QUERY_DESCRIPTION: return slot.text(base ? base->description : a->description);
        case QUERY_COUNT: return slot.integer(r.relation->ndata);
        default: return dbINVALID;
    }
}

// The codes that answer for whatever the pointer designates.
int designated_answer(Dbptr db, int code, int level, const Resolved &r, Slot &slot) {
    if (level == RESOLVED_FIELD) return field_answer(code, r, slot);
    if (level == RESOLVED_TABLE) {
        switch (code) {
            case QUERY_NAME: return slot.text(r.relation->name);
            case QUERY_DETAIL: return slot.text(r.relation->detail);
            case QUERY_DESCRIPTION: return slot.text(r.relation->description);
            case QUERY_COUNT: return slot.integer(r.database->schema->nrelations);
            case QUERY_SIZE: return slot.integer(r.table ? r.table->size : 0);
            default: return dbINVALID;
        }
    }
    if (level == RESOLVED_DATABASE) {
        switch (code) {
            case QUERY_NAME: return slot.text(r.database->dbname);
            case QUERY_DETAIL: return slot.text(r.database->schema->detail);
            case QUERY_DESCRIPTION: return slot.text(r.database->schema->description);
            case QUERY_COUNT: return slot.integer(__atomic_load_n(&Ndatabases, __ATOMIC_ACQUIRE));
            case QUERY_TYPE: return slot.text(r.database->schema->name);
            default: return dbINVALID;
        }
    }
    if (level == RESOLVED_RECORD && code == QUERY_SIZE) return slot.integer(r.relation->size);
    (void)db;
    return dbINVALID;
}

bool table_code_only_at_table(int code) {
    return code == QUERY_VIEW_TABLES || code == QUERY_FIELD_NAMES ||
           (code <= QUERY_DEFINES && code >= QUERY_PRIMARY_KEY);
}

}  // namespace

extern "C" int dbquery(Dbptr db, int code, void *value) {
    Slot slot(value);
    const Code *c = find_code(code);
    bool supported = code >= -505 && code <= -301;
    if (supported && c == nullptr) {
        elog_log(0, "dbquery doesn't recognize code %d\n", code);
        return dbINVALID;
    }
    Answer answer = c ? c->answer : Answer::kInt;
    if (answer == Answer::kText)
        slot.text(bad_query);
    else if (answer == Answer::kInt)
        slot.integer(0);
    else if (answer == Answer::kPointer)
        slot.pointer(nullptr);

    Group group = c ? c->group : Group::kField;
    switch (group) {
        case Group::kNone:
            if (code == QUERY_DATABASE_COUNT) {
                slot.integer(__atomic_load_n(&Ndatabases, __ATOMIC_ACQUIRE));
            } else {
                slot.text(Default_schema);
            }
            return 0;
        case Group::kDatabase: db.table = db.field = db.record = dbALL; break;
        case Group::kTable: db.field = db.record = dbALL; break;
        case Group::kField: db.record = dbALL; break;
        case Group::kSize:
            if (db.record != dbALL && db.record != dbNULL && db.record != dbSCRATCH) db.record = 0;
            break;
    }
    Resolved r;
    int level = resolve(db, &r);
    if (level == dbINVALID) return dbINVALID;
    if (!supported) {
        elog_log(0, "dbquery doesn't support code %d\n", code);
        return dbINVALID;
    }
    switch (code) {
        case QUERY_TYPE:
        case QUERY_SIZE:
        case QUERY_NAME:
        case QUERY_DETAIL:
        case QUERY_DESCRIPTION:
        case QUERY_COUNT: return designated_answer(db, code, level, r, slot);
        default: break;
    }
    switch (group) {
        case Group::kDatabase: return database_answer(db, code, r, slot);
        case Group::kTable:
            if (level != RESOLVED_TABLE &&
                (table_code_only_at_table(code) || level < RESOLVED_RECORD || level > RESOLVED_TABLE))
                return dbINVALID;
            return table_answer(db, code, r, slot);
        case Group::kField:
            if (level != RESOLVED_FIELD) return dbINVALID;
            return field_answer(code, r, slot);
        default: return dbINVALID;
    }
}
