// Descriptor files: reading both forms, writing the parameter-file form, and
// the lock mode and id server taken from the environment.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "ledgeform_private.h"

using namespace ledgeform;

namespace {

constexpr int kDescriptorMax = 2047;
const char kDescriptorHeader[] = "# Ledgeform Database Descriptor file\n";

// Reads at most kDescriptorMax bytes of the file into text (NUL-ended);
// the number read, or -1.
int read_descriptor_text(const char *path, char *text) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    int n = 0;
    while (n < kDescriptorMax) {
        ssize_t got = reread(fd, text + n, kDescriptorMax - n);
        if (got < 0) {
            close(fd);
            return -1;
        }
        if (got == 0) break;
        n += static_cast<int>(got);
    }
    close(fd);
    text[n] = '\0';
    return n;
}

// The text of a scalar key, "" for a key of another kind, or null when the
// key is absent.
const char *descriptor_key(Pf *pf, const char *key) {
    void *value = nullptr;
    int kind = pfget(pf, key, &value);
    if (kind == INVALID_PF) return nullptr;
    if (kind != SCALAR_PF || value == nullptr) return "";
    return static_cast<const char *>(value);
}

char *expanded_dbpath(const char *text) {
    char *copy = LF_STRDUP(text, "dbpath");
    strtrim(copy);
    char *expanded = expand_env(copy);
    std::free(copy);
    return expanded;
}

int read_parameter_form(Database *db, const char *text) {
    Pf *pf = nullptr;
    if (pfcompile(text, &pf) != 0) {
        pffree(pf);
        return dbINVALID;
    }
    const char *schema = descriptor_key(pf, "schema");
    replace_text(&db->schema_name,
                 schema != nullptr && *schema != '\0' ? schema : default_schema_name());

    const char *dbpath = descriptor_key(pf, "dbpath");
    free_text(db->dbpath);
    db->dbpath = expand_env(dbpath != nullptr ? dbpath : Default_dbpath);

    const char *locks = descriptor_key(pf, "dblocks");
    if (locks == nullptr)
        dbset_locks_from_env(db);
    else if (std::strcmp(locks, "nfs") == 0)
        db->dblocks = -2;
    else if (*locks == '\0' || std::strcmp(locks, "none") == 0)
        db->dblocks = 0;
    else
        db->dblocks = -1;

    const char *server = descriptor_key(pf, "dbidserver");
    if (server == nullptr) {
        dbset_idserver_from_env(db);
    } else {
        replace_text(&db->dbidserver, *server != '\0' ? server : nullptr);
    }
    pffree(pf);
    return 1;
}

int read_old_form(Database *db, char *text) {
    Tbl *lines = split(text, '\n');
    int nlines = maxtbl(lines);
    if (nlines == 0) {
        freetbl(lines, nullptr);
        return dbINVALID;
    }
    char *first = static_cast<char *>(gettbl(lines, 0));
    if (blank(first)) {
        replace_text(&db->schema_name, default_schema_name());
    } else {
        strtrim(first);
        replace_text(&db->schema_name, first);
    }
    char *second = nlines > 1 ? static_cast<char *>(gettbl(lines, 1)) : nullptr;
    free_text(db->dbpath);
    db->dbpath = second != nullptr && *second != '\0' ? expanded_dbpath(second)
                                                      : LF_STRDUP(Default_dbpath, "dbpath");
    freetbl(lines, nullptr);
    dbset_locks_from_env(db);
    dbset_idserver_from_env(db);
    return 0;
}

// Appends "Key value\n", or the block form for a text of several lines;
// nothing for an empty or null value.
void push_text_key(void **text, const char *key, const char *value) {
    if (value == nullptr || *value == '\0') return;
    pushstr(text, key);
    if (std::strchr(value, '\n') != nullptr) {
        pushstr(text, " &Literal{\n");
        pushstr(text, value);
        pushstr(text, "\n}\n");
    } else {
        pushstr(text, " ");
        pushstr(text, value);
        pushstr(text, "\n");
    }
}

// Creates a new file beside path (mode 0666 less the umask) and stores its
// name in tmpname (malloc'd); the descriptor, or -1.
int create_beside(const char *path, char **tmpname) {
    static unsigned counter;
    std::size_t n = std::strlen(path) + 32;
    char *name = static_cast<char *>(LF_MALLOC(n, "dbcreate"));
    for (int attempt = 0; attempt < 100; attempt++) {
        unsigned serial = __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
        std::snprintf(name, n, "%s.%ld.%u.%u", path, static_cast<long>(getpid()), serial,
                      static_cast<unsigned>(std::time(nullptr)) % 100000u);
        int fd = open(name, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            *tmpname = name;
            return fd;
        }
        if (errno != EEXIST) break;
    }
    std::free(name);
    return -1;
}

}  // namespace

extern "C" {

void dbset_locks_from_env(Database *db) {
    const char *locks = std::getenv("DBLOCKS");
    if (locks == nullptr || std::strcmp(locks, "none") == 0)
        db->dblocks = 0;
    else if (std::strcmp(locks, "nfs") == 0)
        db->dblocks = -2;
    else
        db->dblocks = -1;
}

void dbset_idserver_from_env(Database *db) {
    const char *server = std::getenv("DBIDSERVER");
    if (server != nullptr) {
        replace_text(&db->dbidserver, server);
        return;
    }
    if (db->dblocks == -2)
        elog_die(0, "must specify DBIDSERVER environment variable when DBLOCKS is 'nfs'");
    replace_text(&db->dbidserver, nullptr);
}

int dbcreate(const char *path, const char *schema, const char *dbpath,
             const char *description, const char *detail) {
    void *text = nullptr;
    pushstr(&text, kDescriptorHeader);
    pushstr(&text, "schema ");
    pushstr(&text, schema != nullptr ? schema : default_schema_name());
    pushstr(&text, "\n");
    if (dbpath != nullptr && *dbpath != '\0') {
        pushstr(&text, "dbpath ");
        pushstr(&text, dbpath);
        pushstr(&text, "\n");
    }
    push_text_key(&text, "Description", description);
    push_text_key(&text, "Detail", detail);
    Owned<char> body(popstr(&text, 1));

    // The new text replaces the file whole: it is written beside it and
    // renamed over it.
    char *tmpname = nullptr;
    int fd = create_beside(path, &tmpname);
    if (fd < 0) {
        elog_log(1, "Can't create %s\n", path);
        return dbINVALID;
    }
    Owned<char> tmp(tmpname);
    int result = 0;
    int want = static_cast<int>(std::strlen(body.get()));
    ssize_t wrote = rewrite(fd, body.get(), want);
    if (wrote != want) {
        elog_log(1, "failed to write %d bytes to descriptor file %s (wrote only %d)", want, path,
                 static_cast<int>(wrote));
        result = dbINVALID;
    } else if (fsync(fd) != 0) {
        elog_log(1, "Can't create %s\n", path);
        result = dbINVALID;
    }
    if (close(fd) != 0 && result == 0) {
        elog_log(1, "Couldn't close descriptor file %s\n", path);
        result = dbINVALID;
    }
    if (result == 0 && rename(tmp.get(), path) != 0) {
        elog_log(1, "Can't create %s\n", path);
        result = dbINVALID;
    }
    if (result != 0) unlink(tmp.get());
    return result;
}

int dbread_descriptor(Database *db, const char *path) {
    char text[kDescriptorMax + 1];
    int n = read_descriptor_text(path, text);
    if (n <= 0) return dbINVALID;
    if (text[0] == '#') return read_parameter_form(db, text);
    return read_old_form(db, text);
}

}  // extern "C"
