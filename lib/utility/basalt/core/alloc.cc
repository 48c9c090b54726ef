#include "alloc.h"

#include <cstring>

#include "elog.h"

namespace basalt {

void out_of_memory(const char *file, int line, std::size_t count,
                   const char *what) {
    const char *base = std::strrchr(file, '/');
    base = base ? base + 1 : file;
    elog_die(1, "Out of memory at line %d in '%s'\n\tCan't malloc %u bytes for %s\n",
             line, base, static_cast<unsigned>(count), what);
    std::abort();  // elog_die does not return
}

char *checked_strdup(const char *s, const char *what, const char *file,
                     int line) {
    std::size_t n = std::strlen(s) + 1;
    char *p = static_cast<char *>(std::malloc(n));
    if (p == nullptr) out_of_memory(file, line, n, what);
    std::memcpy(p, s, n);
    return p;
}

}  // namespace basalt
