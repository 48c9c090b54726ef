// View files: a view (or a base table, as a view of one slot per record)
// written to a stream, read back into a new view, and saved in the file of
// the view's own table, where a lookup of the view's name finds it again.
//
// A view file is read whole before anything is installed: a file that is
// malformed makes no view at all. A file that ends inside a record still
// makes the view of its whole records.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "ledgeform_private.h"

namespace ledgeform {

namespace {

constexpr int kLine = 1024;
constexpr int kSlot = static_cast<int>(sizeof(Dbptr));
// Saved views may name tables that are themselves found as saved views;
// a file that names itself must not recurse for ever.
constexpr int kMaxNesting = 8;
// The first allocation for the records read (it doubles as needed).
constexpr std::size_t kFirstRoom = std::size_t{64} << 20;

thread_local int nesting = 0;

enum class Line { kRead, kEnd, kTooLong };

// One line of at most kLine - 1 characters, its newline included.
Line read_line(FILE *file, char *line) {
    if (std::fgets(line, kLine, file) == nullptr) return Line::kEnd;
    std::size_t n = std::strlen(line);
    if (n == kLine - 1 && line[n - 1] != '\n' && !std::feof(file)) return Line::kTooLong;
    return Line::kRead;
}

struct Nesting {
    Nesting() { nesting++; }
    ~Nesting() { nesting--; }
};

// The tables a view file names, in slot order.
struct TableList {
    ~TableList() {
        if (names != nullptr) freetbl(names, std::free);
        std::free(ids);
    }
    void add(const char *name, int id) {
        if (names == nullptr) names = newtbl(4);
        pushtbl(names, LF_STRDUP(name, "name"));
        ids = static_cast<int *>(LF_REALLOC(ids, sizeof(int) * maxtbl(names), "ids"));
        ids[maxtbl(names) - 1] = id;
    }
    int size() const { return names != nullptr ? maxtbl(names) : 0; }
    Tbl *names = nullptr;
    int *ids = nullptr;
};

// Reads the "#Table" lines up to the "#" line. Returns 0, or -102 after a
// message.
int read_tables(FILE *file, Dbptr db, time_t view_time, bool check_times, TableList *tables,
                int *largest) {
    char line[kLine], name[kLine];
    for (;;) {
        Line got = read_line(file, line);
        if (got == Line::kEnd) return 0;
        if (got == Line::kRead && std::strlen(line) == 2 && line[0] == '#') return 0;
        int id = 0;
        if (got == Line::kTooLong || std::sscanf(line, "#Table %1023s %d", name, &id) != 2) {
            elog_log(0, "Can't read table name -- bad view format\n");
            return dbINVALID;
        }
        Dbptr t = dblookup(db, nullptr, name, nullptr, nullptr);
        if (t.table < 0) {
            elog_log(0, "Invalid table name in dbtbl2view: '%s'\n", name);
            return dbINVALID;
        }
        char *path = nullptr;
        struct stat st;
        if (check_times && dbquery(t, QUERY_TABLE_PATH, &path) == 0 && path != nullptr &&
            stat(path, &st) == 0 && st.st_mtime > view_time) {
            elog_log(0, "Table %s (%s) has changed since the view was created.\n", name, path);
            return dbINVALID;
        }
        int count = 0;
        dbquery(t, QUERY_RECORD_COUNT, &count);
        if (count > *largest) *largest = count;
        tables->add(name, t.table);
    }
}

// Reads the records to the end of the input. Returns the bytes read, or -1
// when they do not fit a table in memory.
long long read_records(FILE *file, std::size_t record, int largest, char **data, std::size_t *room) {
    std::size_t want = (static_cast<std::size_t>(largest) + 1) * record;
    *room = want < kFirstRoom ? want : kFirstRoom / record * record;
    if (*room < record) *room = record;
    *data = static_cast<char *>(LF_MALLOC(*room, "data"));
    std::size_t have = 0;
    for (;;) {
        if (have == *room) {
            if (*room > static_cast<std::size_t>(INT_MAX) / 2) return -1;
            *room *= 2;
            *data = static_cast<char *>(LF_REALLOC(*data, *room, "data"));
        }
        std::size_t got = std::fread(*data + have, 1, *room - have, file);
        have += got;
        if (got == 0) break;
    }
    return have > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<long long>(have);
}

// Whether path is the file of a base table of the database (or its
// descriptor): a saved view must never write over one.
bool is_table_file(Database *d, const char *path) {
    struct stat target;
    if (stat(path, &target) != 0) return false;
    auto same = [&](const char *other) {
        struct stat st;
        return stat(other, &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino;
    };
    if (same(d->abspath)) return true;
    Schema *schema = d->schema;
    for (int id = 0; id < schema->nrelations; id++) {
        Relation *rel = relation_at(schema, id);
        if (rel == nullptr || rel->transient) continue;
        char candidate[kPathBuffer];
        find_path(d->dbname, rel->name, d->dbpath, candidate);
        if (same(candidate)) return true;
    }
    return false;
}

}  // namespace

}  // namespace ledgeform

using namespace ledgeform;

extern "C" {

int dbwrite_view(Dbptr db, FILE *file) {
    Resolved r;
    if (resolve_table(db, &r) != RESOLVED_TABLE) {
        elog_log(0, "Can't write view -- invalid db pointer.\n");
        return dbINVALID;
    }
    Database *d = r.database;
    Relation *rel = r.relation;
    char path[kPathBuffer];
    abspath(d->dbname, path);
    bool view = is_pure_view(rel);
    std::fprintf(file, "#View %s\n", view ? rel->name : "View0");
    std::fprintf(file, "#Database %s %d\n", path, d->id);
    if (view) {
        for (int k = 0; k < maxtbl(rel->relrefs); k++) {
            auto *ref = static_cast<Relref *>(gettbl(rel->relrefs, k));
            std::fprintf(file, "#Table %s %d\n", ref->relation->name, ref->relation->id);
        }
    } else {
        std::fprintf(file, "#Table %s %d\n", rel->name, rel->id);
    }
    std::fprintf(file, "#\n");
    if (view) {
        std::size_t size = r.data != nullptr ? static_cast<std::size_t>(r.size) : 0;
        if (std::fwrite(r.data, 1, size, file) != size || std::fflush(file) != 0) {
            elog_log(1, "failed to write view %s", rel->name);
            return dbINVALID;
        }
        return 0;
    }
    int count = r.table != nullptr ? r.table->count : 0;
    for (int i = 0; i < count; i++) {
        Dbptr slot = make_dbptr(d->id, rel->id, dbALL, i);
        if (std::fwrite(&slot, sizeof slot, 1, file) != 1) {
            elog_log(1, "failed to write view of table %s", rel->name);
            return dbINVALID;
        }
    }
    if (std::fflush(file) != 0) {
        elog_log(1, "failed to write view of table %s", rel->name);
        return dbINVALID;
    }
    return 0;
}

int dbread_view(FILE *file, Dbptr *result, const char *name) {
    *result = dbinvalid();
    if (nesting >= kMaxNesting) {
        elog_log(0, "saved views nested more than %d deep\n", kMaxNesting);
        return dbINVALID;
    }
    Nesting guard;
    // The standard input (and a stream without a file) is not compared
    // with the times of its tables.
    int fd = fileno(file);
    struct stat st;
    bool check_times = fd > 0 && fstat(fd, &st) == 0;
    time_t view_time = check_times ? st.st_mtime : 0;

    char line[kLine], word[kLine];
    Line got = read_line(file, line);
    if (got == Line::kEnd) {
        elog_log(0, "Can't read input view\n");
        return dbINVALID;
    }
    if (got == Line::kTooLong || std::sscanf(line, "#View %1023s", word) != 1) {
        elog_log(0, "input does not appear to be a view: \n  '%s'\n", line);
        return dbINVALID;
    }
    got = read_line(file, line);
    if (got == Line::kEnd) {
        elog_log(0, "Can't read 2nd line from input view\n");
        return dbINVALID;
    }
    int id = 0;
    if (got == Line::kTooLong || std::sscanf(line, "#Database %1023s %d", word, &id) != 2) {
        elog_log(0, "Can't read database name from view input:\n  '%s'\n", line);
        return dbINVALID;
    }
    Dbptr db = dblookup(dbinvalid(), word, nullptr, nullptr, nullptr);
    if (db.database < 0) {
        elog_log(1, "Can't open database %s\n", word);
        return dbINVALID;
    }
    db.table = db.field = db.record = dbALL;

    TableList tables;
    int largest = 0;
    if (read_tables(file, db, view_time, check_times, &tables, &largest) != 0) return dbINVALID;
    int nt = tables.size();
    if (nt == 0) {
        elog_log(0, "No tables in view.\n");
        return dbINVALID;
    }
    if (nt > INT_MAX / kSlot) {
        elog_log(0, "Can't read table name -- bad view format\n");
        return dbINVALID;
    }
    std::size_t record = static_cast<std::size_t>(nt) * kSlot;
    char *data = nullptr;
    std::size_t room = 0;
    long long bytes = read_records(file, record, largest, &data, &room);
    Owned<char> owned(data);
    if (bytes < 0) {
        elog_log(0, "view too large to hold in memory\n");
        return dbINVALID;
    }
    // After the whole records: nothing, or the start of one more record,
    // which is reported once the view of the whole records is installed.
    std::size_t whole = static_cast<std::size_t>(bytes) / record * record;
    std::size_t rest = static_cast<std::size_t>(bytes) - whole;

    char generated[32];
    if (name == nullptr || *name == '\0') {
        int n = 0;
        n = dbquery(db, QUERY_TABLE_COUNT, &n);
        std::snprintf(generated, sizeof generated, "View%d", n);
        name = generated;
    }
    Dbptr view = dbtbl2view(db, name, tables.names);
    Resolved r;
    if (view.table < 0 || resolve(view, &r) != RESOLVED_TABLE) return dbINVALID;
    if (r.relation->nbases != nt) {
        elog_log(0, "Can't read table name -- bad view format\n");
        dbfree(view);
        return dbINVALID;
    }
    int count = static_cast<int>(whole / record);
    auto *slots = reinterpret_cast<Dbptr *>(data);
    for (int i = 0; i < count * nt; i++) {
        slots[i].database = db.database;
        slots[i].table = tables.ids[i % nt];
    }
    Table *t = r.table;
    std::free(t->data);
    t->data = owned.release();
    t->allocated = static_cast<int>(room);
    t->size = static_cast<int>(whole);
    t->count = count;
    *result = view;
    if (rest != 0) {
        elog_log(1, "Extra garbage at end of input view\n");
        return dbINVALID;
    }
    return 0;
}

int dbsave_view(Dbptr view) {
    Resolved r;
    if (resolve_table(view, &r) != RESOLVED_TABLE || !r.relation->is_view) return dbINVALID;
    view.field = view.record = dbALL;
    Relation *rel = r.relation;
    char *path = nullptr;
    if (dbquery(view, QUERY_TABLE_PATH, &path) != 0 || path == nullptr) return dbINVALID;
    if (!rel->transient || is_table_file(r.database, path)) {
        elog_log(0, "Can't save view %s in %s: that is the file of a table\n", rel->name, path);
        return dbINVALID;
    }
    FILE *file = std::fopen(path, "w+");
    if (file == nullptr) {
        elog_log(1, "Can't open file %s to save view\n", path);
        return dbINVALID;
    }
    int rc = dbwrite_view(view, file);
    if (std::fclose(file) != 0) {
        elog_log(1, "Couldn't close file for saved view in %s\n", path);
        return dbINVALID;
    }
    return rc == 0 ? 0 : dbINVALID;
}

}  // extern "C"
