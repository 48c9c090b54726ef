// Built-in functions of the expression language that read the database:
// the record number, counts and aggregates over a table or a group, null
// values, external file names and arrival times.
#include "expr_builtins.h"
#include "expr_private.h"
#include "geopos.h"
#include "journ.h"

namespace ledgeform {

namespace {

constexpr double kPi = 3.141592653589793;

// One remembered count. A count is served again only while the table's
// own record count is what it was when the count was found, so that
// appends are seen.
struct CountCache {
    int database = -1, table = -1, record = -1, stamp = -1, count = 0;
};

pthread_mutex_t cache_mutex = PTHREAD_MUTEX_INITIALIZER;
CountCache table_count, group_count;

// The record count the table of db holds now in this process, or -1 when
// it has no open table.
int stamp_of(Dbptr db) {
    int closed = 0;
    Database *d = database_by_id(db.database, &closed);
    if (d == nullptr || relation_at(d->schema, db.table) == nullptr) return -1;
    Table *t = table_at(d, db.table);
    return t != nullptr ? t->count : -1;
}

bool cached(const CountCache &c, Dbptr db, int record, int *count) {
    MutexGuard hold(cache_mutex);
    int stamp = stamp_of(db);
    if (stamp < 0 || c.database != db.database || c.table != db.table || c.record != record ||
        c.stamp != stamp)
        return false;
    *count = c.count;
    return true;
}

void remember(CountCache *c, Dbptr db, int record, int count) {
    MutexGuard hold(cache_mutex);
    c->database = db.database;
    c->table = db.table;
    c->record = record;
    c->stamp = stamp_of(db);
    c->count = count;
}

enum class Fold { kSum, kMax, kMin };

// Folds the values of arg over the records first .. last - 1 of the table
// of `table`. A record whose evaluation fails is passed over and counts an
// error of the enclosing evaluation.
double fold(Dbptr table, int first, int last, Expression *arg, Fold how) {
    Dbptr record = table;
    record.field = dbALL;
    double result = 0.0;
    int from = first;
    if (how != Fold::kSum) {
        record.record = first;
        if (_dbex_eval(record, arg, 0, &result) == dbINVALID) Db_ex_err++;
        from = first + 1;
    }
    for (int i = from; i < last; i++) {
        record.record = i;
        double v = 0.0;
        if (_dbex_eval(record, arg, 0, &v) == dbINVALID) {
            Db_ex_err++;
            continue;
        }
        if (how == Fold::kSum)
            result += v;
        else if (how == Fold::kMax ? v > result : v < result)
            result = v;
    }
    return result;
}

double fold_table(Dbptr db, Expression *arg, Fold how) {
    Dbptr table = db;
    table.field = table.record = dbALL;
    int count = 0;
    dbquery(table, QUERY_RECORD_COUNT, &count);
    return fold(table, 0, count, arg, how);
}

// The bundle a record of a grouped view holds.
bool bundle_of(Dbptr db, Dbptr *bundle) {
    db.field = dbALL;
    if (dbgetv(db, nullptr, "bundle", bundle, nullptr) != 0) {
        Db_ex_err++;
        return false;
    }
    return true;
}

double fold_group(Dbptr db, Expression *arg, Fold how) {
    Dbptr bundle;
    if (!bundle_of(db, &bundle)) return an_infinity();
    int first = 0, last = 0;
    dbget_range(bundle, &first, &last);
    return fold(bundle, first, last, arg, how);
}

// Reads the origin and station fields of a record of a view of both: the
// origin time, the distance in degrees and the depth.
bool origin_and_site(Dbptr db, double *time, double *delta, double *depth) {
    double olat = 0, olon = 0, slat = 0, slon = 0;
    db.field = dbALL;
    if (dbgetv(db, nullptr, "origin.time", time, "origin.lat", &olat, "origin.lon", &olon,
               "origin.depth", depth, "site.lat", &slat, "site.lon", &slon, nullptr) != 0) {
        Db_ex_err++;
        return false;
    }
    double r = kPi / 180.0, d = 0.0, azimuth = 0.0;
    dist(olat * r, olon * r, slat * r, slon * r, &d, &azimuth);
    *delta = d / r;
    return true;
}

char *copy(const char *s) { return LF_STRDUP(s, "text"); }

}  // namespace

int32_t exf_record(Dbptr db) { return db.record; }

int32_t exf_count_table(Dbptr db) {
    int count = 0;
    if (cached(table_count, db, dbALL, &count)) return count;
    Dbptr table = db;
    table.field = table.record = dbALL;
    dbquery(table, QUERY_RECORD_COUNT, &count);
    remember(&table_count, db, dbALL, count);
    return count;
}

int32_t exf_count_group(Dbptr db) {
    int count = 0;
    if (cached(group_count, db, db.record, &count)) return count;
    Dbptr bundle;
    if (!bundle_of(db, &bundle)) return 0;
    int first = 0, last = 0;
    dbget_range(bundle, &first, &last);
    count = wrap_sub(last, first);
    remember(&group_count, db, db.record, count);
    return count;
}

double exf_sum_table(Dbptr db, Expression *arg) { return fold_table(db, arg, Fold::kSum); }
double exf_max_table(Dbptr db, Expression *arg) { return fold_table(db, arg, Fold::kMax); }
double exf_min_table(Dbptr db, Expression *arg) { return fold_table(db, arg, Fold::kMin); }
double exf_sum_group(Dbptr db, Expression *arg) { return fold_group(db, arg, Fold::kSum); }
double exf_max_group(Dbptr db, Expression *arg) { return fold_group(db, arg, Fold::kMax); }
double exf_min_group(Dbptr db, Expression *arg) { return fold_group(db, arg, Fold::kMin); }

char *exf_null(Dbptr db, char *name) {
    Dbptr null = dblookup(db, nullptr, nullptr, name, "dbNULL");
    if (null.field < 0) {
        // A field of another table: the first that holds the attribute.
        Tbl *tables = dbtables(db, name);
        if (maxtbl(tables) == 0) return copy("");
        null = dblookup(db, nullptr, static_cast<char *>(gettbl(tables, 0)), name, "dbNULL");
        if (null.field < 0) return copy("");
    }
    int width = 0;
    width = dbquery(null, QUERY_FIELD_SIZE, &width);
    if (width < 0) return copy("");
    auto *text = static_cast<char *>(LF_CALLOC(static_cast<std::size_t>(width) + 1, "null"));
    if (dbget(null, text) != 0) text[0] = '\0';
    text[width] = '\0';
    strtrim(text);
    return text;
}

char *exf_dbfilename(Dbptr db) {
    char path[kPathBuffer] = "";
    dbfilename(db, path);
    return copy(path);
}

char *exf_dbextfile(Dbptr db, char *table) {
    char path[kPathBuffer] = "";
    dbextfile(db, table, path);
    return copy(path);
}

double exf_arrival(Dbptr db, char *phase) {
    double time = 0, delta = 0, depth = 0;
    if (!origin_and_site(db, &time, &delta, &depth)) return an_infinity();
    return time + phasetime(phase, delta, depth);
}

double exf_parrival(Dbptr db) {
    double time = 0, delta = 0, depth = 0;
    if (!origin_and_site(db, &time, &delta, &depth)) return an_infinity();
    return time + pphasetime(delta, depth);
}

double exf_sarrival(Dbptr db) {
    double time = 0, delta = 0, depth = 0;
    if (!origin_and_site(db, &time, &delta, &depth)) return an_infinity();
    return time + sphasetime(delta, depth);
}

double exf_phase_arrival(Dbptr db, double speed) {
    double time = 0, delta = 0, depth = 0;
    if (!origin_and_site(db, &time, &delta, &depth)) return an_infinity();
    return time + delta / speed;
}

}  // namespace ledgeform
