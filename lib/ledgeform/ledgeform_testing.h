// Helpers shared by the tests of the database library.
#ifndef LEDGEFORM_TESTING_H
#define LEDGEFORM_TESTING_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "db.h"
#include "elog_capture.h"
#include "ledgeform_private.h"
#include "scratch_dir.h"

namespace ledgeform_testing {

inline char *cs(const std::string &s) { return const_cast<char *>(s.c_str()); }

inline bool same(Dbptr a, Dbptr b) {
    return a.database == b.database && a.table == b.table && a.field == b.field &&
           a.record == b.record;
}

inline std::string show(Dbptr p) {
    return "{" + std::to_string(p.database) + " " + std::to_string(p.table) + " " +
           std::to_string(p.field) + " " + std::to_string(p.record) + "}";
}

// Environment variables the library reads, cleared for each test.
inline void clear_database_environment() {
    for (const char *name : {"DBLOCKS", "DBIDSERVER", "SCHEMA_DEFAULT", "SCHEMA_DIR"}) unsetenv(name);
    setenv("SCHEMA_DIR", LEDGEFORM_TESTDATA, 1);
}

// Each test works in a scratch directory of its own, with the test schema
// "ledger1.0" found through SCHEMA_DIR; the databases it opens are closed
// after it.
class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clear_database_environment();
        testsupport::elog_reset_register();
    }
    void TearDown() override {
        for (Dbptr db : opened_) LGdbclose(db);
        ledgeform::set_nfs_probe(nullptr);
        clear_database_environment();
        testsupport::elog_reset_register();
    }

    std::string path(const std::string &name) const { return dir_.file(name); }

    // Writes a descriptor for the test schema and opens it.
    Dbptr create(const std::string &name = "demo", const char *mode = "r+",
                 const char *schema = "ledger1.0") {
        EXPECT_EQ(dbcreate(cs(path(name)), schema, nullptr, nullptr, nullptr), 0);
        return open(path(name), mode);
    }

    Dbptr open(const std::string &at, const char *mode = "r+") {
        Dbptr db = dbinvalid();
        EXPECT_EQ(LGdbopen(at.c_str(), mode, &db), 0) << testsupport::elog_register_text();
        if (db.database >= 0) opened_.push_back(db);
        return db;
    }

    // Closes a database opened here before the end of the test.
    int close(Dbptr db) {
        for (auto it = opened_.begin(); it != opened_.end(); ++it)
            if (it->database == db.database) {
                opened_.erase(it);
                break;
            }
        return LGdbclose(db);
    }

    static Dbptr table(Dbptr db, const char *name) {
        return dblookup(db, nullptr, name, nullptr, nullptr);
    }

    static std::string log() { return testsupport::elog_register_text(); }
    static void clear_log() { testsupport::elog_reset_register(); }

    testsupport::ScratchDir dir_;

  private:
    std::vector<Dbptr> opened_;
};

// The pointer with another record member.
inline Dbptr at(Dbptr p, int record) {
    p.record = record;
    return p;
}

// The record count of a table (-1 when it cannot be had).
inline int count_of(Dbptr t) {
    int n = -1;
    dbquery(t, QUERY_RECORD_COUNT, &n);
    return n;
}

// A text field of a record, stripped.
inline std::string text_of(Dbptr record, const char *field) {
    char buf[256] = "";
    dbgetv(record, nullptr, field, buf, nullptr);
    return buf;
}

// The whole record image as the table holds it.
inline std::string image_of(Dbptr record) {
    record.field = dbALL;
    int size = dbquery(record, QUERY_RECORD_SIZE, &size);
    std::string buf(static_cast<std::size_t>(size) + 1, '\0');
    dbget(record, buf.data());
    buf.resize(static_cast<std::size_t>(size));
    return buf;
}

}  // namespace ledgeform_testing

#endif
