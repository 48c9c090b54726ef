// Parameter files: the node record and the operations on whole trees
// (create, free, copy, compare). None of these takes a lock: a tree
// belongs to one thread at a time.
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "arrays.h"
#include "elog.h"
#include "hooks.h"
#include "pf.h"
#include "pf_private.h"
#include "tbl.h"

namespace {

void free_node_value(void *value) { pffree(static_cast<Pf *>(value)); }

void *dup_node_value(void *value) {
    return value == nullptr ? nullptr : pfdup(static_cast<Pf *>(value));
}

// Null-safe comparison of two texts: equal when both are absent.
int cmp_text(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : 1;
    return std::strcmp(a, b) == 0 ? 0 : 1;
}

int cmp_arrays(Arr *a1, Arr *a2) {
    if (a1 == nullptr || a2 == nullptr) return a1 == a2 ? 0 : 1;
    Tbl *k1 = keysarr(a1);
    Tbl *k2 = keysarr(a2);
    int result = 0;
    const int n = maxtbl(k1);
    if (n != maxtbl(k2)) {
        result = 1;
    } else {
        for (int i = 0; i < n && result == 0; i++) {
            auto *key1 = static_cast<char *>(gettbl(k1, i));
            auto *key2 = static_cast<char *>(gettbl(k2, i));
            if (std::strcmp(key1, key2) != 0) {
                result = 1;
            } else {
                result = pfcmp(static_cast<Pf *>(getarr(a1, key1)),
                               static_cast<Pf *>(getarr(a2, key2)));
            }
        }
    }
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
    return result;
}

int cmp_lists(Tbl *t1, Tbl *t2) {
    if (t1 == nullptr || t2 == nullptr) return t1 == t2 ? 0 : 1;
    const int n = maxtbl(t1);
    if (n != maxtbl(t2)) return 1;
    for (int i = 0; i < n; i++) {
        int r = pfcmp(static_cast<Pf *>(gettbl(t1, i)), static_cast<Pf *>(gettbl(t2, i)));
        if (r != 0) return r;
    }
    return 0;
}

}  // namespace

Pf *pfnew(int type) {
    Pf *pf = BASALT_NEW_RECORD(Pf, "pf");
    pf->type = type;
    switch (type) {
        case FILE_PF:
        case ARRAY_PF:
            pf->value.arr = newarr(nullptr);
            break;
        case TABLE_PF:
            pf->value.tbl = newtbl(0);
            break;
        case FUNCTION_PF:
            pf->value.pffunct = BASALT_NEW_RECORD(Pffunct, "pf->value.pffunct");
            break;
        default:
            pf->value.s = nullptr;
            break;
    }
    pf->parent = nullptr;
    pf->filename = nullptr;
    pf->filled_out = nullptr;
    return pf;
}

void pffree(Pf *pf) {
    if (pf == nullptr) return;
    switch (pf->type) {
        case SCALAR_PF:
        case INVALID_PF:
        case -1:
            std::free(pf->value.s);
            break;
        case FILE_PF:
        case ARRAY_PF:
            if (pf->value.arr != nullptr) freearr(pf->value.arr, free_node_value);
            break;
        case TABLE_PF:
            if (pf->value.tbl != nullptr) freetbl(pf->value.tbl, free_node_value);
            break;
        case FUNCTION_PF:
            if (Pffunct *f = pf->value.pffunct) {
                std::free(f->s);
                pffree(f->pf);
                free_hook(&f->hook);
                std::free(f);
            }
            break;
        default:
            basalt::pf_detail::report(basalt::pf_detail::kComplain, 0,
                                      "pffree: didn't free type %d", pf->type);
            break;
    }
    std::free(pf->filled_out);
    std::free(pf);
}

Pf *pfdup(Pf *old) {
    if (old == nullptr) return nullptr;
    Pf *copy = nullptr;
    switch (old->type) {
        case FILE_PF:
        case ARRAY_PF:
            copy = BASALT_NEW_RECORD(Pf, "pf");
            copy->type = old->type;
            copy->value.arr = old->value.arr != nullptr
                                  ? duparr(old->value.arr, dup_node_value)
                                  : newarr(nullptr);
            break;
        case SCALAR_PF:
            copy = BASALT_NEW_RECORD(Pf, "pf");
            copy->type = SCALAR_PF;
            copy->value.s = old->value.s != nullptr ? BASALT_STRDUP(old->value.s, "pf")
                                                    : nullptr;
            break;
        case TABLE_PF: {
            copy = pfnew(TABLE_PF);
            Tbl *t = old->value.tbl;
            const int n = t != nullptr ? maxtbl(t) : 0;
            for (int i = 0; i < n; i++)
                pushtbl(copy->value.tbl, dup_node_value(gettbl(t, i)));
            break;
        }
        case FUNCTION_PF:
            copy = pfnew(FUNCTION_PF);
            if (old->value.pffunct != nullptr && old->value.pffunct->s != nullptr)
                copy->value.pffunct->s = BASALT_STRDUP(old->value.pffunct->s, "pf");
            break;
        default:
            elog_die(0, "Bad type in pfdup : %d\n", old->type);
    }
    copy->parent = nullptr;
    copy->filename = nullptr;
    copy->filled_out = nullptr;
    return copy;
}

int pfcmp(Pf *pf1, Pf *pf2) {
    if (pf1 == nullptr || pf2 == nullptr) return pf1 == pf2 ? 0 : 1;
    if (pf1->type != pf2->type) return 1;
    switch (pf1->type) {
        case FILE_PF:
        case ARRAY_PF:
            return cmp_arrays(pf1->value.arr, pf2->value.arr);
        case SCALAR_PF:
            return cmp_text(pf1->value.s, pf2->value.s);
        case TABLE_PF:
            return cmp_lists(pf1->value.tbl, pf2->value.tbl);
        case FUNCTION_PF: {
            Pffunct *f1 = pf1->value.pffunct;
            Pffunct *f2 = pf2->value.pffunct;
            return cmp_text(f1 != nullptr ? f1->s : nullptr, f2 != nullptr ? f2->s : nullptr);
        }
        default:
            elog_log(0, "unknown PF type=%d\n", pf1->type);
            return -1;
    }
}
