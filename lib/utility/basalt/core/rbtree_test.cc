#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "basalt.h"
#include "child.h"

namespace {

// Keys are small integers carried in the pointer itself; 0 is never used,
// so a null result always means "none".
void *K(intptr_t k) { return reinterpret_cast<void *>(k); }
intptr_t I(void *p) { return reinterpret_cast<intptr_t>(p); }

int intcmp(void *a, void *b) {
    intptr_t x = I(a), y = I(b);
    return (x > y) - (x < y);
}

// Checks the red-black rules without allocating (it also runs after memory
// ran out): a black root whose parent is the sentinel, no red node with a red
// child, the same number of black nodes on every path, parent links that
// match, keys strictly ascending in order, and a sentinel left as made.
// Returns the number of nodes, or -1 after reporting a failure.
struct Invariants {
    rbtree *t;
    rbnode *nil = nullptr;
    bool have_prev = false;
    intptr_t prev = 0;
    long count = 0;
    bool ok = true;

    // Black height of the subtree at x, or -1 when it breaks a rule.
    int walk(rbnode *x, rbnode *parent) {
        if (x == nil) return 1;
        if (x == &rb_null || x == nullptr) {
            ok = false;
            return -1;
        }
        if (x->up != parent) ok = false;
        if (x->colour == red &&
            (x->left->colour == red || x->right->colour == red))
            ok = false;
        int lh = walk(x->left, x);
        if (have_prev && intcmp(K(prev), x->key) >= 0) ok = false;
        have_prev = true;
        prev = I(x->key);
        ++count;
        int rh = walk(x->right, x);
        if (lh < 0 || rh < 0 || lh != rh) {
            ok = false;
            return -1;
        }
        return lh + (x->colour == black ? 1 : 0);
    }

    long check() {
        nil = &t->rb_nil;
        if (nil->colour != black || nil->left != nullptr ||
            nil->right != nullptr || nil->key != nullptr ||
            nil->value != nullptr)
            return -1;
        if (t->rb_root != nil &&
            (t->rb_root->colour != black || t->rb_root->up != nil))
            return -1;
        walk(t->rb_root, nil);
        return ok ? count : -1;
    }
};

long check_tree(rbtree *t) { return Invariants{t}.check(); }

rbtree *int_tree(std::initializer_list<intptr_t> keys) {
    rbtree *t = rbinit(intcmp);
    for (intptr_t k : keys) rbinsert(K(k), K(k * 100), t);
    return t;
}

TEST(RbTree, NewTreeIsEmptyWithItsOwnSentinel) {
    rbtree *a = rbinit(nullptr);
    rbtree *b = rbinit(intcmp);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->replace, 1);
    EXPECT_EQ(a->rb_root, &a->rb_nil);
    EXPECT_EQ(b->rb_root, &b->rb_nil);
    EXPECT_NE(&a->rb_nil, &b->rb_nil);
    EXPECT_EQ(a->rb_nil.colour, black);
    EXPECT_EQ(b->rb_cmp, &intcmp);
    EXPECT_EQ(rbfind(const_cast<char *>("x"), a), nullptr);
    EXPECT_EQ(rblookup(7, nullptr, a), nullptr);
    EXPECT_EQ(rblookup(8, nullptr, a), nullptr);
    EXPECT_EQ(rbdelete(const_cast<char *>("x"), a), nullptr);
    rbdestroy(a);
    rbdestroy(b);
}

TEST(RbTree, SharedNullNodeIsBlackAndEmpty) {
    EXPECT_EQ(rb_null.colour, black);
    EXPECT_EQ(rb_null.left, nullptr);
    EXPECT_EQ(rb_null.right, nullptr);
    EXPECT_EQ(rb_null.up, nullptr);
    EXPECT_EQ(rb_null.key, nullptr);
    EXPECT_EQ(rb_null.value, nullptr);
}

TEST(RbTree, DefaultOrderIsStrcmpAndKeysAreStoredUnchanged) {
    rbtree *t = rbinit(nullptr);
    char b[] = "b", a[] = "a", c[] = "c";
    rbnode *n = rbinsert(b, c, t);
    ASSERT_NE(n, &t->rb_nil);
    EXPECT_EQ(n->key, b);
    EXPECT_EQ(n->value, c);
    EXPECT_EQ(n->colour, black);  // a lone root ends black
    rbinsert(a, a, t);
    rbinsert(c, b, t);
    char probe[] = "b";
    EXPECT_EQ(rbfind(probe, t), b);  // the stored pointer, not the probe
    EXPECT_EQ(rbsearch(probe, t), c);
    EXPECT_EQ(rblookup(7, nullptr, t), a);
    EXPECT_EQ(rblookup(8, nullptr, t), c);
    rbdestroy(t);  // must not free the keys, which live on the stack
}

TEST(RbTree, NullTreeIsAcceptedWhereDocumented) {
    EXPECT_EQ(rbsearch(K(1), nullptr), nullptr);
    EXPECT_EQ(rbfind(K(1), nullptr), nullptr);
    EXPECT_EQ(rblookup(0, K(1), nullptr), nullptr);
    EXPECT_EQ(rbdelete(K(1), nullptr), nullptr);
    rbdestroy(nullptr);
}

TEST(RbTree, ReplaceOneHandsBackTheDisplacedPair) {
    rbtree *t = int_tree({5, 3, 8});
    rbnode *r = rbinsert(K(3), K(999), t);
    ASSERT_EQ(r, &t->old);
    EXPECT_EQ(I(t->old.key), 3);
    EXPECT_EQ(I(t->old.value), 300);
    EXPECT_EQ(I(rbsearch(K(3), t)), 999);
    EXPECT_EQ(check_tree(t), 3);
    rbdestroy(t);
}

TEST(RbTree, ReplaceOneStoresTheNewKeyPointer) {
    rbtree *t = rbinit(nullptr);
    char first[] = "k", second[] = "k";
    rbinsert(first, K(1), t);
    ASSERT_EQ(rbinsert(second, K(2), t), &t->old);
    EXPECT_EQ(t->old.key, first);
    EXPECT_EQ(rbfind(first, t), second);
    rbdestroy(t);
}

TEST(RbTree, ReplaceZeroKeepsThePresentPair) {
    rbtree *t = int_tree({5, 3, 8});
    t->replace = 0;
    rbnode *r = rbinsert(K(8), K(1), t);
    ASSERT_NE(r, &t->old);
    ASSERT_NE(r, &t->rb_nil);
    EXPECT_EQ(I(r->key), 8);
    EXPECT_EQ(I(r->value), 800);
    EXPECT_EQ(I(rbsearch(K(8), t)), 800);
    EXPECT_EQ(check_tree(t), 3);
    rbdestroy(t);
}

TEST(RbTree, DeleteHandsBackThePairInOld) {
    rbtree *t = int_tree({50, 30, 70, 20, 40, 60, 80});
    rbnode *r = rbdelete(K(30), t);  // a node with two children
    ASSERT_EQ(r, &t->old);
    EXPECT_EQ(I(r->key), 30);
    EXPECT_EQ(I(r->value), 3000);
    EXPECT_EQ(rbsearch(K(30), t), nullptr);
    EXPECT_EQ(I(rbsearch(K(40), t)), 4000);  // moved pair still found
    EXPECT_EQ(rbdelete(K(30), t), nullptr);
    EXPECT_EQ(check_tree(t), 6);
    rbdestroy(t);
}

TEST(RbTree, DeleteEveryKeyEmptiesTheTree) {
    rbtree *t = int_tree({4, 2, 6, 1, 3, 5, 7});
    for (intptr_t k : {4, 1, 7, 2, 6, 3, 5}) {
        ASSERT_NE(rbdelete(K(k), t), nullptr) << k;
        ASSERT_GE(check_tree(t), 0) << "after deleting " << k;
    }
    EXPECT_EQ(t->rb_root, &t->rb_nil);
    EXPECT_EQ(t->rb_nil.up, nullptr);
    rbdestroy(t);
}

struct LookupCase {
    int mode;
    intptr_t key;
    intptr_t want;  // 0: none
};

TEST(RbTree, LookupModes) {
    const LookupCase cases[] = {
        {0, 20, 20}, {0, 25, 0},  {1, 25, 30}, {1, 35, 0},  {1, 20, 20},
        {1, 5, 10},  {2, 25, 20}, {2, 5, 0},   {2, 20, 20}, {2, 35, 30},
        {3, 20, 10}, {3, 10, 0},  {3, 25, 20}, {4, 20, 30}, {4, 30, 0},
        {4, 25, 30}, {5, 20, 30}, {5, 25, 0},  {5, 30, 0},  {6, 20, 10},
        {6, 10, 0},  {6, 25, 0},  {7, 99, 10}, {7, 1, 10},  {8, 1, 30},
        {8, 99, 30}, {9, 20, 0},  {-1, 20, 0},
    };
    rbtree *t = int_tree({10, 20, 30});
    for (const LookupCase &c : cases)
        EXPECT_EQ(I(rblookup(c.mode, K(c.key), t)), c.want)
            << "mode " << c.mode << " key " << c.key;
    rbdestroy(t);
}

TEST(RbTree, LookupModesOnEmptyTreeSelectNone) {
    rbtree *t = rbinit(intcmp);
    for (int mode = 0; mode <= 9; mode++)
        EXPECT_EQ(rblookup(mode, K(5), t), nullptr) << mode;
    rbdestroy(t);
}

void collect(void *key, void *value, void *pvt) {
    auto *out = static_cast<std::vector<std::pair<intptr_t, intptr_t>> *>(pvt);
    out->push_back({I(key), I(value)});
}

TEST(RbTree, TraverseVisitsPairsInKeyOrder) {
    rbtree *t = int_tree({7, 3, 9, 1, 5, 8, 2});
    std::vector<std::pair<intptr_t, intptr_t>> seen;
    rbtraverse(t, collect, &seen);
    std::vector<std::pair<intptr_t, intptr_t>> want = {
        {1, 100}, {2, 200}, {3, 300}, {5, 500}, {7, 700}, {8, 800}, {9, 900}};
    EXPECT_EQ(seen, want);
    rbdestroy(t);

    rbtree *empty = rbinit(intcmp);
    seen.clear();
    rbtraverse(empty, collect, &seen);
    EXPECT_TRUE(seen.empty());
    rbdestroy(empty);
}

int height(rbtree *t, rbnode *x) {
    if (x == &t->rb_nil) return 0;
    return 1 + std::max(height(t, x->left), height(t, x->right));
}

TEST(RbTree, AscendingInsertionStaysBalanced) {
    rbtree *t = rbinit(intcmp);
    const int n = (1 << 14) - 1;
    for (intptr_t k = 1; k <= n; k++) rbinsert(K(k), K(k), t);
    ASSERT_EQ(check_tree(t), n);
    // A red-black tree of n nodes is at most 2 log2(n + 1) high.
    EXPECT_LE(height(t, t->rb_root), 2 * 14);
    for (intptr_t k = 1; k <= n; k += 2) rbdelete(K(k), t);
    ASSERT_EQ(check_tree(t), n / 2);
    rbdestroy(t);
}

// Model of a tree's lookups over a std::map.
intptr_t model_lookup(const std::map<intptr_t, intptr_t> &m, int mode,
                      intptr_t k) {
    if (m.empty()) return 0;
    bool present = m.count(k) != 0;
    auto first_at_or_after = [&]() -> intptr_t {
        auto it = m.lower_bound(k);
        return it == m.end() ? 0 : it->first;
    };
    auto first_after = [&]() -> intptr_t {
        auto it = m.upper_bound(k);
        return it == m.end() ? 0 : it->first;
    };
    auto last_at_or_before = [&]() -> intptr_t {
        auto it = m.upper_bound(k);
        return it == m.begin() ? 0 : std::prev(it)->first;
    };
    auto last_before = [&]() -> intptr_t {
        auto it = m.lower_bound(k);
        return it == m.begin() ? 0 : std::prev(it)->first;
    };
    switch (mode) {
        case 0: return present ? k : 0;
        case 1: return first_at_or_after();
        case 2: return last_at_or_before();
        case 3: return last_before();
        case 4: return first_after();
        case 5: return present ? first_after() : 0;
        case 6: return present ? last_before() : 0;
        case 7: return m.begin()->first;
        case 8: return m.rbegin()->first;
        default: return 0;
    }
}

// Random inserts, replacements and deletions against a model, checking the
// red-black rules after every change. Returns an empty string on success.
std::string random_run(unsigned seed, int steps, intptr_t key_range) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<intptr_t> key(1, key_range);
    std::uniform_int_distribution<int> op(0, 9);
    rbtree *t = rbinit(intcmp);
    std::map<intptr_t, intptr_t> model;
    std::string failure;
    for (int step = 0; step < steps && failure.empty(); step++) {
        intptr_t k = key(rng);
        int o = op(rng);
        std::string where = "step " + std::to_string(step) + " key " +
                            std::to_string(k) + ": ";
        if (o < 5) {
            intptr_t v = step + 1;
            bool present = model.count(k) != 0;
            rbnode *r = rbinsert(K(k), K(v), t);
            if (present) {
                if (r != &t->old || I(t->old.value) != model[k])
                    failure = where + "replace did not hand back the old pair";
            } else if (r == &t->old || r == &t->rb_nil || I(r->key) != k) {
                failure = where + "insert did not return the new node";
            }
            model[k] = v;
        } else if (o < 9) {
            auto it = model.find(k);
            rbnode *r = rbdelete(K(k), t);
            if (it == model.end()) {
                if (r != nullptr) failure = where + "deleted an absent key";
            } else {
                if (r != &t->old || I(r->key) != k || I(r->value) != it->second)
                    failure = where + "delete did not hand back the pair";
                model.erase(it);
            }
        } else {
            for (int mode = 0; mode <= 9; mode++) {
                if (I(rblookup(mode, K(k), t)) != model_lookup(model, mode, k))
                    failure = where + "lookup mode " + std::to_string(mode);
            }
        }
        long n = check_tree(t);
        if (failure.empty() && n != static_cast<long>(model.size()))
            failure = where + "invariants broken or count wrong";
    }
    if (failure.empty()) {
        std::vector<std::pair<intptr_t, intptr_t>> seen;
        rbtraverse(t, collect, &seen);
        std::vector<std::pair<intptr_t, intptr_t>> want(model.begin(),
                                                        model.end());
        if (seen != want) failure = "final walk differs from the model";
    }
    rbdestroy(t);
    return failure;
}

TEST(RbTree, RandomOperationsKeepTheRedBlackRules) {
    struct Run {
        unsigned seed;
        int steps;
        intptr_t range;
    };
    for (const Run &r : {Run{1, 4000, 30}, Run{2, 20000, 400},
                         Run{3, 20000, 5000}, Run{4, 3000, 3}})
        EXPECT_EQ(random_run(r.seed, r.steps, r.range), "")
            << "seed " << r.seed;
}

TEST(RbTree, TreesOnDifferentThreadsDoNotInterfere) {
    // Each tree has its own sentinel, so deletions in different trees may
    // run at once.
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < results.size(); i++)
        threads.emplace_back(
            [i, &results] { results[i] = random_run(100 + i, 20000, 300); });
    for (auto &th : threads) th.join();
    for (const std::string &r : results) EXPECT_EQ(r, "");
}

TEST(RbTree, InsertReturnsTheSentinelWhenMemoryRunsOut) {
    if (testsupport::under_address_sanitizer())
        GTEST_SKIP() << "exhausts memory on purpose";
    auto result = testsupport::run_in_child([] {
        rbtree *t = rbinit(intcmp);
        std::printf("start\n");
        std::fflush(stdout);
        testsupport::leave_little_memory();
        intptr_t k = 1;
        rbnode *r;
        while ((r = rbinsert(K(k), K(k), t)) != &t->rb_nil) k++;
        long n = check_tree(t);
        std::printf("inserted %ld checked %ld stored %d\n",
                    static_cast<long>(k - 1), n, rbfind(K(k), t) != nullptr);
    });
    if (testsupport::memory_not_limited(result))
        GTEST_SKIP() << "the address-space limit does not hold here";
    ASSERT_TRUE(result.exited) << result.err;
    EXPECT_EQ(result.exit_code, 0);
    long inserted = -1, checked = -2;
    int stored = -1;
    auto at = result.out.find("inserted");
    ASSERT_NE(at, std::string::npos) << result.out << result.err;
    ASSERT_EQ(std::sscanf(result.out.c_str() + at,
                          "inserted %ld checked %ld stored %d", &inserted,
                          &checked, &stored),
              3);
    EXPECT_GT(inserted, 1000);
    EXPECT_EQ(checked, inserted);
    EXPECT_EQ(stored, 0);
}

}  // namespace
