// Vstring, the growable text buffer, and strconcat.
#include "strtools.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "child.h"

namespace {

Vstring *record(void *handle) { return static_cast<Vstring *>(handle); }

// Keeps what a child that dies on purpose still holds reachable.
void *g_held = nullptr;

// A record claiming length characters in a small buffer, for the checks
// that come before anything is copied.
void *fake_buffer(int length) {
    Vstring *vstk = static_cast<Vstring *>(std::malloc(sizeof(Vstring)));
    vstk->size = 16;
    vstk->length = length;
    vstk->s = static_cast<char *>(std::calloc(16, 1));
    g_held = vstk;
    return vstk;
}

TEST(Vstring, FirstPushSizesTheBuffer) {
    struct Case {
        std::size_t first;  // length of the first string
        int size;           // size of the new buffer
    };
    const Case cases[] = {
        {0, 1024}, {100, 1024}, {204, 1024}, {205, 1025}, {300, 1500},
        {1000, 5000},
    };
    for (const Case &c : cases) {
        void *v = nullptr;
        const std::string s(c.first, 'x');
        EXPECT_EQ(pushstr(&v, s.c_str()), static_cast<int>(c.first));
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(record(v)->size, c.size) << c.first;
        EXPECT_EQ(record(v)->length, static_cast<int>(c.first));
        EXPECT_EQ(std::string(record(v)->s), s);
        std::free(popstr(&v, 1));
        EXPECT_EQ(v, nullptr);
    }
}

TEST(Vstring, GrowsToExactlyTheRoomNeeded) {
    void *v = nullptr;
    const std::string chunk(1000, 'a');
    EXPECT_EQ(pushstr(&v, chunk.c_str()), 1000);
    EXPECT_EQ(record(v)->size, 5000);
    for (int i = 2; i <= 5; ++i) pushstr(&v, chunk.c_str());
    EXPECT_EQ(record(v)->length, 5000);
    EXPECT_EQ(record(v)->size, 5001);  // 4 x 1000 + 1000 + 1: one realloc
    EXPECT_EQ(pushstr(&v, "bc"), 5002);
    EXPECT_EQ(record(v)->size, 5003);  // no geometric growth
    EXPECT_EQ(pushstrc(&v, 'd'), 5003);
    EXPECT_EQ(record(v)->size, 5004);  // length + 2 for a character
    EXPECT_EQ(pushstrn(&v, "efgh", 2), 5005);
    EXPECT_EQ(record(v)->size, 5007);  // length + l + 2 for pushstrn
    char *text = popstr(&v, 1);
    EXPECT_EQ(std::strlen(text), 5005u);
    EXPECT_STREQ(text + 5000, "bcdef");
    std::free(text);
}

TEST(Vstring, PushstrcStartsAt1024) {
    void *v = nullptr;
    EXPECT_EQ(pushstrc(&v, 'x'), 1);
    EXPECT_EQ(record(v)->size, 1024);
    EXPECT_EQ(pushstrc(&v, 'y'), 2);
    EXPECT_STREQ(record(v)->s, "xy");
    std::free(popstr(&v, 1));
}

TEST(Vstring, PushstrnTable) {
    struct Case {
        const char *s;
        int l;
        int length;
        const char *text;
    };
    const Case cases[] = {
        {"abcdef", 3, 5, "..abc"},
        {"abc", 3, 5, "..abc"},
        {"abc", 10, 5, "..abc"},  // l past the end appends s whole
        {"abc", 0, 2, ".."},
        {"abc", -4, 2, ".."},
        {"", 5, 2, ".."},
    };
    for (const Case &c : cases) {
        void *v = nullptr;
        pushstr(&v, "..");
        EXPECT_EQ(pushstrn(&v, c.s, c.l), c.length) << c.s << ' ' << c.l;
        EXPECT_STREQ(record(v)->s, c.text);
        EXPECT_EQ(record(v)->length, c.length);
        std::free(popstr(&v, 1));
    }
}

TEST(Vstring, PushstrnReadsNoFurtherThanL) {
    // s is not NUL-terminated: exactly l bytes are readable.
    char *raw = static_cast<char *>(std::malloc(4));
    std::memcpy(raw, "wxyz", 4);
    void *v = nullptr;
    EXPECT_EQ(pushstrn(&v, raw, 4), 4);
    EXPECT_EQ(record(v)->size, 1024);
    EXPECT_STREQ(record(v)->s, "wxyz");
    EXPECT_EQ(pushstrn(&v, raw, 2), 6);
    EXPECT_STREQ(record(v)->s, "wxyzwx");
    std::free(raw);
    std::free(popstr(&v, 1));

    // The first string's length for the initial size is counted within l.
    void *w = nullptr;
    const std::string big(600, 'q');
    EXPECT_EQ(pushstrn(&w, big.c_str(), 300), 300);
    EXPECT_EQ(record(w)->size, 1500);
    std::free(popstr(&w, 1));
}

TEST(Vstring, PushstrnOnNewHandleWithZeroLength) {
    void *v = nullptr;
    EXPECT_EQ(pushstrn(&v, "abc", 0), 0);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(record(v)->s, "");
    std::free(popstr(&v, 1));
}

TEST(Vstring, PopstrLendsOrHandsOver) {
    void *none = nullptr;
    char *empty = popstr(&none, 0);
    EXPECT_STREQ(empty, "");
    EXPECT_EQ(none, nullptr);
    std::free(empty);
    empty = popstr(&none, 1);
    EXPECT_STREQ(empty, "");
    EXPECT_EQ(none, nullptr);
    std::free(empty);

    void *v = nullptr;
    pushstr(&v, "lent");
    char *a = popstr(&v, 0);
    char *b = popstr(&v, 0);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a, "lent");
    EXPECT_NE(v, nullptr);
    pushstr(&v, " more");
    char *c = popstr(&v, 1);
    EXPECT_EQ(v, nullptr);
    EXPECT_STREQ(c, "lent more");
    std::free(c);
}

TEST(Vstring, LengthBeyondIntIsOutOfMemory) {
    // A push past the largest length an int holds.
    auto result = testsupport::run_in_child([] {
        void *v = fake_buffer(INT_MAX - 4);
        pushstr(&v, "0123456789");
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("Can't malloc"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("vstk->s"), std::string::npos) << result.err;

    // Room for length + l + 2 must fit in an int too.
    auto r2 = testsupport::run_in_child([] {
        void *v = fake_buffer(INT_MAX - 3);
        pushstrn(&v, "ab", 2);
    });
    EXPECT_TRUE(r2.exited);
    EXPECT_EQ(r2.exit_code, 1);
    EXPECT_NE(r2.err.find("vstk->s"), std::string::npos) << r2.err;
}

TEST(Vstring, AppendsItsOwnText) {
    // The lent text may be pushed onto its own buffer, also when the push
    // reallocates.
    void *v = nullptr;
    pushstrc(&v, 'k');  // a buffer of 1024 bytes
    pushstr(&v, std::string(600, 'k').c_str());
    EXPECT_EQ(pushstr(&v, popstr(&v, 0)), 1202);
    EXPECT_EQ(record(v)->size, 1203);  // reallocated
    EXPECT_EQ(pushstrn(&v, popstr(&v, 0), 1202), 2404);
    EXPECT_EQ(record(v)->size, 2406);
    EXPECT_EQ(pushstr(&v, popstr(&v, 0) + 2403), 2405);
    EXPECT_EQ(pushstrn(&v, popstr(&v, 0) + 2000, 5), 2410);
    char *text = popstr(&v, 1);
    EXPECT_EQ(std::string(text), std::string(2410, 'k'));
    std::free(text);
}

TEST(Strconcat, JoinsUpToTheFirstNull) {
    char *s = strconcat("abc", "", "def", "/", "g", nullptr);
    EXPECT_STREQ(s, "abcdef/g");
    std::free(s);

    char *one = strconcat("alone", nullptr);
    EXPECT_STREQ(one, "alone");
    std::free(one);

    char *cut = strconcat("a", "b", nullptr, "never");
    EXPECT_STREQ(cut, "ab");
    std::free(cut);

    const std::string big(3000, 'z');
    char *longer = strconcat(big.c_str(), big.c_str(), "!", nullptr);
    EXPECT_EQ(std::string(longer), big + big + "!");
    std::free(longer);
}

}  // namespace
