#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "basalt.h"

namespace {

std::vector<std::string> contents(Stbl *s) {
    std::vector<std::string> out;
    for (int i = 0; i < maxstbl(s); i++)
        out.push_back(static_cast<char *>(getstbl(s, i)));
    return out;
}

TEST(Stbl, NewSetIsEmptyAndKeepsPresentKeys) {
    Stbl *s = newstbl(nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->tbl, nullptr);
    EXPECT_EQ(s->changed, 1);
    EXPECT_EQ(s->arr->replace, 0);
    EXPECT_EQ(maxstbl(s), 0);
    EXPECT_EQ(getstbl(s, 0), nullptr);
    Tbl *list = tblstbl(s);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(maxtbl(list), 0);
    freestbl(s, nullptr);
}

TEST(Stbl, FirstOfEqualKeysWins) {
    Stbl *s = newstbl(nullptr);
    char first[] = "same", second[] = "same";
    EXPECT_EQ(addstbl(s, first), first);
    EXPECT_EQ(addstbl(s, second), first);
    EXPECT_EQ(maxstbl(s), 1);
    EXPECT_EQ(tststbl(s, second), first);
    EXPECT_EQ(delstbl(s, second), first);
    EXPECT_EQ(maxstbl(s), 0);
    EXPECT_EQ(tststbl(s, first), nullptr);
    freestbl(s, nullptr);
}

TEST(Stbl, KeysAreIndexedInAscendingOrder) {
    Stbl *s = newstbl(nullptr);
    char k[][4] = {"m", "c", "x", "a", "q"};
    for (auto &key : k) addstbl(s, key);
    EXPECT_EQ(contents(s), (std::vector<std::string>{"a", "c", "m", "q", "x"}));
    EXPECT_EQ(getstbl(s, -1), nullptr);
    EXPECT_EQ(getstbl(s, 5), nullptr);
    EXPECT_EQ(getstbl(s, 0), static_cast<void *>(k[3]));  // not copied
    freestbl(s, nullptr);
}

TEST(Stbl, ListIsRebuiltOnlyWhenReadAfterAChange) {
    Stbl *s = newstbl(nullptr);
    char a[] = "a", b[] = "b", b2[] = "b";
    addstbl(s, a);
    addstbl(s, b);
    EXPECT_EQ(s->changed, 1);
    Tbl *list = tblstbl(s);
    EXPECT_EQ(s->changed, 0);
    EXPECT_EQ(s->tbl, list);
    EXPECT_EQ(maxtbl(list), 2);
    // Reading again without a change keeps the same list.
    EXPECT_EQ(maxstbl(s), 2);
    EXPECT_EQ(tblstbl(s), list);
    EXPECT_EQ(getstbl(s, 1), static_cast<void *>(b));

    // Every add and delete marks the list stale, even one that finds an
    // equal key or nothing to delete.
    addstbl(s, b2);
    EXPECT_EQ(s->changed, 1);
    EXPECT_EQ(maxstbl(s), 2);
    EXPECT_EQ(s->changed, 0);
    char none[] = "none";
    EXPECT_EQ(delstbl(s, none), nullptr);
    EXPECT_EQ(s->changed, 1);
    EXPECT_EQ(tststbl(s, a), a);
    EXPECT_EQ(s->changed, 1);  // a test does not rebuild
    freestbl(s, nullptr);
}

int sum_lengths(void *key, void *pvt) {
    *static_cast<std::string *>(pvt) += static_cast<char *>(key);
    return 1;
}

TEST(Stbl, ApplyVisitsKeysInOrder) {
    Stbl *s = newstbl(nullptr);
    char k[][4] = {"c", "a", "b"};
    for (auto &key : k) addstbl(s, key);
    std::string seen;
    EXPECT_EQ(applystbl(s, sum_lengths, &seen), 0);
    EXPECT_EQ(seen, "abc");
    freestbl(s, nullptr);
}

int by_length(void *a, void *b) {
    size_t x = std::strlen(static_cast<char *>(a));
    size_t y = std::strlen(static_cast<char *>(b));
    return (x > y) - (x < y);
}

TEST(Stbl, OrderComesFromTheComparison) {
    Stbl *s = newstbl(by_length);
    char k[][8] = {"ccc", "a", "bb", "zz"};
    for (auto &key : k) addstbl(s, key);
    EXPECT_EQ(contents(s), (std::vector<std::string>{"a", "bb", "ccc"}));
    freestbl(s, nullptr);
}

int keys_freed = 0;
void free_key(void *key) {
    keys_freed++;
    std::free(key);
}

TEST(Stbl, FreeStblPassesEveryKeyToTheFreeFunction) {
    Stbl *s = newstbl(nullptr);
    for (int i = 0; i < 100; i++) {
        std::string k = "k" + std::to_string(i);
        addstbl(s, strdup(k.c_str()));
    }
    EXPECT_EQ(maxstbl(s), 100);  // builds the list, which is freed too
    char k50[] = "k50";
    free(delstbl(s, k50));
    keys_freed = 0;
    EXPECT_EQ(freestbl(s, free_key), 0);
    EXPECT_EQ(keys_freed, 99);
}

TEST(Stbl, ManyAddsAndDeletesKeepTheSetSorted) {
    Stbl *s = newstbl(nullptr);
    std::vector<std::string> storage;
    storage.reserve(2000);
    for (int i = 0; i < 2000; i++)
        storage.push_back(std::to_string((i * 7919) % 2000));
    for (auto &k : storage) addstbl(s, k.data());
    for (int i = 0; i < 2000; i += 2) {
        std::string k = std::to_string(i);
        ASSERT_NE(delstbl(s, k.data()), nullptr) << k;
    }
    ASSERT_EQ(maxstbl(s), 1000);
    for (int i = 1; i < maxstbl(s); i++)
        ASSERT_LT(std::strcmp(static_cast<char *>(getstbl(s, i - 1)),
                              static_cast<char *>(getstbl(s, i))),
                  0);
    freestbl(s, nullptr);
}

}  // namespace
