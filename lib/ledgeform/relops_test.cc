// Sorting into views and in place, selection, joins (inner, outer, with
// ranges), matching one record with a kept hook, and grouping.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ledgeform_testing.h"

namespace {

using ledgeform_testing::at;
using ledgeform_testing::count_of;
using ledgeform_testing::DatabaseTest;
using ledgeform_testing::same;
using ledgeform_testing::show;
using ledgeform_testing::text_of;
using testing::HasSubstr;

struct Keys {
    explicit Keys(std::vector<const char *> k) : tbl(newtbl(0)) {
        for (const char *s : k) pushtbl(tbl, const_cast<char *>(s));
    }
    ~Keys() { freetbl(tbl, nullptr); }
    Tbl *tbl;
};

std::vector<int> numbers(Tbl *list) {
    std::vector<int> v;
    for (int i = 0; list != nullptr && i < maxtbl(list); i++)
        v.push_back(static_cast<int>(reinterpret_cast<intptr_t>(gettbl(list, i))));
    return v;
}

class RelopsTest : public DatabaseTest {
  protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        db_ = create();
        ASSERT_EQ(dbcompile(db_,
                            "Relation rows Fields ( sta nsamp ) ;"
                            "Relation pair Fields ( sta nsamp ) Primary ( sta nsamp ) ;"
                            "Relation spans Fields ( sta ondate offdate ) ;"),
                  0)
            << log();
        rows_ = table(db_, "rows");
        pair_ = table(db_, "pair");
        spans_ = table(db_, "spans");
        site_ = table(db_, "site");
        wf_ = table(db_, "wfdisc");
    }

    int pair(const char *sta, int nsamp) {
        return dbaddv(pair_, nullptr, "sta", sta, "nsamp", nsamp, nullptr);
    }
    int row(const char *sta, int nsamp) {
        return dbaddv(rows_, nullptr, "sta", sta, "nsamp", nsamp, nullptr);
    }

    // The base record of slot `slot` of each view record.
    static std::vector<int> slots(Dbptr view, int slot = 0) {
        std::vector<int> v;
        int n = count_of(view);
        for (int i = 0; i < n; i++) {
            Dbptr r = at(view, i);
            Dbptr *s = dbref(&r);
            v.push_back(s[slot].record);
        }
        return v;
    }

    // The texts of a field over the records of a view.
    static std::vector<std::string> texts(Dbptr view, const char *field) {
        std::vector<std::string> v;
        for (int i = 0; i < count_of(view); i++) v.push_back(text_of(at(view, i), field));
        return v;
    }

    Dbptr db_{}, rows_{}, pair_{}, spans_{}, site_{}, wf_{};
};

TEST_F(RelopsTest, SortOrdersAndReverses) {
    for (auto [s, n] : std::vector<std::pair<const char *, int>>{{"c", 1}, {"a", 2}, {"b", 3}, {"a", 1}})
        row(s, n);
    Keys k({"sta", "nsamp"});
    Dbptr v = dbsort(rows_, k.tbl, 0, "sorted");
    ASSERT_GE(v.table, 0) << log();
    EXPECT_EQ(slots(v), (std::vector<int>{3, 1, 2, 0}));
    EXPECT_EQ(texts(v, "sta"), (std::vector<std::string>{"a", "a", "b", "c"}));
    Dbptr r = dbsort(rows_, k.tbl, 1, "reversed");
    EXPECT_EQ(slots(r), (std::vector<int>{0, 2, 1, 3}));
    dbfree(v);
    dbfree(r);
}

TEST_F(RelopsTest, UniqueSortKeepsOneRecordPerKey) {
    for (auto [s, n] : std::vector<std::pair<const char *, int>>{{"b", 1}, {"a", 2}, {"b", 3}, {"a", 4}})
        row(s, n);
    Keys k({"sta"});
    Dbptr v2 = dbsort(rows_, k.tbl, 2, nullptr);
    Dbindex *x = nullptr;
    ASSERT_EQ(dbget_index(rows_, k.tbl, &x), 0);
    // The first visited of each run, in index order.
    EXPECT_EQ(slots(v2), (std::vector<int>{dbrecord(x, 0), dbrecord(x, 2)}));
    Dbptr v3 = dbsort(rows_, k.tbl, 3, nullptr);
    EXPECT_EQ(slots(v3), (std::vector<int>{dbrecord(x, 3), dbrecord(x, 1)}));
    EXPECT_EQ(texts(v3, "sta"), (std::vector<std::string>{"b", "a"}));
}

TEST_F(RelopsTest, UniqueSortComparesOnlyTheRequestedKeys) {
    for (auto [s, n] : std::vector<std::pair<const char *, int>>{
             {"b", 1}, {"a", 2}, {"b", 3}, {"a", 4}, {"c", 5}})
        row(s, n);
    Keys k({"sta"}), kn({"sta", "nsamp"});
    // Keep-first and keep-last: one record per sta, whether the index by sta
    // is a fresh one or the index by sta, nsamp that a sort built before.
    const struct {
        int flags;
        std::vector<std::string> stas;
        std::vector<int> shared;  // the records kept with the longer index
    } cases[] = {
        {2, {"a", "b", "c"}, {1, 0, 4}},
        {3, {"c", "b", "a"}, {4, 2, 3}},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(dbflush_indexes(rows_), 0);
        Dbptr fresh = dbsort(rows_, k.tbl, c.flags, nullptr);
        EXPECT_EQ(texts(fresh, "sta"), c.stas);
        ASSERT_EQ(dbflush_indexes(rows_), 0);
        Dbptr both = dbsort(rows_, kn.tbl, 0, nullptr);
        EXPECT_EQ(count_of(both), 5);
        Dbindex *x = nullptr;
        ASSERT_EQ(dbget_index(rows_, k.tbl, &x), 0);
        EXPECT_STREQ(x->name, "#0#1");
        Dbptr shared = dbsort(rows_, k.tbl, c.flags, nullptr);
        EXPECT_EQ(texts(shared, "sta"), c.stas);
        EXPECT_EQ(slots(shared), c.shared);
        dbfree(fresh);
        dbfree(both);
        dbfree(shared);
    }
}

TEST_F(RelopsTest, UniqueSortKeepsRangesWithOtherEnvelopes) {
    for (auto [t, e] : std::vector<std::pair<double, double>>{{1, 10}, {1, 5}, {2, 3}}) {
        ASSERT_GE(dbaddv(spans_, nullptr, "sta", "x", "ondate", 2001001 + static_cast<int>(t),
                         "offdate", 2001001 + static_cast<int>(e), nullptr),
                  0)
            << log();
    }
    Keys k({"sta", "ondate::offdate"});
    // Equal starts, but the two range images differ in their ends.
    Dbptr v = dbsort(spans_, k.tbl, 2, nullptr);
    EXPECT_EQ(count_of(v), 3);
}

TEST_F(RelopsTest, SortOfAnEmptyTableIsEmpty) {
    Keys k({"sta"});
    Dbptr v = dbsort(rows_, k.tbl, 3, nullptr);
    ASSERT_GE(v.table, 0) << log();
    EXPECT_EQ(count_of(v), 0);
}

TEST_F(RelopsTest, SortThatCannotMakeItsViewFailsOnce) {
    for (int i = 0; i < 20; i++) row("a", i);
    Keys k({"nsamp"});
    Dbptr v = dbsort(rows_, k.tbl, 0, "site");
    EXPECT_EQ(v.database, dbINVALID);
    std::string text = log();
    EXPECT_THAT(text, HasSubstr("already has a table of that name"));
    EXPECT_THAT(text, HasSubstr("dbsort: can't make the view of the sorted records\n"));
    EXPECT_EQ(text.find("dbsort:"), text.rfind("dbsort:"));
    Keys bad({"nosuch"});
    EXPECT_EQ(dbsort(rows_, bad.tbl, 0, nullptr).database, dbINVALID);
}

TEST_F(RelopsTest, SortInPlaceMovesRecordsOnce) {
    std::vector<int> values = {5, 3, 9, 1, 7, 2, 8};
    for (int n : values) row(("s" + std::to_string(n)).c_str(), n);
    Keys k({"nsamp"});
    ASSERT_EQ(dbsort_in_place(rows_, k.tbl), 0) << log();
    std::vector<int> got;
    for (int i = 0; i < count_of(rows_); i++) {
        int n = 0;
        char sta[16];
        dbgetv(at(rows_, i), nullptr, "nsamp", &n, "sta", sta, nullptr);
        got.push_back(n);
        EXPECT_EQ(std::string(sta), "s" + std::to_string(n));
    }
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 5, 7, 8, 9}));
    Table *t = nullptr;
    dbresolve(rows_, nullptr, nullptr, &t, nullptr, nullptr, nullptr);
    EXPECT_EQ(cntarr(t->indexes), 0);  // dropped after moving
    // In order already: nothing moves and the index stays.
    ASSERT_EQ(dbsort_in_place(rows_, k.tbl), 0);
    EXPECT_EQ(cntarr(t->indexes), 1);
    Keys bad({"nosuch"});
    EXPECT_EQ(dbsort_in_place(rows_, bad.tbl), -1);
}

TEST_F(RelopsTest, SubsetSelectsByExpression) {
    for (int i = 0; i < 10; i++) row(i % 2 ? "odd" : "even", i);
    Dbptr v = dbsubset(rows_, "nsamp > 3 && sta =~ /o.*/", "odd");
    ASSERT_GE(v.table, 0) << log();
    EXPECT_EQ(slots(v), (std::vector<int>{5, 7, 9}));
    EXPECT_EQ(dbsubset(rows_, "nsamp >", nullptr).database, dbINVALID);
    // A failed evaluation discards the view.
    int before = 0;
    dbquery(db_, QUERY_TABLE_COUNT, &before);
    EXPECT_EQ(dbsubset(rows_, "nosuch(1)", nullptr).database, dbINVALID);
}

TEST_F(RelopsTest, JoinPairsRecordsByKeys) {
    pair("a", 1);
    pair("b", 2);
    pair("c", 3);
    ASSERT_EQ(dbcompile(db_, "Relation other Fields ( sta wfid ) Primary ( sta wfid ) ;"), 0);
    Dbptr other = table(db_, "other");
    for (auto [s, id] : std::vector<std::pair<const char *, int>>{{"c", 1}, {"a", 2}, {"c", 3}})
        dbaddv(other, nullptr, "sta", s, "wfid", id, nullptr);
    Tbl *k1 = nullptr, *k2 = nullptr, *unmatched = nullptr;
    Dbptr j = dbjoin(pair_, other, &k1, &k2, 0, &unmatched, "joined");
    ASSERT_GE(j.table, 0) << log();
    ASSERT_NE(k1, nullptr);
    EXPECT_STREQ(static_cast<char *>(gettbl(k1, 0)), "sta");
    EXPECT_EQ(slots(j, 0), (std::vector<int>{0, 2, 2}));
    EXPECT_EQ(slots(j, 1), (std::vector<int>{1, 0, 2}));
    EXPECT_EQ(numbers(unmatched), (std::vector<int>{1}));
    std::vector<int> ids;
    for (int i = 0; i < count_of(j); i++) {
        int id = 0;
        dbgetv(at(j, i), nullptr, "wfid", &id, nullptr);
        ids.push_back(id);
    }
    EXPECT_EQ(ids, (std::vector<int>{2, 1, 3}));
    freetbl(unmatched, nullptr);
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
    // Outer: the unmatched record keeps its row with the null partner.
    Dbptr o = dbjoin(pair_, other, nullptr, nullptr, 1, &unmatched, nullptr);
    ASSERT_GE(o.table, 0) << log();
    EXPECT_EQ(slots(o, 0), (std::vector<int>{0, 1, 2, 2}));
    Dbptr r = at(o, 1);
    Dbptr *s = dbref(&r);
    Dbptr null_slot = other;
    null_slot.field = dbALL;
    null_slot.record = dbNULL;
    EXPECT_TRUE(same(s[1], null_slot)) << show(s[1]);
    EXPECT_EQ(numbers(unmatched), (std::vector<int>{1}));
    freetbl(unmatched, nullptr);
}

TEST_F(RelopsTest, JoinWithoutKeysFails) {
    Dbptr lastid = table(db_, "lastid");
    Dbptr j = dbjoin(lastid, site_, nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(j.database, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("No keys join tables lastid and site\n"));
}

TEST_F(RelopsTest, RangeJoinsMatchByTrueOverlap) {
    // Sites with ondate::offdate; segments with time::endtime.
    dbaddv(site_, nullptr, "sta", "A", "ondate", 2001001, "offdate", 2001010, nullptr);
    dbaddv(site_, nullptr, "sta", "A", "ondate", 2001011, "offdate", -1, nullptr);
    dbaddv(site_, nullptr, "sta", "B", "ondate", 2001001, "offdate", 2001002, nullptr);
    double day = 86400.0, t0 = 978307200.0;
    int wfid = 1;
    auto seg = [&](const char *sta, double t, double e) {
        ASSERT_GE(dbaddv(wf_, nullptr, "sta", sta, "chan", "z", "time", t, "endtime", e, "wfid",
                         wfid++, nullptr),
                  0)
            << log();
    };
    seg("A", t0 + 2 * day, t0 + 3 * day);     // in the first A
    seg("A", t0 + 100 * day, t0 + 101 * day); // in the open A
    seg("B", t0 + 50 * day, t0 + 51 * day);   // after B closed
    Tbl *k1 = nullptr, *k2 = nullptr, *unmatched = nullptr;
    Dbptr j = dbjoin(site_, wf_, &k1, &k2, 1, &unmatched, nullptr);
    ASSERT_GE(j.table, 0) << log();
    EXPECT_EQ(maxtbl(k1), 2);
    EXPECT_EQ(slots(j, 0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(slots(j, 1), (std::vector<int>{0, 1, dbNULL}));
    EXPECT_EQ(numbers(unmatched), (std::vector<int>{2}));
    freetbl(unmatched, nullptr);
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);

    // dbmatches lists only truly overlapping records.
    Hook *hook = nullptr;
    Tbl *list = nullptr;
    EXPECT_EQ(dbmatches(at(wf_, 1), site_, nullptr, nullptr, &hook, &list), 1) << log();
    EXPECT_EQ(numbers(list), (std::vector<int>{1}));
    freetbl(list, nullptr);
    EXPECT_EQ(dbmatches(at(wf_, 2), site_, nullptr, nullptr, &hook, &list), 0);
    freetbl(list, nullptr);
    free_hook(&hook);
}

TEST_F(RelopsTest, MatchesFollowTheTableAndItsIndexes) {
    pair("a", 1);
    pair("b", 2);
    ASSERT_EQ(dbcompile(db_, "Relation probe Fields ( sta chan ) Primary ( sta ) ;"), 0);
    Dbptr probe = table(db_, "probe");
    dbaddv(probe, nullptr, "sta", "b", "chan", "x", nullptr);
    Hook *hook = nullptr;
    Tbl *list = nullptr;
    Tbl *k1 = nullptr, *k2 = nullptr;
    EXPECT_EQ(dbmatches(at(probe, 0), pair_, &k1, &k2, &hook, &list), 1) << log();
    EXPECT_EQ(numbers(list), (std::vector<int>{1}));
    freetbl(list, nullptr);
    ASSERT_NE(hook, nullptr);
    // Appends, deletes and changes of the key are seen.
    pair("b", 3);
    EXPECT_EQ(dbmatches(at(probe, 0), pair_, &k1, &k2, &hook, &list), 2);
    freetbl(list, nullptr);
    ASSERT_EQ(dbdelete(at(pair_, 0)), 0);
    EXPECT_EQ(dbmatches(at(probe, 0), pair_, &k1, &k2, &hook, &list), 2);
    std::vector<int> found = numbers(list);
    std::sort(found.begin(), found.end());  // equal keys come in no set order
    EXPECT_EQ(found, (std::vector<int>{0, 1}));
    freetbl(list, nullptr);
    ASSERT_EQ(dbputv(at(pair_, 0), nullptr, "sta", "q", nullptr), 0);
    EXPECT_EQ(dbmatches(at(probe, 0), pair_, &k1, &k2, &hook, &list), 1);
    EXPECT_EQ(numbers(list), (std::vector<int>{1}));
    freetbl(list, nullptr);
    // Dropped indexes: the hook makes a new state rather than use a freed one.
    EXPECT_EQ(dbflush_indexes(pair_), 0);
    EXPECT_EQ(dbmatches(at(probe, 0), pair_, &k1, &k2, &hook, &list), 1);
    freetbl(list, nullptr);
    // Another table of the same database.
    ASSERT_EQ(dbcompile(db_, "Relation pair2 Fields ( sta nsamp ) Primary ( sta nsamp ) ;"), 0);
    Dbptr pair2 = table(db_, "pair2");
    dbaddv(pair2, nullptr, "sta", "b", "nsamp", 1, nullptr);
    dbaddv(pair2, nullptr, "sta", "b", "nsamp", 2, nullptr);
    dbaddv(pair2, nullptr, "sta", "b", "nsamp", 3, nullptr);
    EXPECT_EQ(dbmatches(at(probe, 0), pair2, &k1, &k2, &hook, &list), 3);
    freetbl(list, nullptr);
    free_hook(&hook);
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
    // No keys: an empty list and -102.
    Dbptr lastid = table(db_, "lastid");
    EXPECT_EQ(dbmatches(at(probe, 0), lastid, nullptr, nullptr, &hook, &list), dbINVALID);
    EXPECT_NE(list, nullptr);
    EXPECT_EQ(maxtbl(list), 0);
    EXPECT_EQ(hook, nullptr);
    freetbl(list, nullptr);
    EXPECT_THAT(log(), HasSubstr("No keys join tables probe and lastid\n"));
}

class GroupTest : public RelopsTest {
  protected:
    struct Group {
        std::string key;
        Dbptr bundle;
        int type;
    };
    std::vector<Group> groups(Dbptr g) {
        std::vector<Group> out;
        for (int i = 0; i < count_of(g); i++) {
            Group x;
            char sta[16] = "";
            dbgetv(at(g, i), nullptr, "sta", sta, "bundle", &x.bundle, "bundletype", &x.type, nullptr);
            x.key = sta;
            out.push_back(x);
        }
        return out;
    }
    void expect(Dbptr g, std::vector<std::pair<std::string, std::pair<int, int>>> want) {
        auto got = groups(g);
        ASSERT_EQ(got.size(), want.size()) << log();
        for (std::size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].key, want[i].first);
            EXPECT_EQ(got[i].bundle.database, rows_.database);
            EXPECT_EQ(got[i].bundle.table, rows_.table);
            EXPECT_EQ(got[i].bundle.field, want[i].second.first) << i;
            EXPECT_EQ(got[i].bundle.record, want[i].second.second) << i;
            EXPECT_EQ(got[i].type, 7);
        }
    }
};

TEST_F(GroupTest, RunsOfEqualKeysBecomeGroups) {
    struct {
        std::vector<const char *> values;
        std::vector<std::pair<std::string, std::pair<int, int>>> groups;
    } cases[] = {
        {{"1", "1", "2"}, {{"1", {2, 0}}, {"2", {3, 2}}}},
        {{"1", "2", "2"}, {{"1", {1, 0}}, {"2", {3, 1}}}},
        {{"1"}, {{"1", {1, 0}}}},
        {{"1", "2", "3"}, {{"1", {1, 0}}, {"2", {2, 1}}, {"3", {3, 2}}}},
    };
    int n = 0;
    for (auto &c : cases) {
        dbtruncate(rows_, 0);
        for (const char *v : c.values) row(v, 0);
        Keys k({"sta"});
        std::string name = "g" + std::to_string(n++);
        Dbptr g = dbgroup(rows_, k.tbl, name.c_str(), 7);
        ASSERT_GE(g.table, 0) << log();
        EXPECT_EQ(g.record, dbALL);
        expect(g, c.groups);
        // The bundle's records evaluate as a group.
        dbfree(g);
    }
}

TEST_F(GroupTest, EmptyTablesAndBadKeys) {
    Keys k({"sta"});
    Dbptr g = dbgroup(rows_, k.tbl, "empty", 1);
    ASSERT_GE(g.table, 0) << log();
    EXPECT_EQ(count_of(g), 0);
    Keys bad({"chan"});
    EXPECT_EQ(dbgroup(rows_, bad.tbl, "bad", 1).database, dbINVALID);
    EXPECT_THAT(log(), HasSubstr("Field 'chan' not present in table 'rows'.\n"));
}

TEST_F(GroupTest, GroupRelationsAndBundleAttributes) {
    EXPECT_EQ(dbadd_bundle(db_), 0);
    Dbptr bundle = dblookup(db_, nullptr, nullptr, "bundle", nullptr);
    (void)bundle;
    int n = 0;
    dbquery(db_, QUERY_TABLE_COUNT, &n);
    Keys k({"sta", "nsamp"});
    Dbptr g = dbmkgroup_relation(rows_, k.tbl, nullptr);
    ASSERT_GE(g.table, 0) << log();
    char *name = nullptr;
    dbquery(g, QUERY_TABLE_NAME, &name);
    EXPECT_EQ(std::string(name), "View" + std::to_string(n));
    Tbl *fields = nullptr;
    dbquery(g, QUERY_FIELD_NAMES, &fields);
    std::vector<std::string> f;
    for (int i = 0; i < maxtbl(fields); i++) f.push_back(static_cast<char *>(gettbl(fields, i)));
    EXPECT_EQ(f, (std::vector<std::string>{"sta", "nsamp", "bundle", "bundletype"}));
    Tbl *primary = nullptr;
    dbquery(g, QUERY_PRIMARY_KEY, &primary);
    EXPECT_EQ(maxtbl(primary), 2);
    int transient = 0;
    dbquery(g, QUERY_TRANSIENT, &transient);
    EXPECT_EQ(transient, 1);
    EXPECT_EQ(dbadd_bundle(dbinvalid()), -1);
}

}  // namespace
