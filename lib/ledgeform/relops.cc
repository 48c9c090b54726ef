// The relational operators: sorting a table into a view or in place,
// selecting the records that satisfy an expression, joining two tables by
// their keys, and finding the records of a table that join one record.
// Sorting and joining are driven by the indexes of the table sorted or
// joined to.
#include "expr_private.h"
#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

int search_compare(void *key, void *entry, void *index) {
    return dbcmp_search(static_cast<char *>(key), static_cast<char *>(entry),
                        static_cast<Dbindex *>(index));
}

int nentries(Dbindex *index) { return index->entries != nullptr ? maxtbl(index->entries) : 0; }
char *entry_at(Dbindex *index, int i) { return static_cast<char *>(gettbl(index->entries, i)); }
char *entries_base(Dbindex *index) { return nentries(index) > 0 ? entry_at(index, 0) : nullptr; }

// The entries of index that compare 0 with key (laid out by the index's
// search jig): their number, bounded by *first and *last.
int search(Dbindex *index, char *key, int exact, int *first, int *last) {
    return ssearch(key, index->jig->size, entries_base(index), nentries(index), exact,
                   search_compare, index, first, last);
}

char *table_name(Dbptr t) {
    char *name = nullptr;
    t.field = t.record = dbALL;
    if (dbquery(t, QUERY_TABLE_NAME, &name) != 0 || name == nullptr) return db_nullstr;
    return name;
}

int record_count(Dbptr t) {
    int n = -1;
    t.field = t.record = dbALL;
    if (dbquery(t, QUERY_RECORD_COUNT, &n) < 0) return -1;
    return n;
}

// A new view over the tables named, or an invalid pointer after logging.
Dbptr new_view(Dbptr db, const char *name, const char *first, const char *second) {
    Tbl *tables = newtbl(2);
    pushtbl(tables, const_cast<char *>(first));
    if (second != nullptr) pushtbl(tables, const_cast<char *>(second));
    Dbptr view = dbtbl2view(db, name, tables);
    freetbl(tables, nullptr);
    return view;
}

bool view_ok(Dbptr view) { return view.database >= 0 && view.table >= 0; }

// The key lists of a join: the caller's, or those found for the two tables
// (handed back through the addresses given). False when none join them.
struct JoinKeys {
    Tbl *k1 = nullptr, *k2 = nullptr;
    bool free1 = false, free2 = false;
    ~JoinKeys() {
        if (free1 && k1 != nullptr) freetbl(k1, nullptr);
        if (free2 && k2 != nullptr) freetbl(k2, nullptr);
    }
    bool get(Dbptr t1, Dbptr t2, Tbl **keys1, Tbl **keys2) {
        if (keys1 != nullptr && *keys1 != nullptr) {
            k1 = *keys1;
            k2 = keys2 != nullptr && *keys2 != nullptr ? *keys2 : *keys1;
            return true;
        }
        if (dbfind_join_keys(t1, t2, &k1, &k2) != 0) {
            elog_log(0, "No keys join tables %s and %s\n", table_name(t1), table_name(t2));
            return false;
        }
        if (keys1 != nullptr)
            *keys1 = k1;
        else
            free1 = true;
        if (keys2 != nullptr)
            *keys2 = k2;
        else
            free2 = true;
        return true;
    }
};

inline void *as_entry(int i) { return reinterpret_cast<void *>(static_cast<intptr_t>(i)); }

// The state dbmatches keeps in its hook.
struct MatchesHook {
    Dbindex *index;  // the second table's, lent by it
    Jig *jig;        // of the first table's keys
    char *key;       // one key image of the jig
    // What the state was made for, so that a changed table or a dropped
    // index is noticed.
    Dbptr first;     // the first table
    Dbptr second;    // the second table
    char *index_name;
};

// True while the index the state borrows is still the second table's.
bool state_current(const MatchesHook *s, Dbptr record, Dbptr t2) {
    if (s == nullptr || s->jig == nullptr) return false;
    if (s->jig->db.database != t2.database || s->second.database != t2.database ||
        s->second.table != t2.table || s->first.database != record.database ||
        s->first.table != record.table)
        return false;
    Resolved r;
    if (resolve_table(t2, &r) != RESOLVED_TABLE || r.table == nullptr) return false;
    return getarr(r.table->indexes, s->index_name) == s->index;
}

}  // namespace

extern "C" {

Dbptr dbsort(Dbptr db, Tbl *keys, int flags, const char *name) {
    bool reverse = (flags & 1) != 0, unique = (flags & 2) != 0;
    db.field = db.record = dbALL;
    Dbindex *index = nullptr;
    if (dbget_index(db, keys, &index) < 0 || index == nullptr) return dbinvalid();
    dbupdate_index(index);
    Dbptr view = new_view(db, name, table_name(db), nullptr);
    if (!view_ok(view)) {
        elog_log(0, "dbsort: can't make the view of the sorted records\n");
        return dbinvalid();
    }
    int n = nentries(index);
    // Unique compares the requested keys only: the index may be one made
    // for a longer key list that begins with them.
    std::size_t keybytes = key_bytes(index->jig, keys != nullptr ? maxtbl(keys) : 0);
    const char *previous = nullptr;
    for (int k = 0; k < n; k++) {
        int i = reverse ? n - 1 - k : k;
        db.record = dbrecord(index, i);
        const char *key = dbkey(index, i);
        if (unique) {
            if (previous != nullptr && std::memcmp(previous, key, keybytes) == 0) continue;
            previous = key;
        }
        if (dbadd(view, reinterpret_cast<char *>(dbref(&db))) < 0) return view;
    }
    return view;
}

int dbsort_in_place(Dbptr db, Tbl *keys) {
    db.field = db.record = dbALL;
    Dbindex *index = nullptr;
    if (dbget_index(db, keys, &index) < 0 || index == nullptr) return -1;
    dbupdate_index(index);
    int n = nentries(index);
    int count = record_count(db);
    Owned<int> order(static_cast<int *>(LF_MALLOC(sizeof(int) * (n > 0 ? n : 1), "order")));
    bool sorted = true;
    for (int i = 0; i < n; i++) {
        order.get()[i] = dbrecord(index, i);
        if (order.get()[i] != i) sorted = false;
    }
    if (sorted) return 0;
    Resolved r;
    if (resolve_table(db, &r) != RESOLVED_TABLE || r.table == nullptr) return -1;
    if (!r.table->writable) {
        elog_log(0, "dbsort_in_place: Table %s (%s) is opened read-only and can't be modified.\n",
                 r.table->name, r.table->path != nullptr ? r.table->path : "");
        return -1;
    }
    if (n != count) {
        // Marked records left the index: they have no place in its order.
        elog_log(0, "dbsort_in_place: the index of %s doesn't cover its %d records\n",
                 table_name(db), count);
        return -1;
    }
    char *data = nullptr;
    int size = 0;
    dbquery(db, QUERY_TABLE_DATA, &data);
    dbquery(db, QUERY_RECORD_SIZE, &size);
    if (data == nullptr || size <= 0) return -1;
    auto bytes = static_cast<std::size_t>(size);
    Owned<char> copy(static_cast<char *>(LF_MALLOC(bytes, "copy")));
    int *o = order.get();
    for (int i = 0; i < n; i++) {
        if (o[i] == i) continue;
        std::memcpy(copy.get(), data + i * bytes, bytes);
        int p = i;
        for (;;) {
            int from = o[p];
            o[p] = p;
            if (from == i) {
                std::memcpy(data + p * bytes, copy.get(), bytes);
                break;
            }
            std::memcpy(data + p * bytes, data + from * bytes, bytes);
            p = from;
        }
    }
    dbflush_indexes(db);
    return 0;
}

Dbptr dbsubset(Dbptr db, const char *expr, const char *name) {
    Expression *tree = nullptr;
    db.field = db.record = dbALL;
    if (dbex_compile(db, expr, &tree, dbBOOLEAN) == dbINVALID || tree == nullptr) {
        dbex_free(tree);
        return dbinvalid();
    }
    Dbptr view = new_view(db, name, table_name(db), nullptr);
    if (!view_ok(view)) {
        dbex_free(tree);
        elog_log(0, "dbsubset: can't make the view of the selected records\n");
        return dbinvalid();
    }
    int count = record_count(db);
    if (count < 0) {
        dbex_free(tree);
        return dbinvalid();
    }
    // The table is looked up once for the run; every record is evaluated
    // under the evaluator lock, as dbex_eval does.
    EvalTable run;
    Resolved table;
    if (resolve_table(db, &table) == RESOLVED_TABLE && table.relation != nullptr &&
        table.table != nullptr) {
        run.database = db.database;
        run.table = db.table;
        run.relation = table.relation;
        run.data = table.table;
    }
    const EvalTable *known = run.data != nullptr ? &run : nullptr;
    for (db.record = 0; db.record < count; db.record++) {
        int value = 0;
        int rc = evaluate_record(db, tree, 0, &value, known);
        if (rc == 1) {
            dbadd(view, reinterpret_cast<char *>(dbref(&db)));
        } else if (rc != 0) {
            dbex_free(tree);
            dbfree(view);
            return dbinvalid();
        }
    }
    dbex_free(tree);
    return view;
}

Dbptr dbjoin(Dbptr t1, Dbptr t2, Tbl **keys1, Tbl **keys2, int outer, Tbl **unmatched,
             const char *name) {
    t1.field = t1.record = dbALL;
    t2.field = t2.record = dbALL;
    char *name1 = table_name(t1), *name2 = table_name(t2);
    int count1 = record_count(t1), count2 = record_count(t2);
    if (count1 < 0 || count2 < 0) return dbinvalid();
    JoinKeys keys;
    if (!keys.get(t1, t2, keys1, keys2)) return dbinvalid();
    Dbptr view = new_view(t1, name, name1, name2);
    if (view.database == dbINVALID || !view_ok(view)) return dbinvalid();
    Dbindex *index = nullptr;
    if (dbget_index(t2, keys.k2, &index) < 0 || index == nullptr) return dbinvalid();
    dbupdate_index(index);
    if (unmatched != nullptr) *unmatched = newtbl(0);
    int s1 = dbsize(t1), s2 = dbsize(t2);
    Owned<Dbptr> row(static_cast<Dbptr *>(LF_MALLOC(sizeof(Dbptr) * (s1 + s2), "join")));
    Dbptr null2 = t2;
    null2.record = dbNULL;
    Jig *jig = nullptr;
    if (dbmake_jig(t1, keys.k1, &jig) != 0) {
        dbfree_jig(jig);
        return dbinvalid();
    }
    index->search_jig = jig;
    Owned<char> key(static_cast<char *>(LF_MALLOC(static_cast<std::size_t>(jig->size), "key")));
    int exact = index->unique && maxtbl(keys.k1) == maxtbl(index->jig->keys);
    Jig *pair[2] = {jig, index->jig};
    auto *slots = reinterpret_cast<char *>(row.get());
    for (int i = 0; i < count1; i++) {
        t1.record = i;
        std::memcpy(row.get(), dbref(&t1), sizeof(Dbptr) * s1);
        dbmake_key(t1, jig, key.get());
        index->search_jig = jig;
        int first = 0, last = -1;
        int found = search(index, key.get(), exact, &first, &last);
        int rows = 0;
        for (int k = first; found > 0 && k <= last; k++) {
            char *entry = entry_at(index, k);
            if (dbcmp(key.get(), entry, pair) != 0) continue;
            t2.record = dbrecord(index, k);
            std::memcpy(row.get() + s1, dbref(&t2), sizeof(Dbptr) * s2);
            dbadd(view, slots);
            rows++;
        }
        if (rows == 0) {
            if (outer) {
                Dbptr n2 = null2;
                std::memcpy(row.get() + s1, dbref(&n2), sizeof(Dbptr) * s2);
                dbadd(view, slots);
            }
            if (unmatched != nullptr) pushtbl(*unmatched, as_entry(i));
        }
    }
    if (index->search_jig == jig) index->search_jig = nullptr;
    dbfree_jig(jig);
    return view;
}

void free_MatchesHook(void *p) {
    auto *state = static_cast<MatchesHook *>(p);
    if (state == nullptr) return;
    // The index is touched only while it is still its table's: a dropped
    // one is gone.
    Resolved r;
    if (state->index != nullptr && state->index_name != nullptr &&
        resolve_table(state->second, &r) == RESOLVED_TABLE && r.table != nullptr &&
        getarr(r.table->indexes, state->index_name) == state->index &&
        state->index->search_jig == state->jig)
        state->index->search_jig = nullptr;
    dbfree_jig(state->jig);
    std::free(state->key);
    std::free(state->index_name);
    std::free(state);
}

int dbmatches(Dbptr record, Dbptr t2, Tbl **keys1, Tbl **keys2, Hook **hook, Tbl **list) {
    t2.field = t2.record = dbALL;
    Dbptr t1 = record;
    t1.field = t1.record = dbALL;
    if (*hook != nullptr && !state_current(static_cast<MatchesHook *>((*hook)->p), t1, t2))
        free_hook(hook);  // the caller can no longer reach it
    if (*hook == nullptr) {
        JoinKeys keys;
        if (!keys.get(t1, t2, keys1, keys2)) {
            *list = newtbl(0);
            return dbINVALID;
        }
        auto *state = LF_NEW_RECORD(MatchesHook, "hook");
        if (dbget_index(t2, keys.k2, &state->index) < 0 || state->index == nullptr) {
            elog_log(0, "Can't get index\n");
            *list = newtbl(0);
            std::free(state);
            return dbINVALID;
        }
        if (dbmake_jig(t1, keys.k1, &state->jig) != 0) {
            elog_log(0, "Can't make jig.\n");
            *list = newtbl(0);
            dbfree_jig(state->jig);
            std::free(state);
            return dbINVALID;
        }
        state->key = static_cast<char *>(LF_MALLOC(static_cast<std::size_t>(state->jig->size), "hook->key"));
        state->first = t1;
        state->second = t2;
        state->index_name = LF_STRDUP(state->index->name, "hook");
        *hook = new_hook(free_MatchesHook);
        (*hook)->p = state;
    }
    auto *state = static_cast<MatchesHook *>((*hook)->p);
    Dbindex *index = state->index;
    dbupdate_index(index);
    bool ranges = state->jig->envelope || index->jig->envelope;
    int exact = index->unique && !ranges;
    dbmake_key(record, state->jig, state->key);
    index->search_jig = state->jig;
    int first = 0, last = -1;
    int found = search(index, state->key, exact, &first, &last);
    *list = newtbl(found > 0 ? found : 1);
    Jig *pair[2] = {state->jig, index->jig};
    for (int k = first; found > 0 && k <= last; k++) {
        if (ranges && dbcmp(state->key, entry_at(index, k), pair) != 0) continue;
        pushtbl(*list, as_entry(dbrecord(index, k)));
    }
    return maxtbl(*list);
}

}  // extern "C"
