// Fuzz target: any bytes as a table file (or, by the first byte, as a
// descriptor file) of a database with tables of text, binary fields and a
// view. The database is opened read-only and every field of every record is
// read, every record fetched and a record looked up by key. No crash, leak
// or hang; the log is cleared after each input.
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "db.h"
#include "elog.h"

namespace {

const char kSchema[] =
    "Schema fuzz Timedate lddate ;\n"
    "Attribute sta String ( 6 ) Format ( \"%-6s\" ) Null ( \"-\" ) ;\n"
    "Attribute time Time ( 17 ) Format ( \"%17.5f\" ) Null ( \"-9999999999.99900\" ) ;\n"
    "Attribute lddate Time ( 17 ) Format ( \"%17.5f\" ) Null ( \"-9999999999.99900\" ) ;\n"
    "Attribute nsamp Integer ( 8 ) Format ( \"%8d\" ) Null ( \"-1\" ) ;\n"
    "Attribute day YearDay ( 8 ) Format ( \"%8d\" ) Null ( \"-1\" ) ;\n"
    "Attribute rate Real ( 11 ) Format ( \"%11.7f\" ) Null ( \"-1.0\" ) ;\n"
    "Attribute gain Bfloat ( 4 ) Null ( \"1.0\" ) ;\n"
    "Attribute count Bshort ( 2 ) ;\n"
    "Attribute total Bint ( 4 ) ;\n"
    "Attribute weight Bdouble ( 8 ) ;\n"
    "Attribute ref Dbptr ( 16 ) ;\n"
    "Relation text Fields ( sta time nsamp day rate lddate ) Primary ( sta time ) ;\n"
    "Relation packed Fields ( sta gain count total weight ref ) Separator ( \",\" \"\" ) ;\n"
    "Relation other Fields ( sta nsamp ) Separator ( \"\" ) ;\n"
    "Relation both Fields ( text packed ) ;\n";

const char *const kTables[] = {"text", "packed", "other", "both"};

const std::string &scratch_dir() {
    static const std::string dir = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
                              "/ledgeform-table-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        FILE *f = std::fopen((pattern + "/fuzz1.0").c_str(), "w");
        if (f == nullptr) std::abort();
        std::fputs(kSchema, f);
        std::fclose(f);
        unsetenv("DBLOCKS");
        // A bad input logs many messages: the log must not end the run.
        elog_set(ELOG_MAXMSG, 0, reinterpret_cast<void *>(static_cast<intptr_t>(0)));
        unsetenv("DBIDSERVER");
        return pattern;
    }();
    return dir;
}

void write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    // An old file: a length that is no whole number of records is refused
    // at once instead of waited for.
    struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    utimes(path.c_str(), old);
}

void read_table(Dbptr t) {
    int count = 0, nfields = 0;
    if (dbquery(t, QUERY_RECORD_COUNT, &count) < 0 || dbquery(t, QUERY_FIELD_COUNT, &nfields) < 0)
        return;
    if (count > 2000) count = 2000;
    char buffer[256];
    for (t.record = 0; t.record < count; t.record++) {
        for (t.field = 0; t.field < nfields; t.field++) {
            char *name = nullptr;
            int size = dbquery(t, QUERY_FIELD_SIZE, &size);
            if (dbquery(t, QUERY_FIELD_NAME, &name) != 0 || size < 0 ||
                size >= static_cast<int>(sizeof buffer))
                continue;
            Dbptr r = t;
            r.field = dbALL;
            dbgetv(r, nullptr, name, buffer, nullptr);
            dbget(t, buffer);
        }
        t.field = dbALL;
        dbget(t, nullptr);
    }
    Dbptr key = dblookup(t, nullptr, nullptr, "sta", "AAK");
    (void)key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const std::string &dir = scratch_dir();
    std::string db_path = dir + "/db";
    int which = data[0] % 5;
    data++;
    size--;
    if (which == 4) {
        write_file(db_path, data, size);
    } else {
        std::string descriptor = "# Ledgeform Database Descriptor file\nschema " + dir + "/fuzz1.0\n";
        write_file(db_path, reinterpret_cast<const uint8_t *>(descriptor.data()), descriptor.size());
        for (const char *name : kTables) std::remove((db_path + "." + name).c_str());
        write_file(db_path + "." + kTables[which], data, size);
    }
    Dbptr db;
    if (LGdbopen(db_path.c_str(), "r", &db) == 0) {
        for (const char *name : kTables)
            read_table(dblookup(db, nullptr, name, nullptr, nullptr));
        LGdbclose(db);
    }
    elog_clear();
    return 0;
}
