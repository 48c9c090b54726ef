#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>

#include "basalt.h"

namespace {

TEST(IdMap, SetReturnsThePreviousNewId) {
    Stbl *map = newidmap();
    EXPECT_EQ(idset(map, 5, 7), -1);
    EXPECT_EQ(idset(map, 5, 9), 7);
    EXPECT_EQ(idget(map, 5), 9);
    EXPECT_EQ(idget(map, 6), -1);
    EXPECT_EQ(maxstbl(map), 1);
    freeidmap(map);
}

TEST(IdMap, EmptyMapHasNothing) {
    Stbl *map = newidmap();
    EXPECT_EQ(idget(map, 0), -1);
    EXPECT_EQ(maxstbl(map), 0);
    freeidmap(map);
}

TEST(IdMap, PairsAreOrderedBySignedOldId) {
    Stbl *map = newidmap();
    const int32_t olds[] = {3, INT32_MIN, 0, INT32_MAX, -5, -1};
    for (int32_t old : olds) idset(map, old, old / 2);
    const int32_t want[] = {INT32_MIN, -5, -1, 0, 3, INT32_MAX};
    ASSERT_EQ(maxstbl(map), 6);
    for (int i = 0; i < 6; i++) {
        auto *pair = static_cast<Intid *>(getstbl(map, i));
        EXPECT_EQ(pair->old, want[i]) << i;
        EXPECT_EQ(pair->new_id, want[i] / 2) << i;
    }
    // Extremes do not overflow the comparison.
    EXPECT_EQ(idget(map, INT32_MIN), INT32_MIN / 2);
    EXPECT_EQ(idget(map, INT32_MAX), INT32_MAX / 2);
    freeidmap(map);
}

TEST(IdMap, ReplacedPairIsANewRecord) {
    Stbl *map = newidmap();
    idset(map, 1, 10);
    auto *first = static_cast<Intid *>(getstbl(map, 0));
    EXPECT_EQ(first->new_id, 10);
    EXPECT_EQ(idset(map, 1, 11), 10);
    auto *second = static_cast<Intid *>(getstbl(map, 0));
    EXPECT_EQ(second->old, 1);
    EXPECT_EQ(second->new_id, 11);
    freeidmap(map);  // the earlier pair was freed by idset: no double free
}

TEST(IdMap, ManyIdsAgainstAModel) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int32_t> pick(-500, 500);
    Stbl *map = newidmap();
    std::map<int32_t, int32_t> model;
    for (int step = 0; step < 10000; step++) {
        int32_t old = pick(rng);
        int32_t fresh = step;
        auto it = model.find(old);
        ASSERT_EQ(idset(map, old, fresh), it == model.end() ? -1 : it->second);
        model[old] = fresh;
    }
    for (int32_t old = -501; old <= 501; old++) {
        auto it = model.find(old);
        ASSERT_EQ(idget(map, old), it == model.end() ? -1 : it->second);
    }
    EXPECT_EQ(maxstbl(map), static_cast<int>(model.size()));
    freeidmap(map);
}

}  // namespace
