// Parameter files: the required revision date of a file.
#include <cstdio>
#include <cstdlib>

#include "elog.h"
#include "pf.h"
#include "tbl.h"
#include "timefmt.h"
#include "timeparse.h"

namespace {

void free_text(void *text) { std::free(text); }

}  // namespace

extern "C" int pfrequire(const char *pfname, const char *atime) {
    double required = str2epoch(const_cast<char *>(atime != nullptr ? atime : ""));
    Tbl *files = pffiles(pfname, 0);
    if (files == nullptr || maxtbl(files) == 0) {
        elog_log(0, "can't find parameter file %s", pfname != nullptr ? pfname : "");
        if (files != nullptr) freetbl(files, free_text);
        return -4;
    }
    const char *path = static_cast<const char *>(gettbl(files, maxtbl(files) - 1));
    int result;
    Pf *pf = nullptr;
    std::FILE *file = std::fopen(path, "r");
    if (file != nullptr) {
        int rc = pfin(file, &pf);
        std::fclose(file);
        if (rc != 0) {
            elog_log(0, "error in parameter file %s", pfname);
            if (pf != nullptr) pffree(pf);
            freetbl(files, free_text);
            return -3;
        }
    }
    void *value = nullptr;
    int kind = pf != nullptr ? pfget(pf, "pf_revision_time", &value) : INVALID_PF;
    if (kind == SCALAR_PF && value != nullptr) {
        double revision = str2epoch(static_cast<char *>(value));
        if (revision >= required) {
            result = 0;
        } else {
            char *have = strdate(revision);
            char *want = strdate(required);
            elog_log(0,
                     "pf_revision_time in the file '%s' has date %s, \n\tbut program requires "
                     "date after %s\n",
                     path, have, want);
            std::free(have);
            std::free(want);
            result = -2;
        }
    } else {
        char *want = strdate(required);
        elog_log(0, "no pf_revision_time in the file '%s', \n\tbut program requires date after %s\n",
                 path, want);
        std::free(want);
        result = -1;
    }
    if (pf != nullptr) pffree(pf);
    freetbl(files, free_text);
    return result;
}
