// Lists of strings: building, joining, matching against regular
// expressions and printing.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "alloc.h"
#include "regex_private.h"
#include "tbl.h"

namespace {

using basalt::Regex;

void *index_entry(int i) { return reinterpret_cast<void *>(static_cast<intptr_t>(i)); }

int put_line(char *s) { return std::puts(s); }

// prt takes a mutable string: hand it a copy of a constant text.
int print_text(int (*prt)(char *), const char *text) {
    std::string copy(text);
    return prt(copy.data());
}

}  // namespace

extern "C" {

Tbl *strtbl(char *s, ...) {
    Tbl *tbl = newtbl(0);
    pushtbl(tbl, s);
    // A null first argument is the whole list: nothing follows it.
    if (s == nullptr) return tbl;
    va_list args;
    va_start(args, s);
    while (char *next = va_arg(args, char *)) pushtbl(tbl, next);
    va_end(args);
    return tbl;
}

char *jointbl(Tbl *tbl, char *separator) {
    const char *sep = separator ? separator : "";
    std::size_t seplen = std::strlen(sep);
    int n = maxtbl(tbl);
    // count x strlen(separator) + the entries' lengths + 1, checked.
    std::size_t total = 1;
    bool overflow = false;
    auto add = [&](std::size_t k) {
        if (total > SIZE_MAX - k) overflow = true;
        else total += k;
    };
    for (int i = 0; i < n; i++) {
        const char *entry = static_cast<const char *>(gettbl(tbl, i));
        add(seplen);
        if (entry) add(std::strlen(entry));
    }
    if (overflow) basalt::out_of_memory(__FILE__, __LINE__, SIZE_MAX, "s");
    char *s = static_cast<char *>(BASALT_MALLOC(total, "s"));
    char *p = s;
    for (int i = 0; i < n; i++) {
        if (i > 0) {
            std::memcpy(p, sep, seplen);
            p += seplen;
        }
        const char *entry = static_cast<const char *>(gettbl(tbl, i));
        if (entry) {
            std::size_t len = std::strlen(entry);
            std::memcpy(p, entry, len);
            p += len;
        }
    }
    *p = '\0';
    return s;
}

Tbl *greptbl(char *re, Tbl *tbl) {
    Tbl *result = newtbl(0);
    Regex regex(re);
    if (!regex.ok()) return result;
    int n = maxtbl(tbl);
    for (int i = 0; i < n; i++)
        if (regex.matches_whole(static_cast<const char *>(gettbl(tbl, i))))
            pushtbl(result, index_entry(i));
    return result;
}

Tbl *tblgrep(Tbl *tbl, char *string) {
    Tbl *result = newtbl(0);
    int n = maxtbl(tbl);
    for (int i = 0; i < n; i++) {
        Regex regex(static_cast<const char *>(gettbl(tbl, i)));
        if (regex.matches_whole(string)) pushtbl(result, index_entry(i));
    }
    return result;
}

void dumptbl(char *msg, Tbl *list, int (*prt)(char *)) {
    if (prt == nullptr) prt = put_line;
    print_text(prt, msg ? msg : "");
    print_text(prt, "\n");
    int n = maxtbl(list);
    if (n == 0) {
        print_text(prt, "  ** no entries in list **\n");
        return;
    }
    for (int i = 0; i < n; i++) {
        char label[32];
        std::snprintf(label, sizeof label, "  %3d: ", i);
        print_text(prt, label);
        const char *entry = static_cast<const char *>(gettbl(list, i));
        print_text(prt, entry ? entry : "(null)");
        print_text(prt, "\n");
    }
}

}  // extern "C"
