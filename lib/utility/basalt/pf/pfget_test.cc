// Parameter-file lookups: pfget, pfeval, the typed getters, the die
// handler, sizes, keys and the expansion of "&name" references.
#include "pf.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "arrays.h"
#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "pf_fixture.h"
#include "scratch_dir.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::ScratchDir;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

const char *idx(int i) { return reinterpret_cast<const char *>(static_cast<intptr_t>(i)); }

class PfGet : public testsupport::PfScratchTest {};

// ---- Expansion ----

struct ExpandCase {
    const char *text;
    const char *name;
    const char *expected;
};

TEST_F(PfGet, ReferencesAreReplacedByTheValuesTheyName) {
    const ExpandCase cases[] = {
        {"a 1\nb x&{a}y\n", "b", "x1y"},
        {"a 1\nb x&a.y\n", "b", "x1.y"},
        {"b &nokey\n", "b", "&nokey"},
        {"b x&{nokey}y\n", "b", "x&{nokey}y"},
        {"a 1\nb x&a(1)\n", "b", "x&a(1)"},
        {"a 1\nb &a&a&{a}\n", "b", "111"},
        {"a 1\nb x&{a\n", "b", "x1"},
        {"b x&{nokey\n", "b", "x&{nokey"},
        {"b tail&\n", "b", "tail&"},
        {"a_1 u\nb &a_1-&a_\n", "b", "u-&a_"},
        {"top T\nouter &Arr{\ninner &{top}\n}\n", "outer{inner}", "T"},
        {"v top\nouter &Arr{\nv mid\ninner &Arr{\nx &v\n}\n}\n", "outer{inner}{x}", "mid"},
        {"v top\nouter &Arr{\ninner &Arr{\nx &v\n}\n}\n", "outer{inner}{x}", "top"},
        {"a &b\nb &c\nc deep\n", "a", "deep"},
        {"l &Tbl{\nx\n}\nb &l\n", "b", "&l"},
        {"top T\nlist &Tbl{\n&top\n}\n", "list[0]", "T"},
    };
    for (const ExpandCase &c : cases) {
        Pf *pf = compile(c.text);
        const char *got = pfget_string(pf, c.name);
        ASSERT_NE(got, nullptr) << c.text;
        EXPECT_STREQ(got, c.expected) << c.text;
    }
}

TEST_F(PfGet, TextsWithoutReferencesAreTheNodesOwn) {
    Pf *pf = compile("a plain text\n");
    Pf *node = static_cast<Pf *>(getarr(pf->value.arr, "a"));
    EXPECT_EQ(pfget_string(pf, "a"), node->value.s);
    EXPECT_EQ(node->filled_out, nullptr);
}

TEST_F(PfGet, ExpansionsBelongToTheNodeAndEarlierOnesStayValid) {
    Pf *pf = compile("a 1\nb x&{a}y\n");
    char *first = pfget_string(pf, "b");
    EXPECT_EQ(pfget_string(pf, "b"), first) << "an unchanged expansion is reused";
    Pf *b = static_cast<Pf *>(getarr(pf->value.arr, "b"));
    EXPECT_EQ(b->filled_out, first);
    ASSERT_EQ(pfset(pf, "a", "2"), 0);
    char *second = pfget_string(pf, "b");
    EXPECT_STREQ(second, "x2y");
    EXPECT_STREQ(first, "x1y");
    EXPECT_EQ(b->filled_out, second);
}

TEST_F(PfGet, SelfReferenceStopsAtTwentyLookups) {
    Pf *pf = compile("a x&a\n");
    char *first = pfget_string(pf, "a");
    EXPECT_EQ(std::string(first), std::string(21, 'x') + "** error ** pf massive recursion");
    // The count is back at zero afterwards; the texts of the nested
    // expansions are reused rather than piling up.
    for (int i = 0; i < 3; i++) EXPECT_EQ(pfget_string(pf, "a"), first);
    EXPECT_EQ(std::string(first), std::string(21, 'x') + "** error ** pf massive recursion");
}

TEST_F(PfGet, AValueReferringTwiceToItselfEndsWithinTheLookupBudget) {
    // Each level doubles the references: without a budget on the lookups
    // of one value, twenty levels make a million of them.
    Pf *pf = compile("a x&a&a\n");
    const std::string value = pfget_string(pf, "a");
    EXPECT_NE(value.find("** error ** pf massive recursion"), std::string::npos);
    EXPECT_LT(value.size(), std::size_t{1} << 20);
}

// Each thread counts its own lookups: a thread started while another is
// in the middle of a lookup still gets its twenty.
std::string *other_thread_result = nullptr;
Pf *other_thread_tree = nullptr;
char *answer_from_thread(char *) {
    std::thread t([] { *other_thread_result = pfget_string(other_thread_tree, "a"); });
    t.join();
    return strdup("answer");
}

TEST_F(PfGet, LookupsAreCountedPerThread) {
    Pf *outer = compile("b x&c\nc &ask(q)\n");
    Pf *self = compile("a x&a\n");
    std::string result;
    other_thread_result = &result;
    other_thread_tree = self;
    ASSERT_EQ(pfconfig("ask", reinterpret_cast<void *>(answer_from_thread)), 0);
    EXPECT_STREQ(pfget_string(outer, "b"), "xanswer");
    ASSERT_EQ(pfconfig("ask", nullptr), 0);
    EXPECT_EQ(result, std::string(21, 'x') + "** error ** pf massive recursion");
}

TEST_F(PfGet, PfexpandOfOtherKindsIsNull) {
    Pf *pf = compile("l &Tbl{\nx\n}\nf &env(HOME)\n");
    EXPECT_EQ(pfexpand(nullptr), nullptr);
    EXPECT_EQ(pfexpand(pf), nullptr);
    EXPECT_EQ(pfexpand(static_cast<Pf *>(getarr(pf->value.arr, "l"))), nullptr);
    // A function node gives its own text, expanded.
    Pf *f = static_cast<Pf *>(getarr(pf->value.arr, "f"));
    EXPECT_STREQ(pfexpand(f), "&env(HOME)");
    Pf *empty = pfnew(SCALAR_PF);
    EXPECT_EQ(pfexpand(empty), nullptr);
    pffree(empty);
}

TEST_F(PfGet, LongReferenceNamesAreCut) {
    std::string name(1023, 'k');
    Pf *pf = compile(name + " v\nb &{" + name + "z}\n");
    EXPECT_STREQ(pfget_string(pf, "b"), "v");
}

// ---- pfget and pfeval ----

TEST_F(PfGet, PfgetTakesOneStep) {
    Pf *pf = compile("a &{b}\nb 2\nl &Tbl{\nfirst\n&Arr{\n}\n}\n");
    void *v = nullptr;
    EXPECT_EQ(pfget(pf, "a", &v), SCALAR_PF);
    EXPECT_STREQ(static_cast<char *>(v), "2");
    EXPECT_EQ(pfget(pf, "l", &v), TABLE_PF);
    Pf *l = static_cast<Pf *>(v);
    EXPECT_EQ(pfget(l, idx(0), &v), SCALAR_PF);
    EXPECT_STREQ(static_cast<char *>(v), "first");
    EXPECT_EQ(pfget(l, idx(1), &v), ARRAY_PF);
    EXPECT_EQ(pfget(l, idx(2), &v), INVALID_PF);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(pfget(pf, "l[0]", &v), INVALID_PF) << "no path syntax";
    EXPECT_EQ(pfget(pf, "none", &v), INVALID_PF);
    EXPECT_EQ(pfget(nullptr, "a", &v), INVALID_PF);
    // A scalar stands for itself.
    Pf *b = static_cast<Pf *>(getarr(pf->value.arr, "b"));
    EXPECT_EQ(pfget(b, "anything", &v), SCALAR_PF);
    EXPECT_STREQ(static_cast<char *>(v), "2");
}

TEST_F(PfGet, PfevalResolvesPaths) {
    Pf *pf = compile("a &Arr{\nb x&{c}\nc 3\n}\nl &Tbl{\n}\n");
    char *v = reinterpret_cast<char *>(1);
    EXPECT_EQ(pfeval(pf, "a{b}", &v), 0);
    EXPECT_STREQ(v, "x3");
    EXPECT_EQ(pfeval(pf, "", &v), 0);
    EXPECT_EQ(v, nullptr);
    v = reinterpret_cast<char *>(1);
    EXPECT_EQ(pfeval(pf, "l", &v), -1);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(pfeval(pf, "a{none}", &v), -1);
    EXPECT_EQ(pfeval(pf, "a", &v), -1);
}

// ---- Typed getters ----

TEST_F(PfGet, AbsentValuesWithoutHandlerCalls) {
    Pf *pf = compile("a 1\ns scalar\n");
    EXPECT_EQ(pfget_string(pf, "none"), nullptr);
    EXPECT_EQ(pfget_boolean(pf, "none"), 0);
    EXPECT_EQ(pfget_tbl(pf, "none"), nullptr);
    EXPECT_EQ(pfget_arr(pf, "none"), nullptr);
    // A step into a scalar finds nothing either.
    EXPECT_EQ(pfget_string(pf, "s{x}"), nullptr);
    EXPECT_EQ(pfget_string(pf, "s[1]"), nullptr);
    EXPECT_EQ(pfget_string(nullptr, "a"), nullptr);
}

struct IntCase {
    const char *text;
    int value;
    bool complains;
};

TEST_F(PfGet, IntegersAndTheirComplaints) {
    const IntCase cases[] = {
        {"12 ", 12, false},  {"12x", 12, true},     {"x", 0, true},
        {" -7", -7, false},  {"+5", 5, false},      {"0", 0, false},
        {"3.5", 3, true},    {"99999999999", INT_MAX, false},
        {"-99999999999", INT_MIN, false},
    };
    for (const IntCase &c : cases) {
        ChildResult r = in_child([&] {
            Pf *pf = nullptr;
            pfcompile((std::string("n ") + c.text + "\n").c_str(), &pf);
            out(std::to_string(pfget_int(pf, "n")));
        });
        EXPECT_EQ(r.out, std::to_string(c.value)) << c.text;
        std::string complaint =
            c.complains ? P() + ": Bad integer value '" + c.text + "' for n\n" : "";
        // The parser trims the value; the complaint shows what was looked up.
        if (c.complains && c.text[0] == ' ') complaint = "";
        EXPECT_EQ(r.err, complaint) << c.text;
    }
}

TEST_F(PfGet, ComplaintsNameListElementsByIndex) {
    ChildResult r = in_child([] {
        Pf *pf = nullptr;
        pfcompile("l &Tbl{\n12x\nmaybe\n}\n", &pf);
        Pf *l = static_cast<Pf *>(getarr(pf->value.arr, "l"));
        int n = pfget_int(l, idx(0));
        int b = pfget_boolean(l, idx(1));
        out(std::to_string(n) + " " + std::to_string(b));
    });
    EXPECT_EQ(r.out, "12 0");
    EXPECT_EQ(r.err, P() + ": Bad integer value '12x' for #0\n" + P() +
                         ": Bad boolean value 'maybe' for #1\n");
}

TEST_F(PfGet, EmptyIntegerTextComplains) {
    ChildResult r = in_child([] {
        Pf *pf = nullptr;
        pfcompile("n\n", &pf);
        out(std::to_string(pfget_int(pf, "n")));
    });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, P() + ": Bad integer value '' for n\n");
}

struct DoubleCase {
    const char *text;
    double value;
    bool complains;
};

TEST_F(PfGet, DoublesAndTheirComplaints) {
    const DoubleCase cases[] = {
        {"1.5", 1.5, false},    {"-2e3", -2000, false}, {"7", 7, false},
        {"1.5 x", 1.5, true},   {"abc", 0, true},       {"Inf", HUGE_VAL, false},
        {"-Inf", -HUGE_VAL, false},
    };
    for (const DoubleCase &c : cases) {
        ChildResult r = in_child([&] {
            Pf *pf = nullptr;
            pfcompile((std::string("d ") + c.text + "\n").c_str(), &pf);
            double v = pfget_double(pf, "d");
            out(v == c.value ? "same" : std::to_string(v));
        });
        EXPECT_EQ(r.out, "same") << c.text;
        EXPECT_EQ(r.err, c.complains ? P() + ": Bad floating point value '" +
                                           c.text + "' for d\n"
                                     : "")
            << c.text;
    }
    Pf *pf = compile("d NaN\n");
    EXPECT_TRUE(std::isnan(pfget_double(pf, "d")));
}

TEST_F(PfGet, Sizes) {
    const struct {
        const char *text;
        double value;
    } cases[] = {
        {"2k", 2048},    {"1.5M", 1572864}, {"3K", 3},       {"1G", 1073741824},
        {"512", 512},    {"", 0},           {"7x", 7},       {"k", 0},
        {"0.5k", 512},   {"2m", 2},         {"4kk", 4096},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(sz2dbl(c.text), c.value) << c.text;
        Pf *pf = compile(std::string("s ") + c.text + "\n");
        EXPECT_EQ(pfget_size(pf, "s"), c.value) << c.text;
    }
    EXPECT_EQ(sz2dbl(nullptr), 0);
}

TEST_F(PfGet, Booleans) {
    const struct {
        const char *text;
        int value;
        bool complains;
    } cases[] = {
        {"yes", -1, false}, {"on", -1, false},   {"True", -1, false}, {"1", -1, false},
        {"off", 0, false},  {"no", 0, false},    {"f", 0, false},     {"maybe", 0, true},
        {"2", 0, true},
    };
    for (const auto &c : cases) {
        ChildResult r = in_child([&] {
            Pf *pf = nullptr;
            pfcompile((std::string("b ") + c.text + "\n").c_str(), &pf);
            out(std::to_string(pfget_boolean(pf, "b")));
        });
        EXPECT_EQ(r.out, std::to_string(c.value)) << c.text;
        EXPECT_EQ(r.err, c.complains ? P() + ": Bad boolean value '" + c.text +
                                           "' for b\n"
                                     : "")
            << c.text;
    }
}

TEST_F(PfGet, ListsGiveTextsAndNodes) {
    Pf *pf = compile("x X\nl &Tbl{\na\n&x\n&Tbl{\nq\n}\n\n}\n");
    Tbl *t = pfget_tbl(pf, "l");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(maxtbl(t), 4);
    EXPECT_STREQ(static_cast<char *>(gettbl(t, 0)), "a");
    EXPECT_STREQ(static_cast<char *>(gettbl(t, 1)), "X");
    EXPECT_EQ(static_cast<Pf *>(gettbl(t, 2))->type, TABLE_PF);
    EXPECT_STREQ(static_cast<char *>(gettbl(t, 3)), "");
    freetbl(t, nullptr);
    EXPECT_EQ(pfmaxtbl(static_cast<Pf *>(getarr(pf->value.arr, "l"))), 4);
    EXPECT_EQ(pfmaxtbl(pf), 0);
    EXPECT_EQ(pfmaxtbl(nullptr), 0);
}

TEST_F(PfGet, ArraysKeepTheirScalarsOnly) {
    Pf *pf = compile("v V\na &Arr{\na 1\nb &Tbl{\nx\n}\nc &v\nd &Arr{\n}\n}\n");
    Arr *arr = pfget_arr(pf, "a");
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(cntarr(arr), 2);
    EXPECT_STREQ(static_cast<char *>(getarr(arr, "a")), "1");
    EXPECT_STREQ(static_cast<char *>(getarr(arr, "c")), "V");
    EXPECT_EQ(getarr(arr, "b"), nullptr);
    freearr(arr, nullptr);
    // An array node with an empty name is the array itself.
    Pf *a = static_cast<Pf *>(getarr(pf->value.arr, "a"));
    arr = pfget_arr(a, "");
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(cntarr(arr), 2);
    freearr(arr, nullptr);
    arr = pfget_arr(a, nullptr);
    ASSERT_NE(arr, nullptr);
    freearr(arr, nullptr);
}

TEST_F(PfGet, KeysInOrder) {
    Pf *pf = compile("b 1\na 2\nc &Arr{\nz 1\n}\n");
    Tbl *keys = pfkeys(pf);
    ASSERT_NE(keys, nullptr);
    ASSERT_EQ(maxtbl(keys), 3);
    EXPECT_STREQ(static_cast<char *>(gettbl(keys, 0)), "a");
    EXPECT_STREQ(static_cast<char *>(gettbl(keys, 2)), "c");
    freetbl(keys, nullptr);
    EXPECT_EQ(pfkeys(static_cast<Pf *>(getarr(pf->value.arr, "b"))), nullptr);
    EXPECT_EQ(pfkeys(nullptr), nullptr);
}

// ---- The die handler ----

struct DieCase {
    const char *what;
    std::function<void(Pf *)> call;
    std::string message;
};

TEST_F(PfGet, DefaultDieHandlerEndsTheProgram) {
    const std::string text = "s 1\nl &Tbl{\nx\n}\na &Arr{\n}\n";
    const DieCase cases[] = {
        {"int absent", [](Pf *pf) { pfget_int(pf, "n"); },
         "program needs value for 'n', not found in parameter file 'test.pf'"},
        {"double absent", [](Pf *pf) { pfget_double(pf, "a{d}"); },
         "program needs value for 'a{d}', not found in parameter file 'test.pf'"},
        {"size absent", [](Pf *pf) { pfget_size(pf, "z"); },
         "program needs value for 'z', not found in parameter file 'test.pf'"},
        {"string of a list", [](Pf *pf) { pfget_string(pf, "l"); },
         "wrong parameter type for 'l' : expected scalar but got table in 'test.pf'"},
        {"int of an array", [](Pf *pf) { pfget_int(pf, "a"); },
         "wrong parameter type for 'a' : expected scalar but got array in 'test.pf'"},
        {"boolean of a list", [](Pf *pf) { pfget_boolean(pf, "l"); },
         "wrong parameter type for 'l' : expected scalar but got table in 'test.pf'"},
        {"list of a scalar", [](Pf *pf) { pfget_tbl(pf, "s"); },
         "wrong parameter type for 's' : expected table but got scalar in 'test.pf'"},
        {"array of a list", [](Pf *pf) { pfget_arr(pf, "l"); },
         "wrong parameter type for 'l' : expected array but got table in 'test.pf'"},
        {"element of a list", [](Pf *pf) {
             pfget_int(static_cast<Pf *>(getarr(pf->value.arr, "l")), idx(4));
         },
         "wrong parameter type for #4 : expected scalar but got invalid in ''"},
        {"list element of wrong kind", [](Pf *pf) {
             Pf *l = static_cast<Pf *>(getarr(pf->value.arr, "l"));
             pfget_tbl(l, idx(0));
         },
         "wrong parameter type for #0 : expected table but got scalar in ''"},
        {"no tree", [](Pf *) { pfget_int(nullptr, "n"); },
         "program needs value for 'n', not found in parameter file ''"},
    };
    for (const DieCase &c : cases) {
        ChildResult r = in_child([&] {
            Pf *pf = nullptr;
            pfcompile(text.c_str(), &pf);
            pf->filename = const_cast<char *>("test.pf");
            c.call(pf);
            out("returned");
        });
        ASSERT_TRUE(r.exited) << c.what;
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err, P() + " *fatal*: " + c.message + "\n") << c.what;
    }
}

TEST_F(PfGet, DefaultHandlerNamesAMissingFileNameAsEmpty) {
    ChildResult r = in_child([] {
        Pf *pf = nullptr;
        pfcompile("x 1\n", &pf);
        pfget_int(pf, "y");
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, P() + " *fatal*: program needs value for 'y', not found in parameter file ''\n");
}

// A handler that records its calls and supplies values.
struct Call {
    Pf *pf;
    std::string name;
    int expected;
    int got;
};
std::vector<Call> calls;
Pf *replacement = nullptr;
void recording_handler(Pf *pf, char *name, int expected, int got, void *val) {
    calls.push_back({pf, name ? name : "", expected, got});
    if (got == INVALID_PF && expected == SCALAR_PF && replacement == nullptr) {
        *static_cast<int *>(val) = 42;
    } else if (replacement != nullptr) {
        *static_cast<Pf **>(val) = replacement;
    }
}

TEST_F(PfGet, InstalledDieHandlerMaySupplyValues) {
    Pf *pf = compile("l &Tbl{\nx\n}\n");
    calls.clear();
    replacement = nullptr;
    ASSERT_EQ(pfconfig("die", reinterpret_cast<void *>(recording_handler)), 0);
    EXPECT_EQ(pfget_int(pf, "missing"), 42);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].pf, pf);
    EXPECT_EQ(calls[0].name, "missing");
    EXPECT_EQ(calls[0].expected, SCALAR_PF);
    EXPECT_EQ(calls[0].got, INVALID_PF);

    // A wrong kind: the handler puts a scalar in place of the list.
    Pf *scalar = compile("v 17\n");
    replacement = static_cast<Pf *>(getarr(scalar->value.arr, "v"));
    calls.clear();
    EXPECT_EQ(pfget_int(pf, "l"), 17);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].expected, SCALAR_PF);
    EXPECT_EQ(calls[0].got, TABLE_PF);
    // A handler that leaves the wrong kind: the getters go on with it.
    calls.clear();
    replacement = static_cast<Pf *>(getarr(pf->value.arr, "l"));
    EXPECT_EQ(pfget_arr(pf, "l"), nullptr);
    EXPECT_EQ(pfget_string(pf, "l"), nullptr);
    EXPECT_EQ(calls.size(), 2u);
    // The top of a parsed tree is a file node, not an array: asking it for
    // an array with an empty name is a wrong kind.
    calls.clear();
    replacement = nullptr;
    EXPECT_EQ(pfget_arr(pf, ""), nullptr);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].expected, ARRAY_PF);
    EXPECT_EQ(calls[0].got, FILE_PF);
    ASSERT_EQ(pfconfig("die", nullptr), 0);
}

TEST_F(PfGet, PfconfigRejectsUnknownCodes) {
    ChildResult r = in_child([] {
        int rc = pfconfig("fly", nullptr);
        out(std::to_string(rc) + "|" + testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "-1|" + P() + ": pfconfig: unrecognized code 'fly'\n");
}

TEST_F(PfGet, ConcurrentLookupsInSeparateTrees) {
    constexpr int kThreads = 4;
    std::vector<Pf *> trees;
    for (int i = 0; i < kThreads; i++)
        trees.push_back(compile("a " + std::to_string(i) + "\nb &Arr{\nc x&{a}\n}\n"));
    std::vector<std::thread> threads;
    std::vector<int> bad(kThreads, 0);
    for (int i = 0; i < kThreads; i++) {
        threads.emplace_back([&, i] {
            std::string want = "x" + std::to_string(i);
            for (int n = 0; n < 500; n++) {
                char *v = pfget_string(trees[static_cast<std::size_t>(i)], "b{c}");
                if (v == nullptr || want != v) bad[static_cast<std::size_t>(i)]++;
            }
        });
    }
    for (auto &t : threads) t.join();
    for (int i = 0; i < kThreads; i++) EXPECT_EQ(bad[static_cast<std::size_t>(i)], 0);
}

}  // namespace
