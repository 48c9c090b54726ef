// Decompression on open: gz_openfd, gz_open, zopen and gz_cat, and mapfile
// of compressed files.
#include "mapfile.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "arrays.h"
#include "child.h"
#include "elog.h"
#include "elog_capture.h"
#include "scratch_dir.h"

namespace {

using testsupport::ChildResult;
using testsupport::elog_register_text;
using testsupport::out;
using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::write_file;

char *const kAllOnes = reinterpret_cast<char *>(~std::uintptr_t{0});

const std::string &P() {
    static const std::string name = testsupport::elog_program_name();
    return name;
}

enum class Tool { none, gzip, bzip2 };

// Writes contents into path, compressed by tool. The compressor reads and
// writes files of simple names; the result is then renamed into place, so
// that path may hold any characters.
void make_file(const ScratchDir &dir, const std::string &path, const std::string &contents,
               Tool tool) {
    if (tool == Tool::none) {
        write_file(path, contents);
        return;
    }
    std::string plain = dir.file("plain.tmp"), packed = dir.file("packed.tmp");
    write_file(plain, contents);
    std::string command = std::string(tool == Tool::gzip ? "gzip" : "bzip2") + " -c '" + plain +
                          "' > '" + packed + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_EQ(rename(packed.c_str(), path.c_str()), 0) << path;
    unlink(plain.c_str());
}

std::string read_fd(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
    return s;
}

std::string read_stream(FILE *f) {
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

std::string fd_target(int fd) {
    char link[4096];
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : "";
}

int open_descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) n++;
        closedir(d);
    }
    return n;
}

std::set<std::string> temporary_files() {
    std::set<std::string> names;
    if (DIR *d = opendir("/var/tmp")) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind("gzO", 0) == 0 || n.rfind("gzS", 0) == 0 || n.rfind("zoP", 0) == 0)
                names.insert(n);
        }
        closedir(d);
    }
    return names;
}

// The line of /proc/self/maps of the mapping that starts at p.
std::string mapping_line(const void *p) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    auto start = reinterpret_cast<std::uintptr_t>(p);
    while (std::getline(maps, line))
        if (std::strtoull(line.c_str(), nullptr, 16) == start) return line;
    return "";
}

bool children_left() {
    int status;
    return waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD;
}

// The four openers, as functions giving the whole text read (or "<fail>").
struct Opener {
    const char *name;
    std::function<std::string(const char *)> read_all;
};

const std::vector<Opener> &openers() {
    static const std::vector<Opener> list = {
        {"gz_openfd",
         [](const char *f) {
             int fd = gz_openfd(f);
             if (fd < 0) return std::string("<fail>");
             std::string s = read_fd(fd);
             close(fd);
             return s;
         }},
        {"gz_open",
         [](const char *f) {
             FILE *s = gz_open(f);
             if (s == nullptr) return std::string("<fail>");
             std::string t = read_stream(s);
             std::fclose(s);
             return t;
         }},
        {"zopen",
         [](const char *f) {
             FILE *s = zopen(f);
             if (s == nullptr) return std::string("<fail>");
             std::string t = read_stream(s);
             std::fclose(s);
             return t;
         }},
        {"gz_cat",
         [](const char *f) {
             FILE *s = gz_cat(f);
             if (s == nullptr) return std::string("<fail>");
             std::string t = read_stream(s);
             bool failed = std::ferror(s) != 0;
             if (std::fclose(s) != 0) failed = true;
             return failed ? std::string("<fail>") : t;
         }},
        {"mapfile",
         [](const char *f) {
             Arr *arr = nullptr;
             char *p = nullptr;
             int n = mapfile(f, &arr, &p);
             std::string t = n < 0 ? std::string("<fail>")
                                   : std::string(p, static_cast<std::size_t>(n));
             unmaparr(&arr);
             return t;
         }},
    };
    return list;
}

class Decompress : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::elog_reset_register(); }
    void TearDown() override { testsupport::elog_reset_register(); }
    ScratchDir dir;
};

TEST_F(Decompress, TheSuffixChoosesTheDecompressor) {
    struct Case {
        const char *name;
        Tool tool;
        bool decompressed;
    };
    const Case cases[] = {
        {"a.gz", Tool::gzip, true},     {"a.Z", Tool::gzip, true},
        {"a.bz2", Tool::bzip2, true},   {".gz", Tool::gzip, true},
        {".Z", Tool::gzip, true},       {".bz2", Tool::bzip2, true},
        {"a.txt", Tool::none, false},   {"Z", Tool::none, false},
        {"a.z", Tool::gzip, false},     {"a.tgz", Tool::gzip, false},
        {"a.gz.txt", Tool::gzip, false}, {"a.bz", Tool::bzip2, false},
        {"a.gzip", Tool::gzip, false},
    };
    const std::string text = "line one\nline two\n";
    for (const Case &c : cases) {
        std::string f = dir.file(c.name);
        make_file(dir, f, text, c.tool);
        std::string raw = read_file(f);
        for (const Opener &o : openers())
            EXPECT_EQ(o.read_all(f.c_str()), c.decompressed ? text : raw)
                << o.name << " " << c.name;
        unlink(f.c_str());
    }
    EXPECT_EQ(elog_register_text(), "");
    EXPECT_FALSE(children_left());
}

TEST_F(Decompress, LargeFilesComeThroughWhole) {
    std::string text;
    for (int i = 0; text.size() < (std::size_t{3} << 20); i++)
        text += "record " + std::to_string(i * 7919 % 100003) + "\n";
    for (auto [name, tool] : {std::pair{"big.gz", Tool::gzip}, std::pair{"big.bz2", Tool::bzip2}}) {
        std::string f = dir.file(name);
        make_file(dir, f, text, tool);
        for (const Opener &o : openers()) EXPECT_TRUE(o.read_all(f.c_str()) == text) << o.name << " " << name;
    }
    EXPECT_FALSE(children_left());
}

TEST_F(Decompress, CopiesLiveInUnlinkedFilesUnderVarTmp) {
    std::string f = dir.file("a.gz");
    make_file(dir, f, "compressed text\n", Tool::gzip);
    std::set<std::string> before = temporary_files();

    int fd = gz_openfd(f.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    std::string target = fd_target(fd);
    EXPECT_EQ(target.rfind("/var/tmp/gzO", 0), 0u) << target;
    EXPECT_NE(target.find(" (deleted)"), std::string::npos) << target;
    EXPECT_EQ(read_fd(fd), "compressed text\n");
    close(fd);

    for (auto open_stream : {gz_open, zopen}) {
        FILE *s = open_stream(f.c_str());
        ASSERT_NE(s, nullptr);
        target = fd_target(fileno(s));
        EXPECT_EQ(target.rfind("/var/tmp/", 0), 0u) << target;
        EXPECT_NE(target.find(" (deleted)"), std::string::npos) << target;
        EXPECT_EQ(read_stream(s), "compressed text\n");
        std::fclose(s);
    }

    Arr *arr = nullptr;
    char *p = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 16);
    EXPECT_EQ(std::string(p, 16), "compressed text\n");
    std::string line = mapping_line(p);
    EXPECT_NE(line.find("/var/tmp/gzO"), std::string::npos) << line;
    EXPECT_NE(line.find("(deleted)"), std::string::npos) << line;
    EXPECT_EQ(unmaparr(&arr), 0);
    EXPECT_EQ(temporary_files(), before);
}

TEST_F(Decompress, AFailedCommandFailsTheOpenAndLeavesNothing) {
    std::string good = dir.file("good.gz");
    make_file(dir, good, std::string(200000, 'x') + "tail\n", Tool::gzip);
    std::string packed = read_file(good);
    struct Case {
        const char *name;
        std::string bytes;
    };
    const Case cases[] = {
        {"garbage.gz", "this is not gzip data at all\n"},
        {"garbage.bz2", "this is not bzip2 data either\n"},
        // Part of the output comes before the command notices.
        {"truncated.gz", packed.substr(0, packed.size() / 2)},
        {"empty.gz", ""},
        {"empty.Z", ""},
    };
    int descriptors = open_descriptors();
    std::set<std::string> before = temporary_files();
    for (const Case &c : cases) {
        std::string f = dir.file(c.name);
        write_file(f, c.bytes);
        for (const Opener &o : openers())
            EXPECT_EQ(o.read_all(f.c_str()), "<fail>") << o.name << " " << c.name;
    }
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(temporary_files(), before);
    EXPECT_FALSE(children_left());
}

TEST_F(Decompress, MapfileReportsAFailedDecompression) {
    std::string f = dir.file("bad.gz");
    write_file(f, "not compressed\n");
    Arr *arr = nullptr;
    char *p = nullptr;
    EXPECT_EQ(mapfile(f.c_str(), &arr, &p), -1);
    EXPECT_EQ(p, kAllOnes);
    EXPECT_EQ(elog_register_text(), P() + ": Couldn't open " + f + "\n\tInput/output error\n");
    EXPECT_EQ(cntarr(arr), 0);
    unmaparr(&arr);
}

TEST_F(Decompress, OpenFailuresSetErrnoAndNeverLog) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string missing = dir.file("missing.gz");
    std::string missing_plain = dir.file("missing");
    std::string locked = dir.file("locked.gz");
    std::string locked_plain = dir.file("locked");
    make_file(dir, locked, "secret\n", Tool::gzip);
    write_file(locked_plain, "secret\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    ASSERT_EQ(chmod(locked_plain.c_str(), 0), 0);
    ChildResult r = testsupport::in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            out("cannot drop privileges");
            return;
        }
        for (const std::string &f : {missing, missing_plain, locked, locked_plain}) {
            errno = 0;
            int fd = gz_openfd(f.c_str());
            int e1 = errno;
            FILE *s1 = gz_open(f.c_str());
            int e2 = errno;
            FILE *s2 = zopen(f.c_str());
            int e3 = errno;
            FILE *s3 = gz_cat(f.c_str());
            int e4 = errno;
            out(std::to_string(fd) + (s1 || s2 || s3 ? " opened" : "") + " " +
                std::strerror(e1) + "," + std::strerror(e2) + "," + std::strerror(e3) + "," +
                std::strerror(e4) + "\n");
        }
        out("|" + elog_register_text());
    });
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.err;
    const std::string enoent = "-1 No such file or directory,No such file or directory,"
                               "No such file or directory,No such file or directory\n";
    const std::string eacces = "-1 Permission denied,Permission denied,Permission denied,"
                               "Permission denied\n";
    EXPECT_EQ(r.out, enoent + enoent + eacces + eacces + "|");
    EXPECT_EQ(gz_openfd(nullptr), -1);
    EXPECT_EQ(gz_open(nullptr), nullptr);
    EXPECT_EQ(zopen(nullptr), nullptr);
    EXPECT_EQ(gz_cat(nullptr), nullptr);
}

TEST_F(Decompress, EachOpenerRunsItsOwnCommandOnTheFile) {
    // Stand-in commands that name themselves and copy what they read.
    std::string bin = dir.file("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    for (const char *tool : {"zcat", "bzcat", "gunzip"}) {
        std::string script = bin + "/" + tool;
        write_file(script, std::string("#!/bin/sh\necho ") + tool + " \"$#\"\nexec /bin/cat\n");
        ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    }
    struct Case {
        const char *opener;
        const char *name;
        const char *command;
    };
    const Case cases[] = {
        {"gz_openfd", "a.gz", "zcat"},  {"gz_openfd", "a.Z", "zcat"},
        {"gz_openfd", "a.bz2", "bzcat"}, {"gz_open", "a.gz", "zcat"},
        {"gz_open", "a.Z", "zcat"},     {"gz_open", "a.bz2", "bzcat"},
        {"zopen", "a.gz", "gunzip"},    {"zopen", "a.Z", "gunzip"},
        {"zopen", "a.bz2", "bzcat"},    {"gz_cat", "a.gz", "zcat"},
        {"gz_cat", "a.Z", "zcat"},      {"gz_cat", "a.bz2", "bzcat"},
        {"mapfile", "a.gz", "zcat"},    {"mapfile", "a.Z", "zcat"},
        {"mapfile", "a.bz2", "bzcat"},
    };
    for (const char *name : {"a.gz", "a.Z", "a.bz2"}) write_file(dir.file(name), "payload\n");
    ChildResult r = testsupport::in_child([&] {
        setenv("PATH", bin.c_str(), 1);
        for (const Case &c : cases)
            for (const Opener &o : openers())
                if (std::string(o.name) == c.opener)
                    out(std::string(c.opener) + " " + c.name + ": " +
                        o.read_all(dir.file(c.name).c_str()));
    });
    std::string expected;
    for (const Case &c : cases)
        expected += std::string(c.opener) + " " + c.name + ": " + c.command + " 0\npayload\n";
    EXPECT_EQ(r.out, expected) << r.err;
}

TEST_F(Decompress, AMissingCommandFailsTheOpen) {
    std::string empty_bin = dir.file("nobin");
    ASSERT_EQ(mkdir(empty_bin.c_str(), 0755), 0);
    std::string gz = dir.file("a.gz"), bz = dir.file("a.bz2"), plain = dir.file("a");
    make_file(dir, gz, "zipped\n", Tool::gzip);
    make_file(dir, bz, "zipped\n", Tool::bzip2);
    write_file(plain, "plain\n");
    ChildResult r = testsupport::in_child([&] {
        setenv("PATH", empty_bin.c_str(), 1);
        for (const Opener &o : openers())
            out(std::string(o.name) + " " + o.read_all(gz.c_str()) + " " +
                o.read_all(bz.c_str()) + " " + o.read_all(plain.c_str()));
    });
    std::string expected;
    for (const Opener &o : openers()) expected += std::string(o.name) + " <fail> <fail> plain\n";
    EXPECT_EQ(r.out, expected) << r.err;
}

TEST_F(Decompress, NamesNeverReachAShell) {
    const char *names[] = {
        "x; touch pwned.gz",  "$(touch pwned).gz", "`touch pwned`.gz", "x | touch pwned.bz2",
        "-c.gz",              "--help.bz2",        "a b\tc\n.gz",      "'quoted\".Z",
    };
    for (const char *n : names) make_file(dir, dir.file(n), "safe\n", n[std::strlen(n) - 1] == '2' ? Tool::bzip2 : Tool::gzip);
    ChildResult r = testsupport::in_child([&] {
        if (chdir(dir.path().c_str()) != 0) return;
        for (const char *n : names)
            for (const Opener &o : openers()) {
                // Relative and absolute names alike.
                out(o.read_all(n));
                out(o.read_all(dir.file(n).c_str()));
            }
        // Names of files that do not exist fail without running anything.
        for (const Opener &o : openers()) out(o.read_all("none; touch pwned.gz"));
    });
    std::string expected;
    for (std::size_t i = 0; i < std::size(names) * openers().size() * 2; i++) expected += "safe\n";
    for (std::size_t i = 0; i < openers().size(); i++) expected += "<fail>";
    EXPECT_EQ(r.out, expected) << r.err;
    struct stat st;
    EXPECT_NE(stat(dir.file("pwned").c_str(), &st), 0);
    EXPECT_NE(stat("pwned", &st), 0);
}

TEST_F(Decompress, WorksWithTheStandardDescriptorsClosedAndSigpipeIgnored) {
    std::string f = dir.file("a.gz");
    make_file(dir, f, std::string(300000, 'z'), Tool::gzip);
    ChildResult r = testsupport::in_child([&] {
        signal(SIGPIPE, SIG_IGN);
        close(0);
        int fd = gz_openfd(f.c_str());
        std::string s = fd >= 0 ? read_fd(fd) : "";
        out(std::to_string(s.size()) + " " + std::to_string(s == std::string(300000, 'z')));
        // A reader that stops early closes without error or leftover child.
        FILE *c = gz_cat(f.c_str());
        char buf[10];
        out(std::string(" ") + std::to_string(c != nullptr && std::fread(buf, 1, 10, c) == 10));
        out(" " + std::to_string(c != nullptr && std::fclose(c) == 0));
        out(" " + std::to_string(children_left()));
    });
    EXPECT_EQ(r.out, "300000 1 1 1 0") << r.err;
}

TEST_F(Decompress, GzCatEndsWithAReadErrorWhenTheCommandFails) {
    std::string good = dir.file("good.gz");
    make_file(dir, good, std::string(100000, 'y'), Tool::gzip);
    std::string packed = read_file(good);
    std::string f = dir.file("cut.gz");
    write_file(f, packed.substr(0, packed.size() - 20));
    FILE *s = gz_cat(f.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(fileno(s), -1);
    std::string text = read_stream(s);
    EXPECT_TRUE(std::ferror(s));
    EXPECT_EQ(std::fclose(s), EOF);
    EXPECT_LE(text.size(), 100000u);
    EXPECT_FALSE(children_left());
    // A good file ends cleanly.
    s = gz_cat(good.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(read_stream(s), std::string(100000, 'y'));
    EXPECT_FALSE(std::ferror(s));
    EXPECT_TRUE(std::feof(s));
    EXPECT_EQ(std::fclose(s), 0);
}

TEST_F(Decompress, MapfileKeepsDecompressedAndRawMappingsApart) {
    std::string f = dir.file("a.gz");
    make_file(dir, f, "decompressed\n", Tool::gzip);
    std::string raw = read_file(f);
    Arr *arr = nullptr;
    char *p = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 13);
    EXPECT_EQ(std::string(p, 13), "decompressed\n");
    // The raw bytes for vmapfile and wmapfile, never the copy.
    Mapdata *md = vmapfile(f.c_str(), &arr);
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(std::string(md->mmap_data, static_cast<std::size_t>(md->mmap_size)), raw);
    char *w = nullptr;
    ASSERT_EQ(wmapfile(f.c_str(), &arr, &w), static_cast<int>(raw.size()));
    EXPECT_EQ(std::string(w, raw.size()), raw);
    // And the copy again for mapfile.
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 13);
    EXPECT_EQ(std::string(p, 13), "decompressed\n");
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p), 13);
    EXPECT_EQ(cntarr(arr), 1);
    EXPECT_EQ(unmaparr(&arr), 0);
}

TEST_F(Decompress, AChangedCompressedFileIsDecompressedAfresh) {
    std::string f = dir.file("a.gz");
    make_file(dir, f, "version one\n", Tool::gzip);
    Arr *arr = nullptr;
    char *p1 = nullptr, *p2 = nullptr, *p3 = nullptr, *p4 = nullptr;
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p1), 12);
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p2), 12);
    EXPECT_EQ(p2, p1);
    // A new modification time alone: the copy may be stale.
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p3), 12);
    EXPECT_NE(p3, p1);
    make_file(dir, f, "version two, longer\n", Tool::gzip);
    ASSERT_EQ(mapfile(f.c_str(), &arr, &p4), 20);
    EXPECT_EQ(std::string(p4, 20), "version two, longer\n");
    EXPECT_EQ(std::string(p1, 12), "version one\n");
    for (int i = 0; i < 4; i++) EXPECT_EQ(unmapfile(f.c_str(), &arr), 0);
    EXPECT_EQ(unmapfile(f.c_str(), &arr), -1);
    EXPECT_EQ(mapping_line(p4).find("/var/tmp/gzO"), std::string::npos);
    EXPECT_EQ(mapping_line(p1).find("/var/tmp/gzO"), std::string::npos);
    unmaparr(&arr);
}

}  // namespace
