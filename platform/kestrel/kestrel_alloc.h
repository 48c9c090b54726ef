// Allocation for the ring-buffer library and the servers built on it:
// running out of memory ends the process through the error log, naming
// what was being allocated.
#ifndef KESTREL_ALLOC_H
#define KESTREL_ALLOC_H

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "elog.h"

namespace kestrel {

[[noreturn]] inline void out_of_memory(const char *file, int line, std::size_t count,
                                       const char *what) {
    const char *base = std::strrchr(file, '/');
    elog_die(1, "Out of memory at line %d in '%s'\n\tCan't malloc %u bytes for %s\n", line,
             base ? base + 1 : file, static_cast<unsigned>(count), what);
}

inline void *checked_calloc(std::size_t bytes, std::size_t count, const char *what,
                            const char *file, int line) {
    void *p = std::calloc(1, bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, count, what);
    return p;
}

inline void *checked_realloc(void *old, std::size_t bytes, const char *what, const char *file,
                             int line) {
    void *p = std::realloc(old, bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, bytes, what);
    return p;
}

inline char *checked_strdup(const char *s, const char *what, const char *file, int line) {
    const std::size_t n = std::strlen(s) + 1;
    char *p = static_cast<char *>(checked_realloc(nullptr, n, what, file, line));
    std::memcpy(p, s, n);
    return p;
}

}  // namespace kestrel

// A zeroed block of `bytes`; the message names `what`.
#define KESTREL_CALLOC(bytes, what) \
    kestrel::checked_calloc((bytes), (bytes), (what), __FILE__, __LINE__)
// One zeroed record: the message counts 1.
#define KESTREL_NEW_RECORD(type, what) \
    static_cast<type *>(kestrel::checked_calloc(sizeof(type), 1, (what), __FILE__, __LINE__))
#define KESTREL_REALLOC(old, bytes, what) \
    kestrel::checked_realloc((old), (bytes), (what), __FILE__, __LINE__)
#define KESTREL_STRDUP(s, what) kestrel::checked_strdup((s), (what), __FILE__, __LINE__)

#endif
