// Allocation helpers of the library. Running out of memory is fatal: the
// process ends through elog_die with a message naming what was being
// allocated. Memory that callers free is malloc'd, so these wrap malloc.
#ifndef BASALT_ALLOC_H
#define BASALT_ALLOC_H

#include <cstddef>
#include <cstdlib>

namespace basalt {

// Logs "Out of memory at line %d in '%s'\n\tCan't malloc %u bytes for %s\n"
// through elog_die and ends the process. `count` is what the site reports:
// a byte count, or the number of records for a record allocation.
[[noreturn]] void out_of_memory(const char *file, int line, std::size_t count,
                                const char *what);

inline void *checked_malloc(std::size_t bytes, std::size_t count,
                            const char *what, const char *file, int line) {
    void *p = std::malloc(bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, count, what);
    return p;
}

inline void *checked_calloc(std::size_t bytes, std::size_t count,
                            const char *what, const char *file, int line) {
    void *p = std::calloc(1, bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, count, what);
    return p;
}

inline void *checked_realloc(void *old, std::size_t bytes, std::size_t count,
                             const char *what, const char *file, int line) {
    void *p = std::realloc(old, bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, count, what);
    return p;
}

char *checked_strdup(const char *s, const char *what, const char *file,
                     int line);

}  // namespace basalt

// `what` is the text the out-of-memory message names, e.g. "tbl->base.cp".
#define BASALT_MALLOC(bytes, what) \
    basalt::checked_malloc((bytes), (bytes), (what), __FILE__, __LINE__)
#define BASALT_CALLOC(bytes, what) \
    basalt::checked_calloc((bytes), (bytes), (what), __FILE__, __LINE__)
#define BASALT_REALLOC(old, bytes, what) \
    basalt::checked_realloc((old), (bytes), (bytes), (what), __FILE__, __LINE__)
// A single record: the message prints the count 1.
#define BASALT_NEW_RECORD(type, what)                                   \
    static_cast<type *>(basalt::checked_calloc(sizeof(type), 1, (what), \
                                               __FILE__, __LINE__))
#define BASALT_STRDUP(s, what) \
    basalt::checked_strdup((s), (what), __FILE__, __LINE__)

#endif
