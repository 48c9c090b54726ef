// Allocation in libtorvik: running out of memory ends the process through
// the error log, naming what was being allocated.
#ifndef TORVIK_ALLOC_PRIVATE_H
#define TORVIK_ALLOC_PRIVATE_H

#include <cstddef>
#include <cstdlib>

namespace torvik {

[[noreturn]] void out_of_memory(const char *file, int line, std::size_t bytes,
                                const char *what);

inline void *checked_malloc(std::size_t bytes, const char *what,
                            const char *file, int line) {
    void *p = std::malloc(bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, bytes, what);
    return p;
}

inline void *checked_calloc(std::size_t bytes, const char *what,
                            const char *file, int line) {
    void *p = std::calloc(1, bytes ? bytes : 1);
    if (p == nullptr) out_of_memory(file, line, bytes, what);
    return p;
}

char *checked_strdup(const char *s, const char *what, const char *file,
                     int line);

}  // namespace torvik

#define TORVIK_MALLOC(bytes, what) \
    torvik::checked_malloc((bytes), (what), __FILE__, __LINE__)
#define TORVIK_CALLOC(bytes, what) \
    torvik::checked_calloc((bytes), (what), __FILE__, __LINE__)
#define TORVIK_STRDUP(s, what) \
    torvik::checked_strdup((s), (what), __FILE__, __LINE__)

#endif
