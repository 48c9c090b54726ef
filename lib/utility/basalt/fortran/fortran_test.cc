// The string bridge, the handle table and the Fortran bindings, called as a
// Fortran program calls them: everything by address, strings as
// blank-padded buffers with their lengths at the end.
#include "fortran.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "basalttime.h"
#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "listfile.h"
#include "pf.h"
#include "scratch_dir.h"

namespace {

using ::testing::HasSubstr;
using testsupport::in_child;
using testsupport::out;
using testsupport::ScratchDir;
using testsupport::write_file;

// A Fortran character variable: n bytes, blank-padded, no terminator, with
// a guard byte after it.
struct Chars {
    explicit Chars(std::size_t n, const std::string &text = "") : bytes(n + 1, ' ') {
        bytes[n] = '#';
        std::memcpy(bytes.data(), text.data(), std::min(n, text.size()));
    }
    char *p() { return bytes.data(); }
    std::size_t n() const { return bytes.size() - 1; }
    std::string text() const { return std::string(bytes.data(), n()); }
    bool guard_intact() const { return bytes.back() == '#'; }
    std::vector<char> bytes;
};

std::string take(char *s) {
    std::string t = s;
    std::free(s);
    return t;
}

TEST(StringBridge, Newcs) {
    struct Case {
        std::string bytes;
        int n;
        const char *expected;
    } cases[] = {
        {std::string("\0bc  ", 5), 5, ""},
        {"      ", 6, ""},
        {"  ab c  ", 8, "  ab c"},
        {std::string("ab\0cd  ", 7), 7, "ab"},
        {"abc", 3, "abc"},
        {"abcdef", 3, "abc"},
        {"ab    ", 4, "ab"},
    };
    for (const Case &c : cases) {
        std::string copy = c.bytes;
        EXPECT_EQ(take(newcs(copy.data(), c.n)), c.expected) << c.bytes;
    }
    // A length of 0 reads nothing.
    EXPECT_EQ(take(newcs(nullptr, 0)), "");
}

TEST(StringBridge, Cs2fsFs2csAndPad) {
    Chars small(4);
    EXPECT_EQ(cs2fs(small.p(), const_cast<char *>("longer"), 4), 0);
    EXPECT_EQ(small.text(), "long");
    EXPECT_TRUE(small.guard_intact());
    EXPECT_EQ(cs2fs(small.p(), const_cast<char *>(""), 4), 0);
    EXPECT_EQ(small.text(), "    ");
    cs2fs(small.p(), const_cast<char *>("ab"), 4);
    EXPECT_EQ(small.text(), "ab  ");
    EXPECT_EQ(cs2fs(small.p(), nullptr, 4), 0);  // no string: all blanks
    EXPECT_EQ(small.text(), "    ");
    EXPECT_TRUE(small.guard_intact());

    char dst[8];
    std::memset(dst, 'x', sizeof dst);
    EXPECT_EQ(fs2cs(dst, const_cast<char *>("abcd"), 4), 0);
    EXPECT_STREQ(dst, "abcd");  // terminator at position nmax
    fs2cs(dst, const_cast<char *>("ab  "), 4);
    EXPECT_STREQ(dst, "ab");
    fs2cs(dst, const_cast<char *>("    "), 4);
    EXPECT_STREQ(dst, "");

    char padded[6];
    EXPECT_EQ(strcpy_pad(padded, 4, const_cast<char *>("abcdef"), 6, '*'), 0);
    EXPECT_EQ(std::string(padded, 4), "abcd");
    strcpy_pad(padded, 6, const_cast<char *>("ab"), 2, 0x100 + '*');
    EXPECT_EQ(std::string(padded, 6), "ab****");
}

TEST(Handles, StaleForeignAndLentHandlesAreRefused) {
    testsupport::elog_reset_register();
    auto r = in_child([] {
        int list = 0, size = 5;
        newtbl_(&list, &size);
        int freed = list;
        freetbl_(&freed, nullptr);
        out(std::to_string(maxtbl_(&list)) + "\n");  // stale
        int foreign = 12345;
        out(std::to_string(maxtbl_(&foreign)) + "\n");
        int pf = 0, type = FILE_PF;
        pfnew_(&type, &pf);
        out(std::to_string(maxtbl_(&pf)) + "\n");  // a tree, not a list
        int zero = 0;
        out(std::to_string(maxtbl_(&zero)) + "\n");
        freetbl_(&freed, nullptr);  // twice
        out("alive\n");
    });
    EXPECT_EQ(r.out, "-1\n-1\n-1\n-1\nalive\n");
    EXPECT_THAT(r.err, HasSubstr("maxtbl_: " ));
    EXPECT_THAT(r.err, HasSubstr("is not the handle of an open list"));
    EXPECT_THAT(r.err, HasSubstr("freetbl_: "));
}

TEST(Handles, SameObjectSameHandleAndDrop) {
    Tbl *t = newtbl(0);
    int a = fhandle_put(t, FHANDLE_TBL);
    EXPECT_GT(a, 0);
    EXPECT_EQ(fhandle_put(t, FHANDLE_TBL), a);
    EXPECT_EQ(fhandle_get(a, FHANDLE_TBL, "test"), t);
    EXPECT_EQ(fhandle_put(nullptr, FHANDLE_TBL), 0);
    EXPECT_EQ(fhandle_drop(a), 0);
    EXPECT_EQ(fhandle_drop(a), -1);
    // The slot's next handle differs from the stale one.
    int b = fhandle_put(t, FHANDLE_TBL);
    EXPECT_NE(b, a);
    EXPECT_EQ(fhandle_drop(b), 0);
    freetbl(t, nullptr);
}

TEST(Bindings, ListsOfValuesAndOfStrings) {
    int list = 0, size = 0;
    newtbl_(&list, &size);
    int v = 41;
    EXPECT_EQ(pushtbl_(&list, &v), 0);
    v = 99;
    int got = 0, zero = 0;
    gettbl_(&list, &zero, &got);
    EXPECT_EQ(got, 41);
    EXPECT_EQ(unshifttbl_(&list, &v), 0);
    EXPECT_EQ(maxtbl_(&list), 2);
    int one = 1;
    gettbl_(&list, &one, &got);
    EXPECT_EQ(got, 41);
    int outside = 7;
    got = -5;
    gettbl_(&list, &outside, &got);  // no null value: nothing copied
    EXPECT_EQ(got, -5);
    poptbl_(&list, &got);
    EXPECT_EQ(got, 41);
    shifttbl_(&list, &got);
    EXPECT_EQ(got, 99);
    got = -5;
    poptbl_(&list, &got);
    EXPECT_EQ(got, -5);
    freetbl_(&list, nullptr);

    int strings = 0;
    Chars a(5, "one"), b(4, "    "), c(6, "three"), end(3, std::string("\0", 1));
    strtbl_(&strings, a.p(), b.p(), c.p(), end.p(), a.n(), b.n(), c.n(), end.n());
    EXPECT_EQ(maxtbl_(&strings), 3);
    Chars result(5);
    const char *expected[] = {"one  ", "     ", "three", "     "};
    for (int i : {0, 1, 2, 3}) {
        strgettbl_(&strings, &i, result.p(), result.n());
        EXPECT_EQ(result.text(), expected[i]) << i;
    }
    // The replaced copy is the caller's to free (the list may not own it).
    char *replaced = static_cast<char *>(
        gettbl(static_cast<Tbl *>(fhandle_get(strings, FHANDLE_TBL, "test")), 1));
    Chars replacement(8, "two");
    EXPECT_EQ(strsettbl_(&strings, &one, replacement.p(), replacement.n()), 1);
    std::free(replaced);
    strgettbl_(&strings, &one, result.p(), result.n());
    EXPECT_EQ(result.text(), "two  ");
    strfreetbl_(&strings);

    int empty = 0;
    strtbl_(&empty, end.p(), end.n());
    EXPECT_EQ(maxtbl_(&empty), 0);
    strfreetbl_(&empty);
}

int compare_ints(void *a, void *b, void *) {
    return *static_cast<int *>(a) - *static_cast<int *>(b);
}
int compare_plain(const void *a, const void *b) {
    return *static_cast<const int *>(a) - *static_cast<const int *>(b);
}

TEST(Bindings, SortsAndSearches) {
    int values[] = {5, 3, 9, 3, 1};
    int n = 5, size = sizeof(int);
    isort_(values, &n, &size, compare_ints, nullptr);
    EXPECT_EQ(std::vector<int>(values, values + 5), (std::vector<int>{1, 3, 3, 5, 9}));
    int more[] = {4, 2, 8};
    qsort_(more, 3, sizeof(int), compare_plain);
    EXPECT_EQ(std::vector<int>(more, more + 3), (std::vector<int>{2, 4, 8}));
    int key = 3, unique = 0, ns = -9, ne = -9;
    EXPECT_EQ(ssearch_(&key, &size, values, &n, &unique, compare_ints, nullptr, &ns, &ne, 0, 0), 2);
    EXPECT_EQ(ns, 2);  // counted from 1
    EXPECT_EQ(ne, 3);

    int list = 0, zero = 0;
    newtbl_(&list, &zero);
    for (int v : {1, 3, 3, 5}) pushtbl_(&list, &v);
    EXPECT_EQ(searchtbl_(&key, &list, compare_ints, nullptr, &ns, &ne), 2);
    EXPECT_EQ(ns, 1);  // counted from 0
    EXPECT_EQ(ne, 2);
    freetbl_(&list, nullptr);
}

TEST(Bindings, ParameterFiles) {
    ScratchDir dir;
    auto r = in_child([&] {
        Chars text(80, "a 5\nb 2.5\nflag yes\ns hello world\nl &Tbl{\nx\ny\n}\n");
        int pf = 0, result = -9;
        pfcompile_(text.p(), &pf, &result, text.n());
        Chars name(4, "s"), value(8);
        pfget_string_(&pf, name.p(), value.p(), name.n(), value.n());
        out(value.text() + "|");
        Chars missing(8, "nothing");
        pfget_string__(&pf, missing.p(), value.p(), missing.n(), value.n());
        out(value.text() + "|");
        int i = 0, flag = 0;
        double d = 0;
        Chars a(1, "a"), b(1, "b"), f(4, "flag"), l(1, "l");
        pfget_int_(&pf, a.p(), &i, a.n());
        pfget_double_(&pf, b.p(), &d, b.n());
        pfget_boolean_(&pf, f.p(), &flag, f.n());
        out(std::to_string(i) + " " + std::to_string(d) + " " + std::to_string(flag != 0) + "|");
        int list = 0;
        pfget_tbl_(&pf, l.p(), &list, l.n());
        out(std::to_string(maxtbl_(&list)) + "|");
        freetbl_(&list, nullptr);
        int node = -1, kind = -1;
        pfget_(&pf, l.p(), &node, &kind, l.n());
        out(std::to_string(kind) + " " + std::to_string(node > 0) + "|");
        pffree_(&node);  // lent: refused
        int n = 7;
        pfput_int_(&pf, a.p(), &n, a.n());
        Chars newvalue(6, "bye");
        pfput_string_(&pf, name.p(), newvalue.p(), name.n(), newvalue.n());
        Chars file(200, dir.file("out.pf"));
        pfwrite_(&pf, file.p(), &result, file.n());
        out(std::to_string(result) + "|");
        pffree_(&pf);
        out(std::to_string(maxtbl_(&node)) + "\n");  // gone with its tree
    });
    EXPECT_EQ(r.out, "hello wo|        |5 2.500000 1|2|2 1|0|-1\n");
    EXPECT_THAT(r.err, HasSubstr("lent"));
    std::string written = testsupport::read_file(dir.file("out.pf"));
    EXPECT_THAT(written, HasSubstr("a\t7"));
    EXPECT_THAT(written, HasSubstr("s\tbye"));
}

TEST(Bindings, PfreadKeepsItsName) {
    ScratchDir dir;
    write_file(dir.file("probe.pf"), "x 1\n");
    auto r = in_child([&] {
        setenv("PFPATH", dir.path().c_str(), 1);
        Chars name(10, "probe");
        int pf = 0, result = -9;
        pfread_(name.p(), &pf, &result, name.n());
        out(std::to_string(result) + "\n");
        std::memset(name.p(), 'z', name.n());  // the caller's buffer changes
        Chars absent(4, "none");
        int v = 0;
        pfget_int_(&pf, absent.p(), &v, absent.n());  // dies naming the file
    });
    EXPECT_EQ(r.out, "0\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_THAT(r.err, HasSubstr("probe"));
}

TEST(Bindings, PfputTakesOverAList) {
    auto r = in_child([] {
        int pf = 0, type = FILE_PF;
        pfnew_(&type, &pf);
        int list = 0, zero = 0;
        Tbl *t = newtbl(0);
        list = fhandle_put(t, FHANDLE_TBL);
        Chars name(1, "l");
        int table = TABLE_PF;
        pfput_(&pf, name.p(), &list, &table, name.n());
        out(std::to_string(maxtbl_(&list)) + "\n");  // the tree owns it now
        pffree_(&pf);
        (void)zero;
    });
    EXPECT_EQ(r.out, "-1\n");
}

TEST(Bindings, ErrorLog) {
    auto r = in_child([] {
        elog_init_();
        int with = 0;
        Chars message(12, "it went");
        register_error_(&with, message.p(), message.n());
        out(std::to_string(elog_mark()) + " ");
        clear_register_(0);
        out(std::to_string(elog_mark()) + "\n");
        complain__(&with, message.p(), message.n());
        die_(&with, message.p(), message.n());
    });
    EXPECT_EQ(r.out, "1 0\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_THAT(r.err, HasSubstr("it went\n"));
}

TEST(Bindings, TimesAndDataFiles) {
    int year = 2024, doy = 60, hour = 12, minute = 30;
    double seconds = 15.5, e = 0;
    htoe_(&year, &doy, &hour, &minute, &seconds, &e);
    EXPECT_EQ(e, h2e(2024, 60, 12, 30, 15.5));
    int y = 0, d = 0, h = 0, m = 0;
    double s = 0;
    etoh_(&e, &y, &d, &h, &m, &s);
    EXPECT_EQ(std::vector<int>({y, d, h, m}), std::vector<int>({2024, 60, 12, 30}));
    EXPECT_EQ(s, 15.5);
    Chars format(8, "%Y %j"), result(10);
    epoch2str_(result.p(), &e, format.p(), result.n(), format.n());
    EXPECT_EQ(result.text(), "2024 060  ");
    Chars text(30, "2024-060 12:30:15.5");
    EXPECT_EQ(str2epoch_(text.p(), text.n()), e);
    int yd = 2024060;
    EXPECT_EQ(epoch_(&yd), h2e(2024, 60, 0, 0, 0));
    EXPECT_EQ(yearday_(&e), 2024060);

    Chars path(20, "stale text"), env(5, "NOENV"), file(20, "no-such-data-file");
    datafile_(path.p(), env.p(), file.p(), path.n(), env.n(), file.n());
    EXPECT_EQ(path.text(), std::string(20, ' '));

    Chars list(20, "AAA:BHZ, BBB"), sta(5, "BBB"), chan(5, "LHZ");
    EXPECT_EQ(match_stachans_(list.p(), sta.p(), chan.p(), list.n(), sta.n(), chan.n()), 2);
}

TEST(Bindings, ReadtblTextIsNulFilled) {
    ScratchDir dir;
    Tbl *t = newtbl(0);
    pushtbl(t, const_cast<char *>("x"));
    std::string file = dir.file("saved.tbl");
    ASSERT_EQ(savetbl(t, const_cast<char *>(file.c_str()), const_cast<char *>("note")), 0);
    freetbl(t, nullptr);
    Chars name(100, file), text(8, "zzzzzzzz");
    int list = 0, rw = 0;
    readtbl_(&list, name.p(), text.p(), &rw, name.n(), text.n());
    EXPECT_EQ(maxtbl_(&list), 1);
    EXPECT_EQ(text.text(), std::string("note\0\0\0\0", 8));
    freetbl_(&list, nullptr);
}

}  // namespace
