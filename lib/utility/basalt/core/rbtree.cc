// The red-black tree under Arr and Stbl: the textbook algorithm (rotations,
// insertion with its colour fix-up, deletion through the in-order successor
// with its fix-up, a black sentinel for every empty subtree). Each tree owns
// its sentinel (rb_nil in the head), so no two trees share a node.
#include <cstdlib>
#include <cstring>

#include "arrays.h"

rbnode rb_null = {nullptr, nullptr, nullptr, black, nullptr, nullptr};

namespace {

using Compare = int (*)(void *, void *);

inline rbnode *nil_of(rbtree *t) { return &t->rb_nil; }

void rb_left_rotate(rbtree *t, rbnode *x) {
    rbnode *nil = nil_of(t);
    rbnode *y = x->right;
    x->right = y->left;
    if (y->left != nil) y->left->up = x;
    y->up = x->up;
    if (x->up == nil)
        t->rb_root = y;
    else if (x == x->up->left)
        x->up->left = y;
    else
        x->up->right = y;
    y->left = x;
    x->up = y;
}

void rb_right_rotate(rbtree *t, rbnode *x) {
    rbnode *nil = nil_of(t);
    rbnode *y = x->left;
    x->left = y->right;
    if (y->right != nil) y->right->up = x;
    y->up = x->up;
    if (x->up == nil)
        t->rb_root = y;
    else if (x == x->up->right)
        x->up->right = y;
    else
        x->up->left = y;
    y->right = x;
    x->up = y;
}

void rb_insert_fix(rbtree *t, rbnode *z) {
    while (z->up->colour == red) {
        rbnode *parent = z->up;
        rbnode *grand = parent->up;
        if (parent == grand->left) {
            rbnode *uncle = grand->right;
            if (uncle->colour == red) {
                parent->colour = black;
                uncle->colour = black;
                grand->colour = red;
                z = grand;
            } else {
                if (z == parent->right) {
                    z = parent;
                    rb_left_rotate(t, z);
                }
                z->up->colour = black;
                z->up->up->colour = red;
                rb_right_rotate(t, z->up->up);
            }
        } else {
            rbnode *uncle = grand->left;
            if (uncle->colour == red) {
                parent->colour = black;
                uncle->colour = black;
                grand->colour = red;
                z = grand;
            } else {
                if (z == parent->left) {
                    z = parent;
                    rb_right_rotate(t, z);
                }
                z->up->colour = black;
                z->up->up->colour = red;
                rb_left_rotate(t, z->up->up);
            }
        }
    }
    t->rb_root->colour = black;
}

rbnode *rb_minimum(rbtree *t, rbnode *x) {
    rbnode *nil = nil_of(t);
    while (x->left != nil) x = x->left;
    return x;
}

rbnode *rb_maximum(rbtree *t, rbnode *x) {
    rbnode *nil = nil_of(t);
    while (x->right != nil) x = x->right;
    return x;
}

// In-order neighbours; the sentinel when there is none.
rbnode *rb_successor(rbtree *t, rbnode *x) {
    rbnode *nil = nil_of(t);
    if (x->right != nil) return rb_minimum(t, x->right);
    rbnode *y = x->up;
    while (y != nil && x == y->right) {
        x = y;
        y = y->up;
    }
    return y;
}

rbnode *rb_preccessor(rbtree *t, rbnode *x) {
    rbnode *nil = nil_of(t);
    if (x->left != nil) return rb_maximum(t, x->left);
    rbnode *y = x->up;
    while (y != nil && x == y->left) {
        x = y;
        y = y->up;
    }
    return y;
}

// The exact search: the node whose key compares equal, or the sentinel.
rbnode *rb_traverse(void *key, rbtree *t) {
    rbnode *nil = nil_of(t);
    rbnode *x = t->rb_root;
    Compare cmp = t->rb_cmp;
    while (x != nil) {
        int c = cmp(key, x->key);
        if (c == 0) return x;
        x = c < 0 ? x->left : x->right;
    }
    return nil;
}

void rb_delete_fix(rbtree *t, rbnode *x) {
    while (x != t->rb_root && x->colour == black) {
        if (x == x->up->left) {
            rbnode *w = x->up->right;
            if (w->colour == red) {
                w->colour = black;
                x->up->colour = red;
                rb_left_rotate(t, x->up);
                w = x->up->right;
            }
            if (w->left->colour == black && w->right->colour == black) {
                w->colour = red;
                x = x->up;
            } else {
                if (w->right->colour == black) {
                    w->left->colour = black;
                    w->colour = red;
                    rb_right_rotate(t, w);
                    w = x->up->right;
                }
                w->colour = x->up->colour;
                x->up->colour = black;
                w->right->colour = black;
                rb_left_rotate(t, x->up);
                x = t->rb_root;
            }
        } else {
            rbnode *w = x->up->left;
            if (w->colour == red) {
                w->colour = black;
                x->up->colour = red;
                rb_right_rotate(t, x->up);
                w = x->up->left;
            }
            if (w->right->colour == black && w->left->colour == black) {
                w->colour = red;
                x = x->up;
            } else {
                if (w->left->colour == black) {
                    w->right->colour = black;
                    w->colour = red;
                    rb_left_rotate(t, w);
                    w = x->up->left;
                }
                w->colour = x->up->colour;
                x->up->colour = black;
                w->left->colour = black;
                rb_right_rotate(t, x->up);
                x = t->rb_root;
            }
        }
    }
    x->colour = black;
}

// Removes z's pair from the tree. A node with two children takes its
// successor's pair, and the successor's node is the one unlinked and freed.
void rb_delete(rbtree *t, rbnode *z) {
    rbnode *nil = nil_of(t);
    rbnode *y = (z->left == nil || z->right == nil) ? z : rb_successor(t, z);
    rbnode *x = y->left != nil ? y->left : y->right;
    // Set even when x is the sentinel: the fix-up reads it back.
    x->up = y->up;
    if (y->up == nil)
        t->rb_root = x;
    else if (y == y->up->left)
        y->up->left = x;
    else
        y->up->right = x;
    if (y != z) {
        z->key = y->key;
        z->value = y->value;
    }
    if (y->colour == black) rb_delete_fix(t, x);
    std::free(y);
    // Leave the sentinel as it was made.
    nil->up = nullptr;
    nil->colour = black;
}

// Frees the nodes below and including x, children first.
void rb_destroy(rbtree *t, rbnode *x) {
    if (x == nil_of(t)) return;
    rb_destroy(t, x->left);
    rb_destroy(t, x->right);
    std::free(x);
}

void rb_walk(rbtree *t, rbnode *x, void (*p)(void *, void *, void *),
             void *pvt) {
    rbnode *nil = nil_of(t);
    while (x != nil) {
        rb_walk(t, x->left, p, pvt);
        p(x->key, x->value, pvt);
        x = x->right;  // the right subtree, walked without recursing
    }
}

// The search by mode (see rblookup in arrays.h).
rbnode *rb_lookup(int mode, void *key, rbtree *t) {
    rbnode *nil = nil_of(t);
    if (t->rb_root == nil) return nil;
    if (mode == 7) return rb_minimum(t, t->rb_root);
    if (mode == 8) return rb_maximum(t, t->rb_root);
    if (mode < 0 || mode > 6) return nil;

    rbnode *x = t->rb_root;
    rbnode *last = nil;
    int c = 0;
    Compare cmp = t->rb_cmp;
    while (x != nil) {
        last = x;
        c = cmp(key, x->key);
        if (c == 0) break;
        x = c < 0 ? x->left : x->right;
    }
    bool found = x != nil;
    // First key at or after key when absent (modes 1 and 4).
    auto after = [&] { return c < 0 ? last : rb_successor(t, last); };
    // Last key at or before key when absent (modes 2 and 3).
    auto before = [&] { return c > 0 ? last : rb_preccessor(t, last); };
    switch (mode) {
        case 0: return found ? x : nil;
        case 1: return found ? x : after();
        case 2: return found ? x : before();
        case 3: return found ? rb_preccessor(t, x) : before();
        case 4: return found ? rb_successor(t, x) : after();
        case 5: return found ? rb_successor(t, x) : nil;
        case 6: return found ? rb_preccessor(t, x) : nil;
        default: return nil;
    }
}

}  // namespace

rbtree *rbinit(int (*cmp)(void *a, void *b)) {
    auto *t = static_cast<rbtree *>(std::malloc(sizeof(rbtree)));
    if (t == nullptr) return nullptr;
    t->rb_cmp = cmp != nullptr ? cmp : reinterpret_cast<Compare>(&std::strcmp);
    t->replace = 1;
    t->old = rbnode{nullptr, nullptr, nullptr, black, nullptr, nullptr};
    t->rb_nil = rbnode{nullptr, nullptr, nullptr, black, nullptr, nullptr};
    t->rb_root = &t->rb_nil;
    return t;
}

rbnode *rbinsert(void *key, void *value, rbtree *rbinfo) {
    rbnode *nil = nil_of(rbinfo);
    rbnode *parent = nil;
    rbnode *x = rbinfo->rb_root;
    Compare cmp = rbinfo->rb_cmp;
    int c = 0;
    while (x != nil) {
        parent = x;
        c = cmp(key, x->key);
        if (c == 0) {
            if (!rbinfo->replace) return x;
            rbinfo->old.key = x->key;
            rbinfo->old.value = x->value;
            x->key = key;
            x->value = value;
            return &rbinfo->old;
        }
        x = c < 0 ? x->left : x->right;
    }

    auto *z = static_cast<rbnode *>(std::malloc(sizeof(rbnode)));
    if (z == nullptr) return nil;
    *z = rbnode{nil, nil, parent, red, key, value};
    if (parent == nil)
        rbinfo->rb_root = z;
    else if (c >= 0)
        parent->right = z;
    else
        parent->left = z;
    rb_insert_fix(rbinfo, z);
    return z;
}

rbnode *rbdelete(void *key, rbtree *rbinfo) {
    if (rbinfo == nullptr) return nullptr;
    rbnode *z = rb_traverse(key, rbinfo);
    if (z == nil_of(rbinfo)) return nullptr;
    rbinfo->old.key = z->key;
    rbinfo->old.value = z->value;
    rb_delete(rbinfo, z);
    return &rbinfo->old;
}

void *rbsearch(void *key, rbtree *rbinfo) {
    if (rbinfo == nullptr) return nullptr;
    rbnode *z = rb_traverse(key, rbinfo);
    return z == nil_of(rbinfo) ? nullptr : z->value;
}

void *rbfind(void *key, rbtree *rbinfo) {
    if (rbinfo == nullptr) return nullptr;
    rbnode *z = rb_traverse(key, rbinfo);
    return z == nil_of(rbinfo) ? nullptr : z->key;
}

void *rblookup(int mode, void *key, rbtree *rbinfo) {
    if (rbinfo == nullptr) return nullptr;
    rbnode *z = rb_lookup(mode, key, rbinfo);
    return z == nil_of(rbinfo) ? nullptr : z->key;
}

void rbtraverse(rbtree *root, void (*p)(void *key, void *value, void *pvt),
                void *pvt) {
    if (root == nullptr) return;
    rb_walk(root, root->rb_root, p, pvt);
}

void rbdestroy(rbtree *rbinfo) {
    if (rbinfo == nullptr) return;
    rb_destroy(rbinfo, rbinfo->rb_root);
    std::free(rbinfo);
}
