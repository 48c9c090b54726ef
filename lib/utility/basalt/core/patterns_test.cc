#include <gtest/gtest.h>
#include <regex.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arrays.h"
#include "child.h"
#include "costly_patterns.h"
#include "elog.h"
#include "elog_capture.h"
#include "hooks.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;

const std::string P = testsupport::elog_program_name();

char *cs(const std::string &s) { return const_cast<char *>(s.c_str()); }
char *cs(const char *s) { return const_cast<char *>(s); }

// The system's text for a pattern that does not compile, cut as the
// library cuts it.
std::string compile_error(const std::string &pattern) {
    regex_t re;
    int code = regcomp(&re, pattern.c_str(), REG_EXTENDED);
    if (code == 0) {
        regfree(&re);
        return "(compiled)";
    }
    char text[129];
    regerror(code, &re, text, sizeof text);
    return text;
}

// A compiled pattern released at the end of the scope.
struct Re {
    explicit Re(const char *pattern) { ok = regcomp(&re, pattern, REG_EXTENDED) == 0; }
    ~Re() {
        if (ok) regfree(&re);
    }
    regex_t re;
    bool ok;
};

// A buffer followed by a guard, to show nothing is written past the end.
struct Guarded {
    char buf[16];
    char guard[32];
    Guarded() {
        std::memset(buf, 'X', sizeof buf);
        std::memset(guard, 'G', sizeof guard);
    }
    bool guard_intact() const { return std::string(guard, sizeof guard) == std::string(32, 'G'); }
};

// ---- strmatches and strcontains ------------------------------------------

TEST(Strmatches, WholeTextMustMatch) {
    struct Case {
        const char *s, *pattern;
        int result;
    };
    const Case cases[] = {
        {"abc", "a.c", 1},   {"xabc", "a.c", 0},     {"abcx", "a.c", 0},
        {"", "^$", 1},       {"", "a*", 1},          {"ab", "a|ab", 1},
        {"aaa", "a+", 1},    {"BHZ", "BH[ZNE]", 1},  {"BHZ", "BH[NE]", 0},
        {"a.c", "a\\.c", 1}, {"abc", "a\\.c", 0},    {"abcabc", "(abc){2}", 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(strmatches(cs(c.s), cs(c.pattern), nullptr), c.result) << c.s << " ~ " << c.pattern;
        Hook *hook = nullptr;
        EXPECT_EQ(strmatches(cs(c.s), cs(c.pattern), &hook), c.result) << c.s << " ~ " << c.pattern;
        EXPECT_EQ(strmatches(cs(c.s), cs(c.pattern), &hook), c.result) << c.s << " ~ " << c.pattern;
        free_hook(&hook);
    }
}

TEST(Strcontains, FirstMatchGivesStartAndLength) {
    struct Case {
        const char *s, *pattern;
        int result, start, nchars;
    };
    const Case cases[] = {
        {"xabc", "a.c", 1, 1, 3},
        {"abc", "a.c", 1, 0, 3},
        {"xyz", "a.c", 0, 0, 0},
        {"aXbXXb", "X+b", 1, 1, 2},
        {"hello", "l*", 1, 0, 0},  // an empty match at the start
        {"", "^$", 1, 0, 0},
    };
    for (const Case &c : cases) {
        int start = -5, nchars = -5;
        EXPECT_EQ(strcontains(cs(c.s), cs(c.pattern), nullptr, &start, &nchars), c.result) << c.s;
        EXPECT_EQ(start, c.start) << c.s;
        EXPECT_EQ(nchars, c.nchars) << c.s;
        Hook *hook = nullptr;
        start = nchars = -5;
        EXPECT_EQ(strcontains(cs(c.s), cs(c.pattern), &hook, &start, &nchars), c.result) << c.s;
        EXPECT_EQ(start, c.start) << c.s;
        EXPECT_EQ(nchars, c.nchars) << c.s;
        free_hook(&hook);
    }
    // start and nchars may be left out.
    EXPECT_EQ(strcontains(cs("xabc"), cs("b"), nullptr, nullptr, nullptr), 1);
    int start = -1;
    EXPECT_EQ(strcontains(cs("xabc"), cs("c"), nullptr, &start, nullptr), 1);
    EXPECT_EQ(start, 3);
}

TEST(Strmatches, HookKeepsTheFirstPattern) {
    Hook *hook = nullptr;
    EXPECT_EQ(strmatches(cs("abc"), cs("a.c"), &hook), 1);
    ASSERT_NE(hook, nullptr);
    EXPECT_EQ(hook->magic, HOOK_MAGIC);
    EXPECT_EQ(hook->free, &free_strmatch);
    Strmatch *sm = static_cast<Strmatch *>(hook->p);
    ASSERT_NE(sm, nullptr);
    EXPECT_STREQ(sm->pattern, "a.c");
    EXPECT_EQ(sm->errcode, 0);
    // Another pattern with the same hook is not looked at.
    EXPECT_EQ(strmatches(cs("axc"), cs("zzz"), &hook), 1);
    EXPECT_EQ(strmatches(cs("zzz"), cs("zzz"), &hook), 0);
    int start = 0, nchars = 0;
    EXPECT_EQ(strcontains(cs("--abc--"), cs("q"), &hook, &start, &nchars), 1);
    EXPECT_EQ(start, 2);
    EXPECT_EQ(nchars, 3);
    free_hook(&hook);
    EXPECT_EQ(hook, nullptr);
}

TEST(Strmatches, PatternIsCopiedIntoTheHook) {
    std::string pattern = "b+";
    Hook *hook = nullptr;
    EXPECT_EQ(strmatches(cs("bbb"), cs(pattern), &hook), 1);
    pattern.assign("zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz");
    EXPECT_STREQ(static_cast<Strmatch *>(hook->p)->pattern, "b+");
    EXPECT_EQ(strmatches(cs("bb"), cs(pattern), &hook), 1);
    free_hook(&hook);
}

TEST(Strmatches, HookMadeByTheCallerWithoutStateIsFilled) {
    Hook *hook = new_hook(free_strmatch);
    EXPECT_EQ(strmatches(cs("abc"), cs("a.c"), &hook), 1);
    EXPECT_EQ(strmatches(cs("abc"), cs("x"), &hook), 1);
    free_hook(&hook);
}

TEST(Strmatches, CompileFailureIsReportedOnceThenCached) {
    ChildResult r = in_child([] {
        Hook *hook = nullptr;
        std::string results = std::to_string(strmatches(cs("a"), cs("(a"), &hook));
        results += " " + std::to_string(strmatches(cs("a"), cs("a"), &hook));
        int start = 9, nchars = 9;
        results += " " + std::to_string(strcontains(cs("a"), cs("a"), &hook, &start, &nchars));
        results += " " + std::to_string(start) + " " + std::to_string(nchars);
        results += " " + std::to_string(static_cast<Strmatch *>(hook->p)->errcode);
        free_hook(&hook);
        out(results + "\n" + testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "-2 -1 -1 0 0 -1\n" + P + ": '(a' did not compile: " + compile_error("(a") + "\n");
    EXPECT_EQ(r.err, "");
}

TEST(Strmatches, CompileFailureWithoutHookIsReportedEveryCall) {
    ChildResult r = in_child([] {
        std::string results = std::to_string(strmatches(cs("a"), cs("a{"), nullptr));
        results += " " + std::to_string(strcontains(cs("a"), cs("[a"), nullptr, nullptr, nullptr));
        out(results + "\n" + testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "-2 -2\n" + P + ": 'a{' did not compile: " + compile_error("a{") + "\n" + P +
                         ": '[a' did not compile: " + compile_error("[a") + "\n");
}

TEST(Strmatches, StrmatchFieldsKeepTheirOrder) {
    EXPECT_EQ(offsetof(Strmatch, pattern), 0u);
    EXPECT_LT(offsetof(Strmatch, pattern), offsetof(Strmatch, prog));
    EXPECT_LT(offsetof(Strmatch, prog), offsetof(Strmatch, errcode));
    EXPECT_EQ(offsetof(Submap, pattern), 0u);
    EXPECT_LT(offsetof(Submap, pattern), offsetof(Submap, prog));
    EXPECT_LT(offsetof(Submap, prog), offsetof(Submap, substitution));
}

// ---- patsub and regsubstitute --------------------------------------------

TEST(Patsub, SubstitutionText) {
    struct Case {
        const char *old, *pattern, *sub, *result;
        int matched;
    };
    const Case cases[] = {
        {"abc", "(b)", "[$1$1]", "a[bb]c", 1},
        {"xyz", "(b)", "[$1$1]", "xyz", 0},
        {"abc", "b", "$x", "ac", 1},          // "$" and a letter: both dropped
        {"abc", "b", "<$0>", "a<b>c", 1},     // $0 is the whole match
        {"abc", "b", "$7", "ac", 1},          // a group that does not exist
        {"abc", "(x)?b", "[$1]", "a[]c", 1},  // a group that took no part
        {"abc", "b", "\\$1", "a$1c", 1},      // a backslash quotes the next character
        {"abc", "b", "\\\\", "a\\c", 1},
        {"abc", "b", "y$", "ayc", 1},         // a "$" at the end ends the text
        {"abc", "b", "y\\", "ayc", 1},        // and so does a backslash
        {"abc", "b", "", "ac", 1},
        {"aaa", "a", "b", "baa", 1},          // the first match only
        {"2024-05-17", "([0-9]+)-([0-9]+)-([0-9]+)", "$3/$2/$1", "17/05/2024", 1},
        {"abcdefghij", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "$9$8$1$0", "ihaabcdefghij", 1},
        {"", "^$", "empty", "empty", 1},
    };
    for (const Case &c : cases) {
        Re re(c.pattern);
        ASSERT_TRUE(re.ok) << c.pattern;
        char result[128];
        std::memset(result, 'X', sizeof result);
        EXPECT_EQ(patsub(cs(c.old), &re.re, cs(c.sub), result), c.matched) << c.old << " " << c.sub;
        EXPECT_STREQ(result, c.result) << c.old << " " << c.sub;
    }
}

TEST(Patsub, ResultMayReplaceTheInputInPlace) {
    Re re("(b+)");
    char text[64] = "abbbc";
    EXPECT_EQ(patsub(text, &re.re, cs("<$1|$1|$1>"), text), 1);
    EXPECT_STREQ(text, "a<bbb|bbb|bbb>c");
    char shorter[64] = "abbbc";
    EXPECT_EQ(patsub(shorter, &re.re, cs(""), shorter), 1);
    EXPECT_STREQ(shorter, "ac");
}

TEST(Patsub, SizedFormRefusesWhatDoesNotFit) {
    Re re("(b)");
    struct Case {
        const char *sub;
        size_t size;
        int rc;
        const char *result;
    };
    const Case cases[] = {
        {"[$1]", 6, 1, "a[b]c"},   // exactly fits with its NUL
        {"[$1]", 5, -1, ""},       // one short
        {"[$1]", 16, 1, "a[b]c"},
        {"0123456789abcdefghij", 16, -1, ""},
    };
    for (const Case &c : cases) {
        Guarded g;
        EXPECT_EQ(patsub_n(cs("abc"), &re.re, cs(c.sub), g.buf, c.size), c.rc) << c.sub << " " << c.size;
        EXPECT_STREQ(g.buf, c.result);
        EXPECT_TRUE(g.guard_intact());
    }
    // Without a match the copy of the text must fit too.
    Guarded g;
    EXPECT_EQ(patsub_n(cs("xyzxyzxyzxyzxyzxyz"), &re.re, cs(""), g.buf, sizeof g.buf), -1);
    EXPECT_STREQ(g.buf, "");
    EXPECT_EQ(patsub_n(cs("xyz"), &re.re, cs(""), g.buf, sizeof g.buf), 0);
    EXPECT_STREQ(g.buf, "xyz");
    EXPECT_TRUE(g.guard_intact());
    // A buffer of no bytes is not touched.
    char none = 'N';
    EXPECT_EQ(patsub_n(cs("abc"), &re.re, cs("x"), &none, 0), -1);
    EXPECT_EQ(none, 'N');
}

TEST(Regsubstitute, BuildsAroundTheWholeMatch) {
    regmatch_t m[10];
    for (regmatch_t &x : m) x.rm_so = x.rm_eo = -1;
    // "hello world": whole match "lo w" (3..7), group 1 "lo" (3..5), group 2 "w" (6..7).
    m[0] = {3, 7};
    m[1] = {3, 5};
    m[2] = {6, 7};
    char result[64];
    regsubstitute(cs("hello world"), cs("($2,$1,$3)"), m, result);
    EXPECT_STREQ(result, "hel(w,lo,)orld");
    // An empty whole match inserts at its offset.
    m[0] = {0, 0};
    regsubstitute(cs("abc"), cs(">"), m, result);
    EXPECT_STREQ(result, ">abc");
    m[0] = {3, 3};
    regsubstitute(cs("abc"), cs("<"), m, result);
    EXPECT_STREQ(result, "abc<");

    Guarded g;
    m[0] = {1, 2};
    EXPECT_EQ(regsubstitute_n(cs("abc"), cs("0123456789"), m, g.buf, sizeof g.buf), 0);
    EXPECT_STREQ(g.buf, "a0123456789c");
    EXPECT_EQ(regsubstitute_n(cs("abc"), cs("0123456789abcd"), m, g.buf, sizeof g.buf), -1);
    EXPECT_STREQ(g.buf, "");
    EXPECT_TRUE(g.guard_intact());
}

TEST(Regsubstitute, MatchesOutsideTheTextInsertNothing) {
    regmatch_t m[10];
    for (regmatch_t &x : m) x.rm_so = x.rm_eo = -1;
    m[0] = {1, 2};
    m[1] = {2, 99};  // past the end of the text
    m[2] = {2, 1};   // ends before it starts
    char result[64];
    regsubstitute(cs("abc"), cs("[$1$2]"), m, result);
    EXPECT_STREQ(result, "a[]c");
    // Without a usable whole match the text is left as it is.
    m[0] = {-1, -1};
    regsubstitute(cs("abc"), cs("x"), m, result);
    EXPECT_STREQ(result, "abc");
}

// ---- morph tables --------------------------------------------------------

// A morph table made from lines, freed at the end of the scope.
struct Morph {
    explicit Morph(std::vector<std::string> lines) : text(std::move(lines)) {
        Tbl *list = newtbl(0);
        for (std::string &line : text) pushtbl(list, cs(line));
        failed = newmorphtbl(list, &table);
        freetbl(list, nullptr);
    }
    ~Morph() { freemorphtbl(table); }
    std::string apply(const std::string &old, int flags, int *applied = nullptr) {
        char result[256];
        int n = morphtbl(cs(old), table, flags, result);
        if (applied) *applied = n;
        return result;
    }
    Submap *rule(int i) { return static_cast<Submap *>(gettbl(table, i)); }

    std::vector<std::string> text;
    Morphtbl *table = nullptr;
    int failed = -99;
};

TEST(Morphtbl, LineForms) {
    struct Case {
        const char *line, *pattern, *substitution;
    };
    const Case cases[] = {
        {"/a/b/", "a", "b"},
        {"a b", "a", "b"},
        {"a \t  b", "a", "b"},
        {"a\tb", "a", "b"},
        {"a b c d", "a", "b"},             // the rest is ignored
        {"'a b'c d'x", "a b", "c d"},
        {"\"x y\"z", "x y", "z"},          // the substitution runs to the end
        {"/a", "a", ""},                   // no closing quote
        {"/a/", "a", ""},
        {"/a\\/b/c\\/d/", "a\\/b", "c\\/d"},  // backslashes stay in the fields
        {"a\\ b c\\ d e", "a\\ b", "c\\ d"},
        {"a", "a", ""},
        {"//x/", "^$", "x"},               // an empty pattern matches only ""
        {"", "^$", ""},
        {" a", "^$", "a"},                 // the pattern runs to the first blank
        {"a b\\", "a", "b\\"},             // a backslash at the very end
        {"/a'b/c'd/", "a'b", "c'd"},       // only the opening quote closes
    };
    for (const Case &c : cases) {
        Morph m({c.line});
        EXPECT_EQ(m.failed, 0) << c.line;
        ASSERT_EQ(maxtbl(m.table), 1) << c.line;
        EXPECT_STREQ(m.rule(0)->pattern, c.pattern) << c.line;
        EXPECT_STREQ(m.rule(0)->substitution, c.substitution) << c.line;
    }
}

TEST(Morphtbl, SlashAndBlankFormsMakeTheSameRule) {
    Morph slashes({"/a/b/"});
    Morph blank({"a b"});
    for (Morph *m : {&slashes, &blank}) {
        EXPECT_EQ(m->apply("a", 0), "b");
        EXPECT_EQ(m->apply("xa", 1), "xb");
    }
}

TEST(Morphtbl, EmptyPatternMatchesOnlyTheEmptyText) {
    Morph m({"//nothing/"});
    int applied = -1;
    EXPECT_EQ(m.apply("", 1, &applied), "nothing");
    EXPECT_EQ(applied, 1);
    EXPECT_EQ(m.apply("a", 1, &applied), "a");
    EXPECT_EQ(applied, 0);
}

TEST(Morphtbl, Flags) {
    struct Case {
        std::vector<std::string> rules;
        const char *old;
        int flags;
        const char *result;
        int applied;
    };
    const Case cases[] = {
        {{"a b"}, "xa", 0, "xa", 0},
        {{"a b"}, "xa", 1, "xb", 1},
        {{"a b"}, "a", 0, "b", 1},
        {{"a b", "b c"}, "a", 3, "c", 2},
        {{"a b", "b c"}, "a", 1, "b", 1},
        {{"a b", "b c"}, "a", 2, "c", 2},
        {{"a b", "b c"}, "a", 0, "b", 1},
        {{"a b", "b c"}, "b", 0, "c", 1},
        {{"a b", "b c"}, "q", 3, "q", 0},
        {{"a b", "b c"}, "aa", 3, "ca", 2},   // the first match of each rule
        {{"a b", "b c"}, "aa", 2, "aa", 0},   // the whole text must match
        {{"([a-z]+)_([0-9]+) $2-$1"}, "sta_12", 0, "12-sta", 1},
        {{"/^(BH)(.)$/HH$2/", "/^HH/SH/"}, "BHZ", 3, "SHZ", 2},
        {{"/^(BH)(.)$/HH$2/", "/^HH/SH/"}, "BHZ", 2, "HHZ", 1},  // "HH" is not all of "HHZ"
        {{"/^(BH)(.)$/HH$2/", "/^HH/SH/"}, "BHZ", 0, "HHZ", 1},
        {{"x y", "a b", "b c"}, "a", 0, "b", 1},  // rules that do not apply are passed over
    };
    for (const Case &c : cases) {
        Morph m(c.rules);
        ASSERT_EQ(m.failed, 0);
        int applied = -1;
        EXPECT_EQ(m.apply(c.old, c.flags, &applied), c.result) << c.old << " flags " << c.flags;
        EXPECT_EQ(applied, c.applied) << c.old << " flags " << c.flags;
    }
}

TEST(Morphtbl, ResultMayReplaceTheInputInPlace) {
    Morph m({"/(.*)/[$1][$1]/", "/^\\[/{/"});
    char text[64] = "abc";
    EXPECT_EQ(morphtbl(text, m.table, 3, text), 2);
    EXPECT_STREQ(text, "{abc][abc]");
}

TEST(Morphtbl, SizedFormRefusesWhatDoesNotFit) {
    Morph m({"/a/0123456789/"});
    Guarded g;
    EXPECT_EQ(morphtbl_n(cs("a"), m.table, 0, g.buf, sizeof g.buf), 1);
    EXPECT_STREQ(g.buf, "0123456789");
    EXPECT_EQ(morphtbl_n(cs("xa"), m.table, 1, g.buf, 11), -1);
    EXPECT_STREQ(g.buf, "");
    EXPECT_EQ(morphtbl_n(cs("a"), m.table, 0, g.buf, 11), 1);
    EXPECT_STREQ(g.buf, "0123456789");
    EXPECT_EQ(morphtbl_n(cs("this text is too long"), m.table, 0, g.buf, sizeof g.buf), -1);
    EXPECT_STREQ(g.buf, "");
    EXPECT_TRUE(g.guard_intact());
}

TEST(Morphtbl, LongResultsAreWrittenWhole) {
    Morph m({"/(.*)/$1$1$1$1$1$1$1$1/"});
    std::string old(1000, 'q');
    std::vector<char> result(9000, 'X');
    EXPECT_EQ(morphtbl(cs(old), m.table, 2, result.data()), 1);
    EXPECT_EQ(std::string(result.data()), std::string(8000, 'q'));
}

TEST(Morphtbl, RulesThatDoNotCompileAreLoggedAndLeftOut) {
    ChildResult r = in_child([] {
        Morph m({"a b", "( x", "/[z/y/", "c d"});
        std::string s = std::to_string(m.failed) + " " + std::to_string(maxtbl(m.table)) + " " +
                        m.rule(0)->pattern + m.rule(1)->pattern + " " + m.apply("c", 0) + "\n";
        out(s + testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "2 2 ac d\n" + P + ": '(' did not compile: " + compile_error("(") + "\n" + P +
                         ": '[z' did not compile: " + compile_error("[z") + "\n");
}

TEST(Morphtbl, NullListAndNullTable) {
    Morphtbl *table = nullptr;
    EXPECT_EQ(newmorphtbl(nullptr, &table), -1);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(maxtbl(table), 0);
    char result[16];
    EXPECT_EQ(morphtbl(cs("abc"), table, 3, result), 0);
    EXPECT_STREQ(result, "abc");
    freemorphtbl(table);
    EXPECT_EQ(morphtbl(cs("abc"), nullptr, 3, result), 0);
    EXPECT_STREQ(result, "abc");
    freemorphtbl(nullptr);

    Tbl *list = newtbl(0);
    EXPECT_EQ(newmorphtbl(list, &table), 0);
    EXPECT_EQ(maxtbl(table), 0);
    freemorphtbl(table);
    freetbl(list, nullptr);
}

// ---- match_stachans and match_string -------------------------------------

TEST(MatchStachans, EntriesAreNumberedInListOrder) {
    struct Case {
        const char *list, *sta, *chan;
        int result;
    };
    const Case cases[] = {
        {"AAA:BH.,BBB", "BBB", "BHZ", 2},
        {"AAA:BH.,BBB", "BBB", "anything", 2},
        {"AAA:BH.,BBB", "AAA", "BHZ", 1},
        {"AAA:BH.,BBB", "AAA", "LHZ", 0},
        {"AAA:BH.,BBB", "AA", "BHZ", 0},  // anchored at both ends
        {"AAA:BH.,BBB", "AAAA", "BHZ", 0},
        {"AAA:BH.,BBB", "AAA", "BHZZ", 0},
        {"*", "X", "Y", 1},
        {" * ", "X", "Y", 1},
        {"", "X", "Y", 0},
        {" \t\n", "X", "Y", 0},
        {",,BBB", "BBB", "Y", 3},  // empty entries are counted
        {"CCC, ,\n,BBB", "BBB", "Y", 4},
        {"CCC,*", "X", "Y", 2},
        {"CCC,*,X", "X", "Y", 2},
        {"AAA:*", "AAA", "whatever", 1},
        {"*:BHZ", "any", "BHZ", 1},
        {"*:BHZ", "any", "BHN", 0},
        {"A.*:B.*", "ABC", "BHZ", 1},
        {"AAA :  BH Z", "AAA", "BHZ", 1},  // blanks are ignored anywhere
        {"AAA:", "AAA", "", 0},            // an empty channel expression matches nothing
        {":BHZ", "", "BHZ", 0},
        {"^AA,BB$", "AA", "x", 1},
        {"^AA,BB$", "BB", "x", 2},
        {"AAA|BBB", "BBB", "x", 1},
        {"AAA:BH.:x", "AAA", "BHZ:x", 1},  // the channel expression runs past a second ":"
        {"XXX,", "Q", "x", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(match_stachans(cs(c.list), cs(c.sta), cs(c.chan)), c.result)
            << "'" << c.list << "' " << c.sta << ":" << c.chan;
    EXPECT_EQ(match_stachans(nullptr, cs("X"), cs("Y")), 0);
}

TEST(MatchStachans, LongListsAndLongExpressions) {
    std::string list;
    for (int i = 0; i < 500; i++) list += "S" + std::to_string(i) + ":C" + std::to_string(i) + ",";
    EXPECT_EQ(match_stachans(cs(list), cs("S377"), cs("C377")), 378);
    EXPECT_EQ(match_stachans(cs(list), cs("S377"), cs("C376")), 0);
    // An expression far longer than 509 characters.
    std::string sta(2000, 'S');
    std::string longlist = "X," + sta + ":C";
    EXPECT_EQ(match_stachans(cs(longlist), cs(sta), cs("C")), 2);
    EXPECT_EQ(match_stachans(cs(longlist), cs(sta + "S"), cs("C")), 0);
}

TEST(MatchStachans, BadExpressionIsComplainedOfAndSkipped) {
    ChildResult r = in_child([] {
        out(std::to_string(match_stachans(cs("AA(,BB"), cs("BB"), cs("x"))));
    });
    EXPECT_EQ(r.out, "2");
    EXPECT_EQ(r.err, P + ": match_string: " + compile_error("^AA($") + ".\n");
}

TEST(MatchString, AnchoredWholeStringMatch) {
    struct Case {
        const char *expr, *string;
        int result;
    };
    const Case cases[] = {
        {"AB", "AB", 1},     {"AB", "ABC", 0},     {"AB", "XAB", 0},   {"A.", "AB", 1},
        {"^AB", "AB", 1},    {"^AB", "ABC", 0},    {"AB$", "XAB", 0},  {"^AB$", "AB", 1},
        {"*", "", 1},        {"*", "anything", 1}, {"", "", 0},        {"", "x", 0},
        {"B*", "", 1},       {"B*", "BBB", 1},     {"[A-Z]+", "ABC", 1}, {"[A-Z]+", "AbC", 0},
        // The anchors bind to the alternatives at the ends only.
        {"A|B", "AX", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(match_string(cs(c.expr), cs(c.string)), c.result) << c.expr << " ~ " << c.string;
    EXPECT_EQ(match_string(nullptr, cs("x")), 0);
}

TEST(MatchString, LongExpressions) {
    for (size_t len : {509u, 510u, 511u, 4000u}) {
        std::string expr(len, 'a');
        EXPECT_EQ(match_string(cs(expr), cs(expr)), 1) << len;
        EXPECT_EQ(match_string(cs(expr), cs(expr + "a")), 0) << len;
        expr.back() = '.';
        EXPECT_EQ(match_string(cs(expr), cs(std::string(len, 'a'))), 1) << len;
    }
}

TEST(MatchString, ExpressionThatDoesNotCompileIsComplainedOf) {
    ChildResult r = in_child([] { out(std::to_string(match_string(cs("(x"), cs("(x")))); });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, P + ": match_string: " + compile_error("^(x$") + ".\n");
}

// ---- patterns the engine would take too long over -----------------------

// Every way in which the library compiles a pattern refuses these at once
// (the engine would take minutes to hours over them), says why in the
// log, and fails as for a pattern that does not compile.
TEST(Patterns, CostlyPatternsAreRefusedAtOnceEverywhere) {
    for (const std::string &pattern : testsupport::costly_patterns()) {
        SCOPED_TRACE(pattern);
        ChildResult r = in_child([&pattern] {
            alarm(60);  // the engine itself would not be done for hours
            std::string results;
            auto note = [&results](int n) { results += std::to_string(n) + " "; };
            Hook *hook = nullptr;
            note(strmatches(cs("ab"), cs(pattern), &hook));
            note(strmatches(cs("ab"), cs(pattern), &hook));
            free_hook(&hook);
            note(strcontains(cs("ab"), cs(pattern), nullptr, nullptr, nullptr));
            Morph m({"/" + pattern + "/x/", "b c"});
            note(m.failed);
            note(maxtbl(m.table));
            note(match_string(cs(pattern), cs("ab")));
            Arr *arr = newarr(nullptr);
            setarr(arr, pattern.c_str(), nullptr);
            Tbl *list = strtbl(cs(pattern), nullptr);
            for (Tbl *found : {greparr(pattern.c_str(), arr), arrgrep(arr, "ab"),
                               greptbl(cs(pattern), list), tblgrep(list, cs("ab"))}) {
                note(maxtbl(found));
                freetbl(found, nullptr);
            }
            freetbl(list, nullptr);
            freearr(arr, nullptr);
            out(results + "\n" + testsupport::elog_register_text());
        });
        ASSERT_TRUE(r.exited && r.exit_code == 0) << r.err;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "-2 -1 -2 1 1 0 0 0 0 0 ");
        EXPECT_NE(r.out.find(P + ": '" + pattern + "' did not compile: pattern too complex ("),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.err.find("match_string: pattern too complex"), std::string::npos) << r.err;
    }
}

TEST(Patterns, OrdinaryPatternsStillMatch) {
    for (const auto &p : testsupport::ordinary_patterns()) {
        EXPECT_EQ(strmatches(cs(p.matches), cs(p.pattern), nullptr), 1) << p.pattern;
        EXPECT_EQ(strmatches(cs(p.misses), cs(p.pattern), nullptr), 0) << p.pattern;
        EXPECT_EQ(match_string(cs(p.pattern), cs(p.matches)), 1) << p.pattern;
    }
}

// ---- fixfstring ----------------------------------------------------------

TEST(Fixfstring, TrailingBlanksOfTheFieldAreRemoved) {
    struct Case {
        const char *s;
        int n;
        const char *result;
    };
    const Case cases[] = {
        {"abc     ", 8, "abc"},
        {"abc     ", 3, "abc"},
        {"abc     xyz", 8, "abc"},  // only n characters are looked at
        {"ab cd  x", 5, "ab cd"},
        {"  a  ", 5, "  a"},        // leading blanks stay
        {"        ", 8, ""},
        {"abc", 0, ""},
        {"abc", -3, ""},
        {"ab", 8, "ab"},            // a shorter string stops at its end
        {"ab  ", 8, "ab"},
        {"a\t", 2, "a\t"},          // only blanks are removed
        {"", 4, ""},
    };
    for (const Case &c : cases) {
        char *s = fixfstring(cs(c.s), c.n);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s, c.result) << "'" << c.s << "' " << c.n;
        std::free(s);
    }
    // A field that is not NUL-terminated.
    const char field[6] = {'S', 'T', 'A', ' ', ' ', ' '};
    char *s = fixfstring(const_cast<char *>(field), 6);
    EXPECT_STREQ(s, "STA");
    std::free(s);
}

// ---- running out of memory -----------------------------------------------

TEST(Patterns, GrowingPastTheMemoryLeftIsFatal) {
    if (testsupport::under_address_sanitizer()) GTEST_SKIP() << "exhausts memory on purpose";
    ChildResult r = testsupport::run_in_child([] {
        // 64 MiB of text times 8 copies: far beyond what the child has left.
        std::string old(std::size_t{64} << 20, 'q');
        regmatch_t m[10];
        for (regmatch_t &x : m) x.rm_so = x.rm_eo = -1;
        m[0].rm_so = 0;
        m[0].rm_eo = static_cast<regoff_t>(old.size());
        testsupport::leave_little_memory();
        char result[1];
        regsubstitute(cs(old), cs("$0$0$0$0$0$0$0$0"), m, result);
    });
    if (testsupport::memory_not_limited(r)) GTEST_SKIP() << "address space limit not honoured here";
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("bytes for result\n"), std::string::npos) << r.err;
}

}  // namespace
