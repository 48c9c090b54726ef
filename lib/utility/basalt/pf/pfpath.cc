// Parameter files: path expressions ("key{sub}[3]"), their resolution with
// and without creating what is missing, and the setters and removal that
// edit a tree.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "alloc.h"
#include "elog.h"
#include "pf.h"
#include "pf_private.h"
#include "pfaccess_private.h"
#include "timefmt.h"
#include "values.h"

namespace {

using basalt::pfaccess_detail::copy_text;

int as_index(const char *name) {
    return static_cast<int>(reinterpret_cast<intptr_t>(name));
}

const char *index_name(int index) {
    return reinterpret_cast<const char *>(static_cast<intptr_t>(index));
}

bool holds_keys(const Pf *pf) { return pf->type == FILE_PF || pf->type == ARRAY_PF; }

// Kinds a lookup step may look into.
bool steppable(const Pf *pf) {
    switch (pf->type) {
        case FILE_PF:
        case SCALAR_PF:
        case TABLE_PF:
        case ARRAY_PF:
        case FUNCTION_PF:
            return true;
        default:
            return false;
    }
}

Pf *new_scalar(const char *text, Pf *parent) {
    Pf *pf = pfnew(SCALAR_PF);
    pf->value.s = copy_text(text, "pf->value.s");
    pf->parent = parent;
    return pf;
}

// A growable text buffer of the resolver; it keeps its largest size.
struct TextBuf {
    char *s = nullptr;
    std::size_t size = 0;

    // Holds the n characters at from, terminated.
    void set(const char *from, std::size_t n) {
        if (n + 1 > size) {
            std::size_t want = n + 1 < 256 ? 256 : n + 1;
            s = static_cast<char *>(BASALT_REALLOC(s, want, "Arr_index"));
            size = want;
        }
        std::memcpy(s, from, n);
        s[n] = '\0';
    }
};

// The resolver's state, process-wide and guarded by `lock`: the walk is not
// reentrant. Arr_index and List_index keep the key and index of the last
// "{key}" and "[index]" steps between calls.
std::mutex lock;
Pf *Parent_pf = nullptr;  // the node reached so far
Pf *Value_pf = nullptr;   // the node the last step found
TextBuf Arr_index;        // key of the last "{key}" step (any length)
int List_index = 0;       // index of the last "[index]" step
int Create = 0;           // whether missing steps are made
int Error = 0;            // 0, or the failure code of the walk

// Where the node reached so far is held, for the setters that replace it:
// under Holder_key of the file or array node Holder_pf, or at Holder_index
// of the list node Holder_pf. Holder_pf is null for the root itself.
Pf *Holder_pf = nullptr;
bool Holder_keyed = false;
TextBuf Holder_key;
int Holder_index = 0;
TextBuf Name_buf;  // the name of the current name step

// Moves the walk from Parent_pf to the node found under the given key or
// index. A function node found as itself keeps its holder.
void move_to(Pf *found, const char *key, std::size_t keylen, int index) {
    if (found != Parent_pf) {
        Holder_pf = Parent_pf;
        Holder_keyed = key != nullptr;
        if (key != nullptr) Holder_key.set(key, keylen);
        Holder_index = index;
    }
    Parent_pf = Value_pf = found;
}

enum class Step { go_on, stop, fail };

// A name step, or a "{key}" step: look key up as a key of the current
// node. A name steps into files, arrays and functions, and finds nothing
// in scalars and lists; a key step needs an array or a function (a
// placeholder becoming an array in create mode).
Step key_step(const char *key, std::size_t keylen, bool braced) {
    Pf *cur = Parent_pf;
    if (braced) {
        if (Create && cur->type == ANY_PF) {
            cur->type = ARRAY_PF;
            cur->value.arr = newarr(nullptr);
        }
        if (!holds_keys(cur) && cur->type != FUNCTION_PF) {
            Error = -32;
            return Step::fail;
        }
    } else if (!steppable(cur)) {
        // A name after a placeholder (or a node without a value): nothing
        // can be looked up in it.
        Error = -32;
        return Step::fail;
    }
    Pf *found = nullptr;
    if (cur->type != TABLE_PF) pfvalue(cur, key, &found);
    if (found == nullptr) {
        if (!Create) {
            Error = -31;
            return Step::fail;
        }
        if (pfadd_arr(cur, key) != 0) return Step::stop;
        pfvalue(cur, key, &found);
        if (found == nullptr) {
            Error = -32;
            return Step::fail;
        }
        found->parent = cur;
    }
    move_to(found, key, keylen, 0);
    return Step::go_on;
}

// An "[index]" step: the current node must be a list or a function (a
// placeholder becoming a list in create mode).
Step index_step(int index) {
    Pf *cur = Parent_pf;
    List_index = index;
    if (Create && cur->type == ANY_PF) {
        cur->type = TABLE_PF;
        cur->value.tbl = newtbl(0);
    }
    if (cur->type != TABLE_PF && cur->type != FUNCTION_PF) {
        Error = -32;
        return Step::fail;
    }
    Pf *found = nullptr;
    pfvalue(cur, index_name(index), &found);
    if (found == nullptr) {
        if (!Create) {
            Error = -31;
            return Step::fail;
        }
        // A negative index names no element and cannot be made.
        if (index < 0) {
            Error = -32;
            return Step::fail;
        }
        if (pfadd_tbl(cur, index) != 0) return Step::stop;
        pfvalue(cur, index_name(index), &found);
        if (found == nullptr) {
            Error = -32;
            return Step::fail;
        }
        found->parent = cur;
    }
    move_to(found, nullptr, 0, index);
    return Step::go_on;
}

bool is_bracket(char c) { return c == '[' || c == ']' || c == '{' || c == '}'; }

bool all_blank(const char *p, const char *end) {
    for (; p < end; p++)
        if (*p != ' ' && *p != '\t') return false;
    return true;
}

// Decimal digits with an optional sign, saturating at the int range.
int parse_index(const char *p, const char *end) {
    bool negative = false;
    if (p < end && *p == '-') {
        negative = true;
        p++;
    }
    int64_t v = 0;
    for (; p < end; p++) {
        if (v <= INT_MAX) v = v * 10 + (*p - '0');
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// Walks the path name from the root. Returns the node reached, or null with
// Error set. Called with `lock` held.
Pf *walk(Pf *root, const char *name, int create) {
    Parent_pf = Value_pf = root;
    Holder_pf = nullptr;
    Create = create;
    Error = 0;
    bool named = false;  // the first name has been read
    const char *p = name ? name : "";
    while (*p != '\0') {
        Step step = Step::go_on;
        const char c = *p;
        if (c == '{') {
            const char *q = p + 1;
            while (*q != '\0' && !is_bracket(*q)) q++;
            if (named && *q == '}') {
                const char *k = p + 1;
                const char *e = q;
                while (k < e && *k == ' ') k++;
                while (e > k && e[-1] == ' ') e--;
                Arr_index.set(k, static_cast<std::size_t>(e - k));
                step = key_step(Arr_index.s, static_cast<std::size_t>(e - k), true);
                p = q + 1;
            } else {
                p++;  // a brace that begins no key step
            }
        } else if (c == '}') {
            p++;
        } else if (c == '[' || c == ']') {
            const char *q = p + 1;
            bool index = false;
            if (c == '[' && named) {
                if (*q == '-') q++;
                const char *digits = q;
                while (*q >= '0' && *q <= '9') q++;
                index = q > digits && *q == ']';
            }
            if (index) {
                step = index_step(parse_index(p + 1, q));
                p = q + 1;
            } else {
                const char text[2] = {c, '\0'};
                std::fprintf(stderr, "unmatched char '%s'\n", text);
                p++;
            }
        } else {
            const char *q = p;
            while (*q != '\0' && !is_bracket(*q)) q++;
            if (!all_blank(p, q)) {
                named = true;
                Name_buf.set(p, static_cast<std::size_t>(q - p));
                step = key_step(Name_buf.s, static_cast<std::size_t>(q - p), false);
            }
            p = q;
        }
        if (step == Step::fail) return nullptr;
        if (step == Step::stop) break;
    }
    return Value_pf;
}

// Resolution without evaluating a function found. For a list root the name
// is an element index. Called with `lock` held.
int resolve_locked(Pf *pf, const char *name, int create, Pf **found) {
    *found = nullptr;
    if (pf == nullptr) return -1;
    if (pf->type == TABLE_PF) {
        Pf *element = static_cast<Pf *>(gettbl(pf->value.tbl, as_index(name)));
        if (element == nullptr) return -32;
        Holder_pf = pf;
        Holder_keyed = false;
        Holder_index = as_index(name);
        *found = element;
        return element->type;
    }
    Pf *node = walk(pf, name, create);
    if (node == nullptr) return Error;
    *found = node;
    return node->type;
}

// Stores node in pf under name (a key, or an index for a list), freeing
// what was there.
void store(Pf *pf, const char *name, Pf *node) {
    Pf *old;
    if (node != nullptr) node->parent = pf;
    if (pf->type == TABLE_PF) {
        int index = as_index(name);
        old = static_cast<Pf *>(gettbl(pf->value.tbl, index));
        if (node == nullptr) {
            if (old != nullptr) settbl(pf->value.tbl, index, nullptr);
        } else {
            settbl(pf->value.tbl, index, node);
        }
    } else if (node == nullptr) {
        old = static_cast<Pf *>(delarr(pf->value.arr, name));
    } else {
        old = static_cast<Pf *>(setarr(pf->value.arr, name, node));
    }
    if (old != nullptr && old != node) pffree(old);
}

}  // namespace

extern "C" {

void pfvalue(Pf *pf, const char *name, Pf **result) {
    if (result == nullptr) return;
    *result = nullptr;
    if (pf == nullptr) return;
    switch (pf->type) {
        case FILE_PF:
        case ARRAY_PF:
            if (name != nullptr) *result = static_cast<Pf *>(getarr(pf->value.arr, name));
            break;
        case TABLE_PF:
            *result = static_cast<Pf *>(gettbl(pf->value.tbl, as_index(name)));
            break;
        case SCALAR_PF:
            break;
        case FUNCTION_PF:
            *result = pf;
            break;
        default:
            elog_die(0, "invalid pf type = %d\n", static_cast<int>(pf->type));
    }
}

int pfadd_arr(Pf *pf, const char *name) {
    if (pf == nullptr || name == nullptr) return -1;
    if (pf->type == ANY_PF) {
        pf->type = ARRAY_PF;
        pf->value.arr = newarr(nullptr);
    }
    if (!holds_keys(pf)) return -1;
    store(pf, name, pfnew(ANY_PF));
    return 0;
}

int pfadd_tbl(Pf *pf, int index) {
    if (pf == nullptr) return -1;
    if (pf->type == ANY_PF) {
        pf->type = TABLE_PF;
        pf->value.tbl = newtbl(0);
    }
    if (pf->type != TABLE_PF) return -1;
    Pf *placeholder = pfnew(ANY_PF);
    placeholder->parent = pf;
    // settbl places a negative index at the end.
    Pf *old = static_cast<Pf *>(gettbl(pf->value.tbl, index));
    settbl(pf->value.tbl, index, placeholder);
    if (old != nullptr && index >= 0) pffree(old);
    return 0;
}

int pfresolve(Pf *pf, const char *name, int create, Pf **value_pf) {
    Pf *found = nullptr;
    int kind;
    {
        std::lock_guard<std::mutex> guard(lock);
        basalt::pf_detail::BusyScope busy;
        kind = resolve_locked(pf, name, create, &found);
    }
    if (found != nullptr && found->type == FUNCTION_PF) found = pfinterpret(found);
    if (value_pf != nullptr) *value_pf = found;
    return kind;
}

int pfset(Pf *pf, const char *name, const char *value) {
    std::lock_guard<std::mutex> guard(lock);
    basalt::pf_detail::BusyScope busy;
    Pf *node = nullptr;
    resolve_locked(pf, name, 1, &node);
    if (node == nullptr) return -1;
    if (node->type == ANY_PF) {
        node->type = SCALAR_PF;
        node->value.s = copy_text(value, "pf->value.s");
        return 0;
    }
    if (Holder_pf == nullptr) return -1;  // the root has no container
    Pf *scalar = new_scalar(value, Holder_pf);
    if (Holder_keyed) {
        setarr(Holder_pf->value.arr, Holder_key.s, scalar);
    } else {
        settbl(Holder_pf->value.tbl, Holder_index, scalar);
    }
    pffree(node);
    return 0;
}

void pfput(Pf *pf, const char *name, void *value, int type) {
    if (pf == nullptr || (!holds_keys(pf) && pf->type != TABLE_PF))
        elog_die(0, "Bad pf pointer in pfput.\n");
    if (pf->type != TABLE_PF && name == nullptr) elog_die(0, "Bad pf pointer in pfput.\n");
    Pf *node;
    switch (type) {
        case SCALAR_PF:
            node = pfnew(SCALAR_PF);
            node->value.s = copy_text(static_cast<const char *>(value), "pf->value.s");
            break;
        case FUNCTION_PF:
            node = pfnew(FUNCTION_PF);
            node->value.pffunct->s =
                copy_text(static_cast<const char *>(value), "pf->value.pffunct->s");
            break;
        case FILE_PF:
        case ARRAY_PF:
            node = pfnew(type);
            if (value != nullptr) {
                freearr(node->value.arr, nullptr);
                node->value.arr = static_cast<Arr *>(value);
            }
            break;
        case TABLE_PF:
            node = pfnew(TABLE_PF);
            if (value != nullptr) {
                freetbl(node->value.tbl, nullptr);
                node->value.tbl = static_cast<Tbl *>(value);
            }
            break;
        case 8:
            node = static_cast<Pf *>(value);
            if (node != nullptr && node->type == FILE_PF) node->type = ARRAY_PF;
            break;
        default:
            elog_die(0, "Bad type in pfput : %d\n", type);
    }
    store(pf, name, node);
}

void pfput_string(Pf *pf, const char *name, const char *value) {
    pfput(pf, name, const_cast<char *>(value), SCALAR_PF);
}

void pfput_int(Pf *pf, const char *name, int val) {
    char text[32];
    std::snprintf(text, sizeof text, "%d", val);
    pfput(pf, name, text, SCALAR_PF);
}

void pfput_double(Pf *pf, const char *name, double val) {
    char text[64];
    strdbl(val, text);
    pfput(pf, name, text, SCALAR_PF);
}

void pfput_time(Pf *pf, const char *name, double val) {
    char *text = zepoch2str(val, "%E (%j) %Y-%m-%d  %H:%M:%S.%s %z %A", nullptr);
    const char *start = text;
    while (*start == ' ') ++start;
    pfput(pf, name, const_cast<char *>(start), SCALAR_PF);
    std::free(text);
}

void pfput_boolean(Pf *pf, const char *name, int val) {
    pfput(pf, name, const_cast<char *>(val ? "True" : "False"), SCALAR_PF);
}

void pfput_tbl(Pf *pf, const char *name, Tbl *value) {
    Pf *list = pfnew(TABLE_PF);
    int n = value ? maxtbl(value) : 0;
    for (int i = 0; i < n; i++)
        pushtbl(list->value.tbl, new_scalar(static_cast<char *>(gettbl(value, i)), list));
    pfput(pf, name, list, 8);
}

void pfput_arr(Pf *pf, const char *name, Arr *value) {
    Pf *array = pfnew(ARRAY_PF);
    if (value != nullptr) {
        Tbl *keys = keysarr(value);
        for (int i = 0; i < maxtbl(keys); i++) {
            const char *key = static_cast<char *>(gettbl(keys, i));
            setarr(array->value.arr, key,
                   new_scalar(static_cast<char *>(getarr(value, key)), array));
        }
        freetbl(keys, nullptr);
    }
    pfput(pf, name, array, 8);
}

Pf *pfdel(Pf *pf, const char *name) {
    if (pf == nullptr) return nullptr;
    Pf *node = nullptr;
    if (holds_keys(pf)) {
        if (name != nullptr) node = static_cast<Pf *>(delarr(pf->value.arr, name));
    } else if (pf->type == TABLE_PF) {
        int index = as_index(name);
        if (index >= 0 && index < maxtbl(pf->value.tbl))
            node = static_cast<Pf *>(deltbl(pf->value.tbl, index));
    }
    if (node != nullptr) node->parent = nullptr;
    return node;
}

}  // extern "C"
