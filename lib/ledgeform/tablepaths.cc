// Where table files are: the search along a database's path, the list of a
// database's table files and the names of lock files.
#include <unistd.h>

#include <cerrno>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

bool is_regular(const char *path) {
    bool regular = is_file(path) != 0;
    errno = 0;
    return regular;
}

bool store(char *result, const char *path) {
    std::size_t n = std::strlen(path);
    if (n >= static_cast<std::size_t>(kPathBuffer)) {
        result[0] = '\0';
        return false;
    }
    std::memcpy(result, path, n + 1);
    return true;
}

// Calls visit(element, length) for each ":"-separated element of path,
// empty ones included; stops when visit returns true.
template <typename Visit>
bool each_element(const char *path, Visit visit) {
    if (path == nullptr) return false;
    const char *p = path;
    for (;;) {
        const char *colon = std::strchr(p, ':');
        std::size_t n = colon ? static_cast<std::size_t>(colon - p) : std::strlen(p);
        if (visit(p, n)) return true;
        if (colon == nullptr) return false;
        p = colon + 1;
    }
}

// A NUL-ended copy of n characters.
char *copy_n(const char *s, std::size_t n) {
    char *copy = static_cast<char *>(LF_MALLOC(n + 1, "path"));
    std::memcpy(copy, s, n);
    copy[n] = '\0';
    return copy;
}

// The element of a database path as the table search reads it: an element
// ending in "{name}" gives that name as the base name to use and is cut
// before the "{" (or before a "/" right before it).
struct PathElement {
    char *directory = nullptr;  // owned
    char *base = nullptr;       // owned, or null: the database's own
    ~PathElement() {
        std::free(directory);
        std::free(base);
    }
};

void split_braces(const char *element, std::size_t n, PathElement *out) {
    const char *brace = static_cast<const char *>(std::memchr(element, '{', n));
    if (n >= 4 && element[n - 1] == '}' && brace != nullptr) {
        out->base = copy_n(brace + 1, static_cast<std::size_t>(element + n - 1 - (brace + 1)));
        const char *cut = brace;
        if (cut > element && cut[-1] == '/') cut--;
        n = static_cast<std::size_t>(cut - element);
    }
    out->directory = n == 0 ? copy_n(".", 1) : copy_n(element, n);
}

// The base name of the database path and its directory part (with its "/",
// or empty).
void split_dbname(const char *dbname, char **dirpart, const char **base) {
    const char *slash = std::strrchr(dbname, '/');
    std::size_t n = slash ? static_cast<std::size_t>(slash - dbname) + 1 : 0;
    *dirpart = copy_n(dbname, n);
    *base = dbname + n;
}

// The candidate of dbtablepath and dbtblpaths for one element; null for an
// empty element.
char *tablepath_candidate(const char *dbdir, const char *dbbase, const char *table,
                          const char *element, std::size_t n) {
    if (n == 0) return nullptr;
    Owned<char> elem(copy_n(element, n));
    const char *base = dbbase;
    Owned<char> braced;
    // An element ending in "/{name}" names the base name.
    char *open = std::strstr(elem.get(), "/{");
    if (open != nullptr && n >= 3 && elem.get()[n - 1] == '}') {
        braced.reset(copy_n(open + 2, static_cast<std::size_t>(elem.get() + n - 1 - (open + 2))));
        base = braced.get();
        *open = '\0';
    }
    Owned<char> file(strconcat(base, ".", table, nullptr));
    return concatpaths(dbdir, elem.get(), file.get(), nullptr);
}

// Calls visit(candidate) with each candidate (malloc'd, the visitor's) of
// dbtablepath and dbtblpaths after the first, in path order; stops when
// visit returns true.
template <typename Visit>
void each_tablepath(const char *dbname, const char *table, const char *dbpath, Visit visit) {
    const char *slash = std::strrchr(dbname, '/');
    Owned<char> dir(slash == nullptr ? copy_n(".", 1)
                                     : copy_n(dbname, slash == dbname ? 1 : static_cast<std::size_t>(slash - dbname)));
    const char *base = slash ? slash + 1 : dbname;
    each_element(dbpath, [&](const char *element, std::size_t n) {
        char *candidate = tablepath_candidate(dir.get(), base, table, element, n);
        return candidate != nullptr && visit(candidate);
    });
}

}  // namespace

extern "C" {

int find_path(const char *dbname, const char *table, const char *dbpath, char *result) {
    Owned<char> first(strconcat(dbname, ".", table, nullptr));
    if (is_regular(first.get()) && store(result, first.get())) return 0;
    char *dirpart_raw = nullptr;
    const char *base = nullptr;
    split_dbname(dbname, &dirpart_raw, &base);
    Owned<char> dirpart(dirpart_raw);
    bool found = each_element(dbpath, [&](const char *element, std::size_t n) {
        PathElement e;
        split_braces(element, n, &e);
        const char *name = e.base ? e.base : base;
        Owned<char> candidate(e.directory[0] == '/'
                                  ? strconcat(e.directory, "/", name, ".", table, nullptr)
                                  : strconcat(dirpart.get(), e.directory, "/", name, ".", table,
                                              nullptr));
        return is_regular(candidate.get()) && store(result, candidate.get());
    });
    if (found) return 0;
    store(result, first.get());
    return -1;
}

int dbtablepath(const char *dbname, const char *table, const char *dbpath, char *result) {
    Owned<char> first(strconcat(dbname, ".", table, nullptr));
    Owned<char> hit;
    if (is_present(first.get())) {
        hit.reset(LF_STRDUP(first.get(), "path"));
    } else {
        each_tablepath(dbname, table, dbpath, [&](char *candidate) {
            if (is_present(candidate)) {
                hit.reset(candidate);
                return true;
            }
            std::free(candidate);
            return false;
        });
    }
    errno = 0;
    if (hit.get() == nullptr) {
        store(result, first.get());
        return 1;
    }
    char cwd[kPathBuffer], relative[kPathBuffer];
    if (hit.get()[0] == '/' && getcwd(cwd, sizeof cwd) != nullptr &&
        relpath(cwd, hit.get(), relative) == 0 && std::strlen(relative) < std::strlen(hit.get()))
        return store(result, relative) ? 0 : 1;
    return store(result, hit.get()) ? 0 : 1;
}

Tbl *dbtblpaths(const char *dbname, const char *table, const char *dbpath) {
    Tbl *list = newtbl(0);
    pushtbl(list, strconcat(dbname, ".", table, nullptr));
    each_tablepath(dbname, table, dbpath, [&](char *candidate) {
        const char *last = static_cast<char *>(gettbl(list, maxtbl(list) - 1));
        if (std::strcmp(last, candidate) == 0)
            std::free(candidate);
        else
            pushtbl(list, candidate);
        return false;
    });
    return list;
}

Arr *dbtablefiles(Dbptr db) {
    db.table = db.field = db.record = dbALL;
    Resolved r;
    if (resolve(db, &r) == dbINVALID) return nullptr;
    Database *d = r.database;
    if (d->tablefiles != nullptr) return d->tablefiles;
    Arr *files = newarr(nullptr);
    Tbl *names = d->schema->table_names;
    for (int i = 0; i < maxtbl(names); i++) {
        const char *name = static_cast<char *>(gettbl(names, i));
        char path[kPathBuffer];
        if (dbtablepath(d->abspath, name, d->dbpath, path) == 0)
            std::free(setarr(files, name, LF_STRDUP(path, "path")));
    }
    d->tablefiles = files;
    return files;
}

char *dblockname(const char *path) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) return strconcat("./.%", path, nullptr);
    Owned<char> dir(copy_n(path, static_cast<std::size_t>(slash - path)));
    return strconcat(dir.get(), "/.%", slash + 1, nullptr);
}

}  // extern "C"
