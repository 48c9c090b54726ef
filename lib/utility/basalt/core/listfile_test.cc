#include "listfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

const std::string P = testsupport::elog_program_name();

char *cs(const std::string &s) { return const_cast<char *>(s.c_str()); }
char *cs(const char *s) { return const_cast<char *>(s); }

struct Rec12 {
    int32_t a, b, c;
};

// ---- reading the bytes of a list file ------------------------------------

int32_t word_at(const std::string &bytes, size_t offset) {
    int32_t w = 0;
    if (offset + 4 <= bytes.size()) std::memcpy(&w, bytes.data() + offset, 4);
    return w;
}

struct Layout {
    int32_t idlen;
    std::vector<int32_t> record;  // the 14 words
    size_t null_at, slots_at;
};

Layout layout_of(const std::string &bytes) {
    Layout l;
    l.idlen = word_at(bytes, 4);
    for (int i = 0; i < 14; i++) l.record.push_back(word_at(bytes, 8 + l.idlen + 4 * i));
    l.null_at = 64 + l.idlen;
    size_t nulllen = l.record[11] ? (l.record[3] + 7) / 8 * 8 : 0;
    l.slots_at = l.null_at + nulllen;
    return l;
}

// Builds the bytes of a list file by hand.
std::string list_file_bytes(const std::string &identifier, std::vector<int32_t> record,
                            const std::string &null_area, const std::string &slots,
                            bool with_identifier = true) {
    std::string b = "#tbl";
    int32_t idlen = 0;
    std::string id;
    if (with_identifier) {
        idlen = static_cast<int32_t>((identifier.size() + 1 + 7) / 8 * 8);
        id = identifier;
        id.resize(static_cast<size_t>(idlen), '\0');
    }
    b.append(reinterpret_cast<const char *>(&idlen), 4);
    b += id;
    record.resize(14, 0);
    b.append(reinterpret_cast<const char *>(record.data()), 56);
    b += null_area;
    b += slots;
    return b;
}

std::string int_slots(std::initializer_list<int32_t> values) {
    std::string s;
    for (int32_t v : values) s.append(reinterpret_cast<const char *>(&v), 4);
    return s;
}

std::vector<int32_t> ints(Tbl *t) {
    std::vector<int32_t> v;
    for (int i = 0; i < maxtbl(t); i++) {
        int32_t x;
        std::memcpy(&x, gettbl(t, i), 4);
        v.push_back(x);
    }
    return v;
}

Tbl *int_list(std::initializer_list<int32_t> values) {
    Tbl *t = inittbl(0, 0, 1, nullptr, 4);
    for (int32_t v : values) pushtbl(t, &v);
    return t;
}

int open_descriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir64(d) != nullptr) n++;
    closedir(d);
    return n;
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> v;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return v;
    // readdir64: inode numbers beyond 32 bits must not end the listing on
    // 32-bit hosts.
    while (struct dirent64 *e = readdir64(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") v.push_back(n);
    }
    closedir(d);
    return v;
}

// Drops root's privileges in a test child.
void drop_privileges() {
    if (setgid(65534) != 0 || setuid(65534) != 0) {
        out("nosetuid");
        std::fflush(stdout);
        _exit(0);
    }
}

// ---- writing and reading back --------------------------------------------

TEST(ListFileFormat, DirectListWithIdentifierAndNullValue) {
    ScratchDir dir;
    std::string path = dir.file("recs");
    Rec12 null_rec{-1, -2, -3};
    Tbl *t = inittbl(4, 6, 1, &null_rec, sizeof(Rec12));
    for (int32_t i = 0; i < 3; i++) {
        Rec12 r{i, 10 * i, 100 * i};
        pushtbl(t, &r);
    }
    ASSERT_EQ(savetbl(t, cs(path), cs("abc")), 0);

    std::string bytes = read_file(path);
    ASSERT_EQ(bytes.substr(0, 4), "#tbl");
    EXPECT_EQ(word_at(bytes, 4), 8);
    EXPECT_EQ(bytes.substr(8, 8), std::string("abc\0\0\0\0\0", 8));
    Layout l = layout_of(bytes);
    std::vector<int32_t> want_record = {t->left, 3,  t->right, 12, 1, 0, 0,
                                        0,       0,  t->left_grow, t->right_grow, 1, 0, 0};
    EXPECT_EQ(l.record, want_record);
    EXPECT_EQ(l.null_at, 72u);
    EXPECT_EQ(bytes.substr(72, 16),
              std::string(reinterpret_cast<char *>(&null_rec), 12) + std::string(4, '\0'));
    EXPECT_EQ(l.slots_at, 88u);
    ASSERT_EQ(bytes.size(), 88u + static_cast<size_t>(t->right - t->left) * 12);
    EXPECT_EQ(bytes.substr(88), std::string(t->base.cp, static_cast<size_t>(t->right) * 12));

    for (int rw : {0, 1}) {
        SCOPED_TRACE(rw);
        char *s = nullptr;
        Tbl *r = readtbl(cs(path), &s, rw);
        ASSERT_NE(r, nullptr);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s, "abc");
        EXPECT_EQ(s, r->mapped + 8);
        EXPECT_EQ(r->left, t->left);
        EXPECT_EQ(maxtbl(r), 3);
        EXPECT_EQ(r->right, t->right);
        EXPECT_EQ(r->entry_size, 12);
        EXPECT_EQ(r->direct, 1);
        EXPECT_EQ(r->left_grow, t->left_grow);
        EXPECT_EQ(r->right_grow, t->right_grow);
        EXPECT_EQ(r->mapped_size, static_cast<int32_t>(bytes.size()));
        EXPECT_EQ(r->prot, rw ? 3 : 1);
        EXPECT_EQ(r->deleted, nullptr);
        EXPECT_EQ(r->null, r->mapped + 72);
        EXPECT_EQ(r->base.cp, r->mapped + 88);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r->base.cp) % 8, 0u);
        if (rw)
            EXPECT_EQ(reinterpret_cast<char *>(r->image), r->mapped + 16);
        else
            EXPECT_EQ(r->image, nullptr);
        EXPECT_EQ(cmptbl(r, t), 0);
        EXPECT_EQ(std::memcmp(gettbl(r, 3), &null_rec, 12), 0);
        EXPECT_EQ(std::memcmp(gettbl(r, 1), gettbl(t, 1), 12), 0);
        freetbl(r, nullptr);
    }
    freetbl(t, nullptr);
}

TEST(ListFileFormat, IdentifierAreaLength) {
    struct Case {
        const char *identifier;
        int32_t idlen;
    };
    const Case cases[] = {
        {nullptr, 0}, {"", 8}, {"a", 8}, {"abcdefg", 8}, {"abcdefgh", 16}, {"abcdefghijklmno", 16},
        {"abcdefghijklmnop", 24},
    };
    ScratchDir dir;
    Tbl *t = int_list({7, 8});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.identifier ? c.identifier : "(none)");
        std::string path = dir.file("id");
        ASSERT_EQ(savetbl(t, cs(path), cs(c.identifier)), 0);
        std::string bytes = read_file(path);
        EXPECT_EQ(word_at(bytes, 4), c.idlen);
        EXPECT_EQ(bytes.size(), 64u + c.idlen + 10 * 4);
        if (c.identifier) {
            std::string area = bytes.substr(8, static_cast<size_t>(c.idlen));
            std::string want = c.identifier;
            want.resize(static_cast<size_t>(c.idlen), '\0');
            EXPECT_EQ(area, want);
        }
        char *s = cs("untouched");
        Tbl *r = readtbl(cs(path), &s, 0);
        ASSERT_NE(r, nullptr);
        if (c.identifier)
            EXPECT_STREQ(s, c.identifier);
        else
            EXPECT_EQ(s, nullptr);
        EXPECT_EQ(ints(r), (std::vector<int32_t>{7, 8}));
        EXPECT_EQ((r->base.cp - r->mapped) % 8, 0);
        freetbl(r, nullptr);
    }
    freetbl(t, nullptr);
}

TEST(ListFileFormat, FreeSlotsAtTheLeftAreKept) {
    ScratchDir dir;
    std::string path = dir.file("shifted");
    Tbl *t = int_list({1, 2, 3, 4, 5});
    shifttbl(t);
    shifttbl(t);
    ASSERT_EQ(t->left, -2);
    ASSERT_EQ(savetbl(t, cs(path), nullptr), 0);
    std::string bytes = read_file(path);
    Layout l = layout_of(bytes);
    EXPECT_EQ(l.record[0], -2);
    EXPECT_EQ(l.record[1], 3);
    EXPECT_EQ(l.record[2], 8);
    EXPECT_EQ(l.slots_at, 64u);
    ASSERT_EQ(bytes.size(), 64u + 10 * 4);
    // The slots from index left on: the two shifted entries come first.
    EXPECT_EQ(bytes.substr(64, 20), int_slots({1, 2, 3, 4, 5}));

    Tbl *r = readtbl(cs(path), nullptr, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->left, -2);
    EXPECT_EQ(r->right, 8);
    EXPECT_EQ(r->base.cp, r->mapped + 64 + 8);
    EXPECT_EQ(ints(r), (std::vector<int32_t>{3, 4, 5}));
    freetbl(r, nullptr);
    freetbl(t, nullptr);
}

TEST(ListFileFormat, PointerListAndEmptyList) {
    ScratchDir dir;
    Tbl *p = newtbl(0);
    pushtbl(p, reinterpret_cast<void *>(uintptr_t{0x1234}));
    std::string path = dir.file("p");
    ASSERT_EQ(savetbl(p, cs(path), nullptr), 0);
    std::string bytes = read_file(path);
    Layout l = layout_of(bytes);
    EXPECT_EQ(l.record[3], static_cast<int32_t>(sizeof(void *)));
    EXPECT_EQ(l.record[4], 0);
    EXPECT_EQ(bytes.size(), 64u + 10 * sizeof(void *));
    Tbl *r = readtbl(cs(path), nullptr, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(gettbl(r, 0), reinterpret_cast<void *>(uintptr_t{0x1234}));
    EXPECT_EQ(gettbl(r, 1), nullptr);
    freetbl(r, nullptr);
    freetbl(p, nullptr);

    // A list without storage: the header alone.
    Tbl *e = inittbl(3, 5, 1, nullptr, 4);
    path = dir.file("e");
    ASSERT_EQ(savetbl(e, cs(path), nullptr), 0);
    bytes = read_file(path);
    EXPECT_EQ(bytes.size(), 64u);
    EXPECT_EQ(layout_of(bytes).record, (std::vector<int32_t>{0, 0, 0, 4, 1, 0, 0, 0, 0, 3, 5, 0, 0, 0}));
    freetbl(e, nullptr);

    // Read back writable, it grows in its file.
    r = readtbl(cs(path), nullptr, 1);
    ASSERT_NE(r, nullptr);
    for (int32_t i = 1; i <= 7; i++) pushtbl(r, &i);
    EXPECT_EQ(ints(r), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7}));
    freetbl(r, nullptr);
    bytes = read_file(path);
    l = layout_of(bytes);
    EXPECT_EQ(l.record[1], 7);
    EXPECT_EQ(bytes.size(), 64u + static_cast<size_t>(l.record[2] - l.record[0]) * 4);
    EXPECT_EQ(bytes.substr(64, 28), int_slots({1, 2, 3, 4, 5, 6, 7}));
}

TEST(Writetbl, WritesTheSameBytesAsTheFileAndFailsOnAShortWrite) {
    ScratchDir dir;
    std::string path = dir.file("w");
    int32_t nv = 99;
    Tbl *t = inittbl(0, 3, 1, &nv, 4);
    for (int32_t i = 0; i < 5; i++) pushtbl(t, &i);
    ASSERT_EQ(savetbl(t, cs(path), cs("ident")), 0);
    std::string want = read_file(path);

    std::vector<char> buf(want.size());
    FILE *f = fmemopen(buf.data(), buf.size(), "w");
    ASSERT_NE(f, nullptr);
    setvbuf(f, nullptr, _IONBF, 0);
    EXPECT_EQ(writetbl(t, f, cs("ident")), 0);
    std::fclose(f);
    EXPECT_EQ(std::string(buf.data(), buf.size()), want);

    // Every area in turn falls short: magic, idlen, identifier, its fill,
    // record, null value, its fill, slots.
    for (size_t cap : {size_t{0}, size_t{2}, size_t{6}, size_t{10}, size_t{14}, size_t{40},
                       size_t{74}, size_t{78}, size_t{85}, want.size() - 1}) {
        SCOPED_TRACE(cap);
        std::vector<char> small(cap + 1);
        FILE *g = fmemopen(small.data(), cap ? cap : 1, "w");
        ASSERT_NE(g, nullptr);
        setvbuf(g, nullptr, _IONBF, 0);
        if (cap == 0) {
            char c = 'x';
            ASSERT_EQ(std::fwrite(&c, 1, 1, g), 1u);  // leaves no room at all
        }
        EXPECT_EQ(writetbl(t, g, cs("ident")), -1);
        std::fclose(g);
    }
    freetbl(t, nullptr);
}

// ---- savetbl -------------------------------------------------------------

TEST(Savetbl, CreatesDirectoriesAndReplacesWholeFiles) {
    ScratchDir dir;
    std::string path = dir.file("a/b/c/list");
    Tbl *t = int_list({1, 2, 3});
    ASSERT_EQ(savetbl(t, cs(path), cs("x")), 0);
    EXPECT_EQ(read_file(path).size(), 64u + 8 + 40);

    // An existing file is replaced and keeps its permissions; nothing else
    // is left in the directory.
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    Tbl *u = int_list({9});
    ASSERT_EQ(savetbl(u, cs(path), nullptr), 0);
    Tbl *r = readtbl(cs(path), nullptr, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(ints(r), (std::vector<int32_t>{9}));
    freetbl(r, nullptr);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(names_in(dir.file("a/b/c")), std::vector<std::string>{"list"});
    freetbl(t, nullptr);
    freetbl(u, nullptr);
}

TEST(Savetbl, LinksAndLongNames) {
    ScratchDir dir;
    Tbl *t = int_list({4, 5});
    // A symbolic link still names the file it points at, which is replaced.
    std::string real = dir.file("real"), link = dir.file("link");
    write_file(real, "old");
    ASSERT_EQ(symlink("real", link.c_str()), 0);
    ASSERT_EQ(savetbl(t, cs(link), nullptr), 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(real).substr(0, 4), "#tbl");

    // A name of the longest length a directory entry may have.
    std::string longest = dir.file(std::string(255, 'n'));
    ASSERT_EQ(savetbl(t, cs(longest), nullptr), 0);
    Tbl *r = readtbl(cs(longest), nullptr, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(ints(r), (std::vector<int32_t>{4, 5}));
    freetbl(r, nullptr);
    EXPECT_EQ(names_in(dir.path()).size(), 3u);
    freetbl(t, nullptr);
}

TEST(Savetbl, ADirectoryThatCannotBeMadeFails) {
    ScratchDir dir;
    write_file(dir.file("plain"), "x");
    std::string path = dir.file("plain/sub/list");
    ChildResult r = in_child([&] {
        Tbl *t = int_list({1});
        out(std::to_string(savetbl(t, cs(path), nullptr)));
    });
    EXPECT_EQ(r.out, "-1");
    EXPECT_EQ(read_file(dir.file("plain")), "x");
}

TEST(Savetbl, AFileThatCannotBeOpenedForWritingFails) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
    ScratchDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string locked_dir = dir.file("locked");
    ASSERT_EQ(mkdir(locked_dir.c_str(), 0755), 0);
    std::string open_dir = dir.file("open");
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    std::string readonly = open_dir + "/readonly";
    write_file(readonly, "keep");
    ASSERT_EQ(chmod(readonly.c_str(), 0444), 0);

    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        // The file's directory is not writable: making the directories fails.
        {locked_dir + "/new", "can't write to directory " + locked_dir + "\n"},
        {readonly, "Can't open " + readonly + " to write tbl.\n\tPermission denied\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        ChildResult r = in_child([&] {
            drop_privileges();
            Tbl *t = int_list({1});
            int result = savetbl(t, cs(c.path), nullptr);
            out(std::to_string(result) + "|" + testsupport::elog_register_text());
        });
        ASSERT_NE(r.out, "nosetuid");
        EXPECT_EQ(r.out, "-1|" + P + ": " + c.message);
    }
    EXPECT_EQ(read_file(readonly), "keep");
    EXPECT_EQ(names_in(open_dir), std::vector<std::string>{"readonly"});
    EXPECT_TRUE(names_in(locked_dir).empty());
}

TEST(Savetbl, AFailedWriteLeavesTheOldFileWhole) {
    ScratchDir dir;
    std::string path = dir.file("list");
    Tbl *old = int_list({1, 2});
    ASSERT_EQ(savetbl(old, cs(path), cs("old")), 0);
    freetbl(old, nullptr);
    std::string before = read_file(path);

    ChildResult r = in_child([&] {
        // Files may not grow beyond 100 bytes in this child.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {100, 100};
        setrlimit(RLIMIT_FSIZE, &lim);
        Tbl *t = inittbl(0, 100, 1, nullptr, 4);
        for (int32_t i = 0; i < 100; i++) pushtbl(t, &i);
        int result = savetbl(t, cs(path), cs("new"));
        out(std::to_string(result) + "|" + testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "-1|" + P + ": Errors while writing tbl to " + path + ".\n");
    EXPECT_EQ(read_file(path), before);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"list"});
}

// ---- readtbl -------------------------------------------------------------

TEST(Readtbl, MessagesForFilesThatCannotBeRead) {
    ScratchDir dir;
    write_file(dir.file("notalist"), std::string("#tb!") + std::string(100, '\0'));
    write_file(dir.file("empty"), "");
    write_file(dir.file("tiny"), "#t");
    ASSERT_EQ(mkdir(dir.file("adir").c_str(), 0755), 0);
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {dir.file("missing"),
         "Can't open " + dir.file("missing") + " to read tbl.\n\tNo such file or directory\n"},
        {dir.file("notalist"), "Bad magic number while trying to read tbl.\n"},
        {dir.file("empty"), "Bad magic number while trying to read tbl.\n"},
        {dir.file("tiny"), "Bad magic number while trying to read tbl.\n"},
        {dir.file("adir"), "Error trying to mmap " + dir.file("adir") + ".\n\tNo such device\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        ChildResult r = in_child([&] {
            int before = open_descriptors();
            char *s = cs("untouched");
            Tbl *t = readtbl(cs(c.path), &s, 0);
            out(std::string(t == nullptr ? "null" : "list") + "|" + (s ? s : "(null)") + "|" +
                std::to_string(open_descriptors() - before) + "|" +
                testsupport::elog_register_text());
        });
        EXPECT_EQ(r.out, "null|(null)|0|" + P + ": " + c.message);
    }
}

// A sound file: identifier "idx", null value, 3 live entries in 5 slots
// with one free slot at the left.
std::string sound_file() {
    return list_file_bytes("idx", {-1, 3, 4, 4, 1, 0, 0, 0, 0, 10, 10, 1, 0, 0},
                           int_slots({-7, 0}), int_slots({100, 1, 2, 3, -7}));
}

TEST(Readtbl, EveryCutOffFileIsRefused) {
    ScratchDir dir;
    std::string whole = sound_file();
    std::string path = dir.file("cut");
    write_file(path, whole);
    Tbl *t = readtbl(cs(path), nullptr, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(ints(t), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(*static_cast<int32_t *>(gettbl(t, 3)), -7);
    freetbl(t, nullptr);

    ChildResult r = in_child([&] {
        int before = open_descriptors();
        std::string failures;
        for (size_t n = 0; n < whole.size(); n++) {
            write_file(path, whole.substr(0, n));
            for (int rw : {0, 1}) {
                char *s = cs("untouched");
                Tbl *u = readtbl(cs(path), &s, rw);
                if (u != nullptr || s != nullptr) failures += std::to_string(n) + " ";
                if (u != nullptr) freetbl(u, nullptr);
            }
        }
        out(failures + "|" + std::to_string(open_descriptors() - before));
    });
    EXPECT_EQ(r.out, "|0");
}

TEST(Readtbl, CraftedRecordsAreRefused) {
    ScratchDir dir;
    auto rec = [](int32_t left, int32_t count, int32_t right, int32_t es, int32_t direct,
                  int32_t null_word) {
        return std::vector<int32_t>{left, count, right, es, direct, 0, 0, 0, 0, 10, 10,
                                    null_word, 0, 0};
    };
    std::string four = int_slots({1, 2, 3, 4});
    std::string good_record;
    {
        std::vector<int32_t> r = rec(0, 2, 4, 4, 1, 0);
        good_record.assign(reinterpret_cast<const char *>(r.data()), 56);
    }
    auto with_idlen = [&](int32_t idlen, const std::string &id_area) {
        std::string b = "#tbl";
        b.append(reinterpret_cast<const char *>(&idlen), 4);
        return b + id_area + good_record + four;
    };
    struct Case {
        const char *name;
        std::string bytes;
        const char *why;
    };
    const Case cases[] = {
        {"negative identifier length", with_idlen(-8, ""), "bad identifier length"},
        {"identifier length not a multiple of 8", with_idlen(4, "abc") + "\0",
         "bad identifier length"},
        {"identifier length beyond the file", with_idlen(1 << 30, "abcdefg"),
         "shorter than its header"},
        {"unterminated identifier", with_idlen(8, "abcdefgh"), "unterminated identifier"},
        {"header cut inside the record", std::string("#tbl\0\0\0\0", 8) + good_record.substr(0, 50),
         "shorter than its header"},
        {"left above 0", list_file_bytes("", rec(1, 2, 4, 4, 1, 0), "", four, false),
         "bad bounds"},
        {"negative count", list_file_bytes("", rec(0, -1, 4, 4, 1, 0), "", four, false),
         "bad bounds"},
        {"count beyond right", list_file_bytes("", rec(0, 5, 4, 4, 1, 0), "", four, false),
         "bad bounds"},
        {"zero entry size", list_file_bytes("", rec(0, 2, 4, 0, 1, 0), "", four, false),
         "bad entry size"},
        {"negative entry size", list_file_bytes("", rec(0, 2, 4, -4, 1, 0), "", four, false),
         "bad entry size"},
        {"pointer list of another word size",
         list_file_bytes("", rec(0, 2, 4, sizeof(void *) == 8 ? 4 : 8, 0, 0), "",
                         four + four + four + four, false),
         "bad entry size for a pointer list"},
        {"slots beyond the file", list_file_bytes("", rec(0, 2, 5, 4, 1, 0), "", four, false),
         "shorter than its slots"},
        {"huge bounds",
         list_file_bytes("", rec(INT32_MIN, INT32_MAX, INT32_MAX, INT32_MAX, 1, 0), "", four,
                         false),
         "shorter than its slots"},
        {"huge entry size", list_file_bytes("", rec(0, 1, 1, INT32_MAX, 1, 0), "", four, false),
         "shorter than its slots"},
        {"null value beyond the file",
         list_file_bytes("", rec(0, 0, 0, 1 << 20, 1, 1), "", four, false),
         "shorter than its null value"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file("crafted");
        write_file(path, c.bytes);
        for (int rw : {0, 1}) {
            ChildResult r = in_child([&] {
                int before = open_descriptors();
                char *s = cs("untouched");
                Tbl *t = readtbl(cs(path), &s, rw);
                out(std::string(t == nullptr ? "null" : "list") + "|" + (s ? s : "(null)") +
                    "|" + std::to_string(open_descriptors() - before) + "|" +
                    testsupport::elog_register_text());
            });
            EXPECT_EQ(r.out, "null|(null)|0|" + P + ": Corrupt tbl file " + path + ": " +
                                 c.why + ".\n");
        }
    }
}

TEST(Readtbl, AWritableListIsItsFile) {
    ScratchDir dir;
    std::string path = dir.file("rw");
    Tbl *t = int_list({1, 2, 3});
    ASSERT_EQ(savetbl(t, cs(path), cs("live")), 0);
    freetbl(t, nullptr);

    char *s = nullptr;
    Tbl *r = readtbl(cs(path), &s, 1);
    ASSERT_NE(r, nullptr);
    // The working record lies beside the mapping; the record in the file
    // follows it.
    EXPECT_FALSE(reinterpret_cast<char *>(r) >= r->mapped &&
                 reinterpret_cast<char *>(r) < r->mapped + r->mapped_size);
    int32_t v = 40;
    settbl(r, 1, &v);
    shifttbl(r);
    v = 4;
    pushtbl(r, &v);
    std::string bytes = read_file(path);  // the mapping is shared with the file
    Layout l = layout_of(bytes);
    EXPECT_EQ(l.record[0], -1);
    EXPECT_EQ(l.record[1], 3);
    EXPECT_EQ(l.record[2], 9);
    EXPECT_EQ(bytes.substr(l.slots_at, 16), int_slots({1, 40, 3, 4}));

    // Growth extends the file.
    for (int32_t i = 5; i <= 30; i++) pushtbl(r, &i);
    int32_t left = r->left, right = r->right;
    freetbl(r, nullptr);
    bytes = read_file(path);
    l = layout_of(bytes);
    EXPECT_EQ(l.record[0], left);
    EXPECT_EQ(l.record[1], 29);
    EXPECT_EQ(l.record[2], right);
    EXPECT_EQ(bytes.size(), l.slots_at + static_cast<size_t>(right - left) * 4);

    r = readtbl(cs(path), &s, 0);
    ASSERT_NE(r, nullptr);
    std::vector<int32_t> want = {40, 3};
    for (int32_t i = 4; i <= 30; i++) want.push_back(i);
    EXPECT_EQ(ints(r), want);
    EXPECT_STREQ(s, "live");
    freetbl(r, nullptr);
}

TEST(Readtbl, AReadOnlyListChangesOnlyInMemoryAndCannotGrow) {
    ScratchDir dir;
    std::string path = dir.file("ro");
    Tbl *t = int_list({1, 2, 3});
    ASSERT_EQ(savetbl(t, cs(path), nullptr), 0);
    freetbl(t, nullptr);
    std::string before = read_file(path);

    Tbl *r = readtbl(cs(path), nullptr, 0);
    ASSERT_NE(r, nullptr);
    int fd = r->fd;
    EXPECT_EQ(*static_cast<int32_t *>(shifttbl(r)), 1);
    poptbl(r);
    EXPECT_EQ(maxtbl(r), 1);
    EXPECT_EQ(read_file(path), before);
    freetbl(r, nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);

    ChildResult c = in_child([&] {
        Tbl *u = readtbl(cs(path), nullptr, 0);
        int32_t v = 1;
        settbl(u, 100, &v);  // beyond the slots: the list must grow first
        out("survived");
    });
    EXPECT_EQ(c.out, "");
    EXPECT_NE(c.err.find("Can't extend read-only list.\n"), std::string::npos) << c.err;
    EXPECT_EQ(read_file(path), before);
}

// ---- filetbl -------------------------------------------------------------

TEST(Filetbl, CreatesAMissingFileQuietly) {
    struct Case {
        int n;
        int slots;
        int right_grow;
    };
    const Case cases[] = {{100, 101, 50}, {1, 2, 0}, {0, 10, 0}, {-3, 10, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        ScratchDir dir;
        std::string path = dir.file("sub/new");
        ChildResult r = in_child([&] {
            Tbl *t = reinterpret_cast<Tbl *>(1);
            int result = filetbl(cs(path), cs("ix"), c.n, nullptr, 8, &t);
            out(std::to_string(result) + "|" + std::to_string(t->right - t->left) + "|" +
                std::to_string(maxtbl(t)) + "|" + std::to_string(t->right_grow) + "|" +
                std::to_string(t->prot) + "|" + std::to_string(testsupport::elog_register_count()));
            freetbl(t, nullptr);
        });
        EXPECT_EQ(r.out, "0|" + std::to_string(c.slots) + "|0|" + std::to_string(c.right_grow) +
                             "|3|0");
        std::string bytes = read_file(path);
        Layout l = layout_of(bytes);
        EXPECT_EQ(bytes.substr(8, 8), std::string("ix\0\0\0\0\0\0", 8));
        EXPECT_EQ(l.record[0], 0);
        EXPECT_EQ(l.record[1], 0);
        EXPECT_EQ(l.record[2], c.slots);
        EXPECT_EQ(l.record[3], 8);
        EXPECT_EQ(l.record[10], c.right_grow);
        EXPECT_EQ(l.record[11], 0);
        EXPECT_EQ(bytes.size(), 72u + static_cast<size_t>(c.slots) * 8);
        EXPECT_EQ(bytes.substr(72), std::string(static_cast<size_t>(c.slots) * 8, '\0'));
    }
}

TEST(Filetbl, TheNullValueFillsTheSlotsAndEntriesPersist) {
    ScratchDir dir;
    std::string path = dir.file("persist");
    int32_t nv = -1;
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(cs(path), nullptr, 4, &nv, 4, &t), 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->right, 5);
    EXPECT_EQ(*static_cast<int32_t *>(gettbl(t, 0)), -1);
    std::string bytes = read_file(path);
    Layout l = layout_of(bytes);
    EXPECT_EQ(l.idlen, 0);
    EXPECT_EQ(l.record[11], 1);
    EXPECT_EQ(bytes.substr(64, 8), int_slots({-1, 0}));
    EXPECT_EQ(bytes.substr(72), int_slots({-1, -1, -1, -1, -1}));
    for (int32_t i = 10; i < 17; i++) pushtbl(t, &i);  // grows the file
    freetbl(t, nullptr);

    // Big enough: the same file as it stands.
    ASSERT_EQ(filetbl(cs(path), nullptr, 4, &nv, 4, &t), 0);
    EXPECT_EQ(ints(t), (std::vector<int32_t>{10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(*static_cast<int32_t *>(gettbl(t, 7)), -1);
    freetbl(t, nullptr);
}

TEST(Filetbl, ATooSmallFileIsReplacedAndKeepsItsEntries) {
    ScratchDir dir;
    std::string path = dir.file("small");
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(cs(path), cs("ix"), 19, nullptr, 4, &t), 0);
    ASSERT_EQ(t->right - t->left, 20);
    for (int32_t i = 0; i < 5; i++) pushtbl(t, &i);
    shifttbl(t);  // entry 0 now holds 1
    freetbl(t, nullptr);
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);

    ChildResult r = in_child([&] {
        Tbl *u = nullptr;
        int result = filetbl(cs(path), cs("ix"), 50, nullptr, 4, &u);
        out(std::to_string(result) + "|" + std::to_string(testsupport::elog_register_count()));
        freetbl(u, nullptr);
    });
    EXPECT_EQ(r.out, "0|0");
    std::string bytes = read_file(path);
    Layout l = layout_of(bytes);
    EXPECT_EQ(l.record[0], 0);
    EXPECT_EQ(l.record[1], 4);
    EXPECT_EQ(l.record[2], 51);
    EXPECT_EQ(l.record[10], 25);
    EXPECT_EQ(bytes.size(), 72u + 51 * 4);
    EXPECT_EQ(bytes.substr(72, 16), int_slots({1, 2, 3, 4}));
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"small"});

    ASSERT_EQ(filetbl(cs(path), cs("ix"), 50, nullptr, 4, &t), 0);
    EXPECT_EQ(ints(t), (std::vector<int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(t->right - t->left, 51);
    freetbl(t, nullptr);
}

TEST(Filetbl, ATooSmallFileThatDoesNotAgreeIsLeftAlone) {
    ScratchDir dir;
    std::string path = dir.file("agree");
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(cs(path), nullptr, 3, nullptr, 8, &t), 0);
    int64_t e = 77;
    pushtbl(t, &e);
    freetbl(t, nullptr);
    std::string before = read_file(path);
    ChildResult r = in_child([&] {
        Tbl *u = reinterpret_cast<Tbl *>(1);
        int result = filetbl(cs(path), nullptr, 30, nullptr, 4, &u);
        out(std::to_string(result) + "|" + (u ? "list" : "null") + "|" +
            testsupport::elog_register_text());
    });
    EXPECT_EQ(r.out, "-1|null|" + P + ": tbl lists have different entry sizes: 4 8\n");
    EXPECT_EQ(read_file(path), before);
}

TEST(Filetbl, AnotherIdentifierIsRefused) {
    ScratchDir dir;
    std::string with_id = dir.file("with"), without_id = dir.file("without");
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(cs(with_id), cs("mine"), 5, nullptr, 4, &t), 0);
    freetbl(t, nullptr);
    ASSERT_EQ(filetbl(cs(without_id), nullptr, 5, nullptr, 4, &t), 0);
    freetbl(t, nullptr);
    std::string before = read_file(with_id);

    struct Case {
        std::string path;
        const char *identifier;
        int result;
    };
    const Case cases[] = {
        {with_id, "yours", -2}, {with_id, "min", -2}, {with_id, "mine", 0},
        {with_id, nullptr, 0},  {without_id, "mine", -2}, {without_id, nullptr, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path + " " + (c.identifier ? c.identifier : "(none)"));
        t = reinterpret_cast<Tbl *>(1);
        EXPECT_EQ(filetbl(cs(c.path), cs(c.identifier), 5, nullptr, 4, &t), c.result);
        if (c.result == 0) {
            ASSERT_NE(t, nullptr);
            freetbl(t, nullptr);
        } else {
            EXPECT_EQ(t, nullptr);
        }
    }
    EXPECT_EQ(read_file(with_id), before);
}

TEST(Filetbl, AFileThatIsNotAListIsReplaced) {
    ScratchDir dir;
    std::string path = dir.file("junk");
    write_file(path, "not a list at all");
    ChildResult r = in_child([&] {
        Tbl *t = nullptr;
        int result = filetbl(cs(path), cs("ix"), 2, nullptr, 4, &t);
        out(std::to_string(result) + "|" + std::to_string(testsupport::elog_register_count()));
        freetbl(t, nullptr);
    });
    EXPECT_EQ(r.out, "0|0");
    EXPECT_EQ(read_file(path).substr(0, 4), "#tbl");
}

TEST(Filetbl, PermissionFailures) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
    ScratchDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    // A list file that this user may not open: left alone, -1.
    std::string theirs = dir.file("theirs");
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(cs(theirs), nullptr, 3, nullptr, 4, &t), 0);
    freetbl(t, nullptr);
    ASSERT_EQ(chmod(theirs.c_str(), 0600), 0);
    std::string before = read_file(theirs);
    // A directory where nothing can be created.
    std::string nowhere = dir.file("new");

    ChildResult r = in_child([&] {
        drop_privileges();
        Tbl *u = reinterpret_cast<Tbl *>(1);
        int result = filetbl(cs(theirs), nullptr, 3, nullptr, 4, &u);
        out(std::to_string(result) + "|" + (u ? "list" : "null") + "|" +
            testsupport::elog_register_text());
        testsupport::elog_reset_register();
        u = reinterpret_cast<Tbl *>(1);
        result = filetbl(cs(nowhere), nullptr, 3, nullptr, 4, &u);
        out("#" + std::to_string(result) + "|" + (u ? "list" : "null") + "|" +
            testsupport::elog_register_text());
    });
    ASSERT_NE(r.out, "nosetuid");
    EXPECT_EQ(r.out, "-1|null|" + P + ": Can't open " + theirs +
                         " to read tbl.\n\tPermission denied\n#-1|null|" + P +
                         ": can't write to directory " + dir.path() + "\n");
    EXPECT_EQ(read_file(theirs), before);
    EXPECT_TRUE(access(nowhere.c_str(), F_OK) != 0);
}

TEST(Filetbl, AListThatCannotBeRecreatedStopsTheProcess) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
    ScratchDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string sub = dir.file("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    std::string path = sub + "/list";
    Tbl *t = nullptr;
    ASSERT_EQ(filetbl(cs(path), nullptr, 3, nullptr, 4, &t), 0);
    int32_t v = 5;
    pushtbl(t, &v);
    freetbl(t, nullptr);
    // The file is this user's, its directory is not: it can be written in
    // place but not replaced.
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    std::string before = read_file(path);

    ChildResult r = in_child([&] {
        drop_privileges();
        Tbl *u = nullptr;
        filetbl(cs(path), nullptr, 30, nullptr, 4, &u);
        out("survived");
    });
    ASSERT_NE(r.out, "nosetuid");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Couldn't extend list " + path), std::string::npos) << r.err;
    EXPECT_EQ(read_file(path), before);
}

}  // namespace
