// Tests, in-place edits and fixed-width copies of C strings.
#include "strtools.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tbl.h"

namespace {

// A writable copy of a literal, for the in-place edits.
std::vector<char> buffer(const std::string &s, std::size_t extra = 0) {
    std::vector<char> b(s.begin(), s.end());
    b.resize(s.size() + 1 + extra, '\0');
    return b;
}

TEST(Nstrcmp, NullsAndStrings) {
    EXPECT_EQ(nstrcmp(nullptr, nullptr), 0);
    EXPECT_EQ(nstrcmp(nullptr, "a"), 1);
    EXPECT_EQ(nstrcmp("a", nullptr), 1);
    EXPECT_EQ(nstrcmp("", nullptr), 1);
    EXPECT_EQ(nstrcmp("abc", "abc"), 0);
    EXPECT_LT(nstrcmp("abc", "abd"), 0);
    EXPECT_GT(nstrcmp("b", "a"), 0);
}

TEST(BlankAndWhitespace, Classes) {
    struct Case {
        const char *s;
        int blank;
        int white;
    };
    const Case cases[] = {
        {"", 1, 1},          {"   ", 1, 1},       {"\t", 0, 1},
        {"\t\n", 0, 1},      {" \n \t", 0, 1},    {"\r", 0, 0},
        {"\f", 0, 0},        {"\v", 0, 0},        {" a ", 0, 0},
        {"x", 0, 0},         {"\xa0", 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(blank(c.s), c.blank) << '"' << c.s << '"';
        EXPECT_EQ(whitespace(c.s), c.white) << '"' << c.s << '"';
    }
}

TEST(Strtrim, Table) {
    struct Case {
        const char *in;
        const char *out;
    };
    const Case cases[] = {
        {"", ""},
        {"a", "a"},
        {" ", ""},
        {" \t\n ", ""},
        {"  abc  ", "abc"},
        {"abc\n", "abc"},
        {"\tabc", "abc"},
        {"a b\tc", "a b\tc"},
        {"abc\r", "abc\r"},      // carriage return is not white space
        {"\r\n", "\r"},
        {" x", "x"},
        {"x ", "x"},
        {"\n\nhello world\t\t", "hello world"},
    };
    for (const Case &c : cases) {
        auto b = buffer(c.in);
        strtrim(b.data());
        EXPECT_STREQ(b.data(), c.out) << '"' << c.in << '"';
    }
}

TEST(Chomp, RemovesOneNewline) {
    struct Case {
        const char *in;
        const char *out;
    };
    const Case cases[] = {
        {"", ""}, {"\n", ""}, {"a\n", "a"}, {"a\n\n", "a\n"},
        {"a", "a"}, {"a\r\n", "a\r"}, {"\na", "\na"},
    };
    for (const Case &c : cases) {
        auto b = buffer(c.in);
        chomp(b.data());
        EXPECT_STREQ(b.data(), c.out) << '"' << c.in << '"';
    }
    chomp(nullptr);  // left alone
}

TEST(CaseConversion, UpperAndLower) {
    auto b = buffer("Hello, World 42\xe9");
    str2upper(b.data());
    EXPECT_STREQ(b.data(), "HELLO, WORLD 42\xe9");
    str2lower(b.data());
    EXPECT_STREQ(b.data(), "hello, world 42\xe9");
}

TEST(Strtr, MapsThroughTable) {
    auto b = buffer("hello world");
    strtr(b.data(), "lo", "01");
    EXPECT_STREQ(b.data(), "he001 w1r0d");

    // A character repeated in from takes the later mapping.
    auto c = buffer("aaa-b");
    strtr(c.data(), "aba", "xyz");
    EXPECT_STREQ(c.data(), "zzz-y");

    // High bytes are translated as unsigned values; extra "to" is ignored.
    auto d = buffer("\xe9t\xe9");
    strtr(d.data(), "\xe9", "eXYZ");
    EXPECT_STREQ(d.data(), "ete");

    auto e = buffer("unchanged");
    strtr(e.data(), "", "");
    EXPECT_STREQ(e.data(), "unchanged");
}

TEST(Strsub, Table) {
    struct Case {
        const char *old;
        const char *pattern;
        const char *replacement;
        const char *out;
    };
    const Case cases[] = {
        {"a.b.c", ".", "::", "a::b::c"},
        {"aaaa", "aa", "b", "bb"},          // no overlap
        {"aaa", "aa", "b", "ba"},
        {"abcabc", "abc", "", ""},
        {"hello", "xyz", "q", "hello"},
        {"", "x", "y", ""},
        {"xx", "x", "xx", "xxxx"},          // search resumes behind the hit
        {"$HOME/bin", "$HOME", "/home/me", "/home/me/bin"},
        {"keep", "", "zz", "keep"},         // empty pattern: plain copy
    };
    for (const Case &c : cases) {
        char out[64];
        std::memset(out, '#', sizeof out);
        strsub(c.old, c.pattern, c.replacement, out);
        EXPECT_STREQ(out, c.out) << c.old << " / " << c.pattern;
    }
}

std::vector<std::string> fields_of(Tbl *t) {
    std::vector<std::string> v;
    for (int i = 0; i < maxtbl(t); ++i)
        v.emplace_back(static_cast<char *>(gettbl(t, i)));
    return v;
}

TEST(Split, Table) {
    struct Case {
        const char *in;
        int c;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"", ',', {}},
        {",,,", ',', {}},
        {"a", ',', {"a"}},
        {"a,,b", ',', {"a", "b"}},
        {",a,b,", ',', {"a", "b"}},
        {"  one two   three ", ' ', {"one", "two", "three"}},
        {"x\xffy\xff\xffz", 0xff, {"x", "y", "z"}},
        {"x\xffy", -1, {"x", "y"}},  // a signed char's value works too
    };
    for (const Case &c : cases) {
        auto b = buffer(c.in);
        Tbl *t = split(b.data(), c.c);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(fields_of(t), c.fields) << '"' << c.in << '"';
        freetbl(t, nullptr);
    }
}

TEST(Split, FieldsPointIntoTheString) {
    auto b = buffer("ab:cd::ef:");
    Tbl *t = split(b.data(), ':');
    ASSERT_EQ(maxtbl(t), 3);
    EXPECT_EQ(gettbl(t, 0), b.data());
    EXPECT_EQ(gettbl(t, 1), b.data() + 3);
    EXPECT_EQ(gettbl(t, 2), b.data() + 7);
    EXPECT_EQ(b[2], '\0');
    EXPECT_EQ(b[5], '\0');
    EXPECT_EQ(b[6], ':');  // only the first separator behind a field is cut
    EXPECT_EQ(b[9], '\0');
    freetbl(t, nullptr);
}

TEST(ParseOn1char, TakesApartFieldByField) {
    char empty[] = "";
    EXPECT_EQ(parse_on_1char(empty, ','), nullptr);

    char none[] = "abc";
    EXPECT_EQ(parse_on_1char(none, ','), none + 3);
    EXPECT_STREQ(none, "abc");

    char s[] = "a,bc,,d";
    std::vector<std::string> got;
    char *field = s;
    for (char *rest; (rest = parse_on_1char(field, ',')) != nullptr;
         field = rest)
        got.emplace_back(field);
    EXPECT_EQ(got, (std::vector<std::string>{"a", "bc", "", "d"}));
}

TEST(Sncopy, PadsWithBlanksWithoutNul) {
    struct Case {
        const char *src;
        int n;
        std::string out;
    };
    const Case cases[] = {
        {"abc", 5, "abc  "},
        {"abcdefg", 5, "abcde"},
        {"", 3, "   "},
        {"abc", 3, "abc"},
        {"abc", 0, ""},
    };
    for (const Case &c : cases) {
        char dest[16];
        std::memset(dest, '#', sizeof dest);
        sncopy(dest, c.src, c.n);
        EXPECT_EQ(std::string(dest, c.out.size()), c.out) << c.src;
        EXPECT_EQ(dest[c.out.size()], '#') << c.src;  // nothing more written
    }
}

TEST(Szcopy, CopiesExactlyNBytes) {
    char dest[8];
    std::memset(dest, '#', sizeof dest);
    const char src[] = {'a', '\0', 'b', 'c', 'd'};
    szcopy(dest, src, 4);
    EXPECT_EQ(std::memcmp(dest, "a\0bc\0", 5), 0);
    EXPECT_EQ(dest[5], '#');

    szcopy(dest, "xyz", 0);
    EXPECT_EQ(dest[0], '\0');
}

TEST(Copystrip, StripsOnlySpaces) {
    struct Case {
        const char *field;
        int n;
        const char *out;
    };
    const Case cases[] = {
        {"     ", 5, ""},
        {"  ab  ", 6, "ab"},
        {"ab   cd  ", 9, "ab   cd"},
        {"\tab\t", 4, "\tab\t"},
        {"abcdefgh", 4, "abcd"},     // a field of n characters
        {" a b ", 0, ""},
        {"  x  \0zzz", 9, "x"},      // a NUL ends the field
    };
    for (const Case &c : cases) {
        char dest[16];
        std::memset(dest, '#', sizeof dest);
        copystrip(dest, c.field, c.n);
        EXPECT_STREQ(dest, c.out) << '"' << c.field << '"';
    }
}

TEST(Memdup, CopiesBytes) {
    const unsigned char src[] = {0, 1, 2, 0xff, 0};
    void *b = memdup(src, sizeof src);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(b, static_cast<const void *>(src));
    EXPECT_EQ(std::memcmp(b, src, sizeof src), 0);
    std::free(b);

    void *none = memdup(src, 0);  // a valid block the caller frees
    EXPECT_NE(none, nullptr);
    std::free(none);
}

}  // namespace
