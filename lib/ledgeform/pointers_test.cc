// Database pointers: resolution, lookup by name and the questions dbquery
// answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::at;
using ledgeform_testing::count_of;
using ledgeform_testing::DatabaseTest;
using ledgeform_testing::same;
using ledgeform_testing::show;
using testing::HasSubstr;

class PointersTest : public DatabaseTest {
  protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        db_ = create();
        site_ = table(db_, "site");
        for (const char *sta : {"AAK", "BBK", "CCK"})
            ASSERT_EQ(dbaddv(site_, nullptr, "sta", sta, "ondate", 2001001, nullptr) >= 0, true);
        sta_ = dblookup(site_, nullptr, nullptr, "sta", nullptr);
    }
    Dbptr db_{}, site_{}, sta_{};
};

TEST_F(PointersTest, ResolutionLevels) {
    Database *d = nullptr;
    Relation *r = nullptr;
    Table *t = nullptr;
    Field *f = nullptr;
    char *data = nullptr;
    int size = -1;
    EXPECT_EQ(dbresolve(db_, &d, &r, &t, &f, &data, &size), RESOLVED_DATABASE);
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(dbresolve(site_, &d, &r, &t, &f, &data, &size), RESOLVED_TABLE);
    EXPECT_STREQ(r->name, "site");
    EXPECT_EQ(size, 3 * r->size);
    EXPECT_EQ(dbresolve(at(site_, 1), &d, &r, &t, &f, &data, &size), RESOLVED_RECORD);
    EXPECT_EQ(std::string(data, 3), "BBK");
    EXPECT_EQ(dbresolve(at(sta_, 2), &d, &r, &t, &f, &data, &size), RESOLVED_FIELD);
    EXPECT_EQ(std::string(data, size), "CCK   ");
    EXPECT_EQ(dbresolve(sta_, &d, &r, &t, &f, &data, &size), RESOLVED_FIELD);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 6);
}

TEST_F(PointersTest, BadPointersAreNamed) {
    struct Case {
        Dbptr p;
        std::string message;
    } cases[] = {
        {{-7, dbALL, dbALL, dbALL}, "Bad database id -7 in db pointer\n"},
        {{db_.database, 999, dbALL, dbALL}, "Bad table id 999 in db pointer\n"},
        {at(site_, 3), "Bad record id 3 in db pointer\n"},
        {at(site_, -3), "Bad record id -3 in db pointer\n"},
        {{db_.database, site_.table, 99, 0}, "Bad field id 99 in db pointer\n"},
    };
    for (const Case &c : cases) {
        clear_log();
        EXPECT_EQ(dbresolve(c.p, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), dbINVALID);
        EXPECT_THAT(log(), HasSubstr(c.message));
    }
}

TEST_F(PointersTest, ViewFieldsResolveThroughTheirSlots) {
    Dbptr wfdisc = table(db_, "wfdisc");
    ASSERT_EQ(dbaddv(wfdisc, nullptr, "sta", "BBK", "chan", "BHZ", "time", 1.0, "endtime", 2.0,
                     nullptr),
              0);
    Dbptr view = table(db_, "sitedata");
    ASSERT_EQ(dbputv(at(view, dbSCRATCH), nullptr, "site", at(site_, 1), "wfdisc", at(wfdisc, 0),
                     nullptr),
              0);
    ASSERT_EQ(dbadd(view, nullptr), 0);
    Dbptr chan = dblookup(at(view, 0), nullptr, nullptr, "chan", nullptr);
    Relation *r = nullptr;
    char *data = nullptr;
    EXPECT_EQ(dbresolve(chan, nullptr, &r, nullptr, nullptr, &data, nullptr), RESOLVED_FIELD);
    EXPECT_STREQ(r->name, "wfdisc");
    EXPECT_EQ(std::string(data, 3), "BHZ");
    char *holder = nullptr;
    EXPECT_EQ(dbquery(chan, QUERY_FIELD_TABLE, &holder), 0);
    EXPECT_STREQ(holder, "wfdisc");
    // "site.sta" and "wfdisc.sta" name the two base fields.
    EXPECT_EQ(ledgeform_testing::text_of(at(view, 0), "site.sta"), "BBK");
    Dbptr w = dblookup(view, nullptr, nullptr, "wfdisc.sta", nullptr);
    Dbptr s = dblookup(view, nullptr, nullptr, "site.sta", nullptr);
    EXPECT_NE(w.field, s.field);
    EXPECT_GE(w.field, 0);
}

TEST_F(PointersTest, LookupByNames) {
    Dbptr p = dblookup(db_, nullptr, "site", "lat", "dbNULL");
    EXPECT_TRUE(same(p, {db_.database, site_.table, 3, dbNULL})) << show(p);
    EXPECT_EQ(dblookup(db_, nullptr, "site", nullptr, "dbALL").record, dbALL);
    EXPECT_EQ(dblookup(db_, nullptr, "site", nullptr, "dbSCRATCH").record, dbSCRATCH);
    EXPECT_EQ(dblookup(db_, nullptr, "site", nullptr, "dbINVALID").record, dbINVALID);
    EXPECT_EQ(dblookup(db_, nullptr, "site", "dbALL", nullptr).field, dbALL);
    // A record by key: blanks around the key do not matter.
    EXPECT_EQ(dblookup(db_, nullptr, "site", "sta", "  CCK ").record, 2);
    EXPECT_EQ(dblookup(db_, nullptr, "site", "sta", "DDK").record, dbINVALID);
    EXPECT_EQ(dblookup(db_, nullptr, "site", nullptr, "CCK").record, dbINVALID);
    // A key in a field that lives in a base table of a view.
    Dbptr q = dblookup(db_, nullptr, "nosuch", "sta", nullptr);
    EXPECT_EQ(q.table, dbINVALID);
    EXPECT_EQ(q.field, dbINVALID);
    EXPECT_EQ(dblookup(db_, nullptr, "site", "nosuch", nullptr).field, dbINVALID);
    EXPECT_EQ(dblookup(db_, nullptr, "site", "wfdisc.sta", nullptr).field, dbINVALID);
    EXPECT_EQ(dblookup(db_, nullptr, "site", "site.sta", nullptr).field, 0);
    // By path: the database is opened when it is not open yet.
    Dbptr other = create("other");
    Dbptr byname = dblookup(dbinvalid(), path("other").c_str(), "sample", nullptr, nullptr);
    EXPECT_EQ(byname.database, other.database);
    EXPECT_TRUE(same(dblookup(dbinvalid(), nullptr, "site", nullptr, nullptr), dbinvalid()));
    // Without names the start pointer must name a relation and a data field.
    EXPECT_EQ(dblookup(db_, nullptr, nullptr, nullptr, nullptr).table, dbINVALID);
    Dbptr start = {db_.database, site_.table, 40, 0};
    EXPECT_EQ(dblookup(start, nullptr, nullptr, nullptr, nullptr).field, dbINVALID);
}

// Every code answers into its own type; the slot is sized and filled with
// a pattern so that a write of the wrong width shows.
union Answer {
    int i;
    char *s;
    void *p;
    unsigned char bytes[16];
};

Answer ask(Dbptr p, int code, int *rc) {
    Answer a;
    std::memset(&a, 0x5a, sizeof a);
    *rc = dbquery(p, code, &a);
    return a;
}

TEST_F(PointersTest, QueriesAnswerInTheirTypes) {
    Dbptr lat = dblookup(site_, nullptr, nullptr, "lat", nullptr);
    struct Text {
        Dbptr p;
        int code;
        const char *text;
    } texts[] = {
        {lat, QUERY_NULL_VALUE, "-999.0000"},
        {db_, QUERY_DATABASE_SCHEMA, "ledger1.0"},
        {db_, QUERY_LOCK_MODE, "none"},
        {db_, QUERY_ID_SERVER, ""},
        {db_, QUERY_TIMEDATE, "lddate"},
        {lat, QUERY_FIELD_TABLE, "site"},
        {lat, QUERY_FORMAT, "%9.4f"},
        {lat, QUERY_RANGE, "lat >= -90.0 && lat <= 90.0"},
        {db_, QUERY_SCHEMA_DEFAULT, "css3.0"},
        {lat, QUERY_UNITS, "Degrees"},
        {lat, QUERY_FIELD_FORMAT, "%9.4f"},
        {db_, QUERY_TYPE, "ledger1.0"},
        {lat, QUERY_FIELD_NAME, "lat"},
        {site_, QUERY_TABLE_NAME, "site"},
        {db_, QUERY_SCHEMA_NAME, "ledger1.0"},
        {db_, QUERY_NAME, nullptr},
        {site_, QUERY_NAME, "site"},
        {lat, QUERY_NAME, "lat"},
        {site_, QUERY_TABLE_DESCRIPTION, "station locations"},
        {db_, QUERY_SCHEMA_DESCRIPTION, "Test schema of the database library"},
        {site_, QUERY_DESCRIPTION, "station locations"},
        {db_, QUERY_DATABASE_DESCRIPTION, ""},
        {db_, QUERY_DBPATH, ""},
        {table(db_, "wfdisc"), QUERY_DEFINES, "wfid"},
    };
    for (const Text &t : texts) {
        int rc = -1;
        Answer a = ask(t.p, t.code, &rc);
        EXPECT_EQ(rc, 0) << t.code;
        std::string want = t.text ? t.text : path("demo");
        EXPECT_STREQ(a.s, want.c_str()) << t.code;
    }
    struct Number {
        Dbptr p;
        int code;
        int value;
        int rc;  // the result: 0, or the value for codes that return it
    } numbers[] = {
        {site_, QUERY_TERMINATOR, '\n', 0},
        {site_, QUERY_SEPARATOR, ' ', 0},
        {site_, QUERY_TABLE_LOCKABLE, 1, 0},
        {db_, QUERY_DATABASE_WRITABLE, 1, 0},
        {site_, QUERY_TRANSIENT, 0, 0},
        {site_, QUERY_IS_VIEW, 0, 0},
        {site_, QUERY_TABLE_WRITABLE, 1, 0},
        {lat, QUERY_FIELD_OFFSET, 25, 0},
        {site_, QUERY_RECORD_SIZE, 53, 53},
        {site_, QUERY_BASE_COUNT, 1, 1},
        {lat, QUERY_FIELD_TYPE, dbREAL, dbREAL},
        {lat, QUERY_TYPE, dbREAL, dbREAL},
        {lat, QUERY_FIELD_SIZE, 9, 9},
        {site_, QUERY_TABLE_SIZE, 159, 159},
        {at(site_, 0), QUERY_SIZE, 53, 53},
        {at(lat, 0), QUERY_SIZE, 9, 9},
        {site_, QUERY_SIZE, 159, 159},
        {site_, QUERY_HAS_RECORDS, 1, 1},
        {site_, QUERY_RECORD_COUNT, 3, 3},
        {site_, QUERY_FIELD_COUNT, 5, 5},
        {db_, QUERY_TABLE_COUNT, 11, 11},
        {site_, QUERY_COUNT, 11, 11},
        {lat, QUERY_COUNT, 5, 5},
    };
    for (const Number &n : numbers) {
        int rc = -1;
        Answer a = ask(n.p, n.code, &rc);
        EXPECT_EQ(rc, n.rc) << n.code;
        EXPECT_EQ(a.i, n.value) << n.code;
        for (std::size_t k = sizeof(int); k < sizeof a; k++)
            EXPECT_EQ(a.bytes[k], 0x5a) << n.code << " wrote beyond an int";
    }
    int rc = -1;
    Tbl *keys = static_cast<Tbl *>(ask(site_, QUERY_PRIMARY_KEY, &rc).p);
    ASSERT_EQ(maxtbl(keys), 2);
    EXPECT_STREQ(static_cast<char *>(gettbl(keys, 1)), "ondate::offdate");
    Tbl *names = static_cast<Tbl *>(ask(site_, QUERY_FIELD_NAMES, &rc).p);
    EXPECT_EQ(maxtbl(names), 5);
    EXPECT_EQ(maxtbl(static_cast<Tbl *>(ask(lat, QUERY_ATTRIBUTE_RELATIONS, &rc).p)), 1);
    char *data = static_cast<char *>(ask(site_, QUERY_TABLE_DATA, &rc).p);
    EXPECT_EQ(std::string(data, 3), "AAK");
    Arr *files = static_cast<Arr *>(ask(db_, QUERY_TABLE_FILES, &rc).p);
    EXPECT_STREQ(static_cast<char *>(getarr(files, "site")), path("demo.site").c_str());
    EXPECT_EQ(getarr(files, "wfdisc"), nullptr);
    EXPECT_NE(ask(db_, QUERY_LAST_IDS, &rc).p, nullptr);
    EXPECT_EQ(maxtbl(static_cast<Tbl *>(ask(db_, QUERY_ATTRIBUTE_NAMES, &rc).p)), 22);
    EXPECT_STREQ(static_cast<char *>(ask(site_, QUERY_TABLE_PATH, &rc).s), path("demo.site").c_str());
    EXPECT_STREQ(static_cast<char *>(ask(site_, QUERY_TABLE_DIR, &rc).s), dir_.path().c_str());
}

TEST_F(PointersTest, FailedQueriesLeaveTheirPresetAnswer) {
    int rc = 0;
    // Text codes read "**bad dbquery**", others 0 or a null pointer, in
    // their own width.
    Answer a = ask(site_, QUERY_NULL_VALUE, &rc);  // a field code at a table
    EXPECT_EQ(rc, dbINVALID);
    EXPECT_STREQ(a.s, "**bad dbquery**");
    Dbptr bad = {db_.database, 999, dbALL, dbALL};
    a = ask(bad, QUERY_TERMINATOR, &rc);
    EXPECT_EQ(rc, dbINVALID);
    EXPECT_EQ(a.i, 0);
    EXPECT_EQ(a.bytes[sizeof(int)], 0x5a);
    a = ask({-7, dbALL, dbALL, dbALL}, QUERY_TABLE_FILES, &rc);
    EXPECT_EQ(rc, dbINVALID);
    EXPECT_EQ(a.p, nullptr);
    a = ask(bad, QUERY_PRIMARY_KEY, &rc);
    EXPECT_EQ(a.p, nullptr);
    a = ask(site_, QUERY_TYPE, &rc);  // neither a field nor a database
    EXPECT_EQ(rc, dbINVALID);
    EXPECT_EQ(a.bytes[0], 0x5a);
    a = ask(db_, QUERY_VIEW_TABLES, &rc);
    EXPECT_EQ(rc, dbINVALID);
    clear_log();
    EXPECT_EQ(dbquery(site_, -400, &a), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("dbquery doesn't recognize code -400\n"));
    EXPECT_EQ(dbquery(site_, -200, &a), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("dbquery doesn't support code -200\n"));
}

TEST_F(PointersTest, RecordCountOfATableThatCannotBeMappedFails) {
    ASSERT_EQ(mkdir(path("demo.sample").c_str(), 0775), 0);
    int count = -1;
    EXPECT_EQ(dbquery(table(db_, "sample"), QUERY_RECORD_COUNT, &count), dbINVALID);
    EXPECT_EQ(count, 0);
    EXPECT_THAT(log(), HasSubstr(path("demo.sample") + " is not a plain file.\n"));
}

TEST_F(PointersTest, LockableFollowsTheLockModeAndTheFileSystem) {
    Database *d = nullptr;
    dbresolve(db_, &d, nullptr, nullptr, nullptr, nullptr, nullptr);
    int lockable = -1;
    d->dblocks = -1;
    EXPECT_EQ(dbquery(site_, QUERY_TABLE_LOCKABLE, &lockable), 0);
    EXPECT_EQ(lockable, 1);
    ledgeform::set_nfs_probe([](char *) { return 1; });
    EXPECT_EQ(dbquery(site_, QUERY_TABLE_LOCKABLE, &lockable), 0);
    EXPECT_EQ(lockable, 0);
    d->dblocks = -2;
    EXPECT_EQ(dbquery(site_, QUERY_TABLE_LOCKABLE, &lockable), 0);
    EXPECT_EQ(lockable, 1);
    char *mode = nullptr;
    EXPECT_EQ(dbquery(db_, QUERY_LOCK_MODE, &mode), 0);
    EXPECT_STREQ(mode, "nfs");
    d->dblocks = 5;
    EXPECT_EQ(dbquery(site_, QUERY_TABLE_LOCKABLE, &lockable), dbINVALID);
    EXPECT_EQ(dbquery(db_, QUERY_LOCK_MODE, &mode), 0);
    EXPECT_STREQ(mode, "*invalid*");
    d->dblocks = 0;
}

TEST_F(PointersTest, FieldTypesAndTheTablesOfAnAttribute) {
    EXPECT_EQ(dbfield_type(db_, "sta"), dbSTRING);
    EXPECT_EQ(dbfield_type(site_, "site.lat"), dbREAL);
    EXPECT_EQ(dbfield_type(db_, "nosuch.lat"), dbINVALID);
    EXPECT_EQ(dbfield_type(db_, "zz"), dbINVALID);
    EXPECT_EQ(dbfield_type(db_, "gain"), 138);
    Tbl *tables = dbtables(db_, "lat");
    ASSERT_EQ(maxtbl(tables), 1);
    EXPECT_STREQ(static_cast<char *>(gettbl(tables, 0)), "site");
    EXPECT_EQ(maxtbl(dbtables(db_, "sta")), 8);
    EXPECT_EQ(dbtables(db_, "zz"), _db_nulltbl);
    EXPECT_EQ(dbtables(dbinvalid(), "sta"), _db_nulltbl);
    EXPECT_EQ(maxtbl(_db_nulltbl), 0);
}

}  // namespace
