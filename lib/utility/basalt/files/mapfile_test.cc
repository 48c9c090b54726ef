// The mapped-file cache: mapfile, wmapfile, vmapfile, vunmapfile,
// unmapfile, unmaparr and new_Mapdata.
#include "mapfile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "arrays.h"
#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"

namespace {

using testsupport::ChildResult;
using testsupport::elog_register_text;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

char *const kAllOnes = reinterpret_cast<char *>(~std::uintptr_t{0});

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

// The lines of /proc/self/maps that name path.
int mappings_of(const std::string &path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int n = 0;
    while (std::getline(maps, line)) {
        std::size_t at = line.find(path);
        if (at != std::string::npos && at + path.size() <= line.size() &&
            (at + path.size() == line.size() || line[at + path.size()] == ' '))
            n++;
    }
    return n;
}

std::string text_at(const char *p, int size) {
    return std::string(p, static_cast<std::size_t>(size));
}

// Replaces path with a new file (a new inode) holding contents.
void replace_file(const std::string &path, const std::string &contents) {
    std::string tmp = path + ".new";
    write_file(tmp, contents);
    ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
}

void set_mtime(const std::string &path, time_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class Mapfile : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::elog_reset_register(); }
    void TearDown() override {
        unmaparr(nullptr);
        if (arr != nullptr) unmaparr(&arr);
        testsupport::elog_reset_register();
    }

    ScratchDir dir;
    Arr *arr = nullptr;
};

TEST_F(Mapfile, OneFileMappedTwiceSharesOneEntry) {
    std::string f = dir.file("data");
    write_file(f, "hello, world");
    char *p1 = nullptr, *p2 = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p1), 12);
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(text_at(p1, 12), "hello, world");
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p2), 12);
    EXPECT_EQ(p2, p1);
    EXPECT_EQ(cntarr(arr), 1);
    EXPECT_EQ(mappings_of(f), 1);
    auto *md = static_cast<Mapdata *>(getarr(arr, f.c_str()));
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(md->mmap_data, p1);
    EXPECT_EQ(md->mmap_size, 12);
    EXPECT_EQ(md->ref, 2);
    EXPECT_EQ(elog_register_text(), "");
}

TEST_F(Mapfile, LastReleaseUnmapsAndTheNextRequestMapsAfresh) {
    std::string f = dir.file("data");
    write_file(f, "abc");
    char *p = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 3);
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 3);
    // One user releases: the other still reads the mapping.
    EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(mappings_of(f), 1);
    EXPECT_EQ(text_at(p, 3), "abc");
    // The last one releases: unmapped and forgotten.
    EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(mappings_of(f), 0);
    EXPECT_EQ(cntarr(arr), 0);
    EXPECT_EQ(unmapfile(f.c_str(), &arr), -1);
    // Mapped afresh.
    char *again = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &again), 3);
    EXPECT_EQ(text_at(again, 3), "abc");
    EXPECT_EQ(mappings_of(f), 1);
    EXPECT_EQ(static_cast<Mapdata *>(getarr(arr, f.c_str()))->ref, 1);
    EXPECT_EQ(elog_register_text(), "");
}

TEST_F(Mapfile, NullArrayUsesTheSharedCache) {
    std::string f = dir.file("shared");
    write_file(f, "shared bytes");
    char *p1 = nullptr, *p2 = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), nullptr, &p1), 12);
    ASSERT_EQ(mapfile(f.c_str(), nullptr, &p2), 12);
    EXPECT_EQ(p1, p2);
    EXPECT_EQ(mappings_of(f), 1);
    // A private array knows nothing of it.
    EXPECT_EQ(unmapfile(f.c_str(), &arr), -1);
    EXPECT_EQ(unmapfile(f.c_str(), nullptr), 0);
    EXPECT_EQ(unmapfile(f.c_str(), nullptr), 0);
    EXPECT_EQ(unmapfile(f.c_str(), nullptr), -1);
    EXPECT_EQ(mappings_of(f), 0);
}

TEST_F(Mapfile, NamesAreKeysAsWritten) {
    std::string f = dir.file("data");
    write_file(f, "xyz");
    std::string other = dir.path() + "/./data";
    char *p = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 3);
    ASSERT_EQ(mapfile(other.c_str(), &arr, &p), 3);
    EXPECT_EQ(cntarr(arr), 2);
    EXPECT_EQ(mappings_of(f), 2);
}

TEST_F(Mapfile, FailuresLogAndEnterNothing) {
    std::string empty = dir.file("empty");
    write_file(empty, "");
    std::string missing = dir.file("missing");
    struct Case {
        const char *what;
        std::string name;
        bool write;
        std::string message;
    };
    const Case cases[] = {
        {"missing, read", missing, false,
         "Couldn't open " + missing + "\n\tNo such file or directory\n"},
        {"missing, write", missing, true,
         "Couldn't open " + missing + "\n\tNo such file or directory\n"},
        {"empty, read", empty, false, "'" + empty + "' is empty\n"},
        {"empty, write", empty, true, "'" + empty + "' is empty\n"},
        // A directory opens for reading but cannot be mapped.
        {"directory, read", dir.path(), false,
         "Can't map file " + dir.path() + "\n\tNo such device\n"},
        {"directory, write", dir.path(), true,
         "Couldn't open " + dir.path() + "\n\tIs a directory\n"},
    };
    for (const Case &c : cases) {
        testsupport::elog_reset_register();
        char before = 'q';
        char *p = &before;
        int rc = c.write ? wmapfile(c.name.c_str(), &arr, &p)
                         : mapfile(c.name.c_str(), &arr, &p);
        EXPECT_EQ(rc, -1) << c.what;
        // mapfile leaves the all-ones address, wmapfile the caller's own.
        EXPECT_EQ(p, c.write ? &before : kAllOnes) << c.what;
        EXPECT_EQ(elog_register_text(), P() + ": " + c.message) << c.what;
        ASSERT_NE(arr, nullptr);
        EXPECT_EQ(cntarr(arr), 0) << c.what;
    }
    testsupport::elog_reset_register();
    EXPECT_EQ(vmapfile(empty.c_str(), &arr), nullptr);
    EXPECT_EQ(elog_register_text(), P() + ": '" + empty + "' is empty\n");
    EXPECT_EQ(cntarr(arr), 0);
}

TEST_F(Mapfile, NullNameAndNullOutAddress) {
    char *p = nullptr;
    EXPECT_EQ(mapfile(nullptr, &arr, &p), -1);
    EXPECT_EQ(p, kAllOnes);
    EXPECT_EQ(unmapfile(nullptr, &arr), -1);
    std::string f = dir.file("data");
    write_file(f, "12345");
    EXPECT_EQ(mapfile(f.c_str(), &arr, nullptr), 5);
    EXPECT_EQ(wmapfile(f.c_str(), &arr, nullptr), 5);
}

TEST_F(Mapfile, FileLargerThanAnIntCanCountIsRefused) {
    std::string f = dir.file("huge");
    int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_LARGEFILE, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate64(fd, off64_t{3} << 30), 0);
    close(fd);
    char *p = nullptr;
    EXPECT_EQ(mapfile(f.c_str(), &arr, &p), -1);
    EXPECT_EQ(p, kAllOnes);
    EXPECT_EQ(wmapfile(f.c_str(), &arr, &p), -1);
    EXPECT_EQ(vmapfile(f.c_str(), &arr), nullptr);
    EXPECT_EQ(elog_register_text(),
              P() + ": Can't map file " + f + "\n\tFile too large\n\t** repeated 3 times\n");
    EXPECT_EQ(cntarr(arr), 0);
    EXPECT_EQ(mappings_of(f), 0);
}

TEST_F(Mapfile, PermissionsAreTheFileSystems) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string secret = dir.file("secret");
    std::string readonly = dir.file("readonly");
    write_file(secret, "secret");
    write_file(readonly, "read only");
    ASSERT_EQ(chmod(secret.c_str(), 0), 0);
    ASSERT_EQ(chmod(readonly.c_str(), 0444), 0);
    ChildResult r = testsupport::in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            testsupport::out("cannot drop privileges");
            return;
        }
        Arr *mine = nullptr;
        char *p = nullptr;
        std::string result;
        result += std::to_string(mapfile(secret.c_str(), &mine, &p)) + " ";
        result += std::to_string(mapfile(readonly.c_str(), &mine, &p)) + " ";
        result += std::to_string(wmapfile(readonly.c_str(), &mine, &p)) + " ";
        result += std::to_string(vmapfile(secret.c_str(), &mine) == nullptr) + "|";
        testsupport::out(result + elog_register_text());
    });
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
    std::string denied = "\n\tPermission denied\n";
    EXPECT_EQ(r.out, "-1 9 -1 1|" + P() + ": Couldn't open " + secret + denied + P() +
                         ": Couldn't open " + readonly + denied + P() + ": Couldn't open " +
                         secret + denied);
}

TEST_F(Mapfile, StoresThroughWmapfileReachTheFile) {
    std::string f = dir.file("flags");
    write_file(f, "0000000000");
    char *p = nullptr;
    ASSERT_EQ(wmapfile(f.c_str(), &arr, &p), 10);
    std::memcpy(p + 3, "xyz", 3);
    EXPECT_EQ(read_file(f), "000xyz0000");
    EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(read_file(f), "000xyz0000");
    EXPECT_EQ(mappings_of(f), 0);
}

TEST_F(Mapfile, AReadWriteRequestNeverGetsAReadOnlyMapping) {
    std::string f = dir.file("flags");
    write_file(f, "abcdef");
    char *ro = nullptr, *rw = nullptr, *hit = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &ro), 6);
    ASSERT_EQ(wmapfile(f.c_str(), &arr, &rw), 6);
    EXPECT_NE(rw, ro);
    rw[0] = 'A';
    EXPECT_EQ(read_file(f), "Abcdef");
    // The read-only mapping stays valid for its user and shows the store.
    EXPECT_EQ(text_at(ro, 6), "Abcdef");
    EXPECT_EQ(mappings_of(f), 2);
    // A read request is served by the read-write mapping.
    ASSERT_EQ(mapfile(f.c_str(), &arr, &hit), 6);
    EXPECT_EQ(hit, rw);
    ASSERT_EQ(wmapfile(f.c_str(), &arr, &hit), 6);
    EXPECT_EQ(hit, rw);
    EXPECT_EQ(cntarr(arr), 1);
    for (int i = 0; i < 3; i++) EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(mappings_of(f), 2);
    EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(mappings_of(f), 0);
    EXPECT_EQ(cntarr(arr), 0);
}

TEST_F(Mapfile, AChangedSizeMapsAfreshAndKeepsTheOldMappingForItsUsers) {
    std::string f = dir.file("grows");
    write_file(f, "0123456789");
    char *old = nullptr, *now = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &old), 10);
    write_file(f, "0123456789abcdefghij");
    ASSERT_EQ(mapfile(f.c_str(), &arr, &now), 20);
    EXPECT_NE(now, old);
    EXPECT_EQ(text_at(now, 20), "0123456789abcdefghij");
    EXPECT_EQ(text_at(old, 10), "0123456789");
    EXPECT_EQ(cntarr(arr), 1);
    EXPECT_EQ(mappings_of(f), 2);
    // Both mappings live until the name's last reference goes.
    EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(mappings_of(f), 2);
    EXPECT_EQ(text_at(old, 10), "0123456789");
    EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(mappings_of(f), 0);
}

TEST_F(Mapfile, AReplacedFileMapsAfresh) {
    std::string f = dir.file("segment");
    write_file(f, "first");
    char *old = nullptr, *now = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &old), 5);
    replace_file(f, "other");
    ASSERT_EQ(mapfile(f.c_str(), &arr, &now), 5);
    EXPECT_NE(now, old);
    EXPECT_EQ(text_at(now, 5), "other");
    // The old file lives on in its mapping.
    EXPECT_EQ(text_at(old, 5), "first");
    EXPECT_EQ(unmaparr(&arr), 0);
    EXPECT_EQ(arr, nullptr);
    EXPECT_EQ(mappings_of(f), 0);
}

TEST_F(Mapfile, AFileThatWentAwayIsNotServed) {
    std::string f = dir.file("gone");
    write_file(f, "bytes");
    char *p = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 5);
    char *held = p;
    ASSERT_EQ(unlink(f.c_str()), 0);
    EXPECT_EQ(mapfile(f.c_str(), &arr, &p), -1);
    EXPECT_EQ(p, kAllOnes);
    EXPECT_EQ(elog_register_text(),
              P() + ": Couldn't open " + f + "\n\tNo such file or directory\n");
    // The earlier user keeps its mapping and its reference.
    EXPECT_EQ(text_at(held, 5), "bytes");
    EXPECT_EQ(static_cast<Mapdata *>(getarr(arr, f.c_str()))->ref, 1);
    EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(cntarr(arr), 0);
}

TEST_F(Mapfile, ANewModificationTimeAloneKeepsAPlainMapping) {
    // The mapping is shared with the file and shows its present bytes.
    std::string f = dir.file("touched");
    write_file(f, "before");
    char *p1 = nullptr, *p2 = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p1), 6);
    {
        std::fstream io(f, std::ios::in | std::ios::out | std::ios::binary);
        io.write("AFTER!", 6);
    }
    set_mtime(f, 1000000000);
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p2), 6);
    EXPECT_EQ(p2, p1);
    EXPECT_EQ(text_at(p2, 6), "AFTER!");
}

TEST_F(Mapfile, VmapfileHandsOutTheEntryAndTakesNoReference) {
    std::string f = dir.file("v");
    write_file(f, "vvvv");
    Mapdata *md = vmapfile(f.c_str(), &arr);
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(text_at(md->mmap_data, md->mmap_size), "vvvv");
    EXPECT_EQ(md->ref, 0);
    EXPECT_EQ(vmapfile(f.c_str(), &arr), md);
    EXPECT_EQ(getarr(arr, f.c_str()), md);
    EXPECT_EQ(md->ref, 0);
    // mapfile shares it and takes a reference.
    char *p = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 4);
    EXPECT_EQ(p, md->mmap_data);
    EXPECT_EQ(md->ref, 1);
    EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(cntarr(arr), 0);
    EXPECT_EQ(mappings_of(f), 0);
}

TEST_F(Mapfile, EveryUseStampsTheEntryInOrder) {
    std::string a = dir.file("a"), b = dir.file("b");
    write_file(a, "a");
    write_file(b, "b");
    Mapdata *ma = vmapfile(a.c_str(), &arr);
    Mapdata *mb = vmapfile(b.c_str(), &arr);
    ASSERT_NE(ma, nullptr);
    ASSERT_NE(mb, nullptr);
    EXPECT_LT(ma->counter, mb->counter);
    int first = ma->counter;
    EXPECT_EQ(vmapfile(a.c_str(), &arr), ma);
    EXPECT_GT(ma->counter, mb->counter);
    EXPECT_GT(ma->counter, first);
    char *p = nullptr;
    ASSERT_EQ(mapfile(b.c_str(), &arr, &p), 1);
    EXPECT_GT(mb->counter, ma->counter);
}

TEST_F(Mapfile, VunmapfileGivesUpTheLeastRecentlyUsedMapping) {
    std::vector<std::string> names;
    std::vector<Mapdata *> entries;
    for (const char *n : {"a", "b", "c"}) {
        names.push_back(dir.file(n));
        write_file(names.back(), std::string("contents of ") + n);
        entries.push_back(vmapfile(names.back().c_str(), &arr));
        ASSERT_NE(entries.back(), nullptr);
    }
    // a is used again: b is now the oldest, then c, then a.
    ASSERT_EQ(vmapfile(names[0].c_str(), &arr), entries[0]);
    const int order[] = {1, 2, 0};
    for (int k = 0; k < 3; k++) {
        EXPECT_EQ(vunmapfile(&arr), 0);
        for (int i = 0; i < 3; i++) {
            bool given_up = false;
            for (int j = 0; j <= k; j++) given_up = given_up || order[j] == i;
            EXPECT_EQ(entries[static_cast<std::size_t>(i)]->mmap_data == nullptr, given_up)
                << "after " << k + 1 << " entry " << i;
            EXPECT_EQ(mappings_of(names[static_cast<std::size_t>(i)]), given_up ? 0 : 1);
        }
    }
    EXPECT_EQ(vunmapfile(&arr), -1);
    EXPECT_EQ(cntarr(arr), 3);
    // A later request maps the file again into the same entry.
    Mapdata *again = vmapfile(names[1].c_str(), &arr);
    EXPECT_EQ(again, entries[1]);
    ASSERT_NE(again->mmap_data, nullptr);
    EXPECT_EQ(text_at(again->mmap_data, again->mmap_size), "contents of b");
    char *p = nullptr;
    ASSERT_EQ(mapfile(names[2].c_str(), &arr, &p), 13);
    EXPECT_EQ(entries[2]->mmap_data, p);
    // unmapfile forgets given-up entries without unmapping anything.
    EXPECT_EQ(unmapfile(names[0].c_str(), &arr), 0);
    EXPECT_EQ(cntarr(arr), 2);
    EXPECT_EQ(elog_register_text(), "");
}

TEST_F(Mapfile, VunmapfileSparesEntriesWithReferences) {
    std::string a = dir.file("a"), b = dir.file("b");
    write_file(a, "held");
    write_file(b, "loose");
    char *p = nullptr;
    ASSERT_EQ(mapfile(a.c_str(), &arr, &p), 4);
    Mapdata *mb = vmapfile(b.c_str(), &arr);
    ASSERT_NE(mb, nullptr);
    EXPECT_EQ(vunmapfile(&arr), 0);
    EXPECT_EQ(mb->mmap_data, nullptr);
    EXPECT_EQ(vunmapfile(&arr), -1);
    EXPECT_EQ(text_at(p, 4), "held");
}

TEST_F(Mapfile, MissingArraysAndNames) {
    EXPECT_EQ(vunmapfile(&arr), -1);
    EXPECT_EQ(unmapfile("never", &arr), -1);
    EXPECT_EQ(unmaparr(&arr), 0);
    EXPECT_EQ(arr, nullptr);
    std::string f = dir.file("one");
    write_file(f, "1");
    char *p = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 1);
    EXPECT_EQ(unmapfile(dir.file("never").c_str(), &arr), -1);
    EXPECT_EQ(vunmapfile(&arr), -1);  // the one entry is held
    EXPECT_EQ(elog_register_text(), "");
}

TEST_F(Mapfile, UnmaparrRemovesEverythingWhateverItsReferences) {
    std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c");
    write_file(a, "aaaa");
    write_file(b, "bbbb");
    write_file(c, "cccc");
    char *p = nullptr;
    ASSERT_EQ(mapfile(a.c_str(), &arr, &p), 4);
    ASSERT_EQ(mapfile(a.c_str(), &arr, &p), 4);
    write_file(a, "aaaaaa");
    ASSERT_EQ(mapfile(a.c_str(), &arr, &p), 6);  // a second mapping of a
    ASSERT_EQ(wmapfile(b.c_str(), &arr, &p), 4);
    ASSERT_NE(vmapfile(c.c_str(), &arr), nullptr);
    ASSERT_EQ(vunmapfile(&arr), 0);  // c given up
    EXPECT_EQ(mappings_of(a), 2);
    EXPECT_EQ(unmaparr(&arr), 0);
    EXPECT_EQ(arr, nullptr);
    for (const std::string &f : {a, b, c}) EXPECT_EQ(mappings_of(f), 0) << f;
    // The shared cache too.
    ASSERT_EQ(mapfile(a.c_str(), nullptr, &p), 6);
    EXPECT_EQ(unmaparr(nullptr), 0);
    EXPECT_EQ(mappings_of(a), 0);
    EXPECT_EQ(unmapfile(a.c_str(), nullptr), -1);
    EXPECT_EQ(unmaparr(nullptr), 0);
}

TEST_F(Mapfile, NewMapdataIsZeroed) {
    Mapdata *md = new_Mapdata();
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(md->mmap_data, nullptr);
    EXPECT_EQ(md->mmap_size, 0);
    EXPECT_EQ(md->counter, 0);
    EXPECT_EQ(md->ref, 0);
    std::free(md);
}

// Runs body in a child whose address space leaves about `headroom` bytes.
// Skips where such a limit does not hold or cannot be used.
ChildResult with_little_memory(std::size_t headroom, const std::function<void()> &body) {
    return testsupport::in_child([&] {
        testsupport::leave_little_memory(headroom);
        body();
    });
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

TEST_F(Mapfile, VmapfileGivesUpOldMappingsWhenMemoryRunsShort) {
    if (testsupport::under_address_sanitizer() || kThreadSanitizer)
        GTEST_SKIP() << "the sanitizers reserve the address space";
    const std::size_t big = std::size_t{24} << 20;
    std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c");
    write_file(a, std::string(big, 'a'));
    write_file(b, std::string(big, 'b'));
    write_file(c, std::string(big, 'c'));
    ChildResult r = with_little_memory(std::size_t{40} << 20, [&] {
        Arr *mine = nullptr;
        Mapdata *ma = vmapfile(a.c_str(), &mine);
        Mapdata *mb = ma != nullptr ? vmapfile(b.c_str(), &mine) : nullptr;
        std::string s = std::to_string(ma != nullptr) + std::to_string(mb != nullptr);
        if (ma != nullptr && mb != nullptr) {
            s += std::to_string(ma->mmap_data == nullptr) + std::to_string(mb->mmap_data[0]);
            // b goes; a is held through mapfile now, so nothing can be
            // given up to make room for c.
            char *p = nullptr;
            s += " " + std::to_string(unmapfile(b.c_str(), &mine));
            s += " " + std::to_string(mapfile(a.c_str(), &mine, &p));
            testsupport::elog_reset_register();
            s += " " + std::to_string(vmapfile(c.c_str(), &mine) == nullptr);
            s += " " + std::to_string(ma->mmap_data == p);
        }
        testsupport::out(s + "|" + elog_register_text());
    });
    if (testsupport::memory_not_limited(r)) GTEST_SKIP() << "address space limit not honoured here";
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
    EXPECT_EQ(r.out, "11198 0 " + std::to_string(big) + " 1 1|" + P() + ": Can't map file " + c +
                         "\n\tCannot allocate memory\n");
}

TEST_F(Mapfile, ThreadsShareTheCache) {
    // Readers map, check and release files of the shared cache while a
    // writer replaces some of them: every mapping a reader gets is whole.
    const int kFiles = 4, kThreads = 8, kRounds = 200, kSize = 4096;
    std::vector<std::string> names;
    for (int i = 0; i < kFiles; i++) {
        names.push_back(dir.file("f" + std::to_string(i)));
        write_file(names.back(), std::string(kSize, 'a'));
    }
    std::string flags = dir.file("flags");
    write_file(flags, std::string(kThreads, '0'));
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; round++) {
                const std::string &f = names[static_cast<std::size_t>((t + round) % kFiles)];
                char *p = nullptr;
                int n = mapfile(f.c_str(), nullptr, &p);
                if (n != kSize) {
                    bad++;
                    continue;
                }
                for (int i = 1; i < n; i++)
                    if (p[i] != p[0]) {
                        bad++;
                        break;
                    }
                if (unmapfile(f.c_str(), nullptr) != 0) bad++;
                char *w = nullptr;
                if (wmapfile(flags.c_str(), nullptr, &w) != kThreads) {
                    bad++;
                    continue;
                }
                w[t] = static_cast<char>('0' + round % 10);
                if (unmapfile(flags.c_str(), nullptr) != 0) bad++;
            }
        });
    }
    threads.emplace_back([&] {
        for (int round = 0; round < kRounds; round++)
            replace_file(names[static_cast<std::size_t>(round % kFiles)],
                         std::string(kSize, static_cast<char>('a' + round % 26)));
    });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    for (const std::string &f : names) {
        EXPECT_EQ(unmapfile(f.c_str(), nullptr), -1) << f;
        EXPECT_EQ(mappings_of(f), 0) << f;
    }
    EXPECT_EQ(read_file(flags), std::string(kThreads, '0' + (kRounds - 1) % 10));
    EXPECT_EQ(elog_register_text(), "");
}

TEST_F(Mapfile, ThreadsWithCachesOfTheirOwn) {
    const int kThreads = 6, kRounds = 100;
    std::string f = dir.file("common");
    write_file(f, "common bytes");
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            Arr *mine = nullptr;
            for (int round = 0; round < kRounds; round++) {
                char *p = nullptr;
                if (mapfile(f.c_str(), &mine, &p) != 12 || text_at(p, 12) != "common bytes") bad++;
                if (vmapfile(f.c_str(), &mine) == nullptr) bad++;
                if (round % 3 == 0 && unmapfile(f.c_str(), &mine) != 0) bad++;
            }
            if (unmaparr(&mine) != 0 || mine != nullptr) bad++;
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(mappings_of(f), 0);
}

}  // namespace
