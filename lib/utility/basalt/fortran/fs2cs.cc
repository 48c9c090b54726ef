// The string bridge between blank-padded fixed-length buffers and C strings.
#include <cstring>

#include "alloc.h"
#include "fortran.h"

extern "C" {

char *newcs(char *fs, int n) {
    if (n <= 0 || fs[0] == '\0') {
        auto *s = static_cast<char *>(BASALT_CALLOC(2, "s"));
        return s;
    }
    auto size = static_cast<std::size_t>(n);
    auto *s = static_cast<char *>(BASALT_CALLOC(size + 1, "s"));
    std::size_t used = strnlen(fs, size);
    std::memcpy(s, fs, used);
    // Trailing blanks go; a NUL byte (the end of a shorter text) stops the
    // scan.
    for (std::size_t i = size; i > 0 && s[i - 1] == ' '; i--) s[i - 1] = '\0';
    return s;
}

int cs2fs(char *dst, char *src, int nmax) {
    if (nmax <= 0) return 0;
    auto size = static_cast<std::size_t>(nmax);
    // No string at all gives all blanks, as the empty string does.
    std::size_t n = src != nullptr ? strnlen(src, size) : 0;
    if (n > 0) std::memcpy(dst, src, n);
    std::memset(dst + n, ' ', size - n);
    return 0;
}

int fs2cs(char *dst, char *src, int nmax) {
    if (nmax <= 0) {
        if (nmax == 0) dst[0] = '\0';
        return 0;
    }
    auto size = static_cast<std::size_t>(nmax);
    std::memcpy(dst, src, size);
    std::size_t end = size;
    while (end > 0 && dst[end - 1] == ' ') end--;
    dst[end] = '\0';
    return 0;
}

int strcpy_pad(char *dst, int dstmax, char *src, int srcmax, int pad) {
    if (dstmax <= 0) return 0;
    int n = srcmax < dstmax ? (srcmax > 0 ? srcmax : 0) : dstmax;
    std::memmove(dst, src, static_cast<std::size_t>(n));
    std::memset(dst + n, pad & 0xff, static_cast<std::size_t>(dstmax - n));
    return 0;
}

}  // extern "C"
