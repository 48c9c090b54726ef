#include "sort.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "child.h"

namespace {


// Counts comparisons and records the position (record index from `base`)
// of each first argument.
struct Probe {
    const char *base = nullptr;
    int size = 0;
    long calls = 0;
    std::vector<long> first_args;
};

int cmp_int(void *a, void *b, void *pvt) {
    auto *probe = static_cast<Probe *>(pvt);
    if (probe) {
        probe->calls++;
        if (probe->base)
            probe->first_args.push_back((static_cast<char *>(a) - probe->base) / probe->size);
    }
    int x = *static_cast<int *>(a), y = *static_cast<int *>(b);
    return x < y ? -1 : x > y;
}

// A record larger than a word: sorted by key, tagged by its input order.
struct Wide {
    int32_t key;
    int32_t tag;
    char pad[20];
};

int cmp_wide(void *a, void *b, void *) {
    int32_t x = static_cast<Wide *>(a)->key, y = static_cast<Wide *>(b)->key;
    return x < y ? -1 : x > y;
}

using SortFn = void (*)(void *, int, int, int (*)(void *, void *, void *), void *);

struct NamedSort {
    const char *name;
    SortFn fn;
};

const NamedSort kSorts[] = {{"quicksort", quicksort}, {"shellsort", shellsort}, {"isort", isort}};

std::vector<std::vector<int>> input_shapes() {
    std::mt19937 rng(12345);
    std::vector<std::vector<int>> shapes;
    for (int n : {0, 1, 2, 3, 4, 5, 6, 7, 10, 17, 40, 100, 1000}) {
        std::vector<int> random(n), sorted(n), reversed(n), few(n), same(n, 7), organ(n);
        for (int i = 0; i < n; i++) {
            random[i] = static_cast<int>(rng() % 1000) - 500;
            sorted[i] = i;
            reversed[i] = n - i;
            few[i] = static_cast<int>(rng() % 3);
            organ[i] = i < n / 2 ? i : n - i;
        }
        for (auto *v : {&random, &sorted, &reversed, &few, &same, &organ}) shapes.push_back(*v);
    }
    return shapes;
}

TEST(Sort, EverySortOrdersEveryShape) {
    for (const NamedSort &s : kSorts) {
        for (const std::vector<int> &shape : input_shapes()) {
            std::vector<int> v = shape, want = shape;
            std::sort(want.begin(), want.end());
            s.fn(v.data(), static_cast<int>(v.size()), sizeof(int), cmp_int, nullptr);
            EXPECT_EQ(v, want) << s.name << " of " << shape.size();
        }
    }
}

TEST(Sort, WideRecordsMoveWhole) {
    std::mt19937 rng(7);
    for (const NamedSort &s : kSorts) {
        std::vector<Wide> v(300);
        for (int i = 0; i < 300; i++) {
            v[i].key = static_cast<int32_t>(rng() % 50);
            v[i].tag = i;
            std::memset(v[i].pad, i & 0x7f, sizeof v[i].pad);
        }
        s.fn(v.data(), 300, sizeof(Wide), cmp_wide, nullptr);
        for (int i = 0; i < 300; i++) {
            if (i > 0) {
                EXPECT_LE(v[i - 1].key, v[i].key) << s.name;
            }
            for (char c : v[i].pad) EXPECT_EQ(c, static_cast<char>(v[i].tag & 0x7f)) << s.name;
        }
    }
}

TEST(Sort, InsertionSortIsStable) {
    std::mt19937 rng(3);
    std::vector<Wide> v(200);
    for (int i = 0; i < 200; i++) {
        v[i].key = static_cast<int32_t>(rng() % 5);
        v[i].tag = i;
    }
    isort(v.data(), 200, sizeof(Wide), cmp_wide, nullptr);
    for (int i = 1; i < 200; i++) {
        ASSERT_LE(v[i - 1].key, v[i].key);
        if (v[i - 1].key == v[i].key) {
            EXPECT_LT(v[i - 1].tag, v[i].tag);
        }
    }
}

TEST(Sort, QuicksortOfThreeKeepsEqualRecordsInOrder) {
    Wide v[3] = {{2, 0, {}}, {1, 1, {}}, {2, 2, {}}};
    quicksort(v, 3, sizeof(Wide), cmp_wide, nullptr);
    EXPECT_EQ(v[0].tag, 1);
    EXPECT_EQ(v[1].tag, 0);
    EXPECT_EQ(v[2].tag, 2);
}

TEST(Sort, QuicksortComparisonCounts) {
    struct Case {
        std::vector<int> in;
        long calls;
    };
    const Case cases[] = {
        {{}, 0}, {{5}, 0}, {{2, 1}, 1}, {{1, 2}, 1},
    };
    for (const Case &c : cases) {
        std::vector<int> v = c.in;
        Probe probe;
        quicksort(v.data(), static_cast<int>(v.size()), sizeof(int), cmp_int, &probe);
        EXPECT_EQ(probe.calls, c.calls) << c.in.size();
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    }
}

TEST(Sort, QuicksortOfSortedInputIsOnePartitionAndOneInsertionSort) {
    std::vector<int> v(100);
    for (int i = 0; i < 100; i++) v[i] = i;
    Probe probe;
    quicksort(v.data(), 100, sizeof(int), cmp_int, &probe);
    // median of three (2), partition (50 from below, 49 from above),
    // insertion sort of the whole part (99).
    EXPECT_EQ(probe.calls, 2 + 50 + 49 + 99);
    for (int i = 0; i < 100; i++) EXPECT_EQ(v[i], i);
}

TEST(Sort, QuicksortRecursionStaysShallowOnAdversarialInput) {
    // Two keys only, interleaved: the parts are unbalanced, but recursion
    // goes into the smaller part only and the stack stays shallow.
    std::vector<int> v(20000);
    for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<int>(i % 2);
    quicksort(v.data(), static_cast<int>(v.size()), sizeof(int), cmp_int, nullptr);
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
}

TEST(Sort, ShellsortGaps) {
    struct Case {
        int n;
        std::vector<int> gaps;
    };
    const Case cases[] = {{10, {4, 1}}, {4, {1}}, {40, {13, 4, 1}}, {41, {40, 13, 4, 1}}, {2, {1}}};
    for (const Case &c : cases) {
        std::vector<int> v(c.n);
        for (int i = 0; i < c.n; i++) v[i] = i;
        Probe probe;
        probe.base = reinterpret_cast<char *>(v.data());
        probe.size = sizeof(int);
        shellsort(v.data(), c.n, sizeof(int), cmp_int, &probe);
        // On sorted input each index i >= h makes exactly one comparison,
        // of record i - h with the held copy of record i.
        std::vector<long> want;
        for (int h : c.gaps)
            for (int i = h; i < c.n; i++) want.push_back(i - h);
        EXPECT_EQ(probe.first_args, want) << c.n;
    }
}

int second_is_outside(void *a, void *b, void *pvt) {
    auto *range = static_cast<std::pair<char *, char *> *>(pvt);
    char *pb = static_cast<char *>(b);
    EXPECT_TRUE(pb < range->first || pb >= range->second);
    int x = *static_cast<int *>(a), y = *static_cast<int *>(b);
    return x < y ? -1 : x > y;
}

TEST(Sort, ShellsortAndIsortCompareAgainstAHeldCopy) {
    for (SortFn fn : {shellsort, isort}) {
        std::vector<int> v = {5, 4, 3, 2, 1, 0};
        std::pair<char *, char *> range(reinterpret_cast<char *>(v.data()),
                                        reinterpret_cast<char *>(v.data() + v.size()));
        fn(v.data(), 6, sizeof(int), second_is_outside, &range);
        EXPECT_EQ(v, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    }
}

TEST(Sort, PrivateArgumentIsPassedThrough) {
    for (const NamedSort &s : kSorts) {
        std::vector<int> v = {3, 1, 2, 9, 0, 4, 4, 8};
        Probe probe;
        s.fn(v.data(), 8, sizeof(int), cmp_int, &probe);
        EXPECT_GT(probe.calls, 0) << s.name;
    }
}

TEST(Sort, ShellsortOutOfMemoryNamesTheBuffer) {
    if (testsupport::under_address_sanitizer()) GTEST_SKIP() << "exhausts memory";
    auto r = testsupport::run_in_child([] {
        testsupport::leave_little_memory();
        static char two[2] = {1, 0};
        shellsort(two, 2, 1 << 30, cmp_int, nullptr);
    });
    if (testsupport::memory_not_limited(r)) GTEST_SKIP() << "address space limit not honoured here";
    EXPECT_FALSE(r.exited && r.exit_code == 0);
    EXPECT_NE(r.err.find("bytes for s"), std::string::npos) << r.err;
}

// ---- ssearch -------------------------------------------------------------

int cmp_key(void *key, void *rec, void *pvt) { return cmp_int(key, rec, pvt); }

TEST(Ssearch, Table) {
    struct Case {
        std::vector<int> records;
        int key;
        int unique;
        int result, ns, ne;
    };
    const Case cases[] = {
        {{}, 3, 0, 0, 0, -1},
        {{}, 3, 1, 0, 0, -1},
        {{1, 3, 3, 3, 5}, 3, 0, 3, 1, 3},
        {{1, 3, 3, 3, 5}, 3, 1, 1, 2, 2},
        {{1, 3, 3, 3, 5}, 4, 0, 0, 4, 3},
        {{1, 3, 3, 3, 5}, 9, 0, 0, 5, 4},
        {{1, 3, 3, 3, 5}, 0, 0, 0, 0, -1},
        {{1, 3, 3, 3, 5}, 1, 0, 1, 0, 0},
        {{1, 3, 3, 3, 5}, 5, 0, 1, 4, 4},
        {{7}, 7, 0, 1, 0, 0},
        {{7, 7, 7, 7, 7, 7, 7, 7}, 7, 0, 8, 0, 7},
        {{1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3}, 2, 0, 11, 1, 11},
        {{0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9}, 9, 0, 3, 10, 12},
        {{0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0, 0, 3, 0, 2},
    };
    for (const Case &c : cases) {
        int ns = -99, ne = -99;
        std::vector<int> v = c.records;
        int got = ssearch(const_cast<int *>(&c.key), sizeof(int), v.data(),
                          static_cast<int>(v.size()), c.unique, cmp_key, nullptr, &ns, &ne);
        EXPECT_EQ(got, c.result) << "key " << c.key << " in " << v.size();
        EXPECT_EQ(ns, c.ns) << "key " << c.key << " in " << v.size();
        EXPECT_EQ(ne, c.ne) << "key " << c.key << " in " << v.size();
    }
}

TEST(Ssearch, AgreesWithEqualRangeOnRandomArrays) {
    std::mt19937 rng(99);
    for (int round = 0; round < 200; round++) {
        int n = static_cast<int>(rng() % 60);
        std::vector<int> v(n);
        for (int &x : v) x = static_cast<int>(rng() % 12);
        std::sort(v.begin(), v.end());
        for (int key = -1; key <= 12; key++) {
            auto [lo, hi] = std::equal_range(v.begin(), v.end(), key);
            int ns, ne;
            int got = ssearch(&key, sizeof(int), v.data(), n, 0, cmp_key, nullptr, &ns, &ne);
            ASSERT_EQ(got, hi - lo);
            ASSERT_EQ(ns, lo - v.begin());
            ASSERT_EQ(ne, (hi - v.begin()) - 1);
        }
    }
}

TEST(Ssearch, PassesKeyFirstAndPrivateArgument) {
    std::vector<int> v = {1, 2, 3};
    int key = 2;
    Probe probe;
    int ns, ne;
    EXPECT_EQ(ssearch(&key, sizeof(int), v.data(), 3, 1, cmp_key, &probe, &ns, &ne), 1);
    EXPECT_EQ(probe.calls, 1);
}

}  // namespace
