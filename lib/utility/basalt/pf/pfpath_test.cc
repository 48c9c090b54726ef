// Parameter-file path expressions and editing: pfresolve, pfset, pfput and
// its typed forms, pfdel, pfvalue, pfadd_arr and pfadd_tbl.
#include "pf.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "arrays.h"
#include "child.h"
#include "elog_capture.h"
#include "pf_fixture.h"
#include "scratch_dir.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

const char *idx(int i) { return reinterpret_cast<const char *>(static_cast<intptr_t>(i)); }

Pf *child(Pf *pf, const char *key) { return static_cast<Pf *>(getarr(pf->value.arr, key)); }
Pf *element(Pf *pf, int i) { return static_cast<Pf *>(gettbl(pf->value.tbl, i)); }

class PfPath : public testsupport::PfScratchTest {
  protected:
    Pf *empty() { return keep(pfnew(FILE_PF)); }
};

// ---- Resolution ----

struct ResolveCase {
    const char *path;
    int kind;
    const char *text;  // the scalar found, when kind is SCALAR_PF
};

TEST_F(PfPath, ResolvesPathExpressions) {
    Pf *pf = compile(
        "a &Arr{\n"
        "b 1\n"
        "list &Tbl{\n"
        "zero\n"
        "&Arr{\n"
        "k deep\n"
        "}\n"
        "}\n"
        "}\n"
        "s text\n"
        "\"x\ty\" tabbed\n");
    const ResolveCase cases[] = {
        {"a", ARRAY_PF, nullptr},
        {"a{b}", SCALAR_PF, "1"},
        {"a{ b }", SCALAR_PF, "1"},
        {"{a}", ARRAY_PF, nullptr},
        {"{a}{b}", SCALAR_PF, "1"},
        {"a{list}[0]", SCALAR_PF, "zero"},
        {"a{list}[000]", SCALAR_PF, "zero"},
        {"a{list}[1]{k}", SCALAR_PF, "deep"},
        {"a{list} [1] {k}", SCALAR_PF, "deep"},
        {"  a{b}", -31, nullptr},  // the name is "  a"
        {"a{b}  ", SCALAR_PF, "1"},
        {"s", SCALAR_PF, "text"},
        {"x\ty", SCALAR_PF, "tabbed"},
        {"a{\tb}", -31, nullptr},  // tabs stay in keys
        {"a{b", SCALAR_PF, "1"},  // "{" begins no key step; "b" is a name in a
        {"s{x}", -32, nullptr},
        {"s[0]", -32, nullptr},
        {"a[0]", -32, nullptr},
        {"a{list}{k}", -32, nullptr},
        {"a{none}", -31, nullptr},
        {"none", -31, nullptr},
        {"a{list}[2]", -31, nullptr},
        {"a{list}[-1]", -31, nullptr},
        {"a{list}[99999999999999]", -31, nullptr},
        {"a{list}x", -31, nullptr},  // a name in a list finds nothing
        {"s x", -31, nullptr},
    };
    for (const ResolveCase &c : cases) {
        Pf *found = reinterpret_cast<Pf *>(1);
        int kind = pfresolve(pf, c.path, 0, &found);
        EXPECT_EQ(kind, c.kind) << c.path;
        if (c.kind < 0) {
            EXPECT_EQ(found, nullptr) << c.path;
            continue;
        }
        ASSERT_NE(found, nullptr) << c.path;
        EXPECT_EQ(found->type, c.kind) << c.path;
        if (c.text) {
            EXPECT_STREQ(found->value.s, c.text) << c.path;
        }
    }
}

TEST_F(PfPath, BlankBelongsToTheName) {
    Pf *pf = compile("\"a \" &Tbl{\nfirst\nsecond\n}\na &Tbl{\nother\n}\n");
    Pf *found = nullptr;
    EXPECT_EQ(pfresolve(pf, "a [1]", 0, &found), SCALAR_PF);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->value.s, "second");
    EXPECT_EQ(pfresolve(pf, "a[0]", 0, &found), SCALAR_PF);
    EXPECT_STREQ(found->value.s, "other");
}

TEST_F(PfPath, EmptyPathIsTheRoot) {
    Pf *pf = compile("a 1\n");
    for (const char *path : {"", "   ", "{}", "{ }", "}{", "\t"}) {
        Pf *found = nullptr;
        EXPECT_EQ(pfresolve(pf, path, 0, &found), FILE_PF) << path;
        EXPECT_EQ(found, pf) << path;
    }
    Pf *found = nullptr;
    EXPECT_EQ(pfresolve(pf, nullptr, 0, &found), FILE_PF);
    EXPECT_EQ(pfresolve(nullptr, "a", 0, &found), -1);
    EXPECT_EQ(found, nullptr);
}

TEST_F(PfPath, ListRootsTakeAnIndex) {
    Pf *pf = compile("l &Tbl{\nx\ny\n}\n");
    Pf *l = child(pf, "l");
    Pf *found = nullptr;
    EXPECT_EQ(pfresolve(l, idx(1), 0, &found), SCALAR_PF);
    EXPECT_STREQ(found->value.s, "y");
    EXPECT_EQ(pfresolve(l, idx(2), 0, &found), -32);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(pfresolve(l, idx(2), 1, &found), -32) << "never created";
    EXPECT_EQ(pfmaxtbl(l), 2);
}

TEST_F(PfPath, UnmatchedBracketsGoToStandardError) {
    ChildResult r = in_child([] {
        Pf *pf = nullptr;
        pfcompile("a &Tbl{\nx\n}\nb 2\n", &pf);
        Pf *found = nullptr;
        int k1 = pfresolve(pf, "a]", 0, &found);
        int k2 = pfresolve(pf, "[b", 0, &found);
        int k3 = pfresolve(pf, "a[x]", 0, &found);
        out(std::to_string(k1) + " " + std::to_string(k2) + " " + std::to_string(k3));
    });
    EXPECT_EQ(r.out, "2 1 -31");
    // The third walk fails at the name "x", before its "]".
    EXPECT_EQ(r.err, "unmatched char ']'\nunmatched char '['\nunmatched char '['\n");
}

TEST_F(PfPath, LongKeysAreHandled) {
    std::string key(600, 'k');
    Pf *pf = compile("a &Arr{\n" + key + " long\n}\n");
    Pf *found = nullptr;
    EXPECT_EQ(pfresolve(pf, ("a{" + key + "}").c_str(), 0, &found), SCALAR_PF);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->value.s, "long");
    Pf *e = empty();
    EXPECT_EQ(pfset(e, ("x{" + key + "}").c_str(), "v"), 0);
    EXPECT_STREQ(pfget_string(e, ("x{" + key + "}").c_str()), "v");
}

TEST_F(PfPath, FunctionNodesEndTheWalk) {
    setenv("PFPATH_TEST_VALUE", "evaluated", 1);
    Pf *pf = compile("f &env(PFPATH_TEST_VALUE)\n");
    for (const char *path : {"f", "f{x}", "f[3]", "f{x}[1]{y}"}) {
        Pf *found = nullptr;
        EXPECT_EQ(pfresolve(pf, path, 0, &found), FUNCTION_PF) << path;
        ASSERT_NE(found, nullptr) << path;
        EXPECT_EQ(found->type, SCALAR_PF);
        EXPECT_STREQ(found->value.s, "evaluated");
    }
    Pf *f = child(pf, "f");
    Pf *self = nullptr;
    pfvalue(f, "anything", &self);
    EXPECT_EQ(self, f);
    unsetenv("PFPATH_TEST_VALUE");
}

// ---- pfset ----

TEST_F(PfPath, SetMakesWhatIsMissing) {
    Pf *pf = empty();
    ASSERT_EQ(pfset(pf, "a{b}[2]", "x"), 0);
    Pf *a = child(pf, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->type, ARRAY_PF);
    Pf *b = child(a, "b");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->type, TABLE_PF);
    EXPECT_EQ(maxtbl(b->value.tbl), 3);
    EXPECT_EQ(element(b, 0), nullptr);
    EXPECT_EQ(element(b, 1), nullptr);
    ASSERT_NE(element(b, 2), nullptr);
    EXPECT_EQ(element(b, 2)->type, SCALAR_PF);
    EXPECT_EQ(a->parent, pf);
    EXPECT_EQ(b->parent, a);
    EXPECT_EQ(element(b, 2)->parent, b);
    Pf *found = nullptr;
    EXPECT_EQ(pfresolve(pf, "a{b}[2]", 0, &found), SCALAR_PF);
    EXPECT_STREQ(found->value.s, "x");
}

TEST_F(PfPath, SetReplacesWhatWasThere) {
    Pf *pf = compile("s old\nl &Tbl{\na\nb\n}\nt &Arr{\nk v\n}\nf &env(HOME)\n");
    ASSERT_EQ(pfset(pf, "s", "new"), 0);
    ASSERT_EQ(pfset(pf, "s", "newer"), 0);
    EXPECT_STREQ(pfget_string(pf, "s"), "newer");
    ASSERT_EQ(pfset(pf, "l[1]", "B"), 0);
    EXPECT_STREQ(pfget_string(pf, "l[1]"), "B");
    EXPECT_EQ(pfmaxtbl(child(pf, "l")), 2);
    ASSERT_EQ(pfset(pf, "t", "flat"), 0);  // an array replaced whole
    EXPECT_STREQ(pfget_string(pf, "t"), "flat");
    ASSERT_EQ(pfset(pf, "f{x}", "plain"), 0);  // the function itself is replaced
    EXPECT_EQ(child(pf, "f")->type, SCALAR_PF);
    EXPECT_STREQ(pfget_string(pf, "f"), "plain");
    ASSERT_EQ(pfset(pf, "n", nullptr), 0);
    EXPECT_EQ(child(pf, "n")->type, SCALAR_PF);
    EXPECT_EQ(child(pf, "n")->value.s, nullptr);
}

TEST_F(PfPath, SetRefusesWhatCannotBeMade) {
    Pf *pf = empty();
    // A name step after a placeholder that the path made.
    EXPECT_EQ(pfset(pf, "a{b}c", "x"), -1);
    Pf *a = child(pf, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->type, ARRAY_PF);
    EXPECT_EQ(child(a, "b")->type, ANY_PF) << "placeholders stay";
    // The root cannot be replaced.
    EXPECT_EQ(pfset(pf, "", "x"), -1);
    EXPECT_EQ(pfset(nullptr, "a", "x"), -1);
    // A negative index names no element.
    EXPECT_EQ(pfset(pf, "l[-1]", "x"), -1);
    // A key step into a list.
    Pf *t = compile("l &Tbl{\nx\n}\n");
    EXPECT_EQ(pfset(t, "l{k}", "x"), -1);
    // An element of a list root is never created.
    EXPECT_EQ(pfset(child(t, "l"), idx(3), "x"), -1);
    EXPECT_EQ(pfset(child(t, "l"), idx(0), "X"), 0);
    EXPECT_STREQ(pfget_string(t, "l[0]"), "X");
}

TEST_F(PfPath, SetAfterAStepTheNodeCannotHold) {
    // A name below a scalar: the walk stops at the scalar, which is replaced.
    Pf *pf = compile("s old\n");
    EXPECT_EQ(pfset(pf, "s x", "new"), 0);
    EXPECT_STREQ(pfget_string(pf, "s"), "old") << "\"s x\" is one name";
    Pf *q = compile("a &Arr{\ns old\n}\n");
    EXPECT_EQ(pfset(q, "a{s}t", "new"), 0);
    EXPECT_STREQ(pfget_string(q, "a{s}"), "new");
}

// ---- pfput and friends ----

TEST_F(PfPath, TypedPuts) {
    Pf *pf = empty();
    pfput_boolean(pf, "flag", 5);
    pfput_boolean(pf, "off", 0);
    pfput_int(pf, "n", -3);
    pfput_double(pf, "d", 1.5);
    pfput_double(pf, "big", 2.5e12);
    pfput_string(pf, "s", "text");
    EXPECT_STREQ(pfget_string(pf, "flag"), "True");
    EXPECT_STREQ(pfget_string(pf, "off"), "False");
    EXPECT_STREQ(pfget_string(pf, "n"), "-3");
    EXPECT_STREQ(pfget_string(pf, "d"), "1.5");
    EXPECT_STREQ(pfget_string(pf, "big"), "2.5e12");
    EXPECT_STREQ(pfget_string(pf, "s"), "text");
    EXPECT_EQ(child(pf, "s")->parent, pf);
}

TEST_F(PfPath, PutListsAndArraysOfTexts) {
    Pf *pf = empty();
    Tbl *t = strtbl(const_cast<char *>("x"), const_cast<char *>("y"), nullptr);
    pushtbl(t, nullptr);
    pfput_tbl(pf, "list", t);
    freetbl(t, nullptr);
    Pf *list = child(pf, "list");
    ASSERT_EQ(list->type, TABLE_PF);
    ASSERT_EQ(pfmaxtbl(list), 3);
    EXPECT_STREQ(element(list, 1)->value.s, "y");
    EXPECT_EQ(element(list, 2)->type, SCALAR_PF);
    EXPECT_EQ(element(list, 2)->value.s, nullptr);
    EXPECT_EQ(element(list, 0)->parent, list);

    Arr *a = newarr(nullptr);
    setarr(a, "k", const_cast<char *>("v"));
    setarr(a, "none", nullptr);
    pfput_arr(pf, "arr", a);
    freearr(a, nullptr);
    Pf *arr = child(pf, "arr");
    ASSERT_EQ(arr->type, ARRAY_PF);
    EXPECT_STREQ(child(arr, "k")->value.s, "v");
    EXPECT_EQ(child(arr, "none")->value.s, nullptr);
    EXPECT_STREQ(pfget_string(pf, "arr{k}"), "v");
    pfput_tbl(pf, "empty", nullptr);
    EXPECT_EQ(pfmaxtbl(child(pf, "empty")), 0);
}

TEST_F(PfPath, PutReplacesAndDelRemoves) {
    Pf *pf = compile("k old\n");
    Tbl *t = newtbl(0);
    Pf *e = pfnew(SCALAR_PF);
    e->value.s = strdup("element");
    pushtbl(t, e);
    pfput(pf, "k", t, TABLE_PF);
    Pf *k = child(pf, "k");
    ASSERT_EQ(k->type, TABLE_PF);
    EXPECT_EQ(k->value.tbl, t);
    Pf *removed = pfdel(pf, "k");
    EXPECT_EQ(removed, k);
    EXPECT_EQ(removed->parent, nullptr);
    EXPECT_EQ(child(pf, "k"), nullptr);
    EXPECT_EQ(pfdel(pf, "k"), nullptr);
    pffree(removed);
    EXPECT_EQ(pfdel(nullptr, "k"), nullptr);
}

TEST_F(PfPath, PutKinds) {
    Pf *pf = empty();
    pfput(pf, "f", const_cast<char *>("&env(HOME)"), FUNCTION_PF);
    Pf *f = child(pf, "f");
    ASSERT_EQ(f->type, FUNCTION_PF);
    EXPECT_STREQ(f->value.pffunct->s, "&env(HOME)");
    EXPECT_EQ(f->value.pffunct->hook, nullptr);
    pfput(pf, "g", const_cast<char *>("&env(PFPATH_TEST_PUT)"), FUNCTION_PF);
    setenv("PFPATH_TEST_PUT", "/home/somebody", 1);
    EXPECT_STREQ(pfget_string(pf, "g"), "/home/somebody");
    unsetenv("PFPATH_TEST_PUT");

    Arr *a = newarr(nullptr);
    pfput(pf, "file", a, FILE_PF);
    EXPECT_EQ(child(pf, "file")->type, FILE_PF);
    pfput(pf, "array", newarr(nullptr), ARRAY_PF);
    EXPECT_EQ(child(pf, "array")->type, ARRAY_PF);

    Pf *ready = nullptr;
    pfcompile("x 1\n", &ready);
    pfput(pf, "ready", ready, 8);
    EXPECT_EQ(child(pf, "ready"), ready);
    EXPECT_EQ(ready->type, ARRAY_PF);
    EXPECT_STREQ(pfget_string(pf, "ready{x}"), "1");
}

TEST_F(PfPath, KeyStepsEnterFileNodesToo) {
    Pf *pf = empty();
    Pf *inner = nullptr;
    pfcompile("k v\n", &inner);
    Arr *arr = inner->value.arr;
    inner->value.arr = newarr(nullptr);
    pffree(inner);
    pfput(pf, "f", arr, FILE_PF);
    Pf *found = nullptr;
    EXPECT_EQ(pfresolve(pf, "f{k}", 0, &found), SCALAR_PF);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->value.s, "v");
}

TEST_F(PfPath, PutIntoLists) {
    Pf *pf = compile("l &Tbl{\na\nb\nc\n}\n");
    Pf *l = child(pf, "l");
    pfput_string(l, idx(1), "B");
    EXPECT_STREQ(element(l, 1)->value.s, "B");
    pfput_int(l, idx(4), 9);
    EXPECT_EQ(pfmaxtbl(l), 5);
    EXPECT_EQ(element(l, 3), nullptr);
    Pf *removed = pfdel(l, idx(0));
    ASSERT_NE(removed, nullptr);
    EXPECT_STREQ(removed->value.s, "a");
    pffree(removed);
    EXPECT_EQ(pfmaxtbl(l), 4);
    EXPECT_STREQ(element(l, 0)->value.s, "B");
    EXPECT_EQ(pfdel(l, idx(10)), nullptr);
    EXPECT_EQ(pfdel(l, idx(-1)), nullptr);
}

TEST_F(PfPath, PutIntoTheWrongNodeEndsTheProgram) {
    const struct {
        const char *what;
        void (*call)(Pf *);
        std::string message;
    } cases[] = {
        {"scalar", [](Pf *pf) { pfput_string(static_cast<Pf *>(getarr(pf->value.arr, "s")), "k", "v"); },
         "Bad pf pointer in pfput.\n"},
        {"null", [](Pf *) { pfput_int(nullptr, "k", 1); }, "Bad pf pointer in pfput.\n"},
        {"type", [](Pf *pf) { pfput(pf, "k", nullptr, 9); }, "Bad type in pfput : 9\n"},
        {"type 4", [](Pf *pf) { pfput(pf, "k", nullptr, 4); }, "Bad type in pfput : 4\n"},
        {"placeholder", [](Pf *) {
             Pf *any = pfnew(ANY_PF);
             Pf *found = nullptr;
             pfvalue(any, "k", &found);
         },
         "invalid pf type = 6\n"},
    };
    for (const auto &c : cases) {
        ChildResult r = in_child([&] {
            Pf *pf = nullptr;
            pfcompile("s 1\n", &pf);
            c.call(pf);
            out("returned");
        });
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err, P() + " *fatal*: " + c.message) << c.what;
    }
}

TEST_F(PfPath, ValueSteps) {
    Pf *pf = compile("s x\nl &Tbl{\na\n}\n");
    Pf *found = reinterpret_cast<Pf *>(1);
    pfvalue(pf, "s", &found);
    ASSERT_NE(found, nullptr);
    pfvalue(found, "s", &found);
    EXPECT_EQ(found, nullptr) << "a scalar gives nothing";
    pfvalue(child(pf, "l"), idx(0), &found);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->value.s, "a");
    pfvalue(nullptr, "s", &found);
    EXPECT_EQ(found, nullptr);
}

TEST_F(PfPath, AddingPlaceholders) {
    Pf *any = pfnew(ANY_PF);
    EXPECT_EQ(pfadd_arr(any, "k"), 0);
    EXPECT_EQ(any->type, ARRAY_PF);
    EXPECT_EQ(child(any, "k")->type, ANY_PF);
    EXPECT_EQ(pfadd_tbl(any, 0), -1);
    pfset(any, "k", "v");  // fills the placeholder
    EXPECT_STREQ(child(any, "k")->value.s, "v");
    pffree(any);

    Pf *list = pfnew(ANY_PF);
    EXPECT_EQ(pfadd_tbl(list, 2), 0);
    EXPECT_EQ(list->type, TABLE_PF);
    EXPECT_EQ(pfmaxtbl(list), 3);
    EXPECT_EQ(element(list, 2)->type, ANY_PF);
    EXPECT_EQ(pfadd_arr(list, "k"), -1);
    pfset(list, idx(2), "v");
    EXPECT_EQ(element(list, 2)->type, SCALAR_PF);
    pffree(list);

    Pf *scalar = pfnew(SCALAR_PF);
    EXPECT_EQ(pfadd_arr(scalar, "k"), -1);
    EXPECT_EQ(pfadd_tbl(scalar, 0), -1);
    EXPECT_EQ(pfadd_arr(nullptr, "k"), -1);
    EXPECT_EQ(pfadd_tbl(nullptr, 0), -1);
    pffree(scalar);
}

TEST_F(PfPath, ResolveInCreateMode) {
    Pf *pf = empty();
    Pf *found = nullptr;
    EXPECT_EQ(pfresolve(pf, "a{b}", 1, &found), ANY_PF);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found, child(child(pf, "a"), "b"));
    pfset(pf, "a{b}", "filled");
    EXPECT_STREQ(pfget_string(pf, "a{b}"), "filled");
}

TEST_F(PfPath, ConcurrentResolutionAndSetting) {
    constexpr int kThreads = 4;
    std::vector<Pf *> trees;
    for (int i = 0; i < kThreads; i++) trees.push_back(empty());
    std::vector<std::thread> threads;
    std::vector<int> bad(kThreads, 0);
    for (int i = 0; i < kThreads; i++) {
        threads.emplace_back([&, i] {
            Pf *pf = trees[static_cast<std::size_t>(i)];
            for (int n = 0; n < 200; n++) {
                std::string path = "a{k" + std::to_string(n) + "}[" + std::to_string(i) + "]";
                std::string value = std::to_string(n * 10 + i);
                if (pfset(pf, path.c_str(), value.c_str()) != 0) bad[static_cast<std::size_t>(i)]++;
                char *v = pfget_string(pf, path.c_str());
                if (v == nullptr || value != v) bad[static_cast<std::size_t>(i)]++;
            }
        });
    }
    for (auto &t : threads) t.join();
    for (int b : bad) EXPECT_EQ(b, 0);
}

}  // namespace
