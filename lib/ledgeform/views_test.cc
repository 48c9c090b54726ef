// Views made at run time, their slots, bundles, and view files: the
// layout written, reading back with current ids, malformed and short
// files, saved views found again by name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "child.h"
#include "expr_testing.h"

namespace {

using expr_testing::at;
using expr_testing::QuakeTest;
using ledgeform_testing::same;
using ledgeform_testing::show;
using testing::HasSubstr;
using testsupport::read_file;
using testsupport::write_file;

class ViewTest : public QuakeTest {
  protected:
    Dbptr view(const char *name, std::vector<const char *> tables) {
        Tbl *list = newtbl(0);
        for (const char *t : tables) pushtbl(list, const_cast<char *>(t));
        Dbptr v = dbtbl2view(db_, name, list);
        freetbl(list, nullptr);
        return v;
    }

    // Appends a record of slots to a view.
    void add(Dbptr v, std::vector<Dbptr> slots) {
        for (Dbptr &s : slots) s.field = dbALL;
        ASSERT_GE(dbadd(v, reinterpret_cast<char *>(slots.data())), 0) << log();
    }

    // The site and wave view of two records.
    Dbptr site_wave() {
        Dbptr v = view("sw", {"site", "wave"});
        add(v, {at(site_, 0), at(wave_, 1)});
        add(v, {at(site_, 1), at(wave_, 2)});
        return v;
    }

    int relation_count() {
        int n = 0;
        return dbquery(db_, QUERY_TABLE_COUNT, &n);
    }

    std::string abs_dbname() {
        char p[4096];
        abspath(path("quake").c_str(), p);
        return p;
    }

    // Reads a view file from the bytes given.
    int read_text(const std::string &text, Dbptr *result, const char *name = "back") {
        FILE *file = text.empty() ? std::fopen("/dev/null", "r")
                                  : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
        int rc = dbread_view(file, result, name);
        std::fclose(file);
        return rc;
    }

    static std::string bytes(std::vector<Dbptr> slots) {
        return std::string(reinterpret_cast<const char *>(slots.data()), slots.size() * sizeof(Dbptr));
    }

    static std::string text_field(Dbptr record, const char *field) {
        return ledgeform_testing::text_of(record, field);
    }
};

std::string keys(Dbptr v, int code) {
    Tbl *list = nullptr;
    dbquery(v, code, &list);
    std::string s;
    for (int i = 0; list != nullptr && i < maxtbl(list); i++)
        s += (i ? " " : "") + std::string(static_cast<char *>(gettbl(list, i)));
    return s;
}

TEST_F(ViewTest, ViewsOfTables) {
    int before = relation_count();
    Dbptr v = view("sw", {"site", "wave"});
    ASSERT_EQ(v.database, db_.database) << log();
    EXPECT_EQ(v.table, before);
    EXPECT_EQ(v.field, dbALL);
    EXPECT_EQ(v.record, dbALL);
    char *name = nullptr;
    dbquery(v, QUERY_TABLE_NAME, &name);
    EXPECT_STREQ(name, "sw");
    int n = 0;
    EXPECT_EQ(dbquery(v, QUERY_RECORD_SIZE, &n), 32);
    EXPECT_EQ(dbquery(v, QUERY_BASE_COUNT, &n), 2);
    dbquery(v, QUERY_TRANSIENT, &n);
    EXPECT_EQ(n, 1);
    // Room for the largest table's count, at least 10.
    dbquery(v, QUERY_IS_VIEW, &n);
    EXPECT_EQ(n, 10);
    // The keys of the tables, each once.
    EXPECT_EQ(keys(v, QUERY_PRIMARY_KEY), "sta time");
    Dbptr so = view("so", {"site", "origin"});
    EXPECT_EQ(keys(so, QUERY_PRIMARY_KEY), "sta orid");
    EXPECT_EQ(keys(so, QUERY_FOREIGN_KEYS), "sta");
    // Fields of the base tables are read through the slots.
    add(v, {at(site_, 1), at(wave_, 2)});
    Dbptr r = at(v, 0);
    EXPECT_EQ(text_field(r, "site.sta"), "BBB");
    int nsamp = 0;
    EXPECT_EQ(dbgetv(r, nullptr, "nsamp", &nsamp, nullptr), 0);
    EXPECT_EQ(nsamp, 30);
    EXPECT_EQ(log(), "");
}

TEST_F(ViewTest, NamesOfViews) {
    int id = relation_count();
    Dbptr v = view(nullptr, {"site"});
    char *name = nullptr;
    dbquery(v, QUERY_TABLE_NAME, &name);
    EXPECT_EQ(std::string(name), "View" + std::to_string(id));
    Dbptr w = view("", {"site"});
    dbquery(w, QUERY_TABLE_NAME, &name);
    std::string wname = name;
    EXPECT_EQ(wname, "View" + std::to_string(id + 1));
    // A view is never named like a table or view that exists.
    EXPECT_TRUE(same(view("wave", {"site"}), dbinvalid()));
    EXPECT_THAT(log(), HasSubstr("Can't create view wave: the database already has a table of that name"));
    EXPECT_TRUE(same(view(wname.c_str(), {"site"}), dbinvalid()));
    // Once freed, the name is free again; ids are not reused.
    ASSERT_EQ(dbfree(w), 0);
    Dbptr again = view(wname.c_str(), {"site"});
    EXPECT_EQ(again.table, id + 2);
}

TEST_F(ViewTest, RefusedViews) {
    int before = relation_count();
    EXPECT_TRUE(same(view("v", {"site", "nosuch"}), dbinvalid()));
    EXPECT_THAT(log(), HasSubstr("Invalid table name in dbtbl2view: 'nosuch'\n"));
    // Nothing was added, so the name can be used.
    EXPECT_EQ(relation_count(), before);
    EXPECT_EQ(view("v", {"site"}).table, before);
    clear_log();
    Dbptr none = dbtbl2view(ledgeform_testing::DatabaseTest::table(db_, "site"), "x", nullptr);
    EXPECT_EQ(none.table, before + 1);
    clear_log();
    Dbptr bad = db_;
    bad.database = 99;
    Dbptr r = dbtbl2view(bad, "x", nullptr);
    EXPECT_EQ(r.table, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("can't create view without specifying database.\n"));
}

TEST_F(ViewTest, BundleRanges) {
    int first = 0, last = 0;
    Dbptr b = wave_;
    b.field = 7;
    b.record = 3;
    dbget_range(b, &first, &last);
    EXPECT_EQ(first, 3);
    EXPECT_EQ(last, 7);
    b.record = dbALL;
    dbget_range(b, &first, &last);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 3);
    b.record = dbSCRATCH;
    dbget_range(b, &first, &last);
    EXPECT_EQ(first, -504);
    EXPECT_EQ(last, -503);
    b.record = dbNULL;
    dbget_range(b, &first, &last);
    EXPECT_EQ(first, -505);
    EXPECT_EQ(last, -504);
    b.record = 5;
    b.field = -1;
    dbget_range(b, &first, &last);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 3);
    // A table that cannot be counted ends at 0.
    b.table = 99;
    dbget_range(b, &first, &last);
    EXPECT_EQ(last, 0);
}

TEST_F(ViewTest, SlotsOfPointers) {
    Dbptr v = site_wave();
    EXPECT_EQ(dbsize(site_), 1);
    EXPECT_EQ(dbsize(dbinvalid()), 1);
    EXPECT_EQ(dbsize(v), 2);
    EXPECT_EQ(dbsize(at(v, 1)), 2);
    // A base table's pointer stands for itself.
    Dbptr p = at(site_, 1);
    p.field = 0;
    Dbptr *slots = dbref(&p);
    EXPECT_EQ(slots, &p);
    EXPECT_EQ(p.field, dbALL);
    // A view record's slots are the pointers it holds.
    Dbptr r = at(v, 1);
    slots = dbref(&r);
    ASSERT_NE(slots, &r);
    EXPECT_TRUE(same(slots[0], at(site_, 1))) << show(slots[0]);
    Dbptr w = at(wave_, 2);
    w.field = dbALL;
    EXPECT_TRUE(same(slots[1], w)) << show(slots[1]);
    // The whole view: every record's slots in a row.
    Dbptr all = v;
    slots = dbref(&all);
    EXPECT_TRUE(same(slots[2], at(site_, 1)));
}

TEST(AddTbl, AppendsCopiesOfNewStrings) {
    Tbl *to = newtbl(0);
    pushtbl(to, strdup("a"));
    Tbl *from = strtbl(const_cast<char *>("b"), const_cast<char *>("a"), const_cast<char *>("b"),
                       const_cast<char *>("c"), nullptr);
    addtbl(to, from);
    ASSERT_EQ(maxtbl(to), 3);
    EXPECT_STREQ(static_cast<char *>(gettbl(to, 1)), "b");
    EXPECT_STREQ(static_cast<char *>(gettbl(to, 2)), "c");
    EXPECT_NE(gettbl(to, 1), gettbl(from, 0));
    freetbl(from, nullptr);
    freetbl(to, free);
}

TEST_F(ViewTest, ViewFileLayout) {
    Dbptr v = site_wave();
    char *buf = nullptr;
    size_t len = 0;
    FILE *file = open_memstream(&buf, &len);
    ASSERT_EQ(dbwrite_view(v, file), 0);
    std::fclose(file);
    std::string text(buf, len);
    std::free(buf);
    Dbptr s0 = at(site_, 0), s1 = at(site_, 1), w1 = at(wave_, 1), w2 = at(wave_, 2);
    s0.field = s1.field = w1.field = w2.field = dbALL;
    std::string expected = "#View sw\n#Database " + abs_dbname() + " " +
                           std::to_string(db_.database) + "\n#Table site " +
                           std::to_string(site_.table) + "\n#Table wave " +
                           std::to_string(wave_.table) + "\n#\n" + bytes({s0, w1, s1, w2});
    EXPECT_EQ(text, expected);
    // A base table is written as a view of one slot per record.
    file = open_memstream(&buf, &len);
    ASSERT_EQ(dbwrite_view(site_, file), 0);
    std::fclose(file);
    text.assign(buf, len);
    std::free(buf);
    EXPECT_EQ(text, "#View View0\n#Database " + abs_dbname() + " " + std::to_string(db_.database) +
                        "\n#Table site " + std::to_string(site_.table) + "\n#\n" + bytes({s0, s1}));
    EXPECT_EQ(dbwrite_view(dbinvalid(), stdout), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Can't write view -- invalid db pointer.\n"));
}

TEST_F(ViewTest, ReadingTakesTheCurrentIds) {
    // A file written elsewhere: other ids for the database and the tables.
    Dbptr old0 = {7, 99, dbALL, 2}, old1 = {7, 98, dbALL, 0};
    std::string text = "#View other\n#Database " + abs_dbname() +
                       " 7\n#Table wave 99\n#Table site 98\n#\n" + bytes({old0, old1});
    Dbptr v = dbinvalid();
    ASSERT_EQ(read_text(text, &v), 0) << log();
    char *name = nullptr;
    dbquery(v, QUERY_TABLE_NAME, &name);
    EXPECT_STREQ(name, "back");
    int count = 0;
    EXPECT_EQ(dbquery(v, QUERY_RECORD_COUNT, &count), 1);
    Dbptr r = at(v, 0);
    Dbptr *slots = dbref(&r);
    Dbptr w = at(wave_, 2), s = at(site_, 0);
    w.field = s.field = dbALL;
    EXPECT_TRUE(same(slots[0], w)) << show(slots[0]);
    EXPECT_TRUE(same(slots[1], s)) << show(slots[1]);
    EXPECT_EQ(text_field(r, "site.sta"), "AAK");
    // A base table written and read back: one slot per record.
    char *buf = nullptr;
    size_t len = 0;
    FILE *file = open_memstream(&buf, &len);
    ASSERT_EQ(dbwrite_view(wave_, file), 0);
    std::fclose(file);
    Dbptr back = dbinvalid();
    ASSERT_EQ(read_text(std::string(buf, len), &back, nullptr), 0) << log();
    std::free(buf);
    EXPECT_EQ(dbsize(back), 1);
    EXPECT_EQ(dbquery(back, QUERY_RECORD_COUNT, &count), 3);
    EXPECT_EQ(text_field(at(back, 2), "sta"), "BBB");
    // An unnamed view takes the relation count at the time of reading.
    dbquery(back, QUERY_TABLE_NAME, &name);
    EXPECT_EQ(std::string(name), "View" + std::to_string(back.table));
}

TEST_F(ViewTest, FileCutInsideItsLastRecordKeepsTheWholeRecords) {
    std::string two = "#View x\n#Database " + abs_dbname() + " 0\n#Table site 0\n#Table wave 0\n#\n";
    std::string one = "#View x\n#Database " + abs_dbname() + " 0\n#Table site 0\n#\n";
    Dbptr s = at(site_, 1), w = at(wave_, 2);
    // The records stop inside one more record, after some of its slots or
    // inside a slot, whatever the number of tables: the view holds the
    // whole records before it.
    const struct {
        std::string text;
        int tables, count;
    } cases[] = {
        {two + bytes({s, w}) + bytes({at(site_, 0)}), 2, 1},
        {two + bytes({s, w}) + bytes({at(site_, 0)}) + "tail", 2, 1},
        {two + bytes({s}), 2, 0},
        {two + bytes({s, w}) + "tail", 2, 1},
        {two + "t", 2, 0},
        {one + bytes({s}) + "tail", 1, 1},
        {one + "t", 1, 0},
    };
    w.field = s.field = dbALL;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.size());
        clear_log();
        int before = relation_count();
        Dbptr v = dbinvalid();
        EXPECT_EQ(read_text(c.text, &v, "cut"), dbINVALID);
        EXPECT_THAT(log(), HasSubstr("Extra garbage at end of input view\n"));
        EXPECT_TRUE(same(v, Dbptr{db_.database, before, dbALL, dbALL})) << show(v);
        char *name = nullptr;
        dbquery(v, QUERY_TABLE_NAME, &name);
        EXPECT_STREQ(name, "cut");
        EXPECT_EQ(dbsize(v), c.tables);
        int count = -1;
        EXPECT_EQ(dbquery(v, QUERY_RECORD_COUNT, &count), c.count);
        if (c.count == 1) {
            Dbptr r = at(v, 0);
            Dbptr *slots = dbref(&r);
            EXPECT_TRUE(same(slots[0], s)) << show(slots[0]);
            if (c.tables == 2) {
                EXPECT_TRUE(same(slots[1], w)) << show(slots[1]);
            }
            EXPECT_EQ(text_field(r, "site.sta"), text_field(s, "sta"));
        }
        EXPECT_EQ(dbfree(v), 0) << log();
    }
    // A view of whole records reads cleanly; an empty one too.
    Dbptr v = dbinvalid();
    EXPECT_EQ(read_text(two + bytes({s, w}), &v, "whole"), 0);
    EXPECT_EQ(read_text(two, &v, "empty"), 0);
    int count = -1;
    EXPECT_EQ(dbquery(v, QUERY_RECORD_COUNT, &count), 0);
}

TEST_F(ViewTest, MalformedHeaders) {
    std::string db = "#Database " + abs_dbname() + " 0\n";
    const struct {
        std::string text, message;
    } cases[] = {
        {"", "Can't read input view\n"},
        {"#Vew x\n", "input does not appear to be a view: \n  '#Vew x\n'\n"},
        {"#View x\n", "Can't read 2nd line from input view\n"},
        {"#View x\n#Database\n", "Can't read database name from view input:\n  '#Database\n'\n"},
        {"#View x\n" + db + "#Table site\n#\n", "Can't read table name -- bad view format\n"},
        {"#View x\n" + db + "#\n", "No tables in view.\n"},
        {"#View x\n" + db, "No tables in view.\n"},
        {"#View x\n" + db + "#Table nosuch 3\n#\n", "Invalid table name in dbtbl2view: 'nosuch'"},
        {"#View x\n" + db + "#Table " + std::string(2000, 's') + " 1\n#\n",
         "Can't read table name -- bad view format\n"},
        {"#View " + std::string(2000, 'v') + "\n" + db + "#Table site 0\n#\n",
         "input does not appear to be a view"},
    };
    int before = relation_count();
    for (const auto &c : cases) {
        clear_log();
        Dbptr v = at(site_, 0);
        EXPECT_EQ(read_text(c.text, &v), dbINVALID) << c.text;
        EXPECT_TRUE(same(v, dbinvalid()));
        EXPECT_THAT(log(), HasSubstr(c.message)) << c.text;
    }
    EXPECT_EQ(relation_count(), before);
    // The name given must be free.
    clear_log();
    Dbptr v;
    EXPECT_EQ(read_text("#View x\n" + db + "#Table site 0\n#\n", &v, "wave"), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("already has a table of that name"));
}

TEST_F(ViewTest, ViewOlderThanItsTablesIsRefusedExceptFromTheStandardInput) {
    Dbptr v = site_wave();
    std::string file = path("sw.view");
    FILE *out = std::fopen(file.c_str(), "w");
    ASSERT_EQ(dbwrite_view(v, out), 0);
    std::fclose(out);
    struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(file.c_str(), old), 0);
    FILE *in = std::fopen(file.c_str(), "r");
    Dbptr back;
    EXPECT_EQ(dbread_view(in, &back, "again"), dbINVALID);
    std::fclose(in);
    char *site_path = nullptr;
    dbquery(site_, QUERY_TABLE_PATH, &site_path);
    EXPECT_THAT(log(), HasSubstr(std::string("Table site (") + site_path +
                                 ") has changed since the view was created.\n"));
    // From the standard input the times are not compared.
    std::string text = read_file(file);
    auto child = testsupport::run_in_child(
        [&] {
            Dbptr r;
            int rc = dbread_view(stdin, &r, "again");
            int count = -1;
            dbquery(r, QUERY_RECORD_COUNT, &count);
            std::printf("%d %d", rc, count);
        },
        text);
    EXPECT_EQ(child.out, "0 2") << child.err;
}

TEST_F(ViewTest, SavedViewsAreFoundByName) {
    Dbptr v = site_wave();
    ASSERT_EQ(dbsave_view(v), 0) << log();
    std::string saved = read_file(path("quake.sw"));
    EXPECT_EQ(saved.substr(0, 9), "#View sw\n");
    // After the database is opened again, a lookup of the name reads it.
    ASSERT_EQ(close(db_), 0);
    Dbptr db = open(path("quake"));
    Dbptr again = table(db, "sw");
    ASSERT_GE(again.table, 0) << log();
    int count = 0;
    EXPECT_EQ(dbquery(again, QUERY_RECORD_COUNT, &count), 2);
    EXPECT_EQ(ledgeform_testing::text_of(at(again, 1), "site.sta"), "BBB");
    int nsamp = 0;
    dbgetv(at(again, 1), nullptr, "nsamp", &nsamp, nullptr);
    EXPECT_EQ(nsamp, 30);
}

TEST_F(ViewTest, OnlyViewsAreSavedAndNeverOverATable) {
    char *site_path = nullptr;
    dbquery(site_, QUERY_TABLE_PATH, &site_path);
    std::string before = read_file(site_path);
    // A table is not a view: nothing is said and nothing written.
    EXPECT_EQ(dbsave_view(site_), dbINVALID);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(read_file(site_path), before);
    // A view the schema declares keeps its records in its table file.
    Dbptr stored = table(db_, "stored");
    Dbptr s = at(site_, 0), o = at(origin_, 0);
    s.field = o.field = dbALL;
    // The record: two slots and the terminator.
    std::string record = bytes({s, o}) + "\n";
    ASSERT_EQ(dbadd(stored, record.c_str()), 0) << log();
    char *stored_path = nullptr;
    dbquery(stored, QUERY_TABLE_PATH, &stored_path);
    std::string records = read_file(stored_path);
    EXPECT_EQ(dbsave_view(stored), dbINVALID);
    EXPECT_THAT(log(), HasSubstr("that is the file of a table"));
    EXPECT_EQ(read_file(stored_path), records);
    EXPECT_EQ(dbsave_view(dbinvalid()), dbINVALID);
}

TEST_F(ViewTest, AViewFileThatNamesItselfEnds) {
    write_file(path("quake.loop"), "#View loop\n#Database " + abs_dbname() + " 0\n#Table loop 0\n#\n");
    Dbptr loop = table(db_, "loop");
    EXPECT_LT(loop.table, 0);
    EXPECT_THAT(log(), HasSubstr("saved views nested more than 8 deep\n"));
}

}  // namespace
