// The registry of open databases, and opening and closing databases and
// tables.
//
// Databases_tbl, Ndatabases and Databases_root change under the registry
// lock. Every operation of the library turns a database id into its record,
// so that lookup must not take the lock: beside the list the registry keeps
// a table of its own, in chunks that are never moved or freed, which a
// reader walks with atomic loads.
#include <unistd.h>

#include <cerrno>

#include "ledgeform_private.h"

namespace {

char default_schema_text[] = "css3.0";
char default_dbpath_text[] = "";

pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;

constexpr int kChunkSize = 256;
constexpr int kChunks = 4096;
// Database records by id, published with release stores.
Database **published[kChunks];

void publish(int id, Database *db) {
    int chunk = id / kChunkSize;
    if (chunk >= kChunks) return;  // beyond the table: looked up under the lock
    Database **slots = __atomic_load_n(&published[chunk], __ATOMIC_ACQUIRE);
    if (slots == nullptr) {
        slots = static_cast<Database **>(LF_CALLOC(kChunkSize * sizeof(Database *), "registry"));
        __atomic_store_n(&published[chunk], slots, __ATOMIC_RELEASE);
    }
    __atomic_store_n(&slots[id % kChunkSize], db, __ATOMIC_RELEASE);
}

// Creates the registry on first use; the registry lock is held.
void ensure_registry_locked() {
    if (Databases_tbl == nullptr) Databases_tbl = newtbl(5);
    if (Databases_root == nullptr) Databases_root = newarr(nullptr);
}

const char *schema_default() {
    const char *s = std::getenv("SCHEMA_DEFAULT");
    return s != nullptr && *s != '\0' ? s : Default_schema;
}

}  // namespace

extern "C" {

Tbl *Databases_tbl = nullptr;
int Ndatabases = 0;
Arr *Databases_root = nullptr;
char *Default_schema = default_schema_text;
char *Default_dbpath = default_dbpath_text;

}  // extern "C"

namespace ledgeform {

void ensure_registry() {
    MutexGuard guard(registry_lock);
    ensure_registry_locked();
}

const char *default_schema_name() { return schema_default(); }

Database *database_by_id(int id, int *closed) {
    *closed = 0;
    if (id < 0 || id >= __atomic_load_n(&Ndatabases, __ATOMIC_ACQUIRE)) return nullptr;
    Database *db;
    int chunk = id / kChunkSize;
    if (chunk < kChunks) {
        Database **slots = __atomic_load_n(&published[chunk], __ATOMIC_ACQUIRE);
        db = slots == nullptr ? nullptr : __atomic_load_n(&slots[id % kChunkSize], __ATOMIC_ACQUIRE);
    } else {
        MutexGuard guard(registry_lock);
        db = static_cast<Database *>(gettbl(Databases_tbl, id));
    }
    if (db == nullptr) *closed = 1;
    return db;
}

}  // namespace ledgeform

using namespace ledgeform;

namespace {

// The database registered under path or its absolute form; the registry
// lock is held.
Database *registered_locked(const char *path, const char *absolute) {
    if (Databases_root == nullptr) return nullptr;
    auto *db = static_cast<Database *>(getarr(Databases_root, path));
    if (db == nullptr) db = static_cast<Database *>(getarr(Databases_root, absolute));
    return db;
}

void free_unregistered(Database *db) {
    Schema *schema = db->schema;
    dbfree_database(db);
    dbfree_schema(schema);
}

int free_table_level(const Resolved &r, Dbptr db) {
    Schema *schema = r.database->schema;
    Relation *rel = r.relation;
    int result = dbfree_table(r.table);
    settbl(r.database->tables, db.table, nullptr);
    if (getarr(schema->relation_index, rel->name) == rel) delarr(schema->relation_index, rel->name);
    settbl(schema->relations, db.table, nullptr);
    settbl(schema->relation_names, db.table, db_nullstr);
    // Tables closed before that this relation's slots still hold.
    Tbl *bases = newtbl(0);
    add_closed_bases(schema, rel, bases);
    if (relation_built_on(schema, rel) != nullptr) {
        // Views built on the table point at its relation: it is kept for
        // them (resolving through it finds the table id dead).
        unlist_relation(rel);
    } else {
        dbfree_relation(rel);
    }
    // Those that no open relation holds any more go now.
    for (int i = 0; i < maxtbl(bases); i++) {
        auto *base = static_cast<Relation *>(gettbl(bases, i));
        if (relation_built_on(schema, base) == nullptr) free_relation_record(base);
    }
    freetbl(bases, nullptr);
    return result;
}

int free_database_level(Database *db) {
    {
        MutexGuard guard(registry_lock);
        if (Databases_root != nullptr) {
            if (getarr(Databases_root, db->dbname) == db) delarr(Databases_root, db->dbname);
            if (getarr(Databases_root, db->abspath) == db) delarr(Databases_root, db->abspath);
        }
        settbl(Databases_tbl, db->id, nullptr);
        publish(db->id, nullptr);
    }
    Schema *schema = db->schema;
    int result = dbfree_database(db);
    dbfree_schema(schema);
    return result;
}

}  // namespace

extern "C" {

int LGdbopen(const char *path, const char *mode, Dbptr *result) {
    *result = make_dbptr(dbINVALID, dbALL, dbALL, dbALL);
    if (path == nullptr) path = "";
    char absolute[kPathBuffer];
    if (abspath(path, absolute) != 0) {
        elog_log(1, "'%s' does not exist", path);
        return dbINVALID;
    }
    {
        MutexGuard guard(registry_lock);
        if (Database *db = registered_locked(path, absolute)) {
            result->database = db->id;
            return 0;
        }
    }
    if (mode == nullptr || (std::strcmp(mode, "r") != 0 && std::strcmp(mode, "r+") != 0)) {
        elog_log(0, "Invalid open flag : '%s'\n", mode ? mode : "(null)");
        return dbINVALID;
    }

    Database *db = new_database();
    db->dbname = LF_STRDUP(path, "database");
    db->abspath = LF_STRDUP(absolute, "database");
    {
        char dir[kPathBuffer], base[kPathBuffer];
        dirbase(absolute, dir, base);
        db->dir = LF_STRDUP(dir, "database");
    }
    if (!is_file(path)) {
        db->schema_name = LF_STRDUP(schema_default(), "database");
        db->dbpath = LF_STRDUP(Default_dbpath, "database");
        dbset_locks_from_env(db);
        dbset_idserver_from_env(db);
    } else if (dbread_descriptor(db, path) < 0) {
        elog_log(1, "Couldn't read descriptor file '%s'\n", path);
        free_unregistered(db);
        return dbINVALID;
    }
    db->openperm = LF_STRDUP(mode, "database");

    db->schema = open_schema(db->schema_name, db->dbname);
    if (db->schema == nullptr) {
        free_unregistered(db);
        return dbINVALID;
    }
    replace_text(&db->schema->name, db->schema_name);
    db->tables = newtbl(db->schema->nrelations);

    MutexGuard guard(registry_lock);
    ensure_registry_locked();
    if (Database *other = registered_locked(path, absolute)) {
        // Another thread opened it meanwhile: that open holds.
        free_unregistered(db);
        result->database = other->id;
        return 0;
    }
    int id = maxtbl(Databases_tbl);
    db->id = id;
    pushtbl(Databases_tbl, db);
    publish(id, db);
    __atomic_store_n(&Ndatabases, maxtbl(Databases_tbl), __ATOMIC_RELEASE);
    setarr(Databases_root, absolute, db);
    if (std::strcmp(path, absolute) != 0) setarr(Databases_root, path, db);
    result->database = id;
    return 0;
}

int dbfree(Dbptr db) {
    db.field = dbALL;
    db.record = dbALL;
    Resolved r;
    int level = resolve(db, &r);
    if (level == dbINVALID) return dbINVALID;
    if (level == RESOLVED_DATABASE) return free_database_level(r.database);
    return free_table_level(r, db);
}

int LGdbclose(Dbptr db) { return dbfree(make_dbptr(db.database, dbALL, dbALL, dbALL)); }

Dbptr dbtmp(const char *schema) {
    const char *dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = P_tmpdir;
    std::size_t n = std::strlen(dir) + sizeof "/#dbtXXXXXX";
    Owned<char> name(static_cast<char *>(LF_MALLOC(n, "dbtmp")));
    std::snprintf(name.get(), n, "%s/#dbtXXXXXX", dir);
    int fd = mkstemp(name.get());
    if (fd < 0) {
        elog_log(1, "Can't create %s\n", name.get());
        return dbinvalid();
    }
    close(fd);
    Dbptr db;
    if (dbcreate(name.get(), schema, nullptr, nullptr, nullptr) != 0 ||
        LGdbopen(name.get(), "r+", &db) != 0) {
        unlink(name.get());
        return dbinvalid();
    }
    unlink(name.get());
    return db;
}

}  // extern "C"
