// Fuzz target: any bytes as schema text. The text is the schema file that
// the descriptor of a database names, and the database is opened; then every
// relation's null and scratch records are built and every field of them
// read, and the same text is compiled once more into the open schema. No
// crash, leak or hang; the log is cleared after each input.
//
// Includes of anything but the test schemas (along SCHEMA_DIR) and the
// input's own file are passed over: they could name any file of the machine.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ledgeform_fuzz.h"

namespace {

struct Files {
    std::string schema;      // the input's file
    std::string descriptor;  // the database's, naming it
};

const Files &files() {
    static const Files made = [] {
        Files f{ledgeform_fuzz::scratch() + "/fuzzed", ledgeform_fuzz::scratch() + "/db"};
        if (dbcreate(f.descriptor.c_str(), f.schema.c_str(), nullptr, nullptr, nullptr) != 0)
            std::abort();
        return f;
    }();
    return made;
}

// Whether every Include of the text (wherever the word stands) names a file
// the target allows; the name is read as the scanner reads it.
bool includes_only_allowed(const std::string &text) {
    static const char kWord[] = "Include";
    for (size_t at = text.find(kWord); at != std::string::npos; at = text.find(kWord, at + 1)) {
        size_t from = text.find_first_not_of(" \t", at + sizeof kWord - 1);
        size_t to = from == std::string::npos ? from : text.find_first_of(" \t\n", from);
        std::string name = from == std::string::npos ? "" : text.substr(from, to - from);
        if (name != "ledger1.0" && name != "quake1.0" && name != "fuzzed") return false;
    }
    return true;
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
    std::string text(reinterpret_cast<const char *>(data), size);
    if (!includes_only_allowed(text)) return 0;
    FILE *f = std::fopen(files().schema.c_str(), "w");
    if (f == nullptr) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    Dbptr db;
    if (LGdbopen(files().descriptor.c_str(), "r", &db) == 0) {
        int ntables = 0;
        dbquery(db, QUERY_TABLE_COUNT, &ntables);
        for (int table = 0; table < ntables && table < 64; table++) read_fields(db, table);
        // The same text once more, compiled into the open schema.
        dbcompile(db, text.c_str());
        LGdbclose(db);
    }
    elog_clear();
    return 0;
}
