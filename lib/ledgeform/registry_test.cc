// Descriptor files, opening and closing databases and tables, the registry
// of open databases and temporary databases.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::at;
using ledgeform_testing::DatabaseTest;
using ledgeform_testing::same;
using ledgeform_testing::text_of;
using testing::HasSubstr;
using testsupport::read_file;
using testsupport::write_file;

using RegistryTest = DatabaseTest;

const char kHeader[] = "# Ledgeform Database Descriptor file\n";

// A fresh catalogue record read from a descriptor file.
struct Read {
    int result;
    Database *db;
    ~Read() {
        Schema *s = db->schema;
        dbfree_database(db);
        dbfree_schema(s);
    }
};

TEST_F(RegistryTest, CreateWritesTheDescriptorText) {
    ASSERT_EQ(dbcreate(path("a").c_str(), "ledger1.0", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(read_file(path("a")), std::string(kHeader) + "schema ledger1.0\n");
    ASSERT_EQ(dbcreate(path("b").c_str(), "ledger1.0", "../x:{alt}", "one line",
                       "two\nlines"),
              0);
    EXPECT_EQ(read_file(path("b")), std::string(kHeader) +
                                        "schema ledger1.0\n"
                                        "dbpath ../x:{alt}\n"
                                        "Description one line\n"
                                        "Detail &Literal{\ntwo\nlines\n}\n");
    // A null schema is SCHEMA_DEFAULT's, else the library's default.
    ASSERT_EQ(dbcreate(path("c").c_str(), nullptr, "", "", nullptr), 0);
    EXPECT_EQ(read_file(path("c")), std::string(kHeader) + "schema css3.0\n");
    setenv("SCHEMA_DEFAULT", "mine", 1);
    ASSERT_EQ(dbcreate(path("c").c_str(), nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(read_file(path("c")), std::string(kHeader) + "schema mine\n");
    // The descriptor with its Description and Detail reads back.
    Dbptr db = open(path("b"));
    char *dbpath = nullptr;
    EXPECT_EQ(dbquery(db, QUERY_DBPATH, &dbpath), 0);
    EXPECT_STREQ(dbpath, "../x:{alt}");
}

TEST_F(RegistryTest, CreateReplacesALongerDescriptorWhole) {
    write_file(path("a"), std::string(kHeader) + "schema ledger1.0\ndbpath " +
                              std::string(300, 'p') + "\ndblocks nfs\n");
    ASSERT_EQ(dbcreate(path("a").c_str(), "ledger1.0", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(read_file(path("a")), std::string(kHeader) + "schema ledger1.0\n");
    EXPECT_EQ(dbcreate(path("nodir/a").c_str(), "ledger1.0", nullptr, nullptr, nullptr),
              dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Can't create " + path("nodir/a") + "\n"));
}

TEST_F(RegistryTest, ParameterFormKeysAndTheEnvironment) {
    struct Case {
        const char *text;
        const char *dblocks_env;  // null: unset
        const char *server_env;
        int locks;
        const char *server;  // null: none
        const char *schema;
        const char *dbpath;
    } cases[] = {
        {"schema s\n", nullptr, nullptr, 0, nullptr, "s", ""},
        {"schema s\n", "", nullptr, -1, nullptr, "s", ""},
        {"schema s\n", "none", nullptr, 0, nullptr, "s", ""},
        {"schema s\n", "local", "h:1", -1, "h:1", "s", ""},
        {"schema s\ndblocks\n", "local", nullptr, 0, nullptr, "s", ""},
        {"schema s\ndblocks none\n", "nfs", "x", 0, "x", "s", ""},
        {"schema s\ndblocks nfs\ndbidserver\n", nullptr, nullptr, -2, nullptr, "s", ""},
        {"schema s\ndblocks yes\ndbidserver host:2\n", nullptr, "env", -1, "host:2", "s", ""},
        {"schema\ndbpath $HOME/x:y\n", nullptr, nullptr, 0, nullptr, "css3.0", "/home/me/x:y"},
    };
    setenv("HOME", "/home/me", 1);
    for (const Case &c : cases) {
        write_file(path("d"), std::string("#\n") + c.text);
        if (c.dblocks_env) setenv("DBLOCKS", c.dblocks_env, 1); else unsetenv("DBLOCKS");
        if (c.server_env) setenv("DBIDSERVER", c.server_env, 1); else unsetenv("DBIDSERVER");
        Read r{0, new_database()};
        r.result = dbread_descriptor(r.db, path("d").c_str());
        EXPECT_EQ(r.result, 1) << c.text;
        EXPECT_EQ(r.db->dblocks, c.locks) << c.text;
        EXPECT_STREQ(r.db->dbidserver, c.server) << c.text;
        EXPECT_STREQ(r.db->schema_name, c.schema) << c.text;
        EXPECT_STREQ(r.db->dbpath, c.dbpath) << c.text;
    }
}

TEST_F(RegistryTest, OldFormHoldsSchemaAndPathLines) {
    setenv("SCHEMA_DEFAULT", "fallback", 1);
    setenv("DBLOCKS", "nfs", 1);
    setenv("DBIDSERVER", "ids", 1);
    struct Case {
        const char *text;
        int result;
        const char *schema;
        const char *dbpath;
    } cases[] = {
        {"  ledger1.0  \n\n  a:b  \n", 0, "ledger1.0", "a:b"},
        {"ledger1.0", 0, "ledger1.0", ""},
        {"   \nzz\n", 0, "fallback", "zz"},
        {"\n\n\n", dbINVALID, nullptr, nullptr},
        {"", dbINVALID, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        write_file(path("d"), c.text);
        Read r{0, new_database()};
        r.result = dbread_descriptor(r.db, path("d").c_str());
        EXPECT_EQ(r.result, c.result) << c.text;
        if (c.result != 0) continue;
        EXPECT_STREQ(r.db->schema_name, c.schema);
        EXPECT_STREQ(r.db->dbpath, c.dbpath);
        EXPECT_EQ(r.db->dblocks, -2);
        EXPECT_STREQ(r.db->dbidserver, "ids");
    }
    Read missing{0, new_database()};
    EXPECT_EQ(dbread_descriptor(missing.db, path("none").c_str()), dbINVALID);
}

TEST_F(RegistryTest, NfsLocksWithoutAnIdServerEndTheProcess) {
    write_file(path("d"), "#\nschema ledger1.0\ndblocks nfs\n");
    auto r = testsupport::in_child([&] {
        unsetenv("DBIDSERVER");
        Dbptr db;
        LGdbopen(path("d").c_str(), "r", &db);
    });
    EXPECT_FALSE(r.exited && r.exit_code == 0);
    EXPECT_THAT(r.err, HasSubstr("must specify DBIDSERVER environment variable when DBLOCKS is 'nfs'"));
}

TEST_F(RegistryTest, OpeningAgainGivesTheSameDatabase) {
    Dbptr db = create("demo", "r+");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    Dbptr again = dbinvalid();
    EXPECT_EQ(LGdbopen("demo", "r", &again), 0);
    EXPECT_EQ(LGdbopen("./demo", "bad", &again), 0);  // the mode is not compared
    EXPECT_TRUE(same(again, db));
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(same(db, {db.database, dbALL, dbALL, dbALL}));
    EXPECT_EQ(LGdbopen(path("other").c_str(), "w", &again), dbINVALID);
    EXPECT_TRUE(same(again, {dbINVALID, dbALL, dbALL, dbALL}));
    EXPECT_THAT(log(), HasSubstr("Invalid open flag : 'w'\n"));
}

TEST_F(RegistryTest, IdsAreNeverReused) {
    Dbptr first = create("one");
    ASSERT_EQ(close(first), 0);
    Dbptr second = create("two");
    EXPECT_GT(second.database, first.database);
    EXPECT_EQ(Ndatabases, second.database + 1);
    EXPECT_EQ(dbquery(first, QUERY_DATABASE_NAME, nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Bad database id " + std::to_string(first.database) +
                                 " (database was closed) in db pointer\n"));
    EXPECT_EQ(dbquery({Ndatabases + 3, dbALL, dbALL, dbALL}, QUERY_DATABASE_NAME, nullptr),
              dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Bad database id " + std::to_string(Ndatabases + 3) +
                                 " in db pointer\n"));
    int count = 0;
    EXPECT_EQ(dbquery(second, QUERY_DATABASE_COUNT, &count), 0);
    EXPECT_EQ(count, Ndatabases);
    EXPECT_EQ(gettbl(Databases_tbl, first.database), nullptr);
    EXPECT_EQ(getarr(Databases_root, path("two").c_str()),
              gettbl(Databases_tbl, second.database));
}

TEST_F(RegistryTest, APathWithoutDescriptorNamesTheTables) {
    setenv("SCHEMA_DEFAULT", "ledger1.0", 1);
    Dbptr db = open(path("base"));
    Dbptr sample = table(db, "sample");
    ASSERT_EQ(dbaddv(sample, nullptr, "sta", "AAK", nullptr), 0);
    EXPECT_TRUE(is_file(path("base.sample").c_str()));
    unsetenv("SCHEMA_DEFAULT");
    Dbptr none = dbinvalid();
    EXPECT_EQ(LGdbopen(path("other").c_str(), "r", &none), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Can't open schema file 'css3.0'.\n"));
    write_file(path("empty"), "");
    EXPECT_EQ(LGdbopen(path("empty").c_str(), "r", &none), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Couldn't read descriptor file '" + path("empty") + "'\n"));
}

TEST_F(RegistryTest, ClosedTablesAreGoneForTheRestOfTheOpen) {
    Dbptr db = create();
    Dbptr sample = table(db, "sample");
    ASSERT_EQ(dbaddv(sample, nullptr, "sta", "AAK", nullptr), 0);
    EXPECT_EQ(dbfree(sample), 0);
    EXPECT_EQ(dbquery(sample, QUERY_RECORD_COUNT, nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Bad table id " + std::to_string(sample.table) +
                                 " (relation was closed) in db pointer\n"));
    EXPECT_EQ(table(db, "sample").table, dbINVALID);
    Database *d = nullptr;
    dbresolve(db, &d, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_STREQ(static_cast<char *>(gettbl(d->schema->relation_names, sample.table)), "");
}

// The names of a list of strings, joined by blanks.
std::string names(Tbl *list) {
    std::string s;
    for (int i = 0; list != nullptr && i < maxtbl(list); i++)
        s += (i ? " " : "") + std::string(static_cast<char *>(gettbl(list, i)));
    return s;
}

TEST_F(RegistryTest, ClosingATableThatViewsAreBuiltOn) {
    Dbptr db = create();
    Dbptr site = table(db, "site"), wf = table(db, "wfdisc");
    ASSERT_EQ(dbaddv(site, nullptr, "sta", "AAK", "ondate", 2001001, nullptr), 0) << log();
    // A view of site made here; the schema's sitedata and sitemem are built
    // on site and wfdisc.
    Tbl *keys = strtbl(const_cast<char *>("sta"), nullptr);
    Dbptr v = dbsort(site, keys, 0, "bysta");
    freetbl(keys, nullptr);
    ASSERT_EQ(text_of(at(v, 0), "sta"), "AAK") << log();
    EXPECT_EQ(names(dbtables(db, const_cast<char *>("lat"))), "site");
    Database *d = nullptr;
    dbresolve(db, &d, nullptr, nullptr, nullptr, nullptr, nullptr);
    Schema *schema = d->schema;

    // The tables close: their ids are dead, their relations gone.
    clear_log();
    EXPECT_EQ(dbfree(site), 0);
    EXPECT_EQ(dbfree(wf), 0);
    EXPECT_EQ(log(), "");
    for (Dbptr t : {site, wf}) {
        clear_log();
        EXPECT_EQ(dbquery(t, QUERY_RECORD_COUNT, nullptr), dbINVALID);
        EXPECT_THAT(log(), HasSubstr("Bad table id " + std::to_string(t.table) +
                                     " (relation was closed) in db pointer\n"));
        EXPECT_EQ(gettbl(schema->relations, t.table), nullptr);
        EXPECT_STREQ(static_cast<char *>(gettbl(schema->relation_names, t.table)), "");
    }
    EXPECT_EQ(table(db, "site").table, dbINVALID);
    EXPECT_EQ(table(db, "wfdisc").table, dbINVALID);
    EXPECT_EQ(getarr(schema->relation_index, "site"), nullptr);
    EXPECT_EQ(names(dbtables(db, const_cast<char *>("lat"))), "");

    // The views stay, and fail cleanly on the fields of the closed table;
    // their own slots still read.
    Tbl *bases = nullptr;
    EXPECT_EQ(dbquery(v, QUERY_VIEW_TABLES, &bases), 0);
    EXPECT_EQ(names(bases), "site");
    Dbptr r = at(v, 0);
    EXPECT_EQ(dbref(&r)[0].table, site.table);
    const std::string closed =
        "Bad table id " + std::to_string(site.table) + " (relation was closed) in db pointer\n";
    char sta[16] = "";
    clear_log();
    EXPECT_EQ(dbgetv(at(v, 0), nullptr, "sta", sta, nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr(closed));
    // Closing the other views built on them: v still holds site.
    EXPECT_EQ(dbfree(table(db, "sitedata")), 0);
    EXPECT_EQ(dbfree(table(db, "sitemem")), 0);
    clear_log();
    double lat = 0;
    EXPECT_EQ(dbgetv(at(v, 0), nullptr, "lat", &lat, nullptr), dbINVALID);
    EXPECT_THAT(log(), HasSubstr(closed));
}

TEST_F(RegistryTest, TemporaryDatabasesLoseTheirDescriptorAtOnce) {
    setenv("TMPDIR", dir_.path().c_str(), 1);
    Dbptr db = dbtmp("ledger1.0");
    unsetenv("TMPDIR");
    ASSERT_GE(db.database, 0) << log();
    char *name = nullptr;
    ASSERT_EQ(dbquery(db, QUERY_DATABASE_NAME, &name), 0);
    std::string descriptor = name;
    EXPECT_EQ(descriptor.rfind(dir_.path() + "/#dbt", 0), 0u) << descriptor;
    EXPECT_FALSE(is_present(descriptor.c_str()));
    ASSERT_EQ(dbaddv(table(db, "sample"), nullptr, "sta", "AAK", nullptr), 0);
    EXPECT_TRUE(is_file((descriptor + ".sample").c_str()));
    EXPECT_EQ(close(db), 0);
    EXPECT_TRUE(same(dbtmp("nosuch"), dbinvalid()));
}

// Threads open, use and close databases of their own at the same time.
TEST_F(RegistryTest, ThreadsOpenAndCloseDatabasesOfTheirOwn) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 5;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; round++) {
                std::string name = path("t" + std::to_string(t) + "_" + std::to_string(round));
                Dbptr db;
                if (dbcreate(name.c_str(), "ledger1.0", nullptr, nullptr, nullptr) != 0 ||
                    LGdbopen(name.c_str(), "r+", &db) != 0) {
                    failures++;
                    continue;
                }
                Dbptr memo = dblookup(db, nullptr, "memo", nullptr, nullptr);
                for (int i = 0; i < 20; i++)
                    if (dbaddv(memo, nullptr, "nsamp", i, nullptr) != i) failures++;
                if (dbcompile(db, "Relation extra Fields ( sta nsamp ) Transient ;") != 0) failures++;
                if (LGdbclose(db) != 0) failures++;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0) << log();
}

}  // namespace
