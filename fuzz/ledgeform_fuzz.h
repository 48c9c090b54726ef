// What the database library's fuzz targets share: a quiet error log, the
// test schemas along SCHEMA_DIR, a scratch directory of their own (removed
// with all it holds at exit) and a scratch database there of the test schema
// "quake1.0" with a few records.
#ifndef FUZZ_LEDGEFORM_FUZZ_H
#define FUZZ_LEDGEFORM_FUZZ_H

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "db.h"
#include "elog.h"

namespace ledgeform_fuzz {

inline std::string &scratch_path() {
    static std::string dir;
    return dir;
}

inline void remove_scratch() {
    const std::string &dir = scratch_path();
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                unlink((dir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(dir.c_str());
}

// Sets up (once) the log, the environment and the scratch directory; the
// directory.
inline const std::string &scratch() {
    static const bool ready = [] {
        elog_init(0, nullptr);
        elog_set(ELOG_MAXMSG, 0, nullptr);
        elog_set(ELOG_DELIVER, 2, const_cast<char *>("/dev/null"));
        for (const char *name : {"DBLOCKS", "DBIDSERVER", "SCHEMA_DEFAULT"}) unsetenv(name);
        setenv("SCHEMA_DIR", LEDGEFORM_TESTDATA, 1);
        const char *tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/ledgeform-fuzz-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr) std::abort();
        scratch_path() = dir;
        std::atexit(remove_scratch);
        return true;
    }();
    (void)ready;
    return scratch_path();
}

// Opens (once) the database; its pointer.
inline Dbptr database() {
    static Dbptr db = dbinvalid();
    if (db.database >= 0) return db;
    std::string path = scratch() + "/quake";
    if (dbcreate(path.c_str(), "quake1.0", nullptr, nullptr, nullptr) != 0 ||
        LGdbopen(path.c_str(), "r+", &db) != 0)
        std::abort();
    Dbptr site = dblookup(db, nullptr, "site", nullptr, nullptr);
    Dbptr wave = dblookup(db, nullptr, "wave", nullptr, nullptr);
    dbaddv(site, nullptr, "sta", "AAK", "lat", 42.6, "lon", 74.5, nullptr);
    dbaddv(site, nullptr, "sta", "BBB", "lat", 10.0, "lon", 20.0, nullptr);
    for (int i = 0; i < 3; i++)
        dbaddv(wave, nullptr, "sta", i < 2 ? "AAK" : "BBB", "time", 1e9 + i, "nsamp", 10 * i, nullptr);
    FILE *inc = std::fopen((scratch() + "/inc").c_str(), "w");
    if (inc != nullptr) {
        std::fputs("a + 1 . s\n", inc);
        std::fclose(inc);
    }
    elog_clear();
    return db;
}

}  // namespace ledgeform_fuzz

#endif
