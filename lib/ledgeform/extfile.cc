// External files named by records: a "dir" and a "dfile" field (or a pair
// named after a base name), a relative directory being taken from the
// directory of the table that holds it.
#include <unistd.h>

#include <cerrno>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

bool store(char *result, const char *path) {
    std::size_t n = std::strlen(path);
    if (n >= static_cast<std::size_t>(kPathBuffer)) return false;
    std::memcpy(result, path, n + 1);
    return true;
}

// The text of a field of the record as dbgetv reads it; false when the
// record has no such field.
bool field_text(Dbptr record, const char *name, Owned<char> *text) {
    Dbptr f = dblookup(record, nullptr, nullptr, name, nullptr);
    int width = 0;
    if (f.field < 0 || (width = dbquery(f, QUERY_FIELD_SIZE, &width)) < 0) return false;
    text->reset(static_cast<char *>(LF_CALLOC(static_cast<std::size_t>(width) + 1, "temp")));
    return dbgetv(record, nullptr, name, text->get(), nullptr) == 0;
}

// The directory of the table that holds the field.
const char *holding_dir(Dbptr record, const char *name) {
    Dbptr f = dblookup(record, nullptr, nullptr, name, nullptr);
    char *table = nullptr;
    if (dbquery(f, QUERY_FIELD_TABLE, &table) != 0 || table == nullptr) return ".";
    Dbptr t = dblookup(record, nullptr, table, nullptr, nullptr);
    char *dir = nullptr;
    if (dbquery(t, QUERY_TABLE_DIR, &dir) != 0 || dir == nullptr) return ".";
    return dir;
}

bool readable(const char *path) {
    bool ok = access(path, R_OK) == 0;
    errno = 0;
    return ok;
}

}  // namespace

extern "C" {

int dbextfile(Dbptr record, const char *base, char *result) {
    result[0] = '\0';
    bool plain = base == nullptr || *base == '\0';
    Owned<char> dirname(plain ? LF_STRDUP("dir", "name") : strconcat(base, ".dir", nullptr));
    Owned<char> filename(plain ? LF_STRDUP("dfile", "name") : strconcat(base, ".dfile", nullptr));
    Owned<char> dir, dfile;
    bool have_dir = field_text(record, dirname.get(), &dir);
    bool have_file = field_text(record, filename.get(), &dfile);
    if ((!have_dir || *dir.get() == '\0') && (!have_file || *dfile.get() == '\0')) return -1;
    const char *d = have_dir ? dir.get() : "";
    const char *f = have_file ? dfile.get() : "";
    if (std::strcmp(d, "-") == 0) d = ".";
    Owned<char> path(d[0] == '/' ? concatpaths(d, f, nullptr)
                                 : concatpaths(holding_dir(record, dirname.get()), d, f, nullptr));
    if (readable(path.get())) return store(result, path.get()) ? 1 : -1;
    static const char *const kCompressed[] = {".Z", ".gz"};
    for (const char *suffix : kCompressed) {
        Owned<char> compressed(strconcat(path.get(), suffix, nullptr));
        if (readable(compressed.get())) return store(result, compressed.get()) ? 2 : -1;
    }
    if (!store(result, path.get())) return -1;
    const char *slash = std::strrchr(path.get(), '/');
    Owned<char> parent(slash == nullptr ? LF_STRDUP(".", "path")
                                        : strndup(path.get(), slash == path.get() ? 1 : slash - path.get()));
    bool writable = parent.get() != nullptr && access(parent.get(), W_OK) == 0;
    errno = 0;
    return writable ? 0 : -1;
}

int dbfilename(Dbptr record, char *result) { return dbextfile(record, nullptr, result); }

}  // extern "C"
