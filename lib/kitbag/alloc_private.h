// Allocation in the portability layer. kitbag must not need the C++
// runtime library (outside C programs link it with the C compiler), so it
// allocates with malloc, and running out of memory ends the process through
// the error log of libbasalt, naming what was being allocated.
#ifndef KITBAG_ALLOC_PRIVATE_H
#define KITBAG_ALLOC_PRIVATE_H

#include <cstdlib>
#include <cstring>

#include "elog.h"

namespace kitbag {

[[noreturn]] inline void out_of_memory(const char *file, int line, std::size_t count,
                                       const char *what) {
    const char *base = std::strrchr(file, '/');
    elog_die(1, "Out of memory at line %d in '%s'\n\tCan't malloc %u bytes for %s\n", line,
             base ? base + 1 : file, static_cast<unsigned>(count), what);
}

inline void *checked_malloc(std::size_t bytes, std::size_t count, const char *what,
                            const char *file, int line) {
    void *p = std::malloc(bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, count, what);
    return p;
}

inline char *checked_strdup(const char *s, const char *what, const char *file, int line) {
    std::size_t n = std::strlen(s) + 1;
    char *p = static_cast<char *>(checked_malloc(n, n, what, file, line));
    std::memcpy(p, s, n);
    return p;
}

}  // namespace kitbag

// `what` is the text the out-of-memory message names.
#define KITBAG_MALLOC(bytes, what) \
    kitbag::checked_malloc((bytes), (bytes), (what), __FILE__, __LINE__)
#define KITBAG_STRDUP(s, what) kitbag::checked_strdup((s), (what), __FILE__, __LINE__)

#endif
