// Associative arrays: string keys, copied on entry, on the red-black tree.
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "arrays.h"
#include "regex_private.h"
#include "tbl.h"

namespace {

using Visit = void (*)(char *key, void *value, void *pvt);

// In-order walk from x. The right child is noted before the node is
// visited, and the noted subtree is walked afterwards.
void arr_walk(Arr *arr, rbnode *x, Visit visit, void *pvt) {
    rbnode *nil = &arr->rb_nil;
    while (x != nil) {
        arr_walk(arr, x->left, visit, pvt);
        rbnode *right = x->right;
        visit(static_cast<char *>(x->key), x->value, pvt);
        x = right;
    }
}

// Frees the subtree at x, children first: value (through afree), key copy
// and node.
void arr_free_node(Arr *arr, rbnode *x, void (*afree)(void *)) {
    if (x == &arr->rb_nil) return;
    arr_free_node(arr, x->left, afree);
    arr_free_node(arr, x->right, afree);
    if (afree != nullptr) afree(x->value);
    std::free(x->key);
    std::free(x);
}

void addkey(char *key, void *, void *pvt) {
    pushtbl(static_cast<Tbl *>(pvt), key);
}

void addvalue(char *, void *value, void *pvt) {
    pushtbl(static_cast<Tbl *>(pvt), value);
}

void cntnode(char *, void *, void *pvt) { ++*static_cast<int *>(pvt); }

struct DupState {
    Arr *dest;
    void *(*adup)(void *);
};

void addnode(char *key, void *value, void *pvt) {
    auto *state = static_cast<DupState *>(pvt);
    setarr(state->dest, key, state->adup(value));
}

struct GrepState {
    const basalt::Regex *re;
    Tbl *found;
};

void e_greparr(char *key, void *, void *pvt) {
    auto *state = static_cast<GrepState *>(pvt);
    if (state->re->matches_whole(key)) pushtbl(state->found, key);
}

struct ArrGrepState {
    const char *string;
    Tbl *found;
};

void e_arrgrep(char *key, void *, void *pvt) {
    auto *state = static_cast<ArrGrepState *>(pvt);
    if (basalt::Regex(key).matches_whole(state->string)) pushtbl(state->found, key);
}

}  // namespace

Arr *newarr(int (*cmp)(void *a, void *b)) {
    Arr *arr = rbinit(cmp);
    if (arr == nullptr) basalt::out_of_memory(__FILE__, __LINE__, 1, "arr");
    arr->replace = 1;
    return arr;
}

void *setarr(Arr *arr, const char *key, void *value) {
    // Copy first: key may be one of this array's own copies, which the
    // replacement below frees.
    char *copy = BASALT_STRDUP(key, "key");
    rbnode *node = rbinsert(copy, value, arr);
    if (node == &arr->rb_nil) {
        std::free(copy);
        basalt::out_of_memory(__FILE__, __LINE__, 1, "node");
    }
    if (node == &arr->old) {
        std::free(arr->old.key);
        arr->old.key = nullptr;
        return arr->old.value;
    }
    // A tree whose replace is 0 keeps the present pair: the copy is unused.
    if (node->key != copy) std::free(copy);
    return nullptr;
}

void *getarr(Arr *arr, const char *key) {
    return rbsearch(const_cast<char *>(key), arr);
}

void *delarr(Arr *arr, const char *key) {
    rbnode *node = rbdelete(const_cast<char *>(key), arr);
    if (node == nullptr) return nullptr;
    std::free(node->key);
    node->key = nullptr;
    return node->value;
}

Tbl *keysarr(Arr *arr) {
    Tbl *keys = newtbl(0);
    if (arr != nullptr) arr_walk(arr, arr->rb_root, addkey, keys);
    return keys;
}

Tbl *valsarr(Arr *arr) {
    Tbl *values = newtbl(0);
    if (arr != nullptr) arr_walk(arr, arr->rb_root, addvalue, values);
    return values;
}

int cntarr(Arr *arr) {
    int n = 0;
    if (arr != nullptr) arr_walk(arr, arr->rb_root, cntnode, &n);
    return n;
}

int applyarr(Arr *arr, void (*function)(char *key, void *value, void *pvt),
             void *pvt) {
    if (arr != nullptr) arr_walk(arr, arr->rb_root, function, pvt);
    return 0;
}

int freearr(Arr *root, void (*afree)(void *value)) {
    if (root == nullptr) return 0;
    arr_free_node(root, root->rb_root, afree);
    std::free(root);
    return 0;
}

Arr *duparr(Arr *arr, void *(*adup)(void *value)) {
    DupState state{newarr(arr->rb_cmp), adup};
    arr_walk(arr, arr->rb_root, addnode, &state);
    return state.dest;
}

Tbl *greparr(const char *re, Arr *arr) {
    Tbl *found = newtbl(0);
    const basalt::Regex compiled(re);
    if (!compiled.ok()) return found;
    GrepState state{&compiled, found};
    arr_walk(arr, arr->rb_root, e_greparr, &state);
    return found;
}

Tbl *arrgrep(Arr *arr, const char *string) {
    Tbl *found = newtbl(0);
    ArrGrepState state{string, found};
    arr_walk(arr, arr->rb_root, e_arrgrep, &state);
    return found;
}
