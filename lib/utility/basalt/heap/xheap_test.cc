#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "basalt.h"
#include "child.h"
#include "elog_capture.h"
#include "scratch_dir.h"
#include "stream_capture.h"

namespace {

using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

struct Header {
    int size, slen, ndata, crc;
};

Header header_at(const std::string &file, std::size_t off) {
    std::string s = read_file(file);
    auto be = [&](std::size_t at) {
        return static_cast<int>((static_cast<uint32_t>(static_cast<unsigned char>(s[at])) << 24) |
                                (static_cast<unsigned char>(s[at + 1]) << 16) |
                                (static_cast<unsigned char>(s[at + 2]) << 8) |
                                static_cast<unsigned char>(s[at + 3]));
    };
    return {be(off), be(off + 4), be(off + 8), be(off + 12)};
}

std::string value(Xheap *x, const char *name) {
    char *data = nullptr;
    int n = 0, cap = 0;
    if (getx(x, const_cast<char *>(name), &data, &n, &cap) != 0) return "<absent>";
    std::string s(data, static_cast<std::size_t>(n));
    std::free(data);
    return s;
}

int put(Xheap *x, const char *name, const std::string &v) {
    return putx(x, const_cast<char *>(name), const_cast<char *>(v.data()), static_cast<int>(v.size()));
}

std::vector<std::string> names(Xheap *x) {
    Tbl *t = namesx(x);
    std::vector<std::string> v;
    for (int i = 0; i < maxtbl(t); i++) v.push_back(static_cast<char *>(gettbl(t, i)));
    freetbl(t, nullptr);
    return v;
}

std::vector<std::pair<int, int>> free_blocks(Xheap *x) {
    std::vector<std::pair<int, int>> v;
    for (int i = 0; i < maxtbl(x->free); i++) {
        auto *e = static_cast<Xentry *>(gettbl(x->free, i));
        v.emplace_back(static_cast<int>(e->block - x->data), e->size);
    }
    return v;
}

class Heap : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::string file = dir.file("heap");
};

TEST_F(Heap, ANewFileHoldsOneFreeBlock) {
    Xheap *x = openx(const_cast<char *>(file.c_str()), 1024);
    ASSERT_NE(x, nullptr);
    std::string s = read_file(file);
    ASSERT_EQ(s.size(), 1024u);
    EXPECT_EQ(s.substr(0, 16), std::string("\0\0\x04\0", 4) + std::string(12, '\0'));
    EXPECT_TRUE(names(x).empty());
    EXPECT_EQ(verifyx(x, 0), 0);
    EXPECT_EQ(closex(&x), 0);
    EXPECT_EQ(x, nullptr);
}

TEST_F(Heap, StoreReplaceInPlaceAndDelete) {
    Xheap *x = openx(const_cast<char *>(file.c_str()), 1024);
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(put(x, "a", "xyz"), 0);
    Header h = header_at(file, 0);
    int crc = 0;
    bt_crc32(&crc, reinterpret_cast<unsigned char *>(const_cast<char *>("a\0xyz")), 5);
    EXPECT_EQ(h.size, 21);
    EXPECT_EQ(h.slen, 2);
    EXPECT_EQ(h.ndata, 3);
    EXPECT_EQ(h.crc, crc);
    EXPECT_EQ(free_blocks(x), (std::vector<std::pair<int, int>>{{21, 1003}}));

    // 3 bytes again: deleted, merged and allocated at 0 once more.
    ASSERT_EQ(put(x, "a", "uvw"), 0);
    EXPECT_EQ(static_cast<Xentry *>(getarr(x->heap, "a"))->block, x->data);
    EXPECT_EQ(value(x, "a"), "uvw");
    // 1 byte rewrites in place.
    ASSERT_EQ(put(x, "a", "q"), 0);
    EXPECT_EQ(header_at(file, 0).size, 21);
    EXPECT_EQ(header_at(file, 0).ndata, 1);
    EXPECT_EQ(value(x, "a"), "q");

    ASSERT_EQ(put(x, "b", "bee"), 0);
    ASSERT_EQ(put(x, "c", "sea"), 0);
    EXPECT_EQ(names(x), (std::vector<std::string>{"a", "b", "c"}));
    // b lies between a free neighbour on each side once a and c go.
    delx(x, const_cast<char *>("a"));
    delx(x, const_cast<char *>("c"));
    delx(x, const_cast<char *>("b"));
    delx(x, const_cast<char *>("b"));  // absent: nothing happens
    EXPECT_EQ(free_blocks(x), (std::vector<std::pair<int, int>>{{0, 1024}}));
    EXPECT_EQ(value(x, "b"), "<absent>");
    EXPECT_EQ(verifyx(x, 0), 0);
    closex(&x);
}

TEST_F(Heap, SplitOnlyWhenTheRestHoldsABlock) {
    Xheap *x = openx(const_cast<char *>(file.c_str()), 1024);
    ASSERT_NE(x, nullptr);
    int freebytes = -1;
    // A first block leaves 1024 - 100 free; take blocks of exactly that
    // size less 16 (whole) and less 17 (split into a 17-byte rest).
    Xentry *e = unusedx(x, 100, &freebytes);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(freebytes, 0);
    Xentry *whole = unusedx(x, 924 - 16, &freebytes);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(whole->size, 924);
    EXPECT_TRUE(free_blocks(x).empty());
    EXPECT_EQ(unusedx(x, 1, &freebytes), nullptr);
    EXPECT_EQ(freebytes, 0);
    std::free(e);
    std::free(whole);
    closex(&x);

    std::string f2 = dir.file("heap2");
    x = openx(const_cast<char *>(f2.c_str()), 1024);
    Xentry *split = unusedx(x, 1024 - 17, &freebytes);
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(free_blocks(x), (std::vector<std::pair<int, int>>{{1007, 17}}));
    std::free(split);
    closex(&x);
}

TEST_F(Heap, GrowsOrCompacts) {
    Xheap *x = openx(const_cast<char *>(file.c_str()), 200);
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(put(x, "one", std::string(150, '1')), 0);
    // 30 bytes free, 120 asked: grow to max(200 + 240, 400).
    ASSERT_EQ(put(x, "two", std::string(100, '2')), 0);
    EXPECT_EQ(x->size, 440);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 440);
    EXPECT_EQ(value(x, "one"), std::string(150, '1'));
    EXPECT_EQ(value(x, "two"), std::string(100, '2'));
    closex(&x);

    // Many small holes and a large total: compaction.
    std::string f2 = dir.file("holes");
    x = openx(const_cast<char *>(f2.c_str()), 3600);  // 70 bytes left at the end
    for (int i = 0; i < 60; i++) put(x, std::to_string(i).c_str(), std::string(40, 'a' + i % 26));
    for (int i = 0; i < 60; i += 2) delx(x, const_cast<char *>(std::to_string(i).c_str()));
    int size_before = x->size;
    ASSERT_EQ(put(x, "big", std::string(100, 'B')), 0);
    EXPECT_EQ(x->size, size_before);
    EXPECT_EQ(free_blocks(x).size(), 1u);
    for (int i = 1; i < 60; i += 2)
        EXPECT_EQ(value(x, std::to_string(i).c_str()), std::string(40, 'a' + i % 26));
    EXPECT_EQ(value(x, "big"), std::string(100, 'B'));
    EXPECT_EQ(verifyx(x, 0), 0);
    closex(&x);
}

TEST_F(Heap, ReopeningKeepsTheLaterOfTwinNamesAndTheDeletions) {
    Xheap *x = openx(const_cast<char *>(file.c_str()), 1024);
    put(x, "keep", "1");
    put(x, "gone", "2");
    put(x, "twin", "old");
    delx(x, const_cast<char *>("gone"));
    closex(&x);
    // Copy the twin block after the others as a later block of that name.
    std::string s = read_file(file);
    Header twin{};
    std::size_t twin_at = 0;
    for (std::size_t off = 0; off < s.size();) {
        Header h = header_at(file, off);
        if (h.slen && s.compare(off + 16, 4, "twin") == 0) twin = h, twin_at = off;
        off += static_cast<std::size_t>(h.size);
    }
    ASSERT_EQ(twin.slen, 5);
    x = openx(const_cast<char *>(file.c_str()), 0);
    int freebytes = 0;
    Xentry *space = unusedx(x, twin.size, &freebytes);
    ASSERT_NE(space, nullptr);
    std::memcpy(space->block, x->data + twin_at, 16 + 5 + 3);
    std::memcpy(space->block + 21, "new", 3);
    int crc = 0;
    bt_crc32(&crc, reinterpret_cast<unsigned char *>(const_cast<char *>("twin\0new")), 8);
    unsigned char be[4] = {static_cast<unsigned char>(crc >> 24), static_cast<unsigned char>(crc >> 16),
                           static_cast<unsigned char>(crc >> 8), static_cast<unsigned char>(crc)};
    std::memcpy(space->block + 12, be, 4);
    std::free(space);
    closex(&x);

    x = openx(const_cast<char *>(file.c_str()), 0);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(value(x, "twin"), "new");
    EXPECT_EQ(value(x, "gone"), "<absent>");
    EXPECT_EQ(header_at(file, twin_at).slen, 0);
    EXPECT_EQ(verifyx(x, 0), 0);
    closex(&x);
}

TEST_F(Heap, GetxReusesALargeEnoughBuffer) {
    Xheap *x = openx(const_cast<char *>(file.c_str()), 1024);
    put(x, "k", "12345");
    char *buf = static_cast<char *>(std::malloc(64));
    char *kept = buf;
    int n = 0, cap = 64;
    ASSERT_EQ(getx(x, const_cast<char *>("k"), &buf, &n, &cap), 0);
    EXPECT_EQ(buf, kept);
    EXPECT_EQ(cap, 64);
    std::free(buf);
    buf = nullptr;
    cap = 0;
    ASSERT_EQ(getx(x, const_cast<char *>("k"), &buf, &n, &cap), 0);
    EXPECT_EQ(cap, 5);
    EXPECT_EQ(std::string(buf, 5), "12345");
    std::free(buf);
    closex(&x);
}

TEST_F(Heap, ANameLentByTheHeapCanBeStoredAgain) {
    Xheap *x = openx(const_cast<char *>(file.c_str()), 100);
    put(x, "lent", "short");
    Tbl *t = namesx(x);
    char *lent = static_cast<char *>(gettbl(t, 0));
    std::string big(500, 'z');
    ASSERT_EQ(putx(x, lent, big.data(), static_cast<int>(big.size())), 0);
    freetbl(t, nullptr);
    EXPECT_EQ(value(x, "lent"), big);
    // Data read straight from the mapping.
    auto *e = static_cast<Xentry *>(getarr(x->heap, "lent"));
    ASSERT_EQ(putx(x, const_cast<char *>("copy"), e->data, e->ndata), 0);
    EXPECT_EQ(value(x, "copy"), big);
    closex(&x);
}

TEST_F(Heap, ShowAndVerify) {
    Xheap *x = openx(const_cast<char *>(file.c_str()), 200);
    put(x, "name", "text");
    std::string out = testsupport::printed([&](FILE *f) { showx(f, x, 1); });
    auto addr = [&](int off) {
        char b[16];
        std::snprintf(b, sizeof b, "%8x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(x->data + off)));
        return std::string(b);
    };
    EXPECT_EQ(out, addr(0) + "       25        4 name       => text\n" + addr(25) +
                       "      175 **free**\n\nTotal = 200 bytes\n\n");
    std::string plain = testsupport::printed([&](FILE *f) { showx(f, x, 0); });
    EXPECT_EQ(plain.substr(0, plain.find('\n')), addr(0) + "       25        4 name");
    closex(&x);
}

TEST_F(Heap, CorruptFilesAreRefused) {
    struct Case {
        const char *what;
        std::string bytes;
    };
    auto be = [](int v) {
        std::string s(4, '\0');
        for (int i = 0; i < 4; i++) s[i] = static_cast<char>(static_cast<uint32_t>(v) >> (24 - 8 * i));
        return s;
    };
    std::vector<Case> cases = {
        {"size below a header", be(8) + be(0) + be(0) + be(0) + std::string(16, '\0')},
        {"size past the end", be(4000) + be(0) + be(0) + be(0) + std::string(16, '\0')},
        {"name past the block", be(32) + be(100) + be(0) + be(0) + std::string(16, 'n')},
        {"data past the block", be(32) + be(2) + be(1000) + be(0) + std::string("a\0", 2) + std::string(14, 'd')},
        {"negative count", be(32) + be(2) + be(-5) + be(0) + std::string(16, 'a')},
        {"unterminated name", be(32) + be(4) + be(0) + be(0) + std::string(16, 'a')},
        {"short tail", be(24) + be(0) + be(0) + be(0) + std::string(8, '\0') + std::string(10, '\0')},
    };
    for (const Case &c : cases) {
        write_file(file, c.bytes);
        auto r = testsupport::in_child([&] {
            Xheap *x = openx(const_cast<char *>(file.c_str()), 0);
            testsupport::out(x == nullptr ? "refused" : "opened");
        });
        EXPECT_EQ(r.out, "refused") << c.what;
        EXPECT_NE(r.err.find("corrupt block at "), std::string::npos) << c.what << r.err;
    }
}

TEST_F(Heap, ABadCrcIsReportedAndKept) {
    Xheap *x = openx(const_cast<char *>(file.c_str()), 300);
    put(x, "c", "payload");
    x->data[19] ^= 1;  // a data byte
    closex(&x);
    auto r = testsupport::in_child([&] {
        Xheap *y = openx(const_cast<char *>(file.c_str()), 0);
        testsupport::out(y ? value(y, "c") : "refused");
    });
    EXPECT_EQ(r.out, "p`yload");
    EXPECT_NE(r.err.find("crc failed: 'c' 7 bytes "), std::string::npos) << r.err;
}

TEST_F(Heap, AFileThatCannotGrowKeepsEveryOldValue) {
    // The file size limit stands for a full disk.
    auto r = testsupport::run_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        Xheap *x = openx(const_cast<char *>(file.c_str()), 4096);
        for (int i = 0; i < 20; i++) put(x, ("k" + std::to_string(i)).c_str(), std::string(150, 'a' + i));
        struct rlimit lim = {static_cast<rlim_t>(x->size), static_cast<rlim_t>(x->size)};
        setrlimit(RLIMIT_FSIZE, &lim);
        testsupport::elog_reset_register();
        std::string big(5000, 'B');
        int grow_new = put(x, "new", big);
        int grow_old = put(x, "k3", big);
        bool kept = true;
        for (int i = 0; i < 20; i++)
            kept = kept && value(x, ("k" + std::to_string(i)).c_str()) == std::string(150, 'a' + i);
        testsupport::out(std::to_string(grow_new) + " " + std::to_string(grow_old) + " " +
                         (kept ? "kept" : "lost") + " " + value(x, "new") + " " +
                         std::to_string(verifyx(x, 0)) + "|" + testsupport::elog_register_text());
        closex(&x);
    });
    EXPECT_TRUE(r.exited) << r.err;
    const std::string P = testsupport::elog_program_name();
    EXPECT_EQ(r.out.substr(0, r.out.find('|')), "-1 -1 kept <absent> 0");
    EXPECT_NE(r.out.find(P + ": Failed to write byte at end of new file '" + file + "'"), std::string::npos)
        << r.out;
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096);
}

}  // namespace
