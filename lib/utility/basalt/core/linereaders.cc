// Line readers for streams: one into a caller's fixed buffer, one into a
// buffer that grows to hold a line of any length.
#include <climits>
#include <cstdio>
#include <cstring>

#include "alloc.h"
#include "strtools.h"

namespace {

constexpr std::size_t kFirstLineBuffer = 1024;

// Removes the newline at position len - 1, if that is one.
void drop_newline(char *line, std::size_t len) {
    if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';
}

}  // namespace

BASALT_BEGIN_DECLS

char *getaline(FILE *file, char *aline, int n) {
    if (n <= 0) return nullptr;  // no room even for the NUL
    aline[0] = '\0';
    aline[n - 1] = '\0';
    // fgets with size n - 1 reads at most n - 2 characters; below 3 no
    // character fits and every call would return an empty "line".
    if (file == nullptr || n < 3) return nullptr;
    if (std::fgets(aline, n - 1, file) == nullptr) {
        aline[0] = '\0';
        return nullptr;
    }
    drop_newline(aline, std::strlen(aline));
    return aline;
}

char *intactline(FILE *file, char **aline, int *size) {
    if (*size <= 0) {
        *aline = static_cast<char *>(BASALT_MALLOC(kFirstLineBuffer, "*aline"));
        *size = static_cast<int>(kFirstLineBuffer);
    }
    std::size_t cap = static_cast<std::size_t>(*size);
    char *buf = *aline;
    buf[0] = '\0';
    if (file == nullptr) return nullptr;

    // Doubles the buffer; a size beyond an int is out of memory.
    auto grow = [&] {
        if (cap > static_cast<std::size_t>(INT_MAX) / 2)
            basalt::out_of_memory(__FILE__, __LINE__, cap, "*aline");
        cap *= 2;
        buf = static_cast<char *>(BASALT_REALLOC(buf, cap, "*aline"));
        *aline = buf;
        *size = static_cast<int>(cap);
    };

    std::size_t used = 0;  // characters read so far
    for (;;) {
        // fgets gets the rest of the buffer less one spare byte; it needs
        // at least 2 bytes to read a character.
        while (cap - used - 1 < 2) grow();
        const int room = static_cast<int>(cap - used - 1);
        if (std::fgets(buf + used, room, file) == nullptr) {
            buf[used] = '\0';
            return used > 0 ? buf : nullptr;  // end of file or read error
        }
        used += std::strlen(buf + used);
        if (used > 0 && buf[used - 1] == '\n') {
            drop_newline(buf, used);
            return buf;
        }
        grow();  // the read ended without a newline: read on
    }
}

BASALT_END_DECLS
