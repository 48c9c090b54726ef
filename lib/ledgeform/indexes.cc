// Indexes: sorted lists of the key images of a table's records, kept per
// table in its `indexes` array under their names, built in memory or read
// from index files, searched by binary search and kept current as records
// are appended, changed, marked and deleted.
//
// Index files are only read: their entries are copied into memory, so that
// keeping an index current never writes into a file another process may be
// reading.
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

// The no-match text of equiv_field: a byte no field name holds.
char kNoMatch[] = "\b";

int sort_compare(void *a, void *b, void *index) {
    return dbcmp_sort(static_cast<char *>(a), static_cast<char *>(b), static_cast<Dbindex *>(index));
}
// The order an index is built in: by key, and records with equal keys by
// record number (so that runs of equal keys cost the sort nothing more).
int build_compare(void *a, void *b, void *index) {
    int result = dbcmp_sort(static_cast<char *>(a), static_cast<char *>(b), static_cast<Dbindex *>(index));
    if (result != 0) return result;
    int32_t x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return x < y ? -1 : x > y ? 1 : 0;
}
int search_compare(void *key, void *entry, void *index) {
    return dbcmp_search(static_cast<char *>(key), static_cast<char *>(entry),
                        static_cast<Dbindex *>(index));
}

char *entry_at(Dbindex *index, int i) { return static_cast<char *>(gettbl(index->entries, i)); }
int nentries(Dbindex *index) { return index->entries != nullptr ? maxtbl(index->entries) : 0; }
char *entries_base(Dbindex *index) { return nentries(index) > 0 ? entry_at(index, 0) : nullptr; }

int record_of(const char *entry) {
    int32_t r;
    std::memcpy(&r, entry, sizeof r);
    return r;
}
void set_record(char *entry, int32_t r) { std::memcpy(entry, &r, sizeof r); }

// 0 when the key texts x begin with the requested texts r (a text matching
// its equivalent too), else 1.
int cmp_patterns(Tbl *r, Tbl *x) {
    int n = maxtbl(r);
    if (maxtbl(x) < n) return 1;
    for (int i = 0; i < n; i++) {
        auto *want = static_cast<char *>(gettbl(r, i));
        auto *have = static_cast<char *>(gettbl(x, i));
        if (std::strcmp(want, have) != 0 && std::strcmp(want, equiv_field(have)) != 0) return 1;
    }
    return 0;
}

struct IndexSearch {
    Tbl *keys;
    Dbindex *found;
};

void check_index(char *, void *value, void *pvt) {
    auto *s = static_cast<IndexSearch *>(pvt);
    auto *index = static_cast<Dbindex *>(value);
    if (s->found == nullptr && index->jig != nullptr && cmp_patterns(s->keys, index->jig->keys) == 0)
        s->found = index;
}

// Registers index under name, freeing an index it replaces.
void register_index(Table *t, const char *name, Dbindex *index) {
    auto *old = static_cast<Dbindex *>(setarr(t->indexes, name, index));
    if (old != nullptr && old != index) dbfree_index(old);
}

// The pattern that finds the index files of a table: its path, with the
// characters glob would read as wild escaped, the index name and "*".
char *index_pattern(const char *path, const char *name) {
    std::size_t n = std::strlen(path), m = std::strlen(name);
    auto *p = static_cast<char *>(LF_MALLOC(2 * n + 2 * m + 2, "pattern"));
    char *o = p;
    const char *parts[2] = {path, name};
    for (const char *s : parts)
        for (; *s != '\0'; s++) {
            if (*s == '*' || *s == '?' || *s == '[' || *s == '\\') *o++ = '\\';
            *o++ = *s;
        }
    *o++ = '*';
    *o = '\0';
    return p;
}

bool modified(const char *path, time_t *when) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *when = st.st_mtime;
    return true;
}

// Removes an index file that is older than its table, holding the table's
// lock so that it is not taken from a process that has just written both.
// True when the file is stale.
bool remove_if_stale(Dbptr table, Table *t, const char *table_path, const char *path) {
    time_t index_time = 0, table_time = 0;
    if (!modified(path, &index_time) || !modified(table_path, &table_time)) return false;
    if (index_time >= table_time) return false;
    Resolved r;
    bool locked = resolve_table(table, &r) == RESOLVED_TABLE && !t->relation->transient &&
                  _dblock(r.database, t) == 0;
    if (modified(path, &index_time) && modified(table_path, &table_time) &&
        index_time < table_time && unlink(path) != 0 && errno != ENOENT)
        elog_complain(1, "Can't remove out of date index file %s\n", path);
    if (locked) _dbunlock(r.database, t);
    return true;
}

// The index's envelopes from entry i on, up to the first entry they do not
// change.
void refresh_envelopes(Dbindex *index, int from) {
    int n = nentries(index);
    int size = index->jig->size;
    WorkBuffer before(static_cast<std::size_t>(size), "key_value");
    for (int j = from > 0 ? from : 1; j < n; j++) {
        char *e = entry_at(index, j);
        std::memcpy(before.get(), e, static_cast<std::size_t>(size));
        dbcmp_envelope(entry_at(index, j - 1), e, index);
        if (j > from && std::memcmp(before.get(), e, static_cast<std::size_t>(size)) == 0) break;
    }
}

// Removes the entry of record d, found by its key image `key`. True when
// there was one.
bool remove_entry(Dbindex *index, const char *key, int d) {
    int first = 0, last = -1;
    if (ssearch(const_cast<char *>(key), index->jig->size, entries_base(index), nentries(index), 0,
                sort_compare, index, &first, &last) <= 0)
        return false;
    for (int i = first; i <= last; i++)
        if (record_of(entry_at(index, i)) == d) {
            deltbl(index->entries, i);
            return true;
        }
    return false;
}

// Enters the key image `key` in its place, bringing envelopes and the
// unique flag up to date; `nrecords` is the caller's.
void insert_entry(Dbindex *index, char *key) {
    int first = 0, last = -1;
    ssearch(key, index->jig->size, entries_base(index), nentries(index), 0, sort_compare, index,
            &first, &last);
    instbl(index->entries, first, key);
    if (index->jig->envelope) refresh_envelopes(index, first);
    if (index->unique) {
        Jig *saved = index->search_jig;
        index->search_jig = index->jig;
        char *e = entry_at(index, first);
        if ((first > 0 && dbcmp_search(e, entry_at(index, first - 1), index) == 0) ||
            (first + 1 < nentries(index) && dbcmp_search(e, entry_at(index, first + 1), index) == 0))
            index->unique = 0;
        index->search_jig = saved;
    }
}

Dbptr table_of(Dbindex *index) {
    Dbptr t = index->jig->db;
    t.field = t.record = dbALL;
    return t;
}

bool has_indexes(Table *t) { return t != nullptr && t->indexes != nullptr && cntarr(t->indexes) > 0; }

// The indexes of a table, in name order (a new list).
Tbl *indexes_of(Table *t) { return valsarr(t->indexes); }

}  // namespace

extern "C" {

char *equiv_field(char *name) {
    static char time_endtime[] = "time::endtime";
    static char ondate_offdate[] = "ondate::offdate";
    static char time[] = "time";
    static char ondate[] = "ondate";
    if (std::strcmp(name, time_endtime) == 0) return ondate_offdate;
    if (std::strcmp(name, ondate_offdate) == 0) return time_endtime;
    if (std::strcmp(name, time) == 0) return ondate;
    if (std::strcmp(name, ondate) == 0) return time;
    return kNoMatch;
}

int dbindex_name(Dbptr table, Tbl *keys, char *name) {
    int result = 0;
    table.field = table.record = dbALL;
    char *end = name + std::strlen(name);
    int n = keys != nullptr ? maxtbl(keys) : 0;
    for (int i = 0; i < n; i++) {
        auto *key = static_cast<char *>(gettbl(keys, i));
        const char *colon = std::strchr(key, ':');
        if (colon != nullptr) {
            std::size_t len = static_cast<std::size_t>(colon - key);
            WorkBuffer start(len + 1, "name");
            std::memcpy(start.get(), key, len);
            Dbptr s = dblookup(table, nullptr, nullptr, start.get(), nullptr);
            Dbptr e = dblookup(s, nullptr, nullptr, colon + 2, nullptr);
            end += std::sprintf(end, "#%d:%d", s.field, e.field);
        } else if (dbis_expression(key)) {
            end += std::sprintf(end, "#e");
            result = 1;
        } else {
            Dbptr f = dblookup(table, nullptr, nullptr, key, nullptr);
            end += std::sprintf(end, "#%d", f.field);
        }
    }
    return result;
}

Dbindex *dbcreate_index(Dbptr table, Tbl *keys, char *name) {
    auto *index = LF_NEW_RECORD(Dbindex, "dbindex");
    table.field = table.record = dbALL;
    if (dbmake_jig(table, keys, &index->jig) != 0) {
        dbfree_index(index);
        return nullptr;
    }
    index->name = LF_STRDUP(name, "dbindex");
    index->path = nullptr;
    index->unique = 0;
    int size = index->jig->size;
    int count = 0;
    if (dbquery(table, QUERY_RECORD_COUNT, &count) < 0 || count < 0) {
        dbfree_index(index);
        return nullptr;
    }
    Owned<char> key(static_cast<char *>(LF_MALLOC(static_cast<std::size_t>(size), "key")));
    index->entries = inittbl(0, count + 1, 1, nullptr, size);
    Dbptr record = table;
    for (record.record = 0; record.record < count; record.record++) {
        dbmake_key(record, index->jig, key.get());
        pushtbl(index->entries, key.get());
    }
    if (count > 1) quicksort(entries_base(index), count, size, build_compare, index);
    if (index->jig->envelope) dbfix_envelope(index);
    index->search_jig = nullptr;
    index->nrecords = nentries(index);
    return index;
}

Dbindex *dbread_index(Dbptr table, Table *t, char *path) {
    table.field = table.record = dbALL;
    char *table_path = nullptr;
    if (dbquery(table, QUERY_TABLE_PATH, &table_path) != 0 || table_path == nullptr) return nullptr;
    if (remove_if_stale(table, t, table_path, path)) return nullptr;
    char *header = nullptr;
    Tbl *list = readtbl(path, &header, 0);
    if (list == nullptr) return nullptr;
    Owned<char> text(LF_STRDUP(header != nullptr ? header : "", "dbindex"));
    int count = t->count;
    int n = maxtbl(list), entry_size = list->entry_size;
    bool direct = list->direct != 0;
    // Copy the entries: the file's mapping stays untouched.
    Tbl *entries = nullptr;
    if (direct && entry_size >= 4) {
        entries = inittbl(0, n + 1, 1, nullptr, entry_size);
        for (int i = 0; i < n; i++) pushtbl(entries, gettbl(list, i));
    }
    freetbl(list, nullptr);
    if (entries == nullptr) {
        elog_log(0, "Index file %s holds no key images\n", path);
        return nullptr;
    }
    auto *index = LF_NEW_RECORD(Dbindex, "dbindex");
    index->entries = entries;
    index->path = LF_STRDUP(path, "dbindex");
    index->nrecords = n;
    Tbl *lines = split(text.get(), '\n');
    bool ok = false;
    if (maxtbl(lines) > 0) {
        auto *first = static_cast<char *>(gettbl(lines, 0));
        std::size_t len = std::strlen(first);
        WorkBuffer word(len + 1, "dbindex");
        int unique = 0, other = 0;
        if (std::sscanf(first, "#Index %s %d %d", word.get(), &unique, &other) == 3) {
            const char *hash = std::strchr(word.get(), '#');
            if (hash != nullptr) {
                index->unique = unique;
                index->name = LF_STRDUP(hash, "dbindex");
                Tbl *keys = newtbl(maxtbl(lines));
                for (int i = 1; i < maxtbl(lines); i++) pushtbl(keys, gettbl(lines, i));
                ok = dbmake_jig(table, keys, &index->jig) == 0;
                freetbl(keys, nullptr);
            }
        }
    }
    freetbl(lines, nullptr);
    if (ok && index->jig->size != entry_size) {
        elog_log(0, "Index file %s: entries of %d bytes for keys of %d\n", path, entry_size,
                 index->jig->size);
        ok = false;
    }
    for (int i = 0; ok && i < n; i++) {
        int r = record_of(entry_at(index, i));
        if (r < 0 || r >= count) {
            elog_log(0, "Index file %s names record #%d of a table of %d\n", path, r, count);
            ok = false;
        }
    }
    if (!ok) {
        dbfree_index(index);
        return nullptr;
    }
    register_index(t, index->name, index);
    return index;
}

int dbget_index(Dbptr table, Tbl *keys, Dbindex **out) {
    *out = nullptr;
    table.field = table.record = dbALL;
    Resolved r;
    int level = resolve(table, &r);
    if (level != RESOLVED_TABLE && level != RESOLVED_FIELD && level != RESOLVED_RECORD) {
        elog_log(0, "Must specify database table: db=(%d,%d,%d,%d)", table.database, table.table,
                 table.field, table.record);
        return dbINVALID;
    }
    Table *t = r.table;
    int nkeys = keys != nullptr ? maxtbl(keys) : 0;
    WorkBuffer name(static_cast<std::size_t>(nkeys) * 32 + 1024, "name");
    dbindex_name(table, keys, name.get());
    auto *cached = static_cast<Dbindex *>(getarr(t->indexes, name.get()));
    if (cached != nullptr && cached->jig != nullptr && cmp_patterns(keys, cached->jig->keys) == 0) {
        *out = cached;
        return 0;
    }
    IndexSearch search{keys, nullptr};
    applyarr(t->indexes, check_index, &search);
    if (search.found != nullptr) {
        *out = search.found;
        return 0;
    }
    if (t->fd > 0 && t->path != nullptr) {
        Owned<char> pattern(index_pattern(t->path, name.get()));
        glob_t g;
        if (glob(pattern.get(), 0, nullptr, &g) == 0) {
            Dbindex *found = nullptr;
            for (std::size_t i = 0; i < g.gl_pathc && found == nullptr; i++) {
                Dbindex *x = dbread_index(table, t, g.gl_pathv[i]);
                if (x != nullptr && cmp_patterns(keys, x->jig->keys) == 0) found = x;
            }
            globfree(&g);
            if (found != nullptr) {
                *out = found;
                return 1;
            }
        }
    }
    Dbindex *built = dbcreate_index(table, keys, name.get());
    if (built == nullptr) return dbINVALID;
    register_index(t, name.get(), built);
    *out = built;
    return 0;
}

int dbsearch(Dbptr record, Jig *jig, Dbindex *index, int unique, int *first, int *last) {
    WorkBuffer key(static_cast<std::size_t>(jig->size), "key");
    dbmake_key(record, jig, key.get());
    index->search_jig = jig;
    return ssearch(key.get(), index->jig->size, entries_base(index), nentries(index), unique,
                   search_compare, index, first, last);
}

int dbrecord(Dbindex *index, int i) {
    if (index == nullptr || i < 0 || i >= nentries(index)) return dbINVALID;
    return record_of(entry_at(index, i));
}

char *dbkey(Dbindex *index, int i) {
    if (index == nullptr || i < 0 || i >= nentries(index)) return nullptr;
    return entry_at(index, i) + 4;
}

int dbadd2index(Dbptr record, Dbindex *index) {
    Owned<char> key(static_cast<char *>(LF_MALLOC(static_cast<std::size_t>(index->jig->size), "key_value")));
    dbmake_key(record, index->jig, key.get());
    insert_entry(index, key.get());
    index->nrecords++;
    return 0;
}

void add2index(char *, Dbindex *index, Dbptr *record) {
    if (record->record == index->nrecords)
        dbadd2index(*record, index);
    else if (record->record > index->nrecords)
        dbupdate_index(index);  // it missed records appended before
}

int dbupdate_index(Dbindex *index) {
    Dbptr table = table_of(index);
    int count = 0;
    if (dbquery(table, QUERY_RECORD_COUNT, &count) < 0) return -1;
    Dbptr record = table;
    for (record.record = index->nrecords; record.record < count; record.record++)
        dbadd2index(record, index);
    index->nrecords = count;
    return 0;
}

int delindex(char *, Dbindex *index, Dbptr *record) {
    int d = record->record;
    if (d < 0 || d >= index->nrecords) return 0;
    for (int i = nentries(index) - 1; i >= 0; i--) {
        char *e = entry_at(index, i);
        int r = record_of(e);
        if (r == d)
            deltbl(index->entries, i);
        else if (r > d)
            set_record(e, r - 1);
    }
    index->nrecords--;
    return 0;
}

void index_delete(char *, Dbindex *index, Dbptr *record) {
    if (record->record < 0 || record->record >= index->nrecords) return;
    WorkBuffer key(static_cast<std::size_t>(index->jig->size), "key_value");
    dbmake_key(*record, index->jig, key.get());
    remove_entry(index, key.get(), record->record);
}

int dbflush_an_index(char *name, Dbindex *index, Arr *indexes) {
    if (index->path != nullptr && unlink(index->path) != 0 && errno != ENOENT)
        elog_complain(1, "Can't remove out of date index file %s\n", index->path);
    delarr(indexes, name);
    dbfree_index(index);
    return 0;
}

int dbflush_indexes(Dbptr table) {
    Resolved r;
    if (resolve_table(table, &r) != RESOLVED_TABLE || r.table == nullptr) return dbINVALID;
    Table *t = r.table;
    Tbl *names = keysarr(t->indexes);
    // The names are the array's own copies: take copies before removing.
    int n = maxtbl(names);
    for (int i = 0; i < n; i++) {
        Owned<char> name(LF_STRDUP(static_cast<char *>(gettbl(names, i)), "name"));
        auto *index = static_cast<Dbindex *>(getarr(t->indexes, name.get()));
        if (index != nullptr) dbflush_an_index(name.get(), index, t->indexes);
    }
    freetbl(names, nullptr);
    return 0;
}

}  // extern "C"

namespace ledgeform {

void index_record_added(Table *t, Dbptr record) {
    if (!has_indexes(t)) return;
    Tbl *list = indexes_of(t);
    for (int i = 0; i < maxtbl(list); i++)
        add2index(nullptr, static_cast<Dbindex *>(gettbl(list, i)), &record);
    freetbl(list, nullptr);
}

void index_record_deleted(Table *t, Dbptr record) {
    if (!has_indexes(t)) return;
    Tbl *list = indexes_of(t);
    for (int i = 0; i < maxtbl(list); i++)
        delindex(nullptr, static_cast<Dbindex *>(gettbl(list, i)), &record);
    freetbl(list, nullptr);
}

void index_record_marked(Table *t, Dbptr record) {
    if (!has_indexes(t)) return;
    record.field = dbALL;
    Tbl *list = indexes_of(t);
    for (int i = 0; i < maxtbl(list); i++)
        index_delete(nullptr, static_cast<Dbindex *>(gettbl(list, i)), &record);
    freetbl(list, nullptr);
}

IndexChange::IndexChange(Table *t, Dbptr record) : record_(record) {
    record_.field = dbALL;
    if (!has_indexes(t) || record_.record < 0) return;
    list_ = indexes_of(t);
    int n = maxtbl(list_);
    present_ = static_cast<char *>(LF_CALLOC(static_cast<std::size_t>(n) + 1, "index"));
    for (int i = 0; i < n; i++) {
        auto *index = static_cast<Dbindex *>(gettbl(list_, i));
        if (record_.record >= index->nrecords) continue;
        WorkBuffer key(static_cast<std::size_t>(index->jig->size), "key_value");
        dbmake_key(record_, index->jig, key.get());
        present_[i] = remove_entry(index, key.get(), record_.record) ? 1 : 0;
    }
}

IndexChange::~IndexChange() {
    if (list_ == nullptr) return;
    const char *null = null_record(record_);
    Resolved r;
    bool is_null = null != nullptr && resolve(record_, &r) == RESOLVED_RECORD && r.data != nullptr &&
                   std::memcmp(r.data, null, static_cast<std::size_t>(r.relation->size)) == 0;
    int n = maxtbl(list_);
    for (int i = 0; i < n; i++) {
        auto *index = static_cast<Dbindex *>(gettbl(list_, i));
        if (record_.record >= index->nrecords || (!present_[i] && is_null)) continue;
        WorkBuffer key(static_cast<std::size_t>(index->jig->size), "key_value");
        dbmake_key(record_, index->jig, key.get());
        insert_entry(index, key.get());
    }
    std::free(present_);
    freetbl(list_, nullptr);
}

void index_drop_all(Table *t) {
    if (!has_indexes(t)) return;
    freearr(t->indexes, [](void *index) { dbfree_index(static_cast<Dbindex *>(index)); });
    t->indexes = newarr(nullptr);
}

}  // namespace ledgeform
