// Keys and indexes: jig layouts and their failures, key images of every
// type, the comparisons, index names, the indexes a request is served by,
// index files (current, stale, malformed), range searches, and indexes kept
// current as records are appended, changed, marked, deleted and cut.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::at;
using ledgeform_testing::count_of;
using ledgeform_testing::DatabaseTest;
using testing::HasSubstr;

Tbl *keylist(std::vector<const char *> keys) {
    Tbl *t = newtbl(0);
    for (const char *k : keys) pushtbl(t, const_cast<char *>(k));
    return t;
}

struct Keys {
    explicit Keys(std::vector<const char *> k) : tbl(keylist(k)) {}
    ~Keys() { freetbl(tbl, nullptr); }
    Tbl *tbl;
};

double real_at(const char *p) {
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}
int int_at(const char *p) {
    int32_t i;
    std::memcpy(&i, p, sizeof i);
    return i;
}

std::vector<int> records_of(Dbindex *index) {
    std::vector<int> r;
    for (int i = 0; i < maxtbl(index->entries); i++) r.push_back(dbrecord(index, i));
    return r;
}

class KeyTest : public DatabaseTest {
  protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        db_ = create();
        // sta 0, chan 1, nsamp 2, time 3, big 4, endtime 5.
        ASSERT_EQ(dbcompile(db_,
                            "Attribute big Integer ( 12 ) Format ( \"%12d\" ) Null ( \"-1\" ) ;"
                            "Relation seg Fields ( sta chan nsamp time big endtime ) ;"
                            "Relation span Fields ( ondate offdate nsamp ) ;"),
                  0)
            << log();
        seg_ = table(db_, "seg");
        span_ = table(db_, "span");
        wf_ = table(db_, "wfdisc");
    }

    int seg(const char *sta, const char *chan, double time, double endtime, int big = 0,
            int nsamp = 0) {
        return dbaddv(seg_, nullptr, "sta", sta, "chan", chan, "time", time, "endtime", endtime,
                      "big", big, "nsamp", nsamp, nullptr);
    }

    Dbindex *index_of(Dbptr t, std::vector<const char *> keys, int expect = 0) {
        Keys k(keys);
        Dbindex *x = nullptr;
        EXPECT_EQ(dbget_index(t, k.tbl, &x), expect) << log();
        return x;
    }

    int nindexes(Dbptr t) {
        Table *table = nullptr;
        t.field = t.record = dbALL;
        dbresolve(t, nullptr, nullptr, &table, nullptr, nullptr, nullptr);
        return table != nullptr ? cntarr(table->indexes) : -1;
    }

    Dbptr db_{}, seg_{}, span_{}, wf_{};
};

TEST_F(KeyTest, ExpressionsAreTextsWithOtherCharacters) {
    struct {
        const char *key;
        int expected;
    } cases[] = {{"sta", 0}, {"wfdisc.sta", 0}, {"time_2", 0}, {"time+1", 1}, {"time::endtime", 1}, {"sta ", 1}};
    for (auto &c : cases) EXPECT_EQ(dbis_expression(const_cast<char *>(c.key)), c.expected) << c.key;
}

TEST_F(KeyTest, IndexNamesNameFieldsRangesAndExpressions) {
    char name[256] = "";
    Keys k({"sta", "time::endtime"});
    EXPECT_EQ(dbindex_name(seg_, k.tbl, name), 0);
    EXPECT_STREQ(name, "#0#3:5");
    char name2[256] = "";
    Keys e({"sta", "time+1"});
    EXPECT_EQ(dbindex_name(seg_, e.tbl, name2), 1);
    EXPECT_STREQ(name2, "#0#e");
}

TEST_F(KeyTest, JigLayoutAlignsValuesAndRanges) {
    Keys k({"sta", "time::endtime", "nsamp"});
    Jig *jig = nullptr;
    ASSERT_EQ(dbmake_jig(seg_, k.tbl, &jig), 0) << log();
    auto comp = [&](int i) { return static_cast<Key_component *>(gettbl(jig->components, i)); };
    auto elem = [&](int i) { return static_cast<Key_element *>(gettbl(jig->elements, i)); };
    ASSERT_EQ(maxtbl(jig->components), 4);
    ASSERT_EQ(maxtbl(jig->elements), 3);
    EXPECT_EQ(comp(0)->offset, 4);  // sta: 6 + 1 bytes, unaligned
    EXPECT_EQ(comp(0)->size, 7);
    EXPECT_EQ(comp(1)->offset, 16);  // time at the next multiple of 8
    EXPECT_EQ(comp(2)->offset, 24);
    EXPECT_EQ(comp(2)->is_end, 1);
    EXPECT_EQ(elem(1)->kind, -999);
    EXPECT_EQ(elem(1)->offset, 16);
    EXPECT_EQ(comp(3)->offset, 40);  // after the envelope
    EXPECT_EQ(elem(2)->kind, 2);
    EXPECT_EQ(jig->size, 44);
    EXPECT_EQ(jig->envelope, 1);
    dbfree_jig(jig);
}

TEST_F(KeyTest, BadKeysFailWithTheirMessages) {
    struct {
        std::vector<const char *> keys;
        const char *message;
    } cases[] = {
        {{"nosuch"}, "Can't find key field 'nosuch' in table\n"},
        {{"time +"}, "Can't compile key field expression 'time +'\n"},
        {{"substr(sta,1,1)"}, "String expressions (like 'substr(sta,1,1)') are not allowed in indexes\n"},
        {{"nsamp::time"}, "Illegal range: 'nsamp' (components aren't both integer)\n"},
        {{"time::sta"}, "Illegal range: 'time' (components don't have same type)\n"},
        {{"sta::chan"}, "Illegal range expression: 'sta' (bad type)\n"},
    };
    for (auto &c : cases) {
        clear_log();
        Keys k(c.keys);
        Jig *jig = nullptr;
        EXPECT_EQ(dbmake_jig(seg_, k.tbl, &jig), dbINVALID) << c.keys[0];
        EXPECT_NE(jig, nullptr);
        EXPECT_THAT(log(), HasSubstr(c.message)) << c.keys[0];
        dbfree_jig(jig);
        Dbindex *x = reinterpret_cast<Dbindex *>(1);
        EXPECT_EQ(dbget_index(seg_, k.tbl, &x), dbINVALID);
        EXPECT_EQ(x, nullptr);
    }
}

TEST_F(KeyTest, YeardaysAndOffdatesKeyAsEpochTimes) {
    struct {
        int ondate, offdate;
        double start, end;
    } cases[] = {
        {2001001, 2001001, 978307200.0, 978393599.0},
        {2000366, 2000366, 978220800.0, 978307199.0},   // the last day of a leap year
        {2001365, 2001365, 1009756800.0, 1009843199.0},  // the last day of a year
        {2001001, -1, 978307200.0, INFINITY},
    };
    Keys k({"ondate::offdate"});
    Jig *jig = nullptr;
    ASSERT_EQ(dbmake_jig(span_, k.tbl, &jig), 0) << log();
    for (auto &c : cases) {
        int r = dbaddv(span_, nullptr, "ondate", c.ondate, "offdate", c.offdate, nullptr);
        ASSERT_GE(r, 0) << log();
        std::vector<char> key(static_cast<std::size_t>(jig->size));
        dbmake_key(at(span_, r), jig, key.data());
        EXPECT_EQ(int_at(key.data()), r);
        EXPECT_EQ(real_at(key.data() + 8), c.start) << c.ondate;
        EXPECT_EQ(real_at(key.data() + 16), c.end) << c.offdate;
        EXPECT_EQ(real_at(key.data() + 24), c.end) << "envelope";
    }
    dbfree_jig(jig);
}

TEST_F(KeyTest, OffdatesEndAtTheLastSecondOfTheYear) {
    // A site closed on the last day of a year does not overlap one opened
    // on the first day of the next: both are appended.
    Dbptr site = table(db_, "site");
    struct {
        int ondate, offdate;
    } rows[] = {{2000001, 2000366}, {2001001, 2001365}, {2002001, -1}};
    for (auto &r : rows) {
        Dbptr scratch = at(site, dbSCRATCH);
        dbputv(scratch, nullptr, "sta", "A", "ondate", r.ondate, "offdate", r.offdate, nullptr);
        EXPECT_GE(dbaddchk(site, nullptr), 0) << r.ondate << log();
    }
    EXPECT_EQ(count_of(site), 3);
}

TEST_F(KeyTest, IntegersSortWithoutOverflow) {
    seg("a", "z", 0, 1, 2000000000);
    seg("a", "z", 0, 1, -2000000000);
    seg("a", "z", 0, 1, 5);
    Dbindex *x = index_of(seg_, {"big"});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(records_of(x), (std::vector<int>{1, 2, 0}));
}

TEST_F(KeyTest, WideStringKeysAreSearched) {
    std::string remark(3000, 'x');
    ASSERT_EQ(dbcompile(db_, "Relation note Fields ( remark sta ) ;"), 0) << log();
    Dbptr remark_t = table(db_, "note");
    for (char c : {'c', 'a', 'b'}) {
        std::string r = remark + c;
        ASSERT_GE(dbaddv(remark_t, nullptr, "remark", r.c_str(), "sta", "s", nullptr), 0) << log();
    }
    Keys k({"remark"});
    Dbindex *x = index_of(remark_t, {"remark"});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(records_of(x), (std::vector<int>{1, 2, 0}));
    Jig *jig = nullptr;
    ASSERT_EQ(dbmake_jig(remark_t, k.tbl, &jig), 0);
    EXPECT_GT(jig->size, 3000);
    int first = -1, last = -1;
    EXPECT_EQ(dbsearch(at(remark_t, 2), jig, x, 0, &first, &last), 1);
    EXPECT_EQ(first, 1);
    dbfree_jig(jig);
}

TEST_F(KeyTest, PrefixIndexesServeShorterRequests) {
    seg("b", "z", 10, 20);
    seg("a", "y", 30, 40);
    Dbindex *stachan = index_of(seg_, {"sta", "chan"});
    ASSERT_NE(stachan, nullptr);
    EXPECT_STREQ(stachan->name, "#0#1");
    EXPECT_EQ(index_of(seg_, {"sta"}), stachan);
    EXPECT_EQ(nindexes(seg_), 1);
    Dbindex *longer = index_of(seg_, {"sta", "chan", "time"});
    EXPECT_NE(longer, stachan);
    EXPECT_EQ(nindexes(seg_), 2);
    // An index on time::endtime serves ondate::offdate.
    Dbindex *range = index_of(seg_, {"time::endtime"});
    EXPECT_EQ(index_of(seg_, {"ondate::offdate"}), range);
    EXPECT_EQ(nindexes(seg_), 3);
}

TEST_F(KeyTest, RangeSearchFindsLongEarlyRanges) {
    seg("a", "z", 0, 1000);   // long and early
    seg("a", "z", 10, 20);
    seg("a", "z", 30, 40);
    seg("a", "z", 500, 510);
    seg("b", "z", 1, 5000);   // another station restarts the envelope
    Dbindex *x = index_of(seg_, {"sta", "time::endtime"});
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(dbcompile(db_, "Relation probe Fields ( sta time ) ;"), 0) << log();
    Dbptr probe = table(db_, "probe");
    int r = dbaddv(probe, nullptr, "sta", "a", "time", 600.0, nullptr);
    Keys pk({"sta", "time"});
    Jig *jig = nullptr;
    ASSERT_EQ(dbmake_jig(probe, pk.tbl, &jig), 0) << log();
    int first = -1, last = -1;
    int n = dbsearch(at(probe, r), jig, x, 0, &first, &last);
    ASSERT_GE(n, 1);
    std::vector<int> overlapping;
    std::vector<char> key(static_cast<std::size_t>(jig->size));
    dbmake_key(at(probe, r), jig, key.data());
    Jig *pair[2] = {jig, x->jig};
    for (int i = first; i <= last; i++)
        if (dbcmp(key.data(), x->entries->base.cp + i * x->jig->size, pair) == 0)
            overlapping.push_back(dbrecord(x, i));
    EXPECT_EQ(overlapping, (std::vector<int>{0}));
    dbfree_jig(jig);
}

TEST_F(KeyTest, EnvelopesHoldTheLargestEndOfTheirRun) {
    seg("a", "z", 0, 100);
    seg("a", "z", 10, 20);
    seg("b", "z", 5, 6);
    seg("b", "z", 7, 8);
    Dbindex *x = index_of(seg_, {"sta", "time::endtime"});
    ASSERT_NE(x, nullptr);
    std::vector<double> env;
    int off = static_cast<Key_element *>(gettbl(x->jig->elements, 1))->offset;
    for (int i = 0; i < 4; i++) env.push_back(real_at(x->entries->base.cp + i * x->jig->size + off + 16));
    EXPECT_EQ(env, (std::vector<double>{100, 100, 6, 8}));
    // An append keeps them so.
    seg("a", "z", 5, 200);
    env.clear();
    for (int i = 0; i < 5; i++) env.push_back(real_at(x->entries->base.cp + i * x->jig->size + off + 16));
    EXPECT_EQ(records_of(x), (std::vector<int>{0, 4, 1, 2, 3}));
    EXPECT_EQ(env, (std::vector<double>{100, 200, 200, 6, 8}));
}

TEST_F(KeyTest, KeysArePrinted) {
    seg("a", "z", 10, 20, 7);
    Keys k({"sta", "big", "time", "time::endtime"});
    Jig *jig = nullptr;
    ASSERT_EQ(dbmake_jig(seg_, k.tbl, &jig), 0) << log();
    std::vector<char> key(static_cast<std::size_t>(jig->size));
    dbmake_key(at(seg_, 0), jig, key.data());
    testing::internal::CaptureStdout();
    dbshow_key(jig, key.data());
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Record #    0\n"
              "   sta        :\ta              \n"
              "   big        :\t         7\n"
              "   time       :\t      10.0\n"
              "   time::endtime :\t      10.0:      20.0:      20.0\n");
    dbfree_jig(jig);
}

// Index upkeep: the index always holds the records the table holds.
class UpkeepTest : public KeyTest {
  protected:
    void expect_current(Dbindex *x) {
        // A fresh index of the same keys holds the same entries.
        Keys k({"sta", "time::endtime"});
        Dbindex *fresh = dbcreate_index(seg_, k.tbl, const_cast<char *>("fresh"));
        ASSERT_NE(fresh, nullptr);
        std::vector<std::pair<int, std::string>> a, b;
        auto entries = [](Dbindex *i, std::vector<std::pair<int, std::string>> *out) {
            for (int e = 0; e < maxtbl(i->entries); e++) {
                const char *p = i->entries->base.cp + e * i->jig->size;
                out->push_back({int_at(p), std::string(p + 4, p + 4 + 7 + 5 + 16)});
            }
            std::sort(out->begin(), out->end());
        };
        entries(x, &a);
        entries(fresh, &b);
        EXPECT_EQ(a, b);
        EXPECT_EQ(x->nrecords, count_of(seg_));
        dbfree_index(fresh);
    }
};

TEST_F(UpkeepTest, DeletesRenumberEntries) {
    for (int i = 0; i < 6; i++) seg(i % 2 ? "a" : "b", "z", i, i + 1);
    Dbindex *x = index_of(seg_, {"sta", "time::endtime"});
    EXPECT_EQ(records_of(x), (std::vector<int>{1, 3, 5, 0, 2, 4}));
    ASSERT_EQ(dbdelete(at(seg_, 2)), 0);
    EXPECT_EQ(records_of(x), (std::vector<int>{1, 2, 4, 0, 3}));
    expect_current(x);
}

TEST_F(UpkeepTest, AppendsPutsMarksAndCutsKeepIndexesCurrent) {
    for (int i = 0; i < 6; i++) seg(i % 2 ? "a" : "b", "z", i, i + 1);
    Dbindex *x = index_of(seg_, {"sta", "time::endtime"});
    seg("c", "z", 0, 1);
    expect_current(x);
    dbaddnull(seg_);  // the null record stays out until the index catches up
    seg("a", "z", 50, 60);
    EXPECT_EQ(x->nrecords, 9);
    ASSERT_EQ(dbputv(at(seg_, 1), nullptr, "sta", "zz", "time", 99.0, nullptr), 0) << log();
    expect_current(x);
    ASSERT_EQ(dbput(dblookup(at(seg_, 3), nullptr, nullptr, "sta", nullptr), "q"), 0);
    expect_current(x);
    ASSERT_EQ(dbmark(at(seg_, 0)), 0);
    EXPECT_EQ(maxtbl(x->entries), 8);
    ASSERT_EQ(dbcrunch(seg_), 0) << log();
    Dbindex *after = index_of(seg_, {"sta", "time::endtime"});
    expect_current(after);
    ASSERT_EQ(dbtruncate(seg_, 3), 0);
    after = index_of(seg_, {"sta", "time::endtime"});
    expect_current(after);
    EXPECT_EQ(maxtbl(after->entries), 3);
}

TEST_F(UpkeepTest, UpdateEntersRecordsTheIndexMissed) {
    seg("a", "z", 1, 2);
    Dbindex *x = index_of(seg_, {"sta", "time::endtime"});
    x->nrecords = 0;
    clrtbl(x->entries, nullptr);
    seg("b", "z", 1, 2);  // enters both
    EXPECT_EQ(records_of(x), (std::vector<int>{0, 1}));
    EXPECT_EQ(dbupdate_index(x), 0);
    EXPECT_EQ(x->nrecords, 2);
}

TEST_F(UpkeepTest, FlushDropsEveryIndex) {
    seg("a", "z", 1, 2);
    index_of(seg_, {"sta"});
    index_of(seg_, {"time"});
    EXPECT_EQ(nindexes(seg_), 2);
    EXPECT_EQ(dbflush_indexes(seg_), 0);
    EXPECT_EQ(nindexes(seg_), 0);
    EXPECT_EQ(dbflush_indexes(dbinvalid()), dbINVALID);
}

// Index files, written as the outside writer of them does.
class IndexFileTest : public KeyTest {
  protected:
    std::string table_path() {
        char *p = nullptr;
        dbquery(wf_, QUERY_TABLE_PATH, &p);
        return p;
    }

    // Writes an index file of wfdisc by sta (field 0) beside its table.
    std::string write_index(const char *suffix, int unique = 0) {
        Keys k({"sta"});
        Jig *jig = nullptr;
        EXPECT_EQ(dbmake_jig(wf_, k.tbl, &jig), 0);
        Dbindex tmp{};
        tmp.jig = jig;
        tmp.entries = inittbl(0, 10, 1, nullptr, jig->size);
        std::vector<char> key(static_cast<std::size_t>(jig->size));
        for (int r = 0; r < count_of(wf_); r++) {
            dbmake_key(at(wf_, r), jig, key.data());
            pushtbl(tmp.entries, key.data());
        }
        quicksort(tmp.entries->base.cp, maxtbl(tmp.entries), jig->size,
                  [](void *a, void *b, void *p) {
                      return dbcmp_sort(static_cast<char *>(a), static_cast<char *>(b),
                                        static_cast<Dbindex *>(p));
                  },
                  &tmp);
        std::string path = table_path() + "#0" + suffix;
        std::string header = "#Index wfdisc#0 " + std::to_string(unique) + " 7\nsta";
        EXPECT_EQ(savetbl(tmp.entries, ledgeform_testing::cs(path), ledgeform_testing::cs(header)), 0);
        freetbl(tmp.entries, nullptr);
        dbfree_jig(jig);
        return path;
    }

    void set_time(const std::string &path, time_t when) {
        struct timeval tv[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimes(path.c_str(), tv), 0);
    }

    void fill() {
        int wfid = 1;
        for (const char *s : {"c", "a", "b"})
            ASSERT_GE(dbaddv(wf_, nullptr, "sta", s, "chan", "z", "time", 1.0, "endtime", 2.0,
                             "wfid", wfid++, nullptr),
                      0)
                << log();
    }
};

TEST_F(IndexFileTest, CurrentFilesAreReadAndLeftUntouched) {
    fill();
    std::string path = write_index(".x", 1);
    set_time(table_path(), 1700000000);
    set_time(path, 1700000000);
    struct stat before;
    stat(path.c_str(), &before);
    Dbindex *x = index_of(wf_, {"sta"}, 1);
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(x->name, "#0");
    EXPECT_EQ(x->path, path);
    EXPECT_EQ(x->unique, 1);
    EXPECT_EQ(records_of(x), (std::vector<int>{1, 2, 0}));
    // Upkeep changes the index in memory only.
    ASSERT_GE(dbaddv(wf_, nullptr, "sta", "a", "chan", "y", "time", 3.0, "endtime", 4.0, "wfid", 9,
                     nullptr),
              0);
    EXPECT_EQ(records_of(x).size(), 4u);
    EXPECT_EQ(x->unique, 0);
    struct stat after;
    stat(path.c_str(), &after);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
    // Flushing an index read from a file removes the file.
    EXPECT_EQ(dbflush_indexes(wf_), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(IndexFileTest, StaleFilesAreRemoved) {
    fill();
    std::string path = write_index(".x");
    set_time(table_path(), 1700000000);
    set_time(path, 1699999999);
    Dbindex *x = index_of(wf_, {"sta"}, 0);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->path, nullptr);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(IndexFileTest, MalformedFilesArePassedOver) {
    fill();
    std::string dir = table_path();
    struct {
        std::string header;
        int entry_size;
    } cases[] = {{"#Index wfdisc#0 0 0\nnosuch", 12}, {"no header", 12}, {"#Index wfdisc#0 0 0\nsta", 5}};
    int n = 0;
    for (auto &c : cases) {
        Tbl *t = inittbl(0, 4, 1, nullptr, c.entry_size);
        std::vector<char> e(static_cast<std::size_t>(c.entry_size), 0);
        int32_t bad = 77;
        std::memcpy(e.data(), &bad, 4);
        pushtbl(t, e.data());
        std::string path = dir + "#0.bad" + std::to_string(n++);
        ASSERT_EQ(savetbl(t, ledgeform_testing::cs(path), ledgeform_testing::cs(c.header)), 0);
        freetbl(t, nullptr);
        set_time(path, 1700000000);
    }
    // And one whose entry names a record the table doesn't have.
    std::string path = write_index(".z");
    {
        char *s = nullptr;
        Tbl *t = readtbl(ledgeform_testing::cs(path), &s, 1);
        ASSERT_NE(t, nullptr);
        int32_t bad = 99;
        std::memcpy(gettbl(t, 0), &bad, 4);
        freetbl(t, nullptr);
    }
    set_time(path, 1700000000);
    set_time(table_path(), 1700000000);
    Dbindex *x = index_of(wf_, {"sta"}, 0);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->path, nullptr);
    EXPECT_EQ(records_of(x), (std::vector<int>{1, 2, 0}));
}

TEST_F(KeyTest, JoinKeysComeFromForeignThenPrimaryKeys) {
    struct {
        const char *t1, *t2;
        std::vector<std::string> k1, k2;
    } cases[] = {
        {"site", "wfdisc", {"sta", "ondate::offdate"}, {"sta", "time::endtime"}},
        {"wfdisc", "site", {"sta", "time::endtime"}, {"sta", "ondate::offdate"}},
        {"lastid", "lastid", {"keyname"}, {"keyname"}},
    };
    for (auto &c : cases) {
        Tbl *k1 = nullptr, *k2 = nullptr;
        ASSERT_EQ(dbfind_join_keys(table(db_, c.t1), table(db_, c.t2), &k1, &k2), 0) << c.t1;
        std::vector<std::string> a, b;
        for (int i = 0; i < maxtbl(k1); i++) a.push_back(static_cast<char *>(gettbl(k1, i)));
        for (int i = 0; i < maxtbl(k2); i++) b.push_back(static_cast<char *>(gettbl(k2, i)));
        EXPECT_EQ(a, c.k1) << c.t1;
        EXPECT_EQ(b, c.k2) << c.t1;
        freetbl(k1, nullptr);
        freetbl(k2, nullptr);
    }
    Tbl *k1 = reinterpret_cast<Tbl *>(1), *k2 = nullptr;
    EXPECT_EQ(dbfind_join_keys(table(db_, "lastid"), table(db_, "site"), &k1, &k2), 1);
    EXPECT_EQ(k1, nullptr);
    EXPECT_EQ(dbfind_join_keys(dbinvalid(), table(db_, "site"), &k1, &k2), dbINVALID);
}

TEST_F(KeyTest, MatchKeysPairsRangesLast) {
    Keys a({"time::endtime", "sta", "chan"});
    Keys b({"sta", "time", "other"});
    Tbl *oa = newtbl(0), *ob = newtbl(0);
    EXPECT_EQ(match_keys(a.tbl, 3, b.tbl, 3, oa, ob), 2);
    EXPECT_STREQ(static_cast<char *>(gettbl(oa, 0)), "sta");
    EXPECT_STREQ(static_cast<char *>(gettbl(oa, 1)), "time::endtime");
    EXPECT_STREQ(static_cast<char *>(gettbl(ob, 1)), "time");
    freetbl(oa, nullptr);
    freetbl(ob, nullptr);
    EXPECT_STREQ(equiv_field(const_cast<char *>("time")), "ondate");
    EXPECT_STREQ(equiv_field(const_cast<char *>("ondate::offdate")), "time::endtime");
    EXPECT_STREQ(equiv_field(const_cast<char *>("sta")), "\b");
}

TEST_F(KeyTest, RecordAndKeyOfEntries) {
    seg("b", "z", 1, 2);
    seg("a", "z", 1, 2);
    Dbindex *x = index_of(seg_, {"sta"});
    EXPECT_EQ(dbrecord(x, 0), 1);
    EXPECT_STREQ(dbkey(x, 0), "a");
    EXPECT_EQ(dbrecord(x, 2), dbINVALID);
    EXPECT_EQ(dbkey(x, -1), nullptr);
}

}  // namespace
