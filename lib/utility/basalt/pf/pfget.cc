// Parameter files: lookups, the typed getters and their die handler, and
// the expansion of "&name" references inside texts.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "alloc.h"
#include "elog.h"
#include "pf.h"
#include "pfaccess_private.h"
#include "timeparse.h"
#include "values.h"

namespace {

using PfdieFn = void (*)(Pf *pf, char *name, int expected, int got, void *val);

// The kind words of the messages, for the kind codes 0 to 6; any other
// code prints as the last one. (`typename` itself is a C++ keyword.)
const char *const typename_[] = {"scalar",    "scalar",  "table",      "array",
                                 "undefined", "invalid", "pf-function"};
constexpr int ntypes = 7;

// The die handler; set through pfconfig, normally once at start.
std::atomic<PfdieFn> pfdie{_pfdie};

// Nested reference lookups in progress in this thread; at this many a
// further one fails instead of recursing.
constexpr int kMaxLookups = 20;
thread_local int count = 0;
// Lookups made under the outermost one in progress: references that refer
// twice to their own key ("a &a &a") double at each level, so the depth
// limit alone would let one value make a million lookups.
thread_local int total = 0;
constexpr int kMaxTotalLookups = 10000;

constexpr std::size_t kMaxRefName = 1023;

int as_index(const char *name) {
    return static_cast<int>(reinterpret_cast<intptr_t>(name));
}

const char *kind_word(int kind) {
    return typename_[kind >= 0 && kind < ntypes ? kind : ntypes - 1];
}

// How a name appears in the getters' complaints: "#index" for an element
// of a list root, whose name is an index in the pointer.
struct NameText {
    char buf[32];
    const char *text;
    NameText(const Pf *pf, const char *name) {
        if (pf != nullptr && pf->type == TABLE_PF) {
            std::snprintf(buf, sizeof buf, "#%d", as_index(name));
            text = buf;
        } else {
            text = name ? name : "";
        }
    }
};

// ---- Expanded texts ----
//
// A node keeps its latest expansion in filled_out; an expansion that
// differs from the one stored retires the stored one instead of freeing
// it, so that texts handed out earlier stay valid. The retired texts of a
// node are kept here, keyed by the node; an expansion equal to one of the
// node's recent retired texts brings that text back instead of keeping
// another copy (a value that refers to itself alternates between a few
// texts). When a node at the same address no longer holds the latest text
// recorded for it, it is another node (the earlier one was freed) and the
// retired texts of the earlier one are released.
struct Retired {
    char *latest = nullptr;
    std::vector<char *> texts;
};
std::mutex retired_lock;
std::unordered_map<const Pf *, Retired> *retired = nullptr;

// How many of the most recent retired texts are compared with a new one.
constexpr std::size_t kReuseWindow = 32;

// Makes text (malloc'd, different from the current one) the node's
// expansion and returns what the node now holds.
char *store_expansion(Pf *pf, char *text) {
    if (pf->filled_out == nullptr) return pf->filled_out = text;
    try {
        std::lock_guard<std::mutex> guard(retired_lock);
        if (retired == nullptr) retired = new std::unordered_map<const Pf *, Retired>;
        Retired &r = (*retired)[pf];
        if (r.latest != pf->filled_out) {
            for (char *t : r.texts) std::free(t);
            r.texts.clear();
        }
        const std::size_t n = r.texts.size();
        for (std::size_t i = n; i > 0 && i + kReuseWindow > n; i--) {
            if (std::strcmp(r.texts[i - 1], text) == 0) {
                std::free(text);
                text = r.texts[i - 1];
                r.texts.erase(r.texts.begin() + static_cast<std::ptrdiff_t>(i - 1));
                break;
            }
        }
        r.texts.push_back(pf->filled_out);
        r.latest = text;
    } catch (const std::bad_alloc &) {
        basalt::out_of_memory(__FILE__, __LINE__, sizeof(Retired), "retired");
    }
    return pf->filled_out = text;
}

// Growable text of an expansion.
struct Result {
    char *s;
    std::size_t used = 0;
    std::size_t size;

    explicit Result(std::size_t source_length) {
        size = source_length > SIZE_MAX / 4 ? source_length + 1 : 2 * source_length;
        if (size < 1024) size = 1024;
        s = static_cast<char *>(BASALT_MALLOC(size, "result"));
    }
    void append(const char *from, std::size_t n) {
        if (n >= size - used) {
            std::size_t want = size;
            while (n >= want - used) {
                if (want > SIZE_MAX / 2) {
                    want = used + n + 1;
                    break;
                }
                want *= 2;
            }
            s = static_cast<char *>(BASALT_REALLOC(s, want, "result"));
            size = want;
        }
        std::memcpy(s + used, from, n);
        used += n;
        s[used] = '\0';
    }
};

bool name_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The value a reference names: the scalar under name in the nearest file
// or array node at or above pf. Null when there is none.
const char *lookup_reference(Pf *pf, const char *name) {
    struct Counted {
        int noted;
        Counted() : noted(count++) {}
        ~Counted() { count--; }
    } counted;
    if (counted.noted == 0) total = 0;
    if (counted.noted >= kMaxLookups || ++total > kMaxTotalLookups)
        return "** error ** pf massive recursion";
    for (Pf *p = pf; p != nullptr; p = p->parent) {
        if (p->type != FILE_PF && p->type != ARRAY_PF) continue;
        void *value = nullptr;
        if (pfget(p, name, &value) == SCALAR_PF) return static_cast<char *>(value);
    }
    return nullptr;
}

// Replaces the reference of n characters at ref, naming the n_name
// characters at name, by its value (or by itself when it has none).
void expand_reference(Pf *pf, Result &out, const char *ref, std::size_t n, const char *name,
                      std::size_t n_name) {
    char key[kMaxRefName + 1];
    if (n_name > kMaxRefName) n_name = kMaxRefName;
    std::memcpy(key, name, n_name);
    key[n_name] = '\0';
    const char *value = lookup_reference(pf, key);
    if (value != nullptr)
        out.append(value, std::strlen(value));
    else
        out.append(ref, n);
}

// The die handler's message for a list root names the element index.
[[noreturn]] void die_for(Pf *pf, const char *name, int expected, int got) {
    const char *filename = pf->filename ? pf->filename : "";
    if (pf->type == TABLE_PF) {
        elog_die(0, "wrong parameter type for #%d : expected %s but got %s in '%s'",
                 as_index(name), kind_word(expected), kind_word(got), filename);
    }
    if (name == nullptr) name = "";
    if (got == INVALID_PF) {
        elog_die(0, "program needs value for '%s', not found in parameter file '%s'", name,
                 filename);
    }
    elog_die(0, "wrong parameter type for '%s' : expected %s but got %s in '%s'", name,
             kind_word(expected), kind_word(got), filename);
}

// The text of the scalar found at name, or null.
char *scalar_text(Pf *pf, const char *name) {
    Pf *result = basalt::pfaccess_detail::typed_lookup(pf, name, SCALAR_PF);
    if (result == nullptr || result->type != SCALAR_PF) return nullptr;
    return pfexpand(result);
}

bool only_white(const char *p) {
    for (; *p != '\0'; p++)
        if (*p != ' ' && *p != '\t' && *p != '\n') return false;
    return true;
}

}  // namespace

namespace basalt::pfaccess_detail {

char *copy_text(const char *text, const char *what) {
    return text ? BASALT_STRDUP(text, what) : nullptr;
}

void call_die_handler(Pf *pf, const char *name, int expected, int got, void *val) {
    PfdieFn handler = pfdie.load(std::memory_order_acquire);
    (handler ? handler : _pfdie)(pf, const_cast<char *>(name), expected, got, val);
}

Pf *typed_lookup(Pf *pf, const char *name, int expected) {
    Pf *result = nullptr;
    if (pf != nullptr && pf->type == ARRAY_PF && (name == nullptr || name[0] == '\0'))
        result = pf;
    else
        pfresolve(pf, name, 0, &result);  // a function found is evaluated
    if (result != nullptr && expected != ANY_PF && result->type != expected)
        call_die_handler(pf, name, expected, result->type, &result);
    return result;
}

}  // namespace basalt::pfaccess_detail

using basalt::pfaccess_detail::call_die_handler;

extern "C" {

void _pfdie(Pf *pf, char *name, int expected, int got, void *val) {
    if (expected < 0 || expected >= ntypes) expected = ntypes - 1;
    if (got < 0 || got >= ntypes) got = ntypes - 1;
    if (pf == nullptr) {
        // No tree at all: the value is missing as from an empty file.
        Pf none{};
        none.type = FILE_PF;
        die_for(&none, name, expected, got);
    }
    if (pf->filename == nullptr) pf->filename = const_cast<char *>("");
    switch (pf->type) {
        case FILE_PF:
        case SCALAR_PF:
        case ARRAY_PF:
        case FUNCTION_PF:
        case TABLE_PF:
            die_for(pf, name, expected, got);
        default:
            return;
    }
}

int pfconfig(const char *name, void *value) {
    if (name != nullptr && std::strcmp(name, "die") == 0) {
        PfdieFn handler = reinterpret_cast<PfdieFn>(value);
        pfdie.store(handler ? handler : _pfdie, std::memory_order_release);
        return 0;
    }
    if (name != nullptr && std::strcmp(name, "ask") == 0) {
        basalt::pfaccess_detail::set_prompt_routine(value);
        return 0;
    }
    elog_log(0, "pfconfig: unrecognized code '%s'", name ? name : "");
    return -1;
}

int pfget(Pf *pf, const char *name, void **result) {
    Pf *found = nullptr;
    if (pf != nullptr) {
        switch (pf->type) {
            case FILE_PF:
            case ARRAY_PF:
                if (name != nullptr) found = static_cast<Pf *>(getarr(pf->value.arr, name));
                break;
            case TABLE_PF:
                found = static_cast<Pf *>(gettbl(pf->value.tbl, as_index(name)));
                break;
            case SCALAR_PF:
            case FUNCTION_PF:
                found = pf;
                break;
            default:
                break;
        }
    }
    if (found != nullptr && found->type == FUNCTION_PF) found = pfinterpret(found);
    if (found == nullptr) {
        if (result) *result = nullptr;
        return INVALID_PF;
    }
    if (found->type == SCALAR_PF) {
        char *text = pfexpand(found);
        if (result) *result = text;
        return SCALAR_PF;
    }
    if (result) *result = found;
    return found->type;
}

int pfeval(Pf *pf, const char *name, char **value) {
    Pf *result = nullptr;
    pfresolve(pf, name, 0, &result);
    char *text = nullptr;
    int rc = -1;
    if (result != nullptr && result->type == SCALAR_PF) {
        text = pfexpand(result);
        rc = 0;
    } else if (result != nullptr && result->type == FILE_PF) {
        rc = 0;
    }
    if (value) *value = text;
    return rc;
}

char *pfget_string(Pf *pf, const char *name) { return scalar_text(pf, name); }

int pfget_int(Pf *pf, const char *name) {
    char *text = scalar_text(pf, name);
    if (text == nullptr) {
        int value = 0;
        call_die_handler(pf, name, SCALAR_PF, INVALID_PF, &value);
        return value;
    }
    char *end = text;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno == ERANGE || v > INT_MAX || v < INT_MIN) v = v < 0 ? INT_MIN : INT_MAX;
    errno = 0;
    if (end == text || !only_white(end)) {
        NameText n(pf, name);
        elog_complain(0, "Bad integer value '%s' for %s", text, n.text);
    }
    return static_cast<int>(v);
}

double pfget_double(Pf *pf, const char *name) {
    char *text = scalar_text(pf, name);
    if (text == nullptr) {
        double value = 0;
        call_die_handler(pf, name, SCALAR_PF, INVALID_PF, &value);
        return value;
    }
    char *end = text;
    double v = fix_strtod(text, &end);
    errno = 0;
    if (end == text || !only_white(end)) {
        NameText n(pf, name);
        elog_complain(0, "Bad floating point value '%s' for %s", text, n.text);
    }
    return v;
}

double pfget_time(Pf *pf, const char *name) {
    char *text = scalar_text(pf, name);
    if (text == nullptr) {
        double value = 0;
        call_die_handler(pf, name, SCALAR_PF, INVALID_PF, &value);
        return value;
    }
    // The parser's own messages are dropped; only ours is delivered.
    double value = 0;
    if (!is_epoch_string(text, &value)) {
        NameText n(pf, name);
        elog_complain(0, "Bad time value '%s' for %s", text, n.text);
    }
    return value;
}

double pfget_size(Pf *pf, const char *name) {
    char *text = scalar_text(pf, name);
    if (text == nullptr) {
        double value = 0;
        call_die_handler(pf, name, SCALAR_PF, INVALID_PF, &value);
        return value;
    }
    return sz2dbl(text);
}

int pfget_boolean(Pf *pf, const char *name) {
    char *text = scalar_text(pf, name);
    if (text == nullptr) return 0;
    int v = yesno(text);
    if (v == -1 || v == 0) return v;
    NameText n(pf, name);
    elog_complain(0, "Bad boolean value '%s' for %s", text, n.text);
    return 0;
}

Tbl *pfget_tbl(Pf *pf, const char *name) {
    Pf *result = basalt::pfaccess_detail::typed_lookup(pf, name, TABLE_PF);
    if (result == nullptr || result->type != TABLE_PF) return nullptr;
    Tbl *list = newtbl(0);
    Tbl *elements = result->value.tbl;
    for (int i = 0; i < maxtbl(elements); i++) {
        void *value = nullptr;
        pfget(result, reinterpret_cast<const char *>(static_cast<intptr_t>(i)), &value);
        pushtbl(list, value);
    }
    return list;
}

Arr *pfget_arr(Pf *pf, const char *name) {
    Pf *result = basalt::pfaccess_detail::typed_lookup(pf, name, ARRAY_PF);
    if (result == nullptr || result->type != ARRAY_PF) return nullptr;
    Arr *arr = newarr(nullptr);
    Tbl *keys = keysarr(result->value.arr);
    for (int i = 0; i < maxtbl(keys); i++) {
        const char *key = static_cast<char *>(gettbl(keys, i));
        void *value = nullptr;
        if (pfget(result, key, &value) == SCALAR_PF) setarr(arr, key, value);
    }
    freetbl(keys, nullptr);
    return arr;
}

int pfmaxtbl(Pf *pf) {
    if (pf == nullptr || pf->type != TABLE_PF) return 0;
    return maxtbl(pf->value.tbl);
}

Tbl *pfkeys(Pf *pf) {
    if (pf == nullptr || (pf->type != FILE_PF && pf->type != ARRAY_PF)) return nullptr;
    return keysarr(pf->value.arr);
}

double sz2dbl(const char *size) {
    if (size == nullptr || size[0] == '\0') return 0;
    char *copy = BASALT_STRDUP(size, "size");
    std::size_t n = std::strlen(copy);
    double factor = 1;
    switch (copy[n - 1]) {
        case 'k': factor = 1024.0; break;
        case 'M': factor = 1048576.0; break;
        case 'G': factor = 1073741824.0; break;
        default: break;
    }
    if (factor != 1) copy[n - 1] = '\0';
    double v = fix_strtod(copy, nullptr) * factor;
    std::free(copy);
    return v;
}

char *pfexpand(Pf *pf) {
    if (pf == nullptr) return nullptr;
    const char *source;
    if (pf->type == SCALAR_PF)
        source = pf->value.s;
    else if (pf->type == FUNCTION_PF && pf->value.pffunct != nullptr)
        source = pf->value.pffunct->s;
    else
        return nullptr;
    if (source == nullptr) return nullptr;
    const char *amp = std::strchr(source, '&');
    if (amp == nullptr) return const_cast<char *>(source);

    const std::size_t length = std::strlen(source);
    Result out(length);
    const char *p = source;
    while (amp != nullptr) {
        out.append(p, static_cast<std::size_t>(amp - p));
        if (amp[1] == '{') {
            const char *name = amp + 2;
            const char *close = std::strchr(name, '}');
            const char *end = close ? close + 1 : source + length;
            std::size_t n_name = static_cast<std::size_t>((close ? close : end) - name);
            expand_reference(pf, out, amp, static_cast<std::size_t>(end - amp), name, n_name);
            p = end;
        } else {
            const char *name = amp + 1;
            const char *end = name;
            while (name_char(*end)) end++;
            if (*end == '(') {
                out.append(amp, 1);  // a function call, not a reference
                p = amp + 1;
            } else {
                expand_reference(pf, out, amp, static_cast<std::size_t>(end - amp), name,
                                 static_cast<std::size_t>(end - name));
                p = end;
            }
        }
        amp = std::strchr(p, '&');
    }
    out.append(p, std::strlen(p));

    if (pf->filled_out != nullptr && std::strcmp(pf->filled_out, out.s) == 0) {
        std::free(out.s);
        return pf->filled_out;
    }
    return store_expansion(pf, out.s);
}

}  // extern "C"
