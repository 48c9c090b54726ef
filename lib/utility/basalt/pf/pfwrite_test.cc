// Parameter files: writing trees back as text (pfout, pfwrite, pf2string)
// and reading what was written.
#include "pf.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "arrays.h"
#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"
#include "tbl.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

namespace fs = std::filesystem;

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

Pf *compile(const std::string &text) {
    Pf *pf = nullptr;
    EXPECT_EQ(pfcompile(text.c_str(), &pf), 0) << text;
    return pf;
}

Pf *scalar_node(const char *text) {
    Pf *node = pfnew(SCALAR_PF);
    node->value.s = text != nullptr ? strdup(text) : nullptr;
    return node;
}

// Stores node under key in a file or array node.
void put(Pf *pf, const char *key, Pf *node) { pffree(static_cast<Pf *>(setarr(pf->value.arr, key, node))); }

Pf *single(const char *key, const char *text) {
    Pf *pf = pfnew(FILE_PF);
    put(pf, key, scalar_node(text));
    return pf;
}

// The indented layout of pf.
std::string indented(Pf *pf, int *result = nullptr) {
    char *buf = nullptr;
    std::size_t size = 0;
    FILE *file = open_memstream(&buf, &size);
    int r = pfout(file, pf);
    if (result != nullptr) *result = r;
    std::fclose(file);
    std::string text(buf, size);
    std::free(buf);
    return text;
}

std::string compact(Pf *pf) {
    char *s = pf2string(pf);
    std::string text = s;
    std::free(s);
    return text;
}

std::string scalar(Pf *pf, const char *key) {
    auto *node = static_cast<Pf *>(getarr(pf->value.arr, key));
    if (node == nullptr) return "<absent>";
    if (node->type != SCALAR_PF) return "<kind " + std::to_string(node->type) + ">";
    return node->value.s;
}

// ---- Forms of texts ----

struct FormCase {
    const char *value;
    const char *written;  // the value as it follows "k\t"
};

TEST(PfWrite, TheFormOfEachText) {
    const FormCase cases[] = {
        {"plain", "plain\n"},
        {"", "\n"},
        {"with inner  blanks", "with inner  blanks\n"},
        {"x # y", "x \\# y\n"},
        {"a}b", "a\\}b\n"},
        {"back\\slash", "back\\\\slash\n"},
        {"\"quoted\"", "\"quoted\"\n"},
        {"tab\tinside", "tab\tinside\n"},
        {" lead", "&Literal{\n lead}\n"},
        {"trail\t", "&Literal{\ntrail\t}\n"},
        {"two\nlines", "&Literal{\ntwo\nlines}\n"},
        {"a}b\nc", "&Literal(\na}b\nc)\n"},
        {"{(a}b\n", "&Literal{\n{(a}b\n}\n"},
        {"}(a{b\n", "&Literal[\n}(a{b\n]\n"},
        {"}{)(][><\n", "&Literal`\n}{)(][><\n'\n"},
        {"}{)(][><'`\n", "&Literal\"EndOfLiteral\n}{)(][><'`\n\"EndOfLiteral\n"},
        {"}{)(][><'`\n\"EndOfLiteral \"EndOfLiteral0",
         "&Literal\"EndOfLiteral1\n}{)(][><'`\n\"EndOfLiteral \"EndOfLiteral0\"EndOfLiteral1\n"},
        {"}{)(][><'`\n\"EndOfLiteral",
         "&Literal\"EndOfLiteral0\n}{)(][><'`\n\"EndOfLiteral\"EndOfLiteral0\n"},
        {"&exec(touch hacked)", "&Literal{\n&exec(touch hacked)}\n"},
        {"&Tbl{", "&Literal(\n&Tbl{)\n"},
        {"&Undef{}", "&Literal{\n&Undef{}}\n"},
    };
    for (const FormCase &c : cases) {
        SCOPED_TRACE(c.value);
        Pf *pf = single("k", c.value);
        EXPECT_EQ(indented(pf), std::string("k\t") + c.written);
        EXPECT_EQ(compact(pf), std::string("k\t") + c.written);
        // And it reads back exactly.
        Pf *back = compile(compact(pf));
        EXPECT_EQ(scalar(back, "k"), c.value);
        EXPECT_EQ(pfcmp(pf, back), 0);
        pffree(back);
        pffree(pf);
    }
}

TEST(PfWrite, KeysInAscendingOrder) {
    Pf *pf = compile("b 2\na 1\n");
    EXPECT_EQ(indented(pf), "a\t1\nb\t2\n");
    EXPECT_EQ(compact(pf), "a\t1\nb\t2\n");
    pffree(pf);
}

TEST(PfWrite, KeyForms) {
    struct Case {
        const char *key;
        const char *indented;
        const char *compact;
    };
    const Case cases[] = {
        {"my key", "\"my key\"\tv\n", "\"my key\"\tv\n"},
        {"say \"hi\"", "'say \"hi\"'\tv\n", "'say \"hi\"'\tv\n"},
        {"tab\tkey", "\"tab\tkey\"\tv\n", "\"tab\tkey\"\tv\n"},
        {"a#b", "a\\#b\tv\n", "a#b\tv\n"},
        {"back\\", "back\\\\\tv\n", "back\\\tv\n"},
        {"pl\"ain", "pl\"ain\tv\n", "pl\"ain\tv\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        Pf *pf = single(c.key, "v");
        EXPECT_EQ(indented(pf), c.indented);
        EXPECT_EQ(compact(pf), c.compact);
        pffree(pf);
    }
}

TEST(PfWrite, KeysWithBlanksOrEscapesReadBack) {
    for (const char *key : {"my key", "say \"hi\"", "tab\tkey", "a#b", "x}y", "back\\"}) {
        SCOPED_TRACE(key);
        Pf *pf = single(key, "v");
        Pf *back = compile(indented(pf));
        EXPECT_EQ(pfcmp(pf, back), 0);
        pffree(back);
        pffree(pf);
    }
}

// ---- Layouts ----

const char kNested[] = "l &Tbl{\nx\n&Arr{\nk v\n}\n}\n";

TEST(PfWrite, IndentedLayout) {
    Pf *pf = compile(kNested);
    EXPECT_EQ(indented(pf), "l\t&Tbl{\n"
                            "    x\n"
                            "    &Arr{\n"
                            "        k\tv\n"
                            "    }\n"
                            "}\n");
    pffree(pf);
}

TEST(PfWrite, CompactLayout) {
    Pf *pf = compile(kNested);
    EXPECT_EQ(compact(pf), "l\t&Tbl{\n"
                           "x\n"
                           "&Arr{\n"
                           "k\tv\n"
                           "}\n"
                           "}\n");
    pffree(pf);
}

TEST(PfWrite, ArraysUnderKeys) {
    Pf *pf = compile("a &Arr{\nb &Arr{\nc 1\n}\nd 2\n}\ne 3\n");
    EXPECT_EQ(indented(pf), "a\t&Arr{\n"
                            "    b\t&Arr{\n"
                            "        c\t1\n"
                            "    }\n"
                            "    d\t2\n"
                            "}\n"
                            "e\t3\n");
    pffree(pf);
}

TEST(PfWrite, FunctionValuesAsStored) {
    Pf *pf = compile("f &exec(date) # why\nl &Tbl{\n&file(x)\nafter\n}\n");
    EXPECT_EQ(indented(pf), "f\t&exec(date) # why\n"
                            "l\t&Tbl{\n"
                            "    &file(x)\n"
                            "    after\n"
                            "}\n");
    // The list keeps its two elements when read back.
    Pf *back = compile(compact(pf));
    EXPECT_EQ(pfcmp(pf, back), 0);
    pffree(back);
    pffree(pf);
}

TEST(PfWrite, NodesWithoutValueAreLeftOutWithTheirKey) {
    Pf *pf = compile("a 1\nl &Tbl{\nx\n}\n");
    put(pf, "empty", scalar_node(nullptr));
    put(pf, "placeholder", pfnew(ANY_PF));
    Pf *failed = pfnew(-1);
    failed->value.s = strdup("output");
    put(pf, "failed", failed);
    put(pf, "invalid", pfnew(INVALID_PF));
    auto *list = static_cast<Pf *>(getarr(pf->value.arr, "l"));
    settbl(list->value.tbl, 3, scalar_node("y"));  // slots 1 and 2 stay empty
    EXPECT_EQ(indented(pf), "a\t1\nl\t&Tbl{\n    x\n    y\n}\n");
    EXPECT_EQ(compact(pf), "a\t1\nl\t&Tbl{\nx\ny\n}\n");
    std::free(pfdel(pf, "placeholder"));
    pffree(pf);
}

TEST(PfWrite, TopNodesOfEveryKind) {
    Pf *array = compile("a 1\n");
    array->type = ARRAY_PF;
    EXPECT_EQ(indented(array), "a\t1\n");
    EXPECT_EQ(compact(array), "a\t1\n");
    pffree(array);

    Pf *scalar = scalar_node("text");
    EXPECT_EQ(indented(scalar), "text\n");
    pffree(scalar);

    Pf *list = pfnew(TABLE_PF);
    pushtbl(list->value.tbl, scalar_node("x"));
    EXPECT_EQ(indented(list), "&Tbl{\n    x\n}\n");
    EXPECT_EQ(compact(list), "&Tbl{\nx\n}\n");
    pffree(list);
}

TEST(PfWrite, FileNodesBelowTheTopAreBraced) {
    Pf *pf = compile("a 1\n");
    Pf *inner = compile("k v\n");
    put(pf, "sub", inner);
    EXPECT_EQ(indented(pf), "a\t1\nsub\t&Arr{\n    k\tv\n}\n");
    EXPECT_EQ(compact(pf), "a\t1\nsub\t&Arr{\nk\tv\n}\n");
    pffree(pf);
}

TEST(PfWrite, NothingToWrite) {
    int result = 0;
    EXPECT_EQ(indented(nullptr, &result), "");
    EXPECT_EQ(result, -1);
    Pf *empty = scalar_node(nullptr);
    EXPECT_EQ(indented(empty, &result), "");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(compact(empty), "");
    pffree(empty);
    EXPECT_EQ(compact(nullptr), "");
}

// ---- Files ----

TEST(PfWrite, WriteTruncatesAndReadsBack) {
    ScratchDir dir;
    const std::string path = dir.file("out.pf");
    write_file(path, std::string(1000, 'x'));
    Pf *pf = compile("b 2\na 1\n");
    EXPECT_EQ(pfwrite(path.c_str(), pf), 0);
    EXPECT_EQ(read_file(path), "a\t1\nb\t2\n");
    pffree(pf);
}

TEST(PfWrite, OpenAndCloseFailures) {
    ScratchDir dir;
    const std::string missing = dir.file("no/such/dir/x.pf");
    ChildResult r = in_child([&] {
        elog_clear();
        Pf *pf = compile("a 1\n");
        std::string s = std::to_string(pfwrite(missing.c_str(), pf)) + "|";
        s += std::to_string(pfwrite("/dev/full", pf)) + "|";
        pffree(pf);
        // Output larger than the stream's buffer fails before the close.
        Pf *big = pfnew(FILE_PF);
        for (int i = 0; i < 20000; i++)
            put(big, ("key" + std::to_string(i)).c_str(), scalar_node("value"));
        s += std::to_string(pfwrite("/dev/full", big)) + "|";
        pffree(big);
        out(s + testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "-1|-1|-1|" + P() + ": Can't open " + missing +
                         " for writing.\n\tNo such file or directory\n" + P() +
                         ": Can't close /dev/full.\n\tNo space left on device\n"
                         "\t** repeated 2 times\n");
}

// ---- Saved values never turn into structures or commands ----

TEST(PfWrite, ValuesBeginningWithAnAmpersandStayTexts) {
    ScratchDir dir;
    const std::string marker = dir.file("ran");
    const std::string command = "&exec(touch " + marker + ")";
    const std::vector<std::string> values = {
        command, "&Tbl{", "&Arr{", "&Undef{}", "&Literal{x}", "&Literal\"END",
        "&file(/etc/passwd)", "&env(HOME)", "&ref(x, y)", "&ask(name)", "&", "&&",
    };
    Pf *pf = pfnew(FILE_PF);
    Pf *list = pfnew(TABLE_PF);
    for (std::size_t i = 0; i < values.size(); i++) {
        put(pf, ("k" + std::to_string(i)).c_str(), scalar_node(values[i].c_str()));
        pushtbl(list->value.tbl, scalar_node(values[i].c_str()));
    }
    put(pf, "list", list);

    // A state file is written with pf2string and read with pfin.
    const std::string state = dir.file("state");
    char *text = pf2string(pf);
    write_file(state, text);
    std::free(text);
    FILE *file = std::fopen(state.c_str(), "r");
    ASSERT_NE(file, nullptr);
    Pf *back = nullptr;
    EXPECT_EQ(pfin(file, &back), 0);
    std::fclose(file);
    EXPECT_EQ(pfcmp(pf, back), 0);

    // Through pfwrite and pfread as well.
    setenv("PFPATH", dir.path().c_str(), 1);
    ASSERT_EQ(pfwrite(dir.file("saved.pf").c_str(), pf), 0);
    Pf *read_back = nullptr;
    EXPECT_EQ(pfread("saved", &read_back), 0);
    unsetenv("PFPATH");
    EXPECT_EQ(pfcmp(pf, read_back), 0);

    // Every value is a plain text: looking them up runs nothing.
    for (std::size_t i = 0; i < values.size(); i++) {
        const std::string key = "k" + std::to_string(i);
        EXPECT_STREQ(pfget_string(back, key.c_str()), values[i].c_str());
        EXPECT_STREQ(pfget_string(read_back, key.c_str()), values[i].c_str());
    }
    EXPECT_FALSE(fs::exists(marker));
    pffree(back);
    pffree(read_back);
    pffree(pf);
}

// ---- Round trips ----

// A varied tree: every form of text, lists and arrays nested to the
// reader's limit, function values, keys with blanks.
Pf *varied_tree() {
    Pf *pf = compile(
        "plain value\n"
        "empty\n"
        "escaped x \\# y \\} z \\\\ w\n"
        "\"key with blanks\" v\n"
        "'key with \"quote\"' v\n"
        "function &exec(echo hi) # comment\n"
        "env &env(HOME)\n"
        "list &Tbl{\n"
        "    one\n"
        "\n"
        "    &Arr{\n"
        "        k v\n"
        "        inner &Tbl{\n"
        "            deep\n"
        "        }\n"
        "    }\n"
        "    &glob(*.pf)\n"
        "}\n"
        "array &Arr{\n"
        "    a 1\n"
        "    b &Literal{\n"
        " leading and\n"
        "several lines }\n"
        "    c &Literal\"END\n"
        "}{)(][><'`\n"
        "\"END\n"
        "}\n");
    // Texts that need each form, set directly.
    put(pf, "lead", scalar_node(" lead"));
    put(pf, "trail", scalar_node("trail\t"));
    put(pf, "newlines", scalar_node("a\nb\n"));
    put(pf, "word", scalar_node("}{)(][><'`\n\"EndOfLiteral"));
    put(pf, "amp", scalar_node("&exec(false)"));
    put(pf, "tab in key", scalar_node("\tboth\t"));
    // Ten levels of nesting below the top.
    Pf *top = pfnew(TABLE_PF);
    Pf *node = top;
    for (int level = 1; level < 10; level++) {
        Pf *next = pfnew(level % 2 ? ARRAY_PF : TABLE_PF);
        if (node->type == TABLE_PF) {
            pushtbl(node->value.tbl, scalar_node("level"));
            pushtbl(node->value.tbl, next);
        } else {
            setarr(node->value.arr, "level", scalar_node("x"));
            setarr(node->value.arr, "next", next);
        }
        node = next;
    }
    setarr(node->value.arr, "bottom", scalar_node("}"));
    put(pf, "nested", top);
    return pf;
}

TEST(PfWrite, ReadWriteReadRoundTrip) {
    ScratchDir dir;
    setenv("PFPATH", dir.path().c_str(), 1);
    Pf *pf = varied_tree();
    const std::string path = dir.file("round.pf");
    ASSERT_EQ(pfwrite(path.c_str(), pf), 0);
    Pf *first = nullptr;
    ASSERT_EQ(pfread("round", &first), 0);
    EXPECT_EQ(pfcmp(pf, first), 0) << read_file(path);

    // And again from what was read.
    ASSERT_EQ(pfwrite(path.c_str(), first), 0);
    Pf *second = nullptr;
    ASSERT_EQ(pfread("round", &second), 0);
    EXPECT_EQ(pfcmp(first, second), 0);

    // The compact layout agrees.
    char *text = pf2string(pf);
    Pf *from_string = nullptr;
    EXPECT_EQ(pfcompile(text, &from_string), 0);
    std::free(text);
    EXPECT_EQ(pfcmp(pf, from_string), 0);

    unsetenv("PFPATH");
    pffree(pf);
    pffree(first);
    pffree(second);
    pffree(from_string);
}

}  // namespace
