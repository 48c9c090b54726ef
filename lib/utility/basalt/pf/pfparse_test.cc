// Parameter files: nodes, whole-tree operations and the text parser.
#include "pf.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
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
#include "scratch_dir.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;

// A child with an empty register (the test process may hold messages).
ChildResult in_child(const std::function<void()> &body) {
    return testsupport::in_child([&] {
        elog_clear();
        body();
    });
}
using testsupport::out;
using testsupport::ScratchDir;
using testsupport::write_file;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

// The node under key in a file or array node.
Pf *child(Pf *pf, const char *key) {
    if (pf == nullptr || (pf->type != FILE_PF && pf->type != ARRAY_PF)) return nullptr;
    return static_cast<Pf *>(getarr(pf->value.arr, key));
}

// The element at index of a list node.
Pf *element(Pf *pf, int index) {
    if (pf == nullptr || pf->type != TABLE_PF) return nullptr;
    return static_cast<Pf *>(gettbl(pf->value.tbl, index));
}

// The text of a scalar, "<absent>" or "<kind N>" otherwise.
std::string text_of(Pf *node) {
    if (node == nullptr) return "<absent>";
    if (node->type != SCALAR_PF) return "<kind " + std::to_string(node->type) + ">";
    return node->value.s != nullptr ? node->value.s : "<null>";
}

std::string scalar(Pf *pf, const char *key) { return text_of(child(pf, key)); }

std::vector<std::string> keys_of(Pf *pf) {
    std::vector<std::string> keys;
    Tbl *k = keysarr(pf->value.arr);
    for (int i = 0; i < maxtbl(k); i++) keys.push_back(static_cast<char *>(gettbl(k, i)));
    freetbl(k, nullptr);
    return keys;
}

std::vector<std::string> texts_of(Pf *list) {
    std::vector<std::string> texts;
    if (list == nullptr || list->type != TABLE_PF) return {"<not a list>"};
    for (int i = 0; i < maxtbl(list->value.tbl); i++) texts.push_back(text_of(element(list, i)));
    return texts;
}

// Parses text into a new tree (the caller frees it).
Pf *compile(const std::string &text, int expected = 0) {
    Pf *pf = nullptr;
    EXPECT_EQ(pfcompile(text.c_str(), &pf), expected) << text;
    return pf;
}

// In a child: parses text and reports the result and the register.
ChildResult parse_in_child(const std::string &text) {
    return in_child([text] {
        elog_clear();
        Pf *pf = nullptr;
        int r = pfcompile(text.c_str(), &pf);
        out(std::to_string(r) + "|" + testsupport::elog_register_text());
        pffree(pf);
    });
}

// ---- Nodes ----

TEST(PfNode, NewNodesByKind) {
    struct Case {
        int type;
        bool has_arr, has_tbl, has_funct;
    };
    const Case cases[] = {
        {FILE_PF, true, false, false},    {SCALAR_PF, false, false, false},
        {TABLE_PF, false, true, false},   {ARRAY_PF, true, false, false},
        {INVALID_PF, false, false, false}, {ANY_PF, false, false, false},
        {FUNCTION_PF, false, false, true}, {-1, false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        Pf *pf = pfnew(c.type);
        EXPECT_EQ(pf->type, c.type);
        EXPECT_EQ(pf->parent, nullptr);
        EXPECT_EQ(pf->filename, nullptr);
        EXPECT_EQ(pf->filled_out, nullptr);
        if (c.has_arr) {
            ASSERT_NE(pf->value.arr, nullptr);
            EXPECT_EQ(cntarr(pf->value.arr), 0);
        } else if (c.has_tbl) {
            ASSERT_NE(pf->value.tbl, nullptr);
            EXPECT_EQ(maxtbl(pf->value.tbl), 0);
        } else if (c.has_funct) {
            ASSERT_NE(pf->value.pffunct, nullptr);
            EXPECT_EQ(pf->value.pffunct->s, nullptr);
            EXPECT_EQ(pf->value.pffunct->pf, nullptr);
            EXPECT_EQ(pf->value.pffunct->hook, nullptr);
        } else {
            EXPECT_EQ(pf->value.s, nullptr);
        }
        if (c.type != ANY_PF) pffree(pf);
        else std::free(pf);
    }
}

TEST(PfNode, FreeReleasesEveryKindAndIgnoresNull) {
    pffree(nullptr);
    Pf *pf = compile("s text\nl &Tbl{\na\n&Arr{\nk v\n}\n}\nf &exec(echo)\n"
                     "g &file(x)\n");
    Pf *f = child(pf, "f");
    f->value.pffunct->pf = pfnew(SCALAR_PF);
    f->value.pffunct->pf->value.s = strdup("result");
    child(pf, "s")->filled_out = strdup("expanded");
    Pf *bad = pfnew(-1);
    bad->value.s = strdup("failed");
    Pf *invalid = pfnew(INVALID_PF);
    pffree(bad);
    pffree(invalid);
    pffree(pf);  // the sanitizers report anything left behind
}

TEST(PfNode, FreeComplainsAboutKindsWithoutValue) {
    ChildResult r = in_child([] {
        pffree(pfnew(ANY_PF));
        pffree(pfnew(UNDEFINED_PF));
    });
    EXPECT_EQ(r.err, P() + ": pffree: didn't free type 6\n" + P() + ": pffree: didn't free type 4\n");
}

TEST(PfNode, DupCopiesTreesDeeply) {
    Pf *pf = compile("a 1\nl &Tbl{\nx\n&Arr{\nk v\n}\n}\nf &exec(date)\n");
    pf->filename = const_cast<char *>("name");
    Pf *copy = pfdup(pf);
    EXPECT_EQ(copy->type, FILE_PF);
    EXPECT_EQ(copy->filename, nullptr);
    EXPECT_EQ(pfcmp(pf, copy), 0);
    Pf *list = child(copy, "l");
    EXPECT_EQ(list->parent, nullptr);
    EXPECT_NE(list, child(pf, "l"));
    EXPECT_NE(child(copy, "a")->value.s, child(pf, "a")->value.s);
    Pf *f = child(copy, "f");
    ASSERT_EQ(f->type, FUNCTION_PF);
    EXPECT_STREQ(f->value.pffunct->s, "&exec(date)");
    EXPECT_EQ(f->value.pffunct->pf, nullptr);
    EXPECT_EQ(f->value.pffunct->hook, nullptr);
    pffree(pf);
    pffree(copy);
}

TEST(PfNode, DupOfFunctionNodeKeepsTextOnly) {
    Pf *pf = compile("g &file(notes)\n");
    Pf *copy = pfdup(child(pf, "g"));
    ASSERT_EQ(copy->type, FUNCTION_PF);
    EXPECT_STREQ(copy->value.pffunct->s, "&file(notes)\n");
    EXPECT_EQ(copy->value.pffunct->hook, nullptr);
    pffree(copy);
    pffree(pf);
}

TEST(PfNode, DupOfOtherKindsIsFatal) {
    ChildResult r = in_child([] { pfdup(pfnew(INVALID_PF)); });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Bad type in pfdup : 5\n"), std::string::npos) << r.err;
}

TEST(PfNode, CompareTrees) {
    struct Case {
        const char *a;
        const char *b;
        int expected;
    };
    const Case cases[] = {
        {"a 1\nb 2\n", "b 2\na 1\n", 0},
        {"a 1\n", "a 2\n", 1},
        {"a 1\n", "a 1\nb 2\n", 1},
        {"a 1\n", "b 1\n", 1},
        {"l &Tbl{\nx\ny\n}\n", "l &Tbl{\nx\ny\n}\n", 0},
        {"l &Tbl{\nx\ny\n}\n", "l &Tbl{\ny\nx\n}\n", 1},
        {"l &Tbl{\nx\n}\n", "l &Tbl{\nx\ny\n}\n", 1},
        {"l &Tbl{\nx\n}\n", "l &Arr{\nx\n}\n", 1},
        {"a &Arr{\nk v\n}\n", "a &Arr{\nk v\n}\n", 0},
        {"a &Arr{\nk v\n}\n", "a &Arr{\nk w\n}\n", 1},
        {"f &exec(date)\n", "f &exec(date)\n", 0},
        {"f &exec(date)\n", "f &exec(true)\n", 1},
        {"f &exec(date)\n", "f date\n", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        Pf *a = compile(c.a);
        Pf *b = compile(c.b);
        EXPECT_EQ(pfcmp(a, b), c.expected);
        EXPECT_EQ(pfcmp(b, a), c.expected);
        pffree(a);
        pffree(b);
    }
}

TEST(PfNode, FileNeverEqualsArray) {
    Pf *file = compile("a 1\n");
    Pf *array = pfdup(file);
    array->type = ARRAY_PF;
    EXPECT_EQ(pfcmp(file, array), 1);
    pffree(file);
    pffree(array);
}

TEST(PfNode, CompareOfUnknownKindLogs) {
    ChildResult r = in_child([] {
        Pf *a = pfnew(INVALID_PF);
        Pf *b = pfnew(INVALID_PF);
        int result = pfcmp(a, b);
        out(std::to_string(result) + "|" + testsupport::elog_register_text());
        pffree(a);
        pffree(b);
    });
    EXPECT_EQ(r.out, "-1|" + P() + ": unknown PF type=5\n");
}

// ---- Values ----

struct ValueCase {
    const char *text;
    const char *key;
    const char *expected;
};

TEST(PfParse, PlainValues) {
    const ValueCase cases[] = {
        {"a 1\na 2\n", "a", "2"},
        {"key   value with blanks   # note\n", "key", "value with blanks"},
        {"key \\#1\n", "key", "#1"},
        {"key a\\tb\n", "key", "a\tb"},
        {"key x\\t\n", "key", "x"},
        {"key \\n x \\n\n", "key", "x"},
        {"key a\\nb\\rc\\bd\n", "key", "a\nb\rc\bd"},
        {"key \\101\\102C\n", "key", "ABC"},
        {"key ab\\0cd\n", "key", "ab"},
        {"key a\\\\b\n", "key", "a\\b"},
        {"key a\\}b\n", "key", "a}b"},
        {"key a\\\nb\n", "key", "a\nb"},
        {"key \"quoted\" 'too'\n", "key", "\"quoted\" 'too'"},
        {"key last line", "key", "last line"},
        {"key\n", "key", ""},
        {"key  \t \n", "key", ""},
        {"key # only a comment\n", "key", ""},
        {"key #at the end", "key", ""},
        {"key a}b\n", "key", "a}b"},
        {"key a{b\n", "key", "a{b"},
        {"key &notfunction(x) y\n", "key", "&notfunction(x) y"},
        {"key &exec(date)", "key", "&exec(date)"},
        {"key &_x(1)\n", "key", "&_x(1)"},
        {"key &1x(1)\n", "key", "&1x(1)"},
        {"key &Literal\n", "key", "&Literal"},
        {"key __END__\n", "key", "__END__"},
        {"key a\rb\r\n", "key", "a\rb\r"},
    };
    for (const ValueCase &c : cases) {
        SCOPED_TRACE(c.text);
        Pf *pf = compile(c.text);
        EXPECT_EQ(scalar(pf, c.key), c.expected);
        pffree(pf);
    }
}

TEST(PfParse, OctalEscapesStopAtNewlineAndEnd) {
    Pf *pf = compile("a \\1\nb v\n");
    EXPECT_EQ(scalar(pf, "a"), "\001");
    EXPECT_EQ(scalar(pf, "b"), "v");
    pffree(pf);
    pf = compile("a x\\14");
    EXPECT_EQ(scalar(pf, "a"), "x\014");
    pffree(pf);
    pf = compile("a x\\");
    EXPECT_EQ(scalar(pf, "a"), "x");
    pffree(pf);
    pf = compile("a \\18x\n");  // reading stops at the first non-octal digit
    EXPECT_EQ(scalar(pf, "a"), "\001");
    pffree(pf);
}

TEST(PfParse, KeyAloneOnTheLastLineIsDropped) {
    Pf *pf = compile("a 1\nlonely");
    EXPECT_EQ(keys_of(pf), std::vector<std::string>{"a"});
    pffree(pf);
    pf = compile("a 1\nlonely\n");
    EXPECT_EQ(scalar(pf, "lonely"), "");
    pffree(pf);
}

TEST(PfParse, Keys) {
    const ValueCase cases[] = {
        {"\"a b\" v\n", "a b", "v"},
        {"'a b' v\n", "a b", "v"},
        {"\"ab\"c v\n", "\"ab\"c", "v"},
        {"\"ab\" v\n", "ab", "v"},
        {"\"\" v\n", "\"\"", "v"},
        {"\"a\nb\" v\n", "a\nb", "v"},
        {"\"a #b\" v\n", "a #b", "v"},
        {"\"a\\tb\" v\n", "a\\tb", "v"},
        {"a#b c\n", "a", ""},
        {"a\\#b c\n", "a#b", "c"},
        {"a\\tb c\n", "a\tb", "c"},
        {"a\\101 c\n", "aA", "c"},
        {"a\\1 c\n", "a\001", "c"},
        {"a\\ b\n", "a", "b"},
        {"&Tbl{ c\n", "&Tbl{", "c"},
        {"{x} c\n", "{x}", "c"},
        {"  indented   value  \n", "indented", "value"},
        {"\"unterminated v\n", "\"unterminated", "v"},
        {"__END__x\n", "__END__x", "<absent>"},
        {"__END__", "__END__", "<absent>"},
    };
    for (const ValueCase &c : cases) {
        SCOPED_TRACE(c.text);
        Pf *pf = compile(c.text);
        EXPECT_EQ(scalar(pf, c.key), c.expected);
        pffree(pf);
    }
}

TEST(PfParse, LineCountingInsideQuotedKeys) {
    ChildResult r = parse_in_child("\"a\nb\" v\n}\n");
    EXPECT_EQ(r.out, "-2|" + P() + ": invalid right brace at line#3\n");
}

TEST(PfParse, EndMarkersStopTheScan) {
    for (const char *word : {"__END__", "__DATA__", "__EOF__"}) {
        SCOPED_TRACE(word);
        std::string text = std::string("a 1\n") + word + " trailing\n}}} &Tbl{ \"\n\\";
        Pf *pf = compile(text);
        EXPECT_EQ(keys_of(pf), std::vector<std::string>{"a"});
        pffree(pf);
    }
}

// ---- Lists and arrays ----

TEST(PfParse, ListsAndArrays) {
    Pf *pf = compile(
        "l &Tbl{\n"
        "  first\n"
        "# a comment line adds nothing\n"
        "  # after blanks: an empty element\n"
        "\n"
        "  &Arr{\n"
        "    k v\n"
        "    inner &Tbl{\n"
        "      deep\n"
        "    }\n"
        "  }\n"
        "  last  # comment\n"
        "}\n"
        "a &Arr{\n"
        "  x 1\n"
        "  y\n"
        "}\n");
    ASSERT_EQ(pf->type, FILE_PF);
    Pf *l = child(pf, "l");
    ASSERT_EQ(l->type, TABLE_PF);
    EXPECT_EQ(l->parent, pf);
    ASSERT_EQ(maxtbl(l->value.tbl), 5);
    EXPECT_EQ(text_of(element(l, 0)), "first");
    EXPECT_EQ(text_of(element(l, 1)), "");
    EXPECT_EQ(text_of(element(l, 2)), "");
    Pf *arr = element(l, 3);
    ASSERT_EQ(arr->type, ARRAY_PF);
    EXPECT_EQ(arr->parent, l);
    EXPECT_EQ(scalar(arr, "k"), "v");
    EXPECT_EQ(child(arr, "k")->parent, arr);
    EXPECT_EQ(texts_of(child(arr, "inner")), std::vector<std::string>{"deep"});
    EXPECT_EQ(text_of(element(l, 4)), "last");
    Pf *a = child(pf, "a");
    ASSERT_EQ(a->type, ARRAY_PF);
    EXPECT_EQ(scalar(a, "x"), "1");
    EXPECT_EQ(scalar(a, "y"), "");
    EXPECT_EQ(pf->parent, nullptr);
    pffree(pf);
}

TEST(PfParse, TheRestOfABraceLineIsDiscarded) {
    Pf *pf = compile("key &Tbl{ a b }\nc\n}\nnext &Arr{ ignored\nk v\n} also ignored\n");
    EXPECT_EQ(texts_of(child(pf, "key")), std::vector<std::string>{"c"});
    EXPECT_EQ(keys_of(child(pf, "next")), std::vector<std::string>{"k"});
    EXPECT_EQ(keys_of(pf), (std::vector<std::string>{"key", "next"}));
    pffree(pf);
}

TEST(PfParse, KeyDirectlyFollowedByBraceGetsNoValue) {
    Pf *pf = compile("a &Arr{\nk v\nj }\nb 2\n");
    EXPECT_EQ(keys_of(child(pf, "a")), std::vector<std::string>{"k"});
    EXPECT_EQ(scalar(pf, "b"), "2");
    pffree(pf);
}

TEST(PfParse, LaterValuesReplaceWholeContainers) {
    Pf *pf = compile("a &Arr{\nx 1\n}\na &Arr{\ny 2\n}\nl &Tbl{\n1\n}\nl scalar\n");
    EXPECT_EQ(keys_of(child(pf, "a")), std::vector<std::string>{"y"});
    EXPECT_EQ(scalar(pf, "l"), "scalar");
    pffree(pf);
}

TEST(PfParse, UndefRemovesKeysAndLastElements) {
    Pf *pf = compile("a 1\nb 2\na &Undef{}\nl &Tbl{\nx\ny\n&Undef{}\n}\ne &Tbl{\n&Undef{}\n}\n");
    EXPECT_EQ(keys_of(pf), (std::vector<std::string>{"b", "e", "l"}));
    EXPECT_EQ(texts_of(child(pf, "l")), std::vector<std::string>{"x"});
    EXPECT_EQ(texts_of(child(pf, "e")), std::vector<std::string>{});
    pffree(pf);
}

TEST(PfParse, MergingIntoAnExistingTree) {
    Pf *pf = compile("a 1\nb 2\nc &Arr{\nx 1\n}\n");
    ASSERT_EQ(pfcompile("a 3\nb &Undef{}\nc &Arr{\ny 2\n}\nd 4\n", &pf), 0);
    EXPECT_EQ(pf->type, FILE_PF);
    EXPECT_EQ(keys_of(pf), (std::vector<std::string>{"a", "c", "d"}));
    EXPECT_EQ(scalar(pf, "a"), "3");
    EXPECT_EQ(keys_of(child(pf, "c")), std::vector<std::string>{"y"});
    pffree(pf);
}

TEST(PfParse, MergingIntoAnArrayNode) {
    Pf *pf = pfnew(ARRAY_PF);
    ASSERT_EQ(pfcompile("a 1\n", &pf), 0);
    EXPECT_EQ(pf->type, FILE_PF);
    EXPECT_EQ(scalar(pf, "a"), "1");
    pffree(pf);
}

TEST(PfParse, OtherNodesCannotReceiveAParse) {
    ChildResult r = in_child([] {
        Pf *pf = pfnew(TABLE_PF);
        Pf *keep = pf;
        int result = pfcompile("a 1\n", &pf);
        out(std::to_string(result) + "|" + std::to_string(pf == keep && pf->type == TABLE_PF) +
            "|" + testsupport::elog_register_text());
        pffree(pf);
    });
    EXPECT_EQ(r.out, "-2|1|" + P() + ": can't parse parameter text into a node of type 2\n");
}

// ---- Literal blocks ----

TEST(PfParse, LiteralBlocks) {
    const ValueCase cases[] = {
        {"key &Literal{\nx {y}\n}\n", "key", "x {y}\n"},
        {"key &Literal{ rest ignored\nx}tail ignored\nb 2\n", "key", "x"},
        {"key &Literal\"END\nline\n\"END\n", "key", "line\n"},
        {"key &Literal\"END\na \"quote\" and \"EN\n\"END rest\n", "key",
         "a \"quote\" and \"EN\n"},
        {"key &Literal\"\nab\"c\n", "key", "ab"},
        {"key &Literal(\n(a) b\n)\n", "key", "(a) b\n"},
        {"key &Literal[\n [x] \n]\n", "key", " [x] \n"},
        {"key &Literal<\n<a>\n>\n", "key", "<a>\n"},
        {"key &Literal`\nit`s 'x\n'\n", "key", "it`s 'x\n"},
        {"key &Literal|!\nabc!\n", "key", "abc"},
        {"key &Literal}\nx}((\n", "key", "x}("},
        {"key &Literal{\n  # not a comment \\n \\\n}\n", "key", "  # not a comment \\n \\\n"},
        {"key &Literal{\n}\n", "key", ""},
    };
    for (const ValueCase &c : cases) {
        SCOPED_TRACE(c.text);
        Pf *pf = compile(c.text);
        EXPECT_EQ(scalar(pf, c.key), c.expected);
        pffree(pf);
    }
}

TEST(PfParse, LiteralBlocksInListsAndLineCounts) {
    ChildResult r = parse_in_child("l &Tbl{\n&Literal{\na\nb\n}\nx\n}\n}\n");
    EXPECT_EQ(r.out, "-2|" + P() + ": invalid right brace at line#8\n");
    Pf *pf = compile("l &Tbl{\n&Literal{\na\nb\n}\nx\n}\n");
    EXPECT_EQ(texts_of(child(pf, "l")), (std::vector<std::string>{"a\nb\n", "x"}));
    pffree(pf);
}

TEST(PfParse, LongClosingWordsAreCut) {
    const std::string word(200, 'W');
    Pf *pf = compile("key &Literal\"" + word + "\ntext\"" + word.substr(0, 126) + "\n");
    EXPECT_EQ(scalar(pf, "key"), "text");
    pffree(pf);
}

TEST(PfParse, UnterminatedLiteralBlocksFail) {
    const char *texts[] = {
        "key &Literal{\nabc\n",
        "key &Literal\"END\nabc\n",
        "key &Literal\"END",
        "key &Literal'\nit's\n",
        "l &Tbl{\n&Arr{\nk &Literal(\nx\n",
    };
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        ChildResult r = parse_in_child(text);
        EXPECT_EQ(r.out,
                  "-2|" + P() + ": Unterminated arrays or tables in parameter file: depth = 1\n");
    }
}

TEST(PfParse, SingleQuoteBlockEndsAtAZeroByte) {
    ScratchDir dir;
    const std::string text("key &Literal'\nab\0rest\nnext v\n", 29);
    write_file(dir.file("z.pf"), text);
    int fd = open(dir.file("z.pf").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    Pf *pf = nullptr;
    EXPECT_EQ(pfinfd(fd, &pf), 0);
    close(fd);
    EXPECT_EQ(scalar(pf, "key"), "ab");
    EXPECT_EQ(scalar(pf, "next"), "v");
    pffree(pf);
}

// ---- Deferred functions ----

TEST(PfParse, DeferredFunctions) {
    struct Case {
        const char *text;
        const char *stored;
        bool hook;
    };
    const Case cases[] = {
        {"f &exec(date +%Y)\n", "&exec(date +%Y)", false},
        {"f   &exec(date)   \n", "&exec(date)", false},
        {"f &exec(date) # why\n", "&exec(date) # why", false},
        {"f &env(a) b) \t\n", "&env(a) b)", false},
        {"f &ref(x, a{b}) # c (d\n", "&ref(x, a{b}) # c (d", false},
        {"f &Literal(x)\n", "&Literal(x)", false},
        {"f &user_fn2(1)\n", "&user_fn2(1)", false},
        {"f &file(notes.txt)  # c\n", "&file(notes.txt)  # c\n", true},
        {"f &filename(x)\n", "&filename(x)\n", true},
        {"f &files(x)\n", "&files(x)", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Pf *pf = compile(c.text);
        Pf *f = child(pf, "f");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->type, FUNCTION_PF);
        EXPECT_STREQ(f->value.pffunct->s, c.stored);
        EXPECT_EQ(f->value.pffunct->pf, nullptr);
        if (c.hook) {
            ASSERT_NE(f->value.pffunct->hook, nullptr);
            EXPECT_STREQ(static_cast<char *>(f->value.pffunct->hook->p), "*internal buffer*");
        } else {
            EXPECT_EQ(f->value.pffunct->hook, nullptr);
        }
        EXPECT_EQ(f->parent, pf);
        pffree(pf);
    }
}

TEST(PfParse, FunctionsInListsCountTheirLine) {
    ChildResult r = parse_in_child("l &Tbl{\n&exec(date)\n&file(x)\n}\n}\n");
    EXPECT_EQ(r.out, "-2|" + P() + ": invalid right brace at line#5\n");
    Pf *pf = compile("l &Tbl{\n&exec(date)\nplain\n}\n");
    Pf *l = child(pf, "l");
    ASSERT_EQ(maxtbl(l->value.tbl), 2);
    EXPECT_EQ(element(l, 0)->type, FUNCTION_PF);
    EXPECT_EQ(text_of(element(l, 1)), "plain");
    pffree(pf);
}

TEST(PfParse, FileNamesRecordedInFileValues) {
    ScratchDir dir;
    write_file(dir.file("a.pf"), "f &file(x)\n");
    const std::string path = dir.file("a.pf");

    auto hook_name = [&](bool set) {
        if (set) {
            std::string name = path;  // a name that lives only for a moment
            setpffilename(name.c_str());
        }
        int fd = open(path.c_str(), O_RDONLY);
        Pf *pf = nullptr;
        EXPECT_EQ(pfinfd(fd, &pf), 0);
        close(fd);
        std::string recorded = static_cast<char *>(child(pf, "f")->value.pffunct->hook->p);
        pffree(pf);
        return recorded;
    };
    EXPECT_EQ(hook_name(true), path);
    // The name serves one parse; a later parse without a name records none.
    EXPECT_EQ(hook_name(false), "*pf filename unknown*");

    FILE *file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    setpffilename("from-a-stream");
    Pf *pf = nullptr;
    EXPECT_EQ(pfin(file, &pf), 0);
    std::fclose(file);
    EXPECT_STREQ(static_cast<char *>(child(pf, "f")->value.pffunct->hook->p), "from-a-stream");
    pffree(pf);
}

// ---- Errors ----

std::string nested(int levels) {
    std::string text = "top &Tbl{\n";
    for (int i = 1; i < levels; i++) text += "&Tbl{\n";
    text += "x\n";
    for (int i = 0; i < levels; i++) text += "}\n";
    return text;
}

TEST(PfParse, TenLevelsOfNestingAreAllowed) {
    Pf *pf = compile(nested(10));
    Pf *node = child(pf, "top");
    for (int i = 1; i < 10; i++) node = element(node, 0);
    EXPECT_EQ(texts_of(node), std::vector<std::string>{"x"});
    pffree(pf);
}

TEST(PfParse, ErrorMessages) {
    struct Case {
        std::string text;
        std::string messages;
    };
    const Case cases[] = {
        {nested(11), "too many Lex_levels of nesting at line #11\n" + P() +
                         ": Unterminated arrays or tables in parameter file: depth = 10\n"},
        {"a 1\n}\n", "invalid right brace at line#2\n"},
        {"a 1\nb }\n", "invalid right brace at line#2\n"},
        {"l &Tbl{\na\nb\n", "Unterminated arrays or tables in parameter file: depth = 1\n"},
        {"l &Tbl{\n&Arr{\n", "Unterminated arrays or tables in parameter file: depth = 2\n"},
        {"a &Arr{\n}\n}\n", "invalid right brace at line#3\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ChildResult r = parse_in_child(c.text);
        EXPECT_EQ(r.out, "-2|" + P() + ": " + c.messages);
    }
}

TEST(PfParse, WhatWasParsedBeforeAnErrorStays) {
    Pf *pf = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pfcompile("a 1\nl &Tbl{\nx\ny\n", &pf), -2);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(pf, nullptr);
    EXPECT_EQ(pf->type, FILE_PF);
    EXPECT_EQ(scalar(pf, "a"), "1");
    EXPECT_EQ(texts_of(child(pf, "l")), (std::vector<std::string>{"x", "y"}));
    pffree(pf);
    elog_clear();
}

TEST(PfParse, ValuesThatLookLikeStructuresDrawComplaints) {
    const ValueCase cases[] = {
        {"k a &Tbl{ b\n", "a &Tbl{ b", "value contains '&Tbl{'\n\t'a &Tbl{ b'\n"},
        {"k a &Arr{ &Tbl{\n", "a &Arr{ &Tbl{", "value contains '&Tbl{'\n\t'a &Arr{ &Tbl{'\n"},
        {"k a &Arr{\n", "a &Arr{", "value contains '&Arr{'\n\t'a &Arr{'\n"},
        {"k x&Literal{\n", "x&Literal{", "value contains '&Literal{'\n\t'x&Literal{'\n"},
    };
    for (const ValueCase &c : cases) {
        SCOPED_TRACE(c.text);
        ChildResult r = in_child([&] {
            Pf *pf = nullptr;
            int result = pfcompile(c.text, &pf);
            out(std::to_string(result) + "|" + scalar(pf, "k"));
            pffree(pf);
        });
        EXPECT_EQ(r.out, "0|" + std::string(c.key));
        EXPECT_EQ(r.err, P() + ": " + c.expected);
    }
}

TEST(PfParse, HugeKeysAreCutAndReported) {
    const std::string key(5000, 'k');
    ChildResult r = in_child([&] {
        for (const std::string &text : {key + " v\n", "\n\"" + key + " x\" v\n"}) {
            Pf *pf = nullptr;
            int result = pfcompile(text.c_str(), &pf);
            Tbl *keys = keysarr(pf->value.arr);
            std::string k = static_cast<char *>(gettbl(keys, 0));
            out(std::to_string(result) + "|" + std::to_string(k.size()) + "|" +
                scalar(pf, k.c_str()) + "|");
            freetbl(keys, nullptr);
            pffree(pf);
        }
        out(testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "0|1023|v|0|1023|v|" + P() +
                         ": key longer than 1023 characters cut at line #1\n" + P() +
                         ": key longer than 1023 characters cut at line #2\n");
}

TEST(PfParse, ReadFailureEndsTheInput) {
    ChildResult r = in_child([] {
        Pf *pf = nullptr;
        int result = pfinfd(-1, &pf);
        out(std::to_string(result) + "|" + std::to_string(pf != nullptr && pf->type == FILE_PF) +
            "|" + testsupport::elog_register_text());
        pffree(pf);
    });
    EXPECT_EQ(r.out, "0|1|" + P() + ": read failed in pf input routine\n\tBad file descriptor\n");
}

TEST(PfParse, DescriptorsAndStreams) {
    ScratchDir dir;
    std::string text;
    for (int i = 0; i < 3000; i++) text += "key" + std::to_string(i) + " value " + std::to_string(i) + "\n";
    write_file(dir.file("big.pf"), text);

    int fd = open(dir.file("big.pf").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    Pf *from_fd = nullptr;
    EXPECT_EQ(pfinfd(fd, &from_fd), 0);
    close(fd);

    FILE *file = std::fopen(dir.file("big.pf").c_str(), "r");
    ASSERT_NE(file, nullptr);
    Pf *from_stream = nullptr;
    EXPECT_EQ(pfin(file, &from_stream), 0);
    std::fclose(file);

    Pf *from_string = compile(text);
    EXPECT_EQ(cntarr(from_fd->value.arr), 3000);
    EXPECT_EQ(scalar(from_fd, "key2999"), "value 2999");
    EXPECT_EQ(pfcmp(from_fd, from_stream), 0);
    EXPECT_EQ(pfcmp(from_fd, from_string), 0);
    pffree(from_fd);
    pffree(from_stream);
    pffree(from_string);
}

TEST(PfParse, PipeInput) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        const std::string text = "a 1\nb &Tbl{\nx\n}\n";
        for (char c : text) EXPECT_EQ(write(fds[1], &c, 1), 1);
        close(fds[1]);
    });
    Pf *pf = nullptr;
    EXPECT_EQ(pfinfd(fds[0], &pf), 0);
    writer.join();
    close(fds[0]);
    EXPECT_EQ(scalar(pf, "a"), "1");
    EXPECT_EQ(texts_of(child(pf, "b")), std::vector<std::string>{"x"});
    pffree(pf);
}

TEST(PfParse, EmptyAndNullInput) {
    Pf *pf = compile("");
    ASSERT_NE(pf, nullptr);
    EXPECT_EQ(pf->type, FILE_PF);
    EXPECT_EQ(cntarr(pf->value.arr), 0);
    pffree(pf);
    EXPECT_EQ(pfcompile("a 1\n", nullptr), -2);
    EXPECT_EQ(Pf_busy, 0);
}

// A deterministic stream of bytes that favours the syntax's own characters.
std::string garbage(uint32_t seed, std::size_t n) {
    static const char alphabet[] = "&{}()[]<>`'\"#\\ \t\n\0abTLAiterlUndfxy_0179";
    std::string s;
    uint32_t x = seed;
    for (std::size_t i = 0; i < n; i++) {
        x = x * 1664525u + 1013904223u;
        const uint32_t r = x >> 8;
        s += (r & 3) == 0 ? static_cast<char>(r >> 4) : alphabet[(r >> 4) % (sizeof alphabet - 1)];
    }
    return s;
}

TEST(PfParse, GarbageNeverCrashes) {
    ScratchDir dir;
    const std::string path = dir.file("garbage");
    ChildResult r = in_child([&] {
        elog_set(ELOG_DELIVER, 2, const_cast<char *>("/dev/null"));
        int parsed = 0;
        for (uint32_t seed = 1; seed <= 300; seed++) {
            std::string text = garbage(seed, 50 + seed * 7);
            // Through a descriptor with its zero bytes, and as a string
            // without them.
            write_file(path, text);
            Pf *from_fd = nullptr;
            int fd = open(path.c_str(), O_RDONLY);
            int r1 = pfinfd(fd, &from_fd);
            close(fd);
            for (char &c : text)
                if (c == '\0') c = 'z';
            Pf *pf = nullptr;
            int r2 = pfcompile(text.c_str(), &pf);
            if ((r1 != 0 && r1 != -2) || (r2 != 0 && r2 != -2)) out("bad result\n");
            for (Pf *tree : {from_fd, pf}) {
                char *written = pf2string(tree);
                Pf *again = nullptr;
                pfcompile(written, &again);
                pffree(again);
                std::free(written);
                Pf *copy = pfdup(tree);
                if (pfcmp(tree, copy) != 0) out("copy differs\n");
                pffree(copy);
                pffree(tree);
            }
            parsed += static_cast<int>(text.size());
            elog_clear();
        }
        out("done " + std::to_string(parsed > 100000));
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.out, "done 1");
}

TEST(PfParse, ConcurrentParsesRunOneAfterAnother) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 50; i++) {
                std::string text = "who " + std::to_string(t) + "\nl &Tbl{\n" + std::to_string(i) +
                                   "\n}\nf &file(x)\n";
                Pf *pf = nullptr;
                if (pfcompile(text.c_str(), &pf) != 0 || scalar(pf, "who") != std::to_string(t) ||
                    texts_of(child(pf, "l")) != std::vector<std::string>{std::to_string(i)})
                    failures[t]++;
                pffree(pf);
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    EXPECT_EQ(Pf_busy, 0);
}

}  // namespace
