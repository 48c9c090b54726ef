// Sorted sets: caller-owned keys on a tree that keeps the first of equal
// keys, with a list view rebuilt only when it is read after a change.
#include <cstdlib>

#include "alloc.h"
#include "arrays.h"
#include "tbl.h"

namespace {

// Rebuilds the list view from the tree.
void fixstbl(Stbl *stbl) {
    stbl->changed = 0;
    if (stbl->tbl != nullptr) freetbl(stbl->tbl, nullptr);
    stbl->tbl = keysarr(stbl->arr);
}

void fresh(Stbl *stbl) {
    if (stbl->changed) fixstbl(stbl);
}

// Frees the subtree at x, children first, passing each key to free_key.
void stbl_free_node(Arr *arr, rbnode *x, void (*free_key)(void *)) {
    if (x == &arr->rb_nil) return;
    stbl_free_node(arr, x->left, free_key);
    stbl_free_node(arr, x->right, free_key);
    if (free_key != nullptr) free_key(x->key);
    std::free(x);
}

void freestblarr(Arr *arr, void (*free_key)(void *)) {
    stbl_free_node(arr, arr->rb_root, free_key);
    std::free(arr);
}

}  // namespace

Stbl *newstbl(int (*cmp)(void *a, void *b)) {
    Stbl *stbl = BASALT_NEW_RECORD(Stbl, "stbl");
    stbl->tbl = nullptr;
    stbl->changed = 1;
    stbl->arr = rbinit(cmp);
    if (stbl->arr == nullptr) basalt::out_of_memory(__FILE__, __LINE__, 1, "stbl");
    stbl->arr->replace = 0;
    return stbl;
}

void *addstbl(Stbl *stbl, void *key) {
    stbl->changed = 1;
    rbnode *node = rbinsert(key, key, stbl->arr);
    if (node == &stbl->arr->rb_nil) return nullptr;  // out of memory
    return node->key;
}

void *delstbl(Stbl *stbl, void *key) {
    stbl->changed = 1;
    rbnode *node = rbdelete(key, stbl->arr);
    return node != nullptr ? node->key : nullptr;
}

void *tststbl(Stbl *stbl, void *key) { return rbfind(key, stbl->arr); }

int maxstbl(Stbl *stbl) {
    fresh(stbl);
    return maxtbl(stbl->tbl);
}

void *getstbl(Stbl *stbl, int index) {
    fresh(stbl);
    return gettbl(stbl->tbl, index);
}

Tbl *tblstbl(Stbl *stbl) {
    fresh(stbl);
    return stbl->tbl;
}

int applystbl(Stbl *stbl, int (*function)(void *key, void *pvt), void *pvt) {
    fresh(stbl);
    applytbl(stbl->tbl, function, pvt);
    return 0;
}

int freestbl(Stbl *stbl, void (*free_stblval)(void *key)) {
    if (stbl == nullptr) return 0;
    if (stbl->tbl != nullptr) freetbl(stbl->tbl, nullptr);
    freestblarr(stbl->arr, free_stblval);
    std::free(stbl);
    return 0;
}
