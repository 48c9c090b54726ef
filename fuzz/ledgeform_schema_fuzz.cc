// Fuzz target: any bytes as schema text. The text is compiled as the schema
// of a database, which is opened; then every relation's null and scratch
// records are built and every field of them read. No crash, leak or hang;
// the log is cleared after each input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "db.h"
#include "elog.h"

namespace {

// A scratch directory for the whole run, also the only schema directory.
const std::string &scratch_dir() {
    static const std::string dir = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
                              "/ledgeform-schema-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        setenv("SCHEMA_DIR", pattern.c_str(), 1);
        unsetenv("DBLOCKS");
        // A bad input logs many messages: the log must not end the run.
        elog_set(ELOG_MAXMSG, 0, reinterpret_cast<void *>(static_cast<intptr_t>(0)));
        unsetenv("DBIDSERVER");
        return pattern;
    }();
    return dir;
}

void read_fields(Dbptr db, int table) {
    Dbptr t = {db.database, table, dbALL, dbALL};
    // Huge records only cost time (a table in memory starts with room for
    // fifty): their layout is checked, not their bytes.
    Database *database = nullptr;
    dbresolve(db, &database, nullptr, nullptr, nullptr, nullptr, nullptr);
    auto *relation = static_cast<Relation *>(gettbl(database->schema->relations, table));
    if (relation == nullptr || relation->size > 1 << 16) return;
    int nfields = 0;
    if (dbquery(t, QUERY_FIELD_COUNT, &nfields) < 0) return;
    for (int record : {dbNULL, dbSCRATCH}) {
        for (int field = 0; field < nfields; field++) {
            Dbptr f = {db.database, table, field, record};
            char *name = nullptr;
            int type = dbquery(f, QUERY_FIELD_TYPE, &type);
            int size = dbquery(f, QUERY_FIELD_SIZE, &size);
            if (dbquery(f, QUERY_FIELD_NAME, &name) != 0 || size < 0 || size > 1 << 16) continue;
            std::string buffer(static_cast<std::size_t>(size) + 32, '\0');
            dbget(f, buffer.data());
            Dbptr r = f;
            r.field = dbALL;
            dbgetv(r, nullptr, name, buffer.data(), nullptr);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &dir = scratch_dir();
    std::string schema = dir + "/fuzzed";
    FILE *f = std::fopen(schema.c_str(), "w");
    if (f == nullptr) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    std::string descriptor = dir + "/db";
    Dbptr db;
    if (LGdbopen(descriptor.c_str(), "r", &db) == 0) {
        int ntables = 0;
        dbquery(db, QUERY_TABLE_COUNT, &ntables);
        for (int table = 0; table < ntables && table < 64; table++) read_fields(db, table);
        // The same text once more, compiled into the open schema.
        std::string text(reinterpret_cast<const char *>(data), size);
        dbcompile(db, text.c_str());
        LGdbclose(db);
    }
    elog_clear();
    return 0;
}
