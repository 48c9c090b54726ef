// The relational operators against SQLite on the same few thousand seeded
// random records: selections, sorts, an outer join and a grouping give the
// record sets the equivalent SQL gives.
#include <gtest/gtest.h>
#include <regex.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ledgeform_testing.h"

#ifdef HAVE_SQLITE3
#include <sqlite3.h>
#endif

namespace {

using ledgeform_testing::at;
using ledgeform_testing::count_of;
using ledgeform_testing::DatabaseTest;

#ifdef HAVE_SQLITE3

constexpr int kRecords = 3000;
constexpr int kStations = 40;

struct Keys {
    explicit Keys(std::vector<const char *> k) : tbl(newtbl(0)) {
        for (const char *s : k) pushtbl(tbl, const_cast<char *>(s));
    }
    ~Keys() { freetbl(tbl, nullptr); }
    Tbl *tbl;
};

// regexp(pattern, text): whether the pattern matches the whole text, as
// "=~" does.
void sqlite_regexp(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const char *pattern = reinterpret_cast<const char *>(sqlite3_value_text(argv[0]));
    const char *text = reinterpret_cast<const char *>(sqlite3_value_text(argv[1]));
    std::string anchored = std::string("^(") + pattern + ")$";
    regex_t re;
    if (regcomp(&re, anchored.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
        sqlite3_result_error(ctx, "bad pattern", -1);
        return;
    }
    sqlite3_result_int(ctx, regexec(&re, text, 0, nullptr, 0) == 0);
    regfree(&re);
}

class OracleTest : public DatabaseTest {
  protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        db_ = create();
        ASSERT_EQ(dbcompile(db_,
                            "Relation rec Fields ( sta chan nsamp time endtime ) Transient ;"
                            "Relation stas Fields ( sta lat ) Primary ( sta ) Transient ;"),
                  0)
            << log();
        rec_ = table(db_, "rec");
        stas_ = table(db_, "stas");
        ASSERT_EQ(sqlite3_open(":memory:", &sql_), SQLITE_OK);
        sqlite3_create_function(sql_, "regexp", 2, SQLITE_UTF8, nullptr, sqlite_regexp, nullptr,
                                nullptr);
        exec("CREATE TABLE rec (id INTEGER PRIMARY KEY, sta TEXT, chan TEXT, nsamp INTEGER, "
             "time REAL, endtime REAL)");
        exec("CREATE TABLE stas (id INTEGER PRIMARY KEY, sta TEXT, lat REAL)");
        fill();
    }
    void TearDown() override {
        sqlite3_close(sql_);
        DatabaseTest::TearDown();
    }

    void exec(const std::string &s) {
        char *error = nullptr;
        ASSERT_EQ(sqlite3_exec(sql_, s.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
    }

    // Seeded records: stations S00..S39, three channel families, times
    // over a day in hundredths of a second.
    void fill() {
        std::mt19937 rng(17);
        std::uniform_int_distribution<int> station(0, kStations - 1), samples(-1000, 1000),
            centis(0, 8640000), length(1, 360000), chan(0, 5);
        const char *chans[] = {"BHZ", "BHN", "BHE", "HHZ", "LHZ", "BH"};
        exec("BEGIN");
        sqlite3_stmt *insert = nullptr;
        sqlite3_prepare_v2(sql_, "INSERT INTO rec VALUES (?, ?, ?, ?, ?, ?)", -1, &insert, nullptr);
        for (int i = 0; i < kRecords; i++) {
            char sta[8];
            std::snprintf(sta, sizeof sta, "S%02d", station(rng));
            const char *c = chans[chan(rng)];
            int n = samples(rng);
            double t = 1700000000.0 + centis(rng) / 100.0;
            double e = t + length(rng) / 100.0;
            ASSERT_EQ(dbaddv(rec_, nullptr, "sta", sta, "chan", c, "nsamp", n, "time", t, "endtime",
                             e, nullptr),
                      i)
                << log();
            sqlite3_bind_int(insert, 1, i);
            sqlite3_bind_text(insert, 2, sta, -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 3, c, -1, SQLITE_STATIC);
            sqlite3_bind_int(insert, 4, n);
            // The value the table holds, as its format wrote it.
            double stored = 0;
            dbgetv(at(rec_, i), nullptr, "time", &stored, nullptr);
            sqlite3_bind_double(insert, 5, stored);
            dbgetv(at(rec_, i), nullptr, "endtime", &stored, nullptr);
            sqlite3_bind_double(insert, 6, stored);
            ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        // Every third station is missing from stas, so that outer joins
        // leave records unmatched.
        for (int s = 0, id = 0; s < kStations; s++) {
            if (s % 3 == 2) continue;
            char sta[8];
            std::snprintf(sta, sizeof sta, "S%02d", s);
            ASSERT_GE(dbaddv(stas_, nullptr, "sta", sta, "lat", s * 1.5, nullptr), 0) << log();
            exec("INSERT INTO stas VALUES (" + std::to_string(id++) + ", '" + sta + "', " +
                 std::to_string(s * 1.5) + ")");
        }
        exec("COMMIT");
    }

    // The rows of a query of integer columns (a NULL reads as dbNULL).
    std::vector<std::vector<int>> rows(const std::string &query) {
        std::vector<std::vector<int>> out;
        sqlite3_stmt *st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(sql_, query.c_str(), -1, &st, nullptr), SQLITE_OK)
            << sqlite3_errmsg(sql_);
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<int> row;
            for (int c = 0; c < sqlite3_column_count(st); c++)
                row.push_back(sqlite3_column_type(st, c) == SQLITE_NULL ? dbNULL
                                                                         : sqlite3_column_int(st, c));
            out.push_back(row);
        }
        sqlite3_finalize(st);
        return out;
    }

    std::vector<int> column(const std::string &query) {
        std::vector<int> out;
        for (auto &r : rows(query)) out.push_back(r[0]);
        return out;
    }

    // The base record of each slot of each record of a view.
    static std::vector<std::vector<int>> view_rows(Dbptr view) {
        std::vector<std::vector<int>> out;
        int slots = dbsize(view);
        for (int i = 0; i < count_of(view); i++) {
            Dbptr r = at(view, i);
            Dbptr *s = dbref(&r);
            std::vector<int> row;
            for (int k = 0; k < slots; k++) row.push_back(s[k].record);
            out.push_back(row);
        }
        return out;
    }

    static std::vector<int> view_records(Dbptr view) {
        std::vector<int> out;
        for (auto &r : view_rows(view)) out.push_back(r[0]);
        return out;
    }

    Dbptr db_{}, rec_{}, stas_{};
    sqlite3 *sql_ = nullptr;
};

TEST_F(OracleTest, SubsetsSelectWhatWhereSelects) {
    struct {
        const char *expr;
        const char *where;
    } cases[] = {
        {"nsamp > 500 && nsamp <= 800", "nsamp > 500 AND nsamp <= 800"},
        {"nsamp < 0 || nsamp == 17", "nsamp < 0 OR nsamp = 17"},
        {"time >= 1700020000 && time < 1700040000", "time >= 1700020000 AND time < 1700040000"},
        {"time >= 1700010000 && time < 1700060000 && chan =~ /BH./",
         "time >= 1700010000 AND time < 1700060000 AND chan REGEXP 'BH.'"},
        {"sta =~ /S1[0-4]/ && endtime - time > 1000", "sta REGEXP 'S1[0-4]' AND endtime - time > 1000"},
        {"chan =~ /BH/", "chan REGEXP 'BH'"},
    };
    for (auto &c : cases) {
        Dbptr v = dbsubset(rec_, c.expr, nullptr);
        ASSERT_GE(v.table, 0) << c.expr << log();
        std::vector<int> want = column(std::string("SELECT id FROM rec WHERE ") + c.where + " ORDER BY id");
        EXPECT_FALSE(want.empty()) << c.where;
        EXPECT_EQ(view_records(v), want) << c.expr;
        dbfree(v);
    }
}

TEST_F(OracleTest, SortsOrderAsOrderBy) {
    struct {
        std::vector<const char *> keys;
        int flags;
        const char *order;
    } cases[] = {
        {{"sta", "time"}, 0, "sta, time"},
        {{"sta", "time"}, 1, "sta DESC, time DESC"},
        {{"nsamp", "time"}, 0, "nsamp, time"},
        {{"time::endtime"}, 0, "time"},
        {{"chan", "nsamp", "time"}, 1, "chan DESC, nsamp DESC, time DESC"},
    };
    for (auto &c : cases) {
        Keys k(c.keys);
        Dbptr v = dbsort(rec_, k.tbl, c.flags, nullptr);
        ASSERT_GE(v.table, 0) << log();
        EXPECT_EQ(view_records(v), column(std::string("SELECT id FROM rec ORDER BY ") + c.order))
            << c.order;
        dbfree(v);
    }
}

TEST_F(OracleTest, UniqueSortsKeepOneRecordPerKey) {
    for (int flags : {2, 3}) {
        Keys k({"sta", "chan"});
        Dbptr v = dbsort(rec_, k.tbl, flags, nullptr);
        ASSERT_GE(v.table, 0) << log();
        std::vector<std::pair<std::string, std::string>> got;
        for (int r : view_records(v)) {
            char sta[16], chan[16];
            dbgetv(at(rec_, r), nullptr, "sta", sta, "chan", chan, nullptr);
            got.push_back({sta, chan});
        }
        std::vector<std::pair<std::string, std::string>> want;
        sqlite3_stmt *st = nullptr;
        std::string q = std::string("SELECT DISTINCT sta, chan FROM rec ORDER BY sta") +
                        (flags & 1 ? " DESC, chan DESC" : ", chan");
        sqlite3_prepare_v2(sql_, q.c_str(), -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW)
            want.push_back({reinterpret_cast<const char *>(sqlite3_column_text(st, 0)),
                            reinterpret_cast<const char *>(sqlite3_column_text(st, 1))});
        sqlite3_finalize(st);
        EXPECT_EQ(got, want) << flags;
        dbfree(v);
    }
}

TEST_F(OracleTest, JoinsPairAsJoinsDo) {
    Keys k({"sta"});
    for (int outer : {0, 1}) {
        Tbl *unmatched = nullptr;
        Tbl *k1 = k.tbl, *k2 = k.tbl;
        Dbptr j = dbjoin(rec_, stas_, &k1, &k2, outer, &unmatched, nullptr);
        ASSERT_GE(j.table, 0) << log();
        auto got = view_rows(j);
        auto want = rows(std::string("SELECT rec.id, stas.id FROM rec ") +
                         (outer ? "LEFT JOIN" : "JOIN") + " stas USING (sta) ORDER BY rec.id, stas.id");
        EXPECT_EQ(got, want) << outer;
        std::vector<int> lost;
        for (int i = 0; i < maxtbl(unmatched); i++)
            lost.push_back(static_cast<int>(reinterpret_cast<intptr_t>(gettbl(unmatched, i))));
        EXPECT_EQ(lost, column("SELECT id FROM rec WHERE sta NOT IN (SELECT sta FROM stas) ORDER BY id"));
        freetbl(unmatched, nullptr);
        dbfree(j);
    }
    // Matches one record at a time.
    Tbl *k1 = k.tbl, *k2 = k.tbl;
    Hook *hook = nullptr;
    for (int i = 0; i < count_of(stas_); i += 7) {
        Tbl *list = nullptr;
        int n = dbmatches(at(stas_, i), rec_, &k1, &k2, &hook, &list);
        std::vector<int> got;
        for (int x = 0; x < maxtbl(list); x++)
            got.push_back(static_cast<int>(reinterpret_cast<intptr_t>(gettbl(list, x))));
        std::sort(got.begin(), got.end());
        EXPECT_EQ(n, static_cast<int>(got.size()));
        EXPECT_EQ(got, column("SELECT rec.id FROM rec JOIN stas USING (sta) WHERE stas.id = " +
                              std::to_string(i) + " ORDER BY rec.id"));
        freetbl(list, nullptr);
    }
    free_hook(&hook);
}

TEST_F(OracleTest, GroupsCountAndSumAsGroupBy) {
    Keys k({"sta"});
    Dbptr sorted = dbsort(rec_, k.tbl, 0, "bysta");
    ASSERT_GE(sorted.table, 0) << log();
    Dbptr g = dbgroup(sorted, k.tbl, "grouped", 1);
    ASSERT_GE(g.table, 0) << log();
    Expression *count = nullptr, *sum = nullptr;
    ASSERT_NE(dbex_compile(g, "count()", &count, 0), dbINVALID) << log();
    ASSERT_NE(dbex_compile(g, "sum(nsamp)", &sum, 0), dbINVALID) << log();
    std::vector<std::vector<int>> got;
    for (int i = 0; i < count_of(g); i++) {
        char sta[16];
        dbgetv(at(g, i), nullptr, "sta", sta, nullptr);
        int n = 0;
        double s = 0;
        dbex_eval(at(g, i), count, 0, &n);
        dbex_eval(at(g, i), sum, 0, &s);
        got.push_back({std::atoi(sta + 1), n, static_cast<int>(s)});
    }
    dbex_free(count);
    dbex_free(sum);
    auto want = rows("SELECT CAST(substr(sta, 2) AS INTEGER), count(*), sum(nsamp) FROM rec GROUP BY sta ORDER BY sta");
    EXPECT_EQ(got, want);
}

#else

TEST_F(DatabaseTest, OracleNeedsSqlite) { GTEST_SKIP() << "built without SQLite"; }

#endif

}  // namespace
