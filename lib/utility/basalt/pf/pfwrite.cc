// Parameter files: writing trees back as parameter-file text.
//
// pfout and pfwrite write an indented layout for people; pf2string a
// compact one for programs (the state files). Every text is written in the
// plainest form the parser takes back exactly: unchanged, with backslash
// escapes, or as a literal block. A text that begins with "&" is always
// written as a literal block, so that a saved value never reads back as a
// list, an array, a removal or a deferred function (which could run a
// command).
//
// Nodes that hold nothing to write (a scalar without text, placeholders,
// failure results) are left out together with their key, so that a key's
// line is never left without its value.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "alloc.h"
#include "arrays.h"
#include "elog.h"
#include "pf.h"
#include "strtools.h"
#include "tbl.h"

namespace {

// Five pairs of opening and closing characters, tried in this order.
const char Parens[] = "{}()[]<>`'";
const char kWord[] = "\"EndOfLiteral";

// Where the text goes: a stream, or a string buffer.
struct Sink {
    FILE *file = nullptr;
    void *vstack = nullptr;

    void put(const char *s) {
        if (file != nullptr) {
            std::fputs(s, file);
        } else {
            pushstr(&vstack, s);
        }
    }
    void put(char c) {
        if (file != nullptr) {
            std::fputc(c, file);
        } else {
            pushstrc(&vstack, c);
        }
    }
    void indent(int level) {
        if (file == nullptr) return;  // the compact layout has none
        for (int i = 0; i < level; i++) put("    ");
    }
};

// 2: a literal block is needed (the first or last character is a blank or
// a tab); 1: escapes are needed ("#", "}", backslash or newline); 0: the
// text can be written unchanged.
int requires_literal(const char *s) {
    const std::size_t n = std::strlen(s);
    if (n == 0) return 0;
    if (s[0] == ' ' || s[0] == '\t' || s[n - 1] == ' ' || s[n - 1] == '\t') return 2;
    if (std::strpbrk(s, "#}\\\n") != nullptr) return 1;
    return 0;
}

// A value text also needs a literal block when it begins with "&".
int value_form(const char *s) {
    if (s[0] == '&') return 2;
    return requires_literal(s);
}

// A new copy of s with a backslash before every backslash, newline, "#"
// and "}".
char *escape_special_chars(const char *s) {
    std::size_t extra = 0;
    for (const char *p = s; *p != '\0'; p++)
        if (*p == '\\' || *p == '\n' || *p == '#' || *p == '}') extra++;
    const std::size_t n = std::strlen(s);
    char *out = static_cast<char *>(BASALT_MALLOC(n + extra + 1, "s"));
    char *o = out;
    for (const char *p = s; *p != '\0'; p++) {
        if (*p == '\\' || *p == '\n' || *p == '#' || *p == '}') *o++ = '\\';
        *o++ = *p;
    }
    *o = '\0';
    return out;
}

// True when the count of open minus close never drops below zero and ends
// at zero.
bool check_balanced(const char *s, char open, char close) {
    long depth = 0;
    for (const char *p = s; *p != '\0'; p++) {
        if (*p == open) {
            depth++;
        } else if (*p == close) {
            if (--depth < 0) return false;
        }
    }
    return depth == 0;
}

char *concat3(const char *a, const char *b, const char *c, const char *d) {
    const std::size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c),
                      ld = std::strlen(d);
    char *out = static_cast<char *>(BASALT_MALLOC(la + lb + lc + ld + 1, "s"));
    std::memcpy(out, a, la);
    std::memcpy(out + la, b, lb);
    std::memcpy(out + la + lb, c, lc);
    std::memcpy(out + la + lb + lc, d, ld);
    out[la + lb + lc + ld] = '\0';
    return out;
}

// A new text of s in form 1 or 2: escaped when it is form 1 without a
// newline, else a literal block.
char *output_literal(const char *s, int form) {
    if (form == 1 && std::strchr(s, '\n') == nullptr) return escape_special_chars(s);
    for (int i = 0; i < 10; i += 2) {
        if (check_balanced(s, Parens[i], Parens[i + 1])) {
            const char open[] = {'&', 'L', 'i', 't', 'e', 'r', 'a', 'l', Parens[i], '\n', '\0'};
            const char close[] = {Parens[i + 1], '\0'};
            return concat3(open, s, close, "");
        }
    }
    std::string word = kWord;
    for (unsigned long n = 0; std::strstr(s, word.c_str()) != nullptr; n++)
        word = kWord + std::to_string(n);
    std::string head = "&Literal" + word + "\n";
    return concat3(head.c_str(), s, word.c_str(), "");
}

// Whether a node has anything to write.
bool writable(const Pf *pf) {
    if (pf == nullptr) return false;
    switch (pf->type) {
        case FILE_PF:
        case ARRAY_PF:
        case TABLE_PF:
            return true;
        case SCALAR_PF:
            return pf->value.s != nullptr;
        case FUNCTION_PF:
            return pf->value.pffunct != nullptr && pf->value.pffunct->s != nullptr;
        default:
            return false;
    }
}

void write_key(Sink &out, const char *key, bool compact) {
    char *escaped = nullptr;
    if (!compact && requires_literal(key) != 0) key = escaped = escape_special_chars(key);
    if (std::strpbrk(key, " \t") != nullptr) {
        const char q = std::strchr(key, '"') != nullptr ? '\'' : '"';
        out.put(q);
        out.put(key);
        out.put(q);
    } else {
        out.put(key);
    }
    std::free(escaped);
}

void write_node(Sink &out, Pf *pf, int level, bool compact);

void write_keys(Sink &out, Arr *arr, int level, bool compact) {
    if (arr == nullptr) return;
    Tbl *keys = keysarr(arr);
    for (int i = 0; i < maxtbl(keys); i++) {
        auto *key = static_cast<char *>(gettbl(keys, i));
        auto *value = static_cast<Pf *>(getarr(arr, key));
        if (!writable(value)) continue;
        out.indent(level);
        write_key(out, key, compact);
        out.put('\t');
        write_node(out, value, level, compact);
    }
    freetbl(keys, nullptr);
}

void write_node(Sink &out, Pf *pf, int level, bool compact) {
    switch (pf->type) {
        case FILE_PF:
        case ARRAY_PF:
            // Below the top, a file node is braced like an array.
            out.put("&Arr{\n");
            write_keys(out, pf->value.arr, level + 1, compact);
            out.indent(level);
            out.put("}\n");
            break;
        case SCALAR_PF: {
            const char *s = pf->value.s;
            const int form = value_form(s);
            if (form == 0) {
                out.put(s);
            } else {
                char *text = output_literal(s, form);
                out.put(text);
                std::free(text);
            }
            out.put('\n');
            break;
        }
        case TABLE_PF: {
            out.put("&Tbl{\n");
            Tbl *t = pf->value.tbl;
            const int n = t != nullptr ? maxtbl(t) : 0;
            for (int i = 0; i < n; i++) {
                auto *element = static_cast<Pf *>(gettbl(t, i));
                if (!writable(element)) continue;
                out.indent(level + 1);
                write_node(out, element, level + 1, compact);
            }
            out.indent(level);
            out.put("}\n");
            break;
        }
        case FUNCTION_PF: {
            // "&file(" values keep their line's newline: one is enough.
            std::string text = pf->value.pffunct->s;
            if (!text.empty() && text.back() == '\n') text.pop_back();
            out.put(text.c_str());
            out.put('\n');
            break;
        }
        default:
            break;
    }
}

// The top node: the keys of a file node are written bare; so are those of
// an array node, so that the text reads back (a braced top array would
// read as a key "&Arr{" and a stray "}").
void write_top(Sink &out, Pf *pf, bool compact) {
    if (pf->type == FILE_PF || pf->type == ARRAY_PF) {
        write_keys(out, pf->value.arr, 0, compact);
    } else if (writable(pf)) {
        write_node(out, pf, 0, compact);
    }
}

}  // namespace

int pfout(FILE *file, Pf *pf) {
    if (pf == nullptr || file == nullptr || pf->value.s == nullptr) return -1;
    Sink out;
    out.file = file;
    try {
        write_top(out, pf, false);
    } catch (const std::bad_alloc &) {
        basalt::out_of_memory(__FILE__, __LINE__, 0, "s");
    }
    return 0;
}

int pfwrite(const char *filename, Pf *pf) {
    FILE *file = std::fopen(filename, "w+");
    if (file == nullptr) {
        elog_log(1, "Can't open %s for writing.\n", filename);
        return -1;
    }
    int result = pfout(file, pf);
    // A write that failed before the close (the stream's error flag) is a
    // failure too, not only one of the final flush.
    const bool write_failed = std::ferror(file) != 0;
    const int write_errno = errno;
    if (std::fclose(file) != 0) {
        elog_log(1, "Can't close %s.\n", filename);
        return -1;
    }
    if (write_failed) {
        errno = write_errno;
        elog_log(1, "Can't write %s.\n", filename);
        return -1;
    }
    return result;
}

char *pf2string(Pf *pf) {
    Sink out;
    try {
        if (pf != nullptr) write_top(out, pf, true);
    } catch (const std::bad_alloc &) {
        basalt::out_of_memory(__FILE__, __LINE__, 0, "s");
    }
    return popstr(&out.vstack, 1);
}
