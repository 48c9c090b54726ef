// File tests, sizes and dates, is_changed, free space, mkfile and
// verbose_exists.
#include "filetests.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "kitbag.h"
#include "scratch_dir.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::out;
using testsupport::read_file;
using testsupport::run_in_child;
using testsupport::ScratchDir;
using testsupport::write_file;

// Runs body as the unprivileged user nobody in a child; what the child
// writes with out() comes back. The scratch directory must be searchable.
std::string as_nobody(const std::function<void()> &body) {
    ChildResult r = run_in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            out("nosetuid");
            return;
        }
        body();
    });
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
    return r.out;
}

// A scratch directory that other users may enter.
struct OpenScratch : ScratchDir {
    OpenScratch() { chmod(path().c_str(), 0755); }
};

void set_mtime(const std::string &path, time_t t) {
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimes(path.c_str(), tv), 0);
}

TEST(FileTests, KindsOfPath) {
    ScratchDir dir;
    write_file(dir.file("file"), "12345");
    write_file(dir.file("empty"), "");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("file", dir.file("link-file").c_str()), 0);
    ASSERT_EQ(symlink("sub", dir.file("link-dir").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    chmod(dir.file("file").c_str(), 0640);
    chmod(dir.file("empty").c_str(), 0644);

    struct Case {
        std::string name;
        int file, isdir, present;
        unsigned size, mode;
    };
    const Case cases[] = {
        {"file", 1, 0, 1, 5, S_IFREG | 0640},
        {"empty", 1, 0, 1, 0, S_IFREG | 0644},
        {"sub", 0, 1, 1, 0, 0},
        {"link-file", 1, 0, 1, 5, S_IFREG | 0640},
        {"link-dir", 0, 1, 1, 0, 0},
        {"dangling", 0, 0, 0, 0, 0},
        {"fifo", 0, 0, 1, 0, 0},
        {"missing", 0, 0, 0, 0, 0},
        {"file/below", 0, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = dir.file(c.name);
        EXPECT_EQ(is_file(p.c_str()), c.file);
        EXPECT_EQ(is_dir(p.c_str()), c.isdir);
        EXPECT_EQ(is_present(p.c_str()), c.present);
        EXPECT_EQ(filesize(p.c_str()), c.size);
        EXPECT_EQ(filemode(p.c_str()), c.mode);
    }
    EXPECT_EQ(is_file(nullptr), 0);
    EXPECT_EQ(is_dir(""), 0);
    EXPECT_EQ(is_present(""), 0);
}

TEST(FileTests, ErrnoIsLeftAlone) {
    ScratchDir dir;
    write_file(dir.file("file"), "x");
    const std::string missing = dir.file("no/such/thing");
    const std::string file = dir.file("file");
    const std::vector<std::function<void()>> calls = {
        [&] { is_file(missing.c_str()); },
        [&] { is_dir(missing.c_str()); },
        [&] { is_present(missing.c_str()); },
        [&] { is_empty(missing.c_str()); },
        [&] { is_writable_file(missing.c_str()); },
        [&] { is_writable_file(file.c_str()); },
        [&] { filesize(missing.c_str()); },
        [&] { filetime(missing.c_str()); },
        [&] { filemode(missing.c_str()); },
        [&] { is_changed(missing.c_str()); },
        [&] { is_changed(file.c_str()); },
        [&] { freespace(missing.c_str(), 1.0); },
        [&] { is_empty(dir.path().c_str()); },
    };
    for (std::size_t i = 0; i < calls.size(); i++) {
        SCOPED_TRACE(i);
        errno = EDOM;
        calls[i]();
        EXPECT_EQ(errno, EDOM);
    }
}

TEST(FileTests, IsEmpty) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("empty-dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("full-dir").c_str(), 0755), 0);
    write_file(dir.file("full-dir/one"), "");
    ASSERT_EQ(mkdir(dir.file("dir-with-dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("dir-with-dir/inner").c_str(), 0755), 0);
    write_file(dir.file("empty-file"), "");
    write_file(dir.file("full-file"), "x");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("empty-dir", dir.file("link").c_str()), 0);
    struct Case {
        const char *name;
        int expected;
    };
    for (const Case &c : {Case{"empty-dir", 1}, Case{"full-dir", 0}, Case{"dir-with-dir", 0},
                          Case{"empty-file", 1}, Case{"full-file", 0}, Case{"fifo", 0},
                          Case{"link", 1}, Case{"missing", 0}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_empty(dir.file(c.name).c_str()), c.expected);
    }
}

TEST(FileTests, IsEmptyOfUnreadableDirectory) {
    OpenScratch dir;
    ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0711), 0);
    const std::string locked = dir.file("locked");
    std::string got = as_nobody([&] { out(std::to_string(is_empty(locked.c_str()))); });
    if (got == "nosetuid") GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(got, "-1");
}

TEST(FileTests, IsWritableFile) {
    ScratchDir dir;
    write_file(dir.file("file"), "x");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    struct Case {
        std::string path;
        int expected;
    };
    const Case cases[] = {
        {dir.file("file"), 1},
        {dir.file("new"), 1},
        {dir.file("sub"), 0},
        {dir.file("sub/new"), 1},
        {dir.file("missing/new"), 0},
        // The directory part is a file: nothing can be made below it.
        {dir.file("file/new"), 0},
        {"", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(is_writable_file(c.path.c_str()), c.expected);
    }
    EXPECT_EQ(is_writable_file(nullptr), 0);
}

TEST(FileTests, IsWritableFileRelativeAndUnderRoot) {
    ScratchDir dir;
    ChildResult r = run_in_child([&] {
        if (chdir(dir.path().c_str()) != 0) return;
        out(std::to_string(is_writable_file("new-here")));
    });
    EXPECT_EQ(r.out, "1");
    // A file directly under the root is judged by the root directory.
    const int root = access("/", W_OK | X_OK) == 0 ? 1 : 0;
    EXPECT_EQ(is_writable_file("/korvanel-no-such-file-at-root"), root);
    std::string got = as_nobody(
        [] { out(std::to_string(is_writable_file("/korvanel-no-such-file-at-root"))); });
    if (got != "nosetuid") {
        EXPECT_EQ(got, "0");
    }
}

TEST(FileTests, IsWritableFileWithoutPermission) {
    OpenScratch dir;
    write_file(dir.file("readonly"), "x");
    chmod(dir.file("readonly").c_str(), 0644);
    // Root's directory: nobody may not make files in it.
    ASSERT_EQ(mkdir(dir.file("roots").c_str(), 0755), 0);
    // nobody's own directory, writable but not searchable.
    ASSERT_EQ(mkdir(dir.file("nosearch").c_str(), 0700), 0);
    ASSERT_EQ(chown(dir.file("nosearch").c_str(), 65534, 65534), 0);
    chmod(dir.file("nosearch").c_str(), 0600);
    // nobody's own directory, fully usable.
    ASSERT_EQ(mkdir(dir.file("own").c_str(), 0700), 0);
    ASSERT_EQ(chown(dir.file("own").c_str(), 65534, 65534), 0);
    const std::vector<std::string> paths = {dir.file("readonly"), dir.file("roots/new"),
                                            dir.file("nosearch/new"), dir.file("own/new")};
    std::string got = as_nobody([&] {
        for (const std::string &p : paths) out(std::to_string(is_writable_file(p.c_str())));
    });
    if (got == "nosetuid") GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(got, "0001");
}

TEST(FileTests, IsFilename) {
    struct Case {
        const char *name;
        int expected;
    };
    for (const Case &c : {Case{"/x", 1}, Case{"./x", 1}, Case{"../x", 1}, Case{"/", 1},
                          Case{"x", 0}, Case{".x", 0}, Case{"..x", 0}, Case{".", 0},
                          Case{"..", 0}, Case{"", 0}, Case{"x/y", 0}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_filename(c.name), c.expected);
    }
    EXPECT_EQ(is_filename(nullptr), 0);
}

TEST(FileTests, FileTime) {
    ScratchDir dir;
    write_file(dir.file("f"), "x");
    set_mtime(dir.file("f"), 1234567890);
    EXPECT_EQ(filetime(dir.file("f").c_str()), 1234567890u);
    // Directories have a time too.
    set_mtime(dir.path(), 987654321);
    EXPECT_EQ(filetime(dir.path().c_str()), 987654321u);
    EXPECT_EQ(filetime(dir.file("missing").c_str()), 0u);
    // Before 1970 reads as 0 rather than wrapping round.
    set_mtime(dir.file("f"), -100);
    EXPECT_EQ(filetime(dir.file("f").c_str()), 0u);
}

TEST(FileTests, SizeBeyondFourGigabytesIsClamped) {
    ScratchDir dir;
    const std::string big = dir.file("big");
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    // Sparse: takes no room on disk.
    if (ftruncate64(fd, (off64_t{5} << 30)) != 0) {
        close(fd);
        GTEST_SKIP() << "no large sparse files here";
    }
    close(fd);
    EXPECT_EQ(is_file(big.c_str()), 1);
    EXPECT_EQ(filesize(big.c_str()), UINT_MAX);
    EXPECT_EQ(filemode(big.c_str()), static_cast<unsigned>(S_IFREG | 0644));
    EXPECT_EQ(is_empty(big.c_str()), 0);
    // Just below 4 GB the size is exact.
    ASSERT_EQ(truncate64(big.c_str(), 3000000000LL), 0);
    EXPECT_EQ(filesize(big.c_str()), 3000000000u);
}

// A file dated after 2038 and one beyond 2 GiB are tested like any other.
TEST(FileTests, DatedAfter2038OrBeyondTwoGigabytes) {
    ScratchDir dir;
    const std::vector<testsupport::FarFile> files = testsupport::far_files(dir);
    if (files.empty()) GTEST_SKIP() << "no large sparse files or late dates here";
    for (const testsupport::FarFile &f : files) {
        SCOPED_TRACE(f.path);
        EXPECT_EQ(is_present(f.path.c_str()), 1);
        EXPECT_EQ(is_file(f.path.c_str()), 1);
        EXPECT_EQ(filesize(f.path.c_str()), static_cast<unsigned>(f.size));
        EXPECT_EQ(filetime(f.path.c_str()), static_cast<unsigned>(f.mtime));
    }
}

TEST(FileTests, IsChanged) {
    ScratchDir dir;
    const std::string f = dir.file("watched");
    write_file(f, "one");
    set_mtime(f, 1000000000);
    EXPECT_EQ(is_changed(f.c_str()), 1);
    EXPECT_EQ(is_changed(f.c_str()), 0);
    EXPECT_EQ(is_changed(f.c_str()), 0);
    set_mtime(f, 1000000100);
    EXPECT_EQ(is_changed(f.c_str()), 1);
    EXPECT_EQ(is_changed(f.c_str()), 0);
    // Names are taken exactly as written.
    const std::string same = dir.path() + "//watched";
    EXPECT_EQ(is_changed(same.c_str()), 1);
    // A file that disappears is a change, once.
    ASSERT_EQ(unlink(f.c_str()), 0);
    EXPECT_EQ(is_changed(f.c_str()), 1);
    EXPECT_EQ(is_changed(f.c_str()), 0);
    // Back again.
    write_file(f, "two");
    set_mtime(f, 1000000200);
    EXPECT_EQ(is_changed(f.c_str()), 1);
}

TEST(FileTests, IsChangedOfMissingFileRemembersNothing) {
    ScratchDir dir;
    const std::string f = dir.file("later");
    EXPECT_EQ(is_changed(f.c_str()), 0);
    EXPECT_EQ(is_changed(f.c_str()), 0);
    write_file(f, "x");
    set_mtime(f, 1500000000);
    EXPECT_EQ(is_changed(f.c_str()), 1);
    EXPECT_EQ(is_changed(nullptr), 0);
}

TEST(FileTests, IsChangedFromManyThreads) {
    ScratchDir dir;
    constexpr int kThreads = 8;
    constexpr int kFiles = 20;
    std::vector<std::string> names;
    for (int i = 0; i < kFiles; i++) {
        names.push_back(dir.file("f" + std::to_string(i)));
        write_file(names.back(), "x");
        set_mtime(names.back(), 1600000000 + i);
    }
    std::atomic<int> changes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&] {
            for (int round = 0; round < 5; round++)
                for (const std::string &n : names) changes += is_changed(n.c_str());
        });
    for (std::thread &t : threads) t.join();
    // Each new name is seen as changed by exactly one caller.
    EXPECT_EQ(changes.load(), kFiles);
}

TEST(FileTests, FreeSpace) {
    ScratchDir dir;
    InfoPath *info = infopath(const_cast<char *>(dir.path().c_str()));
    if (info == nullptr) GTEST_SKIP() << "no file-system information here";
    const double mb = info->avail / 1e6;
    std::free(info);
    if (mb > 1) {
        EXPECT_EQ(freespace(dir.path().c_str(), 0.5), 1);
    }
    EXPECT_EQ(freespace(dir.path().c_str(), mb * 100 + 1e9), 0);
    EXPECT_EQ(freespace(dir.path().c_str(), -1), 1);
}

TEST(FreeSpace, ExactlyTheAvailableAmountIsNotEnough) {
    // /proc has nothing available, always: 0 megabytes is not more than 0.
    InfoPath *info = infopath(const_cast<char *>("/proc"));
    if (info == nullptr) GTEST_SKIP() << "/proc not in the mount table";
    const double avail = info->avail;
    std::free(info);
    ASSERT_EQ(avail, 0.0);
    EXPECT_EQ(freespace("/proc", 0.0), 0);
    EXPECT_EQ(freespace("/proc", -0.000001), 1);
}

TEST(FreeSpace, UnknownPathIsNoAndLogsNothing) {
    ChildResult r = in_child([] {
        const int before = testsupport::elog_register_count();
        out(std::to_string(freespace("/no/such/place/at/all", 0.0)));
        out(std::to_string(freespace(nullptr, 0.0)));
        out(std::to_string(testsupport::elog_register_count() - before));
    });
    EXPECT_EQ(r.out, "000");
    EXPECT_EQ(r.err, "");
}

TEST(Bytes, Units) {
    struct Case {
        double bytes, g, m, k;
    };
    for (const Case &c : {Case{0, 0, 0, 0}, Case{1e9, 1, 1e3, 1e6}, Case{1536, 1.536e-6, 1.536e-3, 1.536},
                          Case{-2e6, -2e-3, -2, -2e3}}) {
        EXPECT_DOUBLE_EQ(gbytes(c.bytes), c.g);
        EXPECT_DOUBLE_EQ(mbytes(c.bytes), c.m);
        EXPECT_DOUBLE_EQ(kbytes(c.bytes), c.k);
    }
}

TEST(Mkfile, SizesAndInitialisation) {
    ScratchDir dir;
    struct Case {
        const char *name;
        unsigned nbytes;
        std::string init;
        std::string expected;
    };
    const Case cases[] = {
        {"plain", 8, "abc", std::string("abc") + std::string(5, '\0')},
        {"exact", 3, "abc", "abc"},
        {"no-init", 4, "", std::string(4, '\0')},
        {"empty", 0, "", ""},
        {"empty-with-init", 0, "abc", ""},
        {"cut", 2, "abcdef", "ab"},
        {"one", 1, "", std::string(1, '\0')},
    };
    const mode_t mask = umask(0);
    umask(mask);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = dir.file(c.name);
        EXPECT_EQ(mkfile(p.c_str(), c.nbytes, c.init.data(), static_cast<int>(c.init.size())), 0);
        EXPECT_EQ(read_file(p), c.expected);
        struct stat st;
        ASSERT_EQ(stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0664u & ~mask);
    }
    // No initialisation at all.
    EXPECT_EQ(mkfile(dir.file("null-init").c_str(), 5, nullptr, 10), 0);
    EXPECT_EQ(read_file(dir.file("null-init")), std::string(5, '\0'));
}

TEST(Mkfile, BeyondTwoGigabytes) {
    ScratchDir dir;
    const std::string p = dir.file("heap");
    ASSERT_EQ(mkfile(p.c_str(), 3000000000u, "head", 4), 0);
    struct stat64 st;
    ASSERT_EQ(stat64(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3000000000LL);
    int fd = open(p.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[4];
    ASSERT_EQ(pread(fd, buf, 4, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "head");
    char last = 'x';
    ASSERT_EQ(pread64(fd, &last, 1, 3000000000LL - 1), 1);
    EXPECT_EQ(last, '\0');
    close(fd);
}

TEST(Mkfile, ExistingFileIsRefused) {
    ScratchDir dir;
    const std::string p = dir.file("there");
    write_file(p, "keep me");
    ChildResult r = in_child([&] {
        testsupport::elog_reset_register();
        out(std::to_string(mkfile(p.c_str(), 10, "x", 1)));
        out("|" + testsupport::elog_register_text());
    });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.out.substr(0, 3), "-1|");
    EXPECT_NE(r.out.find("Can't create new file '" + p + "'"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::strerror(EEXIST)), std::string::npos) << r.out;
    EXPECT_EQ(read_file(p), "keep me");
}

TEST(Mkfile, WriteFailures) {
    ScratchDir dir;
    struct Case {
        const char *name;
        unsigned nbytes;
        int initsize;
        const char *message;
    };
    // The file-size limit makes writes past 1000 bytes fail.
    const Case cases[] = {
        {"init", 5000, 3000, "Failed to write initialization to new file '%s'"},
        {"end", 5000, 10, "Failed to write byte at end of new file '%s'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = dir.file(c.name);
        ChildResult r = in_child([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim = {1000, 1000};
            setrlimit(RLIMIT_FSIZE, &lim);
            testsupport::elog_reset_register();
            std::string init(static_cast<std::size_t>(c.initsize), 'i');
            out(std::to_string(mkfile(p.c_str(), c.nbytes, init.data(), c.initsize)));
            out("|" + testsupport::elog_register_text());
        });
        ASSERT_TRUE(r.exited) << r.err;
        std::string message = c.message;
        message.replace(message.find("%s"), 2, p);
        EXPECT_EQ(r.out.substr(0, 3), "-1|");
        EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(std::strerror(EFBIG)), std::string::npos) << r.out;
        // A file it made stays.
        EXPECT_TRUE(is_file(p.c_str()));
    }
}

TEST(Mkfile, DescriptorIsClosedOnEveryPath) {
    ScratchDir dir;
    ChildResult r = in_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {100, 100};
        setrlimit(RLIMIT_FSIZE, &lim);
        const int probe_before = dup(0);
        close(probe_before);
        for (int i = 0; i < 3; i++) {
            mkfile(dir.file("ok" + std::to_string(i)).c_str(), 10, "x", 1);
            mkfile(dir.file("ok" + std::to_string(i)).c_str(), 10, "x", 1);  // exists
            mkfile(dir.file("big" + std::to_string(i)).c_str(), 1000, "x", 1);  // too big
        }
        const int probe_after = dup(0);
        close(probe_after);
        out(probe_before == probe_after ? "same" : "leak");
    });
    EXPECT_EQ(r.out, "same") << r.err;
}

TEST(VerboseExists, FileInCurrentDirectory) {
    ScratchDir dir;
    ChildResult r = run_in_child([&] {
        if (chdir(dir.path().c_str()) != 0) return;
        errno = EDOM;
        out(std::to_string(verbose_exists()));
        out(errno == 0 ? "z" : "e");
        write_file("verbose", "");
        errno = EDOM;
        out(std::to_string(verbose_exists()));
        out(errno == EDOM ? "k" : "e");
        unlink("verbose");
        mkdir("verbose", 0755);
        out(std::to_string(verbose_exists()));
    });
    EXPECT_EQ(r.out, "0z1k1");
}

}  // namespace
