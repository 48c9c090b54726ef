#include "tbl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"

namespace {


void *ip(intptr_t i) { return reinterpret_cast<void *>(i); }
intptr_t iv(void *p) { return reinterpret_cast<intptr_t>(p); }

struct Rec {
    int32_t a;
    int32_t b;
    int32_t c;
};

Tbl *pushed_ints(int n) {
    Tbl *t = newtbl(0);
    for (int i = 0; i < n; i++) pushtbl(t, ip(i + 1));
    return t;
}

std::vector<intptr_t> entries(Tbl *t) {
    std::vector<intptr_t> v;
    for (int i = 0; i < maxtbl(t); i++) v.push_back(iv(gettbl(t, i)));
    return v;
}

std::vector<int32_t> direct_ints(Tbl *t) {
    std::vector<int32_t> v;
    for (int i = 0; i < maxtbl(t); i++) v.push_back(*static_cast<int32_t *>(gettbl(t, i)));
    return v;
}

// ---- creation ------------------------------------------------------------

TEST(TblCreate, NewtblIsEmptyPointerListWithoutStorage) {
    Tbl *t = newtbl(0);
    EXPECT_EQ(t->left, 0);
    EXPECT_EQ(t->active_right, 0);
    EXPECT_EQ(t->right, 0);
    EXPECT_EQ(t->entry_size, static_cast<int32_t>(sizeof(void *)));
    EXPECT_EQ(t->direct, 0);
    EXPECT_EQ(t->left_grow, 10);
    EXPECT_EQ(t->right_grow, 10);
    EXPECT_EQ(t->null, nullptr);
    EXPECT_EQ(t->deleted, nullptr);
    EXPECT_EQ(t->base.cp, nullptr);
    EXPECT_EQ(t->mapped, nullptr);
    EXPECT_EQ(t->image, nullptr);
    EXPECT_EQ(maxtbl(t), 0);
    freetbl(t, nullptr);

    t = newtbl(25);
    EXPECT_EQ(t->right_grow, 25);
    EXPECT_EQ(t->left_grow, 10);
    freetbl(t, nullptr);
}

TEST(TblCreate, InittblCopiesNullAndDefaultsSteps) {
    Rec null_rec{-1, -2, -3};
    Tbl *t = inittbl(-4, 0, 1, &null_rec, sizeof(Rec));
    EXPECT_EQ(t->left_grow, 10);
    EXPECT_EQ(t->right_grow, 10);
    EXPECT_EQ(t->direct, 1);
    EXPECT_EQ(t->entry_size, static_cast<int32_t>(sizeof(Rec)));
    ASSERT_NE(t->null, nullptr);
    EXPECT_NE(t->null, reinterpret_cast<char *>(&null_rec));
    EXPECT_EQ(std::memcmp(t->null, &null_rec, sizeof(Rec)), 0);
    null_rec.a = 99;  // the list keeps its own copy
    EXPECT_EQ(reinterpret_cast<Rec *>(t->null)->a, -1);
    freetbl(t, nullptr);
}

TEST(TblCreate, PointerListAlwaysHasPointerSizedSlots) {
    Tbl *t = inittbl(0, 0, 0, nullptr, 3);
    EXPECT_EQ(t->entry_size, static_cast<int32_t>(sizeof(void *)));
    for (int i = 0; i < 50; i++) pushtbl(t, ip(1000 + i));
    for (int i = 0; i < 50; i++) EXPECT_EQ(iv(gettbl(t, i)), 1000 + i);
    freetbl(t, nullptr);
}

// ---- growth --------------------------------------------------------------

TEST(TblGrowth, PushesGrowByDoublingSteps) {
    Tbl *t = newtbl(0);
    struct Step {
        int pushes;
        int right;
        int right_grow;
    };
    const Step steps[] = {{1, 10, 20}, {10, 10, 20}, {11, 30, 40}, {30, 30, 40},
                          {31, 70, 80}, {70, 70, 80}, {71, 150, 160}};
    int done = 0;
    for (const Step &s : steps) {
        while (done < s.pushes) {
            int index = pushtbl(t, ip(done + 1));
            EXPECT_EQ(index, done);
            done++;
        }
        EXPECT_EQ(t->right, s.right) << "after " << s.pushes << " pushes";
        EXPECT_EQ(t->right_grow, s.right_grow) << "after " << s.pushes << " pushes";
        EXPECT_EQ(t->left, 0);
        EXPECT_EQ(maxtbl(t), s.pushes);
    }
    for (int i = 0; i < done; i++) EXPECT_EQ(iv(gettbl(t, i)), i + 1);
    freetbl(t, nullptr);
}

TEST(TblGrowth, QueueReusesSlotsFreedAtTheLeft) {
    Tbl *t = pushed_ints(30);
    for (int i = 0; i < 30; i++) EXPECT_EQ(iv(shifttbl(t)), i + 1);
    EXPECT_EQ(maxtbl(t), 0);
    EXPECT_EQ(t->right, 0);
    EXPECT_EQ(t->left, -30);
    char *block = t->base.cp - 30 * sizeof(void *);

    EXPECT_EQ(pushtbl(t, ip(77)), 0);
    EXPECT_EQ(t->base.cp, block);  // recentred in place, nothing allocated
    EXPECT_EQ(t->right, 30);
    EXPECT_EQ(t->left, 0);
    EXPECT_EQ(t->right_grow, 40);
    EXPECT_EQ(iv(gettbl(t, 0)), 77);
    // The slots behind the new entry hold the null value again.
    EXPECT_EQ(t->base.pp[1], nullptr);
    freetbl(t, nullptr);
}

TEST(TblGrowth, SettblBeyondRightGrowsRatherThanRecentresWhenLeftRoomIsShort) {
    Tbl *t = inittbl(10, 5, 0, nullptr, sizeof(void *));
    EXPECT_EQ(unshifttbl(t, ip(1)), 0);
    EXPECT_EQ(t->left, -9);
    EXPECT_EQ(maxtbl(t), 1);
    EXPECT_EQ(t->right, 1);
    EXPECT_EQ(t->right_grow, 5);

    EXPECT_EQ(settbl(t, 13, ip(14)), 13);
    EXPECT_EQ(t->right, 14);
    EXPECT_EQ(t->right_grow, 26);
    EXPECT_EQ(t->left, -9);
    EXPECT_EQ(maxtbl(t), 14);
    EXPECT_EQ(iv(gettbl(t, 0)), 1);
    EXPECT_EQ(iv(gettbl(t, 13)), 14);
    for (int i = 1; i < 13; i++) EXPECT_EQ(gettbl(t, i), nullptr);
    freetbl(t, nullptr);
}

TEST(TblGrowth, SettblRecentresWhenLeftRoomSuffices) {
    Tbl *t = inittbl(10, 5, 0, nullptr, sizeof(void *));
    unshifttbl(t, ip(1));
    char *block = t->base.cp - 9 * sizeof(void *);
    EXPECT_EQ(settbl(t, 9, ip(10)), 9);
    EXPECT_EQ(t->base.cp, block);
    EXPECT_EQ(t->right, 10);
    EXPECT_EQ(t->left, 0);
    EXPECT_EQ(t->right_grow, 9);
    EXPECT_EQ(maxtbl(t), 10);
    EXPECT_EQ(iv(gettbl(t, 0)), 1);
    EXPECT_EQ(iv(gettbl(t, 9)), 10);
    freetbl(t, nullptr);
}

TEST(TblGrowth, UnshiftOnNewListAllocatesAtTheLeft) {
    Tbl *t = newtbl(0);
    EXPECT_EQ(unshifttbl(t, ip(5)), 0);
    EXPECT_EQ(t->left, -9);
    EXPECT_EQ(maxtbl(t), 1);
    EXPECT_EQ(t->right, 1);
    EXPECT_EQ(t->left_grow, 20);
    EXPECT_EQ(iv(gettbl(t, 0)), 5);
    freetbl(t, nullptr);
}

TEST(TblGrowth, UnshiftsGrowAtTheLeftAndKeepOrder) {
    Tbl *t = pushed_ints(3);  // right 10, 7 spare slots > 10 / 2: recentre first
    EXPECT_EQ(unshifttbl(t, ip(0)), 0);
    EXPECT_EQ(t->left, -6);
    EXPECT_EQ(t->right, 4);
    EXPECT_EQ(t->left_grow, 10);
    for (int i = -1; i > -40; i--) unshifttbl(t, ip(i));
    EXPECT_EQ(maxtbl(t), 43);
    for (int i = 0; i < 43; i++) EXPECT_EQ(iv(gettbl(t, i)), i - 39);
    freetbl(t, nullptr);
}

TEST(TblGrowth, LeftGrowthReallocatesWhenRightHasNoSpare) {
    Tbl *t = pushed_ints(10);  // right 10, no spare
    unshifttbl(t, ip(0));
    EXPECT_EQ(t->left, -9);
    EXPECT_EQ(t->right, 11);
    EXPECT_EQ(t->left_grow, 20);
    for (int i = 0; i < 11; i++) EXPECT_EQ(iv(gettbl(t, i)), i);
    freetbl(t, nullptr);
}

TEST(TblGrowth, RightGrowtblGivesAtLeastTheSlotsAsked) {
    Tbl *t = newtbl(4);
    right_growtbl(t, 7);
    EXPECT_EQ(t->right, 7);
    EXPECT_EQ(t->right_grow, 14);
    right_growtbl(t, 1);
    EXPECT_EQ(t->right, 21);
    freetbl(t, nullptr);
}

TEST(TblGrowth, DirectSlotsAddedAtTheRightHoldTheNullValue) {
    Rec null_rec{7, 8, 9};
    Tbl *t = inittbl(0, 0, 1, &null_rec, sizeof(Rec));
    Rec r{1, 2, 3};
    settbl(t, 4, &r);
    EXPECT_EQ(t->right, 10);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(std::memcmp(gettbl(t, i), &null_rec, sizeof(Rec)), 0) << i;
    EXPECT_EQ(std::memcmp(gettbl(t, 4), &r, sizeof(Rec)), 0);
    // spare slots too
    EXPECT_EQ(std::memcmp(t->base.cp + 9 * sizeof(Rec), &null_rec, sizeof(Rec)), 0);
    freetbl(t, nullptr);
}

// ---- reading -------------------------------------------------------------

TEST(TblRead, OutsideIndexReadsAsTheNullField) {
    Tbl *p = pushed_ints(3);
    int32_t nv = -1;
    Tbl *d = inittbl(0, 0, 1, &nv, sizeof nv);
    int32_t x = 5;
    pushtbl(d, &x);
    for (int index : {-1, 3, 100, INT32_MIN}) {
        EXPECT_EQ(gettbl(p, index), nullptr) << index;
        EXPECT_EQ(addrtbl(p, index), nullptr) << index;
    }
    for (int index : {-1, 1}) {
        EXPECT_EQ(gettbl(d, index), d->null) << index;
        EXPECT_EQ(addrtbl(d, index), nullptr) << index;
    }
    EXPECT_EQ(addrtbl(p, 1), p->base.pp + 1);
    EXPECT_EQ(addrtbl(d, 0), gettbl(d, 0));
    EXPECT_EQ(*static_cast<int32_t *>(gettbl(d, 0)), 5);
    freetbl(p, nullptr);
    freetbl(d, nullptr);
}

// ---- writing -------------------------------------------------------------

TEST(TblWrite, SettblFarBeyondTheEndOfANewList) {
    Tbl *t = newtbl(0);
    EXPECT_EQ(settbl(t, 100, ip(42)), 100);
    EXPECT_EQ(t->right, 101);
    EXPECT_EQ(t->right_grow, 202);
    EXPECT_EQ(maxtbl(t), 101);
    for (int i = 0; i < 100; i++) EXPECT_EQ(gettbl(t, i), nullptr);
    EXPECT_EQ(iv(gettbl(t, 100)), 42);
    EXPECT_EQ(settbl(t, -1, ip(43)), 101);
    EXPECT_EQ(iv(gettbl(t, 101)), 43);
    // Writing inside the range replaces and keeps the count.
    EXPECT_EQ(settbl(t, 5, ip(6)), 5);
    EXPECT_EQ(maxtbl(t), 102);
    EXPECT_EQ(iv(gettbl(t, 5)), 6);
    freetbl(t, nullptr);
}

TEST(TblWrite, DirectSettblWithNullValueStoresTheNullValue) {
    Rec null_rec{1, 1, 1};
    Tbl *with = inittbl(0, 0, 1, &null_rec, sizeof(Rec));
    Tbl *without = inittbl(0, 0, 1, nullptr, sizeof(Rec));
    Rec r{4, 5, 6};
    for (Tbl *t : {with, without}) {
        pushtbl(t, &r);
        settbl(t, 0, nullptr);
    }
    EXPECT_EQ(std::memcmp(gettbl(with, 0), &null_rec, sizeof(Rec)), 0);
    Rec zero{0, 0, 0};
    EXPECT_EQ(std::memcmp(gettbl(without, 0), &zero, sizeof(Rec)), 0);
    freetbl(with, nullptr);
    freetbl(without, nullptr);
}

TEST(TblWrite, DirectListCopiesValues) {
    Tbl *t = inittbl(0, 0, 1, nullptr, sizeof(Rec));
    Rec r{1, 2, 3};
    EXPECT_EQ(pushtbl(t, &r), 0);
    r.a = 10;
    EXPECT_EQ(unshifttbl(t, &r), 0);
    EXPECT_EQ(static_cast<Rec *>(gettbl(t, 0))->a, 10);
    EXPECT_EQ(static_cast<Rec *>(gettbl(t, 1))->a, 1);
    EXPECT_EQ(static_cast<Rec *>(gettbl(t, 1))->c, 3);
    freetbl(t, nullptr);
}

TEST(TblWrite, Instbl) {
    struct Case {
        int index;
        int result;
        std::vector<intptr_t> after;
    };
    const Case cases[] = {
        {-5, 0, {9, 1, 2, 3}},
        {0, 0, {9, 1, 2, 3}},
        {1, 1, {1, 9, 2, 3}},
        {2, 2, {1, 2, 9, 3}},
        {3, 3, {1, 2, 3, 9}},
        {6, 3, {1, 2, 3, 9}},
    };
    for (const Case &c : cases) {
        Tbl *t = pushed_ints(3);
        EXPECT_EQ(instbl(t, c.index, ip(9)), c.result) << c.index;
        EXPECT_EQ(entries(t), c.after) << c.index;
        freetbl(t, nullptr);
    }
}

TEST(TblWrite, InstblInTheMiddleGrowsAFullList) {
    Tbl *t = pushed_ints(10);
    EXPECT_EQ(instbl(t, 4, ip(0)), 4);
    EXPECT_EQ(t->right, 30);
    EXPECT_EQ(entries(t), (std::vector<intptr_t>{1, 2, 3, 4, 0, 5, 6, 7, 8, 9, 10}));
    freetbl(t, nullptr);
}

TEST(TblWrite, InstblIndexZeroDoesNotUseLeftRoom) {
    Tbl *t = pushed_ints(3);
    shifttbl(t);
    EXPECT_EQ(t->left, -1);
    EXPECT_EQ(instbl(t, 0, ip(9)), 0);
    EXPECT_EQ(t->left, -1);
    EXPECT_EQ(entries(t), (std::vector<intptr_t>{9, 2, 3}));
    freetbl(t, nullptr);
}

// ---- removing ------------------------------------------------------------

TEST(TblRemove, PopAndShiftOnEmptyListChangeNothing) {
    int32_t nv = 3;
    Tbl *d = inittbl(0, 0, 1, &nv, sizeof nv);
    Tbl *p = newtbl(0);
    for (Tbl *t : {d, p}) {
        EXPECT_EQ(poptbl(t), t->null);
        EXPECT_EQ(shifttbl(t), t->null);
        EXPECT_EQ(t->left, 0);
        EXPECT_EQ(t->right, 0);
        EXPECT_EQ(maxtbl(t), 0);
        EXPECT_EQ(t->base.cp, nullptr);
    }
    freetbl(d, nullptr);
    freetbl(p, nullptr);
}

TEST(TblRemove, PopAndShiftReturnEntries) {
    Tbl *t = pushed_ints(5);
    EXPECT_EQ(iv(poptbl(t)), 5);
    EXPECT_EQ(iv(shifttbl(t)), 1);
    EXPECT_EQ(t->left, -1);
    EXPECT_EQ(t->right, 9);
    EXPECT_EQ(entries(t), (std::vector<intptr_t>{2, 3, 4}));
    freetbl(t, nullptr);

    Tbl *d = inittbl(0, 0, 1, nullptr, sizeof(int32_t));
    for (int32_t i = 1; i <= 3; i++) pushtbl(d, &i);
    int32_t *popped = static_cast<int32_t *>(poptbl(d));
    EXPECT_EQ(*popped, 3);
    EXPECT_EQ(popped, reinterpret_cast<int32_t *>(d->base.cp) + 2);
    int32_t *shifted = static_cast<int32_t *>(shifttbl(d));
    EXPECT_EQ(*shifted, 1);
    EXPECT_EQ(shifted, reinterpret_cast<int32_t *>(d->base.cp) - 1);
    EXPECT_EQ(direct_ints(d), (std::vector<int32_t>{2}));
    freetbl(d, nullptr);
}

TEST(TblRemove, DeltblMovesDownAndResetsTheVacatedSlot) {
    Tbl *t = pushed_ints(4);
    EXPECT_EQ(iv(deltbl(t, 1)), 2);
    EXPECT_EQ(entries(t), (std::vector<intptr_t>{1, 3, 4}));
    EXPECT_EQ(t->base.pp[3], nullptr);
    EXPECT_EQ(iv(deltbl(t, 2)), 4);  // the last: nothing moves
    EXPECT_EQ(entries(t), (std::vector<intptr_t>{1, 3}));
    EXPECT_EQ(t->base.pp[2], nullptr);
    EXPECT_EQ(deltbl(t, 2), nullptr);
    EXPECT_EQ(deltbl(t, -1), nullptr);
    EXPECT_EQ(maxtbl(t), 2);
    freetbl(t, nullptr);
}

TEST(TblRemove, DirectDeltblUsesOneDeletedBuffer) {
    int32_t nv = -7;
    Tbl *t = inittbl(0, 0, 1, &nv, sizeof(int32_t));
    for (int32_t i = 10; i < 14; i++) pushtbl(t, &i);
    int32_t *first = static_cast<int32_t *>(deltbl(t, 0));
    EXPECT_EQ(*first, 10);
    EXPECT_EQ(reinterpret_cast<char *>(first), t->deleted);
    int32_t *second = static_cast<int32_t *>(deltbl(t, 2));  // the last one, 13
    EXPECT_EQ(second, first);
    EXPECT_EQ(*second, 13);
    EXPECT_EQ(direct_ints(t), (std::vector<int32_t>{11, 12}));
    EXPECT_EQ(reinterpret_cast<int32_t *>(t->base.cp)[2], -7);
    EXPECT_EQ(reinterpret_cast<int32_t *>(t->base.cp)[3], -7);
    EXPECT_EQ(deltbl(t, 5), t->null);
    freetbl(t, nullptr);
}

std::vector<intptr_t> freed;
void record_free(void *p) { freed.push_back(iv(p)); }

TEST(TblRemove, TrunctblPassesNonNullEntriesAndResetsSlots) {
    struct Case {
        int last;
        int count_after;
        std::vector<intptr_t> freed;
    };
    const Case cases[] = {
        {5, 5, {}}, {9, 5, {}}, {3, 3, {4, 5}}, {0, 0, {1, 2, 4, 5}}, {-1, 0, {1, 2, 4, 5}},
    };
    for (const Case &c : cases) {
        Tbl *t = newtbl(0);
        for (intptr_t v : {1, 2, 0, 4, 5}) pushtbl(t, ip(v));
        freed.clear();
        trunctbl(t, c.last, record_free);
        EXPECT_EQ(maxtbl(t), c.count_after) << c.last;
        EXPECT_EQ(freed, c.freed) << c.last;
        EXPECT_EQ(t->right, 10);
        freetbl(t, nullptr);
    }
}

TEST(TblRemove, FreedPointerEntriesDoNotComeBackThroughSettbl) {
    Tbl *t = pushed_ints(3);
    freed.clear();
    trunctbl(t, 1, record_free);
    EXPECT_EQ(freed, (std::vector<intptr_t>{2, 3}));
    settbl(t, 3, ip(9));
    EXPECT_EQ(entries(t), (std::vector<intptr_t>{1, 0, 0, 9}));
    freed.clear();
    clrtbl(t, record_free);
    EXPECT_EQ(freed, (std::vector<intptr_t>{1, 9}));
    settbl(t, 3, ip(8));
    EXPECT_EQ(entries(t), (std::vector<intptr_t>{0, 0, 0, 8}));
    freetbl(t, nullptr);
}

TEST(TblRemove, TrunctblWithoutFreeFunctionLeavesSlots) {
    Tbl *t = pushed_ints(3);
    trunctbl(t, 1, nullptr);
    EXPECT_EQ(maxtbl(t), 1);
    EXPECT_EQ(iv(t->base.pp[2]), 3);
    freetbl(t, nullptr);
}

std::vector<int32_t> freed_ints;
void record_int_free(void *p) { freed_ints.push_back(*static_cast<int32_t *>(p)); }

TEST(TblRemove, DirectClrtblResetsFreedSlotsToNull) {
    int32_t nv = -1;
    Tbl *t = inittbl(0, 0, 1, &nv, sizeof nv);
    for (int32_t v : {5, -1, 6}) pushtbl(t, &v);
    freed_ints.clear();
    clrtbl(t, record_int_free);
    EXPECT_EQ(freed_ints, (std::vector<int32_t>{5, 6}));
    EXPECT_EQ(maxtbl(t), 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(reinterpret_cast<int32_t *>(t->base.cp)[i], -1);
    freetbl(t, nullptr);
}

TEST(TblRemove, FreetblPassesLiveNonNullEntriesInOrder) {
    Tbl *t = newtbl(0);
    for (intptr_t v : {3, 0, 1, 2}) pushtbl(t, ip(v));
    pushtbl(t, ip(7));
    poptbl(t);  // not live any more
    freed.clear();
    freetbl(t, record_free);
    EXPECT_EQ(freed, (std::vector<intptr_t>{3, 1, 2}));
}

TEST(TblRemove, FreetblReleasesEverything) {
    // Runs clean under the leak checker.
    int32_t nv = 0;
    Tbl *t = inittbl(0, 0, 1, &nv, sizeof nv);
    for (int32_t i = 1; i < 40; i++) unshifttbl(t, &i);
    deltbl(t, 3);
    freetbl(t, nullptr);
    Tbl *p = newtbl(0);
    for (int i = 0; i < 100; i++) pushtbl(p, std::malloc(8));
    for (int i = 0; i < 20; i++) std::free(shifttbl(p));
    freetbl(p, std::free);
}

// ---- whole-list operations -----------------------------------------------

class TblCat : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::elog_reset_register(); }
    void TearDown() override { testsupport::elog_reset_register(); }
};

TEST_F(TblCat, AppendsCopiesAndMaxesSteps) {
    Tbl *a = pushed_ints(3);
    Tbl *b = inittbl(50, 60, 0, nullptr, sizeof(void *));
    for (int i = 0; i < 15; i++) pushtbl(b, ip(100 + i));
    EXPECT_EQ(cattbl(a, b), 0);
    EXPECT_EQ(maxtbl(a), 18);
    EXPECT_EQ(maxtbl(b), 15);
    EXPECT_EQ(a->left_grow, 50);
    // 7 spare slots < 15: grows at the right by the larger step, b's 120
    EXPECT_EQ(b->right_grow, 120);
    EXPECT_EQ(a->right, 130);
    EXPECT_EQ(a->right_grow, 240);
    for (int i = 0; i < 18; i++) EXPECT_EQ(iv(gettbl(a, i)), i < 3 ? i + 1 : 97 + i);
    EXPECT_EQ(testsupport::elog_register_count(), 0);
    freetbl(a, nullptr);
    freetbl(b, nullptr);
}

TEST_F(TblCat, ListOntoItself) {
    Tbl *a = pushed_ints(10);
    EXPECT_EQ(cattbl(a, a), 0);
    EXPECT_EQ(maxtbl(a), 20);
    for (int i = 0; i < 20; i++) EXPECT_EQ(iv(gettbl(a, i)), i % 10 + 1);
    freetbl(a, nullptr);
}

TEST_F(TblCat, EmptySourceChangesNothing) {
    Tbl *a = pushed_ints(3);
    Tbl *b = inittbl(50, 60, 0, nullptr, sizeof(void *));
    EXPECT_EQ(cattbl(a, b), 0);
    EXPECT_EQ(maxtbl(a), 3);
    EXPECT_EQ(a->left_grow, 10);
    EXPECT_EQ(a->right_grow, 20);
    EXPECT_EQ(testsupport::elog_register_count(), 0);
    freetbl(a, nullptr);
    freetbl(b, nullptr);
}

TEST_F(TblCat, RefusesListsThatDoNotAgree) {
    int32_t n1 = 1, n2 = 2, n1b = 1;
    int64_t big = 0;
    struct Case {
        Tbl *dest;
        Tbl *src;
        int result;
        const char *message;  // null: accepted
    };
    Tbl *ptr = newtbl(0);
    Tbl *d8 = inittbl(0, 0, 1, nullptr, 8);
    Tbl *d4 = inittbl(0, 0, 1, nullptr, 4);
    Tbl *d4null1 = inittbl(0, 0, 1, &n1, 4);
    Tbl *d4null1b = inittbl(0, 0, 1, &n1b, 4);
    Tbl *d4null2 = inittbl(0, 0, 1, &n2, 4);
    Tbl *d8null = inittbl(0, 0, 1, &big, 8);
    pushtbl(d4, &n1);
    pushtbl(d4null1b, &n2);
    const Case cases[] = {
        {d8, d4, 1, "tbl lists have different entry sizes: 8 4\n"},
        {d4, d8, 1, "tbl lists have different entry sizes: 4 8\n"},
        {d4null1, d4null2, 1, "tbl lists have different null values.\n"},
        {d4, d4null1, 1, "tbl lists have different null values.\n"},
        {d8null, d8, 1, "tbl lists have different null values.\n"},
        {d4null1, d4null1b, 0, nullptr},
    };
    if (sizeof(void *) == 8) {
        pushtbl(ptr, ip(1));
        EXPECT_EQ(cattbl(d8, ptr), 1);
        EXPECT_NE(testsupport::elog_register_text().find(
                      "tbl lists are not both direct or indirect.\n"),
                  std::string::npos);
        EXPECT_EQ(maxtbl(d8), 0);
        testsupport::elog_reset_register();
    }
    for (const Case &c : cases) {
        int before = maxtbl(c.dest);
        int32_t steps = c.dest->right_grow;
        EXPECT_EQ(cattbl(c.dest, c.src), c.result);
        std::string text = testsupport::elog_register_text();
        if (c.message) {
            EXPECT_NE(text.find(c.message), std::string::npos) << text;
            EXPECT_EQ(testsupport::elog_register_count(), 1);
            EXPECT_EQ(maxtbl(c.dest), before);
            EXPECT_EQ(c.dest->right_grow, steps);
        } else {
            EXPECT_EQ(testsupport::elog_register_count(), 0) << text;
            EXPECT_EQ(maxtbl(c.dest), before + maxtbl(c.src));
        }
        testsupport::elog_reset_register();
    }
    for (Tbl *t : {ptr, d8, d4, d4null1, d4null1b, d4null2, d8null}) freetbl(t, nullptr);
}

TEST_F(TblCat, DirectAndPointerListsOfOneSizeDisagree) {
    Tbl *ptr = newtbl(0);
    Tbl *d = inittbl(0, 0, 1, nullptr, sizeof(void *));
    EXPECT_EQ(cattbl(ptr, d), 1);
    EXPECT_NE(testsupport::elog_register_text().find(
                  "tbl lists are not both direct or indirect.\n"),
              std::string::npos);
    freetbl(ptr, nullptr);
    freetbl(d, nullptr);
}

int sum_entries(void *entry, void *pvt) {
    ++*static_cast<int *>(pvt);
    return static_cast<int>(iv(entry));
}

TEST(TblWhole, ApplytblSkipsNullEntries) {
    Tbl *t = newtbl(0);
    for (intptr_t v : {1, 0, 2, 0, 3}) pushtbl(t, ip(v));
    int calls = 0;
    EXPECT_EQ(applytbl(t, sum_entries, &calls), 6);
    EXPECT_EQ(calls, 3);
    freetbl(t, nullptr);
}

int add_direct(void *entry, void *pvt) {
    ++*static_cast<int *>(pvt);
    return *static_cast<int32_t *>(entry);
}

TEST(TblWhole, ApplytblPassesEveryDirectEntry) {
    Tbl *t = inittbl(0, 0, 1, nullptr, sizeof(int32_t));
    for (int32_t v : {4, 0, 5}) pushtbl(t, &v);
    int calls = 0;
    EXPECT_EQ(applytbl(t, add_direct, &calls), 9);
    EXPECT_EQ(calls, 3);
    freetbl(t, nullptr);
}

int dup_calls;
void *dup_direct(void *slot) {
    dup_calls++;
    *static_cast<int32_t *>(slot) *= 10;
    return nullptr;
}

TEST(TblWhole, DuptblOfDirectListSkipsZeroEntries) {
    Tbl *t = inittbl(3, 4, 1, nullptr, sizeof(int32_t));
    for (int32_t v : {1, 0, 2}) pushtbl(t, &v);
    dup_calls = 0;
    Tbl *d = duptbl(t, dup_direct);
    EXPECT_EQ(dup_calls, 2);
    EXPECT_EQ(direct_ints(d), (std::vector<int32_t>{10, 0, 20}));
    EXPECT_EQ(direct_ints(t), (std::vector<int32_t>{1, 0, 2}));
    EXPECT_EQ(d->direct, 1);
    EXPECT_EQ(d->left_grow, 3);
    EXPECT_EQ(d->right, 8);  // the old list's current step, 8
    EXPECT_EQ(d->right_grow, 16);
    freetbl(t, nullptr);
    freetbl(d, nullptr);
}

void *dup_string(void *s) { return strdup(static_cast<char *>(s)); }

TEST(TblWhole, DuptblOfPointerListReplacesEntries) {
    Tbl *t = newtbl(0);
    char a[] = "alpha", b[] = "beta";
    pushtbl(t, a);
    pushtbl(t, nullptr);
    pushtbl(t, b);
    Tbl *d = duptbl(t, dup_string);
    ASSERT_EQ(maxtbl(d), 3);
    EXPECT_NE(gettbl(d, 0), static_cast<void *>(a));
    EXPECT_STREQ(static_cast<char *>(gettbl(d, 0)), "alpha");
    EXPECT_EQ(gettbl(d, 1), nullptr);
    EXPECT_STREQ(static_cast<char *>(gettbl(d, 2)), "beta");
    Tbl *shared = duptbl(t, nullptr);
    EXPECT_EQ(gettbl(shared, 0), static_cast<void *>(a));
    freetbl(t, nullptr);
    freetbl(d, std::free);
    freetbl(shared, nullptr);
}

TEST(TblWhole, DuptblKeepsTheNullValue) {
    Rec nv{1, 2, 3};
    Tbl *t = inittbl(0, 0, 1, &nv, sizeof(Rec));
    Tbl *d = duptbl(t, nullptr);
    ASSERT_NE(d->null, nullptr);
    EXPECT_NE(d->null, t->null);
    EXPECT_EQ(std::memcmp(d->null, &nv, sizeof nv), 0);
    freetbl(t, nullptr);
    freetbl(d, nullptr);
}

TEST(TblWhole, Cmptbl) {
    Tbl *a = pushed_ints(3);
    Tbl *b = pushed_ints(3);
    Tbl *c = pushed_ints(4);
    Tbl *e1 = newtbl(0);
    Tbl *e2 = newtbl(0);
    Tbl *d = inittbl(0, 0, 1, nullptr, 4);
    EXPECT_EQ(cmptbl(a, b), 0);
    EXPECT_EQ(cmptbl(a, c), 1);
    EXPECT_EQ(cmptbl(c, a), 1);
    EXPECT_EQ(cmptbl(e1, e2), 0);
    settbl(b, 2, ip(0x7f));
    EXPECT_LT(cmptbl(a, b), 0);
    EXPECT_GT(cmptbl(b, a), 0);
    EXPECT_EQ(cmptbl(e1, d), sizeof(void *) == 4 ? 0 : 1);
    for (Tbl *t : {a, b, c, e1, e2, d}) freetbl(t, nullptr);
}

int cmp_int32(void *a, void *b, void *pvt) {
    ++*static_cast<int *>(pvt);
    int32_t x = *static_cast<int32_t *>(a), y = *static_cast<int32_t *>(b);
    return x < y ? -1 : x > y;
}

int cmp_strings(void *a, void *b, void *pvt) {
    return std::strcmp(*static_cast<char **>(a), *static_cast<char **>(b));
}

int cmp_key_string(void *key, void *slot, void *pvt) {
    return std::strcmp(static_cast<char *>(key), *static_cast<char **>(slot));
}

TEST(TblWhole, SortAndSearchADirectList) {
    Tbl *t = inittbl(0, 0, 1, nullptr, sizeof(int32_t));
    for (int32_t v : {5, 3, 9, 3, 1, 7, 3}) pushtbl(t, &v);
    int calls = 0;
    sorttbl(t, cmp_int32, &calls);
    EXPECT_GT(calls, 0);
    EXPECT_EQ(direct_ints(t), (std::vector<int32_t>{1, 3, 3, 3, 5, 7, 9}));
    int ns = -9, ne = -9;
    int32_t key = 3;
    EXPECT_EQ(searchtbl(&key, t, cmp_int32, &calls, &ns, &ne), 3);
    EXPECT_EQ(ns, 1);
    EXPECT_EQ(ne, 3);
    key = 6;
    EXPECT_EQ(searchtbl(&key, t, cmp_int32, &calls, &ns, &ne), 0);
    EXPECT_EQ(ns, 5);
    EXPECT_EQ(ne, 4);
    freetbl(t, nullptr);
}

TEST(TblWhole, SortAndSearchAPointerList) {
    Tbl *t = strtbl(const_cast<char *>("pear"), const_cast<char *>("apple"),
                    const_cast<char *>("fig"), nullptr);
    sorttbl(t, cmp_strings, nullptr);
    EXPECT_STREQ(static_cast<char *>(gettbl(t, 0)), "apple");
    EXPECT_STREQ(static_cast<char *>(gettbl(t, 1)), "fig");
    EXPECT_STREQ(static_cast<char *>(gettbl(t, 2)), "pear");
    int ns, ne;
    EXPECT_EQ(searchtbl(const_cast<char *>("fig"), t, cmp_key_string, nullptr, &ns, &ne), 1);
    EXPECT_EQ(ns, 1);
    EXPECT_EQ(ne, 1);
    freetbl(t, nullptr);
}

TEST(TblWhole, SortAndSearchAnEmptyList) {
    Tbl *t = newtbl(0);
    sorttbl(t, cmp_strings, nullptr);
    int ns = 7, ne = 7;
    EXPECT_EQ(searchtbl(const_cast<char *>("x"), t, cmp_key_string, nullptr, &ns, &ne), 0);
    EXPECT_EQ(ns, 0);
    EXPECT_EQ(ne, -1);
    freetbl(t, nullptr);
}

// ---- lists of strings ----------------------------------------------------

char *S(const char *s) { return const_cast<char *>(s); }

TEST(TblStrings, Strtbl) {
    Tbl *t = strtbl(S("a"), S("b"), S("c"), nullptr);
    ASSERT_EQ(maxtbl(t), 3);
    EXPECT_STREQ(static_cast<char *>(gettbl(t, 2)), "c");
    freetbl(t, nullptr);
    t = strtbl(nullptr);
    EXPECT_EQ(maxtbl(t), 1);
    EXPECT_EQ(gettbl(t, 0), nullptr);
    freetbl(t, nullptr);
}

TEST(TblStrings, Jointbl) {
    struct Case {
        std::vector<const char *> items;
        const char *sep;
        const char *want;
    };
    const Case cases[] = {
        {{}, ", ", ""},
        {{"one"}, ", ", "one"},
        {{"a", "bb", "ccc"}, ", ", "a, bb, ccc"},
        {{"a", "", "c"}, "/", "a//c"},
        {{"x", "y"}, "", "xy"},
    };
    for (const Case &c : cases) {
        Tbl *t = newtbl(0);
        for (const char *s : c.items) pushtbl(t, S(s));
        char *joined = jointbl(t, S(c.sep));
        EXPECT_STREQ(joined, c.want);
        std::free(joined);
        freetbl(t, nullptr);
    }
}

TEST(TblStrings, GreptblMatchesWholeEntries) {
    Tbl *t = strtbl(S("ab"), S("abc"), S("xab"), S("aab"), nullptr);
    struct Case {
        const char *re;
        std::vector<intptr_t> want;
    };
    const Case cases[] = {
        {"ab", {0}},
        {"a+b", {0, 3}},
        {"x?ab", {0, 2}},
        {"ab|abc", {0, 1}},
        {"(ab", {}},
        {".*", {0, 1, 2, 3}},
    };
    for (const Case &c : cases) {
        Tbl *r = greptbl(S(c.re), t);
        EXPECT_EQ(entries(r), c.want) << c.re;
        freetbl(r, nullptr);
    }
    freetbl(t, nullptr);
}

TEST(TblStrings, TblgrepMatchesTheStringAgainstEachEntry) {
    Tbl *t = strtbl(S("ab"), S("(bad"), S("a.*"), S("b"), S("[a-c]+"), nullptr);
    Tbl *r = tblgrep(t, S("abc"));
    EXPECT_EQ(entries(r), (std::vector<intptr_t>{2, 4}));
    freetbl(r, nullptr);
    r = tblgrep(t, S("ab"));
    EXPECT_EQ(entries(r), (std::vector<intptr_t>{0, 2, 4}));
    freetbl(r, nullptr);
    freetbl(t, nullptr);
}

std::vector<std::string> printed;
int collect(char *s) {
    printed.push_back(s);
    return 0;
}

TEST(TblStrings, DumptblCallsPrtPerItem) {
    Tbl *t = strtbl(S("x"), S("yy"), nullptr);
    printed.clear();
    dumptbl(S("title"), t, collect);
    EXPECT_EQ(printed, (std::vector<std::string>{"title", "\n", "    0: ", "x", "\n", "    1: ",
                                                "yy", "\n"}));
    freetbl(t, nullptr);
    t = newtbl(0);
    printed.clear();
    dumptbl(S("empty"), t, collect);
    EXPECT_EQ(printed,
              (std::vector<std::string>{"empty", "\n", "  ** no entries in list **\n"}));
    freetbl(t, nullptr);
}

TEST(TblStrings, DumptblWidensLargeIndices) {
    Tbl *t = newtbl(0);
    for (int i = 0; i < 1001; i++) pushtbl(t, S("e"));
    printed.clear();
    dumptbl(S("m"), t, collect);
    ASSERT_EQ(printed.size(), 2u + 3u * 1001u);
    EXPECT_EQ(printed[2 + 3 * 999], "  999: ");
    EXPECT_EQ(printed[2 + 3 * 1000], "  1000: ");
    freetbl(t, nullptr);
}

TEST(TblStrings, DumptblDefaultsToPuts) {
    auto r = testsupport::run_in_child([] {
        Tbl *t = strtbl(S("a"), nullptr);
        dumptbl(S("list"), t, nullptr);
        Tbl *e = newtbl(0);
        dumptbl(S("none"), e, nullptr);
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.out,
              "list\n\n\n    0: \na\n\n\n"
              "none\n\n\n  ** no entries in list **\n\n");
}

// ---- record image and file-backed lists ----------------------------------

TEST(TblImage, CountsAreWrittenThroughToTheImage) {
    int32_t image[14] = {0};
    for (int i = 0; i < 14; i++) image[i] = 1000 + i;
    Tbl *t = newtbl(0);
    t->image = image;
    pushtbl(t, ip(1));
    EXPECT_EQ(image[0], 0);
    EXPECT_EQ(image[1], 1);
    EXPECT_EQ(image[2], 10);
    EXPECT_EQ(image[9], 10);
    EXPECT_EQ(image[10], 20);
    unshifttbl(t, ip(0));  // recentres: 9 spare slots at the right
    EXPECT_EQ(image[0], -8);
    EXPECT_EQ(image[1], 2);
    EXPECT_EQ(image[2], 2);
    shifttbl(t);
    EXPECT_EQ(image[0], -9);
    EXPECT_EQ(image[1], 1);
    EXPECT_EQ(image[2], 1);
    poptbl(t);
    EXPECT_EQ(image[1], 0);
    settbl(t, 4, ip(5));
    EXPECT_EQ(image[1], 5);
    deltbl(t, 0);
    EXPECT_EQ(image[1], 4);
    instbl(t, 1, ip(3));
    EXPECT_EQ(image[1], 5);
    trunctbl(t, 2, nullptr);
    EXPECT_EQ(image[1], 2);
    Tbl *other = pushed_ints(3);
    cattbl(t, other);
    EXPECT_EQ(image[1], 5);
    clrtbl(t, nullptr);
    EXPECT_EQ(image[1], 0);
    // Words other than the counts and steps are the list file's own.
    for (int i : {3, 4, 5, 6, 7, 8, 11, 12, 13}) EXPECT_EQ(image[i], 1000 + i) << i;
    t->image = nullptr;
    freetbl(t, nullptr);
    freetbl(other, nullptr);
}

// A list file laid out as "#tbl", idlen 0, the 14-word record, optionally
// the null value (8 bytes) and the slots of a direct list of int32 entries
// 1 to n, mapped by hand.
constexpr int kHeader = 8 + 56;

Tbl *map_list_file(const std::string &path, int n, int prot, int left_grow, int right_grow,
                   const int32_t *null_value = nullptr) {
    int slots_at = kHeader + (null_value ? 8 : 0);
    std::string bytes(static_cast<size_t>(slots_at + n * 4), '\0');
    std::memcpy(bytes.data(), "#tbl", 4);
    int32_t record[14] = {0, n, n, 4, 1, 0, 0, 0, prot, left_grow, right_grow,
                          null_value ? 1 : 0, 0, 0};
    std::memcpy(bytes.data() + 8, record, sizeof record);
    if (null_value) std::memcpy(bytes.data() + kHeader, null_value, 4);
    for (int32_t i = 0; i < n; i++) {
        int32_t v = i + 1;
        std::memcpy(bytes.data() + slots_at + 4 * i, &v, 4);
    }
    testsupport::write_file(path, bytes);
    int fd = open(path.c_str(), prot & 2 ? O_RDWR : O_RDONLY);
    EXPECT_GE(fd, 0);
    int mprot = PROT_READ | (prot & 2 ? PROT_WRITE : 0);
    void *map = mmap(nullptr, bytes.size(), mprot, MAP_SHARED, fd, 0);
    EXPECT_NE(map, MAP_FAILED);
    Tbl *t = static_cast<Tbl *>(std::calloc(1, sizeof(Tbl)));
    t->left = 0;
    t->active_right = n;
    t->right = n;
    t->entry_size = 4;
    t->direct = 1;
    t->mapped = static_cast<char *>(map);
    t->mapped_size = static_cast<int32_t>(bytes.size());
    t->fd = fd;
    t->prot = prot;
    t->left_grow = left_grow;
    t->right_grow = right_grow;
    if (null_value) t->null = t->mapped + kHeader;
    t->base.cp = t->mapped + slots_at;
    if (prot & 2) t->image = reinterpret_cast<int32_t *>(t->mapped + 8);
    return t;
}

off_t file_size(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : -1;
}

TEST(TblFile, GrowthAtBothEndsExtendsTheFileAndKeepsEntries) {
    testsupport::ScratchDir dir;
    std::string path = dir.file("list");
    Tbl *t = map_list_file(path, 4, 3, 4, 3);
    int fd = t->fd;

    int32_t v = 5;
    EXPECT_EQ(pushtbl(t, &v), 4);  // no room: the file grows by 3 slots
    EXPECT_EQ(t->right, 7);
    EXPECT_EQ(t->right_grow, 6);
    EXPECT_EQ(t->mapped_size, kHeader + 7 * 4);
    EXPECT_EQ(file_size(fd), kHeader + 7 * 4);
    EXPECT_EQ(t->base.cp, t->mapped + kHeader);
    EXPECT_EQ(reinterpret_cast<char *>(t->image), t->mapped + 8);
    EXPECT_EQ(direct_ints(t), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(reinterpret_cast<int32_t *>(t->base.cp)[6], 0);  // spare slot zeroed

    v = 0;
    EXPECT_EQ(unshifttbl(t, &v), 0);  // 2 spare slots, not > 4 / 2: grows by 4
    EXPECT_EQ(t->left, -3);
    EXPECT_EQ(t->right, 8);
    EXPECT_EQ(t->left_grow, 8);
    EXPECT_EQ(file_size(fd), kHeader + 11 * 4);
    EXPECT_EQ(t->base.cp, t->mapped + kHeader + 3 * 4);
    EXPECT_EQ(direct_ints(t), (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));

    for (int32_t i = -1; i > -10; i--) unshifttbl(t, &i);
    for (int32_t i = 6; i < 40; i++) pushtbl(t, &i);
    std::vector<int32_t> want;
    for (int32_t i = -9; i < 40; i++) want.push_back(i);
    EXPECT_EQ(direct_ints(t), want);
    int32_t left = t->left, right = t->right, lg = t->left_grow, rg = t->right_grow;
    int32_t size = t->mapped_size;
    EXPECT_EQ(file_size(fd), size);
    EXPECT_EQ(size, kHeader + (right - left) * 4);
    freetbl(t, nullptr);

    // The file holds the counts and the entries.
    std::string bytes = testsupport::read_file(path);
    ASSERT_EQ(static_cast<int32_t>(bytes.size()), size);
    int32_t record[14];
    std::memcpy(record, bytes.data() + 8, sizeof record);
    EXPECT_EQ(record[0], left);
    EXPECT_EQ(record[1], static_cast<int32_t>(want.size()));
    EXPECT_EQ(record[2], right);
    EXPECT_EQ(record[9], lg);
    EXPECT_EQ(record[10], rg);
    for (size_t i = 0; i < want.size(); i++) {
        int32_t e;
        std::memcpy(&e, bytes.data() + kHeader + (i - left) * 4, 4);
        EXPECT_EQ(e, want[i]) << i;
    }
}

TEST(TblFile, TheStoredNullValueMovesWithTheMapping) {
    testsupport::ScratchDir dir;
    int32_t nv = -5;
    Tbl *t = map_list_file(dir.file("n"), 2, 3, 10, 4, &nv);
    int32_t v = 3;
    settbl(t, 3, &v);  // grows the file by 4 slots
    EXPECT_EQ(t->right, 6);
    EXPECT_EQ(t->mapped_size, kHeader + 8 + 6 * 4);
    EXPECT_EQ(t->null, t->mapped + kHeader);
    EXPECT_EQ(t->base.cp, t->mapped + kHeader + 8);
    EXPECT_EQ(direct_ints(t), (std::vector<int32_t>{1, 2, -5, 3}));
    EXPECT_EQ(reinterpret_cast<int32_t *>(t->base.cp)[5], -5);  // spare slot
    EXPECT_EQ(gettbl(t, 4), t->null);
    freetbl(t, nullptr);
}

TEST(TblFile, GrowingAReadOnlyListStopsTheProcess) {
    testsupport::ScratchDir dir;
    std::string path = dir.file("ro");
    auto r = testsupport::run_in_child([&] {
        Tbl *t = map_list_file(path, 2, 1, 10, 10);
        shifttbl(t);  // a read-only list may move its bounds in memory
        int32_t v = 3;
        pushtbl(t, &v);  // 1 free slot on the left is not enough: must grow
        std::printf("survived\n");
    });
    EXPECT_FALSE(r.exited && r.exit_code == 0);
    EXPECT_EQ(r.out.find("survived"), std::string::npos);
    EXPECT_NE(r.err.find("Can't extend read-only list.\n"), std::string::npos) << r.err;
}

TEST(TblFile, FreetblClosesAndUnmaps) {
    testsupport::ScratchDir dir;
    Tbl *t = map_list_file(dir.file("f"), 3, 3, 10, 10);
    int fd = t->fd;
    freetbl(t, nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

// ---- out of memory -------------------------------------------------------

TEST(TblMemory, ImpossibleSizesAreOutOfMemory) {
    struct Case {
        const char *name;
        void (*body)();
        const char *what;
    };
    const Case cases[] = {
        {"index beyond the 32-bit range",
         [] { settbl(newtbl(0), INT32_MAX, ip(1)); }, "bytes for tbl->base.cp"},
        {"growth beyond the 32-bit range",
         [] {
             Tbl *t = inittbl(0, 0, 1, nullptr, 1);
             char c = 1;
             pushtbl(t, &c);
             settbl(t, INT32_MAX, &c);
         },
         "bytes for prev"},
        {"negative entry size",
         [] {
             Tbl *t = inittbl(0, 0, 1, nullptr, -4);
             unshifttbl(t, nullptr);
         },
         "bytes for tbl->base.cp"},
    };
    for (const Case &c : cases) {
        auto r = testsupport::run_in_child(c.body);
        EXPECT_FALSE(r.exited && r.exit_code == 0) << c.name;
        EXPECT_NE(r.err.find("Can't malloc "), std::string::npos) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.what), std::string::npos) << c.name << ": " << r.err;
    }
}

TEST(TblMemory, FailedAllocationNamesWhatWasAllocated) {
    if (testsupport::under_address_sanitizer()) GTEST_SKIP() << "exhausts memory";
    struct Case {
        void (*body)();
        const char *what;
    };
    const Case cases[] = {
        {[] { inittbl(0, 0, 1, std::malloc(1), 1 << 30); }, "bytes for null_value"},
        {[] { pushtbl(newtbl(1 << 28), nullptr); }, "bytes for tbl->base.cp"},
        {[] {
             Tbl *t = inittbl(0, 1 << 10, 1, nullptr, 64);
             char rec[64] = {0};
             pushtbl(t, rec);
             t->right_grow = 1 << 24;
             settbl(t, t->right, rec);
         },
         "bytes for prev"},
        {[] {
             Tbl *t = inittbl(1 << 24, 0, 1, nullptr, 64);
             char rec[64] = {0};
             pushtbl(t, rec);
             unshifttbl(t, rec);  // no room at the left: grows by 1 << 24 slots
         },
         "bytes for tbl->base.cp"},
        {[] {
             Tbl *t = inittbl(0, 0, 1, nullptr, 1 << 30);
             t->right = t->active_right = 1;
             t->base.cp = static_cast<char *>(std::malloc(1));
             deltbl(t, 0);
         },
         "bytes for tbl->deleted"},
    };
    for (const Case &c : cases) {
        auto r = testsupport::run_in_child([&] {
            testsupport::leave_little_memory();
            c.body();
        });
        if (testsupport::memory_not_limited(r)) GTEST_SKIP() << "address space limit not honoured here";
        EXPECT_FALSE(r.exited && r.exit_code == 0) << c.what;
        EXPECT_NE(r.err.find(c.what), std::string::npos) << c.what << ": " << r.err;
    }
}

}  // namespace
