/* Associative arrays, sorted sets and the id map, all built on one
 * red-black tree.
 *
 * - rbtree: a balanced search tree keyed by any pointer under a comparison
 *   function; the tree stores keys and values unchanged.
 * - Arr: string keys, copied on entry, mapped to caller-owned values and
 *   walked in key order.
 * - Stbl: a sorted set of caller-owned keys (the first of equal keys wins)
 *   with an indexed list view rebuilt lazily after changes.
 * - The id map: a Stbl of Intid pairs translating old ids into new ones.
 *
 * None of these has a lock: a tree, array or set belongs to one thread at a
 * time. Every tree has a sentinel node of its own (rb_nil, inside the head),
 * so different trees may be used by different threads at the same time.
 */
#ifndef BASALT_ARRAYS_H
#define BASALT_ARRAYS_H

#include <stdint.h>

#include "basalt_api.h"
#include "tbl.h"

BASALT_BEGIN_DECLS

typedef enum nodecolour { black = 0, red = 1 } nodecolour;

/* One node of a tree. An empty subtree and the root's parent are the
 * tree's sentinel. */
typedef struct rbnode {
    struct rbnode *left;
    struct rbnode *right;
    struct rbnode *up;
    nodecolour colour;
    void *key;
    void *value;
} rbnode;

/* The tree head. An Arr is the same record under the array's name. */
typedef struct rbtree {
    /* Order of the keys: negative, 0 or positive, like strcmp (which is
     * the order when none is given). */
    int (*rb_cmp)(void *a, void *b);
    /* 1: inserting a present key replaces its pair; 0: the present pair
     * stays. */
    int replace;
    /* Receives the pair that an insertion displaced or a deletion removed
     * (only key and value are used); take it out before the next insertion
     * or deletion on the tree. */
    rbnode old;
    /* The root; the sentinel (&rb_nil) when the tree is empty. */
    rbnode *rb_root;
    /* This tree's own sentinel: black, its children and pointers null.
     * rbinsert returns its address when memory for a node runs out. */
    rbnode rb_nil;
} rbtree;

typedef rbtree Arr;

/* A sorted set on an Arr, with a list view of its keys. */
typedef struct Stbl {
    Tbl *tbl;    /* keys in ascending order; null until first built */
    Arr *arr;    /* the tree (replace 0), each key stored as key and value */
    int changed; /* 1 when tbl must be rebuilt before indexed use */
} Stbl;

/* One pair of the id map, ordered by old. The second field is "new" for C
 * callers; C++ cannot use that word as a name and reads it as new_id. */
typedef struct Intid {
    int32_t old;
#ifdef __cplusplus
    int32_t new_id;
#else
    int32_t new;
#endif
} Intid;

/* A sentinel-shaped node (black, all links and pointers null) kept for
 * callers that use the name. No tree links to it: each tree has its own
 * sentinel, tree->rb_nil. */
BASALT_API extern rbnode rb_null;

/* ---- The tree ---- */

/* A new empty tree with replace 1, ordered by cmp (strcmp when null).
 * Null, without a message, when memory runs out. */
BASALT_API rbtree *rbinit(int (*cmp)(void *a, void *b));

/* Inserts key with value. Returns the new node; or, when an equal key is
 * stored, &rbinfo->old holding the displaced pair (replace 1) or the
 * existing, unchanged node (replace 0). When memory for a node runs out,
 * returns the tree's own sentinel (&rbinfo->rb_nil) and stores nothing. */
BASALT_API rbnode *rbinsert(void *key, void *value, rbtree *rbinfo);

/* Removes the pair under an equal key and returns &rbinfo->old holding
 * it; null for a null tree or when no key is equal. */
BASALT_API rbnode *rbdelete(void *key, rbtree *rbinfo);

/* The value stored under an equal key, or null. */
BASALT_API void *rbsearch(void *key, rbtree *rbinfo);

/* The stored key equal to key, or null. */
BASALT_API void *rbfind(void *key, rbtree *rbinfo);

/* The stored key of the node that mode selects, or null:
 *   0 the equal key; 1 the first key at or after key; 2 the last key at or
 *   before key; 3 the last key before key; 4 the first key after key;
 *   5 the key after an equal key; 6 the key before an equal key;
 *   7 the smallest key; 8 the greatest key. */
BASALT_API void *rblookup(int mode, void *key, rbtree *rbinfo);

/* Calls p(key, value, pvt) for every pair in ascending key order. p must
 * not insert into or delete from the tree. */
BASALT_API void rbtraverse(rbtree *root,
                           void (*p)(void *key, void *value, void *pvt),
                           void *pvt);

/* Frees every node and the head; keys and values are left alone. */
BASALT_API void rbdestroy(rbtree *rbinfo);

/* ---- Associative arrays ---- */

/* A new array ordered by cmp (strcmp when null). */
BASALT_API Arr *newarr(int (*cmp)(void *a, void *b));

/* Stores a copy of key with value; returns the value that an equal key
 * held (whose key copy is freed), else null. */
BASALT_API void *setarr(Arr *arr, const char *key, void *value);

/* The value under key, or null. */
BASALT_API void *getarr(Arr *arr, const char *key);

/* Removes key and returns its value, which the caller now owns; null when
 * the key is absent. */
BASALT_API void *delarr(Arr *arr, const char *key);

/* A new list (the caller's) of the key copies (the array's) in order. */
BASALT_API Tbl *keysarr(Arr *arr);

/* A new list of the values in ascending key order. */
BASALT_API Tbl *valsarr(Arr *arr);

/* The number of pairs, counted by a walk. */
BASALT_API int cntarr(Arr *arr);

/* Calls function(key, value, pvt) for each pair in key order; returns 0.
 * function must not change the array. */
BASALT_API int applyarr(Arr *arr,
                        void (*function)(char *key, void *value, void *pvt),
                        void *pvt);

/* Frees the key copies, the nodes and the head, passing each value to
 * afree first when afree is given. Returns 0. */
BASALT_API int freearr(Arr *root, void (*afree)(void *value));

/* A new array with the same order holding a copy of each key with the
 * value adup(value); adup must be given. */
BASALT_API Arr *duparr(Arr *arr, void *(*adup)(void *value));

/* A new list of the keys (lent) that the extended regular expression re
 * matches as a whole, in order; empty when re does not compile. */
BASALT_API Tbl *greparr(const char *re, Arr *arr);

/* A new list of the keys (lent) which, each read as an extended regular
 * expression, match string as a whole, in order; keys that do not compile
 * are skipped. */
BASALT_API Tbl *arrgrep(Arr *arr, const char *string);

/* ---- Sorted sets ---- */

/* A new empty set ordered by cmp (strcmp when null). */
BASALT_API Stbl *newstbl(int (*cmp)(void *a, void *b));

/* Adds key (not copied) unless an equal key is stored; returns the stored
 * key (key itself, or the earlier equal one). Null when memory for the
 * node runs out. */
BASALT_API void *addstbl(Stbl *stbl, void *key);

/* Removes the key equal to key and returns it, or null when none. */
BASALT_API void *delstbl(Stbl *stbl, void *key);

/* The stored key equal to key, or null. */
BASALT_API void *tststbl(Stbl *stbl, void *key);

/* The number of keys. */
BASALT_API int maxstbl(Stbl *stbl);

/* The key at index in ascending order; null outside the range. */
BASALT_API void *getstbl(Stbl *stbl, int index);

/* The set's own list of keys, valid until the next change of the set. */
BASALT_API Tbl *tblstbl(Stbl *stbl);

/* Calls function(key, pvt) for each key in order; returns 0. */
BASALT_API int applystbl(Stbl *stbl, int (*function)(void *key, void *pvt),
                         void *pvt);

/* Frees the list, the nodes, the tree and the set, passing each key to
 * free_stblval when it is given. Returns 0. */
BASALT_API int freestbl(Stbl *stbl, void (*free_stblval)(void *key));

/* ---- The id map ---- */

/* A new empty map from old ids to new ids. */
BASALT_API Stbl *newidmap(void);

/* Maps oldid to newid; returns the previous new id of oldid, or -1. */
BASALT_API int idset(Stbl *map, int oldid, int newid);

/* The new id mapped to oldid, or -1. */
BASALT_API int idget(Stbl *map, int oldid);

/* Frees every pair and the map. */
BASALT_API void freeidmap(Stbl *map);

BASALT_END_DECLS

#endif
