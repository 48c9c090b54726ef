// Tests, in-place edits and fixed-width field copies of C strings.
#include "strtools.h"

#include <array>
#include <cctype>
#include <cstring>

#include "alloc.h"
#include "tbl.h"

namespace {

constexpr bool is_blank(unsigned char c) { return c == ' '; }

constexpr bool is_white(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

unsigned char byte_at(const char *s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

template <typename Pred>
int all_of(const char *s, Pred pred) {
    for (; *s != '\0'; ++s)
        if (!pred(static_cast<unsigned char>(*s))) return 0;
    return 1;
}

}  // namespace

BASALT_BEGIN_DECLS

int nstrcmp(const char *a, const char *b) {
    if (a != nullptr && b != nullptr) return std::strcmp(a, b);
    if (a == nullptr && b == nullptr) return 0;
    return 1;
}

int blank(const char *s) { return all_of(s, is_blank); }

int whitespace(const char *s) { return all_of(s, is_white); }

void strtrim(char *s) {
    const std::size_t len = std::strlen(s);
    if (len == 0) return;

    // First character that is not white space.
    std::size_t i = 0;
    while (i < len && is_white(byte_at(s, i))) ++i;

    // Last character that is not white space; index 0 is left to the scan
    // above, so this one stops at 1.
    std::size_t j = len - 1;
    while (j >= 1 && is_white(byte_at(s, j))) --j;

    if (i == 0) {
        s[j + 1] = '\0';
    } else if (j >= i) {
        const std::size_t n = j - i + 1;
        std::memmove(s, s + i, n);
        s[n] = '\0';
    } else {
        s[0] = '\0';
    }
}

void chomp(char *s) {
    if (s == nullptr) return;
    const std::size_t len = std::strlen(s);
    if (len > 0 && s[len - 1] == '\n') s[len - 1] = '\0';
}

void str2upper(char *s) {
    for (; *s != '\0'; ++s)
        *s = static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
}

void str2lower(char *s) {
    for (; *s != '\0'; ++s)
        *s = static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
}

void strtr(char *s, const char *from, const char *to) {
    std::array<unsigned char, 256> table{};
    for (std::size_t c = 0; c < table.size(); ++c)
        table[c] = static_cast<unsigned char>(c);
    for (std::size_t i = 0; from[i] != '\0'; ++i)
        table[byte_at(from, i)] = byte_at(to, i);
    for (; *s != '\0'; ++s)
        *s = static_cast<char>(table[static_cast<unsigned char>(*s)]);
}

void strsub(const char *oldstr, const char *pattern, const char *replacement,
            char *newstr) {
    const std::size_t plen = std::strlen(pattern);
    if (plen == 0) {  // nothing to look for: a plain copy
        std::strcpy(newstr, oldstr);
        return;
    }
    const std::size_t rlen = std::strlen(replacement);
    const char *from = oldstr;
    char *out = newstr;
    for (const char *hit; (hit = std::strstr(from, pattern)) != nullptr;
         from = hit + plen) {
        const std::size_t keep = static_cast<std::size_t>(hit - from);
        std::memmove(out, from, keep);
        out += keep;
        std::memmove(out, replacement, rlen);
        out += rlen;
    }
    std::memmove(out, from, std::strlen(from) + 1);
}

Tbl *split(char *s, int c) {
    Tbl *fields = newtbl(5);
    const char sep = static_cast<char>(static_cast<unsigned char>(c));
    char *p = s;
    for (;;) {
        while (*p != '\0' && *p == sep) ++p;
        if (*p == '\0') break;
        pushtbl(fields, p);
        while (*p != '\0' && *p != sep) ++p;
        if (*p == '\0') break;
        *p++ = '\0';
    }
    return fields;
}

char *parse_on_1char(char *string, char parse_char1) {
    if (string == nullptr || *string == '\0') return nullptr;
    char *p = string;
    while (*p != '\0' && *p != parse_char1) ++p;
    if (*p == '\0') return p;
    *p = '\0';
    return p + 1;
}

void sncopy(char *dest, const char *source, int n) {
    if (n <= 0) return;
    const std::size_t width = static_cast<std::size_t>(n);
    const std::size_t len = strnlen(source, width);
    std::memcpy(dest, source, len);
    std::memset(dest + len, ' ', width - len);
}

void szcopy(char *dest, const char *source, int n) {
    const std::size_t width = n > 0 ? static_cast<std::size_t>(n) : 0;
    std::memcpy(dest, source, width);
    dest[width] = '\0';
}

void copystrip(char *dest, const char *source, int n) {
    std::size_t end = n > 0 ? strnlen(source, static_cast<std::size_t>(n)) : 0;
    std::size_t start = 0;
    while (start < end && is_blank(byte_at(source, start))) ++start;
    while (end > start && is_blank(byte_at(source, end - 1))) --end;
    std::memmove(dest, source + start, end - start);
    dest[end - start] = '\0';
}

void *memdup(const void *a, int n) {
    const std::size_t bytes = n > 0 ? static_cast<std::size_t>(n) : 0;
    void *b = BASALT_MALLOC(bytes, "b");
    if (bytes > 0) std::memcpy(b, a, bytes);
    return b;
}

BASALT_END_DECLS
