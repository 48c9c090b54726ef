#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "basalt.h"
#include "child.h"

namespace {

void *V(intptr_t v) { return reinterpret_cast<void *>(v); }
intptr_t I(void *p) { return reinterpret_cast<intptr_t>(p); }

std::vector<std::string> strings_of(Tbl *t) {
    std::vector<std::string> out;
    for (int i = 0; i < maxtbl(t); i++)
        out.push_back(static_cast<char *>(gettbl(t, i)));
    return out;
}

std::vector<std::string> keys_of(Arr *arr) {
    Tbl *keys = keysarr(arr);
    std::vector<std::string> out = strings_of(keys);
    freetbl(keys, nullptr);
    return out;
}

Arr *arr_of(std::initializer_list<const char *> keys) {
    Arr *arr = newarr(nullptr);
    intptr_t v = 1;
    for (const char *k : keys) setarr(arr, k, V(v++));
    return arr;
}

TEST(Arr, SetOfNewKeyReturnsNullAndAgainReturnsTheFirstValue) {
    Arr *arr = newarr(nullptr);
    EXPECT_EQ(arr->replace, 1);
    char key[] = "alpha";
    EXPECT_EQ(setarr(arr, key, V(1)), nullptr);
    Tbl *before = keysarr(arr);
    char *first_copy = static_cast<char *>(gettbl(before, 0));
    freetbl(before, nullptr);
    EXPECT_NE(first_copy, key);  // the key is copied

    EXPECT_EQ(I(setarr(arr, "alpha", V(2))), 1);
    EXPECT_EQ(cntarr(arr), 1);
    EXPECT_EQ(I(getarr(arr, "alpha")), 2);
    Tbl *after = keysarr(arr);
    // A fresh copy replaced the earlier one (both lived at once, so the
    // addresses differ).
    EXPECT_NE(gettbl(after, 0), static_cast<void *>(first_copy));
    EXPECT_STREQ(static_cast<char *>(gettbl(after, 0)), "alpha");
    freetbl(after, nullptr);
    freearr(arr, nullptr);
}

TEST(Arr, CallerMayReuseTheKeyBuffer) {
    Arr *arr = newarr(nullptr);
    char key[8];
    for (int i = 0; i < 3; i++) {
        std::snprintf(key, sizeof key, "k%d", i);
        setarr(arr, key, V(i + 1));
    }
    std::strcpy(key, "zz");
    EXPECT_EQ(keys_of(arr), (std::vector<std::string>{"k0", "k1", "k2"}));
    EXPECT_EQ(I(getarr(arr, "k1")), 2);
    freearr(arr, nullptr);
}

TEST(Arr, NullValueIsStoredAndCounted) {
    Arr *arr = newarr(nullptr);
    EXPECT_EQ(setarr(arr, "n", nullptr), nullptr);
    EXPECT_EQ(getarr(arr, "n"), nullptr);
    EXPECT_EQ(cntarr(arr), 1);
    EXPECT_EQ(keys_of(arr), std::vector<std::string>{"n"});
    freearr(arr, nullptr);
}

TEST(Arr, DeleteReturnsTheValueAndForgetsTheKey) {
    Arr *arr = arr_of({"a", "b", "c"});
    EXPECT_EQ(delarr(arr, "missing"), nullptr);
    EXPECT_EQ(I(delarr(arr, "b")), 2);
    EXPECT_EQ(getarr(arr, "b"), nullptr);
    EXPECT_EQ(delarr(arr, "b"), nullptr);
    EXPECT_EQ(cntarr(arr), 2);
    EXPECT_EQ(keys_of(arr), (std::vector<std::string>{"a", "c"}));
    freearr(arr, nullptr);
}

TEST(Arr, DeleteAndSetThroughTheArraysOwnKeyCopies) {
    Arr *arr = arr_of({"a", "b", "c", "d"});
    Tbl *keys = keysarr(arr);
    // Setting with the stored copy as key: the copy is freed by the
    // replacement, after the new copy was taken.
    EXPECT_EQ(I(setarr(arr, static_cast<char *>(gettbl(keys, 0)), V(10))), 1);
    EXPECT_EQ(I(delarr(arr, static_cast<char *>(gettbl(keys, 2)))), 3);
    freetbl(keys, nullptr);
    EXPECT_EQ(keys_of(arr), (std::vector<std::string>{"a", "b", "d"}));
    EXPECT_EQ(I(getarr(arr, "a")), 10);
    freearr(arr, nullptr);
}

TEST(Arr, NullArrayReadsAsEmpty) {
    EXPECT_EQ(getarr(nullptr, "a"), nullptr);
    EXPECT_EQ(delarr(nullptr, "a"), nullptr);
    EXPECT_EQ(cntarr(nullptr), 0);
    EXPECT_EQ(freearr(nullptr, nullptr), 0);
}

TEST(Arr, KeysAndValuesComeInKeyOrder) {
    Arr *empty = newarr(nullptr);
    Tbl *none = keysarr(empty);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(maxtbl(none), 0);
    freetbl(none, nullptr);
    freearr(empty, nullptr);

    Arr *arr = arr_of({"b", "a", "c"});
    EXPECT_EQ(keys_of(arr), (std::vector<std::string>{"a", "b", "c"}));
    Tbl *values = valsarr(arr);
    ASSERT_EQ(maxtbl(values), 3);
    EXPECT_EQ(I(gettbl(values, 0)), 2);
    EXPECT_EQ(I(gettbl(values, 1)), 1);
    EXPECT_EQ(I(gettbl(values, 2)), 3);
    freetbl(values, nullptr);
    freearr(arr, nullptr);
}

void record(char *key, void *value, void *pvt) {
    static_cast<std::vector<std::string> *>(pvt)->push_back(
        std::string(key) + "=" + std::to_string(I(value)));
}

TEST(Arr, ApplyVisitsPairsInKeyOrder) {
    Arr *arr = arr_of({"m", "c", "x", "a"});
    std::vector<std::string> seen;
    EXPECT_EQ(applyarr(arr, record, &seen), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"a=4", "c=2", "m=1", "x=3"}));
    freearr(arr, nullptr);
}

int freed_values = 0;
void count_free(void *value) {
    freed_values++;
    std::free(value);
}

TEST(Arr, FreeArrPassesValuesToTheFreeFunction) {
    Arr *arr = newarr(nullptr);
    for (const char *k : {"x", "y", "z"}) setarr(arr, k, std::malloc(4));
    freed_values = 0;
    EXPECT_EQ(freearr(arr, count_free), 0);
    EXPECT_EQ(freed_values, 3);
}

TEST(Arr, FreeArrWithoutFunctionLeavesValuesAlone) {
    int values[3] = {1, 2, 3};  // on the stack: freeing them would fault
    Arr *arr = newarr(nullptr);
    setarr(arr, "a", &values[0]);
    setarr(arr, "b", &values[1]);
    setarr(arr, "c", &values[2]);
    EXPECT_EQ(freearr(arr, nullptr), 0);
    EXPECT_EQ(values[1], 2);
}

void *dup_int(void *value) {
    int *copy = static_cast<int *>(std::malloc(sizeof(int)));
    *copy = *static_cast<int *>(value) * 10;
    return copy;
}

int reverse_cmp(void *a, void *b) {
    return std::strcmp(static_cast<char *>(b), static_cast<char *>(a));
}

TEST(Arr, DupArrCopiesKeysAndDuplicatesValues) {
    int one = 1, two = 2;
    Arr *arr = newarr(reverse_cmp);
    setarr(arr, "a", &one);
    setarr(arr, "b", &two);
    Arr *copy = duparr(arr, dup_int);
    EXPECT_EQ(copy->rb_cmp, &reverse_cmp);
    EXPECT_EQ(keys_of(copy), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(*static_cast<int *>(getarr(copy, "a")), 10);
    EXPECT_EQ(*static_cast<int *>(getarr(copy, "b")), 20);
    freearr(arr, nullptr);  // the copy keeps keys of its own
    EXPECT_EQ(*static_cast<int *>(getarr(copy, "b")), 20);
    freearr(copy, std::free);
}

int nocase(void *a, void *b) {
    return strcasecmp(static_cast<char *>(a), static_cast<char *>(b));
}

TEST(Arr, ComparisonDecidesWhichKeysAreEqual) {
    Arr *arr = newarr(nocase);
    setarr(arr, "Key", V(1));
    EXPECT_EQ(I(getarr(arr, "KEY")), 1);
    EXPECT_EQ(I(setarr(arr, "kEy", V(2))), 1);
    EXPECT_EQ(keys_of(arr), std::vector<std::string>{"kEy"});
    freearr(arr, nullptr);

    // strcmp given explicitly, as callers do, through a cast.
    Arr *plain = newarr(reinterpret_cast<int (*)(void *, void *)>(&std::strcmp));
    setarr(plain, "b", V(1));
    setarr(plain, "B", V(2));
    EXPECT_EQ(keys_of(plain), (std::vector<std::string>{"B", "b"}));
    freearr(plain, nullptr);
}

TEST(Arr, SetOnATreeThatKeepsPresentPairsDropsTheCopy) {
    Arr *arr = arr_of({"a"});
    arr->replace = 0;
    EXPECT_EQ(setarr(arr, "a", V(5)), nullptr);
    EXPECT_EQ(I(getarr(arr, "a")), 1);
    EXPECT_EQ(cntarr(arr), 1);
    freearr(arr, nullptr);  // the unused copy must not leak
}

struct GrepCase {
    const char *re;
    std::vector<std::string> want;
};

TEST(Arr, GrepArrMatchesWholeKeys) {
    Arr *arr = arr_of({"abc", "abcd", "xabc", "axc", "b"});
    const GrepCase cases[] = {
        {"a.c", {"abc", "axc"}},
        {"abc", {"abc"}},
        {"a.*", {"abc", "abcd", "axc"}},
        {"b|x.*", {"b", "xabc"}},
        {"^abc$", {"abc"}},
        {"q", {}},
        {"(", {}},      // does not compile
        {"a{2,1}", {}},  // does not compile
    };
    for (const GrepCase &c : cases) {
        Tbl *found = greparr(c.re, arr);
        EXPECT_EQ(strings_of(found), c.want) << c.re;
        freetbl(found, nullptr);
    }
    freearr(arr, nullptr);
}

TEST(Arr, GrepArrLendsTheStoredKeys) {
    Arr *arr = arr_of({"abc"});
    Tbl *found = greparr("a.c", arr);
    Tbl *keys = keysarr(arr);
    EXPECT_EQ(gettbl(found, 0), gettbl(keys, 0));
    freetbl(found, nullptr);
    freetbl(keys, nullptr);
    freearr(arr, nullptr);
}

TEST(Arr, ArrGrepMatchesKeysAsPatterns) {
    Arr *arr = arr_of({"a.c", "abc", "b+", "(", "ab", ".*", "[z"});
    struct Case {
        const char *string;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"abc", {".*", "a.c", "abc"}},
        {"bbb", {".*", "b+"}},
        {"xabc", {".*"}},
        {"", {".*"}},
    };
    for (const Case &c : cases) {
        Tbl *found = arrgrep(arr, c.string);
        EXPECT_EQ(strings_of(found), c.want) << c.string;
        freetbl(found, nullptr);
    }
    freearr(arr, nullptr);
}

TEST(Arr, ManyKeysAgainstAModel) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, 3000);
    Arr *arr = newarr(nullptr);
    std::map<std::string, intptr_t> model;
    for (int step = 0; step < 30000; step++) {
        std::string key = "key" + std::to_string(pick(rng));
        if (step % 3 == 2) {
            auto it = model.find(key);
            intptr_t want = it == model.end() ? 0 : it->second;
            ASSERT_EQ(I(delarr(arr, key.c_str())), want) << key;
            if (it != model.end()) model.erase(it);
        } else {
            auto it = model.find(key);
            intptr_t want = it == model.end() ? 0 : it->second;
            ASSERT_EQ(I(setarr(arr, key.c_str(), V(step + 1))), want) << key;
            model[key] = step + 1;
        }
    }
    EXPECT_EQ(cntarr(arr), static_cast<int>(model.size()));
    std::vector<std::string> want;
    for (const auto &[k, v] : model) {
        want.push_back(k);
        ASSERT_EQ(I(getarr(arr, k.c_str())), v);
    }
    EXPECT_EQ(keys_of(arr), want);
    freearr(arr, nullptr);
}


TEST(Arr, KeyCopyThatCannotBeMadeIsFatal) {
    if (testsupport::under_address_sanitizer())
        GTEST_SKIP() << "exhausts memory on purpose";
    auto result = testsupport::run_in_child([] {
        std::string huge(std::size_t(48) << 20, 'k');
        Arr *arr = newarr(nullptr);
        std::printf("start\n");
        std::fflush(stdout);
        testsupport::leave_little_memory(std::size_t(16) << 20);
        setarr(arr, huge.c_str(), nullptr);
        std::printf("returned\n");
    });
    if (testsupport::memory_not_limited(result))
        GTEST_SKIP() << "the address-space limit does not hold here";
    EXPECT_TRUE(result.exited);
    EXPECT_NE(result.exit_code, 0);
    EXPECT_EQ(result.out.find("returned"), std::string::npos);
    EXPECT_NE(result.err.find("Can't malloc"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("for key"), std::string::npos) << result.err;
}

TEST(Arr, FillingMemoryWithPairsEndsTheProcess) {
    if (testsupport::under_address_sanitizer())
        GTEST_SKIP() << "exhausts memory on purpose";
    auto result = testsupport::run_in_child([] {
        Arr *arr = newarr(nullptr);
        std::printf("start\n");
        std::fflush(stdout);
        testsupport::leave_little_memory();
        char key[32];
        for (long i = 0;; i++) {
            std::snprintf(key, sizeof key, "key-%ld", i);
            setarr(arr, key, nullptr);
        }
    });
    if (testsupport::memory_not_limited(result))
        GTEST_SKIP() << "the address-space limit does not hold here";
    // No pair is dropped silently: the process ends on the first failure.
    EXPECT_TRUE(result.exited);
    EXPECT_NE(result.exit_code, 0);
    EXPECT_NE(result.err.find("Can't malloc"), std::string::npos) << result.err;
}

}  // namespace
