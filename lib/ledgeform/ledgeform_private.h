// Internals of the database library shared by its files and reached by its
// tests. Nothing here is exported: the library is built with hidden
// visibility, and the test binaries, which link it whole, reach these
// directly.
//
// Outside C programs link the library with the C compiler alone, so it must
// not need the C++ runtime library: no exceptions, no RTTI, no operator new,
// no standard containers. Memory is malloc'd; running out of it ends the
// process through the error log.
#ifndef LEDGEFORM_PRIVATE_H
#define LEDGEFORM_PRIVATE_H

#include <pthread.h>

#include <cstdarg>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db.h"

namespace ledgeform {

// ---- Memory ----

// "Out of memory at line %d in '%s'\n\tCan't malloc %u bytes for %s\n"
// through elog_die.
[[noreturn]] void out_of_memory(const char *file, int line, std::size_t count,
                                const char *what);

inline void *checked_calloc(std::size_t bytes, std::size_t count, const char *what,
                            const char *file, int line) {
    void *p = std::calloc(1, bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, count, what);
    return p;
}

inline void *checked_malloc(std::size_t bytes, std::size_t count, const char *what,
                            const char *file, int line) {
    void *p = std::malloc(bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, count, what);
    return p;
}

inline void *checked_realloc(void *old, std::size_t bytes, const char *what,
                             const char *file, int line) {
    void *p = std::realloc(old, bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, bytes, what);
    return p;
}

char *checked_strdup(const char *s, const char *what, const char *file, int line);

}  // namespace ledgeform

#define LF_MALLOC(bytes, what) \
    ledgeform::checked_malloc((bytes), (bytes), (what), __FILE__, __LINE__)
#define LF_CALLOC(bytes, what) \
    ledgeform::checked_calloc((bytes), (bytes), (what), __FILE__, __LINE__)
#define LF_REALLOC(old, bytes, what) \
    ledgeform::checked_realloc((old), (bytes), (what), __FILE__, __LINE__)
// One record: the message counts 1.
#define LF_NEW_RECORD(type, what) \
    static_cast<type *>(ledgeform::checked_calloc(sizeof(type), 1, (what), __FILE__, __LINE__))
#define LF_STRDUP(s, what) ledgeform::checked_strdup((s), (what), __FILE__, __LINE__)

namespace ledgeform {

// Frees a string of a catalogue record unless it is the shared empty one.
void free_text(char *s);
// Replaces *slot by a copy of s (null stays null), freeing the old text.
void replace_text(char **slot, const char *s);
// A copy of s, or db_nullstr's own copy semantics: null gives null.
char *copy_text(const char *s);

// Holds a POSIX mutex for the life of the scope. (std::mutex would pull in
// the C++ runtime through its error path.)
class MutexGuard {
  public:
    explicit MutexGuard(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~MutexGuard() { pthread_mutex_unlock(&m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

  private:
    pthread_mutex_t &m_;
};

// A work buffer of n bytes: on the stack when small, else malloc'd (out of
// memory is fatal, naming `what`); zero-filled.
class WorkBuffer {
  public:
    WorkBuffer(std::size_t n, const char *what)
        : p_(n <= sizeof small_ ? small_ : static_cast<char *>(LF_MALLOC(n, what))) {
        std::memset(p_, 0, n);
    }
    ~WorkBuffer() {
        if (p_ != small_) std::free(p_);
    }
    WorkBuffer(const WorkBuffer &) = delete;
    WorkBuffer &operator=(const WorkBuffer &) = delete;
    char *get() { return p_; }

  private:
    char small_[256];
    char *p_;
};

// A malloc'd pointer freed at the end of the scope.
template <typename T>
class Owned {
  public:
    explicit Owned(T *p = nullptr) : p_(p) {}
    ~Owned() { std::free(p_); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    T *get() const { return p_; }
    T *release() {
        T *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(T *p) {
        std::free(p_);
        p_ = p;
    }

  private:
    T *p_;
};

// Paths handed through caller buffers hold at most this many bytes.
constexpr int kPathBuffer = 4096;

// Binary field types.
constexpr int kWaveform = 136;
constexpr int kResponse = 137;
constexpr int kBfloat = 138;
constexpr int kBdouble = 139;
constexpr int kBshort = 140;
constexpr int kBint = 141;
constexpr int kDbptrType = 142;
// The key type of an "offdate" field.
constexpr int kOffdateKey = -357;

inline bool is_binary_type(int type) { return type >= kBfloat && type <= kDbptrType; }

// The bytes a binary type stores; 0 for the other types.
inline int binary_size(int type) {
    switch (type) {
        case kBfloat: return 4;
        case kBdouble: return 8;
        case kBshort: return 2;
        case kBint: return 4;
        case kDbptrType: return 16;
        default: return 0;
    }
}

// ---- Catalogue helpers ----

// The built-in attribute of every base-table slot: size 16, type 142, null
// "-102 -102 -102 -102", format "%4i %4i %4i %4i".
extern Attribute p_dbptr;

inline Attribute *field_attribute(const Field *f) {
    return f->is_dbptr ? &p_dbptr : static_cast<Attribute *>(f->attribute);
}
inline Relation *slot_relation(const Field *f) {
    return f->is_dbptr ? static_cast<Relation *>(f->attribute) : nullptr;
}
inline int field_width(const Field *f) { return field_attribute(f)->size; }
inline int field_type(const Field *f) { return field_attribute(f)->type; }
// The field's name: its attribute's, or a slot's base table's.
inline const char *field_name(const Field *f) {
    return f->is_dbptr ? slot_relation(f)->name : field_attribute(f)->name;
}

inline Relation *relation_at(Schema *schema, int id) {
    if (id < 0 || id >= schema->nrelations) return nullptr;
    return static_cast<Relation *>(gettbl(schema->relations, id));
}
inline Table *table_at(Database *db, int id) {
    return static_cast<Table *>(gettbl(db->tables, id));
}
inline Field *field_at(Relation *rel, int id) {
    return static_cast<Field *>(gettbl(rel->fields, id));
}
inline Relation *relation_named(Schema *schema, const char *name) {
    return static_cast<Relation *>(getarr(schema->relation_index, name));
}

// A table closed while views are built on it leaves the schema (its id is
// dead), but its Relation stays allocated, as the views' slots and fields
// point at it, until no open relation holds it any more or the schema is
// freed.

// The open relation of the schema, other than rel, whose slots hold rel;
// null when none.
Relation *relation_built_on(Schema *schema, const Relation *rel);
// Appends to list each closed relation that the slots of rel still hold
// (rel excepted) that list does not hold yet.
void add_closed_bases(Schema *schema, Relation *rel, Tbl *list);
// Takes the relation's name out of the relation lists of its attributes.
void unlist_relation(Relation *r);
// Frees a relation whose name is out of its attributes' lists already.
void free_relation_record(Relation *r);

// The bytes of a key image by jig, after its record number, that hold the
// values of its first n key texts (a range with its envelope). An index made
// for a longer key list serves a shorter one, and records that agree on the
// shorter list must compare equal whatever the keys after it hold.
std::size_t key_bytes(Jig *jig, int n);

// The field id of `name` in relation `rel` as a table lookup finds it
// ("table.field" names a field of a view's base table); -102 when none.
int field_id_by_name(Relation *rel, const char *name);

inline Dbptr make_dbptr(int database, int table, int field, int record) {
    Dbptr p;
    p.database = database;
    p.table = table;
    p.field = field;
    p.record = record;
    return p;
}

// ---- Registry ----

// Creates the registry of open databases on first use.
void ensure_registry();

// The schema of a database without one of its own: SCHEMA_DEFAULT when set
// and not empty, else Default_schema.
const char *default_schema_name();

// The open database of an id, without taking the registry lock; null when
// the id is outside the registry (*closed 0) or its database was closed
// (*closed 1).
Database *database_by_id(int id, int *closed);

// ---- Resolution ----

struct Resolved {
    Database *database = nullptr;
    Relation *relation = nullptr;
    Table *table = nullptr;
    Field *field = nullptr;
    char *data = nullptr;
    int size = 0;
    Dbptr final{};  // the pointer resolution ended with (a base table's for
                    // a field of a view)
};

// dbresolve into one record; returns the level or -102.
int resolve(Dbptr db, Resolved *r);

// Resolves a field of an ordinary record whose own table holds the field's
// data, in a table already mapped: what resolve finds there, without a
// message. False for everything else (null and scratch records, fields of
// views, unmapped tables, bad pointers), which the caller resolves.
bool resolve_stored_field(Dbptr db, Resolved *r);
// The same for a relation and table the caller has already looked up (the
// database member of *r is left null).
bool stored_field_in(Relation *rel, Table *table, Dbptr db, Resolved *r);

// Resolves the whole table of db (field and record dbALL).
inline int resolve_table(Dbptr db, Resolved *r) {
    db.field = dbALL;
    db.record = dbALL;
    return resolve(db, r);
}

// True when the record member names the scratch record.
inline bool is_scratch(const Resolved &r) { return r.final.record == dbSCRATCH; }

// ---- Tables ----

// Whether the file system holding path is a remote mount, as is_nfs
// answers (1 remote, 0 local, -1 unknown).
int path_is_nfs(const char *path);
// Replaces the is_nfs probe (null restores it); for the tests.
void set_nfs_probe(int (*probe)(char *path));

// Unmaps a table's data (an in-memory table keeps it); 0 or -1.
int unmap_table_data(Table *table);

// Brings a file table's size, count and mapping to a length the caller
// knows the file has at least (after its own append); 0 or -102.
int extend_table(Database *database, Table *table, int64_t length);

// The lock of the table's relation, taken after mapping the table so that
// its count is current; 0 or -102.
int lock_table(Database *database, Table *table);

// The current time as the library stamps Timedate fields.
double now();

// ---- Records ----

// The record image of a relation filled with blanks, separators between the
// own text fields and the terminator as the last byte; `image` holds size + 1
// bytes and ends with a NUL.
void blank_record(Relation *relation, char *image);

// The null record of the pointer's relation (built when missing), or null.
char *null_record(Dbptr db);

// Writes name/value pairs into the record of `target` as dbputv does. For
// dbaddv (`adding` true) views are refused too.
int put_values(Dbptr db, va_list *ap, bool adding, const char *caller);

// ---- Seams for the index code ----

// Index upkeep: a table's in-memory indexes follow an append, a delete and
// an overwrite with the null record.
void index_record_added(Table *table, Dbptr record);
void index_record_deleted(Table *table, Dbptr record);
void index_record_marked(Table *table, Dbptr record);

// Keeps the indexes of a table current across a change of one record in
// place: its entries leave the indexes when this is made and come back with
// the record's new keys when it ends.
class IndexChange {
  public:
    IndexChange(Table *table, Dbptr record);
    ~IndexChange();
    IndexChange(const IndexChange &) = delete;
    IndexChange &operator=(const IndexChange &) = delete;

  private:
    Dbptr record_;
    Tbl *list_ = nullptr;
    char *present_ = nullptr;
};

// Frees the in-memory indexes of a table whose records were moved or cut
// (their files, if any, stay).
void index_drop_all(Table *table);

// The records of the table of `probe` whose keys (key texts `keys`) match
// the keys of the record `probe`, in key order: their count, with the
// numbers in *records (malloc'd, the caller frees it); -102 when a key is
// no field. An empty key list matches nothing.
int key_matches(Dbptr probe, Tbl *keys, int **records);

// ---- Views ----

// A view whose records hold nothing but base-table slots.
bool is_pure_view(const Relation *rel);

// ---- Ids ----

// Replaces the wait between two tries of the id server (5 seconds) and
// the time a reply may take (30 seconds); for the tests.
void set_idserver_timing(double retry_seconds, double reply_seconds);

// ---- Formatting ----

// Formats one value for a field: fmt is used when it holds exactly one
// conversion fit for the value's kind ('i' int, 'd' double, 's' string),
// else the default. Writes at most size - 1 characters and a NUL.
void format_int(char *buf, std::size_t size, const char *fmt, const char *dflt, int v);
void format_double(char *buf, std::size_t size, const char *fmt, const char *dflt,
                   double v);
void format_string(char *buf, std::size_t size, const char *fmt, const char *s);

// The pointer written as four integers; members without a number are -102.
Dbptr read_dbptr(const char *text);

}  // namespace ledgeform

#endif
