// The database library against SQLite on the same million rows of an
// integer, a real, a string and a time:
//
//   append:ledgeform / append:sqlite   every row appended with dbaddv (no
//                                      table locks) / inserted through one
//                                      prepared statement in one transaction
//                                      with synchronous=OFF
//   read:ledgeform   / read:sqlite     every field of every row read with
//                                      dbgetv / a SELECT over the table, in a
//                                      table the process has read before
//   open_read:ledgeform / open_read:sqlite
//                                      the same in a table opened afresh for
//                                      each pass (the process touches the
//                                      mapped pages for the first time)
//   lookup:ledgeform / lookup:sqlite   the row whose string is that of the
//                                      middle row found with a keyed dblookup
//                                      / a SELECT with a WHERE on the
//                                      unindexed column
//
// The tables read are filled first and opened again. The files live in
// /dev/shm when there is one (else $TMPDIR or /tmp), so that both write to
// memory: a table file is opened for synchronous writes, and on a disk every
// append would wait for it.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "db.h"
#include "support/ratio_main.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 1000000;
constexpr double kTime0 = 1700000000.0;

const char kSchema[] =
    "Schema bench1.0 ;\n"
    "Attribute n Integer ( 8 ) Format ( \"%8d\" ) Null ( \"-1\" ) ;\n"
    "Attribute x Real ( 15 ) Format ( \"%15.6f\" ) Null ( \"-1.0\" ) ;\n"
    "Attribute name String ( 15 ) Format ( \"%-15s\" ) Null ( \"-\" ) ;\n"
    "Attribute t Time ( 17 ) Format ( \"%17.5f\" ) Null ( \"-9999999999.99900\" ) ;\n"
    "Relation row Fields ( n x name t ) ;\n";

std::string row_name(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "row%07d", i);
    return buf;
}
double row_x(int i) { return i * 0.25; }
double row_t(int i) { return kTime0 + i * 0.01; }

// A scratch directory for the run, removed at the end.
class Scratch {
  public:
    Scratch() {
        const char *tmp = std::getenv("TMPDIR");
        std::string base = fs::is_directory("/dev/shm") ? "/dev/shm"
                           : tmp != nullptr && *tmp  ? tmp
                                                     : "/tmp";
        std::string pattern = base + "/ledgeform-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        dir_ = pattern;
        FILE *f = std::fopen((dir_ + "/bench1.0").c_str(), "w");
        std::fputs(kSchema, f);
        std::fclose(f);
    }
    ~Scratch() { fs::remove_all(dir_); }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

Scratch &scratch() {
    static Scratch s;
    return s;
}

// ---- The database library ----

Dbptr open_ledger(const std::string &name, bool fresh) {
    std::string path = scratch().file(name);
    if (fresh) {
        fs::remove(path + ".row");
        dbcreate(path.c_str(), scratch().file("bench1.0").c_str(), nullptr, nullptr, nullptr);
    }
    Dbptr db;
    if (LGdbopen(path.c_str(), "r+", &db) != 0) std::abort();
    return dblookup(db, nullptr, "row", nullptr, nullptr);
}

void fill_ledger(Dbptr row) {
    for (int i = 0; i < kRows; i++) {
        std::string name = row_name(i);
        if (dbaddv(row, nullptr, "n", i, "x", row_x(i), "name", name.c_str(), "t", row_t(i),
                   nullptr) != i)
            std::abort();
    }
}

long long read_ledger(Dbptr row) {
    long long sum = 0;
    for (row.record = 0; row.record < kRows; row.record++) {
        int n;
        double x, t;
        char name[16];
        dbgetv(row, nullptr, "n", &n, "x", &x, "name", name, "t", &t, nullptr);
        sum += n + name[3];
    }
    return sum;
}

// The table the read and lookup benchmarks share, filled once and opened
// again, as a program finds an existing table, and read once.
Dbptr &filled_ledger() {
    static Dbptr row = [] {
        Dbptr r = open_ledger("filled", true);
        fill_ledger(r);
        LGdbclose(r);
        r = open_ledger("filled", false);
        read_ledger(r);
        return r;
    }();
    return row;
}

void BM_append_ledgeform(benchmark::State &state) {
    unsetenv("DBLOCKS");
    for (auto _ : state) {
        state.PauseTiming();
        Dbptr row = open_ledger("append", true);
        state.ResumeTiming();
        fill_ledger(row);
        state.PauseTiming();
        LGdbclose(row);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_read_ledgeform(benchmark::State &state) {
    Dbptr row = filled_ledger();
    for (auto _ : state) benchmark::DoNotOptimize(read_ledger(row));
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_open_read_ledgeform(benchmark::State &state) {
    Dbptr &row = filled_ledger();
    for (auto _ : state) {
        LGdbclose(row);
        row = open_ledger("filled", false);
        benchmark::DoNotOptimize(read_ledger(row));
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_lookup_ledgeform(benchmark::State &state) {
    Dbptr row = filled_ledger();
    std::string key = row_name(kRows / 2);
    for (auto _ : state) {
        Dbptr found = dblookup(row, nullptr, nullptr, "name", key.c_str());
        if (found.record != kRows / 2) std::abort();
    }
}

// ---- SQLite ----

sqlite3 *open_sqlite(const std::string &name, bool fresh) {
    std::string path = scratch().file(name + ".sqlite");
    if (fresh) fs::remove(path);
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
    sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    if (fresh)
        sqlite3_exec(db, "CREATE TABLE row (n INTEGER, x REAL, name TEXT, t REAL)", nullptr, nullptr,
                     nullptr);
    return db;
}

void fill_sqlite(sqlite3 *db) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO row VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
    for (int i = 0; i < kRows; i++) {
        std::string name = row_name(i);
        sqlite3_bind_int(insert, 1, i);
        sqlite3_bind_double(insert, 2, row_x(i));
        sqlite3_bind_text(insert, 3, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(insert, 4, row_t(i));
        if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

void BM_append_sqlite(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        sqlite3 *db = open_sqlite("append", true);
        state.ResumeTiming();
        fill_sqlite(db);
        state.PauseTiming();
        sqlite3_close(db);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

long long read_sqlite(sqlite3 *db) {
    sqlite3_stmt *select = nullptr;
    sqlite3_prepare_v2(db, "SELECT n, x, name, t FROM row", -1, &select, nullptr);
    long long sum = 0;
    while (sqlite3_step(select) == SQLITE_ROW) {
        int n = sqlite3_column_int(select, 0);
        double x = sqlite3_column_double(select, 1);
        const unsigned char *name = sqlite3_column_text(select, 2);
        double t = sqlite3_column_double(select, 3);
        benchmark::DoNotOptimize(x);
        benchmark::DoNotOptimize(t);
        sum += n + name[3];
    }
    sqlite3_finalize(select);
    return sum;
}

sqlite3 *filled_sqlite() {
    static sqlite3 *db = [] {
        sqlite3 *d = open_sqlite("filled", true);
        fill_sqlite(d);
        sqlite3_close(d);
        d = open_sqlite("filled", false);
        read_sqlite(d);
        return d;
    }();
    return db;
}

void BM_read_sqlite(benchmark::State &state) {
    sqlite3 *db = filled_sqlite();
    for (auto _ : state) benchmark::DoNotOptimize(read_sqlite(db));
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_open_read_sqlite(benchmark::State &state) {
    filled_sqlite();
    for (auto _ : state) {
        sqlite3 *again = open_sqlite("filled", false);
        benchmark::DoNotOptimize(read_sqlite(again));
        sqlite3_close(again);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_lookup_sqlite(benchmark::State &state) {
    sqlite3 *db = filled_sqlite();
    sqlite3_stmt *select = nullptr;
    sqlite3_prepare_v2(db, "SELECT rowid FROM row WHERE name = ?", -1, &select, nullptr);
    std::string key = row_name(kRows / 2);
    for (auto _ : state) {
        sqlite3_bind_text(select, 1, key.c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(select) != SQLITE_ROW) std::abort();
        benchmark::DoNotOptimize(sqlite3_column_int64(select, 0));
        sqlite3_reset(select);
    }
    sqlite3_finalize(select);
}

BENCHMARK(BM_append_ledgeform)->Name("append:ledgeform")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_append_sqlite)->Name("append:sqlite")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_read_ledgeform)->Name("read:ledgeform")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_sqlite)->Name("read:sqlite")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_open_read_ledgeform)->Name("open_read:ledgeform")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_open_read_sqlite)->Name("open_read:sqlite")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_lookup_ledgeform)->Name("lookup:ledgeform")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_lookup_sqlite)->Name("lookup:sqlite")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) { return benchsupport::ratio_main(argc, argv, {"ledgeform"}); }
