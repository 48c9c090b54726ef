// Finding and loading schemas: a database's schema list, supplemental
// schema files, per-table extensions and schema text from a string.
#include <fcntl.h>
#include <unistd.h>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

// Copies path into result (kPathBuffer bytes); false when it does not fit.
bool set_result(char *result, const char *path) {
    std::size_t n = std::strlen(path);
    if (n >= static_cast<std::size_t>(kPathBuffer)) return false;
    std::memcpy(result, path, n + 1);
    return true;
}

[[noreturn]] void unexpected_failure(int line) {
    elog_die(1, "Unexpected failure: file %s, line %d\n", "schema_load.cc", line);
}

// Compiles one schema file; 0 or non-zero.
int compile_file(Schema *schema, const char *path, const char *dbpath, bool fatal_open) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        if (fatal_open) unexpected_failure(__LINE__);
        return -1;
    }
    int result = compile_schema(schema, fd, nullptr, dbpath, path);
    if (close(fd) != 0) unexpected_failure(__LINE__);
    return result;
}

// Whether the schema's Timedate (when it names one) is an attribute of type
// time; logs what is wrong when not.
bool timedate_is_time(Schema *schema) {
    if (schema->timedate == nullptr) return true;
    auto *a = static_cast<Attribute *>(getarr(schema->attributes, schema->timedate));
    const char *problem = a == nullptr              ? "Timedate attribute '%s' not defined.\n"
                          : a->type != dbTIME ? "Timedate attribute '%s' not of type dbTIME.\n"
                                              : nullptr;
    if (problem == nullptr) return true;
    elog_log(0, problem, schema->timedate);
    return false;
}

// After text compiled into the schema of an open database: a Timedate that
// is no time gives way to the one before (records are stamped through it);
// false then.
bool kept_timedate_a_time(Schema *schema, Owned<char> *before) {
    if (timedate_is_time(schema)) return true;
    free_text(schema->timedate);
    schema->timedate = before->release();
    return false;
}

}  // namespace

extern "C" {

int find_schemafile(char *result, const char *name, const char *dbpath) {
    result[0] = '\0';
    if (name == nullptr || *name == '\0') return -1;
    if (is_file(name)) return set_result(result, name) ? 0 : -1;
    if (dbpath != nullptr) {
        const char *slash = std::strrchr(dbpath, '/');
        if (slash != nullptr) {
            std::size_t dirlen = static_cast<std::size_t>(slash - dbpath) + 1;
            std::size_t n = dirlen + std::strlen(name) + 1;
            Owned<char> candidate(static_cast<char *>(LF_MALLOC(n, "schema path")));
            std::memcpy(candidate.get(), dbpath, dirlen);
            std::strcpy(candidate.get() + dirlen, name);
            if (is_file(candidate.get())) return set_result(result, candidate.get()) ? 0 : -1;
        }
    }
    Owned<char> relative(strconcat("schemas/", name, nullptr));
    Owned<char> found(datafile("SCHEMA_DIR", relative.get()));
    if (found.get() != nullptr && set_result(result, found.get())) return 0;
    result[0] = '\0';
    return -1;
}

Schema *open_schema(const char *names, const char *dbpath) {
    ensure_registry();
    Schema *schema = new_schema();
    schema->schemas = LF_STRDUP(names ? names : "", "schema");
    Owned<char> list(LF_STRDUP(schema->schemas, "schema"));
    Tbl *parts = split(list.get(), ':');
    for (int i = 0; i < maxtbl(parts); i++) {
        const char *name = static_cast<char *>(gettbl(parts, i));
        char path[kPathBuffer];
        int fd = -1;
        if (find_schemafile(path, name, dbpath) == 0) fd = open(path, O_RDONLY);
        if (fd < 0) {
            elog_log(1, "Can't open schema file '%s'.\n", name);
            freetbl(parts, nullptr);
            dbfree_schema(schema);
            return nullptr;
        }
        if (i == 0) {
            Owned<char> ext(strconcat(path, ".ext", nullptr));
            if (is_dir(ext.get())) replace_text(&schema->extdir, ext.get());
        }
        int result = compile_schema(schema, fd, nullptr, dbpath, path);
        if (close(fd) != 0) unexpected_failure(__LINE__);
        if (result != 0) {
            elog_log(0, "Parsing error in input schema\n");
            freetbl(parts, nullptr);
            dbfree_schema(schema);
            return nullptr;
        }
    }
    int nparts = maxtbl(parts);
    freetbl(parts, nullptr);
    if (nparts == 0) {
        elog_log(0, "Can't open schema file '%s'.\n", schema->schemas);
        dbfree_schema(schema);
        return nullptr;
    }
    if (!timedate_is_time(schema)) {
        dbfree_schema(schema);
        return nullptr;
    }
    return schema;
}

int dbadd_schema(Dbptr db, const char *file) {
    char path[kPathBuffer];
    if (find_schemafile(path, file, file) != 0) {
        elog_log(1, "Can't open supplemental schema file '%s'", file ? file : "");
        return -1;
    }
    db.table = db.field = db.record = dbALL;
    Resolved r;
    if (resolve(db, &r) == dbINVALID) return -1;
    Schema *schema = r.database->schema;
    Owned<char> timedate(copy_text(schema->timedate));
    int result = compile_file(schema, path, file, true);
    bool kept = kept_timedate_a_time(schema, &timedate);
    if (result != 0) {
        elog_log(0, "Parsing error in input schema\n");
        return -1;
    }
    return kept ? 0 : -1;
}

int add_extension(Dbptr db, Schema *schema, const char *table) {
    if (schema->extdir == nullptr || table == nullptr) return 0;
    Owned<char> file(concatpaths(schema->extdir, table, nullptr));
    if (!is_file(file.get())) return 0;
    int before = elog_mark();
    int result = dbadd_schema(db, file.get());
    if (elog_mark() != before) elog_complain(0, "failed to compile database extension %s", file.get());
    return result == 0 ? 1 : 0;
}

int dbcompile(Dbptr db, const char *text) {
    Resolved r;
    if (resolve(db, &r) != RESOLVED_DATABASE) {
        elog_log(0, "dbcompile requires db pointer to database\n");
        return dbINVALID;
    }
    Schema *schema = r.database->schema;
    Owned<char> timedate(copy_text(schema->timedate));
    int result = compile_schema(schema, -1, text, r.database->dbname,
                                "*internal buffer from dbcompile*");
    return kept_timedate_a_time(schema, &timedate) ? result : dbINVALID;
}

}  // extern "C"
