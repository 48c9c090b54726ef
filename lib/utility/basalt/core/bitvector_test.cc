#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "scratch_dir.h"

namespace {

using testsupport::ChildResult;
using testsupport::ScratchDir;

char *cs(const std::string &s) { return const_cast<char *>(s.c_str()); }

const std::string P = testsupport::elog_program_name();

// The words of a vector, read the way the vector stores them.
std::vector<uint32_t> words(Bitvector *b) {
    std::vector<uint32_t> v;
    for (int i = 0; i < maxtbl(b); i++) {
        void *p = gettbl(b, i);
        uint32_t w;
        if (b->direct)
            std::memcpy(&w, p, 4);
        else
            w = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
        v.push_back(w);
    }
    return v;
}

// A pointer-list vector holding the given words.
Bitvector *vec(std::initializer_list<uint32_t> ws) {
    Bitvector *b = newtbl(0);
    for (uint32_t w : ws) pushtbl(b, reinterpret_cast<void *>(static_cast<uintptr_t>(w)));
    return b;
}

// Both kinds of vector: a pointer list in memory and a bit file.
struct Kind {
    const char *name;
    std::function<Bitvector *(const ScratchDir &)> make;
};

const Kind kKinds[] = {
    {"pointer list", [](const ScratchDir &) { return newtbl(0); }},
    {"bit file",
     [](const ScratchDir &dir) {
         // An empty bit file: no live word.
         return bitfile(cs(dir.file("bits")), 0);
     }},
};

TEST(Bitvector, SetClearAndTestBits) {
    for (const Kind &k : kKinds) {
        SCOPED_TRACE(k.name);
        ScratchDir dir;
        Bitvector *b = k.make(dir);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(maxtbl(b), 0);
        EXPECT_EQ(bittst(b, 0), 0);

        EXPECT_EQ(bitset(b, 0), 0);
        EXPECT_EQ(words(b), (std::vector<uint32_t>{0x80000000u}));
        EXPECT_EQ(bitset(b, 0), 1);
        EXPECT_EQ(bitset(b, 31), 0);
        EXPECT_EQ(words(b), (std::vector<uint32_t>{0x80000001u}));
        EXPECT_EQ(bitset(b, 32), 0);
        EXPECT_EQ(words(b), (std::vector<uint32_t>{0x80000001u, 0x80000000u}));
        EXPECT_EQ(bitset(b, 69), 0);
        EXPECT_EQ(words(b), (std::vector<uint32_t>{0x80000001u, 0x80000000u, 0x04000000u}));
        EXPECT_EQ(bitmax(b), 96);

        struct Probe {
            int index;
            int set;
        };
        for (Probe p : {Probe{0, 1}, Probe{1, 0}, Probe{30, 0}, Probe{31, 1}, Probe{32, 1},
                        Probe{33, 0}, Probe{69, 1}, Probe{70, 0}, Probe{96, 0},
                        Probe{100000, 0}, Probe{-1, 0}}) {
            SCOPED_TRACE(p.index);
            EXPECT_EQ(bittst(b, p.index), p.set);
        }
        EXPECT_EQ(maxtbl(b), 3);  // testing never extends

        EXPECT_EQ(bitclr(b, 0), 1);
        EXPECT_EQ(bitclr(b, 0), 0);
        EXPECT_EQ(bitclr(b, 31), 1);
        EXPECT_EQ(words(b), (std::vector<uint32_t>{0u, 0x80000000u, 0x04000000u}));
        // Clearing beyond the vector stores a zero word there.
        EXPECT_EQ(bitclr(b, 4 * 32 + 5), 0);
        EXPECT_EQ(words(b), (std::vector<uint32_t>{0u, 0x80000000u, 0x04000000u, 0u, 0u}));
        EXPECT_EQ(bitmax(b), 160);
        freetbl(b, nullptr);
    }
}

TEST(Bitvector, BitfileSizes) {
    struct Case {
        int nbits;
        int slots;  // words asked for, plus one
    };
    const Case cases[] = {{64, 4}, {0, 2}, {32, 3}, {1, 2}, {31, 3}, {15, 2}, {16, 2}, {17, 3},
                          {100, 5}, {-64, 10}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.nbits);
        ScratchDir dir;
        std::string path = dir.file("b");
        Bitvector *b = bitfile(cs(path), c.nbits);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->right - b->left, c.slots);
        EXPECT_EQ(b->entry_size, 4);
        EXPECT_EQ(b->direct, 1);
        EXPECT_EQ(b->null, nullptr);
        EXPECT_EQ(maxtbl(b), 0);
        freetbl(b, nullptr);
        std::string bytes = testsupport::read_file(path);
        ASSERT_GE(bytes.size(), 80u);
        EXPECT_EQ(bytes.substr(8, 16), std::string("bit-vector\0\0\0\0\0\0", 16));
        EXPECT_EQ(bytes.size(), 80u + 4 * static_cast<size_t>(c.slots));
    }
}

TEST(Bitvector, ABitFileKeepsItsBits) {
    ScratchDir dir;
    std::string path = dir.file("keep");
    Bitvector *b = bitfile(cs(path), 64);
    ASSERT_NE(b, nullptr);
    bitset(b, 3);
    bitset(b, 40);
    bitset(b, 200);  // beyond the file's room: it grows
    freetbl(b, nullptr);

    std::string bytes = testsupport::read_file(path);
    int32_t count;
    std::memcpy(&count, bytes.data() + 24 + 4, 4);
    EXPECT_EQ(count, 7);
    uint32_t w[7];
    std::memcpy(w, bytes.data() + 80, sizeof w);
    EXPECT_EQ(w[0], 0x10000000u);
    EXPECT_EQ(w[1], 0x00800000u);
    EXPECT_EQ(w[6], 0x00800000u);
    for (int i : {2, 3, 4, 5}) EXPECT_EQ(w[i], 0u) << i;

    b = bitfile(cs(path), 64);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(bittst(b, 3), 1);
    EXPECT_EQ(bittst(b, 40), 1);
    EXPECT_EQ(bittst(b, 200), 1);
    EXPECT_EQ(bittst(b, 4), 0);
    EXPECT_EQ(bitmax(b), 7 * 32);
    freetbl(b, nullptr);
}

TEST(Bitvector, BitfileRefusesOtherFiles) {
    ScratchDir dir;
    // Another list's file.
    std::string other = dir.file("other");
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(cs(other), cs("index"), 10, nullptr, 4, &t), 0);
    freetbl(t, nullptr);
    EXPECT_EQ(bitfile(cs(other), 10), nullptr);

    // A file named a bit vector whose words are not 4 bytes.
    std::string wide = dir.file("wide");
    ASSERT_EQ(filetbl(cs(wide), cs("bit-vector"), 10, nullptr, 8, &t), 0);
    freetbl(t, nullptr);
    ChildResult r = testsupport::in_child([&] {
        Bitvector *b = bitfile(cs(wide), 64);
        testsupport::out(std::string(b ? "vector" : "null") + "|" +
                         testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "null|" + P + ": " + wide + " is not a bit file: entry size 8.\n");

    // A file that cannot be made.
    testsupport::write_file(dir.file("file"), "x");
    r = testsupport::in_child([&] {
        Bitvector *b = bitfile(cs(dir.file("file/sub/bits")), 10);
        testsupport::out(b ? "vector" : "null");
    });
    EXPECT_EQ(r.out, "null");
}

TEST(Bitvector, Compare) {
    struct Case {
        std::initializer_list<uint32_t> a, b;
        int result;
    };
    const Case cases[] = {
        {{}, {}, 0},
        {{5}, {5}, 0},
        {{5}, {5, 0}, -1},
        {{5, 0}, {5}, 1},
        {{0x80000000u}, {0x7fffffffu}, 1},
        {{0x7fffffffu}, {0x80000000u}, -1},
        {{1, 9}, {2, 0}, -1},
        {{2, 0}, {1, 9, 9}, 1},
        {{}, {0}, -1},
    };
    for (const Case &c : cases) {
        Bitvector *a = vec(c.a), *b = vec(c.b);
        EXPECT_EQ(bitcmp(a, b), c.result) << maxtbl(a) << " " << maxtbl(b);
        freetbl(a, nullptr);
        freetbl(b, nullptr);
    }
}

TEST(Bitvector, AndOrXorNot) {
    Bitvector *a = vec({0xff00ff00u, 0x0f0f0f0fu, 0xffffffffu});
    Bitvector *b = vec({0x0ff00ff0u, 0xffffffffu, 0x00000001u, 0x12345678u, 0x80000000u});
    Bitvector *empty = vec({});
    struct Case {
        const char *name;
        Bitvector *result;
        std::vector<uint32_t> want;
    };
    const Case cases[] = {
        {"and", bitvector_and(a, b), {0x0f000f00u, 0x0f0f0f0fu, 0x00000001u}},
        {"or", bitvector_or(a, b),
         {0xfff0fff0u, 0xffffffffu, 0xffffffffu, 0x12345678u, 0x80000000u}},
        {"xor", bitxor(a, b), {0xf0f0f0f0u, 0xf0f0f0f0u, 0xfffffffeu, 0x12345678u, 0x80000000u}},
        {"or, shorter first", bitvector_or(b, a),
         {0xfff0fff0u, 0xffffffffu, 0xffffffffu, 0x12345678u, 0x80000000u}},
        {"not", bitnot(a), {0x00ff00ffu, 0xf0f0f0f0u, 0u}},
        {"not of empty", bitnot(empty), {}},
        {"and with empty", bitvector_and(a, empty), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(words(c.result), c.want);
        // The results are pointer lists without a null value.
        EXPECT_EQ(c.result->direct, 0);
        EXPECT_EQ(c.result->entry_size, static_cast<int32_t>(sizeof(void *)));
        EXPECT_EQ(c.result->null, nullptr);
        freetbl(c.result, nullptr);
    }
    // The operands are unchanged.
    EXPECT_EQ(words(a), (std::vector<uint32_t>{0xff00ff00u, 0x0f0f0f0fu, 0xffffffffu}));
    EXPECT_EQ(maxtbl(b), 5);

    // A bit file and a pointer list combine.
    ScratchDir dir;
    Bitvector *f = bitfile(cs(dir.file("f")), 64);
    bitset(f, 0);
    bitset(f, 63);
    Bitvector *o = bitvector_or(f, a);
    EXPECT_EQ(words(o), (std::vector<uint32_t>{0xff00ff00u, 0x0f0f0f0fu, 0xffffffffu}));
    Bitvector *n = bitvector_and(f, a);
    EXPECT_EQ(words(n), (std::vector<uint32_t>{0x80000000u, 0x00000001u}));
    freetbl(o, nullptr);
    freetbl(n, nullptr);
    freetbl(f, nullptr);
    freetbl(a, nullptr);
    freetbl(b, nullptr);
    freetbl(empty, nullptr);
}

TEST(Bitvector, CNamesAreExported) {
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "bitand"), reinterpret_cast<void *>(&bitvector_and));
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "bitor"), reinterpret_cast<void *>(&bitvector_or));
    EXPECT_NE(dlsym(RTLD_DEFAULT, "bitand"), nullptr);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "bitvector_and"), nullptr);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "bitvector_or"), nullptr);
}

TEST(FlagBits, SetAndClear) {
    struct Case {
        int flag, abit, set, cleared;
    };
    const Case cases[] = {
        {0, 1, 1, 0},
        {0x10, 0x03, 0x13, 0x10},
        {0x13, 0x01, 0x13, 0x12},
        {-1, 0x40, -1, ~0x40},
        {0x0f, 0, 0x0f, 0x0f},
    };
    for (const Case &c : cases) {
        int f = c.flag;
        setabit(&f, c.abit);
        EXPECT_EQ(f, c.set);
        f = c.flag;
        clrabit(&f, c.abit);
        EXPECT_EQ(f, c.cleared);
    }
}

}  // namespace
